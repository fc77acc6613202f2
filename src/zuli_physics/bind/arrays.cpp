#include "arrays.hpp"

// Only this file uses NumPy's C API; its table is imported on first use.
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

namespace zuli::bind {

namespace {

// Is NumPy's C API there to use? Only once NumPy has been imported by
// someone: before that no argument can be a NumPy array, and callers that
// pass other buffers never need NumPy.
bool numpy_loaded() {
    if (PyArray_API) return true;
    static PyObject* name = PyUnicode_InternFromString("numpy");
    nb::object module = nb::steal(PyImport_GetModule(name));
    if (!module.is_valid()) {
        PyErr_Clear();
        return false;
    }
    if (PyArray_ImportNumPyAPI() == 0) return true;
    PyErr_Clear();
    return false;
}

}  // namespace

View::View(Imported a) {
    valid_ = a.is_valid();
    if (!valid_) return;
    data_ = const_cast<void*>(static_cast<const void*>(a.data()));
    ndim_ = static_cast<int>(a.ndim());
    for (int d = 0; d < ndim_ && d < 3; ++d) {
        shape_[d] = static_cast<std::int64_t>(a.shape(static_cast<size_t>(d)));
        strides_[d] = a.stride(static_cast<size_t>(d));
    }
    itemsize_ = a.itemsize();
    imported_ = std::make_unique<Imported>(std::move(a));
}

View::View(View&& other) noexcept { *this = std::move(other); }

View& View::operator=(View&& other) noexcept {
    if (this == &other) return *this;
    if (has_buffer_) PyBuffer_Release(&buffer_);
    valid_ = other.valid_;
    has_buffer_ = other.has_buffer_;
    data_ = other.data_;
    ndim_ = other.ndim_;
    std::memcpy(shape_, other.shape_, sizeof shape_);
    std::memcpy(strides_, other.strides_, sizeof strides_);
    itemsize_ = other.itemsize_;
    if (has_buffer_) buffer_ = other.buffer_;
    imported_ = std::move(other.imported_);
    array_ = std::move(other.array_);
    other.valid_ = other.has_buffer_ = false;
    return *this;
}

View::~View() {
    if (has_buffer_) PyBuffer_Release(&buffer_);
}

View View::from_buffer(const Py_buffer& buffer) {
    View v;
    v.buffer_ = buffer;
    v.has_buffer_ = true;
    v.valid_ = true;
    v.data_ = buffer.buf;
    v.ndim_ = buffer.ndim;
    v.itemsize_ = static_cast<size_t>(buffer.itemsize);
    // Exporters may leave strides out for contiguous data (ctypes does).
    std::int64_t step = 1;
    for (int d = buffer.ndim; d-- > 0;) {
        v.shape_[d] = buffer.shape[d];
        v.strides_[d] = buffer.strides ? buffer.strides[d] / buffer.itemsize : step;
        step *= buffer.shape[d];
    }
    return v;
}

View View::from_numpy(nb::handle array) {
    auto* a = reinterpret_cast<PyArrayObject*>(array.ptr());
    View v;
    v.array_ = nb::borrow(array);
    v.valid_ = true;
    v.data_ = PyArray_DATA(a);
    v.ndim_ = PyArray_NDIM(a);
    v.itemsize_ = static_cast<size_t>(PyArray_ITEMSIZE(a));
    for (int d = 0; d < v.ndim_; ++d) {
        v.shape_[d] = PyArray_DIM(a, d);
        v.strides_[d] = PyArray_STRIDE(a, d) / static_cast<npy_intp>(v.itemsize_);
    }
    return v;
}

size_t View::size() const {
    if (!valid_) return 0;
    size_t n = 1;
    for (int d = 0; d < ndim_; ++d) n *= static_cast<size_t>(shape_[d]);
    return n;
}

void* new_array_data(nb::handle array) { return PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.ptr())); }

