#include "mesh.hpp"

#include <math.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "batch.hpp"
#include "reach.hpp"

namespace zuli {

std::int64_t TriangleSource::face_index(std::int64_t i, int k) const {
    return read_index(faces + i * f0 + k * f1, face_width);
}

Vec3 TriangleSource::vertex(std::int64_t row) const {
    // Without faces, row is triangle * 3 + corner.
    const char* at = faces ? verts + row * s0 : verts + (row / 3) * s0 + (row % 3) * s1;
    double c[3];
    for (int k = 0; k < 3; ++k) std::memcpy(&c[k], at + k * s2, sizeof(double));
    return {c[0], c[1], c[2]};
}

Vec3 TriangleSource::corner(std::int64_t i, int k, bool& outside) const {
    if (!faces) return vertex(i * 3 + k);
    const std::int64_t v = face_index(i, k);
    if (v >= 0 && v < vertex_count) return vertex(v);
    outside = true;
    return {0, 0, 0};
}

SourceCheck check_source(const TriangleSource& src) {
    SourceCheck check;
    if (src.faces) {
        for (std::int64_t i = 0; i < src.n && check.bad_face < 0; ++i)
            for (int k = 0; k < 3; ++k) {
                const std::int64_t v = src.face_index(i, k);
                if (v < 0 || v >= src.vertex_count) {
                    check = {i, k, v, -1};
                    break;
                }
            }
    }
    const std::int64_t rows = src.faces ? src.vertex_count : 3 * src.n;
    for (std::int64_t r = 0; r < rows; ++r) {
        const Vec3 v = src.vertex(r);
        if (!(isfinite(v.x) && isfinite(v.y) && isfinite(v.z))) {
            check.bad_vertex = r;
            break;
        }
    }
    return check;
}

namespace {

using bound::Bounds;
using bound::split;

// The 21 low bits of x spread to every third bit of 63.
std::uint64_t spread(std::uint64_t x) {
    x &= 0x1fffff;
    x = (x | x << 32) & 0x001f00000000ffffULL;
    x = (x | x << 16) & 0x001f0000ff0000ffULL;
    x = (x | x << 8) & 0x100f00f00f00f00fULL;
    x = (x | x << 4) & 0x10c30c30c30c30c3ULL;
    x = (x | x << 2) & 0x1249249249249249ULL;
    return x;
}

// A triangle's code and its index in the source.
struct Entry {
    std::uint64_t code;
    std::uint32_t index;
};

// Stable least-significant-digit radix sort of entries by their codes, 16
// bits a pass: ties keep their order.
void sort_by_code(Stored<Entry>& entries) {
    const std::size_t n = entries.size();
    Stored<Entry> other(n);
    std::vector<std::uint32_t> count(1 << 16);
    for (int shift = 0; shift < 64; shift += 16) {
        std::fill(count.begin(), count.end(), 0);
        for (const Entry& e : entries) ++count[(e.code >> shift) & 0xffff];
        std::uint32_t sum = 0;
        for (auto& c : count) {
            const std::uint32_t here = c;
            c = sum;
            sum += here;
        }
        for (const Entry& e : entries) other[count[(e.code >> shift) & 0xffff]++] = e;
        entries.swap(other);
    }
}

// Where a run of triangles [first, first + count) with ascending codes
// splits: where the highest bit in which its first and last codes differ
// turns on, so that each part lies in its own cell of the Morton grid and
// its bounds stay tight (a split at the middle of a run that straddles two
// cells gives a node bounding both, and whatever lies between). A run in one
// cell, or whose split would leave fewer than kMinLeaf triangles on a side,
// splits at its middle. Every split either halves the run or narrows its
// cell, so a path from the root has at most kMortonBits + 28 splits (and of
// the nodes made from them, at most that many levels).
constexpr std::uint32_t kMinLeaf = 2;
constexpr int kMortonBits = 63;
constexpr int kMaxTreeDepth = kMortonBits + 28;

std::uint32_t split_point(const std::uint64_t* codes, std::uint32_t first, std::uint32_t count) {
    const std::uint32_t middle = first + count / 2;
    const std::uint64_t a = codes[first], b = codes[first + count - 1];
    if (a == b) return middle;
    const std::uint64_t cell_bit = std::uint64_t{1} << (63 - __builtin_clzll(a ^ b));
    const std::uint64_t* at = std::lower_bound(codes + first, codes + first + count, b & ~(cell_bit - 1));
    const auto split = static_cast<std::uint32_t>(at - codes);
    return split - first >= kMinLeaf && first + count - split >= kMinLeaf ? split : middle;
}

// A node of the binary tree the mesh's nodes are made from: bounds as in
// MeshNode, and children packed as MeshNode's references (a leaf's run, or
// for an internal node the index of its second child; the first is the next
// node).
struct BinaryNode {
    float lo[3], hi[3];
    std::uint32_t packed;
    bool leaf() const { return is_leaf(packed); }
    std::uint32_t right() const { return node_index(packed); }
};

// The binary tree's shape for runs [first, first + count), depth first.
void add_nodes(const std::uint64_t* codes, std::uint32_t first, std::uint32_t count, Stored<BinaryNode>& nodes) {
    const std::size_t i = nodes.size();
    const bool leaf = count <= kLeafTriangles;
    nodes.push_back({{0, 0, 0}, {0, 0, 0}, leaf ? (first << 4 | count) : 0});
    if (!leaf) {
        const std::uint32_t split = split_point(codes, first, count);
        add_nodes(codes, first, split - first, nodes);
        nodes[i].packed = static_cast<std::uint32_t>(nodes.size()) << 4;
        add_nodes(codes, split, first + count - split, nodes);
    }
}

// The float at or below x, and at or above x.
float down(double x) {
    const float f = static_cast<float>(x);
    return static_cast<double>(f) > x ? nextafterf(f, -INFINITY) : f;
}
float up(double x) {
    const float f = static_cast<float>(x);
    return static_cast<double>(f) < x ? nextafterf(f, INFINITY) : f;
}

// The binary tree of these triangles, whose codes ascend: shape, then bounds
// from the leaves up (children come after their parent). Leaves hold at
// least kMinLeaf triangles (but in a mesh of one).
Stored<BinaryNode> binary_tree(const Stored<double>& tris, const Stored<std::uint64_t>& codes) {
    const auto n = static_cast<std::uint32_t>(tris.size() / 9);
    Stored<BinaryNode> nodes;
    nodes.reserve(n);
    add_nodes(codes.data(), 0, n, nodes);
    for (std::size_t i = nodes.size(); i-- > 0;) {
        BinaryNode& nd = nodes[i];
        if (nd.leaf()) {
            double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
            const std::uint32_t first = leaf_first(nd.packed);
            for (std::uint32_t t = first; t < first + leaf_count(nd.packed); ++t)
                for (int v = 0; v < 3; ++v)
                    for (int a = 0; a < 3; ++a) {
                        lo[a] = std::min(lo[a], tris[9 * t + 3 * v + a]);
                        hi[a] = std::max(hi[a], tris[9 * t + 3 * v + a]);
                    }
            for (int a = 0; a < 3; ++a) {
                nd.lo[a] = down(lo[a]);
                nd.hi[a] = up(hi[a]);
            }
        } else {
            const BinaryNode& left = nodes[i + 1];
            const BinaryNode& right = nodes[nd.right()];
            for (int a = 0; a < 3; ++a) {
                nd.lo[a] = std::min(left.lo[a], right.lo[a]);
                nd.hi[a] = std::max(left.hi[a], right.hi[a]);
            }
        }
    }
    return nodes;
}

// Binary nodes that become one node's children: a frontier of the binary
// subtree under some node, in the curve's order; and the nodes the subtree
// makes in all with that cut.
struct Cut {
    std::uint32_t kid[kChildren];
    std::uint32_t n;
    std::uint32_t made;
};

// The cut under internal binary node b that makes the fewest nodes in all,
// given how many each binary node below makes (`made`, 0 for a leaf). Cuts
// are tried from {left, right} by replacing members by their children, left
// to right; the first of the fewest wins. Filling nodes where the tree is
// widest (at the bottom, which holds most of them) spares nodes that a cut
// taking grandchildren everywhere would leave with two leaves each.
Cut fewest_nodes(const Stored<BinaryNode>& bin, const Stored<std::uint32_t>& made, std::uint32_t b) {
    const Cut children = {{b + 1, bin[b].right()}, 2, 0};
    Cut best = {{}, 0, std::numeric_limits<std::uint32_t>::max()};
    auto grow = [&](auto& self, const Cut& c, std::uint32_t from) -> void {
        std::uint32_t sum = 1;
        for (std::uint32_t k = 0; k < c.n; ++k) sum += made[c.kid[k]];
        if (sum < best.made) {
            best = c;
            best.made = sum;
        }
        if (c.n == kChildren) return;
        for (std::uint32_t k = from; k < c.n; ++k) {
            const std::uint32_t i = c.kid[k];
            if (bin[i].leaf()) continue;
            Cut wider;
            wider.n = c.n + 1;
            for (std::uint32_t j = 0; j < k; ++j) wider.kid[j] = c.kid[j];
            wider.kid[k] = i + 1;
            wider.kid[k + 1] = bin[i].right();
            for (std::uint32_t j = k + 1; j < c.n; ++j) wider.kid[j + 1] = c.kid[j];
            self(self, wider, k);
        }
    };
    grow(grow, children, 0);
    return best;
}

// How many nodes each binary node's subtree makes with its best cut, from
// the last node up (children come after their parent). Only the counts are
// kept, and collapse() finds each cut again: keeping the cuts costs more
// (fresh memory for six times as many bytes) than finding them twice.
Stored<std::uint32_t> fewest_made(const Stored<BinaryNode>& bin) {
    Stored<std::uint32_t> made(bin.size());
    for (std::size_t i = bin.size(); i-- > 0;)
        made[i] = bin[i].leaf() ? 0 : fewest_nodes(bin, made, static_cast<std::uint32_t>(i)).made;
    return made;
}

// The node made of binary node b, appended with the nodes beneath it.
std::uint32_t collapse(const Stored<BinaryNode>& bin, const Stored<std::uint32_t>& made, std::uint32_t b,
                       Stored<MeshNode>& nodes) {
    const Cut cut = bin[b].leaf() ? Cut{{b}, 1, 1} : fewest_nodes(bin, made, b);  // a mesh of one leaf
    const auto at = static_cast<std::uint32_t>(nodes.size());
    MeshNode node = {};
    for (std::uint32_t k = 0; k < kChildren; ++k)
        for (int a = 0; a < 3; ++a) {
            node.lo[a][k] = k < cut.n ? bin[cut.kid[k]].lo[a] : INFINITY;
            node.hi[a][k] = k < cut.n ? bin[cut.kid[k]].hi[a] : -INFINITY;
        }
    nodes.push_back(node);
    for (std::uint32_t k = 0; k < cut.n; ++k) {
        const BinaryNode& c = bin[cut.kid[k]];
        const std::uint32_t ref = c.leaf() ? c.packed : collapse(bin, made, cut.kid[k], nodes) << 4;
        nodes[at].child[k] = ref;
    }
    return at;
}

// The nodes of a mesh of these triangles, whose codes ascend. Every node has
// two to four children (but that of a mesh of one leaf), so there are fewer
// nodes than leaves, which hold two triangles or more.
Stored<MeshNode> make_nodes(const Stored<double>& tris, const Stored<std::uint64_t>& codes) {
    Stored<MeshNode> nodes;
    if (tris.empty()) return nodes;
    const Stored<BinaryNode> bin = binary_tree(tris, codes);
    const Stored<std::uint32_t> made = fewest_made(bin);
    nodes.reserve(bin[0].leaf() ? 1 : made[0]);
    collapse(bin, made, 0, nodes);
    nodes.shrink_to_fit();  // the mesh holds what it uses
    return nodes;
}

// The bounds of every child of a node, as doubles.
Bounds bounds_of(const MeshNode& nd) {
    float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (std::uint32_t k = 0; k < kChildren; ++k)
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], nd.lo[a][k]);
            hi[a] = std::max(hi[a], nd.hi[a][k]);
        }
    return {split({lo[0], lo[1], lo[2]}), split({hi[0], hi[1], hi[2]})};
}

