// zuli_physics.mesh: a static triangle mesh with a bounding-volume hierarchy,
// for capsule contacts against large meshes.
//
// Arguments are checked and copied out of their arrays with the interpreter
// lock held; building and querying run with it released. A mesh never
// changes after it is built, so any number of threads may query it at once.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bind/arrays.hpp"
#include "contact/mesh.hpp"
#include "parallel/workers.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zuli;
using namespace zuli::bind;

namespace {

// Capsules per thread below which a split costs more than it saves (a query
// takes about a microsecond, waking a worker some tens).
constexpr std::ptrdiff_t kMinCapsulesPerThread = 64;
// The last chunks' size (about 10 microseconds of queries): two threads
// over the bench's 1,000 capsules at G = 64 then finish a median 6 to 7
// microseconds apart (35 with 16 equal chunks a thread).
constexpr std::ptrdiff_t kLeastCapsulesPerChunk = 8;
// Hits reserved per capsule of a chunk, up to a total: a capsule resting on
// a surface touches a few triangles.
constexpr std::int64_t kReservedHitsPerCapsule = 8;
constexpr std::int64_t kMaxReservedHits = std::int64_t{1} << 20;
// Layout version of the pickled state.
constexpr int kStateVersion = 3;

PyObject* mesh_contacts;  // the named tuple type, kept for the process's life

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

// One radius for the capsule (see is_one_number()).
double radius_of(nb::handle obj, const char* fn) {
    const std::optional<double> r = if_one_number(obj, {fn, "radius"});
    if (!r) raise(PyExc_TypeError, std::string(fn) + "() argument 'radius' must be a number, not " + described(obj));
    return *r;
}

std::string vertex_text(Vec3 v) {
    char text[96];
    snprintf(text, sizeof text, "(%.17g, %.17g, %.17g)", v.x, v.y, v.z);
    return text;
}

TriangleMesh build(const TriangleSource& src, const char* fn, const char* vname, const char* fname) {
    // Refused before the triangles are read: a broadcast array can hold
    // that many at no cost, and checking them takes seconds.
    if (src.n > kMaxMeshTriangles)
        raise(PyExc_ValueError, std::string(fn) + "(): a mesh holds at most " + std::to_string(kMaxMeshTriangles) +
                                    " triangles");
    SourceCheck check;
    {
        nb::gil_scoped_release unlocked;
        check = check_source(src);
    }
    if (check.bad_face >= 0)
        raise(PyExc_IndexError, std::string(fn) + "() argument '" + fname + "': face " +
                                    std::to_string(check.bad_face) + " has vertex index " +
                                    std::to_string(check.bad_index) + ", outside the " +
                                    std::to_string(src.vertex_count) + " vertices");
    if (check.bad_vertex >= 0) {
        const std::string where = src.faces ? "vertex " + std::to_string(check.bad_vertex)
                                            : "triangle " + std::to_string(check.bad_vertex / 3) + ", vertex " +
                                                  std::to_string(check.bad_vertex % 3);
        raise(PyExc_ValueError, std::string(fn) + "() argument '" + vname + "': " + where + " is not finite " +
                                    vertex_text(src.vertex(check.bad_vertex)));
    }
    bool changed = false;
    TriangleMesh mesh;
    {
        nb::gil_scoped_release unlocked;
        mesh = TriangleMesh(src, &changed);
    }
    if (changed)
        raise(PyExc_RuntimeError, std::string(fn) + "(): the input changed while the mesh was built (a face index "
                                                   "left the vertices or a vertex stopped being finite)");
    return mesh;
}

void init_from_faces(TriangleMesh* self, nb::handle vertices, nb::handle faces) {
    const char* fn = "TriangleMesh";
    const InArray v = input(vertices, {fn, "vertices"}, Elem::Float64, {{-1, 3}, "(V, 3)"});
    const InArray f = input(faces, {fn, "faces"}, Elem::Index, {{-1, 3}, "(F, 3)"});
    const Strided vs = strided(v);
    const auto width = static_cast<std::ptrdiff_t>(f.itemsize());
    TriangleSource src{vs.base, vs.s[0], 0, vs.s[1]};
    src.faces = static_cast<const char*>(f.data());
    src.f0 = static_cast<std::ptrdiff_t>(f.stride(0)) * width;
    src.f1 = static_cast<std::ptrdiff_t>(f.stride(1)) * width;
    src.face_width = static_cast<int>(width);
    src.vertex_count = static_cast<std::int64_t>(v.shape(0));
    src.n = static_cast<std::int64_t>(f.shape(0));
    new (self) TriangleMesh(build(src, fn, "vertices", "faces"));
}

TriangleMesh from_triangles(nb::handle verts) {
    const char* fn = "TriangleMesh.from_triangles";
    const InArray t = input(verts, {fn, "verts"}, Elem::Float64, {{-1, 3, 3}, "(N, 3, 3)"});
    const Strided s = strided(t);
    TriangleSource src{s.base, s.s[0], s.s[1], s.s[2]};
    src.n = static_cast<std::int64_t>(t.shape(0));
    return build(src, fn, "verts", "verts");
}

// Writes `hits` at rows [at, at + hits.size()) of four result arrays, given
// by their first bytes: a caller's `out` may be unaligned (NumPy allows it),
// so every element is copied in.
void write_hits(const std::vector<MeshHit>& hits, std::int64_t at, void* triangle, void* points, void* normals,
                void* depths) {
    const auto row = [](void* base, std::int64_t i, std::size_t size) { return static_cast<char*>(base) + i * size; };
    for (const MeshHit& hit : hits) {
        std::memcpy(row(triangle, at, sizeof hit.triangle), &hit.triangle, sizeof hit.triangle);
        std::memcpy(row(points, at, sizeof(Vec3)), &hit.point, sizeof(Vec3));
        std::memcpy(row(normals, at, sizeof(Vec3)), &hit.normal, sizeof(Vec3));
        std::memcpy(row(depths, at, sizeof hit.depth), &hit.depth, sizeof hit.depth);
        ++at;
    }
}

// The four result arrays for `count` hits, filled run by run.
class ContactArrays {
public:
    explicit ContactArrays(std::int64_t count)
        : tri_(new_array({count}, Dtype::Int64)),
          pts_(new_array({count, 3}, Dtype::Float64)),
          nrm_(new_array({count, 3}, Dtype::Float64)),
          dep_(new_array({count}, Dtype::Float64)),
          t_(new_array_data(tri_)),
          p_(new_array_data(pts_)),
          n_(new_array_data(nrm_)),
          d_(new_array_data(dep_)) {}

