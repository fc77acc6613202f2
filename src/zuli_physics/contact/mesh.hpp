// A static triangle mesh indexed by a bounding-volume hierarchy, for capsule
// contacts and box overlaps against many triangles.
//
// The mesh owns a copy of its triangles, reordered along a Morton curve of
// their centroids so that each node of the hierarchy covers a contiguous run
// of them. A run of more than kLeafTriangles splits in two where the curve
// crosses from one cell of its grid into the next (so a node's bounds stay
// tight), and each node of that binary tree takes its children's children
// in place of its children until it has four, so the shape follows from
// the triangles alone. Nodes are stored depth first.
//
// A capsule query examines exactly the triangles whose bounds are not surely
// out of reach of the bounds of the capsule's axis (reach.hpp); for those it
// runs the per-triangle contact step, so each reported contact is, bit for
// bit, what capsule_triangles gives for that triangle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "batch.hpp"
#include "capsule.hpp"
#include "storage.hpp"

namespace zuli {

// A node has up to four children: their bounds, floats rounded outwards so
// that they contain every vertex beneath exactly, one lane per child and
// axis (the four children are tested at once), and a reference to each. A
// reference packs a leaf, the run of triangles [first, first + count) of
// the mesh's order, as first * 16 + count (count 1 to kLeafTriangles), and
// another node as its index * 16; 0 is no child (the root is nobody's), with
// empty bounds (lo = +inf, hi = -inf). Four children rather than two halve
// the levels a query walks, each a wait for memory on a large mesh.
struct MeshNode {
    float lo[3][4], hi[3][4];  // [axis][child]
    std::uint32_t child[4];
    std::uint32_t unused[4];  // zero: a node fills two cache lines
};
static_assert(sizeof(MeshNode) == 128, "a node takes two cache lines");

inline constexpr std::uint32_t kChildren = 4;
inline bool is_leaf(std::uint32_t ref) { return (ref & 15) != 0; }
inline std::uint32_t leaf_first(std::uint32_t ref) { return ref >> 4; }
inline std::uint32_t leaf_count(std::uint32_t ref) { return ref & 15; }
inline std::uint32_t node_index(std::uint32_t ref) { return ref >> 4; }

// Runs of at most this many triangles are leaves: fewer nodes to test against
// a few more triangles (each rejected by its bounds first).
inline constexpr std::uint32_t kLeafTriangles = 4;

// Where a mesh's triangles come from: vertex k of triangle i at
// verts + i * s0 + k * s1 (+ axis * s2), either directly (faces == nullptr)
// or through face rows of 4- or 8-byte integers.
struct TriangleSource {
    const char* verts;
    std::ptrdiff_t s0, s1, s2;
    const char* faces = nullptr;
    std::ptrdiff_t f0 = 0, f1 = 0;
    int face_width = 0;
    std::int64_t vertex_count = 0;  // with faces: rows of verts
    std::int64_t n = 0;             // triangles

    std::int64_t face_index(std::int64_t i, int k) const;
    Vec3 vertex(std::int64_t row) const;
    // Vertex k of triangle i. Its index is read once and checked: one outside
    // the vertices (only if the faces changed after check_source() passed
    // them) reads as the origin and sets `outside`.
    Vec3 corner(std::int64_t i, int k, bool& outside) const;
};

// The first face with a vertex index outside the vertices, and the first
// vertex (row, or triangle * 3 + corner without faces) with a coordinate that
// is not finite; -1 when there is none. Only vertices that faces use count.
struct SourceCheck {
    std::int64_t bad_face = -1, bad_corner = 0, bad_index = 0;
    std::int64_t bad_vertex = -1;
};
SourceCheck check_source(const TriangleSource& src);

// Capsules as rows: end points (M, 3) and radii (M,) (stride 0: one radius
// for every row).
struct CapsuleRows {
    Strided c0, c1, radius;
};

struct MeshHit {
    std::int64_t triangle;  // the caller's face index
    Vec3 point, normal;
    double depth;
};

class TriangleMesh {
public:
    TriangleMesh() = default;
    // From a source that passed check_source. The caller's arrays may change
    // while they are read (another thread or process may write them while
    // the interpreter lock is released): no vertex outside them is read
    // even then, and `source_changed`, when given, tells whether the mesh
    // got what check_source would have refused (a face index outside the
    // vertices, read as the origin, or a vertex that is not finite).
    explicit TriangleMesh(const TriangleSource& src, bool* source_changed = nullptr);

    std::int64_t triangle_count() const { return static_cast<std::int64_t>(ids_.size()); }
    // Bounds of every vertex; lo = +inf and hi = -inf for an empty mesh.
    void bounds(Vec3& lo, Vec3& hi) const;
    // Bytes held: triangles, face indices and nodes.
    std::size_t nbytes() const;

    // Face indices of the triangles whose bounds overlap [lo, hi] (closed),
    // ascending, appended to `out`.
    void overlap(Vec3 lo, Vec3 hi, std::vector<std::int64_t>& out) const;
    // Contacts of the examined triangles that hit, in ascending face order,
    // appended to `out`.
    void capsule(Vec3 c0, Vec3 c1, double radius, std::vector<MeshHit>& out) const;
    // capsule() for rows [begin, end), appending to `out` in row order;
    // ends[j - begin] is out.size() once row j is done.
    void capsules(const CapsuleRows& rows, std::int64_t begin, std::int64_t end, std::vector<MeshHit>& out,
                  std::int64_t* ends) const;

    // The stored form: triangles (9 doubles each, in the mesh's order), face
    // indices, nodes and a checksum of the three. from_state checks that
    // they describe a mesh this class would hold (the checksum, sizes, a
    // permutation of face indices, finite vertices in curve order, the
    // tree's shape and every node's bounds) and returns false otherwise, leaving `mesh`
    // untouched. The checksum catches damage that would still describe some
    // valid mesh (a changed vertex inside its leaf's bounds).
    const Stored<double>& triangles() const { return tris_; }
    const Stored<std::uint32_t>& ids() const { return ids_; }
    const Stored<MeshNode>& nodes() const { return nodes_; }
    std::uint64_t checksum() const;
    static bool from_state(Stored<double> tris, Stored<std::uint32_t> ids, Stored<MeshNode> nodes,
                           std::uint64_t checksum, TriangleMesh& mesh);

private:
    struct Query;  // a capsule query under way (mesh.cpp)
    void start(Vec3 c0, Vec3 c1, double radius, Query& query) const;
    // Visits the query's next level of nodes.
    void next_level(Query& query) const;
    // Appends the contacts of a query whose walk is over, in ascending face
    // order.
    void finish(Query& query, std::vector<MeshHit>& out) const;
    void request_triangles(std::uint32_t leaf) const;
    void examine(const Capsule& cap, std::uint32_t leaf, std::vector<MeshHit>& out) const;

    Stored<double> tris_;
    Stored<std::uint32_t> ids_;
    Stored<MeshNode> nodes_;
};

// The checksum of a stored form, as TriangleMesh::checksum() gives it.
std::uint64_t state_checksum(const Stored<double>& tris, const Stored<std::uint32_t>& ids,
                             const Stored<MeshNode>& nodes);

// The largest triangle count a mesh holds (a leaf's first triangle and a
// node's index have 28 bits).
inline constexpr std::int64_t kMaxMeshTriangles = (1LL << 28) - 1;

}  // namespace zuli