// A box to test nodes' children against, in floats rounded outwards, each
// coordinate in four lanes: a child meets it when its bounds overlap it
// (closed), which takes six comparisons of four lanes for all four.
typedef float F4 __attribute__((vector_size(16)));
typedef int I4 __attribute__((vector_size(16)));
typedef unsigned U4 __attribute__((vector_size(16)));
struct NodeQuery {
    F4 lo[3], hi[3];
};

NodeQuery node_query(Vec3 lo, Vec3 hi) {
    const float l[3] = {down(lo.x), down(lo.y), down(lo.z)}, h[3] = {up(hi.x), up(hi.y), up(hi.z)};
    NodeQuery q;
    for (int a = 0; a < 3; ++a) {
        q.lo[a] = F4{l[a], l[a], l[a], l[a]};
        q.hi[a] = F4{h[a], h[a], h[a], h[a]};
    }
    return q;
}

// Bit k for child k that meets the query's box.
unsigned meeting(const MeshNode& nd, const NodeQuery& q) {
    F4 lo[3], hi[3];
    U4 child;
    std::memcpy(lo, nd.lo, sizeof lo);
    std::memcpy(hi, nd.hi, sizeof hi);
    std::memcpy(&child, nd.child, sizeof child);
    I4 in = (lo[0] <= q.hi[0]) & (hi[0] >= q.lo[0]);
    in &= (lo[1] <= q.hi[1]) & (hi[1] >= q.lo[1]);
    in &= (lo[2] <= q.hi[2]) & (hi[2] >= q.lo[2]);
    in &= child != 0;
    return static_cast<unsigned>((in[0] & 1) | (in[1] & 2) | (in[2] & 4) | (in[3] & 8));
}

