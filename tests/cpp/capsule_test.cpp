#include "contact/capsule.hpp"

#include <math.h>

#include <random>
#include <vector>

#include "test_util.hpp"

namespace zuli {
namespace {

using test::same_bits;
using test::SameVec;

// T winds counter-clockwise seen from +z; T2 is the same triangle wound the
// other way.
const Vec3 A = {0, 0, 0}, B = {1, 0, 0}, C = {0, 1, 0};

struct RegionCase {
    Vec3 p, want;
};

class ClosestPtTriangle : public ::testing::TestWithParam<RegionCase> {};

TEST_P(ClosestPtTriangle, Region) {
    EXPECT_TRUE(SameVec(closest_pt_triangle(GetParam().p, A, B, C), GetParam().want));
}

INSTANTIATE_TEST_SUITE_P(Regions, ClosestPtTriangle,
                         ::testing::Values(RegionCase{{-1, -1, 3}, A},                  // vertex a
                                           RegionCase{{2, -0.5, 1}, B},                 // vertex b
                                           RegionCase{{0.5, -1, -2}, {0.5, 0, 0}},      // edge ab
                                           RegionCase{{-0.5, 2, 0}, C},                 // vertex c
                                           RegionCase{{-1, 0.25, 1}, {0, 0.25, 0}},     // edge ac
                                           RegionCase{{1, 1, 5}, {0.5, 0.5, 0}},        // edge bc
                                           RegionCase{{0.25, 0.25, -7}, {0.25, 0.25, 0}}));  // face

struct SegCase {
    Vec3 p1, q1, p2, q2, want1, want2;
};

class SegmentSegment : public ::testing::TestWithParam<SegCase> {};

TEST_P(SegmentSegment, ClosestPoints) {
    const SegCase& c = GetParam();
    const SegmentPoints r = closest_pts_segment_segment(c.p1, c.q1, c.p2, c.q2);
    EXPECT_TRUE(SameVec(r.on_first, c.want1));
    EXPECT_TRUE(SameVec(r.on_second, c.want2));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SegmentSegment,
    ::testing::Values(
        SegCase{{0, 0, 0}, {0, 0, 0}, {1, 1, 1}, {1, 1, 1}, {0, 0, 0}, {1, 1, 1}},      // two points
        SegCase{{0.5, 1, 0}, {0.5, 1, 0}, {0, 0, 0}, {1, 0, 0}, {0.5, 1, 0}, {0.5, 0, 0}},  // first a point
        SegCase{{0, 0, 0}, {1, 0, 0}, {2, 1, 0}, {2, 1, 0}, {1, 0, 0}, {2, 1, 0}},      // second a point, clamped
        SegCase{{-1, 0, 1}, {1, 0, 1}, {0, -1, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 0}},    // crossing
        SegCase{{0, 0, 1}, {1, 0, 1}, {0, 0, 0}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}},      // parallel: s = 0
        SegCase{{0, 0, 0}, {1, 0, 0}, {-3, 1, 0}, {-2, 5, 0}, {0, 0, 0}, {-3, 1, 0}},   // t < 0 clamp
        SegCase{{0, 0, 0}, {1, 0, 0}, {3, 5, 0}, {2, 1, 0}, {1, 0, 0}, {2, 1, 0}}));    // t > 1 clamp

TriangleContact contact(Vec3 c0, Vec3 c1, double r, bool reversed = false) {
    const Capsule cap = make_capsule(c0, c1, r);
    return reversed ? capsule_triangle_contact(cap, A, C, B) : capsule_triangle_contact(cap, A, B, C);
}

void expect_hit(const TriangleContact& c, Vec3 point, Vec3 normal, double depth, double tol = 0) {
    ASSERT_EQ(c.hit, 1);
    if (tol == 0) {
        EXPECT_TRUE(SameVec(c.point, point));
        EXPECT_TRUE(SameVec(c.normal, normal));
        EXPECT_TRUE(same_bits(c.depth, depth)) << c.depth;
    } else {
        EXPECT_NEAR(c.point.x, point.x, tol);
        EXPECT_NEAR(c.point.y, point.y, tol);
        EXPECT_NEAR(c.point.z, point.z, tol);
        EXPECT_TRUE(SameVec(c.normal, normal));
        EXPECT_NEAR(c.depth, depth, tol);
    }
}

TEST(CapsuleTriangle, DegenerateTrianglesMiss) {
    const Capsule cap = make_capsule({0, 0, 0}, {0, 0, 1}, 10);
    EXPECT_EQ(capsule_triangle_contact(cap, {0, 0, 0}, {1, 0, 0}, {2, 0, 0}).hit, 0);
    EXPECT_EQ(capsule_triangle_contact(cap, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}).hit, 0);
}

