#include "batch.hpp"

#include "box.hpp"
#include "sphere.hpp"

namespace zuli {

BadPair first_bad_pair(const PairRows& pairs, std::ptrdiff_t P) {
    for (std::ptrdiff_t p = 0; p < P; ++p) {
        std::int64_t a = pairs.a(p), b = pairs.b(p);
        if (a < 0 || a >= pairs.rows_a) return {p, 0, a};
        if (b < 0 || b >= pairs.rows_b) return {p, 1, b};
    }
    return {};
}

void ContactRows::store(std::ptrdiff_t p, const Manifold& m) const {
    // m started zeroed and the routines write no slot past the count, so
    // every slot is copied as it stands (sizes fixed, for plain moves).
    count[p] = static_cast<char>(m.count);
    std::memcpy(normal + p * sizeof m.normal, &m.normal, sizeof m.normal);
    if (slots == MAX_CONTACTS) {
        std::memcpy(points + p * sizeof m.points, m.points, sizeof m.points);
        std::memcpy(depths + p * sizeof m.depths, m.depths, sizeof m.depths);
    } else {
        std::memcpy(points + p * sizeof(Vec3), m.points, sizeof(Vec3));
        std::memcpy(depths + p * sizeof(double), m.depths, sizeof(double));
    }
}

namespace {

// Rows [begin, end): contact(i, k, m) for each pair whose rows lie inside
// their sides, then the row's store.
template <class Contact>
[[gnu::always_inline]] inline std::ptrdiff_t run_rows(const PairRows& pairs, const ContactRows& out,
                                                      std::ptrdiff_t begin, std::ptrdiff_t end, Contact contact) {
    std::ptrdiff_t changed = -1;
    for (std::ptrdiff_t p = begin; p < end; ++p) {
        std::int64_t i, k;
        Manifold m{};
        if (pairs.rows(p, i, k))
            contact(i, k, m);
        else if (changed < 0)
            changed = p;
        out.store(p, m);
    }
    return changed;
}

}  // namespace

std::ptrdiff_t box_box_rows(const BoxRows& a, const BoxRows& b, const PairRows& pairs, const ContactRows& out,
                            std::ptrdiff_t begin, std::ptrdiff_t end) {
    return run_rows(pairs, out, begin, end,
                    [&](std::int64_t i, std::int64_t k, Manifold& m) { box_box_contact(a.box(i), b.box(k), m); });
}

std::ptrdiff_t sphere_sphere_rows(const SphereRows& a, const SphereRows& b, const PairRows& pairs,
                                  const ContactRows& out, std::ptrdiff_t begin, std::ptrdiff_t end) {
    return run_rows(pairs, out, begin, end, [&](std::int64_t i, std::int64_t k, Manifold& m) {
        sphere_sphere_contact(a.c.vec3(i), a.r.at(i), b.c.vec3(k), b.r.at(k), m);
    });
}

std::ptrdiff_t sphere_box_rows(const SphereRows& s, const BoxRows& b, const PairRows& pairs, const ContactRows& out,
                               std::ptrdiff_t begin, std::ptrdiff_t end) {
    return run_rows(pairs, out, begin, end, [&](std::int64_t i, std::int64_t k, Manifold& m) {
        sphere_box_contact(s.c.vec3(i), s.r.at(i), b.box(k), m);
    });
}

}  // namespace zuli