Vec3 load(const double* p) { return {p[0], p[1], p[2]}; }

// Nodes of one level, and leaves, held for a capsule query.
constexpr int kMaxFrontier = 128;
// A depth-first walk's stack: a node's children replace it, so it holds at
// most three of each level's nodes and the one being visited.
constexpr int kStackDepth = 3 * kMaxTreeDepth + 1;

// Calls leaf(reference) for every leaf whose bounds and whose ancestors'
// meet q, depth first, in a mesh with nodes.
template <class Leaf>
void each_leaf_met(const Stored<MeshNode>& nodes, const NodeQuery& q, Leaf leaf) {
    std::uint32_t stack[kStackDepth];
    int depth = 0;
    stack[depth++] = 0;
    while (depth > 0) {
        const MeshNode& nd = nodes[stack[--depth]];
        for (unsigned m = meeting(nd, q); m != 0; m &= m - 1) {
            const std::uint32_t ref = nd.child[__builtin_ctz(m)];
            if (is_leaf(ref))
                leaf(ref);
            else
                stack[depth++] = node_index(ref);
        }
    }
}

// Capsules of a run whose queries walk the hierarchy together, in a mesh
// of at least kWalkTogetherBytes. A smaller one stays mostly in the
// processor's caches: there walking together gains nothing, and the
// triangles requested first are pushed out of the nearest cache by the
// others' before they are examined (measured: 6% slower for a mesh of
// 0.75 MB, 2% faster for 12 MB, 12% faster for 97 MB).
constexpr int kQueriesAtOnce = 16;
constexpr std::size_t kWalkTogetherBytes = std::size_t{8} << 20;

