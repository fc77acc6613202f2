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

struct FaceAxis {
    int index;    // 0, 1 or 2
    double sign;  // +1.0 when v points along the axis (zero included), else -1.0
};

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
