// Benchmark-only extension `_floor`: the least work any boundary for these
// four functions must do, written as plainly as possible and sharing no code
// with the module. Each function binds its arguments (positional fast path,
// keywords by name), requests every buffer with the module's flags and checks
// its dimensions and plain "d"/"B" format, converts the numbers, builds the
// same result objects as the module from the same number of new floats,
// tuples and lists, and, for the batch, releases and retakes the lock. There
// is no geometry: the contact count of a pairwise call is read from element 3
// of its first vector (the module ignores elements past the third), so that
// both build results of the same size on the same inputs.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string.h>

namespace {

constexpr int kFlags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE;

PyObject* g_zero_normal;

bool bind(const char* const* names, int n, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
    if (!kwnames && nargs == n) {
        for (int i = 0; i < n; ++i) out[i] = args[i];
        return true;
    }
    if (nargs > n) {
        PyErr_SetString(PyExc_TypeError, "wrong number of arguments");
        return false;
    }
    for (int i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        const char* key = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, k));
        if (!key) return false;
        int i = 0;
        while (i < n && strcmp(key, names[i]) != 0) ++i;
        if (i == n || out[i]) {
            PyErr_SetString(PyExc_TypeError, "bad keyword argument");
            return false;
        }
        out[i] = args[nargs + k];
    }
    for (int i = 0; i < n; ++i) {
        if (!out[i]) {
            PyErr_SetString(PyExc_TypeError, "missing argument");
            return false;
        }
    }
    return true;
}

bool get(PyObject* obj, Py_buffer* view, int ndim, char format) {
    if (PyObject_GetBuffer(obj, view, kFlags) < 0) return false;
    if (view->ndim != ndim || !view->format || view->format[0] != format || view->format[1] != '\0') {
        PyBuffer_Release(view);
        PyErr_SetString(PyExc_ValueError, "bad buffer");
        return false;
    }
    return true;
}

PyObject* vec3(const double* v) {
    PyObject* t = PyTuple_New(3);
    if (!t) return nullptr;
    for (int i = 0; i < 3; ++i) {
        PyObject* f = PyFloat_FromDouble(v[i]);
        if (!f) {
            Py_DECREF(t);
            return nullptr;
        }
        PyTuple_SET_ITEM(t, i, f);
    }
    return t;
}

// (count, normal, [point] * count, [depth] * count) from the first vector's
// elements: the floor takes its numbers from memory it already holds.
PyObject* result(long count, const double* v, bool shared_zero) {
    PyObject* points = PyList_New(count);
    PyObject* depths = PyList_New(count);
    PyObject* n = PyLong_FromLong(count);
    PyObject* normal = count == 0 && shared_zero ? Py_NewRef(g_zero_normal) : vec3(v);
    PyObject* out = PyTuple_New(4);
    if (!points || !depths || !n || !normal || !out) goto fail;
    for (long i = 0; i < count; ++i) {
        PyObject* p = vec3(v);
        PyObject* d = PyFloat_FromDouble(v[i % 3]);
        if (!p || !d) {
            Py_XDECREF(p);
            Py_XDECREF(d);
            goto fail;
        }
        PyList_SET_ITEM(points, i, p);
        PyList_SET_ITEM(depths, i, d);
    }
    PyTuple_SET_ITEM(out, 0, n);
    PyTuple_SET_ITEM(out, 1, normal);
    PyTuple_SET_ITEM(out, 2, points);
    PyTuple_SET_ITEM(out, 3, depths);
    return out;
fail:
    Py_XDECREF(points);
    Py_XDECREF(depths);
    Py_XDECREF(n);
    Py_XDECREF(normal);
    Py_XDECREF(out);
    return nullptr;
}

// A pairwise function: `dims` gives each parameter's number of axes, 0 for a
// number.
PyObject* pairwise(const char* const* names, const int* dims, int n, bool shared_zero, PyObject* const* args,
                   Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[8];
    if (!bind(names, n, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
    Py_buffer views[8];
    int held = 0;
    PyObject* out = nullptr;
    double numbers[8];
    for (int i = 0; i < n; ++i) {
        if (dims[i] == 0) {
            numbers[i] = PyFloat_AsDouble(bound[i]);
            if (numbers[i] == -1.0 && PyErr_Occurred()) goto done;
            continue;
        }
        if (!get(bound[i], &views[held], dims[i], 'd')) goto done;
        ++held;
    }
    {
        const double* v = static_cast<const double*>(views[0].buf);
        out = result(static_cast<long>(v[3]), v, shared_zero);
    }
done:
    for (int i = 0; i < held; ++i) PyBuffer_Release(&views[i]);
    return out;
}

const char* const kBoxNames[] = {"ca", "Ra", "ha", "cb", "Rb", "hb"};
const int kBoxDims[] = {1, 2, 1, 1, 2, 1};
const char* const kSphereNames[] = {"ca", "ra", "cb", "rb"};
const int kSphereDims[] = {1, 0, 1, 0};
const char* const kSphereBoxNames[] = {"cs", "rs", "cb", "Rb", "hb"};
const int kSphereBoxDims[] = {1, 0, 1, 2, 1};
const char* const kCapsuleNames[] = {"cp0", "cp1", "radius", "verts", "hit", "points", "normals", "depths"};

PyObject* box_box(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pairwise(kBoxNames, kBoxDims, 6, false, args, nargs, kwnames);
}
PyObject* sphere_sphere(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pairwise(kSphereNames, kSphereDims, 4, true, args, nargs, kwnames);
}
PyObject* sphere_box(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pairwise(kSphereBoxNames, kSphereBoxDims, 5, true, args, nargs, kwnames);
}

PyObject* capsule_triangles(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[8];
    if (!bind(kCapsuleNames, 8, args, nargs, kwnames, bound)) return nullptr;
    const int dims[8] = {1, 1, 0, 3, 1, 2, 2, 1};
    Py_buffer views[8];
    int held = 0;
    PyObject* out = nullptr;
    double radius = 0;
    for (int i = 0; i < 8; ++i) {
        if (dims[i] == 0) {
            radius = PyFloat_AsDouble(bound[i]);
            if (radius == -1.0 && PyErr_Occurred()) goto done;
            continue;
        }
        if (!get(bound[i], &views[held], dims[i], i == 4 ? 'B' : 'd')) goto done;
        ++held;
    }
    {
        PyThreadState* state = PyEval_SaveThread();
        PyEval_RestoreThread(state);
    }
    (void)radius;
    out = Py_NewRef(Py_None);
done:
    for (int i = 0; i < held; ++i) PyBuffer_Release(&views[i]);
    return out;
}

PyMethodDef kMethods[] = {
    {"box_box", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(box_box)), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"sphere_sphere", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sphere_sphere)), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"sphere_box", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sphere_box)), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"capsule_triangles", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(capsule_triangles)), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_floor", nullptr, -1, kMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__floor(void) {
    g_zero_normal = Py_BuildValue("(ddd)", 0.0, 0.0, 0.0);
    if (!g_zero_normal) return nullptr;
    return PyModule_Create(&kModule);
}
