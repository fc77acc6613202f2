#include "frame.hpp"

#include <stddef.h>
#include <stdio.h>

#include "buffer_format.hpp"

namespace zuli::frame {

Constants constants = {};

namespace {

// Writable, C-contiguous, with format: demanded of every array argument, also
// of those only read, so that all arrays are handled alike.
constexpr int kBufferFlags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE;
static_assert(kBufferFlags == 61);

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* names[kMaxParams];  // interned, so keywords usually match by identity
    PyObject* name;
    PyObject* module;
    PyObject* doc;
    PyObject* globals;
    PyObject* code;
    char qualified[80];  // "zuli_physics._collide_native.<name>" for tracebacks
};

PyTypeObject* function_type = nullptr;

// ---------------------------------------------------------------- binding

Py_NO_INLINE bool count_error(const FunctionSpec& spec, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, "exactly", static_cast<Py_ssize_t>(spec.nparams), "s", given);
    return false;
}

constexpr int kNotFound = -1;
constexpr int kCompareFailed = -2;

// The parameter in [lo, hi) that `key` names: identity first (interned names),
// then content for exact strings, then __eq__ for string subclasses.
int find_param(const NativeFunction& f, PyObject* key, int lo, int hi) {
    for (int i = lo; i < hi; ++i) {
        if (f.names[i] == key) return i;
    }
    if (PyUnicode_CheckExact(key)) {
        const Py_hash_t hash = PyObject_Hash(key);
        for (int i = lo; i < hi; ++i) {
            if (PyObject_Hash(f.names[i]) == hash && PyUnicode_Compare(key, f.names[i]) == 0) return i;
        }
        return kNotFound;
    }
    for (int i = lo; i < hi; ++i) {
        const int equal = PyObject_RichCompareBool(key, f.names[i], Py_EQ);
        if (equal < 0) return kCompareFailed;
        if (equal) return i;
    }
    return kNotFound;
}

// The keyword path: positional values first, then each keyword in call order.
// `bound` receives borrowed references; the caller's argument array owns them
// for the whole call.
Py_NO_INLINE bool bind_keywords(const NativeFunction& f, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames, PyObject** bound) {
    const FunctionSpec& spec = *f.spec;
    const int n = spec.nparams;
    if (nargs > n) return count_error(spec, nargs);
    for (int i = 0; i < n; ++i) bound[i] = i < nargs ? args[i] : nullptr;
    const int positional = static_cast<int>(nargs);
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
            return false;
        }
        int i = find_param(f, key, positional, n);
        if (i >= 0) {
            bound[i] = args[nargs + j];
            continue;
        }
        if (i == kCompareFailed) return false;
        i = find_param(f, key, 0, positional);
        if (i == kCompareFailed) return false;
        if (i >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         spec.name, key);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name,
                         key);
        }
        return false;
    }
    // Reports how many leading parameters got a value before the first gap.
    for (int i = positional; i < n; ++i) {
        if (!bound[i]) return count_error(spec, i);
    }
    return true;
}

// ------------------------------------------------------- array conversion

Py_NO_INLINE bool format_error(const fmt::FormatCheck& check, const fmt::ElementType& want) {
    switch (check.verdict) {
        case fmt::Verdict::Ok: return true;
        case fmt::Verdict::Mismatch:
            if (check.expected_end) {
                PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "",
                             "end", "", check.got);
            } else {
                PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                             want.name, "'", check.got);
            }
            break;
        case fmt::Verdict::BigEndian:
            PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
            break;
        case fmt::Verdict::UnknownChar:
            PyErr_Format(PyExc_ValueError,
                         "Does not understand character buffer dtype format string ('%c')",
                         static_cast<int>(static_cast<unsigned char>(check.bad_char)));
            break;
        case fmt::Verdict::NoStandardLongDouble:
            PyErr_SetString(PyExc_ValueError,
                            "Python does not define a standard format string size for long double ('g')..");
            break;
        case fmt::Verdict::Truncated:
            PyErr_SetString(PyExc_ValueError, "Buffer dtype format string ends unexpectedly");
            break;
        case fmt::Verdict::TooDeep:
            PyErr_SetString(PyExc_ValueError, "Buffer dtype format string nests structs too deeply");
            break;
    }
    return false;
}