    void put(std::int64_t at, const std::vector<MeshHit>& hits) { write_hits(hits, at, t_, p_, n_, d_); }

    nb::object named() const { return make_named(mesh_contacts, {tri_, pts_, nrm_, dep_}); }

private:
    nb::object tri_, pts_, nrm_, dep_;
    void *t_, *p_, *n_, *d_;
};

nb::object contacts(const std::vector<MeshHit>& hits) {
    ContactArrays arrays(static_cast<std::int64_t>(hits.size()));
    arrays.put(0, hits);
    return arrays.named();
}

nb::object capsule(const TriangleMesh& mesh, nb::handle cp0, nb::handle cp1, nb::handle radius, nb::handle out) {
    const char* fn = "TriangleMesh.capsule";
    const Vec3 c0 = input_vec3(cp0, fn, "cp0"), c1 = input_vec3(cp1, fn, "cp1");
    const double r = radius_of(radius, fn);
    // Small enough for the usual query to stay off the heap's slow paths.
    std::vector<MeshHit> hits;
    hits.reserve(16);
    {
        nb::gil_scoped_release unlocked;
        mesh.capsule(c0, c1, r, hits);
    }
    if (out.is_none()) return contacts(hits);

    if (!PyTuple_Check(out.ptr()) || PyTuple_GET_SIZE(out.ptr()) != 4)
        raise(PyExc_TypeError, std::string(fn) + "() argument 'out' must be a MeshContacts or a tuple of 4 arrays "
                                                 "(triangle, points, normals, depths), not " +
                                   nb::type_name(out.type()).c_str());
    nb::tuple o = nb::borrow<nb::tuple>(out);
    const OutArray t = output(o[0], {fn, "out.triangle"}, Elem::Int64, {{-1}, "(C,)"});
    const std::int64_t cap = static_cast<std::int64_t>(t.shape(0));
    const auto rows = [&] {
        return "(" + std::to_string(cap) + ", 3) with C = " + std::to_string(cap) + " from 'out.triangle'";
    };
    const OutArray p = output(o[1], {fn, "out.points"}, Elem::Float64, {{cap, 3}, rows});
    const OutArray n = output(o[2], {fn, "out.normals"}, Elem::Float64, {{cap, 3}, rows});
    const OutArray d = output(o[3], {fn, "out.depths"}, Elem::Float64,
                              {{cap}, [&] { return "(C,) with C = " + std::to_string(cap) + " from 'out.triangle'"; }});
    const Span spans[] = {span(t), span(p), span(n), span(d)};
    for (int i = 0; i < 4; ++i)
        for (int k = i + 1; k < 4; ++k)
            if (spans[i].intersects(spans[k]))
                raise(PyExc_ValueError, std::string(fn) + "() argument 'out': its arrays share memory");
    const auto h = static_cast<std::int64_t>(hits.size());
    if (h > cap)
        raise(PyExc_ValueError, std::string(fn) + "(): " + std::to_string(h) +
                                    (h == 1 ? " contact needs" : " contacts need") + " an 'out' of capacity " +
                                    std::to_string(h) + ", and it has " + std::to_string(cap) +
                                    "; nothing was written");
    write_hits(hits, 0, t.data(), p.data(), n.data(), d.data());
    return make_named(mesh_contacts, {leading(o[0], h), leading(o[1], h), leading(o[2], h), leading(o[3], h)});
}

nb::tuple capsules(const TriangleMesh& mesh, nb::handle cp0, nb::handle cp1, nb::handle radius, nb::handle threads) {
    const char* fn = "TriangleMesh.capsules";
    const int wanted = thread_count(fn, threads);
    const std::optional<double> one = if_one_number(radius, {fn, "radius"});  // before any array
    const double one_radius = one.value_or(0.0);
    const InArray a = input(cp0, {fn, "cp0"}, Elem::Float64, {{-1, 3}, "(M, 3)"});
    const std::int64_t m = static_cast<std::int64_t>(a.shape(0));
    const auto fixed = [&] { return " with M = " + std::to_string(m) + " from 'cp0'"; };
    const InArray b = input(cp1, {fn, "cp1"}, Elem::Float64, {{m, 3}, [&] { return "(M, 3)" + fixed(); }});
    InArray r;
    if (!one)
        r = input(radius, {fn, "radius"}, Elem::Float64, {{m}, [&] { return "(M,)" + fixed() + ", or one number"; }});
    const CapsuleRows rows = {
        strided(a), strided(b),
        r.is_valid() ? strided(r) : Strided{reinterpret_cast<const char*>(&one_radius), {0, 0, 0}}};

    const Plan split = plan(m, wanted, kMinCapsulesPerThread, kLeastCapsulesPerChunk);
    std::vector<std::vector<MeshHit>> found(static_cast<std::size_t>(split.chunks));
    // Written in place: the capsules' hit counts while the chunks run, then
    // the running offsets.
    nb::object off = new_array({m + 1}, Dtype::Int64);
    auto* offsets = static_cast<std::int64_t*>(new_array_data(off));
    offsets[0] = 0;
    {
        nb::gil_scoped_release unlocked;
        auto chunk = [&](int c) {
            const std::int64_t begin = split.begin(c), end = split.begin(c + 1);
            // A vector of the thread's own until the chunk is done: the
            // vectors in `found` sit side by side, and growing them in place
            // would have the threads writing one cache line all the time.
            // Reserved for a few hits per capsule, so that it seldom grows
            // (pages it does not reach are never touched).
            std::vector<MeshHit> hits;
            hits.reserve(static_cast<std::size_t>(std::min<std::int64_t>(kReservedHitsPerCapsule * (end - begin),
                                                                         kMaxReservedHits)));
            mesh.capsules(rows, begin, end, hits, offsets + begin + 1);
            found[static_cast<std::size_t>(c)] = std::move(hits);
        };
        parallel_for(split.chunks, split.threads, chunk);
    }
    std::int64_t total = 0;
    for (int c = 0; c < split.chunks; ++c) {
        const std::int64_t begin = split.begin(c), end = split.begin(c + 1);
        for (std::int64_t j = begin; j < end; ++j) offsets[j + 1] += total;
        total += static_cast<std::int64_t>(found[static_cast<std::size_t>(c)].size());
    }
    ContactArrays arrays(total);
    for (int c = 0; c < split.chunks; ++c) {
        const std::int64_t begin = split.begin(c);
        arrays.put(offsets[begin], found[static_cast<std::size_t>(c)]);
    }
    return nb::make_tuple(off, arrays.named());
}

nb::object overlap(const TriangleMesh& mesh, nb::handle lo, nb::handle hi) {
    const char* fn = "TriangleMesh.overlap";
    const Vec3 l = input_vec3(lo, fn, "lo"), h = input_vec3(hi, fn, "hi");
    std::vector<std::int64_t> found;
    {
        nb::gil_scoped_release unlocked;
        mesh.overlap(l, h, found);
    }
    nb::object out = new_array({static_cast<std::int64_t>(found.size())}, Dtype::Int64);
    if (!found.empty()) std::memcpy(new_array_data(out), found.data(), found.size() * sizeof(std::int64_t));
    return out;
}

nb::tuple bounds(const TriangleMesh& mesh) {
    Vec3 lo, hi;
    mesh.bounds(lo, hi);
    nb::object a = new_array({3}, Dtype::Float64), b = new_array({3}, Dtype::Float64);
    std::memcpy(new_array_data(a), &lo, sizeof lo);
    std::memcpy(new_array_data(b), &hi, sizeof hi);
    return nb::make_tuple(a, b);
}

// Pickling: the state is (version, triangles, face indices, nodes as bytes,
// checksum).
template <class T>
nb::bytes as_bytes(const Stored<T>& v) {
    return nb::bytes(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

template <class T>
Stored<T> from_bytes(nb::handle b) {
    if (!PyBytes_Check(b.ptr()) || PyBytes_GET_SIZE(b.ptr()) % sizeof(T) != 0)
        raise(PyExc_ValueError, "TriangleMesh state is corrupted: a field has the wrong type or size");
    Stored<T> v(static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr())) / sizeof(T));
    if (!v.empty()) std::memcpy(v.data(), PyBytes_AS_STRING(b.ptr()), v.size() * sizeof(T));
    return v;
}

TriangleMesh from_state(nb::handle state) {
    if (!PyTuple_Check(state.ptr()) || PyTuple_GET_SIZE(state.ptr()) != 5)
        raise(PyExc_ValueError, "TriangleMesh state is corrupted: expected a tuple of 5 fields");
    nb::tuple t = nb::borrow<nb::tuple>(state);
    if (!PyLong_CheckExact(t[0].ptr()) || PyLong_AsLong(t[0].ptr()) != kStateVersion)
        raise(PyExc_ValueError, "TriangleMesh state is corrupted or from another version");
    Stored<double> tris = from_bytes<double>(t[1]);
    Stored<std::uint32_t> ids = from_bytes<std::uint32_t>(t[2]);
    Stored<MeshNode> nodes = from_bytes<MeshNode>(t[3]);
    if (!PyLong_Check(t[4].ptr())) raise(PyExc_ValueError, "TriangleMesh state is corrupted: no checksum");
    const std::uint64_t checksum = PyLong_AsUnsignedLongLongMask(t[4].ptr());
    if (PyErr_Occurred()) throw nb::python_error();
    TriangleMesh mesh;
    bool ok;
    {
        nb::gil_scoped_release unlocked;
        ok = TriangleMesh::from_state(std::move(tris), std::move(ids), std::move(nodes), checksum, mesh);
    }
    if (!ok) raise(PyExc_ValueError, "TriangleMesh state is corrupted: its triangles, faces and nodes disagree");
    return mesh;
}

}  // namespace

