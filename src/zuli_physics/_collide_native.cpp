// zuli_physics._collide_native: contact generation for rigid primitive shapes.
//
// This file is the module itself: its definition and initialisation, and the
// four entry functions, each a parameter table plus a run routine that calls
// the pure contact code in contact/. Argument binding, buffer views and
// result objects are frame.cpp's.
#include "frame.hpp"

#include <stdint.h>

#include "contact/box.hpp"
#include "contact/capsule.hpp"
#include "contact/sphere.hpp"

namespace zuli {

namespace {

using frame::Args;
using frame::Kind;
using frame::Rows;

// ------------------------------------------------------------ entry points

PyObject* run_sphere_sphere(const Args& a) {
    Manifold m;
    sphere_sphere_contact(a.vec3(0), a.number(1), a.vec3(2), a.number(3), m);
    return frame::build_contact_result(m, frame::SeparatedNormal::Shared);
}

PyObject* run_sphere_box(const Args& a) {
    Manifold m;
    sphere_box_contact(a.vec3(0), a.number(1), {a.vec3(2), a.mat3(3), a.vec3(4)}, m);
    return frame::build_contact_result(m, frame::SeparatedNormal::Shared);
}

PyObject* run_box_box(const Args& a) {
    Manifold m;
    box_box_contact({a.vec3(0), a.mat3(1), a.vec3(2)}, {a.vec3(3), a.mat3(4), a.vec3(5)}, m);
    return frame::build_contact_result(m, frame::SeparatedNormal::Fresh);
}

// Releases the interpreter lock for its lifetime; the retake cannot be skipped.
class InterpreterLockReleased {
public:
    InterpreterLockReleased() : saved_(PyEval_SaveThread()) {}
    ~InterpreterLockReleased() { PyEval_RestoreThread(saved_); }
    InterpreterLockReleased(const InterpreterLockReleased&) = delete;
    InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

private:
    PyThreadState* saved_;
};

PyObject* run_capsule_triangles(const Args& a) {
    // The capsule is copied while the lock is held; the loop then touches only
    // locals and the acquired buffers.
    const Capsule cap = make_capsule(a.vec3(0), a.vec3(1), a.number(2));
    const frame::ArrayView& verts = a.view(3);
    const TriangleBatch batch = {
        verts.data,      verts.strides[0],      verts.strides[1],      verts.shape[0],
        a.view(4).data,  a.view(4).strides[0],  a.view(5).data,        a.view(5).strides[0],
        a.view(6).data,  a.view(6).strides[0],  a.view(7).data,        a.view(7).strides[0],
    };
    {
        InterpreterLockReleased unlocked;
        capsule_triangles_batch(cap, batch);
    }
    Py_RETURN_NONE;
}

constexpr frame::FunctionSpec kFunctions[] = {
    {"box_box",
     "Return ``(count, normal, points, depths)`` for the oriented box pair.\n"
     "\n"
     "    ``normal`` is a length-3 tuple, ``points`` a list of ``count`` (x, y, z)\n"
     "    tuples and ``depths`` a list of ``count`` penetration depths.\n"
     "    ",
     6,
     {{"ca", Kind::DoubleView1D, Rows::Three},
      {"Ra", Kind::DoubleView2D, Rows::Three},
      {"ha", Kind::DoubleView1D, Rows::Three},
      {"cb", Kind::DoubleView1D, Rows::Three},
      {"Rb", Kind::DoubleView2D, Rows::Three},
      {"hb", Kind::DoubleView1D, Rows::Three}},
     run_box_box},
    {"sphere_sphere",
     "Sphere\u2194sphere: ``(count, normal a\u2192b, [point], [depth])``.",
     4,
     {{"ca", Kind::DoubleView1D, Rows::Three},
      {"ra", Kind::Double, Rows::Any},
      {"cb", Kind::DoubleView1D, Rows::Three},
      {"rb", Kind::Double, Rows::Any}},
     run_sphere_sphere},
    {"sphere_box",
     "Sphere\u2194oriented-box: ``(count, normal sphere\u2192box, [point], [depth])``.",
     5,
     {{"cs", Kind::DoubleView1D, Rows::Three},
      {"rs", Kind::Double, Rows::Any},
      {"cb", Kind::DoubleView1D, Rows::Three},
      {"Rb", Kind::DoubleView2D, Rows::Three},
      {"hb", Kind::DoubleView1D, Rows::Three}},
     run_sphere_box},
    {"capsule_triangles",
     "Fill ``hit``/``points``/``normals``/``depths`` for every triangle.\n"
     "\n"
     "    ``verts`` is ``(N, 3, 3)`` -- triangle, vertex, axis. The output arrays are\n"
     "    written in place and are the caller's, so a controller reuses one set of\n"
     "    buffers across a frame instead of allocating per query.\n"
     "    ",
     8,
     {{"cp0", Kind::DoubleView1D, Rows::Three},
      {"cp1", Kind::DoubleView1D, Rows::Three},
      {"radius", Kind::Double, Rows::Any},
      {"verts", Kind::DoubleView3D, Rows::Triangles},
      {"hit", Kind::UByteView1D, Rows::PerTriangle},
      {"points", Kind::DoubleView2D, Rows::PerTriangle},
      {"normals", Kind::DoubleView2D, Rows::PerTriangle},
      {"depths", Kind::DoubleView1D, Rows::PerTriangle}},
     run_capsule_triangles},
};

// ------------------------------------------------------ module lifecycle

const char kModuleDoc[] =
    "Native oriented box\u2194box contact generation (SAT + face clipping).\n"
    "\n"
    "A faithful port of :func:`zuli_physics.collide.box_box` and its clip\n"
    "helpers: same 15-axis separating-axis test, same reference/incident face choice,\n"
    "same Sutherland-Hodgman clip and 4-point manifold reduction -- but on C doubles\n"
    "with fixed-size scratch, so a pair costs native arithmetic instead of dozens of\n"
    "tiny numpy calls. Boxes are passed as ``center(3)``, world rotation ``R(3,3)``\n"
    "(columns are the box axes) and half-extents ``half(3)``; no proxy object needed.\n";

// Process-wide: the module lives in one interpreter and is never torn down.
int64_t g_interpreter_id = -1;
PyObject* g_module = nullptr;

constexpr int kCompiledMajor = 3;
constexpr int kCompiledMinor = 14;

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (g_interpreter_id == -1) {
        g_interpreter_id = id;
    } else if (g_interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);

