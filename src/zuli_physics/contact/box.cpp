#include "box.hpp"

#include <assert.h>
#include <math.h>
#include <string.h>

#include <cstdint>

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

// The axis j with the greatest |d_j|, d_j = v . axis j: starting from -1.0,
// strictly greater replaces, so equal alignments keep the lower index (and a
// NaN never replaces). The sign is that of the kept d_j, zero counting as
// positive. Which axis wins is data, so the choice is made with selects
// and flags rather than branches that would often be mispredicted.
FaceAxis pick_face(const double d[3]) {
    static constexpr double kSign[2] = {-1.0, 1.0};
    const double a0 = fabs(d[0]), a1 = fabs(d[1]), a2 = fabs(d[2]);
    const double best0 = a0 > -1.0 ? a0 : -1.0;
    const bool take1 = a1 > best0;
    const double best1 = take1 ? a1 : best0;
    const bool take2 = a2 > best1;
    const int index = take2 ? 2 : static_cast<int>(take1);
    return {index, kSign[d[index] >= 0]};
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
[[gnu::always_inline]] inline const Polygon& clip_side(const Polygon& in, Vec3 P, double U, Polygon& out) {
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
    // Emission without branches (which side a vertex lies on is data, and
    // a branch on it would be mispredicted about as often as not): each
    // vertex and each crossing point is written at the next free slot, and
    // the slot advances only when it is emitted. A lane that does not cross
    // computes a point nobody keeps. The slots hold twice the input; the
    // first MAX_POLY emitted are kept.
    int m = 0;
    for (int l = 0; l < in.n; ++l) {
        const int next = l + 1 == in.n ? 0 : l + 1;
        const double a = dist[l];
        const double b = dist[next];
        const Vec3 V = in.v[l];
        out.v[m] = V;
        m += a <= 0;
        const double t = a / (a - b);
        out.v[m] = add(V, mul(sub(in.v[next], V), t));
        m += a * b < 0;
    }
    out.n = m < MAX_POLY ? m : MAX_POLY;
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
    // strictly greater value, so ties keep the lowest index. Each scan's
    // values are computed first, in a loop of their own (independent square
    // roots overlap), and picked without branches: which value wins is data.
    auto d2 = [&](int i, int j) { return length_squared(sub(cand[i], cand[j])); };
    auto greatest = [k](const double* v, double best) {
        int at = 0;
        for (int j = 0; j < k; ++j) {
            const bool take = v[j] > best;
            best = take ? v[j] : best;
            at = take ? j : at;
        }
        return at;
    };
    double v0[MAX_POLY], v1[MAX_POLY], v[MAX_POLY];

    for (int j = 0; j < k; ++j) v[j] = cand[j].x;
    const int i0 = greatest(v, cand[0].x);  // greatest x (world); depths play no part
    for (int j = 0; j < k; ++j) v0[j] = d2(j, i0);
    const int i1 = greatest(v0, -1.0);  // farthest from i0, by squared distance
    for (int j = 0; j < k; ++j) v1[j] = d2(j, i1);
    for (int j = 0; j < k; ++j) v[j] = sqrt(v0[j]) + sqrt(v1[j]);
    const int i2 = greatest(v, -1.0);  // greatest sum of distances to i0 and i1
    for (int j = 0; j < k; ++j) v[j] = sqrt(d2(j, i2));
    const int i3 = greatest(v, -1.0);  // farthest from i2 alone

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
    // flip is 1.0 or -1.0; multiplying by it is exact, and by -1.0 it flips
    // the sign bit as negation does. The choice of reference box is data,
    // so it selects values instead of branching.
    static constexpr double kFlip[2] = {-1.0, 1.0};
    const double flip = kFlip[a_is_ref];
    const Vec3 m = mul(n, flip);
    // The face choices need m . F_j and -m . I_j. Negating a vector negates
    // each dot product with it (up to the sign of an exact zero sum, which
    // neither |d| nor the d >= 0 test sees), so they come from nA and nB.
    const double* ref_n = a_is_ref ? nA : nB;
    const double* inc_n = a_is_ref ? nB : nA;
    const double ref_dots[3] = {ref_n[0] * flip, ref_n[1] * flip, ref_n[2] * flip};
    const double inc_dots[3] = {-(inc_n[0] * flip), -(inc_n[1] * flip), -(inc_n[2] * flip)};

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

    // Clip against the side planes +F_i, -F_i of the two in-face axes i, in
    // increasing i (r1 < r2). An empty pass goes straight to the fallback.
    int cur = 0;
    bool emptied = false;
    for (int pass = 0; pass < 4 && !emptied; ++pass) {
        const int i = pass < 2 ? r1 : r2;
        const Vec3 P = mul(ref.R.col(i), pass % 2 == 0 ? 1.0 : -1.0);
        const double U = dot(P, ref.c) + hr[i];
        if (&clip_side(poly[cur], P, U, poly[1 - cur]) != &poly[cur]) cur = 1 - cur;
        emptied = poly[cur].n == 0;
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
    for (int lane = 0; lane < kLanes; ++lane) n += listed(lane);
    return n;
}

namespace {

// {row[0], row[1], row[2], 0.0}, put together in registers from a pair
// and a single. Written element by element into memory and read back as
// one vector, it would stall the read until the smaller writes retire.
[[gnu::always_inline]] inline void row_lanes(const double (&row)[3], Lanes& out) {
    typedef double Pair __attribute__((vector_size(16)));
    Pair first;
    memcpy(&first, row, sizeof first);
    const Pair last = {row[2], 0.0};
    out = __builtin_shufflevector(first, last, 0, 1, 2, 3);
}

// Groups 0 and 1: the face axes, as given. Row r of a rotation holds
// component r of its three axes.
[[gnu::always_inline]] inline void face_axes(const Mat3& Ra, const Mat3& Rb, CandidateAxes& L) {
#pragma GCC unroll 2
    for (int g = 0; g < 2; ++g) {
        const double(&R)[3][3] = g == 0 ? Ra.m : Rb.m;
        row_lanes(R[0], L.x[g]);
        row_lanes(R[1], L.y[g]);
        row_lanes(R[2], L.z[g]);
        L.used[g] = LaneMask{-1, -1, -1, 0};
    }
}

// Groups 2 to 4: e = A_i x B_k across the lanes k, kept (normalised with
// one square root and one division) when its squared length exceeds
// kParallelEdgeEps. The padding lane crosses with a zero vector, so it is
// never kept.
[[gnu::always_inline]] inline void edge_axes(const Mat3& Ra, const Mat3& Rb, CandidateAxes& L) {
    Lanes bx, by, bz;
    row_lanes(Rb.m[0], bx);
    row_lanes(Rb.m[1], by);
    row_lanes(Rb.m[2], bz);
#pragma GCC unroll 3
    for (int i = 0; i < 3; ++i) {
        const double ax = Ra.m[0][i], ay = Ra.m[1][i], az = Ra.m[2][i];
        const Lanes ex = ay * bz - az * by;
        const Lanes ey = az * bx - ax * bz;
        const Lanes ez = ax * by - ay * bx;
        const Lanes sq = (ex * ex + ey * ey) + ez * ez;
        const Lanes r = 1.0 / Lanes{sqrt(sq[0]), sqrt(sq[1]), sqrt(sq[2]), sqrt(sq[3])};
        L.x[2 + i] = ex * r;
        L.y[2 + i] = ey * r;
        L.z[2 + i] = ez * r;
        L.used[2 + i] = sq > kParallelEdgeEps;
    }
}

// For the lanes of group g: s = L.d and overlap = (rA + rB) - |s|, where rA
// and rB are the projected radii (|L.A0| h0 + |L.A1| h1) + |L.A2| h2.
[[gnu::always_inline]] inline void group_overlap(const CandidateAxes& L, int g, const OrientedBox& a,
                                                 const OrientedBox& b, Vec3 d, Lanes& s, Lanes& overlap) {
    const long long m = 0x7fffffffffffffffLL;
    const LaneMask no_sign = {m, m, m, m};  // and-ing it clears the sign bit, as fabs does
    const Lanes lx = L.x[g], ly = L.y[g], lz = L.z[g];
    s = (lx * d.x + ly * d.y) + lz * d.z;
    Lanes r[2];
#pragma GCC unroll 2
    for (int k = 0; k < 2; ++k) {
        const OrientedBox& box = k == 0 ? a : b;
        const double h[3] = {box.h.x, box.h.y, box.h.z};
        Lanes p[3];
#pragma GCC unroll 3
        for (int j = 0; j < 3; ++j) {
            const Lanes along = (lx * box.R.m[0][j] + ly * box.R.m[1][j]) + lz * box.R.m[2][j];
            p[j] = reinterpret_cast<Lanes>(reinterpret_cast<LaneMask>(along) & no_sign) * h[j];
        }
        r[k] = (p[0] + p[1]) + p[2];
    }
    overlap = (r[0] + r[1]) - reinterpret_cast<Lanes>(reinterpret_cast<LaneMask>(s) & no_sign);
}

// a with every sign bit flipped when `flip` (as neg(a)), else a.
[[gnu::always_inline]] inline Vec3 flip_signs(Vec3 a, bool flip) {
    const std::uint64_t mask = static_cast<std::uint64_t>(flip) << 63;
    double c[3] = {a.x, a.y, a.z};
    for (double& x : c) {
        std::uint64_t bits;
        memcpy(&bits, &x, sizeof bits);
        bits ^= mask;
        memcpy(&x, &bits, sizeof x);
    }
    return {c[0], c[1], c[2]};
}

[[gnu::always_inline]] inline bool any(const LaneMask& v) { return (v[0] | v[1] | v[2] | v[3]) != 0; }

}  // namespace

CandidateAxes box_axes(const Mat3& Ra, const Mat3& Rb) {
    CandidateAxes L;
    face_axes(Ra, Rb, L);
    edge_axes(Ra, Rb, L);
    return L;
}

namespace {

// box_sat's body, compiled once for AVX2 and once for the baseline
// instruction set; the loader picks one. (Internal, so that the dispatcher
// is not exported from the extension.)
__attribute__((target_clones("avx2", "default"))) int separating_axis_test(const OrientedBox& a,
                                                                           const OrientedBox& b, Vec3& normal,
                                                                           Vec3 pts[MAX_CONTACTS],
                                                                           double dep[MAX_CONTACTS]) {
    constexpr int kGroups = CandidateAxes::kGroups;
    const Vec3 d = sub(b.c, a.c);
    CandidateAxes L;
    Lanes s[kGroups], overlap[kGroups];

    // Any listed axis with a negative overlap separates the boxes, whatever
    // its place in the list, so the face axes are tested before the edge
    // axes are even built: most separated pairs stop there.
    face_axes(a.R, b.R, L);
    LaneMask separated = {0, 0, 0, 0};
#pragma GCC unroll 2
    for (int g = 0; g < 2; ++g) {
        group_overlap(L, g, a, b, d, s[g], overlap[g]);
        separated |= L.used[g] & (overlap[g] < 0.0);
    }
    if (any(separated)) return 0;
    edge_axes(a.R, b.R, L);
#pragma GCC unroll 3
    for (int g = 2; g < kGroups; ++g) {
        group_overlap(L, g, a, b, d, s[g], overlap[g]);
        separated |= L.used[g] & (overlap[g] < 0.0);
    }
    if (any(separated)) return 0;

    // The axis of least overlap: the strictly least value wins, so on equal
    // overlaps the earlier axis stays (no bias between face and edge axes),
    // and a NaN never wins. Each lane position keeps its least over the
    // groups in order, then the four positions are merged by value and, on
    // equal values, by the earlier lane.
    Lanes best = {kNoOverlapYet, kNoOverlapYet, kNoOverlapYet, kNoOverlapYet};
    LaneMask at = {-1, -1, -1, -1};
#pragma GCC unroll 5
    for (int g = 0; g < kGroups; ++g) {
        const LaneMask take = L.used[g] & (overlap[g] < best);
        best = reinterpret_cast<Lanes>((reinterpret_cast<LaneMask>(overlap[g]) & take) |
                                       (reinterpret_cast<LaneMask>(best) & ~take));
        at = (LaneMask{4 * g, 4 * g + 1, 4 * g + 2, 4 * g + 3} & take) | (at & ~take);
    }
    double least = kNoOverlapYet;
    int chosen = -1;
    for (int j = 0; j < 4; ++j) {
        // Bitwise, not short-circuit: the outcome is data.
        const bool take = (at[j] >= 0) & ((best[j] < least) | ((best[j] == least) & (at[j] < chosen)));
        least = take ? best[j] : least;
        chosen = take ? static_cast<int>(at[j]) : chosen;
    }
    Vec3 axis = {0.0, 0.0, 0.0};
    if (chosen >= 0) {
        axis = L.axis(chosen);
        // Oriented from a to b: the sign bits flipped (as neg() does) when
        // s is not >= 0, by a mask rather than a branch.
        const bool flip = !(s[chosen / 4][chosen % 4] >= 0);
        axis = flip_signs(axis, flip);
    }
    normal = axis;
    return box_clip(a, b, axis, pts, dep, least);
}

}  // namespace

int box_sat(const OrientedBox& a, const OrientedBox& b, Vec3& normal, Vec3 pts[MAX_CONTACTS],
            double dep[MAX_CONTACTS]) {
    return separating_axis_test(a, b, normal, pts, dep);
}

void box_box_contact(const OrientedBox& a, const OrientedBox& b, Manifold& out) {
    out.normal = {0.0, 0.0, 0.0};
    out.count = box_sat(a, b, out.normal, out.points, out.depths);
}

}  // namespace zuli
