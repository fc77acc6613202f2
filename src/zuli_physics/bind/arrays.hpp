// Array arguments of the nanobind modules: accepted as nanobind ndarrays
// (NumPy and anything with DLPack or the buffer protocol), checked here so
// that every refusal names the function and the argument, says what was
// expected and what was given, and, for inputs, how to convert.
//
// Inputs are read in place with any strides and may be read-only; they are
// never converted (a list or another dtype is refused with the fix). Outputs
// must be writable and C-contiguous, because results are written into them
// in place: a silent copy would lose them.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <initializer_list>
#include <string>

#include "contact/batch.hpp"

namespace zuli::bind {

namespace nb = nanobind;

using InArray = nb::ndarray<nb::ro, nb::device::cpu>;
using OutArray = nb::ndarray<nb::device::cpu>;

enum class Elem { Float64, UInt8, Int64, Index /* int32 or int64 */ };

// The function and argument a check speaks for, as messages spell them:
// `fn` "box_box", `name` "ca" or "out.normal".
struct Where {
    const char* fn;
    std::string name;
};

// An expected shape: -1 takes any extent. `text` is how messages show it,
// with the symbolic extents ("(KA, 3)") and what fixed them.
struct Shape {
    std::initializer_list<std::int64_t> dims;
    std::string text;
};

InArray input(nb::handle obj, const Where& where, Elem elem, const Shape& shape);
OutArray output(nb::handle obj, const Where& where, Elem elem, const Shape& shape);

// "(4096, 4, 3)"
std::string shape_text(std::initializer_list<std::int64_t> dims);

// A float64 array as a strided view with byte strides.
Strided strided(const InArray& a);

// The bytes an array's elements can touch: [lo, hi), empty when it has no
// elements. Two arrays may share memory only if their spans intersect.
struct Span {
    std::uintptr_t lo = 0, hi = 0;
    bool intersects(const Span& o) const { return lo < hi && o.lo < o.hi && lo < o.hi && o.lo < hi; }
};
template <class Array>
Span span(const Array& a) {
    if (a.size() == 0) return {};
    std::intptr_t lo = 0, hi = 0;
    for (size_t d = 0; d < a.ndim(); ++d) {
        const std::intptr_t reach = static_cast<std::intptr_t>(a.shape(d) - 1) * a.stride(d) *
                                    static_cast<std::intptr_t>(a.itemsize());
        (reach < 0 ? lo : hi) += reach;
    }
    const auto base = reinterpret_cast<std::uintptr_t>(a.data());
    return {base + lo, base + hi + a.itemsize()};
}

// The number of worker threads a `threads` argument asks for: a positive
// count, or -1 for os.cpu_count().
int thread_count(const char* fn, int threads);

}  // namespace zuli::bind