nb::object new_array(std::initializer_list<std::int64_t> shape, Dtype dtype) {
    if (PyArray_ImportNumPyAPI() < 0) throw nb::python_error();
    static constexpr int types[] = {NPY_FLOAT64, NPY_INT64, NPY_UINT8};
    npy_intp dims[3];
    int nd = 0;
    for (std::int64_t d : shape) dims[nd++] = static_cast<npy_intp>(d);
    PyObject* result = PyArray_SimpleNew(nd, dims, types[static_cast<int>(dtype)]);
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

nb::object leading(nb::handle array, std::int64_t rows) {
    if (numpy_loaded() && PyArray_CheckExact(array.ptr())) {
        auto* a = reinterpret_cast<PyArrayObject*>(array.ptr());
        const int nd = PyArray_NDIM(a);
        if (nd >= 1 && rows >= 0 && rows <= PyArray_DIM(a, 0)) {
            npy_intp dims[NPY_MAXDIMS];
            std::memcpy(dims, PyArray_DIMS(a), static_cast<size_t>(nd) * sizeof(npy_intp));
            dims[0] = static_cast<npy_intp>(rows);
            PyArray_Descr* descr = PyArray_DESCR(a);
            Py_INCREF(descr);  // stolen by the view
            PyObject* view = PyArray_NewFromDescr(&PyArray_Type, descr, nd, dims, PyArray_STRIDES(a), PyArray_DATA(a),
                                                  PyArray_FLAGS(a) & NPY_ARRAY_WRITEABLE, nullptr);
            if (!view) throw nb::python_error();
            nb::object owned = nb::steal(view);
            if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view), Py_NewRef(array.ptr())) < 0)
                throw nb::python_error();
            return owned;
        }
    }
    nb::object cut = nb::steal(PySlice_New(nullptr, nb::int_(rows).ptr(), nullptr));
    return array[cut];
}

nb::object make_named(nb::handle type, std::initializer_list<nb::handle> fields) {
    auto* t = reinterpret_cast<PyTypeObject*>(type.ptr());
    const auto n = static_cast<Py_ssize_t>(fields.size());
    PyObject* result = t->tp_alloc(t, n);
    if (!result) throw nb::python_error();
    auto* tuple = reinterpret_cast<PyTupleObject*>(result);
    Py_ssize_t i = 0;
    for (nb::handle f : fields) tuple->ob_item[i++] = Py_NewRef(f.ptr());
#if PY_VERSION_HEX >= 0x030E0000
    tuple->ob_hash = -1;  // "not computed yet": left 0, hash() would answer 0 without asking the fields
#endif
    return nb::steal(result);
}

