// The contact set a pairwise routine hands back to its caller.
#pragma once

#include "vec3.hpp"

namespace zuli {

// The most contacts a shape pair reports.
inline constexpr int MAX_CONTACTS = 4;

// Only the first `count` points and depths are meaningful; depth i belongs to
// point i. A separated pair has count 0 and the normal (0, 0, 0). The
// routines write no point or depth past the count: a Manifold that starts
// zeroed holds 0.0 in every slot past it.
struct Manifold {
    int count;
    Vec3 normal;
    Vec3 points[MAX_CONTACTS];
    double depths[MAX_CONTACTS];
};

// A box as its centre, world rotation (column j is axis j, used as given:
// never normalised) and half-extents along its own axes.
struct OrientedBox {
    Vec3 c;
    Mat3 R;
    Vec3 h;
};

}  // namespace zuli