TEST(CapsuleTriangle, FacePassTurnsNormalTowardsCentre) {
    expect_hit(contact({0.25, 0.25, 0.5}, {0.25, 0.25, 2}, 1), {0.25, 0.25, 0}, {0, 0, 1}, 0.5);
    // Wound the other way the winding normal is (0, 0, -1), negated here.
    expect_hit(contact({0.25, 0.25, 0.5}, {0.25, 0.25, 2}, 1, true), {0.25, 0.25, 0}, {-0.0, -0.0, 1}, 0.5);
    expect_hit(contact({0.25, 0.25, -0.5}, {0.25, 0.25, -2}, 1), {0.25, 0.25, 0}, {-0.0, -0.0, -1}, 0.5);
}

TEST(CapsuleTriangle, DeeperEndWinsAndEqualReachKeepsFirst) {
    expect_hit(contact({0.2, 0.2, 0.3}, {0.3, 0.3, 0.2}, 0.5), {0.3, 0.3, 0}, {0, 0, 1}, 0.5 - 0.2);
    expect_hit(contact({0.2, 0.2, 0.3}, {0.3, 0.3, 0.3}, 0.5), {0.2, 0.2, 0}, {0, 0, 1}, 0.5 - 0.3, 1e-15);
}

TEST(CapsuleTriangle, ExactTouchIsAMiss) {
    EXPECT_EQ(contact({0.25, 0.25, 1}, {0.25, 0.25, 3}, 1).hit, 0);
}

TEST(CapsuleTriangle, EndBehindThePlaneReachesPastRadius) {
    expect_hit(contact({0.25, 0.25, -0.2}, {0.25, 0.25, 1}, 0.1), {0.25, 0.25, 0}, {0, 0, 1}, 0.1 - -0.2);
}

TEST(CapsuleTriangle, FarEndBehindATiltedPlaneHitsThroughTheFace) {
    // Every candidate pair is far out of reach (the whole axis lies ~10 away
    // in x), but the axis crosses the triangle's tilted plane, and the end
    // behind it stands on the normal through an interior point: the face
    // pass hits there. The same capsule moved 5 along y puts that foot
    // outside the triangle: a miss.
    const Vec3 t0 = {0, 0, 0}, t1 = {0.1, 0, 0.1}, t2 = {0, 0.1, 0};
    const TriangleContact c =
        capsule_triangle_contact(make_capsule({10.03, 0.03, -9.97}, {10.03, 0.03, 40}, 0.5), t0, t1, t2);
    ASSERT_EQ(c.hit, 1);
    const double h = sqrt(0.5);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(at(c.point, i), 0.03, 1e-12);
        EXPECT_NEAR(at(c.normal, i), at(Vec3{-h, 0, h}, i), 1e-15);
    }
    EXPECT_NEAR(c.depth, 0.5 + 20 * h, 1e-12);
    EXPECT_EQ(capsule_triangle_contact(make_capsule({10.03, 5.03, -9.97}, {10.03, 5.03, 40}, 0.5), t0, t1, t2).hit, 0);
}

TEST(CapsuleTriangle, SeparatingDirectionsSkipOnlySureMisses) {
    // The axis passes 0.45 clear of the triangle along u x (v2 - v0), but it
    // crosses the plane and c0, behind it, stands over an interior point:
    // the face pass hits there, deep.
    expect_hit(contact({0.2, 0.2, -1}, {10.2, 0.2, 5}, 0.3), {0.2, 0.2, 0}, {0, 0, 1}, 1.3, 1e-15);
    // In front of the plane, beside edge v2-v0 (x = 0): a gap just under the
    // radius is a hit through the edge pass, one just beyond reach a miss.
    for (const double r : {0.3, 3e-7}) {
        const double a = r - r * 1e-6, z = r * 1e-4;
        const TriangleContact c = contact({-a, 0.5, z}, {-a, 1.5, 1}, r);
        ASSERT_EQ(c.hit, 1) << r;
        EXPECT_NEAR(c.depth, r - hypot(a, z), 1e-9 * r);
        EXPECT_EQ(contact({-(r + 3e-9), 0.5, z}, {-(r + 3e-9), 1.5, 1}, r).hit, 0) << r;
    }
}

TEST(CapsuleTriangle, ZeroLengthCapsuleIsASphere) {
    expect_hit(contact({0.25, 0.25, 0.5}, {0.25, 0.25, 0.5}, 1), {0.25, 0.25, 0}, {0, 0, 1}, 0.5);
}

TEST(CapsuleTriangle, EdgePassKeepsEarliestEqualCandidate) {
    // In the plane, off edge v0-v1: the end point c0 is found first.
    expect_hit(contact({0.5, -0.5, 0}, {0.5, -2, 0}, 1), {0.5, 0, 0}, {0, -1, 0}, 0.5);
    // Lying across above the face: edges (v1, v2) and (v2, v0) tie; (v1, v2) wins.
    expect_hit(contact({-1, 0.25, 0.3}, {2, 0.25, 0.3}, 0.5), {0.75, 0.25, 0}, {0, 0, 1}, 0.2, 1e-15);
}