    frame::Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    frame::Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    struct Copy {
        const char* from;
        const char* to;
        bool none_too;
    };
    static const Copy copies[] = {
        {"loader", "__loader__", true},
        {"origin", "__file__", true},
        {"parent", "__package__", true},
        {"submodule_search_locations", "__path__", false},
    };
    for (const Copy& c : copies) {
        PyObject* raw = nullptr;
        if (PyObject_GetOptionalAttrString(spec, c.from, &raw) < 0) return nullptr;
        frame::Ref value(raw);
        if (!value || (!c.none_too && value.get() == Py_None)) continue;
        if (PyDict_SetItemString(dict, c.to, value.get()) < 0) return nullptr;
    }
    return module.release();
}

// Exec's steps after the module object is stored. `named` is set once the
// identifier strings exist: later failures get a traceback entry.
int exec_steps(PyObject* module, PyObject* dict, bool& named) {
    frame::Ref builtins(PyImport_AddModuleRef("builtins"));
    if (!builtins || PyDict_SetItemString(dict, "__builtins__", builtins.get()) < 0) return -1;

    // Only major.minor matter; any 3.14 release is fine.
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major != kCompiledMajor || minor != kCompiledMinor) {
        char message[200];
        PyOS_snprintf(message, sizeof message,
                      "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                      kCompiledMajor, kCompiledMinor, frame::kModuleName, "does not match", major,
                      minor);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) return -1;
    }

    for (int i = 0; i <= MAX_CONTACTS; ++i) {
        if (!frame::constants.small_ints[i]) {
            frame::constants.small_ints[i] = PyLong_FromLong(i);
            if (!frame::constants.small_ints[i]) return -1;
        }
    }
    frame::Ref qualified(PyUnicode_InternFromString(frame::kModuleName));
    if (!qualified) return -1;
    named = true;

    if (!frame::init_function_type()) return -1;

    PyObject* modules = PyImport_GetModuleDict();
    const int present = PyDict_Contains(modules, qualified.get());
    if (present < 0) return -1;
    if (!present && PyDict_SetItem(modules, qualified.get(), module) < 0) return -1;

    if (!frame::constants.zero_normal) {
        frame::constants.zero_normal = Py_BuildValue("(ddd)", 0.0, 0.0, 0.0);
        if (!frame::constants.zero_normal) return -1;
    }

    for (const frame::FunctionSpec& spec : kFunctions) {
        frame::Ref function(frame::new_function(spec));
        if (!function || PyDict_SetItemString(dict, spec.name, function.get()) < 0) return -1;
    }

    frame::Ref test(PyDict_New());
    if (!test || PyDict_SetItemString(dict, "__test__", test.get()) < 0) return -1;
    return 0;
}

int module_exec(PyObject* module) {
    if (g_module) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_collide_native' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    g_module = Py_NewRef(module);
    PyObject* dict = PyModule_GetDict(module);
    frame::constants.module_dict = dict;
    bool named = false;
    if (exec_steps(module, dict, named) == 0) return 0;

    // A later import starts again from create.
    if (named) frame::add_traceback("init zuli_physics._collide_native");
    Py_CLEAR(g_module);
    frame::constants.module_dict = nullptr;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init zuli_physics._collide_native");
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_collide_native",
    kModuleDoc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace zuli

PyMODINIT_FUNC PyInit__collide_native(void) { return PyModuleDef_Init(&zuli::module_def); }