// The attributes of an instance of a Python subclass (its __dict__), or
// nothing when it has none.
nb::object own_attributes(nb::handle self) {
    PyObject** dict = _PyObject_GetDictPtr(self.ptr());
    if (!dict || !*dict || PyDict_GET_SIZE(*dict) == 0) return {};
    return nb::borrow(*dict);
}

// A mesh never changes once built, so its copy is the mesh itself, as for a
// tuple (a real copy of a large mesh took half a second and its size again
// in memory). An instance of a subclass with attributes of its own gets a
// new mesh instead, with the attributes copied (deep: as copy.deepcopy
// copies them, with the memo), so that no copy shares them.
nb::object copy_of(nb::handle self, nb::handle memo, bool deep) {
    nb::object attrs = own_attributes(self);
    if (!attrs.is_valid()) return nb::borrow(self);
    nb::object copy = nb::module_::import_("copyreg").attr("__newobj__")(self.type());
    copy.attr("__setstate__")(self.attr("__getstate__")());
    if (deep && PyDict_Check(memo.ptr())) {
        nb::object key = nb::steal(PyLong_FromVoidPtr(self.ptr()));
        if (!key.is_valid() || PyDict_SetItem(memo.ptr(), key.ptr(), copy.ptr()) < 0) throw nb::python_error();
    }
    nb::module_ copying = nb::module_::import_("copy");
    copy.attr("__dict__").attr("update")(deep ? copying.attr("deepcopy")(attrs, memo) : copying.attr("copy")(attrs));
    return copy;
}