// Morton codes of the centroids of n triangles (corner(i, k) is vertex k of
// triangle i), 21 bits per axis on one scale for all three, so that the
// curve follows distance (a terrain is flat: its own scale per axis would
// order it by height first). The same triangles give the same codes in any
// order: a stored mesh's codes are recomputed from its triangles.
template <class Corner>
Stored<std::uint64_t> morton_codes(std::size_t n, Corner corner) {
    auto centroid = [&](std::size_t i, double c[3]) {
        const Vec3 v0 = corner(i, 0), v1 = corner(i, 1), v2 = corner(i, 2);
        c[0] = (v0.x + v1.x) + v2.x;  // three times the centroid
        c[1] = (v0.y + v1.y) + v2.y;
        c[2] = (v0.z + v1.z) + v2.z;
    };
    double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (std::size_t i = 0; i < n; ++i) {
        double c[3];
        centroid(i, c);
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], c[a]);
            hi[a] = std::max(hi[a], c[a]);
        }
    }
    const double steps = 2097151.0;
    const double size = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]});
    const double scale = size > 0 ? steps / size : 0.0;
    Stored<std::uint64_t> codes(n);
    for (std::size_t i = 0; i < n; ++i) {
        double c[3];
        centroid(i, c);
        std::uint64_t code = 0;
        for (int a = 0; a < 3; ++a) {
            // A centroid sum that overflowed makes t NaN: cell 0 for it
            // (converting NaN to an integer is undefined).
            const double t = (c[a] - lo[a]) * scale;
            code |= spread(static_cast<std::uint64_t>(t >= 0.0 ? std::min(t, steps) : 0.0)) << (2 - a);
        }
        codes[i] = code;
    }
    return codes;
}

