// What is surely out of reach of a capsule: a lower bound on distances from
// axis-aligned bounds, with a margin for rounding.
//
// The capsule contact step uses it to skip candidate point pairs and whole
// triangles, and the triangle mesh's hierarchy uses it to skip whole nodes;
// both ask the same question, answered here once.
//
// Soundness. The gap between two boxes (the largest separation along an axis)
// is at most the distance between any point of one and any point of the
// other. The contact step's computed points (closest points, feet) stay
// within a few ulps of the exact ones, far inside a margin of 1e-12 of the
// largest coordinate magnitude involved; so when the gap less that margin
// still exceeds a limit (compared squared, with a relative 1e-12 to spare),
// every computed distance between those boxes exceeds it too. A box that
// contains another has no larger gap to a third and no smaller margin, and
// the test is monotone in both, so a node that is surely beyond reach holds
// only triangles that are. Only used for finite inputs: a NaN gap is never
// beyond anything.
#pragma once

#include <math.h>

#include "vec3.hpp"

namespace zuli::bound {

inline double lesser(double a, double b) { return a < b ? a : b; }
inline double greater(double a, double b) { return a > b ? a : b; }

// A point split into the pair (x, y), two lanes of one SSE2 register, and z:
// bounds and gaps then take one instruction for x and y together. Plain
// comparisons rather than fmin/fmax: the bounds are only used for finite
// inputs.
typedef double XY __attribute__((vector_size(16)));
typedef long long XYMask __attribute__((vector_size(16)));
struct Split {
    XY xy;
    double z;
};

inline Split split(Vec3 v) { return {XY{v.x, v.y}, v.z}; }
inline Split lesser(const Split& a, const Split& b) { return {a.xy < b.xy ? a.xy : b.xy, lesser(a.z, b.z)}; }
inline Split greater(const Split& a, const Split& b) { return {a.xy > b.xy ? a.xy : b.xy, greater(a.z, b.z)}; }

// Four directions at once, one per lane (for code compiled for AVX2: the
// baseline would split each operation in two): every lane gets the
// operations one direction alone would, so the same bits.
typedef double Four __attribute__((vector_size(32)));
typedef long long FourMask __attribute__((vector_size(32)));

// Axis-aligned bounds of a few points.
struct Bounds {
    Split lo, hi;
};

inline Bounds bounds_of(const Split& a, const Split& b) { return {lesser(a, b), greater(a, b)}; }
inline Bounds bounds_of(const Split& a, const Split& b, const Split& c) {
    return {lesser(lesser(a, b), c), greater(greater(a, b), c)};
}

// The largest gap between two boxes along an axis: a lower bound on the
// distance between any point of one and any point of the other.
inline double gap(const Bounds& a, const Bounds& b) {
    const XY below = a.lo.xy - b.hi.xy, above = b.lo.xy - a.hi.xy;
    const XY g = below > above ? below : above;
    return greater(greater(g[0], g[1]), greater(a.lo.z - b.hi.z, b.lo.z - a.hi.z));
}

// The largest coordinate magnitude of finite bounds (that of a corner).
inline double magnitude(const Bounds& b) {
    const long long no_sign_bits = 0x7fffffffffffffffLL;
    const XYMask no_sign = {no_sign_bits, no_sign_bits};
    const XY lo_abs = reinterpret_cast<XY>(reinterpret_cast<XYMask>(b.lo.xy) & no_sign);
    const XY hi_abs = reinterpret_cast<XY>(reinterpret_cast<XYMask>(b.hi.xy) & no_sign);
    const XY big_xy = lo_abs > hi_abs ? lo_abs : hi_abs;
    return greater(greater(big_xy[0], big_xy[1]), greater(fabs(b.lo.z), fabs(b.hi.z)));
}

// The rounding margin for bounds of magnitude `size` against a capsule whose
// end points have the largest coordinate magnitude `extent`.
inline constexpr double kMarginPerMagnitude = 1e-12;

struct Prefilter {
    double margin;
    // Is every computed distance between two boxes `g` apart surely at least
    // sqrt(limit2)?
    bool beyond(double g, double limit2) const {
        const double d = g - margin;
        return d > 0 && d * d * (1 - 1e-12) > limit2;
    }
    bool beyond_along(double lo, double hi, double other_lo, double other_hi, double d2, double limit) const;
    // The same for four directions, one per lane: bit k of the result for lane k.
    int beyond_along(const Four& lo, const Four& hi, const Four& other_lo, const Four& other_hi, const Four& d2,
                     double limit) const;
};

// Directions shorter than this (squared) separate nothing: the projections
// onto them could lose their accuracy to underflow.
inline constexpr double kMinDirection2 = 1e-200;

// Is every computed distance between two point sets surely beyond `limit`,
// given their projections onto a direction d of squared length d2, the one
// set onto [lo, hi] and the other onto [other_lo, other_hi]? Any d will do:
// a gap between the projections is a slab between the sets, at least
// gap / |d| wide. The projections are dot products of coordinates taken from
// a point of one set, rounded by far less than 1e-15 of the margin's
// magnitude times |d|; one margin covers that and one the computed points.
// An overflowing projection brings a margin whose square overflows too, and
// then nothing is beyond.
inline bool Prefilter::beyond_along(double lo, double hi, double other_lo, double other_hi, double d2,
                                    double limit) const {
    const double g = greater(lo - other_hi, other_lo - hi);
    const double wide = limit + 2 * margin;
    return d2 > kMinDirection2 && g > 0 && g * g * (1 - 1e-12) > wide * wide * d2;
}

inline int Prefilter::beyond_along(const Four& lo, const Four& hi, const Four& other_lo, const Four& other_hi,
                                   const Four& d2, double limit) const {
    const Four below = lo - other_hi, above = other_lo - hi;
    const Four g = below > above ? below : above;
    const double wide = limit + 2 * margin;
    const FourMask m = (d2 > kMinDirection2) & (g > 0) & (g * g * (1 - 1e-12) > wide * wide * d2);
    return static_cast<int>((m[0] & 1) | (m[1] & 2) | (m[2] & 4) | (m[3] & 8));
}

inline Prefilter prefilter(const Bounds& b, double extent) {
    return {kMarginPerMagnitude * greater(magnitude(b), extent)};
}

// The reach within which a triangle can matter to a capsule's contact: its
// radius, plus the 1e-09 within which an end point's foot counts as inside.
inline double capsule_reach(double radius) { return fabs(radius) + 1e-9; }

// How far to grow the bounds of a capsule's axis so that they meet every box
// of magnitude at most `size` that is not surely beyond `reach` of them. Such
// a box has gap - margin <= 0 or (gap - margin)^2 * (1 - 1e-12) <= reach^2,
// so its gap is at most margin + reach * (1 + 1e-12) give or take a few
// ulps, and its margin at most kMarginPerMagnitude * max(size, extent): the
// growth below holds twice that margin and a relative 1e-9 more reach, far
// beyond any rounding of these sums. A hierarchy tests its nodes (which
// contain their triangles' boxes) for overlap with the grown bounds, and
// leaves the exact question to each triangle. Infinite or NaN: everything.
inline double reach_growth(double reach, double size, double extent) {
    return 2 * kMarginPerMagnitude * greater(size, extent) + reach * (1 + 1e-9);
}

}  // namespace zuli::bound
