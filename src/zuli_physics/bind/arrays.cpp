#include "arrays.hpp"

#include <cstdio>

namespace zuli::bind {
namespace {

const char* elem_name(Elem elem) {
    switch (elem) {
        case Elem::Float64: return "float64";
        case Elem::UInt8: return "uint8";
        case Elem::Int64: return "int64";
        case Elem::Index: return "int32 or int64";
    }
    return "";
}

const char* elem_numpy(Elem elem) {
    switch (elem) {
        case Elem::Float64: return "np.float64";
        case Elem::UInt8: return "np.uint8";
        default: return "np.int64";
    }
}

template <class Array>
bool has_elem(const Array& a, Elem elem) {
    switch (elem) {
        case Elem::Float64: return a.dtype() == nb::dtype<double>();
        case Elem::UInt8: return a.dtype() == nb::dtype<std::uint8_t>();
        case Elem::Int64: return a.dtype() == nb::dtype<std::int64_t>();
        case Elem::Index: return a.dtype() == nb::dtype<std::int32_t>() || a.dtype() == nb::dtype<std::int64_t>();
    }
    return false;
}

template <class Array>
bool has_shape(const Array& a, const Shape& shape) {
    if (a.ndim() != shape.dims.size()) return false;
    size_t d = 0;
    for (std::int64_t extent : shape.dims) {
        if (extent != -1 && static_cast<std::int64_t>(a.shape(d)) != extent) return false;
        ++d;
    }
    return true;
}

template <class Array>
std::string actual_shape(const Array& a) {
    std::string s = "(";
    for (size_t d = 0; d < a.ndim(); ++d) {
        if (d) s += ", ";
        s += std::to_string(a.shape(d));
    }
    return s + (a.ndim() == 1 ? ",)" : ")");
}

// What the caller passed, for messages: "a float32 array" or "list".
std::string described(nb::handle obj) {
    if (nb::hasattr(obj, "dtype") && nb::hasattr(obj, "shape")) {
        nb::object dtype = obj.attr("dtype");
        nb::str text = nb::steal<nb::str>(PyObject_Str(dtype.ptr()));
        return "a " + std::string(text.c_str()) + " array";
    }
    return nb::type_name(obj.type()).c_str();
}

[[noreturn]] void fail(PyObject* type, const std::string& message) {
    throw nb::builtin_exception(type == PyExc_TypeError ? nb::exception_type::type_error
                                                        : nb::exception_type::value_error,
                                message.c_str());
}

// What nanobind is handed for `obj`. Objects with DLPack (NumPy) go as they
// are. Other buffer exporters go through a memoryview: nanobind reads the
// exporter's strides and format unchecked, and some exporters (ctypes
// arrays) leave them NULL, which a memoryview fills in.
nb::object importable(nb::handle obj) {
    if (PyMemoryView_Check(obj.ptr()) || !PyObject_CheckBuffer(obj.ptr()) || nb::hasattr(obj, "__dlpack__"))
        return nb::borrow(obj);
    PyObject* view = PyMemoryView_FromObject(obj.ptr());
    if (!view) throw nb::python_error();
    return nb::steal(view);
}

std::string prefix(const Where& w) { return std::string(w.fn) + "() argument '" + w.name + "'"; }

}  // namespace

std::string shape_text(std::initializer_list<std::int64_t> dims) {
    std::string s = "(";
    size_t d = 0;
    for (std::int64_t extent : dims) {
        if (d++) s += ", ";
        s += std::to_string(extent);
    }
    return s + (dims.size() == 1 ? ",)" : ")");
}

InArray input(nb::handle obj, const Where& w, Elem elem, const Shape& shape) {
    InArray a;
    const std::string expected = std::string("a ") + elem_name(elem) + " array of shape " + shape.text;
    if (!nb::try_cast(importable(obj), a, false))
        fail(PyExc_TypeError, prefix(w) + " must be " + expected + ", not " + described(obj) + "; np.asarray(" +
                                  w.name + ", dtype=" + elem_numpy(elem) + ") converts it");
    if (!has_elem(a, elem))
        fail(PyExc_TypeError, prefix(w) + " must be " + expected + ", not " + described(obj) + "; np.asarray(" +
                                  w.name + ", dtype=" + elem_numpy(elem) + ") converts it");
    if (!has_shape(a, shape))
        fail(PyExc_ValueError, prefix(w) + " must have shape " + shape.text + ", not " + actual_shape(a));
    return a;
}

OutArray output(nb::handle obj, const Where& w, Elem elem, const Shape& shape) {
    OutArray a;
    const std::string expected = std::string("a writable, C-contiguous ") + elem_name(elem) + " array of shape " +
                                 shape.text;
    const char* why = " (results are written into it in place, never into a copy)";
    nb::object source = importable(obj);
    if (!nb::try_cast(source, a, false)) {
        InArray ro;
        if (nb::try_cast(source, ro, false))
            fail(PyExc_ValueError, prefix(w) + " is read-only; it must be " + expected + why);
        fail(PyExc_TypeError, prefix(w) + " must be " + expected + ", not " + described(obj) + why);
    }
    if (!has_elem(a, elem))
        fail(PyExc_TypeError, prefix(w) + " must be " + expected + ", not " + described(obj) + why);
    if (!has_shape(a, shape))
        fail(PyExc_ValueError, prefix(w) + " must have shape " + shape.text + ", not " + actual_shape(a));
    std::int64_t step = 1;
    for (size_t d = a.ndim(); a.size() > 0 && d-- > 0;) {
        if (a.shape(d) != 1 && a.stride(d) != step)
            fail(PyExc_ValueError, prefix(w) + " must be C-contiguous" + why);
        step *= static_cast<std::int64_t>(a.shape(d));
    }
    return a;
}

Strided strided(const InArray& a) {
    Strided s{static_cast<const char*>(a.data()), {0, 0, 0}};
    for (size_t d = 0; d < a.ndim() && d < 3; ++d)
        s.s[d] = static_cast<std::ptrdiff_t>(a.stride(d)) * static_cast<std::ptrdiff_t>(sizeof(double));
    return s;
}

int thread_count(const char* fn, int threads) {
    if (threads == -1) {
        nb::object n = nb::module_::import_("os").attr("cpu_count")();
        return n.is_none() ? 1 : nb::cast<int>(n);
    }
    if (threads < 1)
        fail(PyExc_ValueError, std::string(fn) + "() argument 'threads' must be a positive count or -1 (one per CPU), not " +
                                   std::to_string(threads));
    return threads;
}

}  // namespace zuli::bind
