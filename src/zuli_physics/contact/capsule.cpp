#include "capsule.hpp"

#include <math.h>
#include <string.h>

namespace zuli {

namespace {

// Triangles with |e1 x e2| (twice the area) at or below this are degenerate.
constexpr double kDegenerateFace = 1e-09;
// Squared length at or below which a segment counts as a point, and the
// determinant at or below which two segments count as parallel.
constexpr double kSegmentEps = 1e-09;
// An end point projects into the triangle when its foot lies within 1e-09 of
// the closest triangle point (compared squared).
constexpr double kInsideEps2 = 1e-18;
// Below this distance the axis touches the triangle and the direction between
// the two closest points is noise: the winding normal is used instead.
constexpr double kDirectionEps = 1e-09;
constexpr double kNoReachYet = -1e+300;
constexpr double kNoDistanceYet = 1e+300;

double clamp01(double x) { return x < 0 ? 0.0 : (x > 1 ? 1.0 : x); }

TriangleContact hit_at(Vec3 point, Vec3 normal, double depth) {
    return {1, point, normal, depth};
}

}  // namespace

Vec3 closest_pt_triangle(Vec3 p, Vec3 a, Vec3 b, Vec3 c) {
    const Vec3 ab = sub(b, a);
    const Vec3 ac = sub(c, a);
    const Vec3 pa = sub(p, a);
    const double s1 = dot(ab, pa);
    const double s2 = dot(ac, pa);
    if (s1 <= 0 && s2 <= 0) return a;

    const Vec3 pb = sub(p, b);
    const double s3 = dot(ab, pb);
    const double s4 = dot(ac, pb);
    if (s3 >= 0 && s4 <= s3) return b;

    const double wc = s1 * s4 - s3 * s2;
    if (wc <= 0 && s1 >= 0 && s3 <= 0) return add(a, mul(ab, s1 / (s1 - s3)));

    const Vec3 pc = sub(p, c);
    const double s5 = dot(ab, pc);
    const double s6 = dot(ac, pc);
    if (s6 >= 0 && s5 <= s6) return c;

    const double wb = s5 * s2 - s1 * s6;
    if (wb <= 0 && s2 >= 0 && s6 <= 0) return add(a, mul(ac, s2 / (s2 - s6)));

    const double wa = s3 * s6 - s5 * s4;
    if (wa <= 0 && (s4 - s3) >= 0 && (s5 - s6) >= 0) {
        return add(b, mul(sub(c, b), (s4 - s3) / ((s4 - s3) + (s5 - s6))));
    }

    const double g = 1 / (wa + wb + wc);
    return add(add(a, mul(ab, wb * g)), mul(ac, wc * g));
}

SegmentPoints closest_pts_segment_segment(Vec3 p1, Vec3 q1, Vec3 p2, Vec3 q2) {
    const Vec3 u = sub(q1, p1);
    const Vec3 w = sub(q2, p2);
    const Vec3 r = sub(p1, p2);
    const double A = dot(u, u);
    const double E = dot(w, w);
    const double F = dot(w, r);
    if (A <= kSegmentEps && E <= kSegmentEps) return {p1, p2};

    double s;
    double t;
    if (A <= kSegmentEps) {
        s = 0.0;
        t = clamp01(F / E);
    } else {
        const double C = dot(u, r);
        if (E <= kSegmentEps) {
            t = 0.0;
            s = clamp01(-C / A);
        } else {
            const double B = dot(u, w);
            const double D = A * E - B * B;
            s = D > kSegmentEps ? clamp01((B * F - C * E) / D) : 0.0;
            t = (B * s + F) / E;
            if (t < 0) {
                t = 0.0;
                s = clamp01(-C / A);
            } else if (t > 1) {
                t = 1.0;
                s = clamp01((B - C) / A);
            }
        }
    }
    return {add(p1, mul(u, s)), add(p2, mul(w, t))};
}

TriangleContact capsule_triangle_contact(const Capsule& cap, Vec3 v0, Vec3 v1, Vec3 v2) {
    const TriangleContact miss = {0, {0, 0, 0}, {0, 0, 0}, 0};
    const Vec3 cr = cross(sub(v1, v0), sub(v2, v0));
    const double face_len = sqrt(dot(cr, cr));
    if (face_len <= kDegenerateFace) return miss;

    const Vec3 winding = {cr.x / face_len, cr.y / face_len, cr.z / face_len};
    // Turned towards the capsule's centre; a centre on the plane keeps it.
    const Vec3 normal = dot(sub(cap.centre, v0), winding) < 0 ? neg(winding) : winding;

    // Face pass: an end point whose foot lies in the triangle; the larger
    // reach wins, c0 on a tie. Its closest triangle points are kept for the
    // edge pass, which would compute the same ones.
    const Vec3 ends[2] = {cap.c0, cap.c1};
    Vec3 end_tp[2];
    double best_reach = kNoReachYet;
    bool face_found = false;
    Vec3 bestpt = {0, 0, 0};
    for (int e = 0; e < 2; ++e) {
        const Vec3 sp = ends[e];
        const double height = dot(sub(sp, v0), normal);
        const Vec3 foot = sub(sp, mul(normal, height));
        end_tp[e] = closest_pt_triangle(sp, v0, v1, v2);
        const double reach = cap.radius - height;
        if (length_squared(sub(foot, end_tp[e])) <= kInsideEps2 && reach > 0 &&
            reach > best_reach) {
            best_reach = reach;
            bestpt = end_tp[e];
            face_found = true;
        }
    }
    if (face_found) return hit_at(bestpt, normal, best_reach);

    // Edge pass: end points against the triangle, then the axis against each
    // edge; only a strictly smaller squared distance replaces the best.
    double best_d2 = kNoDistanceYet;
    bool found = false;
    Vec3 bsp = {0, 0, 0};
    Vec3 btp = {0, 0, 0};
    auto consider = [&](Vec3 axis_pt, Vec3 tri_pt) {
        const double d2 = length_squared(sub(axis_pt, tri_pt));
        if (d2 < best_d2) {
            best_d2 = d2;
            bsp = axis_pt;
            btp = tri_pt;
            found = true;
        }
    };
    consider(ends[0], end_tp[0]);
    consider(ends[1], end_tp[1]);
    const Vec3 edges[3][2] = {{v0, v1}, {v1, v2}, {v2, v0}};
    for (const auto& edge : edges) {
        const SegmentPoints sp = closest_pts_segment_segment(cap.c0, cap.c1, edge[0], edge[1]);
        consider(sp.on_first, sp.on_second);
    }
    // A surface that only touches is a miss. So is a triangle for which no
    // candidate had a distance below kNoDistanceYet (overflowing or NaN
    // coordinates): there is no closest pair to report.
    if (!found || best_d2 >= cap.radius_sq) return miss;

    const double dist = sqrt(best_d2);
    const Vec3 n = dist > kDirectionEps
                       ? Vec3{(bsp.x - btp.x) / dist, (bsp.y - btp.y) / dist, (bsp.z - btp.z) / dist}
                       : winding;
    return hit_at(btp, n, cap.radius - dist);
}

void capsule_triangles_batch(const Capsule& cap, const TriangleBatch& b) {
    // memcpy keeps unaligned caller buffers well-defined; it compiles to moves.
    for (ptrdiff_t i = 0; i < b.n; ++i) {
        const char* tri = b.verts + i * b.tri_stride;
        Vec3 v[3];
        for (int j = 0; j < 3; ++j) memcpy(&v[j], tri + j * b.vert_stride, sizeof(Vec3));
        const TriangleContact c = capsule_triangle_contact(cap, v[0], v[1], v[2]);
        const unsigned char flag = c.hit ? 1 : 0;
        memcpy(b.hit + i * b.hit_stride, &flag, 1);
        if (!c.hit) continue;
        memcpy(b.depths + i * b.depths_stride, &c.depth, sizeof(double));
        memcpy(b.points + i * b.points_stride, &c.point, sizeof(Vec3));
        memcpy(b.normals + i * b.normals_stride, &c.normal, sizeof(Vec3));
    }
}

}  // namespace zuli
