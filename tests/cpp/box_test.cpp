#include "contact/box.hpp"

#include <algorithm>
#include <random>
#include <vector>

#include "test_util.hpp"

namespace zuli {
namespace {

using test::from_columns;
using test::identity;
using test::same_bits;
using test::SameVec;

const double kS = sqrt(0.5);

// Appends a vertex to a test polygon.
void push(Polygon& poly, Vec3 p) {
    ASSERT_LT(poly.n, MAX_POLY);
    poly.v[poly.n++] = p;
}

Mat3 matmul(const Mat3& a, const Mat3& b) {
    Mat3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r.m[i][j] = (a.m[i][0] * b.m[0][j] + a.m[i][1] * b.m[1][j]) + a.m[i][2] * b.m[2][j];
    return r;
}
const Mat3 kRx45 = {{{1, 0, 0}, {0, kS, -kS}, {0, kS, kS}}};
const Mat3 kRy45 = {{{kS, 0, kS}, {0, 1, 0}, {-kS, 0, kS}}};
const Mat3 kRz45 = {{{kS, -kS, 0}, {kS, kS, 0}, {0, 0, 1}}};

OrientedBox cube(Vec3 c, const Mat3& R = identity()) { return {c, R, {1, 1, 1}}; }

Manifold run(const OrientedBox& a, const OrientedBox& b) {
    Manifold m;
    box_box_contact(a, b, m);
    return m;
}

void expect_points(const Manifold& m, std::initializer_list<Vec3> points, double depth) {
    ASSERT_EQ(m.count, static_cast<int>(points.size()));
    int i = 0;
    for (Vec3 p : points) {
        EXPECT_TRUE(SameVec(m.points[i], p)) << "point " << i;
        EXPECT_TRUE(same_bits(m.depths[i], depth)) << "depth " << i << " = " << m.depths[i];
        ++i;
    }
}

TEST(BoxAxes, ParallelEdgePairsAreSkipped) {
    EXPECT_EQ(box_axes(identity(), identity()).count(), 12);
    const CandidateAxes turned = box_axes(kRx45, identity());
    EXPECT_EQ(turned.count(), 14);  // only A0 x B0 is parallel
    EXPECT_FALSE(turned.listed(8));  // lane 0 of group 2
    const CandidateAxes all = box_axes(identity(), matmul(kRz45, matmul(kRy45, kRx45)));
    EXPECT_EQ(all.count(), 15);
    // Edge axes are unit length; face axes are passed through as given.
    for (int lane = 8; lane < CandidateAxes::kLanes; ++lane) {
        if (lane % 4 != 3) {
            EXPECT_NEAR(length_squared(all.axis(lane)), 1.0, 1e-15);
        }
    }
    EXPECT_TRUE(SameVec(all.axis(0), {1, 0, 0}));
}

TEST(BoxSat, FaceContactAndTieToEarlierAxis) {
    // B2, A0xB1 and A1xB0 have the same overlap as A2; A2 comes first.
    const Manifold m = run(cube({0, 0, 0}), cube({0, 0, 1.5}));
    EXPECT_TRUE(SameVec(m.normal, {0, 0, 1}));
    expect_points(m, {{1, 1, 1}, {-1, 1, 1}, {-1, -1, 1}, {1, -1, 1}}, 0.5);
}

TEST(BoxSat, NormalPointsFromAToBWithNegativeZeros) {
    const Manifold m = run(cube({0, 0, 1.5}), cube({0, 0, 0}));
    EXPECT_TRUE(SameVec(m.normal, {-0.0, -0.0, -1}));
    expect_points(m, {{1, 1, 0.5}, {-1, 1, 0.5}, {-1, -1, 0.5}, {1, -1, 0.5}}, 0.5);
}

TEST(BoxSat, TouchingIsNotSeparated) {
    const Manifold m = run(cube({0, 0, 0}), cube({0, 0, 2}));
    EXPECT_TRUE(SameVec(m.normal, {0, 0, 1}));
    expect_points(m, {{1, 1, 1}, {-1, 1, 1}, {-1, -1, 1}, {1, -1, 1}}, 0.0);
}

TEST(BoxSat, SeparatedWritesNothing) {
    Vec3 normal = {7, 7, 7};
    Vec3 pts[MAX_CONTACTS] = {};
    double dep[MAX_CONTACTS] = {5, 5, 5, 5};
    EXPECT_EQ(box_sat(cube({0, 0, 0}), cube({0, 0, 2.0000001}), normal, pts, dep), 0);
    EXPECT_TRUE(SameVec(normal, {7, 7, 7}));
    EXPECT_EQ(dep[0], 5);
    EXPECT_TRUE(SameVec(run(cube({0, 0, 0}), cube({0, 0, 3})).normal, {0, 0, 0}));
}

TEST(BoxSat, CoincidentCentresUseFirstAxisUnnegated) {
    const Manifold m = run(cube({0, 0, 0}), cube({0, 0, 0}));
    EXPECT_TRUE(SameVec(m.normal, {1, 0, 0}));
    expect_points(m, {{1, 1, 1}, {1, -1, 1}, {1, -1, -1}, {1, 1, -1}}, 2.0);
}

TEST(BoxSat, SeparatedAlongEdgeAxisOnly) {
    const Manifold m = run(cube({0, 0, 0}), cube({0, 1.5, 2.5}, matmul(kRy45, kRx45)));
    EXPECT_EQ(m.count, 0);
}

TEST(BoxClip, IncidentBoxAsReferenceWhenBetterAligned) {
    // A (turned 45 deg about x) is less aligned with z than B: B is the
    // reference, two clipped vertices lie below its face and are dropped.
    const Manifold m = run(cube({0, 0, 0}, kRx45), cube({0, 0, 2}));
    EXPECT_TRUE(SameVec(m.normal, {0, 0, 1}));
    ASSERT_EQ(m.count, 2);
    EXPECT_NEAR(m.points[0].x, 1, 1e-15);
    EXPECT_NEAR(m.points[1].x, -1, 1e-15);
    for (int i = 0; i < 2; ++i) {
        EXPECT_NEAR(m.points[i].y, 0, 1e-15);
        EXPECT_EQ(m.points[i].z, 1.0);
        EXPECT_NEAR(m.depths[i], 2 * kS - 1, 1e-15);
    }
}

TEST(BoxClip, FallbackToMidpointOfCentres) {
    const Mat3 R = matmul(kRz45, matmul(kRy45, kRx45));
    const Manifold m = run(cube({0, 0, 0}), cube({0, 1.5, 2}, R));
    ASSERT_EQ(m.count, 1);
    EXPECT_TRUE(SameVec(m.points[0], {0, 0.75, 1}));
    EXPECT_NEAR(m.depths[0], 0.169102, 1e-6);
    EXPECT_TRUE(same_bits(m.normal.x, -0.0));
    EXPECT_NEAR(m.normal.y, 0.816497, 1e-6);
    EXPECT_NEAR(m.normal.z, 0.577350, 1e-6);
}

// The depth filter keeps vertices up to 1e-06 in front of the reference plane.
TEST(BoxClip, DepthSlop) {
    Vec3 pts[MAX_CONTACTS];
    double dep[MAX_CONTACTS];
    ASSERT_EQ(box_clip(cube({0, 0, 0}), cube({0, 0, 2 + 5e-7}), {0, 0, 1}, pts, dep, 0.25), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(pts[i].z, 1.0);
        EXPECT_TRUE(same_bits(dep[i], 0.0));
    }
    ASSERT_EQ(box_clip(cube({0, 0, 0}), cube({0, 0, 2 + 2e-6}), {0, 0, 1}, pts, dep, 0.25), 1);
    EXPECT_TRUE(SameVec(pts[0], {0, 0, (2 + 2e-6) * 0.5}));
    EXPECT_EQ(dep[0], 0.25);
}

TEST(BestFaceAxis, TiesKeepLowerIndexAndZeroCountsAsPositive) {
    FaceAxis f = best_face_axis(identity(), {1, 1, 0});
    EXPECT_EQ(f.index, 0);
    EXPECT_EQ(f.sign, 1.0);
    f = best_face_axis(identity(), {0, -2, 2});
    EXPECT_EQ(f.index, 1);
    EXPECT_EQ(f.sign, -1.0);
    f = best_face_axis(identity(), {0, 0, 0});
    EXPECT_EQ(f.index, 0);
    EXPECT_EQ(f.sign, 1.0);
    f = best_face_axis(identity(), {-0.0, 0, 0});
    EXPECT_EQ(f.sign, 1.0);
}

TEST(ClipPass, OnPlaneVertexEmittedOnceAndNoCrossingOnTouch) {
    Polygon in;
    for (Vec3 p : {Vec3{0, 0, 0}, Vec3{1, 0, 0}, Vec3{1, 1, 0}, Vec3{0, 1, 0}}) push(in, p);
    Polygon out;
    // x <= 1: two vertices on the plane, nothing cut; the input comes back.
    EXPECT_EQ(&clip_pass(in, {1, 0, 0}, 1.0, out), &in);
    const Polygon& cut = clip_pass(in, {1, 0, 0}, 0.5, out);  // cuts two edges
    ASSERT_EQ(&cut, &out);
    ASSERT_EQ(cut.n, 4);
    EXPECT_TRUE(SameVec(cut.v[1], {0.5, 0, 0}));
    EXPECT_TRUE(SameVec(cut.v[2], {0.5, 1, 0}));
    EXPECT_EQ(clip_pass(in, {1, 0, 0}, -1.0, out).n, 0);
}

TEST(ClipPass, EveryPolygonSizeMatchesTheScalarRule) {
    // One pass over 1..MAX_POLY vertices against a plane through the
    // middle: every lane grouping, including the wrap-around edge in each
    // position of its group of four, against a plain walk.
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(-1, 1);
    for (int n = 1; n <= MAX_POLY; ++n) {
        for (int trial = 0; trial < 200; ++trial) {
            Polygon in;
            for (int l = 0; l < n; ++l) push(in, {unit(rng), unit(rng), unit(rng)});
            const Vec3 P = {unit(rng), unit(rng), unit(rng)};
            const double U = 0.25 * unit(rng);
            std::vector<Vec3> expected;
            for (int l = 0; l < n; ++l) {
                const Vec3 V = in.v[l], W = in.v[(l + 1) % n];
                const double a = dot(P, V) - U, b = dot(P, W) - U;
                if (a <= 0) expected.push_back(V);
                if (a * b < 0) expected.push_back(add(V, mul(sub(W, V), a / (a - b))));
            }
            if (expected.size() > MAX_POLY) expected.resize(MAX_POLY);
            Polygon out;
            const Polygon& got = clip_pass(in, P, U, out);
            ASSERT_EQ(got.n, static_cast<int>(expected.size())) << "n=" << n;
            for (int l = 0; l < got.n; ++l) ASSERT_TRUE(SameVec(got.v[l], expected[l])) << "n=" << n;
        }
    }
}

TEST(ClipPass, EmissionStopsAtCapacity) {
    // Sixteen vertices whose plane distances alternate in sign: a pass would
    // emit 8 kept vertices and 16 crossings; it keeps the first MAX_POLY.
    Polygon in;
    for (int i = 0; i < MAX_POLY; ++i) push(in, {i % 2 ? 1e-17 : -1e-17, static_cast<double>(i), 0});
    Polygon out;
    const Polygon& got = clip_pass(in, {1, 0, 0}, 0.0, out);
    EXPECT_EQ(got.n, MAX_POLY);
    EXPECT_TRUE(SameVec(got.v[0], in.v[0]));
}

TEST(BoxBox, NearlyCoplanarInputsStayWithinBounds) {
    // Flattened, nearly coplanar boxes drive the clip polygon's vertices to
    // within rounding distance of the side planes. Under AddressSanitizer any
    // overrun of the fixed scratch would abort here.
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> tiny(-1e-15, 1e-15), unit(-1, 1);
    for (int trial = 0; trial < 20000; ++trial) {
        Mat3 Rb = identity();
        for (auto& row : Rb.m)
            for (double& x : row) x += tiny(rng);
        const double flat = trial % 3 == 0 ? 0.0 : tiny(rng);
        const OrientedBox a = {{0, 0, 0}, identity(), {1, 1, 1}};
        const OrientedBox b = {{1 + tiny(rng), unit(rng) * 1e-12, 1 + flat}, Rb, {tiny(rng) + 1e-300, 1, 1}};
        const Manifold m = run(a, b);
        ASSERT_GE(m.count, 0);
        ASSERT_LE(m.count, MAX_CONTACTS);
    }
}

TEST(ReduceManifold, KeepsUpToFourInOrder) {
    const Vec3 c[3] = {{3, 0, 0}, {1, 2, 3}, {-1, 0, 0}};
    const double d[3] = {0.3, 0.2, 0.1};
    Vec3 pts[MAX_CONTACTS];
    double dep[MAX_CONTACTS];
    ASSERT_EQ(reduce_manifold(c, d, 3, pts, dep), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(SameVec(pts[i], c[i]));
        EXPECT_EQ(dep[i], d[i]);
    }
}

TEST(ReduceManifold, PicksAsPlainScansDo) {
    // Five to MAX_POLY candidates on a coarse grid (so that distances tie
    // often), some repeated and some NaN, against the four scans written
    // out as plain loops that replace their best on a strictly greater value.
    std::mt19937_64 rng(11);
    std::uniform_int_distribution<int> cell(-2, 2), coin(0, 9);
    const auto scan = [](int k, auto value, double start) {
        int at = 0;
        double best = start;
        for (int j = 0; j < k; ++j)
            if (value(j) > best) {
                best = value(j);
                at = j;
            }
        return at;
    };
    for (int k = MAX_CONTACTS + 1; k <= MAX_POLY; ++k) {
        for (int trial = 0; trial < 300; ++trial) {
            std::vector<Vec3> c(static_cast<size_t>(k));
            std::vector<double> d(static_cast<size_t>(k));
            for (int j = 0; j < k; ++j) {
                c[j] = {0.5 * cell(rng), 0.5 * cell(rng), 0.25 * cell(rng)};
                if (j > 0 && coin(rng) == 0) c[j] = c[j - 1];
                if (coin(rng) == 0) c[j].y = NAN;
                d[j] = 0.01 * j;
            }
            const auto d2 = [&](int i, int j) { return length_squared(sub(c[i], c[j])); };
            const int i0 = scan(k, [&](int j) { return c[j].x; }, c[0].x);
            const int i1 = scan(k, [&](int j) { return d2(j, i0); }, -1.0);
            const int i2 = scan(k, [&](int j) { return sqrt(d2(j, i0)) + sqrt(d2(j, i1)); }, -1.0);
            const int i3 = scan(k, [&](int j) { return sqrt(d2(j, i2)); }, -1.0);
            std::vector<int> want;
            for (int pick : {i0, i1, i2, i3})
                if (std::find(want.begin(), want.end(), pick) == want.end()) want.push_back(pick);

            Vec3 pts[MAX_CONTACTS];
            double dep[MAX_CONTACTS];
            ASSERT_EQ(reduce_manifold(c.data(), d.data(), k, pts, dep), static_cast<int>(want.size())) << "k=" << k;
            for (size_t i = 0; i < want.size(); ++i) {
                ASSERT_TRUE(SameVec(pts[i], c[want[i]])) << "k=" << k << " pick " << i;
                ASSERT_TRUE(same_bits(dep[i], d[want[i]])) << "k=" << k << " pick " << i;
            }
        }
    }
}

struct ReduceCase {
    std::vector<Vec3> cand;
    std::vector<int> picks;
};

class ReduceManifold : public ::testing::TestWithParam<ReduceCase> {};

TEST_P(ReduceManifold, Picks) {
    const ReduceCase& c = GetParam();
    std::vector<double> depths;
    for (size_t i = 0; i < c.cand.size(); ++i) depths.push_back(0.1 * static_cast<double>(i + 1));
    Vec3 pts[MAX_CONTACTS];
    double dep[MAX_CONTACTS];
    const int m = reduce_manifold(c.cand.data(), depths.data(), static_cast<int>(c.cand.size()), pts, dep);
    ASSERT_EQ(m, static_cast<int>(c.picks.size()));
    for (int i = 0; i < m; ++i) {
        EXPECT_TRUE(SameVec(pts[i], c.cand[c.picks[i]])) << i;
        EXPECT_EQ(dep[i], depths[c.picks[i]]) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReduceManifold,
    ::testing::Values(
        // hexagon: i2 ties among 1, 2, 4, 5 and takes the first
        ReduceCase{{{1, 0, 0}, {0.5, 1, 0}, {-0.5, 1, 0}, {-1, 0, 0}, {-0.5, -1, 0}, {0.5, -1, 0}},
                   {0, 3, 1, 4}},
        ReduceCase{{{3, 0, 0}, {2, 0, 0}, {1, 0, 0}, {0, 0, 0}, {-1, 0, 0}}, {0, 4}},  // collinear
        ReduceCase{{{1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}}, {0}},       // coincident
        ReduceCase{{{1, 1, 0}, {-1, 1, 0}, {-1, -1, 0}, {1, -1, 0}, {0, 0, 0}}, {0, 2, 1, 3}}));

}  // namespace
}  // namespace zuli