TEST(CapsuleTriangle, AxisThroughEdgeUsesWindingNormal) {
    expect_hit(contact({0.5, -1, 0.5}, {0.5, 2, -1}, 0.25), {0.5, 0, 0}, {0, 0, 1}, 0.25, 1e-15);
    expect_hit(contact({0.5, -1, 0.5}, {0.5, 2, -1}, 0.25, true), {0.5, 0, 0}, {0, 0, -1}, 0.25, 1e-15);
}

TEST(CapsuleTriangle, NoFiniteCandidateIsAMiss) {
    // Every candidate distance overflows: no closest pair exists, so even an
    // infinite radius reports a miss rather than an undefined contact.
    const Capsule cap = make_capsule({1e200, 1e200, 1e200}, {1e200, 1e200, 2e200}, INFINITY);
    EXPECT_EQ(capsule_triangle_contact(cap, A, B, C).hit, 0);
}

// A run of stored triangles gives, for each triangle in reach, the plain
// step's contact bit for bit, and skips only triangles out of reach: near
// misses, touching and crossing capsules at several scales, and a capsule
// with a NaN.
TEST(CapsuleTriangle, RunGivesThePlainStepForTrianglesInReach) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> unit(-1, 1);
    int compared = 0, hits = 0;
    for (double scale : {1e-6, 1.0, 1e6}) {
        for (int i = 0; i < 5000; ++i) {
            double tris[4 * 9];
            for (double& x : tris) x = scale * unit(rng);
            Vec3 c0 = {1.5 * scale * unit(rng), 1.5 * scale * unit(rng), 1.5 * scale * unit(rng)};
            if (i % 500 == 0) c0.y = NAN;
            const Vec3 c1 = add(c0, mul({unit(rng), unit(rng), unit(rng)}, scale * (i % 4)));
            const Capsule cap = make_capsule(c0, c1, scale * 0.4 * (unit(rng) + 1));
            int which[4];
            TriangleContact found[4];
            const int n = capsule_triangle_run(cap, tris, 4, which, found);
            int k = 0;
            for (int t = 0; t < 4; ++t) {
                const Vec3 v0 = {tris[9 * t], tris[9 * t + 1], tris[9 * t + 2]};
                const Vec3 v1 = {tris[9 * t + 3], tris[9 * t + 4], tris[9 * t + 5]};
                const Vec3 v2 = {tris[9 * t + 6], tris[9 * t + 7], tris[9 * t + 8]};
                if (!box_in_reach(cap, v0, v1, v2)) continue;
                ++compared;
                const TriangleContact want = capsule_triangle_contact(cap, v0, v1, v2);
                if (!want.hit) continue;
                ++hits;
                ASSERT_LT(k, n) << i;
                ASSERT_EQ(which[k], t) << i;
                ASSERT_TRUE(SameVec(found[k].point, want.point)) << i;
                ASSERT_TRUE(SameVec(found[k].normal, want.normal)) << i;
                ASSERT_TRUE(same_bits(found[k].depth, want.depth)) << i;
                ++k;
            }
            ASSERT_EQ(k, n) << i;
        }
    }
    EXPECT_GT(hits, 1000);
    EXPECT_GT(compared - hits, 1000);
}

TEST(CapsuleBatch, MissWritesOnlyHitAndNormalsFollowPoints) {
    const std::vector<double> verts = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 5, 1, 0, 5, 0, 1, 5};
    unsigned char hit[2] = {7, 7};
    double rows[2][3] = {{9, 9, 9}, {9, 9, 9}};
    double depths[2] = {9, 9};
    const TriangleBatch b = {reinterpret_cast<const char*>(verts.data()), 72, 24, 2,
                             reinterpret_cast<char*>(hit), 1,
                             reinterpret_cast<char*>(rows), 24,
                             reinterpret_cast<char*>(rows), 24,  // points and normals alias
                             reinterpret_cast<char*>(depths), 8};
    capsule_triangles_batch(make_capsule({0.25, 0.25, 0.5}, {0.25, 0.25, 2}, 1), b);
    EXPECT_EQ(hit[0], 1);
    EXPECT_EQ(hit[1], 0);
    EXPECT_TRUE(SameVec({rows[0][0], rows[0][1], rows[0][2]}, {0, 0, 1}));  // the normal won
    EXPECT_TRUE(SameVec({rows[1][0], rows[1][1], rows[1][2]}, {9, 9, 9}));
    EXPECT_EQ(depths[0], 0.5);
    EXPECT_EQ(depths[1], 9);
}

}  // namespace
}  // namespace zuli