Py_NO_INLINE bool value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return false;
}

Py_NO_INLINE bool layout_error_dim(int axis) {
    PyErr_Format(PyExc_ValueError, "Buffer not compatible with direct access in dimension %d.", axis);
    return false;
}

Py_NO_INLINE bool ndim_error(int want, int got) {
    PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", want, got);
    return false;
}

Py_NO_INLINE bool itemsize_error(Py_ssize_t got, const fmt::ElementType& want) {
    const size_t have = static_cast<size_t>(got);
    PyErr_Format(PyExc_ValueError, "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                 have, have < 2 ? "" : "s", want.name, want.size, want.size < 2 ? "" : "s");
    return false;
}

// The general element-type rule, for formats other than the plain one.
Py_NO_INLINE bool check_format_slow(const char* format, const fmt::ElementType& want) {
    const fmt::FormatCheck check = fmt::check_format(format, want);
    return check.verdict == fmt::Verdict::Ok || format_error(check, want);
}

// Row-major order with a contiguous last axis (axes of extent 0 or 1 exempt),
// checked axis by axis from the first, for a buffer that holds data.
template <int NDIM>
bool check_layout(const Py_buffer& b, const Py_ssize_t (&shape)[NDIM]) {
    for (int a = 0; a < NDIM; ++a) {
        if (b.strides && shape[a] > 1) {
            const Py_ssize_t stride = b.strides[a];
            const bool ok = a == NDIM - 1 ? stride == b.itemsize : (stride < 0 ? -stride : stride) >= b.itemsize;
            if (!ok) return value_error("Buffer and memoryview are not contiguous in the same dimension.");
        }
        if (!b.strides && b.suboffsets) return value_error("Buffer exposes suboffsets but no strides");
        if (b.suboffsets && b.suboffsets[a] >= 0) return layout_error_dim(a);
    }
    if (b.strides) {
        Py_ssize_t running = 1;
        for (int a = NDIM - 1; a >= 0; --a) {
            if (shape[a] > 1 && b.strides[a] != running * b.itemsize) return value_error("Buffer not C contiguous.");
            running *= shape[a];
        }
    }
    return true;
}

// The shape and layout of a buffer whose element type is already checked,
// by the general rule; records them in the view.
template <int NDIM>
Py_NO_INLINE bool check_shape_slow(ArrayView& v) {
    const Py_buffer& b = v.buffer;
    Py_ssize_t shape[NDIM];
    for (int a = 0; a < NDIM; ++a) shape[a] = b.shape ? b.shape[a] : b.len / b.itemsize;
    if (b.len > 0 && !check_layout<NDIM>(b, shape)) return false;
    v.data = static_cast<char*>(b.buf);
    Py_ssize_t running = b.itemsize;
    for (int a = NDIM - 1; a >= 0; --a) {
        v.shape[a] = shape[a];
        v.strides[a] = b.strides ? b.strides[a] : running;
        running *= shape[a];
    }
    return true;
}

// An NDIM-axis buffer of `element`, whose plain format is the single
// character PLAIN; records it in the view.
template <int NDIM, char PLAIN>
bool check_buffer(ArrayView& v, const fmt::ElementType& element) {
    const Py_buffer& b = v.buffer;
    if (b.ndim != NDIM) return ndim_error(NDIM, b.ndim);
    const char* format = b.format ? b.format : "B";
    if (!(format[0] == PLAIN && format[1] == '\0') && !check_format_slow(format, element)) return false;
    if (b.itemsize != static_cast<Py_ssize_t>(element.size)) return itemsize_error(b.itemsize, element);
    // What exporters give for the flags requested: shape and strides, no
    // suboffsets, each stride (of an axis longer than 1) the byte size of
    // the axes after it, never zero. The general rule accepts such a buffer
    // unchanged, so it is taken as is; anything else goes through that rule.
    if (b.shape && b.strides && !b.suboffsets) {
        bool row_major = true;
        Py_ssize_t running = b.itemsize;
        for (int a = NDIM - 1; a >= 0; --a) {
            row_major &= b.shape[a] <= 1 || (b.strides[a] == running && running != 0);
            running *= b.shape[a];
        }
        if (row_major) {
            v.data = static_cast<char*>(b.buf);
            for (int a = 0; a < NDIM; ++a) {
                v.shape[a] = b.shape[a];
                v.strides[a] = b.strides[a];
            }
            return true;
        }
    }
    return check_shape_slow<NDIM>(v);
}

bool acquire_view(PyObject* obj, Kind kind, ArrayView& v) {
    v.held = false;
    if (obj == Py_None) {
        v.data = nullptr;
        for (int a = 0; a < 3; ++a) v.shape[a] = v.strides[a] = 0;
        return true;
    }
    if (PyObject_GetBuffer(obj, &v.buffer, kBufferFlags) < 0) return false;
    v.held = true;
    switch (kind) {
        case Kind::DoubleView1D: return check_buffer<1, 'd'>(v, fmt::kDouble);
        case Kind::DoubleView2D: return check_buffer<2, 'd'>(v, fmt::kDouble);
        case Kind::DoubleView3D: return check_buffer<3, 'd'>(v, fmt::kDouble);
        case Kind::UByteView1D: return check_buffer<1, 'B'>(v, fmt::kUByte);
        case Kind::Double: break;
    }
    return false;
}

bool to_double(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

// ------------------------------------------------------ size requirements

Py_NO_INLINE bool too_small(const FunctionSpec& spec, const Param& p, const ArrayView& v,
                            Py_ssize_t rows) {
    switch (p.kind) {
        case Kind::DoubleView2D:
            PyErr_Format(PyExc_ValueError,
                         "%s() argument '%s' must have at least %zd rows and 3 columns "
                         "(got shape (%zd, %zd))",
                         spec.name, p.name, rows, v.shape[0], v.shape[1]);
            break;
        case Kind::DoubleView3D:
            PyErr_Format(PyExc_ValueError,
                         "%s() argument '%s' must have shape (N, 3, 3) or wider "
                         "(got shape (%zd, %zd, %zd))",
                         spec.name, p.name, v.shape[0], v.shape[1], v.shape[2]);
            break;
        default:
            PyErr_Format(PyExc_ValueError, "%s() argument '%s' must have at least %zd elements (got %zd)",
                         spec.name, p.name, rows, v.shape[0]);
            break;
    }
    return false;
}

// No call reads or writes past an argument's buffer: every array is checked
// against what the computation touches, right after its conversion.
bool check_rows(const FunctionSpec& spec, const Param& p, const ArrayView& v, Py_ssize_t triangles) {
    Py_ssize_t rows = 0;
    switch (p.rows) {
        case Rows::Any: return true;
        case Rows::Three: rows = 3; break;
        case Rows::PerTriangle: rows = triangles; break;
        case Rows::Triangles:
            // None stands for zero triangles.
            if (v.held && (v.shape[1] < 3 || v.shape[2] < 3)) return too_small(spec, p, v, 0);
            return true;
    }
    if (rows == 0) return true;
    if (v.shape[0] < rows) return too_small(spec, p, v, rows);
    if (p.kind == Kind::DoubleView2D && v.shape[1] < 3) return too_small(spec, p, v, rows);
    return true;
}

// ------------------------------------------------------ function objects

// A note on the exception a conversion raised (shown under the traceback)
// saying what the argument needs and how to make it; the exception's type
// and message stay as they are. Only failed calls pay for it.
void add_conversion_note(const FunctionSpec& spec, int index) {
    if (index < 0 || index >= spec.nparams) return;
    const Param& p = spec.params[index];
    const bool per_triangle = p.rows == Rows::PerTriangle;
    const char* need = "";
    const char* fix = "";
    switch (p.kind) {
        case Kind::Double:
            need = "a real number (a float, an int or an object with __float__)";
            break;
        case Kind::DoubleView1D:
            need = per_triangle ? "a writable, C-contiguous float64 array of N elements, one per triangle"
                                : "a writable, C-contiguous float64 array of 3 elements";
            fix = per_triangle ? "np.zeros(len(verts)) makes one" : "np.ascontiguousarray(%s, dtype=np.float64) makes one";
            break;
        case Kind::DoubleView2D:
            need = per_triangle ? "a writable, C-contiguous float64 array of shape (N, 3), one row per triangle"
                                : "a writable, C-contiguous float64 array of shape (3, 3)";
            fix = per_triangle ? "np.zeros((len(verts), 3)) makes one"
                               : "np.ascontiguousarray(%s, dtype=np.float64) makes one";
            break;
        case Kind::DoubleView3D:
            need = "a writable, C-contiguous float64 array of shape (N, 3, 3)";
            fix = "np.ascontiguousarray(%s, dtype=np.float64) makes one";
            break;
        case Kind::UByteView1D:
            need = "a writable, C-contiguous uint8 or bool array of N elements, one per triangle";
            fix = "np.zeros(len(verts), dtype=np.uint8) makes one";
            break;
    }
    char how[128];
    snprintf(how, sizeof how, fix, p.name);
    char note[384];
    snprintf(note, sizeof note, "%s() argument '%s': needs %s%s%s", spec.name, p.name, need, *how ? "; " : "", how);
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* added = PyObject_CallMethod(exc, "add_note", "s", note);
    if (added) {
        Py_DECREF(added);
    } else {
        PyErr_Clear();  // the note is a courtesy: the original error stands
    }
    PyErr_SetRaisedException(exc);
}

PyObject* call_function(const NativeFunction& f, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    const FunctionSpec& spec = *f.spec;
    PyObject* storage[kMaxParams];
    PyObject* const* bound = args;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        if (!bind_keywords(f, args, nargs, kwnames, storage)) return nullptr;
        bound = storage;
    } else if (nargs != spec.nparams) {
        count_error(spec, nargs);
        return nullptr;
    }
    Args converted;
    if (!convert_arguments(spec, bound, converted)) {
        add_conversion_note(spec, converted.failed_param());
        return nullptr;
    }
    return spec.run(converted);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const auto& f = *reinterpret_cast<NativeFunction*>(self);
    // The views are released when call_function returns, before the traceback
    // entry is added.
    PyObject* result = call_function(f, args, PyVectorcall_NARGS(nargsf), kwnames);
    if (!result) add_traceback(f.qualified);
    return result;
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    for (PyObject* name : f->names) Py_XDECREF(name);
    Py_XDECREF(f->name);
    Py_XDECREF(f->module);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->globals);
    Py_XDECREF(f->code);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    const auto& f = *reinterpret_cast<NativeFunction*>(self);
    return PyUnicode_FromFormat("<native function %s>", f.qualified);
}