Stored<std::uint64_t> morton_codes(const Stored<double>& tris) {
    return morton_codes(tris.size() / 9, [&](std::size_t i, int k) { return load(&tris[9 * i + 3 * k]); });
}

}  // namespace

TriangleMesh::TriangleMesh(const TriangleSource& src, bool* source_changed) {
    // The source is read three times (centroid bounds, codes, the copy in
    // the mesh's order) rather than copied once more: fresh memory costs far
    // more to touch the first time than the source does to read again.
    // Triangles sharing a cell keep their order.
    const auto n = static_cast<std::size_t>(src.n);
    bool changed = false;
    Stored<std::uint64_t> codes =
        morton_codes(n, [&](std::size_t i, int k) { return src.corner(static_cast<std::int64_t>(i), k, changed); });
    Stored<Entry> entries(n);
    for (std::size_t i = 0; i < n; ++i) entries[i] = {codes[i], static_cast<std::uint32_t>(i)};
    sort_by_code(entries);

    tris_.resize(9 * n);
    ids_.resize(n);
    for (std::size_t j = 0; j < n; ++j) {
        const std::uint32_t i = entries[j].index;
        for (int k = 0; k < 3; ++k) {
            const Vec3 v = src.corner(i, k, changed);
            changed = changed || !(isfinite(v.x) && isfinite(v.y) && isfinite(v.z));
            std::memcpy(&tris_[9 * j + 3 * k], &v, sizeof v);
        }
        ids_[j] = i;
        codes[j] = entries[j].code;
    }
    nodes_ = make_nodes(tris_, codes);
    if (source_changed) *source_changed = changed;
}

void TriangleMesh::bounds(Vec3& lo, Vec3& hi) const {
    if (nodes_.empty()) {
        lo = {INFINITY, INFINITY, INFINITY};
        hi = {-INFINITY, -INFINITY, -INFINITY};
        return;
    }
    // The root's float bounds are looser; the vertices give the exact ones.
    lo = {INFINITY, INFINITY, INFINITY};
    hi = {-INFINITY, -INFINITY, -INFINITY};
    for (std::size_t i = 0; i < tris_.size(); i += 3) {
        lo = {std::min(lo.x, tris_[i]), std::min(lo.y, tris_[i + 1]), std::min(lo.z, tris_[i + 2])};
        hi = {std::max(hi.x, tris_[i]), std::max(hi.y, tris_[i + 1]), std::max(hi.z, tris_[i + 2])};
    }
}

std::size_t TriangleMesh::nbytes() const {
    return tris_.size() * sizeof(double) + ids_.size() * sizeof(std::uint32_t) + nodes_.size() * sizeof(MeshNode);
}

void TriangleMesh::overlap(Vec3 lo, Vec3 hi, std::vector<std::int64_t>& out) const {
    if (nodes_.empty()) return;
    const double qlo[3] = {lo.x, lo.y, lo.z}, qhi[3] = {hi.x, hi.y, hi.z};
    const NodeQuery q = node_query(lo, hi);
    const std::size_t start = out.size();
    each_leaf_met(nodes_, q, [&](std::uint32_t leaf) {
        for (std::uint32_t t = leaf_first(leaf); t < leaf_first(leaf) + leaf_count(leaf); ++t) {
            const double* v = &tris_[9 * t];
            bool in = true;
            for (int a = 0; a < 3; ++a)
                in = in && std::min(std::min(v[a], v[3 + a]), v[6 + a]) <= qhi[a] &&
                     std::max(std::max(v[a], v[3 + a]), v[6 + a]) >= qlo[a];
            if (in) out.push_back(ids_[t]);
        }
    });
    std::sort(out.begin() + static_cast<std::ptrdiff_t>(start), out.end());
}

// A capsule query under way. Its nodes are walked level by level, so that
// every node in reach at one level has its children requested from memory
// before any of them is needed, and the leaves in reach have their
// triangles requested as they are found: queries in random order spend most
// of their time waiting for memory, and waits in parallel cost little more
// than one. A level or a set of leaves wider than the scratch (a capsule
// reaching much of the mesh) leaves the walk incomplete; such a query is
// walked again depth first.
struct TriangleMesh::Query {
    Capsule cap;
    NodeQuery nodes;
    std::uint32_t level[2][kMaxFrontier];
    int cur, width;  // the nodes to visit next: level[cur][0, width)
    bool complete;
    int leaves;
    std::uint32_t leaf[kMaxFrontier];  // references
};

