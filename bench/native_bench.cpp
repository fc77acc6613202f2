// Native cores against the established peers, on the same inputs:
//   box chain    ours (box_box_contact) vs ODE dBoxBox (up to 4 contacts)
//                vs Bullet btBoxBoxDetector, on the 4,096 pairs of bench.py
//   box rows     the batch kernel (box_box_rows) over the same pairs laid out
//                as the row arrays zuli_physics.batch reads and writes
//   capsule      ours (capsule_triangle_contact) vs Bullet's capsule against
//                btTriangleShape through btGjkPairDetector, on its triangles
// Usage: native_bench DATA_DIR [google-benchmark flags]; bench.py writes
// DATA_DIR/box_pairs.f64, capsule.f64 and triangles.f64 as raw doubles.
#include <benchmark/benchmark.h>
#include <ode/ode.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "BulletCollision/CollisionDispatch/btBoxBoxDetector.h"
#include "BulletCollision/CollisionShapes/btBoxShape.h"
#include "BulletCollision/CollisionShapes/btCapsuleShape.h"
#include "BulletCollision/CollisionShapes/btTriangleShape.h"
#include "BulletCollision/NarrowPhaseCollision/btGjkEpaPenetrationDepthSolver.h"
#include "BulletCollision/NarrowPhaseCollision/btGjkPairDetector.h"
#include "BulletCollision/NarrowPhaseCollision/btPointCollector.h"
#include "BulletCollision/NarrowPhaseCollision/btVoronoiSimplexSolver.h"
#include "contact/batch.hpp"
#include "contact/box.hpp"
#include "contact/capsule.hpp"

namespace {

std::vector<double> load(const std::string& path) {
    std::vector<double> out;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        fprintf(stderr, "native_bench: cannot read %s\n", path.c_str());
        exit(2);
    }
    double d;
    while (fread(&d, sizeof d, 1, f) == 1) out.push_back(d);
    fclose(f);
    return out;
}

std::vector<zuli::OrientedBox> g_a, g_b;  // the pairs
zuli::Capsule g_capsule;
std::vector<zuli::Vec3> g_tri;  // 3 per triangle

zuli::OrientedBox box_at(const double* p) {
    zuli::OrientedBox b;
    b.c = {p[0], p[1], p[2]};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) b.R.m[i][j] = p[3 + 3 * i + j];
    b.h = {p[12], p[13], p[14]};
    return b;
}

// Side A and B as (P, 3), (P, 3, 3), (P, 3) arrays, and the result arrays.
struct BoxRowData {
    std::vector<double> c[2], R[2], h[2];
    std::vector<std::uint8_t> count;
    std::vector<double> normal, points, depths;
} g_rows;

zuli::BoxRows rows_of(int side) {
    auto at = [](const std::vector<double>& v) { return reinterpret_cast<const char*>(v.data()); };
    return {{at(g_rows.c[side]), {24, 8, 0}}, {at(g_rows.R[side]), {72, 24, 8}}, {at(g_rows.h[side]), {24, 8, 0}}};
}

