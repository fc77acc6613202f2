#include "box.hpp"

#include <assert.h>
#include <math.h>

namespace zuli {

namespace {

// Squared length of an edge cross product at or below which the two edges
// count as parallel: the axis would be noise, so it is skipped.
constexpr double kParallelEdgeEps = 1e-18;
// How far in front of the reference plane a clipped vertex may lie and still
// count as touching (it is then moved onto the plane with depth 0).
constexpr double kDepthSlop = -1e-06;
// Starting value of the least-overlap search: larger than any real overlap.
constexpr double kNoOverlapYet = 1e300;

// The two face axes spanning the face of axis j, in increasing order.
constexpr int kInFace[3][2] = {{1, 2}, {0, 2}, {0, 1}};

// Projected radius of a box onto axis L: |L.A0| h0 + |L.A1| h1 + |L.A2| h2.
double projected_radius(Vec3 L, const OrientedBox& box) {
    return (fabs(dot(L, box.R.col(0))) * box.h.x + fabs(dot(L, box.R.col(1))) * box.h.y) +
           fabs(dot(L, box.R.col(2))) * box.h.z;
}

// Greatest |n . axis| over the box's axes, ties irrelevant (only the value).
double max_alignment(const Mat3& R, Vec3 n) {
    double best = -1.0;
    for (int j = 0; j < 3; ++j) {
        const double d = fabs(dot(n, R.col(j)));
        if (d > best) best = d;
    }
    return best;
}

}  // namespace

void clip_pass(const Polygon& in, Vec3 P, double U, Polygon& out) {
    out.n = 0;
    for (int l = 0; l < in.n; ++l) {
        const Vec3 V = in.v[l];
        const Vec3 W = in.v[l + 1 == in.n ? 0 : l + 1];
        const double a = dot(P, V) - U;
        const double b = dot(P, W) - U;
        if (a <= 0) out.emit(V);
        if (a * b < 0) {
            const double t = a / (a - b);
            out.emit(add(V, mul(sub(W, V), t)));
        }
    }
}

FaceAxis best_face_axis(const Mat3& R, Vec3 v) {
    // Strictly greater replaces, so equal alignments keep the lower index.
    int index = 0;
    double best = -1.0;
    double kept = dot(v, R.col(0));
    for (int j = 0; j < 3; ++j) {
        const double d = dot(v, R.col(j));
        if (fabs(d) > best) {
            best = fabs(d);
            index = j;
            kept = d;
        }
    }
    return {index, kept >= 0 ? 1.0 : -1.0};
}

int reduce_manifold(const Vec3* cand, const double* depths, int k, Vec3 pts[MAX_CONTACTS],
                    double dep[MAX_CONTACTS]) {
    assert(1 <= k && k <= MAX_POLY);
    if (k <= MAX_CONTACTS) {
        for (int i = 0; i < k; ++i) {
            pts[i] = cand[i];
            dep[i] = depths[i];
        }
        return k;
    }
    // Four picks spread over the patch. Every scan covers all candidates from
    // index 0 (already picked ones included) and replaces its best only on a
    // strictly greater value, so ties keep the lowest index.
    auto d2 = [&](int i, int j) { return length_squared(sub(cand[i], cand[j])); };

    int i0 = 0;  // greatest x (world); depths play no part
    double best = cand[0].x;
    for (int j = 0; j < k; ++j) {
        if (cand[j].x > best) { best = cand[j].x; i0 = j; }
    }
    int i1 = 0;  // farthest from i0, by squared distance
    best = -1.0;
    for (int j = 0; j < k; ++j) {
        const double v = d2(j, i0);
        if (v > best) { best = v; i1 = j; }
    }
    int i2 = 0;  // greatest sum of distances to i0 and i1
    best = -1.0;
    for (int j = 0; j < k; ++j) {
        const double v = sqrt(d2(j, i0)) + sqrt(d2(j, i1));
        if (v > best) { best = v; i2 = j; }
    }
    int i3 = 0;  // farthest from i2 alone
    best = -1.0;
    for (int j = 0; j < k; ++j) {
        const double v = sqrt(d2(j, i2));
        if (v > best) { best = v; i3 = j; }
    }

    const int picks[4] = {i0, i1, i2, i3};
    int m = 0;
    for (int p = 0; p < 4; ++p) {
        bool repeat = false;
        for (int q = 0; q < p; ++q) repeat = repeat || picks[q] == picks[p];
        if (repeat) continue;
        pts[m] = cand[picks[p]];
        dep[m] = depths[picks[p]];
        ++m;
    }
    return m;
}

int box_clip(const OrientedBox& a, const OrientedBox& b, Vec3 n, Vec3 pts[MAX_CONTACTS],
             double dep[MAX_CONTACTS], double least_overlap) {
    // The box whose face is better aligned with n is the reference (ties: A);
    // m points from the reference box towards the incident one.
    const bool a_is_ref = max_alignment(a.R, n) >= max_alignment(b.R, n);
    const OrientedBox& ref = a_is_ref ? a : b;
    const OrientedBox& inc = a_is_ref ? b : a;
    const Vec3 m = a_is_ref ? n : neg(n);

    // Incident face: the one turned towards the reference box.
    const FaceAxis fi = best_face_axis(inc.R, neg(m));
    const double hi[3] = {inc.h.x, inc.h.y, inc.h.z};
    const Vec3 I1 = inc.R.col(kInFace[fi.index][0]);
    const Vec3 I2 = inc.R.col(kInFace[fi.index][1]);
    const double u = hi[kInFace[fi.index][0]];
    const double w = hi[kInFace[fi.index][1]];
    const Vec3 f = add(inc.c, mul(inc.R.col(fi.index), fi.sign * hi[fi.index]));
    Polygon poly[2];
    poly[0].n = 4;
    poly[0].v[0] = add(add(f, mul(I1, u)), mul(I2, w));
    poly[0].v[1] = add(sub(f, mul(I1, u)), mul(I2, w));
    poly[0].v[2] = sub(sub(f, mul(I1, u)), mul(I2, w));
    poly[0].v[3] = sub(add(f, mul(I1, u)), mul(I2, w));

    // Reference face and its first corner, through which the depth plane
    // (perpendicular to m) passes.
    const FaceAxis fr = best_face_axis(ref.R, m);
    const double hr[3] = {ref.h.x, ref.h.y, ref.h.z};
    const int r1 = kInFace[fr.index][0];
    const int r2 = kInFace[fr.index][1];
    const Vec3 q = add(add(add(ref.c, mul(ref.R.col(fr.index), fr.sign * hr[fr.index])),
                           mul(ref.R.col(r1), hr[r1])),
                       mul(ref.R.col(r2), hr[r2]));

    // Clip against the side planes +F_i, -F_i of each in-face axis i, in
    // increasing i. An empty pass goes straight to the fallback.
    int cur = 0;
    bool emptied = false;
    for (int i = 0; i < 3 && !emptied; ++i) {
        if (i == fr.index) continue;
        for (int side = 0; side < 2; ++side) {
            const Vec3 P = mul(ref.R.col(i), side == 0 ? 1.0 : -1.0);
            const double U = dot(P, ref.c) + hr[i];
            clip_pass(poly[cur], P, U, poly[1 - cur]);
            cur = 1 - cur;
            if (poly[cur].n == 0) {
                emptied = true;
                break;
            }
        }
    }

    if (!emptied) {
        // Keep vertices at most |kDepthSlop| in front of the reference plane,
        // moved onto it along m; the depth never goes negative.
        Vec3 cand[MAX_POLY];
        double depths[MAX_POLY];
        int k = 0;
        const Polygon& clipped = poly[cur];
        for (int l = 0; l < clipped.n; ++l) {
            const Vec3 p = clipped.v[l];
            const double s = dot(m, sub(q, p));
            if (s >= kDepthSlop) {
                cand[k] = add(p, mul(m, s));
                depths[k] = s > 0 ? s : 0.0;
                ++k;
            }
        }
        if (k > 0) return reduce_manifold(cand, depths, k, pts, dep);
    }

    // Nothing survived: one contact midway between the centres.
    pts[0] = mul(add(a.c, b.c), 0.5);
    dep[0] = least_overlap;
    return 1;
}

int box_axes(const Mat3& Ra, const Mat3& Rb, Vec3 axes[MAX_AXES]) {
    int count = 0;
    for (int j = 0; j < 3; ++j) axes[count++] = Ra.col(j);
    for (int j = 0; j < 3; ++j) axes[count++] = Rb.col(j);
    for (int i = 0; i < 3; ++i) {
        for (int k = 0; k < 3; ++k) {
            const Vec3 e = cross(Ra.col(i), Rb.col(k));
            const double sq = length_squared(e);
            if (sq > kParallelEdgeEps) {
                const double r = 1.0 / sqrt(sq);
                axes[count++] = mul(e, r);
            }
        }
    }
    return count;
}

int box_sat(const OrientedBox& a, const OrientedBox& b, Vec3& normal, Vec3 pts[MAX_CONTACTS],
            double dep[MAX_CONTACTS]) {
    Vec3 axes[MAX_AXES];
    const int count = box_axes(a.R, b.R, axes);

    // The strictly least overlap wins, so on equal overlaps the earlier axis
    // stays: no bias between face and edge axes. A negative overlap separates.
    const Vec3 d = sub(b.c, a.c);
    double least = kNoOverlapYet;
    Vec3 best = {0.0, 0.0, 0.0};
    for (int i = 0; i < count; ++i) {
        const Vec3 L = axes[i];
        const double s = dot(L, d);
        const double overlap = (projected_radius(L, a) + projected_radius(L, b)) - fabs(s);
        if (overlap < 0) return 0;
        if (overlap < least) {
            least = overlap;
            best = s >= 0 ? L : neg(L);
        }
    }
    normal = best;
    return box_clip(a, b, best, pts, dep, least);
}

void box_box_contact(const OrientedBox& a, const OrientedBox& b, Manifold& out) {
    out.normal = {0.0, 0.0, 0.0};
    out.count = box_sat(a, b, out.normal, out.points, out.depths);
}

}  // namespace zuli
