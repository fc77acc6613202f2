// Capsule queries against a terrain mesh: our TriangleMesh against Bullet's
// btBvhTriangleMeshShape (contactPairTest of a btCapsuleShapeZ) and ODE's
// trimesh (dCollide with a capsule), on the same triangles and capsules.
// Usage: mesh_bench DIR; bench.py writes DIR/verts.f64 (V x 3), faces.i32
// (F x 3) and capsules.f64 (M x 7: c0, c1, radius). Prints one JSON object:
// build milliseconds (median of five builds) and per-query nanoseconds
// (median over three passes in random order) for each library, and how many
// queries found contacts.
#include <ode/ode.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "BulletCollision/BroadphaseCollision/btDbvtBroadphase.h"
#include "BulletCollision/CollisionDispatch/btCollisionDispatcher.h"
#include "BulletCollision/CollisionDispatch/btCollisionWorld.h"
#include "BulletCollision/CollisionDispatch/btDefaultCollisionConfiguration.h"
#include "BulletCollision/CollisionShapes/btBvhTriangleMeshShape.h"
#include "BulletCollision/CollisionShapes/btCapsuleShape.h"
#include "BulletCollision/CollisionShapes/btTriangleIndexVertexArray.h"
#include "contact/mesh.hpp"

namespace {

template <class T>
std::vector<T> load(const std::string& path) {
    std::vector<T> out;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        fprintf(stderr, "mesh_bench: cannot read %s\n", path.c_str());
        exit(2);
    }
    T x;
    while (fread(&x, sizeof x, 1, f) == 1) out.push_back(x);
    fclose(f);
    return out;
}

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// The median of five builds, `build()` timing one and returning its
// milliseconds: the first builds on a freshly booted virtual machine also
// pay for the host backing the pages they touch, which says nothing about
// the library.
template <class Build>
double median_build_ms(Build build) {
    double ms[5];
    for (double& m : ms) m = build();
    std::sort(ms, ms + 5);
    return ms[2];
}

struct CapsuleRow {
    double c0[3], c1[3], radius;
};

// Median ns per query over three passes, each in a fresh random order;
// `query(i)` returns whether capsule i found contacts.
template <class Query>
double median_ns(size_t m, Query query, int& with_contacts) {
    std::vector<size_t> order(m);
    for (size_t i = 0; i < m; ++i) order[i] = i;
    std::mt19937 rng(12345);
    std::vector<double> times;
    with_contacts = 0;
    for (int pass = 0; pass < 3; ++pass) {
        std::shuffle(order.begin(), order.end(), rng);
        for (size_t i : order) {
            const auto t = Clock::now();
            const bool hit = query(i);
            times.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t).count());
            if (pass == 0) with_contacts += hit;
        }
    }
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    return times[times.size() / 2];
}

// A rotation taking z to the unit vector d (Rodrigues about z x d).
void rotation_to(const double d[3], double R[3][3]) {
    const double c = d[2];
    const double vx = -d[1], vy = d[0];  // z x d
    const double s2 = vx * vx + vy * vy;
    const double k = s2 > 1e-18 ? (1 - c) / s2 : 0.0;
    const double flip = (s2 <= 1e-18 && c < 0) ? -1.0 : 1.0;
    R[0][0] = flip * (c + k * vx * vx), R[0][1] = k * vx * vy, R[0][2] = vy;
    R[1][0] = k * vx * vy, R[1][1] = flip * (c + k * vy * vy), R[1][2] = -vx;
    R[2][0] = -vy, R[2][1] = vx, R[2][2] = flip * c;
}

// A capsule as the peers take it: centre, length and a rotation whose z
// column is the axis.
struct CapsuleFrame {
    double centre[3], length, R[3][3];
};

CapsuleFrame frame_of(const CapsuleRow& c) {
    CapsuleFrame f;
    double d[3] = {c.c1[0] - c.c0[0], c.c1[1] - c.c0[1], c.c1[2] - c.c0[2]};
    f.length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    for (int k = 0; k < 3; ++k) {
        d[k] /= f.length;
        f.centre[k] = (c.c0[k] + c.c1[k]) / 2;
    }
    rotation_to(d, f.R);
    return f;
}

