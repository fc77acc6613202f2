#include "contact/sphere.hpp"

#include "test_util.hpp"

namespace zuli {
namespace {

using test::identity;
using test::same_bits;
using test::SameVec;

TEST(Norm3, SafeRangeUsesSquareRoot) {
    EXPECT_EQ(norm3(3, 4, 12), 13.0);
    EXPECT_EQ(norm3(0, 0, 0), 0.0);
}

TEST(Norm3, TinyAndHugeUseHypot) {
    EXPECT_EQ(norm3(1e-150, 0, 0), 1e-150);  // square underflows below 1e-280
    EXPECT_EQ(norm3(0, 1e200, 0), 1e200);    // square overflows
    EXPECT_EQ(norm3(0, 0, -3e-160), 3e-160);
    EXPECT_TRUE(isnan(norm3(NAN, 0, 0)));
    EXPECT_EQ(norm3(INFINITY, NAN, 0), INFINITY);  // hypot: infinity wins over NaN
}

struct SphereCase {
    Vec3 ca;
    double ra;
    Vec3 cb;
    double rb;
    int count;
    Vec3 normal, point;
    double depth;
};

class SphereSphere : public ::testing::TestWithParam<SphereCase> {};

TEST_P(SphereSphere, Contact) {
    const SphereCase& c = GetParam();
    Manifold m;
    sphere_sphere_contact(c.ca, c.ra, c.cb, c.rb, m);
    ASSERT_EQ(m.count, c.count);
    EXPECT_TRUE(SameVec(m.normal, c.normal));
    if (c.count == 1) {
        EXPECT_TRUE(SameVec(m.points[0], c.point));
        EXPECT_TRUE(same_bits(m.depths[0], c.depth)) << m.depths[0];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SphereSphere,
    ::testing::Values(SphereCase{{0, 0, 0}, 1, {1.5, 0, 0}, 1, 1, {1, 0, 0}, {0.75, 0, 0}, 0.5},
                      SphereCase{{0, 0, 0}, 1, {2, 0, 0}, 1, 0, {0, 0, 0}, {}, 0},  // touching
                      SphereCase{{1, 2, 3}, 1, {1, 2, 3}, 0.5, 1, {0, 1, 0}, {1, 2.25, 3}, 1.5},
                      SphereCase{{0, 0, 0}, 0, {0, 0, 0}, 0, 0, {0, 0, 0}, {}, 0},
                      // distance 1e-150 (from hypot) is below 1e-9: fallback normal
                      SphereCase{{0, 0, 0}, 1e-150, {1e-150, 0, 0}, 1e-150, 1, {0, 1, 0},
                                 {0, 5e-151, 0}, 1e-150},
                      SphereCase{{0, 0, 0}, 1e199, {1e200, 0, 0}, 1e199, 0, {0, 0, 0}, {}, 0}));

TEST(SphereSphere, FallbackNormalUpToAndIncluding1e9) {
    for (double dx : {1e-10, 1e-9}) {
        Manifold m;
        sphere_sphere_contact({0, 0, 0}, 1, {dx, 0, 0}, 1, m);
        EXPECT_TRUE(SameVec(m.normal, {0, 1, 0})) << dx;
    }
    Manifold m;
    sphere_sphere_contact({0, 0, 0}, 1, {1.5e-9, 0, 0}, 1, m);
    EXPECT_TRUE(SameVec(m.normal, {1, 0, 0}));
}

TEST(SphereSphere, NanIsNotSeparation) {
    Manifold m;
    sphere_sphere_contact({NAN, 0, 0}, 1, {1, 0, 0}, 1, m);
    EXPECT_EQ(m.count, 1);
    EXPECT_TRUE(SameVec(m.normal, {0, 1, 0}));
    EXPECT_TRUE(isnan(m.depths[0]));
}

struct BoxCase {
    Vec3 cs;
    double rs;
    Vec3 h;
    Mat3 R;
    int count;
    Vec3 normal, point;
    double depth;
};

class SphereBox : public ::testing::TestWithParam<BoxCase> {};

TEST_P(SphereBox, Contact) {
    const BoxCase& c = GetParam();
    Manifold m;
    sphere_box_contact(c.cs, c.rs, {{0, 0, 0}, c.R, c.h}, m);
    ASSERT_EQ(m.count, c.count);
    EXPECT_TRUE(SameVec(m.normal, c.normal));
    if (c.count == 1) {
        EXPECT_TRUE(SameVec(m.points[0], c.point));
        EXPECT_TRUE(same_bits(m.depths[0], c.depth)) << m.depths[0];
    }
}

const Vec3 kUnit = {1, 1, 1};
const Mat3 kTurned = {{{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}};

INSTANTIATE_TEST_SUITE_P(
    Cases, SphereBox,
    ::testing::Values(
        BoxCase{{2, 0, 0}, 1.5, kUnit, identity(), 1, {-1, -0.0, -0.0}, {1, 0, 0}, 0.5},
        BoxCase{{3, 0, 0}, 1, kUnit, identity(), 0, {0, 0, 0}, {}, 0},
        BoxCase{{2, 0, 0}, 1, kUnit, identity(), 1, {-1, -0.0, -0.0}, {1, 0, 0}, 0.0},
        BoxCase{{2, 2, 0}, 1.5, kUnit, identity(), 1,
                {-0.7071067811865475, -0.7071067811865475, -0.0}, {1, 1, 0}, 0.08578643762690485},
        BoxCase{{0.5, 0.2, 0}, 0.25, kUnit, identity(), 1, {-1, -0.0, -0.0}, {0.5, 0.2, 0}, 0.75},
        BoxCase{{-0.5, 0, 0}, 0.25, kUnit, identity(), 1, {1, -0.0, -0.0}, {-0.5, 0, 0}, 0.75},
        BoxCase{{0, 0, 0}, 0.25, kUnit, identity(), 1, {-1, -0.0, -0.0}, {0, 0, 0}, 1.25},
        BoxCase{{0, 0, 0}, 0.25, {2, 1, 1}, identity(), 1, {-0.0, -1, -0.0}, {0, 0, 0}, 1.25},
        BoxCase{{1 + 5e-10, 0, 0}, 0.25, kUnit, identity(), 1, {-1, -0.0, -0.0}, {1, 0, 0},
                0.24999999949999996},
        BoxCase{{0, 2.5, 0}, 1, {2, 1, 1}, kTurned, 1, {-0.0, -1, -0.0}, {0, 2, 0}, 0.5},
        BoxCase{{0, 0, 0}, 0.5, {0, 0, 0}, identity(), 1, {-1, -0.0, -0.0}, {0, 0, 0}, 0.5}));

}  // namespace
}  // namespace zuli
