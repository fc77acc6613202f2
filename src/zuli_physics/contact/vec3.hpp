// Small value types shared by the contact routines.
//
// Every routine in this directory is bit-exact: results must match a plain
// IEEE double evaluation of the documented formulas. That fixes the order of
// every sum, so it lives here, once: dot() is (x*x' + y*y') + z*z', and every
// other helper spells its operations in the order the callers rely on. The
// build forbids contraction into FMA (-ffp-contract=off) for the same reason.
#pragma once

namespace zuli {

struct Vec3 {
    double x, y, z;
};

inline Vec3 add(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3 sub(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3 mul(Vec3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }
// Flips the sign bit of every component: a zero component becomes -0.0.
inline Vec3 neg(Vec3 a) { return {-a.x, -a.y, -a.z}; }
inline double dot(Vec3 a, Vec3 b) { return (a.x * b.x + a.y * b.y) + a.z * b.z; }
inline double length_squared(Vec3 a) { return dot(a, a); }
inline Vec3 cross(Vec3 a, Vec3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline double at(Vec3 a, int i) { return i == 0 ? a.x : (i == 1 ? a.y : a.z); }

static_assert(sizeof(Vec3) == 3 * sizeof(double), "Vec3 is read from and written to raw double buffers");

// A 3x3 matrix, m[row][col]. For a box rotation, column j is the box's axis j
// in world coordinates.
struct Mat3 {
    double m[3][3];
    Vec3 col(int j) const { return {m[0][j], m[1][j], m[2][j]}; }
    Vec3 row(int i) const { return {m[i][0], m[i][1], m[i][2]}; }
};

}  // namespace zuli
