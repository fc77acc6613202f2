#include "capsule.hpp"

#include <math.h>
#include <string.h>

#include "reach.hpp"

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

namespace {

// closest_pts_segment_segment, inlined into the contact step's edge loop.
[[gnu::always_inline]] inline SegmentPoints closest_segment_points(Vec3 p1, Vec3 q1, Vec3 p2, Vec3 q2) {
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

}  // namespace

SegmentPoints closest_pts_segment_segment(Vec3 p1, Vec3 q1, Vec3 p2, Vec3 q2) {
    return closest_segment_points(p1, q1, p2, q2);
}

namespace {

using bound::Bounds;
using bound::greater;
using bound::lesser;
using bound::Prefilter;
using bound::split;
using bound::Split;
using bound::XY;

bool is_finite(Vec3 v) { return isfinite(v.x) && isfinite(v.y) && isfinite(v.z); }

double max_abs(Vec3 v) { return greater(greater(fabs(v.x), fabs(v.y)), fabs(v.z)); }

// Is the axis clear of the triangle by more than `reach` along one of the
// directions that most often separate a capsule resting on a surface from
// the triangles around the one it touches: the face normal cr, or the axis
// crossed with an edge? (Edge normals within the plane catch few more and
// cost more than they save.) Along cr, both end points lie beyond reach on
// one side, so the face pass finds both heights beyond the radius. Along
// the others, only with both end points clearly on one side of the plane
// (`one_side`): an end point behind the plane can hit through its foot
// however far the axis passes, and in front of it the face pass needs the
// end within reach of the triangle. The edge pass finds every distance
// beyond the radius either way (see reach.hpp). Projections are taken from
// v0, whose own is 0.
bool separated(const Capsule& cap, Vec3 v0, Vec3 v1, Vec3 v2, Vec3 cr, bool one_side, const Prefilter& pre,
               double reach) {
    const Vec3 r0 = sub(cap.c0, v0), r1 = sub(cap.c1, v0);
    const Vec3 e1 = sub(v1, v0), e2 = sub(v2, v0);
    const auto clear_along = [&](Vec3 d) {
        const double s0 = dot(r0, d), s1 = dot(r1, d), t1 = dot(e1, d), t2 = dot(e2, d);
        return pre.beyond_along(lesser(s0, s1), greater(s0, s1), lesser(lesser(0.0, t1), t2),
                                greater(greater(0.0, t1), t2), dot(d, d), reach);
    };
    if (clear_along(cr)) return true;
    if (!one_side) return false;
    const Vec3 u = sub(cap.c1, cap.c0);
    const Vec3 edges[3] = {e1, sub(v2, v1), e2};
    for (const Vec3& e : edges)
        if (clear_along(cross(u, e))) return true;
    return false;
}

// separated(), with its four directions tested at once, one per lane: for
// code compiled for AVX2, where that costs about what the scalar test costs
// until its first or second direction, and leaves out the branches between
// them, which a processor seldom predicts.
[[gnu::always_inline]] inline bool separated_in_lanes(const Capsule& cap, Vec3 v0, Vec3 v1, Vec3 v2, Vec3 cr,
                                                      bool one_side, const Prefilter& pre, double reach) {
    using bound::Four;
    const Vec3 r0 = sub(cap.c0, v0), r1 = sub(cap.c1, v0);
    const Vec3 e1 = sub(v1, v0), e2 = sub(v2, v0);
    const Vec3 u = sub(cap.c1, cap.c0);
    // cr in lane 0, the axis crossed with the edges e1, v2 - v1 and e2 in lanes 1 to 3.
    const Vec3 d1 = cross(u, e1), d2 = cross(u, sub(v2, v1)), d3 = cross(u, e2);
    const Four dx = {cr.x, d1.x, d2.x, d3.x}, dy = {cr.y, d1.y, d2.y, d3.y}, dz = {cr.z, d1.z, d2.z, d3.z};
    // dot(r, d) lane by lane
    const Four s0 = (r0.x * dx + r0.y * dy) + r0.z * dz, s1 = (r1.x * dx + r1.y * dy) + r1.z * dz;
    const Four t1 = (e1.x * dx + e1.y * dy) + e1.z * dz, t2 = (e2.x * dx + e2.y * dy) + e2.z * dz;
    const Four zero = {0, 0, 0, 0};
    const Four lo_t = zero < t1 ? zero : t1, hi_t = zero > t1 ? zero : t1;  // lesser(0.0, t1), greater(0.0, t1)
    const int clear = pre.beyond_along(s0 < s1 ? s0 : s1, s0 > s1 ? s0 : s1, lo_t < t2 ? lo_t : t2,
                                       hi_t > t2 ? hi_t : t2, (dx * dx + dy * dy) + dz * dz, reach);
    return (clear & 1) || (one_side && (clear & 14));
}

// The axis against the triangle's three edges (v0-v1, v1-v2, v2-v0 in
// lanes 0 to 2; lane 3 repeats lane 0), closest_segment_points() lane by
// lane: for code compiled for AVX2. Every case of the scalar routine is
// computed and the lane's own is selected, so each lane gets the operations
// and the bits the scalar routine gives for its edge, without the branches
// on clamping, which a processor seldom predicts.
struct EdgeLanes {
    bound::Four ax, ay, az;  // on the axis
    bound::Four tx, ty, tz;  // on the edge
};

[[gnu::always_inline]] inline EdgeLanes edges_in_lanes(const Capsule& cap, Vec3 v0, Vec3 v1, Vec3 v2) {
    using bound::Four;
    using bound::FourMask;
    const Four zero = {0, 0, 0, 0}, one = {1, 1, 1, 1};
    const Vec3 p1 = cap.c0;
    const Vec3 u = sub(cap.c1, p1);
    const Four px = {v0.x, v1.x, v2.x, v0.x}, py = {v0.y, v1.y, v2.y, v0.y}, pz = {v0.z, v1.z, v2.z, v0.z};
    const Four wx = Four{v1.x, v2.x, v0.x, v1.x} - px, wy = Four{v1.y, v2.y, v0.y, v1.y} - py,
               wz = Four{v1.z, v2.z, v0.z, v1.z} - pz;
    const Four rx = p1.x - px, ry = p1.y - py, rz = p1.z - pz;
    const double A = dot(u, u);
    const Four E = (wx * wx + wy * wy) + wz * wz;
    const Four F = (wx * rx + wy * ry) + wz * rz;
    const FourMask point_edge = E <= kSegmentEps;
    // Each clamp01(q) below is q < 0 ? 0 : (q > 1 ? 1 : q), lane by lane.
    Four s, t;
    if (A <= kSegmentEps) {  // a point axis: s = 0
        const Four q = F / E;
        s = zero;
        t = q < 0 ? zero : (q > 1 ? one : q);
    } else {
        const Four C = (u.x * rx + u.y * ry) + u.z * rz;
        const Four B = (u.x * wx + u.y * wy) + u.z * wz;
        const Four qc = -C / A;
        const Four s_from_c = qc < 0 ? zero : (qc > 1 ? one : qc);
        const Four D = A * E - B * B;
        const Four q0 = (B * F - C * E) / D;
        const Four s0 = D > kSegmentEps ? (q0 < 0 ? zero : (q0 > 1 ? one : q0)) : zero;
        const Four t0 = (B * s0 + F) / E;
        const Four q1 = (B - C) / A;
        const Four s_above = q1 < 0 ? zero : (q1 > 1 ? one : q1);
        // A point edge (t = 0); else the general case, clamped at the edge's ends.
        s = point_edge ? s_from_c : (t0 < 0 ? s_from_c : (t0 > 1 ? s_above : s0));
        t = point_edge ? zero : (t0 < 0 ? zero : (t0 > 1 ? one : t0));
    }
    EdgeLanes out = {p1.x + u.x * s, p1.y + u.y * s, p1.z + u.z * s, px + wx * t, py + wy * t, pz + wz * t};
    if (A <= kSegmentEps) {
        // Both segments points: the end points themselves (p + 0 * u could
        // turn a -0.0 coordinate into +0.0).
        const Four p1x = {p1.x, p1.x, p1.x, p1.x}, p1y = {p1.y, p1.y, p1.y, p1.y}, p1z = {p1.z, p1.z, p1.z, p1.z};
        out = {point_edge ? p1x : out.ax, point_edge ? p1y : out.ay, point_edge ? p1z : out.az,
               point_edge ? px : out.tx,  point_edge ? py : out.ty,  point_edge ? pz : out.tz};
    }
    return out;
}

}  // namespace

Capsule make_capsule(Vec3 c0, Vec3 c1, double radius) {
    return {c0,
            c1,
            radius,
            mul(add(c1, c0), 0.5),
            radius * radius,
            {lesser(c0.x, c1.x), lesser(c0.y, c1.y), lesser(c0.z, c1.z)},
            {greater(c0.x, c1.x), greater(c0.y, c1.y), greater(c0.z, c1.z)},
            greater(max_abs(c0), max_abs(c1)),
            is_finite(c0) && is_finite(c1) && isfinite(radius)};
}

namespace {

// x - x is 0 for a finite x and NaN for an infinity or a NaN, and a sum with
// a NaN stays NaN: the vertices are finite when these sums are 0.
bool finite_vertices(const Split* p, Vec3 v0, Vec3 v1, Vec3 v2) {
    const XY zero_xy = ((p[0].xy - p[0].xy) + (p[1].xy - p[1].xy)) + (p[2].xy - p[2].xy);
    const double zero_z = ((v0.z - v0.z) + (v1.z - v1.z)) + (v2.z - v2.z);
    return zero_xy[0] == 0 && zero_xy[1] == 0 && zero_z == 0;
}

// What the contact step's bounds on distances start from (reach.hpp): the
// triangle's vertices split for the bounds, its box, the rounding margin
// against the capsule, and whether capsule and vertices are all finite.
struct TriangleBox {
    Split p[3];
    Bounds box;
    Prefilter pre;
    bool finite;
};

// `vertices_finite`: the caller knows the vertices to be finite, and they
// are not checked again.
[[gnu::always_inline]] inline TriangleBox triangle_box(const Capsule& cap, Vec3 v0, Vec3 v1, Vec3 v2,
                                                       bool vertices_finite) {
    const Split p[3] = {split(v0), split(v1), split(v2)};
    const Bounds box = bound::bounds_of(p[0], p[1], p[2]);
    const bool finite = cap.finite && (vertices_finite || finite_vertices(p, v0, v1, v2));
    return {{p[0], p[1], p[2]}, box, bound::prefilter(box, cap.extent), finite};
}

[[gnu::always_inline]] inline bool out_of_reach(const Capsule& cap, const TriangleBox& t) {
    const double reach = bound::capsule_reach(cap.radius);
    return t.pre.beyond(bound::gap({split(cap.lo), split(cap.hi)}, t.box), reach * reach);
}

}  // namespace

bool box_in_reach(const Capsule& cap, Vec3 v0, Vec3 v1, Vec3 v2) {
    return !out_of_reach(cap, triangle_box(cap, v0, v1, v2, false));
}

namespace {

// The contact step from a triangle's box (its parts as TriangleBox holds
// them, passed one by one: a TriangleBox made here and passed whole cost the
// plain step some 5% more instructions). `box_in_reach`: the caller found
// out_of_reach false, so the step's first test, the same, is skipped.
// kInLanes: separated_in_lanes() for separated(), in code compiled for AVX2.
template <bool kInLanes>
[[gnu::always_inline]] inline TriangleContact contact_step(const Capsule& cap, Vec3 v0, Vec3 v1, Vec3 v2,
                                                           const Split* p, const Bounds& tri, const Prefilter pre,
                                                           const bool finite, bool box_in_reach) {
    const TriangleContact miss = {0, {0, 0, 0}, {0, 0, 0}, 0};
    const Vec3 cr = cross(sub(v1, v0), sub(v2, v0));
    const Vec3 ends[2] = {cap.c0, cap.c1};

    bool far_end[2] = {false, false};
    bool far_edge[3] = {false, false, false};
    if (finite) {
        // A whole miss, known without the face normal: no edge-pass candidate
        // is in reach, and no face-pass hit is possible either. The face pass
        // hits at an end point in front of the plane only within radius +
        // 1e-09 of the triangle; an end point behind the plane (the other
        // side from the centre) is excluded by both ends lying clearly on the
        // same side, beyond what rounding of the heights could flip.
        const double reach = bound::capsule_reach(cap.radius);
        double side[2], size[2];  // r . cr for r = end - v0, and its terms' magnitudes
        for (int e = 0; e < 2; ++e) {
            const Vec3 r = sub(ends[e], v0);
            side[e] = dot(r, cr);
            size[e] = (fabs(r.x * cr.x) + fabs(r.y * cr.y)) + fabs(r.z * cr.z);
        }
        const bool one_side = (side[0] > 1e-12 * size[0] && side[1] > 1e-12 * size[1]) ||
                              (side[0] < -1e-12 * size[0] && side[1] < -1e-12 * size[1]);
        // With every candidate out of reach, the ends on either side of the
        // plane: the face pass could still hit through an end whose foot
        // lies in the triangle. Each foot is estimated without the
        // normalised normal, as the end minus cr (r . cr) / (cr . cr); it
        // differs from the computed foot by rounding far below the margin,
        // so with the margin counted twice, both estimates surely outside
        // the triangle mean both computed feet are too.
        const auto feet_out = [&] {
            const Prefilter wide = {2 * pre.margin};
            const double inv = 1.0 / dot(cr, cr);
            for (int e = 0; e < 2; ++e) {
                const Split foot = split(sub(ends[e], mul(cr, side[e] * inv)));
                if (!wide.beyond(bound::gap({foot, foot}, tri), kInsideEps2)) return false;
            }
            return true;
        };
        // The usual case first: the whole axis's box is out of reach of the
        // triangle's. Every candidate's and end point's box lies within one
        // of the two, so each of their gaps is at least this one, and
        // reach >= |radius|.
        const Bounds axis = {split(cap.lo), split(cap.hi)};
        if (!box_in_reach && pre.beyond(bound::gap(axis, tri), reach * reach) && (one_side || feet_out())) return miss;
        if (kInLanes ? separated_in_lanes(cap, v0, v1, v2, cr, one_side, pre, reach)
                     : separated(cap, v0, v1, v2, cr, one_side, pre, reach))
            return miss;

        const Split end[2] = {split(cap.c0), split(cap.c1)};
        const double end_gap[2] = {bound::gap({end[0], end[0]}, tri), bound::gap({end[1], end[1]}, tri)};
        bool all_far = true;
        for (int e = 0; e < 2; ++e) {
            far_end[e] = pre.beyond(end_gap[e], cap.radius_sq);
            all_far = all_far && far_end[e];
        }
        for (int k = 0; k < 3; ++k) {
            far_edge[k] = pre.beyond(bound::gap(axis, bound::bounds_of(p[k], p[k == 2 ? 0 : k + 1])), cap.radius_sq);
            all_far = all_far && far_edge[k];
        }
        if (all_far) {
            const bool ends_far = pre.beyond(end_gap[0], reach * reach) && pre.beyond(end_gap[1], reach * reach);
            if ((one_side && ends_far) || feet_out()) return miss;
        }
    }

    const double face_len = sqrt(dot(cr, cr));
    if (face_len <= kDegenerateFace) return miss;
    // The edge pass's closest points depend on the vertices and the axis
    // alone: computed here, their divisions overlap the face pass's. (The
    // baseline copy takes the scalar routine below instead.)
    [[maybe_unused]] EdgeLanes lanes;
    if constexpr (kInLanes) lanes = edges_in_lanes(cap, v0, v1, v2);

    const Vec3 winding = {cr.x / face_len, cr.y / face_len, cr.z / face_len};
    // Turned towards the capsule's centre; a centre on the plane keeps it.
    const Vec3 normal = dot(sub(cap.centre, v0), winding) < 0 ? neg(winding) : winding;

    // Face pass: an end point whose foot lies in the triangle; the larger
    // reach wins, c0 on a tie. The closest triangle points it computes are
    // kept for the edge pass, which would compute the same ones.
    Vec3 end_tp[2];
    bool have_tp[2] = {false, false};
    double best_reach = kNoReachYet;
    bool face_found = false;
    Vec3 bestpt = {0, 0, 0};
    for (int e = 0; e < 2; ++e) {
        const Vec3 sp = ends[e];
        const double height = dot(sub(sp, v0), normal);
        const Vec3 foot = sub(sp, mul(normal, height));
        const double reach = cap.radius - height;
        if (!(reach > 0 && reach > best_reach)) continue;
        const Split at = split(foot);
        if (finite && pre.beyond(bound::gap({at, at}, tri), kInsideEps2)) continue;
        end_tp[e] = closest_pt_triangle(sp, v0, v1, v2);
        have_tp[e] = true;
        if (length_squared(sub(foot, end_tp[e])) <= kInsideEps2) {
            best_reach = reach;
            bestpt = end_tp[e];
            face_found = true;
        }
    }
    if (face_found) return hit_at(bestpt, normal, best_reach);

    // Edge pass: end points against the triangle, then the axis against each
    // edge; only a strictly smaller squared distance replaces the best.
    // Candidates surely at or beyond the radius are skipped (see reach.hpp).
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
    for (int e = 0; e < 2; ++e) {
        if (far_end[e]) continue;
        consider(ends[e], have_tp[e] ? end_tp[e] : closest_pt_triangle(ends[e], v0, v1, v2));
    }
    if constexpr (kInLanes) {
        for (int k = 0; k < 3; ++k)
            if (!far_edge[k])
                consider({lanes.ax[k], lanes.ay[k], lanes.az[k]}, {lanes.tx[k], lanes.ty[k], lanes.tz[k]});
    } else {
        const Vec3 edges[3][2] = {{v0, v1}, {v1, v2}, {v2, v0}};
        for (int k = 0; k < 3; ++k) {
            if (far_edge[k]) continue;
            const SegmentPoints sp = closest_segment_points(cap.c0, cap.c1, edges[k][0], edges[k][1]);
            consider(sp.on_first, sp.on_second);
        }
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

}  // namespace

namespace {

// The step for a triangle given by its vertices alone.
template <bool kInLanes>
[[gnu::always_inline]] inline TriangleContact plain_step(const Capsule& cap, Vec3 v0, Vec3 v1, Vec3 v2) {
    const Split p[3] = {split(v0), split(v1), split(v2)};
    const Bounds tri = bound::bounds_of(p[0], p[1], p[2]);
    const bool finite = cap.finite && finite_vertices(p, v0, v1, v2);
    return contact_step<kInLanes>(cap, v0, v1, v2, p, tri, bound::prefilter(tri, cap.extent), finite, false);
}

}  // namespace

// Out of line on purpose, as is the batch loop's dispatch below: with
// link-time optimisation both would be inlined into the entry function, and
// a batch of 64 triangles then ran about 3% slower (measured); the call
// costs less. (The batch loop compiled for AVX2 inlines the step: there
// that measured 10 to 20% faster.)
[[gnu::noinline]] TriangleContact capsule_triangle_contact(const Capsule& cap, Vec3 v0, Vec3 v1, Vec3 v2) {
    return plain_step<false>(cap, v0, v1, v2);
}

namespace {

// A vertex read coordinate by coordinate (memcpy keeps unaligned caller
// buffers well-defined and compiles to plain loads). Copying the three
// coordinates to a stack array in one block instead made the step's first
// 16-byte reads straddle two earlier stores, which stalls until they retire.
inline Vec3 load_vec3(const char* p) {
    double c[3];
    for (int k = 0; k < 3; ++k) memcpy(&c[k], p + k * sizeof(double), sizeof(double));
    return {c[0], c[1], c[2]};
}

// Chosen once: the copies compiled for AVX2 run where the processor has it.
bool has_avx2() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}

// capsule_triangle_run, compiled for processors with AVX2 and for the
// others (kInLanes picks the separated() that suits each): the two rule out
// the same triangles, so they give the same results.
template <bool kInLanes>
[[gnu::always_inline]] inline int triangle_run(const Capsule& cap, const double* tris, int count, int* which,
                                               TriangleContact* found) {
    int hits = 0;
    for (int i = 0; i < count; ++i) {
        const char* v = reinterpret_cast<const char*>(tris + 9 * i);
        const Vec3 v0 = load_vec3(v), v1 = load_vec3(v + sizeof(Vec3)), v2 = load_vec3(v + 2 * sizeof(Vec3));
        const TriangleBox t = triangle_box(cap, v0, v1, v2, true);
        if (out_of_reach(cap, t)) continue;
        const TriangleContact c = contact_step<kInLanes>(cap, v0, v1, v2, t.p, t.box, t.pre, t.finite, true);
        if (!c.hit) continue;
        which[hits] = i;
        found[hits++] = c;
    }
    return hits;
}

__attribute__((target("avx2"))) int triangle_run_avx2(const Capsule& cap, const double* tris, int count, int* which,
                                                      TriangleContact* found) {
    return triangle_run<true>(cap, tris, count, which, found);
}

int triangle_run_baseline(const Capsule& cap, const double* tris, int count, int* which, TriangleContact* found) {
    return triangle_run<false>(cap, tris, count, which, found);
}

}  // namespace

int capsule_triangle_run(const Capsule& cap, const double* tris, int count, int* which, TriangleContact* found) {
    return has_avx2() ? triangle_run_avx2(cap, tris, count, which, found)
                : triangle_run_baseline(cap, tris, count, which, found);
}

namespace {

// capsule_triangles_batch, for processors with AVX2 (the step inlined, with
// the four-lane sure-miss test) and for the others: the same results.
template <bool kInLanes>
[[gnu::always_inline]] inline void triangles_batch(const Capsule& capsule, const TriangleBatch& batch) {
    // Local copies: the byte-wise stores into the outputs could otherwise
    // alias them, and every field would be reloaded after each store.
    const Capsule cap = capsule;
    const TriangleBatch b = batch;
    for (ptrdiff_t i = 0; i < b.n; ++i) {
        const char* tri = b.verts + i * b.tri_stride;
        const Vec3 v0 = load_vec3(tri), v1 = load_vec3(tri + b.vert_stride), v2 = load_vec3(tri + 2 * b.vert_stride);
        const TriangleContact c =
            kInLanes ? plain_step<true>(cap, v0, v1, v2) : capsule_triangle_contact(cap, v0, v1, v2);
        const unsigned char flag = c.hit ? 1 : 0;
        memcpy(b.hit + i * b.hit_stride, &flag, 1);
        if (!c.hit) continue;
        memcpy(b.depths + i * b.depths_stride, &c.depth, sizeof(double));
        memcpy(b.points + i * b.points_stride, &c.point, sizeof(Vec3));
        memcpy(b.normals + i * b.normals_stride, &c.normal, sizeof(Vec3));
    }
}

__attribute__((target("avx2"))) void triangles_batch_avx2(const Capsule& cap, const TriangleBatch& batch) {
    triangles_batch<true>(cap, batch);
}

}  // namespace

[[gnu::noinline]] void capsule_triangles_batch(const Capsule& capsule, const TriangleBatch& batch) {
    if (has_avx2())
        triangles_batch_avx2(capsule, batch);
    else
        triangles_batch<false>(capsule, batch);
}

}  // namespace zuli