PyObject* get_doc(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<NativeFunction*>(self)->doc);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(NativeFunction, vectorcall), Py_READONLY, nullptr},
    {"__name__", Py_T_OBJECT_EX, offsetof(NativeFunction, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(NativeFunction, name), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(NativeFunction, module), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(NativeFunction, globals), Py_READONLY, nullptr},
    // A code object whose arguments are the parameters: how signature
    // introspection learns them (all positional-or-keyword, no defaults).
    {"__code__", Py_T_OBJECT_EX, offsetof(NativeFunction, code), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Read through a class or an instance, a function stays itself, as a builtin
// function does; having __get__ is also what makes inspect and pydoc count
// it a routine (listed under FUNCTIONS, with its signature).
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

// Pickled by reference: the module attribute of that name.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<NativeFunction*>(self)->name);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_methods, function_methods},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "zuli_physics._collide_native.native_function",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

// A code object with no body whose positional arguments are the parameters.
PyObject* parameter_code(const FunctionSpec& spec, const NativeFunction& f, PyObject* filename) {
    Ref varnames(PyTuple_New(spec.nparams));
    if (!varnames) return nullptr;
    for (int i = 0; i < spec.nparams; ++i) PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(f.names[i]));
    Ref empty_tuple(PyTuple_New(0));
    Ref empty_bytes(PyBytes_FromStringAndSize(nullptr, 0));
    if (!empty_tuple || !empty_bytes) return nullptr;
    PyObject* e = empty_tuple.get();
    PyObject* b = empty_bytes.get();
    return reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        spec.nparams, 0, 0, spec.nparams, 0, CO_OPTIMIZED | CO_NEWLOCALS, b, e, e, varnames.get(), e, e,
        filename, f.name, f.name, 1, b, b));
}

}  // namespace

