// Capsule against triangle: closest-point primitives and the per-triangle
// contact step that the batch entry point runs for every triangle.
#pragma once

#include <stddef.h>

#include "vec3.hpp"

namespace zuli {

// The segment c0-c1 swept by a sphere of `radius`. Wherever the end points are
// visited, c0 comes first, which decides ties.
struct Capsule {
    Vec3 c0, c1;
    double radius;
    Vec3 centre;       // (c1 + c0) * 0.5
    double radius_sq;  // radius * radius
    // For the contact step's bounds on distances, fixed for a whole batch:
    // the axis's bounding box, the largest coordinate magnitude of its end
    // points, and whether the end points and radius are all finite.
    Vec3 lo, hi;
    double extent;
    bool finite;
};

Capsule make_capsule(Vec3 c0, Vec3 c1, double radius);

// When hit is 0 the other fields are undefined.
struct TriangleContact {
    int hit;
    Vec3 point;   // on the triangle
    Vec3 normal;  // from the triangle towards the capsule
    double depth;
};

struct SegmentPoints {
    Vec3 on_first;   // on p1-q1
    Vec3 on_second;  // on p2-q2
};

// Closest point of triangle abc to p, by Voronoi region (vertex a, b, edge ab,
// vertex c, edge ac, edge bc, interior: the first region that claims p wins).
// Only defined for a non-degenerate triangle.
Vec3 closest_pt_triangle(Vec3 p, Vec3 a, Vec3 b, Vec3 c);

// Closest points between segments p1-q1 and p2-q2; either may have zero length.
SegmentPoints closest_pts_segment_segment(Vec3 p1, Vec3 q1, Vec3 p2, Vec3 q2);

// One contact or a miss: the face pass (end points projecting into the
// triangle) and, only if it finds nothing, the edge pass.
TriangleContact capsule_triangle_contact(const Capsule& cap, Vec3 v0, Vec3 v1, Vec3 v2);

// Is a triangle's box not surely out of reach of the box of the capsule's
// axis (reach.hpp)? A triangle whose box is out of reach hits only through
// an end point far behind its plane whose foot falls inside it.
bool box_in_reach(const Capsule& cap, Vec3 v0, Vec3 v1, Vec3 v2);

// The contact step for the triangles of a run that are box_in_reach, each
// stored as 9 consecutive doubles (a mesh's, finite): writes the place in
// the run of each one that hits to `which` and its contact to `found`, in
// order (room for `count` each), and returns how many hit. Each contact is
// what capsule_triangle_contact gives for that triangle.
int capsule_triangle_run(const Capsule& cap, const double* tris, int count, int* which, TriangleContact* found);

// Triangle and output arrays of a batch, addressed by byte strides: verts is
// (n, >=3, >=3) with row stride tri_stride and vertex stride vert_stride;
// points and normals have n rows of >= 3 contiguous doubles; hit and depths
// have n elements. The last axis of every array is contiguous.
struct TriangleBatch {
    const char* verts;
    ptrdiff_t tri_stride, vert_stride;
    ptrdiff_t n;
    char* hit;
    ptrdiff_t hit_stride;
    char* points;
    ptrdiff_t points_stride;
    char* normals;
    ptrdiff_t normals_stride;
    char* depths;
    ptrdiff_t depths_stride;
};

// Runs capsule_triangle_contact for triangles 0..n-1 in order. A hit writes
// hit[i] = 1, depths[i], points[i] and then normals[i]; a miss writes only
// hit[i] = 0, so stale rows stay as the caller left them.
void capsule_triangles_batch(const Capsule& cap, const TriangleBatch& batch);

}  // namespace zuli
