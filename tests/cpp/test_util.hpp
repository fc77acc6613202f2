// Helpers shared by the contact unit tests.
#pragma once

#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include "contact/vec3.hpp"

namespace zuli::test {

// Bit-for-bit equality (so -0.0 != 0.0), with every NaN equal to every NaN.
inline bool same_bits(double a, double b) {
    if (isnan(a) && isnan(b)) return true;
    return memcmp(&a, &b, sizeof a) == 0;
}

inline ::testing::AssertionResult SameVec(Vec3 got, Vec3 want) {
    if (same_bits(got.x, want.x) && same_bits(got.y, want.y) && same_bits(got.z, want.z)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "got (" << got.x << ", " << got.y << ", " << got.z
                                         << ") want (" << want.x << ", " << want.y << ", " << want.z
                                         << ")" << (signbit(got.x) ? " [x<0]" : "")
                                         << (signbit(got.y) ? " [y<0]" : "")
                                         << (signbit(got.z) ? " [z<0]" : "");
}

inline Mat3 identity() { return {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}; }

// Rows of R from its columns (the box axes).
inline Mat3 from_columns(Vec3 a, Vec3 b, Vec3 c) {
    return {{{a.x, b.x, c.x}, {a.y, b.y, c.y}, {a.z, b.z, c.z}}};
}

}  // namespace zuli::test
