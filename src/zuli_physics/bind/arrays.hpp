// Array arguments of the nanobind modules, checked here so that every
// refusal names the function and the argument, says what was expected and
// what was given, and, for inputs, how to convert.
//
// A NumPy array of the expected element type and shape is read through its C
// struct, and any other object that exports such a buffer through the buffer
// protocol: that costs well under a tenth of a DLPack import, which for a
// three-element vector is most of a call (and the struct a fraction of the
// buffer request). Anything else goes through nanobind's ndarray
// import (DLPack producers such as PyTorch), which also decides the refusals.
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
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "contact/batch.hpp"

namespace zuli::bind {

namespace nb = nanobind;

using Imported = nb::ndarray<nb::ro, nb::device::cpu>;

// An accepted array argument, held for as long as the view lives, with the
// accessors of nb::ndarray (strides in elements).
class View {
public:
    View() = default;
    explicit View(Imported a);
    View(View&& other) noexcept;
    View& operator=(View&& other) noexcept;
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View();
    // From a buffer already taken with PyObject_GetBuffer; owns it.
    static View from_buffer(const Py_buffer& buffer);
    // From a NumPy array read through its C struct; keeps a reference to it.
    static View from_numpy(nb::handle array);

    bool is_valid() const { return valid_; }
    void* data() const { return data_; }
    size_t ndim() const { return static_cast<size_t>(ndim_); }
    size_t shape(size_t d) const { return static_cast<size_t>(shape_[d]); }
    std::int64_t stride(size_t d) const { return strides_[d]; }
    size_t itemsize() const { return itemsize_; }
    size_t size() const;

private:
    // What keeps the data alive: a NumPy array, a buffer, or (the rare
    // path, on the heap so that the others stay cheap to move) an import.
    bool valid_ = false, has_buffer_ = false;
    void* data_ = nullptr;
    int ndim_ = 0;
    std::int64_t shape_[3] = {0, 0, 0}, strides_[3] = {0, 0, 0};
    size_t itemsize_ = 0;
    Py_buffer buffer_;
    std::unique_ptr<Imported> imported_;
    nb::object array_;
};

using InArray = View;
using OutArray = View;

enum class Elem { Float64, UInt8, Int64, Index /* int32 or int64 */ };

// The function and argument a check speaks for, as messages spell them:
// `fn` "box_box", `name` "ca" or "out.normal".
struct Where {
    const char* fn;
    std::string name;
};

// An expected shape: -1 takes any extent. text() is how messages show it,
// with the symbolic extents ("(KA, 3)") and what fixed them: a literal, or
// made by a function only when a message needs it (the checks run on every
// call, and building such a text costs more than all of a call's checks).
// A Shape lives for the call it is an argument of, as does its function.
class Shape {
public:
    Shape(std::initializer_list<std::int64_t> dims, const char* text) : dims(dims), literal_(text) {}
    template <class Make, class = std::enable_if_t<std::is_invocable_r_v<std::string, const Make&>>>
    Shape(std::initializer_list<std::int64_t> dims, const Make& make)
        : dims(dims), make_(&make), call_([](const void* f) { return (*static_cast<const Make*>(f))(); }) {}

    std::string text() const { return call_ ? call_(make_) : literal_; }

    std::initializer_list<std::int64_t> dims;

private:
    const char* literal_ = "";
    const void* make_ = nullptr;
    std::string (*call_)(const void*) = nullptr;
};

InArray input(nb::handle obj, const Where& where, Elem elem, const Shape& shape);
OutArray output(nb::handle obj, const Where& where, Elem elem, const Shape& shape);

// What the caller passed, for messages: "a float32 array", "a complex128
// scalar" (a NumPy scalar or a 0-d array) or "list".
std::string described(nb::handle obj);

// "(4096, 4, 3)"
std::string shape_text(std::initializer_list<std::int64_t> dims);

// A (3,) float64 argument's values. A NumPy array is read directly, without
// a view (for a three-element vector the view is most of the cost); anything
// else goes through input().
Vec3 input_vec3(nb::handle obj, const char* fn, const char* name);

// Is obj one real number: a Python int or float, a NumPy scalar of a bool,
// integer or floating dtype, a 0-d array of one, or another object float()
// takes that is neither complex nor a buffer (fractions.Fraction,
// decimal.Decimal)? (Where an argument takes an array or one number for
// every row.)
bool is_one_number(nb::handle obj);

// The value of an argument that is_one_number() accepted, as float() gives
// it; one too large for a float64 raises OverflowError naming the argument.
double one_number(nb::handle obj, const Where& where);
// For an argument that takes an array or one number: its value when it is
// one number, converted at once, nothing for an array. Called before any
// array argument is taken, because the conversion may run the caller's code
// (a Fraction's or a Decimal's __float__), which could reallocate an array
// whose data the call holds (ndarray.resize with refcheck=False).
std::optional<double> if_one_number(nb::handle obj, const Where& where);

// A float64 array as a strided view with byte strides.
Strided strided(const InArray& a);

// The data of an array this module has just created (writable, contiguous).
void* new_array_data(nb::handle array);

// A new, uninitialised NumPy array (as numpy.empty makes), through NumPy's C
// API: a call through numpy.empty costs several times as much, most of a
// small mesh query's call. NumPy is imported on first use, so that callers
// who pass their own outputs never need it.
enum class Dtype { Float64, Int64, UInt8 };
nb::object new_array(std::initializer_list<std::int64_t> shape, Dtype dtype);

// array[:rows]: for a NumPy array (exactly), a view made directly, several
// times cheaper than slicing through Python; for any other object, a slice.
nb::object leading(nb::handle array, std::int64_t rows);

// An instance of a named tuple type from its fields, made as tuple.__new__
// makes one of a subclass (the type's allocation, the fields, the hash cache
// unset) but without the temporary tuple it copies them from, nor the
// Python-level __new__: a tenth of a small call's cost.
nb::object make_named(nb::handle type, std::initializer_list<nb::handle> fields);

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
// count (one beyond what an int holds asks for as many as can be used), or
// -1 for os.cpu_count(). Any integer is taken, as operator.index takes it
// (int, bool, NumPy integers); a str or a float is refused.
int thread_count(const char* fn, nb::handle threads);

}  // namespace zuli::bind