namespace {

// Does a buffer format (struct syntax, native byte order) give `elem`?
bool format_is(const char* format, size_t itemsize, Elem elem) {
    if (!format) format = "B";
    if (*format == '@' || *format == '=' || *format == '<') ++format;  // native, standard or little: x86-64 and arm64
    if (format[0] == '\0' || format[1] != '\0') return false;
    const char c = format[0];
    const bool is_signed = c == 'b' || c == 'h' || c == 'i' || c == 'l' || c == 'q' || c == 'n';
    switch (elem) {
        case Elem::Float64: return c == 'd' && itemsize == 8;
        case Elem::UInt8: return c == 'B' && itemsize == 1;
        case Elem::Int64: return is_signed && itemsize == 8;
        case Elem::Index: return is_signed && (itemsize == 4 || itemsize == 8);
    }
    return false;
}

bool has_extents(const std::int64_t* extents, int ndim, const Shape& shape) {
    if (static_cast<size_t>(ndim) != shape.dims.size() || ndim > 3) return false;
    int d = 0;
    for (std::int64_t extent : shape.dims) {
        if (extent != -1 && extents[d] != extent) return false;
        ++d;
    }
    return true;
}

// The fastest path: a NumPy array of exactly the expected element and shape,
// in native byte order, whose strides are whole elements.
bool take_numpy(nb::handle obj, bool writable, Elem elem, const Shape& shape, View& out) {
    if (!numpy_loaded() || !PyArray_Check(obj.ptr())) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(obj.ptr());
    const char kind = PyArray_DESCR(a)->kind;
    const npy_intp size = PyArray_ITEMSIZE(a);
    bool ok = PyArray_ISNOTSWAPPED(a) && (!writable || PyArray_ISWRITEABLE(a));
    switch (elem) {
        case Elem::Float64: ok = ok && kind == 'f' && size == 8; break;
        case Elem::UInt8: ok = ok && kind == 'u' && size == 1; break;
        case Elem::Int64: ok = ok && kind == 'i' && size == 8; break;
        case Elem::Index: ok = ok && kind == 'i' && (size == 4 || size == 8); break;
    }
    const int nd = PyArray_NDIM(a);
    std::int64_t extents[3] = {0, 0, 0};
    for (int d = 0; ok && d < nd && d < 3; ++d) {
        extents[d] = PyArray_DIM(a, d);
        ok = PyArray_STRIDE(a, d) % size == 0;
    }
    if (!ok || !has_extents(extents, nd, shape)) return false;
    out = View::from_numpy(obj);
    return true;
}

// The fast path: a buffer of exactly the expected element and shape, whose
// strides are whole elements. Anything else leaves it to the general path.
bool take_buffer(nb::handle obj, bool writable, Elem elem, const Shape& shape, View& out) {
    if (!PyObject_CheckBuffer(obj.ptr())) return false;
    Py_buffer b;
    if (PyObject_GetBuffer(obj.ptr(), &b, writable ? PyBUF_RECORDS : PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return false;
    }
    bool ok = format_is(b.format, static_cast<size_t>(b.itemsize), elem) && b.ndim <= 3;
    std::int64_t extents[3] = {0, 0, 0};
    for (int d = 0; ok && d < b.ndim; ++d) {
        extents[d] = b.shape[d];
        ok = !b.strides || b.strides[d] % b.itemsize == 0;
    }
    ok = ok && has_extents(extents, b.ndim, shape);
    if (!ok) {
        PyBuffer_Release(&b);
        return false;
    }
    out = View::from_buffer(b);
    return true;
}

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

// "a float64", "an int32": the article for a dtype name (uint8 is "a").
std::string with_article(const std::string& name) {
    const bool vowel = !name.empty() && std::strchr("aeio", name[0]) != nullptr;
    return (vowel ? "an " : "a ") + name;
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

template <class Array>
bool contiguous(const Array& a) {
    std::int64_t step = 1;
    for (size_t d = a.ndim(); a.size() > 0 && d-- > 0;) {
        if (a.shape(d) != 1 && a.stride(d) != step) return false;
        step *= static_cast<std::int64_t>(a.shape(d));
    }
    return true;
}

std::string prefix(const Where& w) { return std::string(w.fn) + "() argument '" + w.name + "'"; }

}  // namespace

// What the caller passed, for messages: "a float32 array", "a complex128
// scalar" (a NumPy scalar or a 0-d array) or "list".
std::string described(nb::handle obj) {
    if (nb::hasattr(obj, "dtype") && nb::hasattr(obj, "shape")) {
        nb::object dtype = obj.attr("dtype");
        nb::str text = nb::steal<nb::str>(PyObject_Str(dtype.ptr()));
        const Py_ssize_t ndim = PyObject_Length(obj.attr("shape").ptr());
        if (ndim < 0) PyErr_Clear();
        const bool scalar = ndim == 0;
        return with_article(text.c_str()) + (scalar ? " scalar" : " array");
    }
    return nb::type_name(obj.type()).c_str();
}

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
    View fast;
    if (take_numpy(obj, false, elem, shape, fast) || take_buffer(obj, false, elem, shape, fast)) return fast;
    Imported a;
    const std::string expected = with_article(elem_name(elem)) + " array of shape " + shape.text();
    if (obj.is_none()) fail(PyExc_TypeError, prefix(w) + " must be " + expected + ", not None");
    if (!nb::try_cast(importable(obj), a, false))
        fail(PyExc_TypeError, prefix(w) + " must be " + expected + ", not " + described(obj) + "; np.asarray(" +
                                  w.name + ", dtype=" + elem_numpy(elem) + ") converts it");
    if (!has_elem(a, elem))
        fail(PyExc_TypeError, prefix(w) + " must be " + expected + ", not " + described(obj) + "; np.asarray(" +
                                  w.name + ", dtype=" + elem_numpy(elem) + ") converts it");
    if (!has_shape(a, shape))
        fail(PyExc_ValueError, prefix(w) + " must have shape " + shape.text() + ", not " + actual_shape(a));
    return View(std::move(a));
}

OutArray output(nb::handle obj, const Where& w, Elem elem, const Shape& shape) {
    View fast;
    if ((take_numpy(obj, true, elem, shape, fast) || take_buffer(obj, true, elem, shape, fast)) && contiguous(fast))
        return fast;
    nb::ndarray<nb::device::cpu> a;
    const std::string expected = std::string("a writable, C-contiguous ") + elem_name(elem) + " array of shape " +
                                 shape.text();
    const char* why = " (results are written into it in place, never into a copy)";
    nb::object source = importable(obj);
    if (!nb::try_cast(source, a, false)) {
        Imported ro;
        if (nb::try_cast(source, ro, false))
            fail(PyExc_ValueError, prefix(w) + " is read-only; it must be " + expected + why);
        fail(PyExc_TypeError, prefix(w) + " must be " + expected + ", not " + described(obj) + why);
    }
    if (!has_elem(a, elem))
        fail(PyExc_TypeError, prefix(w) + " must be " + expected + ", not " + described(obj) + why);
    if (!has_shape(a, shape))
        fail(PyExc_ValueError, prefix(w) + " must have shape " + shape.text() + ", not " + actual_shape(a));
    if (!contiguous(a)) fail(PyExc_ValueError, prefix(w) + " must be C-contiguous" + why);
    return View(Imported(a));
}

Vec3 input_vec3(nb::handle obj, const char* fn, const char* name) {
    if (numpy_loaded() && PyArray_Check(obj.ptr())) {
        auto* a = reinterpret_cast<PyArrayObject*>(obj.ptr());
        if (PyArray_TYPE(a) == NPY_FLOAT64 && PyArray_ISNOTSWAPPED(a) && PyArray_NDIM(a) == 1 &&
            PyArray_DIM(a, 0) == 3 && PyArray_STRIDE(a, 0) % 8 == 0) {
            const char* at = static_cast<const char*>(PyArray_DATA(a));
            const npy_intp step = PyArray_STRIDE(a, 0);
            double c[3];
            for (int k = 0; k < 3; ++k) std::memcpy(&c[k], at + k * step, sizeof(double));
            return {c[0], c[1], c[2]};
        }
    }
    const InArray a = input(obj, {fn, name}, Elem::Float64, {{3}, "(3,)"});
    const Strided s = strided(a);
    return {s.at(0), s.at(1), s.at(2)};
}

bool is_one_number(nb::handle obj) {
    PyObject* o = obj.ptr();
    if (PyFloat_Check(o) || PyLong_Check(o)) return true;
    if (numpy_loaded()) {
        const auto real = [](const PyArray_Descr* d) {
            return d->kind == 'b' || d->kind == 'i' || d->kind == 'u' || d->kind == 'f';
        };
        if (PyArray_IsScalar(o, Generic)) {
            PyArray_Descr* descr = PyArray_DescrFromScalar(o);  // a new reference
            const bool is_real = descr && real(descr);
            Py_XDECREF(descr);
            return is_real;
        }
        auto* a = reinterpret_cast<PyArrayObject*>(o);
        if (PyArray_Check(o)) return PyArray_NDIM(a) == 0 && real(PyArray_DESCR(a));
    }
    // Other real numbers (fractions.Fraction, decimal.Decimal) convert as
    // float() converts them. Complex numbers are refused: their imaginary
    // part would be dropped. Arrays of other libraries (buffers, DLPack or
    // NumPy's array protocols) are arrays even when float() takes them, as
    // it does a tensor of one element.
    const PyNumberMethods* num = Py_TYPE(o)->tp_as_number;
    if (!num || !(num->nb_float || num->nb_index) || PyComplex_Check(o) || PyObject_CheckBuffer(o)) return false;
    for (const char* protocol : {"__dlpack__", "__array__", "__array_interface__", "__array_struct__"}) {
        const int has = PyObject_HasAttrStringWithError(o, protocol);
        if (has < 0) PyErr_Clear();
        if (has != 0) return false;
    }
    return true;
}

double one_number(nb::handle obj, const Where& where) {
    const double v = PyFloat_AsDouble(obj.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_OverflowError, (prefix(where) + " is too large for a float64").c_str());
        } else {
            // The object's own conversion failed (a __float__ returning a
            // str, a signalling NaN Decimal): a TypeError or ValueError gets
            // the argument's name, with the original as its cause; any
            // other exception goes on as it is.
            PyObject* cause = PyErr_GetRaisedException();
            PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(cause));
            nb::str text = nb::steal<nb::str>(PyObject_Str(cause));
            if (!text.is_valid() || (type != PyExc_TypeError && type != PyExc_ValueError)) {
                PyErr_Clear();
                PyErr_SetRaisedException(cause);
                throw nb::python_error();
            }
            PyErr_Format(type, "%s: %s", prefix(where).c_str(), text.c_str());
            PyObject* named = PyErr_GetRaisedException();
            PyException_SetCause(named, cause);  // takes the reference
            PyErr_SetRaisedException(named);
        }
        throw nb::python_error();
    }
    return v;
}

