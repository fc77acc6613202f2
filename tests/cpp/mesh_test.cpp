#include "contact/mesh.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "contact/reach.hpp"
#include "test_util.hpp"

namespace zuli {
namespace {

using test::same_bits;
using test::SameVec;

// A height-field patch of 2 * g * g triangles, 0.5 apart, as (N, 3, 3) rows.
std::vector<double> terrain(int g) {
    std::vector<double> t;
    auto h = [](double x, double y) { return 0.5 * std::sin(0.3 * x) * std::cos(0.2 * y); };
    for (int i = 0; i < g; ++i)
        for (int j = 0; j < g; ++j) {
            const double x0 = 0.5 * i, y0 = 0.5 * j, x1 = x0 + 0.5, y1 = y0 + 0.5;
            const double quad[2][9] = {{x0, y0, h(x0, y0), x1, y0, h(x1, y0), x1, y1, h(x1, y1)},
                                       {x0, y0, h(x0, y0), x1, y1, h(x1, y1), x0, y1, h(x0, y1)}};
            for (const auto& tri : quad) t.insert(t.end(), tri, tri + 9);
        }
    return t;
}

TriangleSource source(const std::vector<double>& t) {
    TriangleSource s{reinterpret_cast<const char*>(t.data()), 72, 24, 8};
    s.n = static_cast<std::int64_t>(t.size() / 9);
    return s;
}

Vec3 corner_of(const std::vector<double>& t, std::size_t i, int k) { return {t[9 * i + 3 * k], t[9 * i + 3 * k + 1], t[9 * i + 3 * k + 2]}; }

// The triangles a query examines, by the documented test, on each triangle.
bool examined(const Capsule& cap, Vec3 a, Vec3 b, Vec3 c) {
    const bound::Bounds axis = {bound::split(cap.lo), bound::split(cap.hi)};
    const bound::Bounds tri = bound::bounds_of(bound::split(a), bound::split(b), bound::split(c));
    const double reach = bound::capsule_reach(cap.radius);
    return !bound::prefilter(tri, cap.extent).beyond(bound::gap(axis, tri), reach * reach);
}

// Checks one query against the step run on every examined triangle; returns
// the number of hits.
std::size_t expect_step_on_examined(const TriangleMesh& mesh, const std::vector<double>& t, Vec3 c0, Vec3 c1,
                                    double radius) {
    std::vector<MeshHit> got;
    mesh.capsule(c0, c1, radius, got);
    const Capsule cap = make_capsule(c0, c1, radius);
    std::vector<MeshHit> want;
    for (std::size_t i = 0; i < t.size() / 9; ++i) {
        if (!examined(cap, corner_of(t, i, 0), corner_of(t, i, 1), corner_of(t, i, 2))) continue;
        const TriangleContact c =
            capsule_triangle_contact(cap, corner_of(t, i, 0), corner_of(t, i, 1), corner_of(t, i, 2));
        if (c.hit) want.push_back({static_cast<std::int64_t>(i), c.point, c.normal, c.depth});
    }
    EXPECT_EQ(got.size(), want.size());
    for (std::size_t k = 0; k < std::min(got.size(), want.size()); ++k) {
        EXPECT_EQ(got[k].triangle, want[k].triangle);
        EXPECT_TRUE(SameVec(got[k].point, want[k].point));
        EXPECT_TRUE(SameVec(got[k].normal, want[k].normal));
        EXPECT_TRUE(same_bits(got[k].depth, want[k].depth));
    }
    return got.size();
}

TEST(Mesh, CapsuleMatchesTheStepOnEveryExaminedTriangle) {
    const std::vector<double> t = terrain(24);
    const TriangleMesh mesh(source(t));
    ASSERT_EQ(mesh.triangle_count(), 2 * 24 * 24);
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(0.0, 12.0), z(-0.6, 0.8), d(-1.0, 1.0);
    std::size_t hits = 0;
    for (int q = 0; q < 300; ++q) {
        const Vec3 c0 = {u(rng), u(rng), z(rng)};
        const Vec3 c1 = q % 7 == 0 ? c0 : add(c0, mul({d(rng), d(rng), d(rng)}, 1.0 + (q % 3)));
        const double radius = q % 11 == 0 ? 0.0 : 0.05 + 0.4 * std::fabs(d(rng));
        SCOPED_TRACE(q);
        hits += expect_step_on_examined(mesh, t, c0, c1, radius);
    }
    EXPECT_GT(hits, 100u);
}

// Capsules reaching hundreds of triangles: more leaves than a level-by-level
// walk holds (walked again depth first), and hundreds of hits to put in
// face order.
TEST(Mesh, WideCapsulesMatchTheStep) {
    const std::vector<double> t = terrain(24);
    const TriangleMesh mesh(source(t));
    for (double radius : {2.0, 4.0, 9.0}) {
        SCOPED_TRACE(radius);
        EXPECT_GT(expect_step_on_examined(mesh, t, {6, 6, 0}, {7, 5, 0.5}, radius), 100u);
    }
}

// A run of capsules gives what one query at a time gives, in a mesh large
// enough that their queries walk it together, and in a small one.
TEST(Mesh, CapsuleRowsEqualSingleQueries) {
    for (int g : {24, 240}) {
        const std::vector<double> t = terrain(g);
        const TriangleMesh mesh(source(t));
        std::mt19937_64 rng(g);
        std::uniform_real_distribution<double> u(0.0, 0.5 * g), z(-0.6, 0.8), d(-1.0, 1.0);
        std::vector<double> rows;
        for (int q = 0; q < 203; ++q) {
            const Vec3 c0 = {u(rng), u(rng), z(rng)};
            const Vec3 c1 = add(c0, {d(rng), d(rng), d(rng)});
            const double radius = q % 50 == 7 ? 6.0 : q % 50 == 8 ? NAN : 0.3;
            rows.insert(rows.end(), {c0.x, c0.y, c0.z, c1.x, c1.y, c1.z, radius});
        }
        const std::int64_t m = static_cast<std::int64_t>(rows.size() / 7);
        const auto at = [&](int k) { return Strided{reinterpret_cast<const char*>(&rows[k]), {56, 8, 0}}; };
        std::vector<MeshHit> got;
        std::vector<std::int64_t> ends(static_cast<std::size_t>(m));
        mesh.capsules({at(0), at(3), at(6)}, 0, m, got, ends.data());
        std::size_t from = 0;
        for (std::int64_t j = 0; j < m; ++j) {
            const double* r = &rows[7 * static_cast<std::size_t>(j)];
            std::vector<MeshHit> want;
            mesh.capsule({r[0], r[1], r[2]}, {r[3], r[4], r[5]}, r[6], want);
            ASSERT_EQ(static_cast<std::size_t>(ends[static_cast<std::size_t>(j)]) - from, want.size()) << g << " " << j;
            for (const MeshHit& w : want) {
                const MeshHit& h = got[from++];
                EXPECT_EQ(h.triangle, w.triangle);
                EXPECT_TRUE(SameVec(h.point, w.point) && SameVec(h.normal, w.normal) && same_bits(h.depth, w.depth));
            }
        }
        EXPECT_EQ(from, got.size());
        if (g == 240) {
            EXPECT_GE(mesh.nbytes(), std::size_t{8} << 20);
        }
    }
}

TEST(Mesh, OverlapMatchesBruteForce) {
    const std::vector<double> t = terrain(16);
    const TriangleMesh mesh(source(t));
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(-1.0, 9.0), s(0.0, 2.0);
    for (int q = 0; q < 200; ++q) {
        const Vec3 lo = {u(rng), u(rng), -0.3}, hi = add(lo, {s(rng), s(rng), q % 2 ? 0.0 : 1.0});
        std::vector<std::int64_t> got, want;
        mesh.overlap(lo, hi, got);
        for (std::size_t i = 0; i < t.size() / 9; ++i) {
            bool meets = true;
            for (int a = 0; a < 3; ++a) {
                const double v[3] = {t[9 * i + a], t[9 * i + 3 + a], t[9 * i + 6 + a]};
                const double tl = std::min({v[0], v[1], v[2]}), th = std::max({v[0], v[1], v[2]});
                meets = meets && tl <= zuli::at(hi, a) && th >= zuli::at(lo, a);
            }
            if (meets) want.push_back(static_cast<std::int64_t>(i));
        }
        EXPECT_EQ(got, want);
    }
}

TEST(Mesh, FacesIndexVertices) {
    const std::vector<double> v = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0};
    const std::vector<std::int64_t> f = {0, 1, 2, 1, 3, 2};
    TriangleSource s{reinterpret_cast<const char*>(v.data()), 24, 0, 8};
    s.faces = reinterpret_cast<const char*>(f.data());
    s.f0 = 24, s.f1 = 8, s.face_width = 8, s.vertex_count = 4, s.n = 2;
    EXPECT_EQ(check_source(s).bad_face, -1);
    const TriangleMesh mesh(s);
    std::vector<MeshHit> hits;
    mesh.capsule({0.9, 0.9, 0.2}, {0.9, 0.9, 1.0}, 0.25, hits);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].triangle, 1);
    const std::vector<std::int64_t> bad = {0, 1, 2, 1, 4, 2};
    s.faces = reinterpret_cast<const char*>(bad.data());
    const SourceCheck check = check_source(s);
    EXPECT_EQ(check.bad_face, 1);
    EXPECT_EQ(check.bad_corner, 1);
    EXPECT_EQ(check.bad_index, 4);
    // Faces that changed after the check: the build reads no vertex outside
    // (the sanitizer build would see it) and says so.
    bool changed = false;
    const TriangleMesh after(s, &changed);
    EXPECT_TRUE(changed);
    EXPECT_EQ(after.triangle_count(), 2);
    std::vector<double> t = terrain(2);
    const TriangleMesh before(source(t), &changed);
    EXPECT_FALSE(changed);
    t[4] = NAN;
    const TriangleMesh not_finite(source(t), &changed);
    EXPECT_TRUE(changed);
}