[[gnu::always_inline]] inline void TriangleMesh::start(Vec3 c0, Vec3 c1, double radius, Query& query) const {
    query.cap = make_capsule(c0, c1, radius);
    query.cur = 0;
    query.width = 0;
    query.complete = true;
    query.leaves = 0;
    if (nodes_.empty()) return;
    // Nodes meet the axis's bounds grown by the most a triangle in reach can
    // be away (the root's magnitude bounds every triangle's); a NaN anywhere
    // makes every node meet.
    const Capsule& cap = query.cap;
    const double size = bound::magnitude(bounds_of(nodes_[0]));
    const double grow = bound::reach_growth(bound::capsule_reach(radius), size, cap.extent);
    const Vec3 qlo = sub(cap.lo, {grow, grow, grow}), qhi = add(cap.hi, {grow, grow, grow});
    const bool any_nan = isnan(qlo.x) || isnan(qlo.y) || isnan(qlo.z) || isnan(qhi.x) || isnan(qhi.y) || isnan(qhi.z);
    query.nodes = any_nan ? node_query({-INFINITY, -INFINITY, -INFINITY}, {INFINITY, INFINITY, INFINITY})
                          : node_query(qlo, qhi);
    query.level[0][0] = 0;
    query.width = 1;
}

[[gnu::always_inline]] inline void TriangleMesh::request_triangles(std::uint32_t leaf) const {
    const char* first = reinterpret_cast<const char*>(&tris_[9 * leaf_first(leaf)]);
    for (std::uint32_t b = 0; b < 9 * sizeof(double) * leaf_count(leaf); b += 64) __builtin_prefetch(first + b);
    // And its face indices, which its hits read.
    __builtin_prefetch(&ids_[leaf_first(leaf)]);
}

[[gnu::always_inline]] inline void TriangleMesh::next_level(Query& query) const {
    // Counts in locals: the stores into the index arrays could otherwise
    // alias them.
    const std::uint32_t* cur = query.level[query.cur];
    std::uint32_t* next = query.level[1 - query.cur];
    const NodeQuery q = query.nodes;
    int width = 0, leaves = query.leaves;
    for (int k = 0; k < query.width; ++k) {
        const MeshNode& nd = nodes_[cur[k]];
        for (unsigned m = meeting(nd, q); m != 0; m &= m - 1) {
            const std::uint32_t ref = nd.child[__builtin_ctz(m)];
            if (is_leaf(ref) ? leaves == kMaxFrontier : width == kMaxFrontier) {
                query.complete = false;
                query.width = 0;
                return;
            }
            if (is_leaf(ref)) {
                request_triangles(ref);
                query.leaf[leaves++] = ref;
            } else {
                const char* node = reinterpret_cast<const char*>(&nodes_[node_index(ref)]);
                __builtin_prefetch(node);
                __builtin_prefetch(node + 64);
                next[width++] = node_index(ref);
            }
        }
    }
    query.cur = 1 - query.cur;
    query.width = width;
    query.leaves = leaves;
}

[[gnu::always_inline]] inline void TriangleMesh::examine(const Capsule& cap, std::uint32_t leaf,
                                                         std::vector<MeshHit>& out) const {
    const std::uint32_t first = leaf_first(leaf);
    int which[kLeafTriangles];
    TriangleContact found[kLeafTriangles];
    const int hits = capsule_triangle_run(cap, &tris_[9 * first], static_cast<int>(leaf_count(leaf)), which, found);
    for (int k = 0; k < hits; ++k)
        out.push_back({ids_[first + static_cast<std::uint32_t>(which[k])], found[k].point, found[k].normal,
                       found[k].depth});
}

[[gnu::always_inline]] inline void TriangleMesh::finish(Query& query, std::vector<MeshHit>& out) const {
    const std::size_t start = out.size();
    if (query.complete) {
        for (int k = 0; k < query.leaves; ++k) examine(query.cap, query.leaf[k], out);
    } else {
        // Depth first; the leaves' triangles are requested a scratch full
        // ahead.
        int gathered = 0;
        each_leaf_met(nodes_, query.nodes, [&](std::uint32_t leaf) {
            if (gathered == kMaxFrontier) {
                for (int k = 0; k < gathered; ++k) examine(query.cap, query.leaf[k], out);
                gathered = 0;
            }
            request_triangles(leaf);
            query.leaf[gathered++] = leaf;
        });
        for (int k = 0; k < gathered; ++k) examine(query.cap, query.leaf[k], out);
    }
    // Into ascending face order (a capsule lying across much of a mesh has
    // tens of thousands of hits: the sort must stay n log n).
    std::sort(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(),
              [](const MeshHit& a, const MeshHit& b) { return a.triangle < b.triangle; });
}