bool convert_arguments(const FunctionSpec& spec, PyObject* const* bound, Args& args) {
    for (int i = 0; i < spec.nparams; ++i) {
        const Param& p = spec.params[i];
        ArrayView& v = args.views_[i];
        v.held = false;
        args.converted_ = i + 1;
        if (p.kind == Kind::Double) {
            if (!to_double(bound[i], args.numbers_[i])) return false;
            continue;
        }
        if (!acquire_view(bound[i], p.kind, v)) return false;
        if (!check_rows(spec, p, v, args.triangles_)) return false;
        if (p.kind == Kind::DoubleView3D) args.triangles_ = v.shape[0];
    }
    return true;
}

bool init_function_type() {
    if (!function_type) function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return function_type != nullptr;
}

PyObject* new_function(const FunctionSpec& spec) {
    Ref obj(reinterpret_cast<PyObject*>(PyObject_New(NativeFunction, function_type)));
    if (!obj) return nullptr;
    auto& f = *reinterpret_cast<NativeFunction*>(obj.get());
    f.vectorcall = function_vectorcall;
    f.spec = &spec;
    for (PyObject*& name : f.names) name = nullptr;
    f.name = f.module = f.doc = f.globals = f.code = nullptr;
    snprintf(f.qualified, sizeof f.qualified, "%s.%s", kModuleName, spec.name);
    for (int i = 0; i < spec.nparams; ++i) {
        f.names[i] = PyUnicode_InternFromString(spec.params[i].name);
        if (!f.names[i]) return nullptr;
    }
    f.name = PyUnicode_InternFromString(spec.name);
    f.module = PyUnicode_InternFromString(kModuleName);
    f.doc = PyUnicode_FromString(spec.doc);
    f.globals = Py_NewRef(constants.module_dict);
    if (!f.name || !f.module || !f.doc) return nullptr;
    Ref filename(PyUnicode_FromString(kSourcePath));
    if (!filename) return nullptr;
    f.code = parameter_code(spec, f, filename.get());
    if (!f.code) return nullptr;
    return obj.release();
}