// Levels of the subtree at node i, checking that each node has 2 to 4
// children (the first ones, the others empty) whose bounds contain their
// triangles, that nodes follow their parents, and that leaves hold 2 to 4
// triangles and together cover [0, n) in order.
int check_subtree(const TriangleMesh& mesh, std::uint32_t i, std::uint32_t& covered) {
    const MeshNode& nd = mesh.nodes()[i];
    const auto n = static_cast<std::uint32_t>(mesh.triangle_count());
    int levels = 0;
    std::uint32_t children = 0;
    for (std::uint32_t k = 0; k < kChildren; ++k) {
        const std::uint32_t ref = nd.child[k];
        if (ref == 0) {
            for (int a = 0; a < 3; ++a) EXPECT_TRUE(nd.lo[a][k] == INFINITY && nd.hi[a][k] == -INFINITY);
            continue;
        }
        EXPECT_EQ(children++, k);
        std::uint32_t from = covered;
        if (is_leaf(ref)) {
            EXPECT_EQ(leaf_first(ref), covered);
            EXPECT_GE(leaf_count(ref), n == 1 ? 1u : 2u);
            EXPECT_LE(leaf_count(ref), kLeafTriangles);
            covered += leaf_count(ref);
        } else {
            EXPECT_GT(node_index(ref), i);
            levels = std::max(levels, check_subtree(mesh, node_index(ref), covered));
        }
        for (std::uint32_t t = from; t < covered; ++t)
            for (int v = 0; v < 3; ++v)
                for (int a = 0; a < 3; ++a) {
                    const double x = mesh.triangles()[9 * t + 3 * v + a];
                    EXPECT_TRUE(nd.lo[a][k] <= x && x <= nd.hi[a][k]);
                }
    }
    EXPECT_GE(children, i == 0 && n <= kLeafTriangles ? 1u : 2u);
    for (std::uint32_t pad : nd.unused) EXPECT_EQ(pad, 0u);
    return 1 + levels;
}