void TriangleMesh::capsule(Vec3 c0, Vec3 c1, double radius, std::vector<MeshHit>& out) const {
    Query query;
    start(c0, c1, radius, query);
    while (query.width > 0) next_level(query);
    finish(query, out);
}

void TriangleMesh::capsules(const CapsuleRows& rows, std::int64_t begin, std::int64_t end, std::vector<MeshHit>& out,
                            std::int64_t* ends) const {
    if (nbytes() < kWalkTogetherBytes) {
        for (std::int64_t j = begin; j < end; ++j) {
            capsule(rows.c0.vec3(j), rows.c1.vec3(j), rows.radius.at(j), out);
            ends[j - begin] = static_cast<std::int64_t>(out.size());
        }
        return;
    }
    // Queries walk their levels in turn, so that memory delivers one
    // query's nodes and triangles while the others' are tested.
    Query queries[kQueriesAtOnce];
    for (std::int64_t j = begin; j < end; j += kQueriesAtOnce) {
        const int n = static_cast<int>(std::min<std::int64_t>(kQueriesAtOnce, end - j));
        for (int k = 0; k < n; ++k) start(rows.c0.vec3(j + k), rows.c1.vec3(j + k), rows.radius.at(j + k), queries[k]);
        for (bool walking = true; walking;) {
            walking = false;
            for (int k = 0; k < n; ++k) {
                if (queries[k].width == 0) continue;
                next_level(queries[k]);
                walking = true;
            }
        }
        for (int k = 0; k < n; ++k) {
            finish(queries[k], out);
            ends[j + k - begin] = static_cast<std::int64_t>(out.size());
        }
    }
}

namespace {

// A 64-bit hash of some bytes, eight at a time (multiply and shift): not
// cryptographic, only a check against accidental damage.
std::uint64_t mix(std::uint64_t h, const void* data, std::size_t bytes) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < bytes; i += 8) {
        std::uint64_t w = 0;
        std::memcpy(&w, p + i, std::min<std::size_t>(8, bytes - i));
        h = (h ^ w) * 0x9e3779b97f4a7c15ULL;
        h ^= h >> 29;
    }
    return (h ^ bytes) * 0xbf58476d1ce4e5b9ULL;
}

}  // namespace

std::uint64_t state_checksum(const Stored<double>& tris, const Stored<std::uint32_t>& ids,
                             const Stored<MeshNode>& nodes) {
    std::uint64_t h = 0x5a554c49;  // "ZULI"
    h = mix(h, tris.data(), tris.size() * sizeof(double));
    h = mix(h, ids.data(), ids.size() * sizeof(std::uint32_t));
    return mix(h, nodes.data(), nodes.size() * sizeof(MeshNode));
}

std::uint64_t TriangleMesh::checksum() const { return state_checksum(tris_, ids_, nodes_); }

bool TriangleMesh::from_state(Stored<double> tris, Stored<std::uint32_t> ids, Stored<MeshNode> nodes,
                              std::uint64_t checksum, TriangleMesh& mesh) {
    if (state_checksum(tris, ids, nodes) != checksum) return false;
    const std::size_t n = ids.size();
    if (tris.size() != 9 * n || static_cast<std::int64_t>(n) > kMaxMeshTriangles) return false;
    std::vector<bool> seen(n);
    for (std::uint32_t id : ids) {
        if (id >= n || seen[id]) return false;
        seen[id] = true;
    }
    for (double x : tris)
        if (!isfinite(x)) return false;
    // The mesh's order ascends in code; the tree's depth bound rests on it.
    const Stored<std::uint64_t> codes = morton_codes(tris);
    if (!std::is_sorted(codes.begin(), codes.end())) return false;
    const Stored<MeshNode> expected = make_nodes(tris, codes);
    if (nodes.size() != expected.size() ||
        (n && std::memcmp(nodes.data(), expected.data(), nodes.size() * sizeof(MeshNode)) != 0))
        return false;
    mesh.tris_ = std::move(tris);
    mesh.ids_ = std::move(ids);
    mesh.nodes_ = std::move(nodes);
    return true;
}

}  // namespace zuli