std::optional<double> if_one_number(nb::handle obj, const Where& where) {
    if (!is_one_number(obj)) return std::nullopt;
    return one_number(obj, where);
}

Strided strided(const InArray& a) {
    Strided s{static_cast<const char*>(a.data()), {0, 0, 0}};
    for (size_t d = 0; d < a.ndim() && d < 3; ++d)
        s.s[d] = static_cast<std::ptrdiff_t>(a.stride(d)) * static_cast<std::ptrdiff_t>(sizeof(double));
    return s;
}

int thread_count(const char* fn, nb::handle threads) {
    // Every call comes here: the message's text is made only for a refusal.
    const auto arg = [fn] { return std::string(fn) + "() argument 'threads'"; };
    nb::object index = nb::steal(PyNumber_Index(threads.ptr()));
    if (!index) {
        PyErr_Clear();
        fail(PyExc_TypeError, arg() + " must be an int, not " + nb::type_name(threads.type()).c_str());
    }
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (n == -1 && !overflow) {
        nb::object cpus = nb::module_::import_("os").attr("cpu_count")();
        return cpus.is_none() ? 1 : nb::cast<int>(cpus);
    }
    if (overflow < 0 || (!overflow && n < 1))
        fail(PyExc_ValueError, arg() + " must be a positive count or -1 (one per CPU), not " +
                                   nb::str(index).c_str());
    return overflow || n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

}  // namespace zuli::bind