TEST(Mesh, TreeShapeHoldsForUnevenAndClusteredMeshes) {
    // A terrain whose count is no power of two; every triangle in one cell;
    // clusters a factor 4 further out each (every split then separates one
    // cluster of a few triangles); one triangle.
    std::vector<std::vector<double>> meshes = {terrain(37), {}, {}, {0, 0, 0, 1, 0, 0, 0, 1, 0}};
    for (int i = 0; i < 1000; ++i) {
        const double d = 1e-9 * i;
        meshes[1].insert(meshes[1].end(), {d, 0, 0, 1 + d, 0, 0, d, 1, 0});
    }
    for (int level = 0; level < 40; ++level)
        for (int k = 0; k < 3; ++k) {
            const double x = std::ldexp(1.0, 2 * level) + k;
            meshes[2].insert(meshes[2].end(), {x, 0, 0, x + 1, 0, 0, x, 1, 0});
        }
    for (const auto& t : meshes) {
        const TriangleMesh mesh(source(t));
        const auto n = static_cast<std::uint32_t>(t.size() / 9);
        std::uint32_t covered = 0;
        // Walks hold a stack for at most 91 levels (63 bits of Morton code
        // and 28 of halving).
        EXPECT_LE(check_subtree(mesh, 0, covered), 91);
        EXPECT_EQ(covered, n);
        EXPECT_LE(mesh.nodes().size(), std::max(n / 2, 1u));
    }
}