PyObject* build_vec3(Vec3 v) {
    Ref t(PyTuple_New(3));
    if (!t) return nullptr;
    const double c[3] = {v.x, v.y, v.z};
    for (int i = 0; i < 3; ++i) {
        PyObject* x = PyFloat_FromDouble(c[i]);
        if (!x) return nullptr;
        PyTuple_SET_ITEM(t.get(), i, x);
    }
    return t.release();
}

PyObject* build_contact_result(const Manifold& m, SeparatedNormal separated) {
    Ref points(PyList_New(m.count));
    if (!points) return nullptr;
    for (int i = 0; i < m.count; ++i) {
        PyObject* p = build_vec3(m.points[i]);
        if (!p) return nullptr;
        PyList_SET_ITEM(points.get(), i, p);
    }
    Ref depths(PyList_New(m.count));
    if (!depths) return nullptr;
    for (int i = 0; i < m.count; ++i) {
        PyObject* d = PyFloat_FromDouble(m.depths[i]);
        if (!d) return nullptr;
        PyList_SET_ITEM(depths.get(), i, d);
    }
    Ref count(Py_NewRef(constants.small_ints[m.count]));
    Ref normal(m.count == 0 && separated == SeparatedNormal::Shared ? Py_NewRef(constants.zero_normal)
                                                                    : build_vec3(m.normal));
    if (!normal) return nullptr;
    PyObject* result = PyTuple_New(4);
    if (!result) return nullptr;
    PyTuple_SET_ITEM(result, 0, count.release());
    PyTuple_SET_ITEM(result, 1, normal.release());
    PyTuple_SET_ITEM(result, 2, points.release());
    PyTuple_SET_ITEM(result, 3, depths.release());
    return result;
}

void add_traceback(const char* qualified_name) {
    // Building the entry must not disturb the exception being raised; if it
    // fails, the exception simply goes without the entry.
    PyObject* exc = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty(kSourcePath, qualified_name, 1);
    PyFrameObject* py_frame = nullptr;
    if (code) py_frame = PyFrame_New(PyThreadState_Get(), code, constants.module_dict, nullptr);
    PyErr_SetRaisedException(exc);
    if (py_frame) PyTraceBack_Here(py_frame);
    Py_XDECREF(py_frame);
    Py_XDECREF(code);
}

}  // namespace zuli::frame
