// Contacts for many body pairs at once, over arrays read in place.
//
// Each row runs exactly the single-pair routine (sphere_sphere_contact,
// sphere_box_contact, box_box_contact) and stores its manifold, so a batch
// gives, row by row, the bits a single call gives. Rows are independent:
// any split of [0, P) into ranges, in any order, gives the same output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "manifold.hpp"

static_assert(sizeof(zuli::Mat3) == 9 * sizeof(double), "a dense 3x3 block is copied whole");

namespace zuli {

// Element (i, j, k) of a float64 array at base + i*s[0] + j*s[1] + k*s[2]
// bytes. Any strides are allowed (0 broadcasts; negative runs backwards), and
// elements are copied out, so the data need not be aligned.
struct Strided {
    const char* base;
    std::ptrdiff_t s[3];

    double at(std::ptrdiff_t i, int j = 0, int k = 0) const {
        double v;
        std::memcpy(&v, base + i * s[0] + j * s[1] + k * s[2], sizeof v);
        return v;
    }
    // Rows stored densely (the usual case) are copied whole, which the
    // compiler turns into a few wide loads.
    Vec3 vec3(std::ptrdiff_t i) const {
        if (s[1] == sizeof(double)) {
            Vec3 v;
            std::memcpy(&v, base + i * s[0], sizeof v);
            return v;
        }
        return {at(i, 0), at(i, 1), at(i, 2)};
    }
    Mat3 mat3(std::ptrdiff_t i) const {
        Mat3 R;
        if (s[1] == 3 * sizeof(double) && s[2] == sizeof(double)) {
            std::memcpy(&R, base + i * s[0], sizeof R);
            return R;
        }
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) R.m[r][c] = at(i, r, c);
        return R;
    }
};

// An integer index element of 4 or 8 bytes (int32 or int64), unaligned.
// The value is read once: the empty asm makes it opaque, so that the compiler
// cannot load it again from memory after a caller has checked it (the
// caller's array may change meanwhile: another thread or process may write
// it while the interpreter lock is released).
inline std::int64_t read_index(const char* at, int width) {
    std::int64_t v;
    if (width == 4) {
        std::int32_t narrow;
        std::memcpy(&narrow, at, sizeof narrow);
        v = narrow;
    } else {
        std::memcpy(&v, at, sizeof v);
    }
    asm("" : "+r"(v));
    return v;
}

// Boxes as rows: centres (K, 3), rotations (K, 3, 3), half-extents (K, 3).
struct BoxRows {
    Strided c, R, h;
    OrientedBox box(std::ptrdiff_t i) const { return {c.vec3(i), R.mat3(i), h.vec3(i)}; }
};

// Spheres as rows: centres (K, 3) and radii (K,); one radius for every row
// is a radius array of stride 0.
struct SphereRows {
    Strided c, r;
};

// Which rows row p of a batch pairs: from a (P, 2) integer array of 4- or
// 8-byte elements, or, with no array, rows p * step_a and p * step_b (a side
// of one row has step 0). Sides A and B have rows_a and rows_b rows.
struct PairRows {
    const char* base = nullptr;
    std::ptrdiff_t s0 = 0, s1 = 0;
    int width = 0;
    std::ptrdiff_t step_a = 1, step_b = 1;
    std::int64_t rows_a = 0, rows_b = 0;

    std::int64_t a(std::ptrdiff_t p) const { return base ? read(base + p * s0) : p * step_a; }
    std::int64_t b(std::ptrdiff_t p) const { return base ? read(base + p * s0 + s1) : p * step_b; }
    // Rows a(p) and b(p), each read once, when both lie inside their sides.
    // Indices from an array are checked where they are used, even after
    // first_bad_pair() found none outside: the array may have changed since.
    bool rows(std::ptrdiff_t p, std::int64_t& i, std::int64_t& k) const {
        i = a(p);
        k = b(p);
        return !base || (i >= 0 && i < rows_a && k >= 0 && k < rows_b);
    }

private:
    std::int64_t read(const char* at) const { return read_index(at, width); }
};

// A pair row whose index lies outside its side.
struct BadPair {
    std::ptrdiff_t row = -1;  // -1: every pair is in range
    int side = 0;             // 0: side A, 1: side B
    std::int64_t index = 0;
};

// The first of P pairs with an index outside [0, rows_a) or [0, rows_b).
BadPair first_bad_pair(const PairRows& pairs, std::ptrdiff_t P);

// C-contiguous outputs for P rows of `slots` contacts: count (P,), normal
// (P, 3), points (P, slots, 3), depths (P, slots). Every element of a row is
// written: the slots at and past the row's count hold 0.0, and a separated
// row has the normal (0, 0, 0). The arrays are given by their first bytes:
// a caller's array may be unaligned (NumPy allows it), so elements are
// copied in, never stored through a typed pointer.
struct ContactRows {
    char* count;
    char* normal;
    char* points;
    char* depths;
    int slots;  // MAX_CONTACTS (boxes) or 1 (spheres)

    void store(std::ptrdiff_t p, const Manifold& m) const;
};

// Rows [begin, end) of a batch. Each returns the first of them whose pair
// had an index outside its side when read (only when the pairs changed
// after first_bad_pair() passed them), or -1; such a row is stored as a
// separated one, and no body row outside a side is ever read.
std::ptrdiff_t box_box_rows(const BoxRows& a, const BoxRows& b, const PairRows& pairs, const ContactRows& out,
                            std::ptrdiff_t begin, std::ptrdiff_t end);
std::ptrdiff_t sphere_sphere_rows(const SphereRows& a, const SphereRows& b, const PairRows& pairs,
                                  const ContactRows& out, std::ptrdiff_t begin, std::ptrdiff_t end);
std::ptrdiff_t sphere_box_rows(const SphereRows& s, const BoxRows& b, const PairRows& pairs, const ContactRows& out,
                               std::ptrdiff_t begin, std::ptrdiff_t end);

}  // namespace zuli