TEST(Mesh, LeavesOfADenseClusterInAWideMeshStayLocal) {
    // A 0.5 m patch of 0.01 m quads, in shuffled order, on a 1 km ground: a
    // coarse curve grid (a thousand cells across) would put the whole patch
    // in one cell, and its leaves would gather triangles from all over it.
    std::vector<double> t = {-500, -500, 0, 500, -500, 0, 500, 500, 0, -500, -500, 0, 500, 500, 0, -500, 500, 0};
    std::vector<std::array<double, 9>> patch;
    for (int i = 0; i < 50; ++i)
        for (int j = 0; j < 50; ++j) {
            const double x0 = 0.01 * i, y0 = 0.01 * j, x1 = x0 + 0.01, y1 = y0 + 0.01;
            patch.push_back({x0, y0, 1, x1, y0, 1, x1, y1, 1});
            patch.push_back({x0, y0, 1, x1, y1, 1, x0, y1, 1});
        }
    std::shuffle(patch.begin(), patch.end(), std::mt19937(3));
    for (const auto& tri : patch) t.insert(t.end(), tri.begin(), tri.end());
    const TriangleMesh mesh(source(t));
    int leaves = 0;
    for (const MeshNode& nd : mesh.nodes())
        for (std::uint32_t k = 0; k < kChildren; ++k) {
            if (!is_leaf(nd.child[k]) || nd.lo[2][k] < 0.5) continue;
            ++leaves;
            EXPECT_LE(nd.hi[0][k] - nd.lo[0][k], 0.05f);
            EXPECT_LE(nd.hi[1][k] - nd.lo[1][k], 0.05f);
        }
    EXPECT_GE(leaves, 5000 / static_cast<int>(kLeafTriangles));
}

TEST(Mesh, StateRoundTripsAndCorruptionIsRefused) {
    const std::vector<double> t = terrain(5);
    const TriangleMesh mesh(source(t));
    TriangleMesh back;
    ASSERT_TRUE(TriangleMesh::from_state(mesh.triangles(), mesh.ids(), mesh.nodes(), mesh.checksum(), back));
    EXPECT_EQ(back.triangles(), mesh.triangles());
    auto refused = [&](auto edit) {
        Stored<double> tris = mesh.triangles();
        Stored<std::uint32_t> ids = mesh.ids();
        Stored<MeshNode> nodes = mesh.nodes();
        edit(tris, ids, nodes);
        TriangleMesh out;
        // With the checksum of the damaged fields: the structural checks
        // alone must catch each of these.
        const std::uint64_t sum = state_checksum(tris, ids, nodes);
        return !TriangleMesh::from_state(tris, ids, nodes, sum, out) && out.triangle_count() == 0;
    };
    EXPECT_TRUE(refused([](auto& tris, auto&, auto&) { tris[4] += 100.0; }));
    EXPECT_TRUE(refused([](auto& tris, auto&, auto&) { tris[0] = NAN; }));
    EXPECT_TRUE(refused([](auto&, auto& ids, auto&) { ids[0] = ids[1]; }));
    EXPECT_TRUE(refused([](auto&, auto& ids, auto&) { ids[0] = 1u << 30; }));
    EXPECT_TRUE(refused([](auto&, auto&, auto& nodes) { nodes[0].child[1] += 16; }));
    EXPECT_TRUE(refused([](auto&, auto&, auto& nodes) { nodes[0].lo[2][0] -= 1; }));
    EXPECT_TRUE(refused([](auto&, auto&, auto& nodes) { nodes[0].unused[3] = 1; }));
    EXPECT_TRUE(refused([](auto&, auto&, auto& nodes) { nodes.pop_back(); }));
    EXPECT_TRUE(refused([](auto& tris, auto&, auto&) { tris.resize(tris.size() - 9); }));
    // A vertex moved inside its leaf's bounds still describes a mesh: only
    // the checksum tells.
    Stored<double> moved = mesh.triangles();
    moved[4] = std::nextafter(moved[4], 0.0);
    TriangleMesh out;
    EXPECT_FALSE(TriangleMesh::from_state(moved, mesh.ids(), mesh.nodes(), mesh.checksum(), out));
}

}  // namespace
}  // namespace zuli
