// Sphere contacts: sphere against sphere and sphere against oriented box.
#pragma once

#include "manifold.hpp"

namespace zuli {

// Length of (x, y, z). The squared length is used while it is safely inside
// the double range; outside it (tiny vectors underflow, huge ones overflow,
// NaN) the length comes from nested hypot calls instead.
double norm3(double x, double y, double z);

// One contact or none, normal from a towards b, the point in the middle of
// the overlap. Exactly touching spheres are separated.
void sphere_sphere_contact(Vec3 ca, double ra, Vec3 cb, double rb, Manifold& out);

// One contact or none, normal from the sphere towards the box. Exactly
// touching is a contact of depth 0. A centre inside the box is pushed out
// through the nearest face.
void sphere_box_contact(Vec3 cs, double rs, const OrientedBox& box, Manifold& out);

}  // namespace zuli