void BM_BoxRows_Ours(benchmark::State& state) {
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(g_a.size());
    const zuli::BoxRows a = rows_of(0), b = rows_of(1);
    const auto bytes = [](auto& v) { return reinterpret_cast<char*>(v.data()); };
    const zuli::ContactRows out{bytes(g_rows.count), bytes(g_rows.normal), bytes(g_rows.points), bytes(g_rows.depths),
                                zuli::MAX_CONTACTS};
    const zuli::PairRows pairs;
    for (auto _ : state) {
        zuli::box_box_rows(a, b, pairs, out, 0, n);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

void BM_BoxChain_Ours(benchmark::State& state) {
    const size_t n = g_a.size();
    zuli::Manifold m;
    for (auto _ : state) {
        for (size_t i = 0; i < n; ++i) {
            zuli::box_box_contact(g_a[i], g_b[i], m);
            benchmark::DoNotOptimize(m);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

struct OdeBox {
    dVector3 p, side;
    dMatrix3 R;
};
std::vector<OdeBox> g_ode_a, g_ode_b;

OdeBox to_ode(const zuli::OrientedBox& b) {
    OdeBox o{};
    o.p[0] = b.c.x, o.p[1] = b.c.y, o.p[2] = b.c.z;
    o.side[0] = 2 * b.h.x, o.side[1] = 2 * b.h.y, o.side[2] = 2 * b.h.z;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) o.R[4 * i + j] = b.R.m[i][j];
    return o;
}

void BM_BoxChain_ODE(benchmark::State& state) {
    const size_t n = g_ode_a.size();
    dContactGeom contacts[4];
    dVector3 normal;
    dReal depth;
    int code;
    for (auto _ : state) {
        for (size_t i = 0; i < n; ++i) {
            const OdeBox &a = g_ode_a[i], &b = g_ode_b[i];
            int k = dBoxBox(a.p, a.R, a.side, b.p, b.R, b.side, normal, &depth, &code, 4, contacts,
                                  sizeof(dContactGeom));
            benchmark::DoNotOptimize(k);
            benchmark::DoNotOptimize(contacts);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

struct CountingResult : btDiscreteCollisionDetectorInterface::Result {
    int count = 0;
    void setShapeIdentifiersA(int, int) override {}
    void setShapeIdentifiersB(int, int) override {}
    void addContactPoint(const btVector3&, const btVector3&, btScalar) override { ++count; }
};

btTransform to_bullet(const zuli::OrientedBox& b) {
    const btMatrix3x3 basis(b.R.m[0][0], b.R.m[0][1], b.R.m[0][2], b.R.m[1][0], b.R.m[1][1], b.R.m[1][2],
                            b.R.m[2][0], b.R.m[2][1], b.R.m[2][2]);
    return btTransform(basis, btVector3(b.c.x, b.c.y, b.c.z));
}

void BM_BoxChain_Bullet(benchmark::State& state) {
    const size_t n = g_a.size();
    std::vector<btBoxShape> sa, sb;
    std::vector<btDiscreteCollisionDetectorInterface::ClosestPointInput> inputs(n);
    sa.reserve(n), sb.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        sa.emplace_back(btVector3(g_a[i].h.x, g_a[i].h.y, g_a[i].h.z));
        sb.emplace_back(btVector3(g_b[i].h.x, g_b[i].h.y, g_b[i].h.z));
        inputs[i].m_transformA = to_bullet(g_a[i]);
        inputs[i].m_transformB = to_bullet(g_b[i]);
    }
    for (auto _ : state) {
        for (size_t i = 0; i < n; ++i) {
            btBoxBoxDetector detector(&sa[i], &sb[i]);
            CountingResult result;
            detector.getClosestPoints(inputs[i], result, nullptr);
            benchmark::DoNotOptimize(result.count);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

void BM_CapsuleTriangle_Ours(benchmark::State& state) {
    const size_t n = g_tri.size() / 3;
    int hits = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < n; ++i) {
            zuli::TriangleContact c =
                zuli::capsule_triangle_contact(g_capsule, g_tri[3 * i], g_tri[3 * i + 1], g_tri[3 * i + 2]);
            hits += c.hit;
            benchmark::DoNotOptimize(c);
        }
    }
    state.counters["hit_fraction"] = static_cast<double>(hits) / static_cast<double>(state.iterations() * n);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

void BM_CapsuleTriangle_BulletGjk(benchmark::State& state) {
    const size_t n = g_tri.size() / 3;
    const zuli::Vec3 c0 = g_capsule.c0, c1 = g_capsule.c1;
    const zuli::Vec3 axis = zuli::sub(c1, c0);
    const double height = sqrt(zuli::dot(axis, axis));
    // Bullet's capsule runs along its local y axis, centred at the origin.
    btCapsuleShape capsule(g_capsule.radius, height);
    btVector3 y(axis.x / height, axis.y / height, axis.z / height);
    btQuaternion turn(btVector3(0, 1, 0).cross(y), 1 + btVector3(0, 1, 0).dot(y));
    turn.normalize();
    const btTransform at(turn, btVector3(g_capsule.centre.x, g_capsule.centre.y, g_capsule.centre.z));
    int hits = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < n; ++i) {
            const zuli::Vec3 *v = &g_tri[3 * i];
            btTriangleShape tri(btVector3(v[0].x, v[0].y, v[0].z), btVector3(v[1].x, v[1].y, v[1].z),
                                btVector3(v[2].x, v[2].y, v[2].z));
            btVoronoiSimplexSolver simplex;
            btGjkEpaPenetrationDepthSolver epa;
            btGjkPairDetector gjk(&capsule, &tri, &simplex, &epa);
            btGjkPairDetector::ClosestPointInput input;
            input.m_transformA = at;
            input.m_transformB.setIdentity();
            btPointCollector out;
            gjk.getClosestPoints(input, out, nullptr);
            hits += out.m_hasResult && out.m_distance < 0;
            benchmark::DoNotOptimize(out);
        }
    }
    state.counters["hit_fraction"] = static_cast<double>(hits) / static_cast<double>(state.iterations() * n);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: native_bench DATA_DIR [benchmark flags]\n");
        return 2;
    }
    const std::string dir = argv[1];
    const std::vector<double> pairs = load(dir + "/box_pairs.f64");
    for (size_t i = 0; i + 30 <= pairs.size(); i += 30) {
        g_a.push_back(box_at(&pairs[i]));
        g_b.push_back(box_at(&pairs[i + 15]));
        g_ode_a.push_back(to_ode(g_a.back()));
        g_ode_b.push_back(to_ode(g_b.back()));
        for (int side = 0; side < 2; ++side) {
            const double* p = &pairs[i + 15 * side];
            g_rows.c[side].insert(g_rows.c[side].end(), p, p + 3);
            g_rows.R[side].insert(g_rows.R[side].end(), p + 3, p + 12);
            g_rows.h[side].insert(g_rows.h[side].end(), p + 12, p + 15);
        }
    }
    g_rows.count.resize(g_a.size());
    g_rows.normal.resize(3 * g_a.size());
    g_rows.points.resize(3 * zuli::MAX_CONTACTS * g_a.size());
    g_rows.depths.resize(zuli::MAX_CONTACTS * g_a.size());
    const std::vector<double> cap = load(dir + "/capsule.f64");
    g_capsule = zuli::make_capsule({cap[0], cap[1], cap[2]}, {cap[3], cap[4], cap[5]}, cap[6]);
    const std::vector<double> tris = load(dir + "/triangles.f64");
    for (size_t i = 0; i + 3 <= tris.size(); i += 3) g_tri.push_back({tris[i], tris[i + 1], tris[i + 2]});
    dInitODE();

    benchmark::RegisterBenchmark("box chain/ours", BM_BoxChain_Ours);
    benchmark::RegisterBenchmark("box rows/ours", BM_BoxRows_Ours);
    benchmark::RegisterBenchmark("box chain/ODE dBoxBox", BM_BoxChain_ODE);
    benchmark::RegisterBenchmark("box chain/Bullet btBoxBoxDetector", BM_BoxChain_Bullet);
    benchmark::RegisterBenchmark("capsule-triangle/ours", BM_CapsuleTriangle_Ours);
    benchmark::RegisterBenchmark("capsule-triangle/Bullet GJK", BM_CapsuleTriangle_BulletGjk);
    argv[1] = argv[0];
    --argc;
    ++argv;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    dCloseODE();
    return 0;
}
