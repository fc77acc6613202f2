#include "contact/batch.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "contact/box.hpp"
#include "contact/sphere.hpp"
#include "test_util.hpp"

namespace zuli {
namespace {

using test::same_bits;
using test::SameVec;

// Stale data every row must overwrite.
constexpr double kStale = 12345.0;

struct Out {
    explicit Out(int P, int slots)
        : count(P, 99), normal(3 * P, kStale), points(3 * slots * P, kStale), depths(slots * P, kStale),
          rows{bytes(count), bytes(normal), bytes(points), bytes(depths), slots} {}
    template <class T>
    static char* bytes(std::vector<T>& v) {
        return reinterpret_cast<char*>(v.data());
    }
    std::vector<std::uint8_t> count;
    std::vector<double> normal, points, depths;
    ContactRows rows;
    Vec3 normal_of(int p) const { return {normal[3 * p], normal[3 * p + 1], normal[3 * p + 2]}; }
    Vec3 point(int p, int i) const {
        const double* v = &points[3 * (rows.slots * p + i)];
        return {v[0], v[1], v[2]};
    }
};

void expect_row(const Out& out, int p, const Manifold& want) {
    ASSERT_EQ(out.count[p], want.count) << "row " << p;
    EXPECT_TRUE(SameVec(out.normal_of(p), want.count ? want.normal : Vec3{0, 0, 0})) << "row " << p;
    for (int i = 0; i < out.rows.slots; ++i) {
        const bool live = i < want.count;
        EXPECT_TRUE(SameVec(out.point(p, i), live ? want.points[i] : Vec3{0, 0, 0})) << "row " << p << " slot " << i;
        EXPECT_TRUE(same_bits(out.depths[out.rows.slots * p + i], live ? want.depths[i] : 0.0));
    }
}

// Boxes laid out as (K, 3), (K, 3, 3), (K, 3) rows; a few overlap, some do not.
struct Boxes {
    std::vector<double> c, R, h;
    explicit Boxes(int K, double shift) {
        for (int k = 0; k < K; ++k) {
            const double a = 0.3 * k + shift, ca = std::cos(a), sa = std::sin(a);
            const double rot[9] = {ca, -sa, 0, sa, ca, 0, 0, 0, 1};
            c.insert(c.end(), {0.4 * k, 0.1 * shift, 0.9 * (k % 3)});
            R.insert(R.end(), rot, rot + 9);
            h.insert(h.end(), {0.5, 0.4 + 0.01 * k, 0.3});
        }
    }
    BoxRows rows() const {
        return {{reinterpret_cast<const char*>(c.data()), {24, 8, 0}},
                {reinterpret_cast<const char*>(R.data()), {72, 24, 8}},
                {reinterpret_cast<const char*>(h.data()), {24, 8, 0}}};
    }
};

TEST(Batch, BoxRowsMatchSinglePairsThroughIndexArrays) {
    const Boxes a(6, 0.0), b(5, 0.2);
    const std::vector<std::int32_t> pairs = {0, 0, 1, 1, 2, 4, 5, 3, 3, 0, 4, 2, 0, 4};
    const PairRows pr{reinterpret_cast<const char*>(pairs.data()), 8, 4, 4, 1, 1, 6, 5};
    const int P = static_cast<int>(pairs.size() / 2);
    Out out(P, MAX_CONTACTS);
    EXPECT_EQ(box_box_rows(a.rows(), b.rows(), pr, out.rows, 0, P), -1);
    int touching = 0;
    for (int p = 0; p < P; ++p) {
        Manifold want;
        box_box_contact(a.rows().box(pairs[2 * p]), b.rows().box(pairs[2 * p + 1]), want);
        touching += want.count > 0;
        expect_row(out, p, want);
    }
    EXPECT_GT(touching, 0);
    EXPECT_LT(touching, P);
}

// The rows store every slot of a zeroed Manifold as it stands, so the
// routines must write nothing past the count, and leave a separated pair's
// normal zero: checked from a Manifold filled with a marker.
TEST(Batch, RoutinesWriteNoSlotPastTheCount) {
    Manifold marked;
    std::memset(&marked, 0x5a, sizeof marked);
    const auto expect_untouched = [&](const Manifold& m, const char* what, int i) {
        for (int s = m.count; s < MAX_CONTACTS; ++s) {
            EXPECT_TRUE(SameVec(m.points[s], marked.points[s])) << what << " " << i << " slot " << s;
            EXPECT_TRUE(same_bits(m.depths[s], marked.depths[s])) << what << " " << i << " slot " << s;
        }
        if (m.count == 0) {
            EXPECT_TRUE(SameVec(m.normal, Vec3{0, 0, 0})) << what << " " << i;
        }
    };
    const Boxes a(9, 0.0), b(9, 0.7);
    int counts[MAX_CONTACTS + 1] = {};
    for (int i = 0; i < 81; ++i) {
        OrientedBox p = a.rows().box(i / 9), q = b.rows().box(i % 9);
        if (i == 80) q.c.x = NAN;
        Manifold m = marked;
        box_box_contact(p, q, m);
        ++counts[m.count];
        expect_untouched(m, "box_box", i);
        m = marked;
        sphere_box_contact(p.c, 0.35, q, m);
        expect_untouched(m, "sphere_box", i);
        m = marked;
        sphere_sphere_contact(p.c, 0.35, q.c, 0.3, m);
        expect_untouched(m, "sphere_sphere", i);
    }
    EXPECT_GT(counts[0], 0);
    EXPECT_GT(counts[MAX_CONTACTS], 0);
}

TEST(Batch, OneSphereAgainstManyWithSharedRadius) {
    const std::vector<double> one = {0.0, 0.0, 0.0};
    std::vector<double> many;
    for (int k = 0; k < 6; ++k) many.insert(many.end(), {0.5 * k, 0.0, 0.0});
    const double r = 0.6;
    const SphereRows a{{reinterpret_cast<const char*>(one.data()), {0, 8, 0}}, {reinterpret_cast<const char*>(&r), {0}}};
    const SphereRows b{{reinterpret_cast<const char*>(many.data()), {24, 8, 0}}, {reinterpret_cast<const char*>(&r), {0}}};
    PairRows pr;
    pr.step_a = 0;
    Out out(6, 1);
    EXPECT_EQ(sphere_sphere_rows(a, b, pr, out.rows, 0, 6), -1);
    for (int p = 0; p < 6; ++p) {
        Manifold want;
        sphere_sphere_contact({0, 0, 0}, r, {0.5 * p, 0, 0}, r, want);
        expect_row(out, p, want);
    }
    EXPECT_EQ(out.count[5], 0);  // 2.5 apart: separated, and the stale row was cleared
}

TEST(Batch, FirstBadPairReportsRowSideAndIndex) {
    const std::vector<std::int64_t> pairs = {0, 1, 2, 0, 1, -1, 5, 0};
    PairRows pr{reinterpret_cast<const char*>(pairs.data()), 16, 8, 8, 1, 1, 3, 2};
    const BadPair bad = first_bad_pair(pr, 4);
    EXPECT_EQ(bad.row, 2);
    EXPECT_EQ(bad.side, 1);
    EXPECT_EQ(bad.index, -1);
    EXPECT_EQ(first_bad_pair(pr, 2).row, -1);
    pr.rows_a = 5;
    EXPECT_EQ(first_bad_pair(pr, 4).row, 2);
    pr.rows_a = 3;
    pr.base += 48;
    const BadPair too_big = first_bad_pair(pr, 1);
    EXPECT_EQ(too_big.side, 0);
    EXPECT_EQ(too_big.index, 5);
}

// Pairs that changed after the check (here: never checked) must not lead a
// row outside its side, which the sanitizer build would catch as a read
// past the bodies' vectors: each such row is stored as separated, and the
// first is reported.
TEST(Batch, RowsNeverReadABodyOutsideTheirSide) {
    const Boxes a(3, 0.0), b(2, 0.2);
    const std::vector<std::int32_t> pairs = {0, 0, 3, 1, 1, -1, 2, 1, -5, 7};
    const PairRows pr{reinterpret_cast<const char*>(pairs.data()), 8, 4, 4, 1, 1, 3, 2};
    Out out(5, MAX_CONTACTS);
    EXPECT_EQ(box_box_rows(a.rows(), b.rows(), pr, out.rows, 0, 5), 1);
    EXPECT_EQ(box_box_rows(a.rows(), b.rows(), pr, out.rows, 2, 5), 2);
    EXPECT_EQ(box_box_rows(a.rows(), b.rows(), pr, out.rows, 3, 4), -1);
    for (int p = 0; p < 5; ++p) {
        Manifold want{};
        const bool inside = p == 0 || p == 3;
        if (inside) box_box_contact(a.rows().box(pairs[2 * p]), b.rows().box(pairs[2 * p + 1]), want);
        expect_row(out, p, want);
    }
    const std::vector<double> centres = {0, 0, 0, 0.5, 0, 0};
    const double r = 0.3;
    const SphereRows s{{reinterpret_cast<const char*>(centres.data()), {24, 8, 0}},
                       {reinterpret_cast<const char*>(&r), {0}}};
    const PairRows two{pr.base, 8, 4, 4, 1, 1, 2, 2};
    Out sphere_out(5, 1);
    EXPECT_EQ(sphere_sphere_rows(s, s, two, sphere_out.rows, 0, 5), 1);
    EXPECT_EQ(sphere_box_rows(s, b.rows(), two, sphere_out.rows, 0, 5), 1);
}

}  // namespace
}  // namespace zuli
