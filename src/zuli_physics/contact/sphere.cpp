#include "sphere.hpp"

#include <math.h>

namespace zuli {

namespace {

// Squared lengths strictly between these bounds neither underflowed nor
// overflowed, so their square root is the length.
constexpr double kSafeSquareMin = 1e-280;
constexpr double kSafeSquareMax = 1e280;
// Below this distance the direction between two points is noise.
constexpr double kDirectionEps = 1e-9;

void set_separated(Manifold& out) {
    out.count = 0;
    out.normal = {0.0, 0.0, 0.0};
}

void set_single(Manifold& out, Vec3 normal, Vec3 point, double depth) {
    out.count = 1;
    out.normal = normal;
    out.points[0] = point;
    out.depths[0] = depth;
}

}  // namespace

double norm3(double x, double y, double z) {
    const double s = (x * x + y * y) + z * z;
    if (kSafeSquareMin < s && s < kSafeSquareMax) return sqrt(s);
    const double xy = hypot(x, y);
    return hypot(xy, z);
}

void sphere_sphere_contact(Vec3 ca, double ra, Vec3 cb, double rb, Manifold& out) {
    const Vec3 d = sub(cb, ca);
    const double dist = norm3(d.x, d.y, d.z);
    const double r = ra + rb;
    // Written as "separated when dist >= r" so that NaN counts as touching.
    if (dist >= r) {
        set_separated(out);
        return;
    }
    const Vec3 n = dist > kDirectionEps ? Vec3{d.x / dist, d.y / dist, d.z / dist}
                                        : Vec3{0.0, 1.0, 0.0};
    const double depth = r - dist;
    // Midway between the two surface points along the line of centres.
    const double f = ra - depth * 0.5;
    set_single(out, n, add(mul(n, f), ca), depth);
}

void sphere_box_contact(Vec3 cs, double rs, const OrientedBox& box, Manifold& out) {
    const Mat3& R = box.R;
    const Vec3 s = sub(cs, box.c);
    // Into box coordinates by the transpose of R (not its inverse).
    const double l[3] = {dot(s, R.col(0)), dot(s, R.col(1)), dot(s, R.col(2))};
    const double h[3] = {box.h.x, box.h.y, box.h.z};
    double c[3];
    for (int j = 0; j < 3; ++j) {
        c[j] = l[j] > h[j] ? h[j] : (l[j] < -h[j] ? -h[j] : l[j]);
    }
    const Vec3 d = {l[0] - c[0], l[1] - c[1], l[2] - c[2]};
    const double dist = norm3(d.x, d.y, d.z);
    // Written as "separated when dist > rs": exact touching is a contact and
    // NaN is not a separation.
    if (dist > rs) {
        set_separated(out);
        return;
    }
    Vec3 nl;
    double depth;
    if (dist > kDirectionEps) {
        nl = {d.x / dist, d.y / dist, d.z / dist};
        depth = rs - dist;
    } else {
        // Centre inside (or within kDirectionEps of) the box: push out through
        // the nearest face; ties go to the lower axis.
        double m[3];
        for (int j = 0; j < 3; ++j) m[j] = h[j] - (l[j] >= 0 ? l[j] : -l[j]);
        int axis = 0;
        double mm = m[0];
        if (m[1] < mm) { axis = 1; mm = m[1]; }
        if (m[2] < mm) { axis = 2; mm = m[2]; }
        double n[3] = {0.0, 0.0, 0.0};
        n[axis] = l[axis] >= 0 ? 1.0 : -1.0;
        nl = {n[0], n[1], n[2]};
        depth = mm + rs;
    }
    // Back to the world, negated as a whole so it points sphere -> box.
    const Vec3 normal = {-dot(R.row(0), nl), -dot(R.row(1), nl), -dot(R.row(2), nl)};
    const Vec3 cb = box.c;
    const Vec3 point = {
        ((cb.x + R.m[0][0] * c[0]) + R.m[0][1] * c[1]) + R.m[0][2] * c[2],
        ((cb.y + R.m[1][0] * c[0]) + R.m[1][1] * c[1]) + R.m[1][2] * c[2],
        ((cb.z + R.m[2][0] * c[0]) + R.m[2][1] * c[1]) + R.m[2][2] * c[2],
    };
    set_single(out, normal, point, depth);
}

}  // namespace zuli
