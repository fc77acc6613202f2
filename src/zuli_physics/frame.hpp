// The interpreter-facing frame shared by every module function: one parameter
// table per function drives one binder, one view-acquisition routine and one
// result builder.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <string.h>

#include "contact/manifold.hpp"

namespace zuli::frame {

inline constexpr int kMaxParams = 8;

// How an argument is converted. Array kinds name their element type and axes.
enum class Kind : unsigned char { DoubleView1D, DoubleView2D, DoubleView3D, UByteView1D, Double };

// How many leading rows an array argument must have, on top of what its kind
// demands. Vectors and matrices need 3 (3 elements, 3x3 block); triangles need
// 3 vertices of 3 coordinates each; per-triangle outputs need one row (of 3
// columns when 2-D) per triangle, and may be None only when there are none.
enum class Rows : unsigned char { Any, Three, Triangles, PerTriangle };

struct Param {
    const char* name;
    Kind kind;
    Rows rows;
};

// A typed, in-place view of a caller's buffer for the duration of one call.
// The empty view (argument None) has no buffer, no data and zero extents.
struct ArrayView {
    Py_buffer buffer;
    bool held;
    char* data;
    Py_ssize_t shape[3];
    Py_ssize_t strides[3];
};

// Owns one strong reference; the reference-count discipline of the frame.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference over (to a container that steals it, or the caller).
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    PyObject* p_ = nullptr;
};

struct FunctionSpec;
class Args;
bool convert_arguments(const FunctionSpec& spec, PyObject* const* bound, Args& args);

// The converted arguments of one call. Views are released when it goes out
// of scope, on every path, exactly once.
class Args {
public:
    Args() = default;
    Args(const Args&) = delete;
    Args& operator=(const Args&) = delete;
    ~Args() {
        for (int i = 0; i < converted_; ++i) {
            if (views_[i].held) PyBuffer_Release(&views_[i].buffer);
        }
    }

    const ArrayView& view(int i) const { return views_[i]; }
    double number(int i) const { return numbers_[i]; }
    // Elements 0, 1, 2 of a vector (contiguous: at least 3 elements).
    Vec3 vec3(int i) const {
        Vec3 v;
        memcpy(&v, views_[i].data, sizeof v);
        return v;
    }
    // The 3x3 block of a matrix, each row found through the row stride.
    Mat3 mat3(int i) const {
        Mat3 R;
        for (int r = 0; r < 3; ++r) {
            memcpy(R.m[r], views_[i].data + r * views_[i].strides[0], sizeof R.m[r]);
        }
        return R;
    }
    // The parameter whose conversion failed, after convert_arguments
    // returned false.
    int failed_param() const { return converted_ - 1; }

private:
    friend bool convert_arguments(const FunctionSpec& spec, PyObject* const* bound, Args& args);
    ArrayView views_[kMaxParams];
    double numbers_[kMaxParams];
    int converted_ = 0;
    Py_ssize_t triangles_ = 0;  // first extent of the triangle array, if any
};

struct FunctionSpec {
    const char* name;
    const char* doc;
    int nparams;
    Param params[kMaxParams];
    // Runs the computation on converted arguments and builds the result; a
    // null return means an exception is set.
    PyObject* (*run)(const Args&);
};

// Process-wide constants the frame shares with the module (made once by the
// module's exec step, never freed).
struct Constants {
    PyObject* module_dict;
    PyObject* zero_normal;  // (0.0, 0.0, 0.0)
    PyObject* small_ints[MAX_CONTACTS + 1];
};
extern Constants constants;

// Creates the function objects' type, once per process.
bool init_function_type();
// One function object for `spec` (init_function_type must have succeeded).
PyObject* new_function(const FunctionSpec& spec);

// (count, normal, points, depths). A separated pair may share the constant
// zero normal or get a new tuple of positive zeros.
enum class SeparatedNormal { Shared, Fresh };
PyObject* build_contact_result(const Manifold& m, SeparatedNormal separated);

// Adds one traceback entry "<module>.<name>" for the exception being raised.
void add_traceback(const char* qualified_name);

inline constexpr const char kModuleName[] = "zuli_physics._collide_native";
inline constexpr const char kSourcePath[] = "src/zuli_physics/_collide_native";

}  // namespace zuli::frame
