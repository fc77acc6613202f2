#include "box.hpp"

#include <assert.h>
#include <math.h>
#include <string.h>

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

// The axis j with the greatest |d_j|, d_j = v . axis j: strictly greater
// replaces, so equal alignments keep the lower index. The sign is that of
// the kept d_j, zero counting as positive.
FaceAxis pick_face(const double d[3]) {
    int index = 0;
    double best = -1.0;
    double kept = d[0];
    for (int j = 0; j < 3; ++j) {
        if (fabs(d[j]) > best) {
            best = fabs(d[j]);
            index = j;
            kept = d[j];
        }
    }
    return {index, kept >= 0 ? 1.0 : -1.0};
}

// Greatest |d_j| (only the value).
double max_alignment(const double d[3]) {
    double best = -1.0;
    for (int j = 0; j < 3; ++j) {
        if (fabs(d[j]) > best) best = fabs(d[j]);
    }
    return best;
}

}  // namespace

namespace {

// clip_pass, inlined into box_clip's four passes.
__attribute__((always_inline)) inline const Polygon& clip_side(const Polygon& in, Vec3 P, double U,
                                                               Polygon& out) {
    // Each vertex's distance is computed once; the edge (V, W) reuses W's.
    double dist[MAX_POLY];
    bool all_inside = true;
    for (int l = 0; l < in.n; ++l) {
        dist[l] = dot(P, in.v[l]) - U;
        all_inside &= dist[l] <= 0;
    }
    // Every vertex inside: the pass would emit its input unchanged (a <= 0
    // and b <= 0 never have a negative product).
    if (all_inside) return in;
    // Emission keeps the first MAX_POLY vertices; the count stays in a
    // register rather than going through out.n for every vertex.
    int m = 0;
    for (int l = 0; l < in.n; ++l) {
        const int next = l + 1 == in.n ? 0 : l + 1;
        const double a = dist[l];
        const double b = dist[next];
        const Vec3 V = in.v[l];
        if (a <= 0 && m < MAX_POLY) out.v[m++] = V;
        if (a * b < 0) {
            const double t = a / (a - b);
            if (m < MAX_POLY) out.v[m++] = add(V, mul(sub(in.v[next], V), t));
        }
    }
    out.n = m;
    return out;
}

}  // namespace

const Polygon& clip_pass(const Polygon& in, Vec3 P, double U, Polygon& out) { return clip_side(in, P, U, out); }

