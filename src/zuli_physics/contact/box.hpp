// Oriented box against oriented box: separating-axis test, reference/incident
// face clipping and reduction to at most MAX_CONTACTS points.
//
//   box_sat          15 candidate axes; least overlap gives normal (A -> B)
//     box_clip       incident face clipped against the reference face's sides,
//                    depth-filtered and projected onto the reference plane
//       reduce_manifold   at most four points spread over the patch
#pragma once

#include "manifold.hpp"

namespace zuli {

// 3 face axes of each box and at most 9 edge-edge cross products.
inline constexpr int MAX_AXES = 15;
// Capacity of the clip polygon and of the candidate list handed to
// reduce_manifold.
inline constexpr int MAX_POLY = 16;

// A clip polygon in fixed scratch. Exact arithmetic keeps a clipped quad at
// 8 vertices or fewer, but when every vertex lies within rounding distance of
// a side plane the signs of the plane distances can alternate, and a pass can
// emit up to one and a half times its input. Such vertices are rounding noise
// on a degenerate sliver, so a pass keeps the first MAX_POLY it emits and
// drops the rest: reduce_manifold never sees more than MAX_POLY candidates.
// A pass writes every value before it knows whether to keep it, so the
// scratch holds twice MAX_POLY and is never overrun.
struct Polygon {
    Vec3 v[2 * MAX_POLY];
    int n = 0;
};

struct FaceAxis {
    int index;    // 0, 1 or 2
    double sign;  // +1.0 when v points along the axis (zero included), else -1.0
};

// Four lanes of doubles (GCC vector extension). Each lane computes exactly
// the scalar expression, in the same order and without contraction, so the
// lanes give the scalar bits. Comparisons give all bits set or clear per lane.
typedef double Lanes __attribute__((vector_size(32)));
typedef long long LaneMask __attribute__((vector_size(32)));

// The candidate axes in groups of four lanes, structure of arrays: group 0
// holds A's columns, group 1 B's, and group 2 + i the edge axes A_i x B_k
// (k = 0, 1, 2) normalised. The fourth lane of every group is padding, and
// near-parallel edge pairs are left out of the list; neither is `used`.
// Reading the used lanes in increasing order gives the list in test order.
struct CandidateAxes {
    static constexpr int kGroups = 5;
    static constexpr int kLanes = 4 * kGroups;
    Lanes x[kGroups], y[kGroups], z[kGroups];
    LaneMask used[kGroups];
    int count() const;
    Vec3 axis(int lane) const { return {x[lane / 4][lane % 4], y[lane / 4][lane % 4], z[lane / 4][lane % 4]}; }
    bool listed(int lane) const { return used[lane / 4][lane % 4] != 0; }
};
static_assert(MAX_AXES <= 3 * CandidateAxes::kGroups, "three listed lanes per group");

CandidateAxes box_axes(const Mat3& Ra, const Mat3& Rb);

// One Sutherland-Hodgman pass of `in` against the half-space P.x - U <= 0.
// A vertex on the plane stays, once; a crossing needs strictly opposite signs.
// Returns the clipped polygon: `in` itself when every vertex is inside (the
// pass would emit it unchanged), otherwise `out`.
const Polygon& clip_pass(const Polygon& in, Vec3 P, double U, Polygon& out);

// Contact count (0 when separated). On separation nothing is written; else
// `normal` receives the axis of least overlap oriented from a to b, and the
// first count entries of pts/dep the contacts.
int box_sat(const OrientedBox& a, const OrientedBox& b, Vec3& normal, Vec3 pts[MAX_CONTACTS],
            double dep[MAX_CONTACTS]);

// The axis of R most aligned with v (greatest |v . column|, ties to the lower
// index) and the side v lies on.
FaceAxis best_face_axis(const Mat3& R, Vec3 v);

// Contacts for an overlapping pair along normal n (pointing from a to b) with
// the given least overlap; returns 1 to 4.
int box_clip(const OrientedBox& a, const OrientedBox& b, Vec3 n, Vec3 pts[MAX_CONTACTS],
             double dep[MAX_CONTACTS], double least_overlap);

// Keeps all k (1..MAX_POLY) candidates when k <= 4, else at most four spread
// picks; returns how many were written.
int reduce_manifold(const Vec3* cand, const double* depths, int k, Vec3 pts[MAX_CONTACTS],
                    double dep[MAX_CONTACTS]);

// The whole chain as box_box runs it: the normal starts at (0, 0, 0) and stays
// so for a separated pair.
void box_box_contact(const OrientedBox& a, const OrientedBox& b, Manifold& out);

}  // namespace zuli