struct ContactCount : btCollisionWorld::ContactResultCallback {
    int contacts = 0;
    btScalar addSingleResult(btManifoldPoint&, const btCollisionObjectWrapper*, int, int,
                             const btCollisionObjectWrapper*, int, int) override {
        ++contacts;
        return 0;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: mesh_bench DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    const std::vector<double> verts = load<double>(dir + "/verts.f64");
    const std::vector<int> faces = load<int>(dir + "/faces.i32");
    const std::vector<double> raw = load<double>(dir + "/capsules.f64");
    std::vector<CapsuleRow> caps(raw.size() / 7);
    for (size_t i = 0; i < caps.size(); ++i) std::copy(&raw[7 * i], &raw[7 * i + 7], &caps[i].c0[0]);
    const int nv = static_cast<int>(verts.size() / 3), nf = static_cast<int>(faces.size() / 3);

    // Ours.
    zuli::TriangleSource src{reinterpret_cast<const char*>(verts.data()), 24, 0, 8};
    src.faces = reinterpret_cast<const char*>(faces.data());
    src.f0 = 12, src.f1 = 4, src.face_width = 4, src.vertex_count = nv, src.n = nf;
    const double ours_build = median_build_ms([&] {
        const auto t = Clock::now();
        const zuli::TriangleMesh built(src);
        return ms_since(t);
    });
    const zuli::TriangleMesh mesh(src);
    std::vector<zuli::MeshHit> hits;
    int ours_hits = 0;
    const double ours_ns = median_ns(caps.size(), [&](size_t i) {
        hits.clear();
        const CapsuleRow& c = caps[i];
        mesh.capsule({c.c0[0], c.c0[1], c.c0[2]}, {c.c1[0], c.c1[1], c.c1[2]}, c.radius, hits);
        return !hits.empty();
    }, ours_hits);

    // Bullet, double precision.
    const auto bullet_triangles = [&] {
        return btTriangleIndexVertexArray(nf, const_cast<int*>(faces.data()), 3 * sizeof(int), nv,
                                          const_cast<btScalar*>(verts.data()), 3 * sizeof(btScalar));
    };
    const double bullet_build = median_build_ms([&] {
        const auto t = Clock::now();
        btTriangleIndexVertexArray built_triangles = bullet_triangles();
        const btBvhTriangleMeshShape built(&built_triangles, true, true);
        return ms_since(t);
    });
    btTriangleIndexVertexArray triangles = bullet_triangles();
    btBvhTriangleMeshShape bullet_mesh(&triangles, true, true);
    btDefaultCollisionConfiguration config;
    btCollisionDispatcher dispatcher(&config);
    btDbvtBroadphase broadphase;
    btCollisionWorld world(&dispatcher, &broadphase, &config);
    btCollisionObject ground;
    ground.setCollisionShape(&bullet_mesh);
    std::vector<btCapsuleShapeZ> bullet_caps;
    bullet_caps.reserve(caps.size());
    std::vector<btCollisionObject> bullet_objs(caps.size());
    for (size_t i = 0; i < caps.size(); ++i) {
        const CapsuleFrame f = frame_of(caps[i]);
        const auto& R = f.R;
        bullet_caps.emplace_back(caps[i].radius, f.length);
        btTransform tr(btMatrix3x3(R[0][0], R[0][1], R[0][2], R[1][0], R[1][1], R[1][2], R[2][0], R[2][1], R[2][2]),
                       btVector3(f.centre[0], f.centre[1], f.centre[2]));
        bullet_objs[i].setCollisionShape(&bullet_caps.back());
        bullet_objs[i].setWorldTransform(tr);
    }
    int bullet_hits = 0;
    const double bullet_ns = median_ns(caps.size(), [&](size_t i) {
        ContactCount count;
        world.contactPairTest(&bullet_objs[i], &ground, count);
        return count.contacts > 0;
    }, bullet_hits);

    // ODE, double precision.
    dInitODE();
    std::vector<dTriIndex> ode_faces(faces.begin(), faces.end());
    const auto ode_build_into = [&](dTriMeshDataID& data) {
        data = dGeomTriMeshDataCreate();
        dGeomTriMeshDataBuildDouble(data, verts.data(), 3 * sizeof(double), nv, ode_faces.data(), 3 * nf,
                                    3 * sizeof(dTriIndex));
        return dCreateTriMesh(nullptr, data, nullptr, nullptr, nullptr);
    };
    const double ode_build = median_build_ms([&] {
        const auto t = Clock::now();
        dTriMeshDataID built_data;
        const dGeomID built = ode_build_into(built_data);
        const double ms = ms_since(t);
        dGeomDestroy(built);
        dGeomTriMeshDataDestroy(built_data);
        return ms;
    });
    dTriMeshDataID data;
    dGeomID ode_mesh = ode_build_into(data);
    std::vector<dGeomID> ode_caps(caps.size());
    for (size_t i = 0; i < caps.size(); ++i) {
        const CapsuleFrame f = frame_of(caps[i]);
        const auto& R = f.R;
        ode_caps[i] = dCreateCapsule(nullptr, caps[i].radius, f.length);
        dGeomSetPosition(ode_caps[i], f.centre[0], f.centre[1], f.centre[2]);
        dMatrix3 m = {R[0][0], R[0][1], R[0][2], 0, R[1][0], R[1][1], R[1][2], 0, R[2][0], R[2][1], R[2][2], 0};
        dGeomSetRotation(ode_caps[i], m);
    }
    std::vector<dContactGeom> contacts(64);
    int ode_hits = 0;
    const double ode_ns = median_ns(caps.size(), [&](size_t i) {
        return dCollide(ode_caps[i], ode_mesh, 64, contacts.data(), sizeof(dContactGeom)) > 0;
    }, ode_hits);
    for (dGeomID g : ode_caps) dGeomDestroy(g);
    dGeomDestroy(ode_mesh);
    dGeomTriMeshDataDestroy(data);
    dCloseODE();

    printf("{\"triangles\": %d, \"capsules\": %zu, "
           "\"ours\": {\"build_ms\": %.1f, \"query_ns\": %.0f, \"with_contacts\": %d, \"bytes_per_triangle\": %.1f}, "
           "\"bullet\": {\"build_ms\": %.1f, \"query_ns\": %.0f, \"with_contacts\": %d}, "
           "\"ode\": {\"build_ms\": %.1f, \"query_ns\": %.0f, \"with_contacts\": %d}}\n",
           nf, caps.size(), ours_build, ours_ns, ours_hits,
           double(mesh.nbytes() - 72 * static_cast<size_t>(nf)) / nf, bullet_build, bullet_ns, bullet_hits,
           ode_build, ode_ns, ode_hits);
    return 0;
}