FaceAxis best_face_axis(const Mat3& R, Vec3 v) {
    const double d[3] = {dot(v, R.col(0)), dot(v, R.col(1)), dot(v, R.col(2))};
    return pick_face(d);
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
    const double nA[3] = {dot(n, a.R.col(0)), dot(n, a.R.col(1)), dot(n, a.R.col(2))};
    const double nB[3] = {dot(n, b.R.col(0)), dot(n, b.R.col(1)), dot(n, b.R.col(2))};
    const bool a_is_ref = max_alignment(nA) >= max_alignment(nB);
    const OrientedBox& ref = a_is_ref ? a : b;
    const OrientedBox& inc = a_is_ref ? b : a;
    const Vec3 m = a_is_ref ? n : neg(n);
    // The face choices need m . F_j and -m . I_j. Negating a vector negates
    // each dot product with it (up to the sign of an exact zero sum, which
    // neither |d| nor the d >= 0 test sees), so they come from nA and nB.
    const double ref_dots[3] = {a_is_ref ? nA[0] : -nB[0], a_is_ref ? nA[1] : -nB[1],
                                a_is_ref ? nA[2] : -nB[2]};
    const double inc_dots[3] = {a_is_ref ? -nB[0] : nA[0], a_is_ref ? -nB[1] : nA[1],
                                a_is_ref ? -nB[2] : nA[2]};

    // Incident face: the one turned towards the reference box.
    const FaceAxis fi = pick_face(inc_dots);
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
    const FaceAxis fr = pick_face(ref_dots);
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
            if (&clip_side(poly[cur], P, U, poly[1 - cur]) != &poly[cur]) cur = 1 - cur;
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

int CandidateAxes::count() const {
    int n = 0;
    for (bool u : used) n += u;
    return n;
}

CandidateAxes box_axes(const Mat3& Ra, const Mat3& Rb) {
    CandidateAxes L;
    for (int j = 0; j < 3; ++j) {
        const Vec3 a = Ra.col(j), b = Rb.col(j);
        L.x[j] = a.x, L.y[j] = a.y, L.z[j] = a.z;
        L.x[3 + j] = b.x, L.y[3 + j] = b.y, L.z[3 + j] = b.z;
        L.used[j] = L.used[3 + j] = true;
    }
    // The nine square roots and divisions are independent, so they overlap
    // in the pipeline.
    for (int i = 0; i < 3; ++i) {
        for (int k = 0; k < 3; ++k) {
            const int lane = 6 + 3 * i + k;
            const Vec3 e = cross(Ra.col(i), Rb.col(k));
            const double sq = length_squared(e);
            const double r = 1.0 / sqrt(sq);
            L.used[lane] = sq > kParallelEdgeEps;
            L.x[lane] = e.x * r, L.y[lane] = e.y * r, L.z[lane] = e.z * r;
        }
    }
    L.x[15] = L.y[15] = L.z[15] = 0.0;
    L.used[15] = false;
    return L;
}

namespace {

constexpr int kLanes = CandidateAxes::kLanes;

// Four lanes of doubles. Each lane computes exactly the scalar expression,
// in the same order and without contraction, so lanes give the scalar bits.
typedef double v4d __attribute__((vector_size(32), aligned(32)));
typedef long long v4i __attribute__((vector_size(32), aligned(32)));

// For every lane: s = L.d and overlap = (rA + rB) - |s|, where rA and rB are
// the projected radii (|L.A0| h0 + |L.A1| h1) + |L.A2| h2. Compiled once for
// AVX2 and once for the baseline instruction set; the loader picks one.
__attribute__((target_clones("avx2", "default"))) void axis_overlaps(
    const CandidateAxes& L, Vec3 d, const Vec3 (&A)[3], const Vec3 (&B)[3], Vec3 ha, Vec3 hb,
    double (&s)[kLanes], double (&overlap)[kLanes]) {
    const long long m = 0x7fffffffffffffffLL;
    const v4i no_sign = {m, m, m, m};  // and-ing it clears the sign bit, as fabs does
    v4d axis[6][3];  // A_0..A_2, B_0..B_2, each component in every lane
    for (int j = 0; j < 3; ++j) {
        const Vec3 u[2] = {A[j], B[j]};
        for (int k = 0; k < 2; ++k) {
            axis[3 * k + j][0] = v4d{u[k].x, u[k].x, u[k].x, u[k].x};
            axis[3 * k + j][1] = v4d{u[k].y, u[k].y, u[k].y, u[k].y};
            axis[3 * k + j][2] = v4d{u[k].z, u[k].z, u[k].z, u[k].z};
        }
    }
    const v4d dx = {d.x, d.x, d.x, d.x}, dy = {d.y, d.y, d.y, d.y}, dz = {d.z, d.z, d.z, d.z};
    const v4d h[6] = {{ha.x, ha.x, ha.x, ha.x}, {ha.y, ha.y, ha.y, ha.y}, {ha.z, ha.z, ha.z, ha.z},
                      {hb.x, hb.x, hb.x, hb.x}, {hb.y, hb.y, hb.y, hb.y}, {hb.z, hb.z, hb.z, hb.z}};
    for (int c = 0; c < kLanes; c += 4) {
        v4d lx, ly, lz;
        memcpy(&lx, L.x + c, sizeof lx);
        memcpy(&ly, L.y + c, sizeof ly);
        memcpy(&lz, L.z + c, sizeof lz);
        const v4d sd = (lx * dx + ly * dy) + lz * dz;
        v4d p[6];  // |L.A_j| h_j, then |L.B_j| h_j
        for (int j = 0; j < 6; ++j) {
            const v4d along = (lx * axis[j][0] + ly * axis[j][1]) + lz * axis[j][2];
            p[j] = reinterpret_cast<v4d>(reinterpret_cast<v4i>(along) & no_sign) * h[j];
        }
        const v4d rA = (p[0] + p[1]) + p[2];
        const v4d rB = (p[3] + p[4]) + p[5];
        const v4d ov = (rA + rB) - reinterpret_cast<v4d>(reinterpret_cast<v4i>(sd) & no_sign);
        memcpy(s + c, &sd, sizeof sd);
        memcpy(overlap + c, &ov, sizeof ov);
    }
}

}  // namespace

int box_sat(const OrientedBox& a, const OrientedBox& b, Vec3& normal, Vec3 pts[MAX_CONTACTS],
            double dep[MAX_CONTACTS]) {
    // Every axis's overlap is computed at once (four lanes at a time), then
    // the axes are scanned in list order. The strictly least overlap wins, so
    // on equal overlaps the earlier axis stays: no bias between face and edge
    // axes. A negative overlap separates the boxes.
    const Vec3 A[3] = {a.R.col(0), a.R.col(1), a.R.col(2)};
    const Vec3 B[3] = {b.R.col(0), b.R.col(1), b.R.col(2)};
    const CandidateAxes L = box_axes(a.R, b.R);

    double s[kLanes], overlap[kLanes];
    axis_overlaps(L, sub(b.c, a.c), A, B, a.h, b.h, s, overlap);

    double least = kNoOverlapYet;
    int chosen = -1;
    for (int lane = 0; lane < kLanes; ++lane) {
        if (!L.used[lane]) continue;
        if (overlap[lane] < 0) return 0;
        if (overlap[lane] < least) {
            least = overlap[lane];
            chosen = lane;
        }
    }
    Vec3 best = {0.0, 0.0, 0.0};
    if (chosen >= 0) {
        best = s[chosen] >= 0 ? L.axis(chosen) : neg(L.axis(chosen));
    }
    normal = best;
    return box_clip(a, b, best, pts, dep, least);
}

void box_box_contact(const OrientedBox& a, const OrientedBox& b, Manifold& out) {
    out.normal = {0.0, 0.0, 0.0};
    out.count = box_sat(a, b, out.normal, out.points, out.depths);
}

}  // namespace zuli
