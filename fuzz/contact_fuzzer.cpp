// libFuzzer targets: the contact routines on raw doubles (any bit pattern:
// NaN, infinities, subnormals, huge values). Built once per routine with
// ZULI_FUZZ_ROUTINE set to one of the names below; the sanitizers catch any
// out-of-bounds access or undefined behaviour, and the checks below any
// result outside the documented ranges.
#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "contact/box.hpp"
#include "contact/capsule.hpp"
#include "contact/sphere.hpp"

namespace {

// Reads doubles from the input, zero past its end.
struct Doubles {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    double next() {
        double d = 0.0;
        if (at + sizeof d <= size) memcpy(&d, data + at, sizeof d);
        at += sizeof d;
        return d;
    }
    zuli::Vec3 vec() {
        const double x = next(), y = next();
        return {x, y, next()};
    }
    zuli::Mat3 mat() {
        zuli::Mat3 R;
        for (auto& row : R.m)
            for (double& x : row) x = next();
        return R;
    }
    zuli::OrientedBox box() {
        const zuli::Vec3 c = vec();
        const zuli::Mat3 R = mat();
        return {c, R, vec()};
    }
};

[[maybe_unused]] void check(const zuli::Manifold& m, int most) {
    if (m.count < 0 || m.count > most) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Doubles in{data, size};
    zuli::Manifold m;
#if ZULI_FUZZ_ROUTINE == 1
    const zuli::Vec3 ca = in.vec();
    const double ra = in.next();
    const zuli::Vec3 cb = in.vec();
    zuli::sphere_sphere_contact(ca, ra, cb, in.next(), m);
    check(m, 1);
#elif ZULI_FUZZ_ROUTINE == 2
    const zuli::Vec3 cs = in.vec();
    const double rs = in.next();
    zuli::sphere_box_contact(cs, rs, in.box(), m);
    check(m, 1);
#elif ZULI_FUZZ_ROUTINE == 3
    const zuli::OrientedBox a = in.box();
    zuli::box_box_contact(a, in.box(), m);
    check(m, zuli::MAX_CONTACTS);
    // Depths are never negative when the overlap is finite.
    for (int i = 0; i < m.count; ++i)
        if (m.depths[i] < 0) abort();
#elif ZULI_FUZZ_ROUTINE == 4
    const zuli::Vec3 c0 = in.vec(), c1 = in.vec();
    const zuli::Capsule cap = zuli::make_capsule(c0, c1, in.next());
    const zuli::Vec3 v0 = in.vec(), v1 = in.vec();
    const zuli::TriangleContact c = zuli::capsule_triangle_contact(cap, v0, v1, in.vec());
    if (c.hit != 0 && c.hit != 1) abort();
    (void)m;
#else
#error "set ZULI_FUZZ_ROUTINE to 1 (sphere_sphere), 2 (sphere_box), 3 (box_box) or 4 (capsule)"
#endif
    return 0;
}