NB_MODULE(mesh, m) {
    m.doc() =
        "Capsule contacts against large static triangle meshes through a bounding-volume hierarchy.\n"
        "\n"
        "See TriangleMesh.";
    nb::object contacts_type = nb::module_::import_("collections")
                                   .attr("namedtuple")("MeshContacts",
                                                       nb::make_tuple("triangle", "points", "normals", "depths"),
                                                       "module"_a = "zuli_physics.mesh");
    contacts_type.attr("__doc__") =
        "Capsule contacts with H triangles: triangle (H,) int64 (the caller's face index, ascending),\n"
        "points (H, 3) float64 (on the triangle), normals (H, 3) float64 (from the triangle towards\n"
        "the capsule), depths (H,) float64.";
    m.attr("MeshContacts") = contacts_type;
    mesh_contacts = contacts_type.release().ptr();

    nb::class_<TriangleMesh>(
        m, "TriangleMesh", nb::is_weak_referenceable(),
        "A static triangle mesh indexed for capsule contacts and box overlaps.\n"
        "\n"
        "TriangleMesh(vertices, faces): vertices (V, 3) float64, faces (F, 3) int32 or int64 rows of\n"
        "vertex indices. TriangleMesh.from_triangles(verts): (N, 3, 3) float64, the layout\n"
        "capsule_triangles takes. Inputs are read in place (any strides, read-only is fine) and\n"
        "copied into the mesh's own storage: later changes to them do not affect it. A face index\n"
        "outside the vertices (IndexError) or a vertex that is not finite (ValueError) is refused,\n"
        "naming the first. Degenerate triangles are kept; they never hit.\n"
        "\n"
        "Which triangles a capsule query examines: those whose bounding box is not surely out of\n"
        "reach of the bounding box of the capsule's axis. Surely out of reach means that the gap\n"
        "between the two boxes (their largest separation along x, y or z), less a rounding margin of\n"
        "1e-12 times the largest coordinate magnitude of the triangle's box and the axis's end\n"
        "points, is positive and its square, times (1 - 1e-12), exceeds (|radius| + 1e-9) squared.\n"
        "Every examined triangle gets exactly the contact step of capsule_triangles, so each\n"
        "reported contact is bit for bit what capsule_triangles writes for that triangle. (That\n"
        "step can report a triangle far from the capsule when an end point lies far behind the\n"
        "triangle's plane and projects into it; such a triangle is out of reach and not examined.)\n"
        "\n"
        "Queries release the interpreter lock; a mesh never changes once built, so several threads\n"
        "may query one mesh at once; copy.copy and copy.deepcopy return the mesh itself. A mesh\n"
        "pickles with its hierarchy, which is checked, not rebuilt, when unpickled.")
        // Arguments take None too, so that the checks name the one that is
        // wrong (nanobind would list the signature instead).
        .def("__init__", &init_from_faces, "vertices"_a.none(), "faces"_a.none(),
             nb::sig("def __init__(self, vertices: numpy.typing.ArrayLike, faces: numpy.typing.ArrayLike) -> None"))
        .def_static("from_triangles", &from_triangles, "verts"_a.none(),
                    nb::sig("def from_triangles(verts: numpy.typing.ArrayLike) -> TriangleMesh"),
                    "A mesh of the N triangles of verts, (N, 3, 3) float64: triangle, vertex, axis.\n"
                    "Face indices are the triangles' rows.")
        .def_prop_ro("triangle_count", &TriangleMesh::triangle_count, "The number of triangles (faces).")
        .def_prop_ro("bounds", &bounds,
                     nb::sig("def bounds(self) -> tuple[numpy.ndarray, numpy.ndarray]"),
                     "(lo, hi): the bounds of every vertex, two (3,) float64 arrays; (inf, inf, inf)\n"
                     "and (-inf, -inf, -inf) for an empty mesh.")
        .def_prop_ro("nbytes", &TriangleMesh::nbytes,
                     "Bytes the mesh holds: 72 per triangle, 4 per face index and the hierarchy's nodes.")
        .def("overlap", &overlap, "lo"_a.none(), "hi"_a.none(),
             nb::sig("def overlap(self, lo: numpy.typing.ArrayLike, hi: numpy.typing.ArrayLike) -> numpy.ndarray"),
             "Face indices (int64, ascending) of the triangles whose bounding boxes overlap the box\n"
             "[lo, hi] (closed: touching counts). lo and hi are (3,) float64 arrays.")
        .def("capsule", &capsule, "cp0"_a.none(), "cp1"_a.none(), "radius"_a.none(), nb::kw_only(),
             "out"_a = nb::none(),
             nb::sig("def capsule(self, cp0: numpy.typing.ArrayLike, cp1: numpy.typing.ArrayLike, radius: float, "
                     "*, out: MeshContacts | tuple | None = None) -> MeshContacts"),
             "The contacts of the capsule cp0-cp1 ((3,) float64 each) of the given radius with the\n"
             "triangles it touches, as a MeshContacts in ascending face order: only the hits.\n"
             "\n"
             "out: caller-owned buffers of a capacity C, reused across frames: a MeshContacts or a\n"
             "4-tuple of writable, C-contiguous arrays (C,) int64, (C, 3), (C, 3), (C,) float64. The\n"
             "first H rows are written and views of them returned. More hits than C are never\n"
             "truncated: the call raises ValueError saying how many are needed, and writes nothing.")
        .def("capsules", &capsules, "cp0"_a.none(), "cp1"_a.none(), "radius"_a.none(), nb::kw_only(),
             "threads"_a.none() = 1,
             nb::sig("def capsules(self, cp0: numpy.typing.ArrayLike, cp1: numpy.typing.ArrayLike, "
                     "radius: numpy.typing.ArrayLike | float, *, threads: int = 1) "
                     "-> tuple[numpy.ndarray, MeshContacts]"),
             "M capsules at once: cp0, cp1 (M, 3) float64, radius (M,) float64 or one number. Returns\n"
             "(offsets, contacts): offsets (M + 1,) int64, and the hits of capsule j at\n"
             "offsets[j]:offsets[j + 1] of contacts, in ascending face order; the same as M calls of\n"
             "capsule(). threads: 1 runs on the calling thread, N > 1 splits the capsules over up to N\n"
             "threads, -1 means os.cpu_count(); results are identical for every count.")
        .def("__getstate__",
             [](const TriangleMesh& mesh) {
                 return nb::make_tuple(kStateVersion, as_bytes(mesh.triangles()), as_bytes(mesh.ids()),
                                       as_bytes(mesh.nodes()), nb::int_(mesh.checksum()));
             })
        .def(
            "__setstate__",
            [](TriangleMesh& self, nb::handle state) {
                // (state, attributes) only for an instance that has a
                // __dict__; the attributes go first, so that nothing can
                // fail once the mesh is built.
                nb::handle obj = nb::find(&self);
                PyObject* s = state.ptr();
                const bool with_attrs = _PyObject_GetDictPtr(obj.ptr()) && PyTuple_Check(s) &&
                                        PyTuple_GET_SIZE(s) == 2 && PyDict_Check(PyTuple_GET_ITEM(s, 1));
                if (with_attrs) obj.attr("__dict__").attr("update")(nb::handle(PyTuple_GET_ITEM(s, 1)));
                new (&self) TriangleMesh(from_state(with_attrs ? nb::handle(PyTuple_GET_ITEM(s, 0)) : state));
            },
            "state"_a.none())
        // What protocol 2 and later do by themselves (a new object, then
        // __setstate__), said outright so that protocols 0 and 1 can too.
        // An instance of a subclass with attributes of its own pickles them
        // too, as (state, attributes).
        .def("__reduce__",
             [](nb::handle self) {
                 nb::object state = self.attr("__getstate__")();
                 nb::object attrs = own_attributes(self);
                 return nb::make_tuple(nb::module_::import_("copyreg").attr("__newobj__"), nb::make_tuple(self.type()),
                                       attrs.is_valid() ? nb::make_tuple(state, attrs) : state);
             })
        .def("__copy__", [](nb::handle self) { return copy_of(self, nb::none(), false); })
        .def("__deepcopy__", [](nb::handle self, nb::handle memo) { return copy_of(self, memo, true); },
             "memo"_a.none())
        // sys.getsizeof counts the storage the mesh owns, as it does for a
        // NumPy array's data.
        .def("__sizeof__",
             [](nb::handle self) {
                 return static_cast<std::size_t>(Py_TYPE(self.ptr())->tp_basicsize) +
                        nb::cast<const TriangleMesh&>(self).nbytes();
             })
        .def("__repr__", [](const TriangleMesh& mesh) {
            const std::int64_t n = mesh.triangle_count();
            return "<zuli_physics.mesh.TriangleMesh of " + std::to_string(n) + (n == 1 ? " triangle>" : " triangles>");
        });
}
