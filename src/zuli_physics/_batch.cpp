// zuli_physics._batch: the native part of zuli_physics.batch (which documents
// the functions and gives them Python signatures), contacts for many box and
// sphere pairs per call.
//
// The arguments are checked and the outputs found or allocated while the
// interpreter lock is held; then the lock is released and the rows run,
// split over worker threads when asked. Nothing is written before every
// check has passed, so a refused call leaves caller-owned outputs untouched.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <atomic>
#include <string>

#include "bind/arrays.hpp"
#include "contact/batch.hpp"
#include "parallel/workers.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zuli;
using namespace zuli::bind;

namespace {

// Rows per thread below which a split costs more than it saves: waking a
// worker takes some tens of microseconds here, and a chunk must be worth
// several times that (about 150 ns per box pair, 15 ns per sphere pair).
constexpr std::ptrdiff_t kMinBoxRowsPerThread = 1024;
constexpr std::ptrdiff_t kMinSphereRowsPerThread = 8192;

// Python objects created once at import and kept for the life of the process.
struct Types {
    PyObject* box_contacts;
    PyObject* sphere_contacts;
} types;

// One side of a batch: its rows and how many there are.
struct Side {
    const char* letter;  // "A" or "B"
    std::int64_t rows;
};

struct BoxArgs {
    InArray c, R, h;
    BoxRows rows() const { return {strided(c), strided(R), strided(h)}; }
};

BoxArgs box_side(const char* fn, nb::handle c, nb::handle R, nb::handle h, const char* cn, const char* Rn,
                 const char* hn, const char* K) {
    BoxArgs b;
    b.c = input(c, {fn, cn}, Elem::Float64, {{-1, 3}, [&] { return std::string("(") + K + ", 3)"; }});
    const std::int64_t k = static_cast<std::int64_t>(b.c.shape(0));
    const auto fixed = [&] { return " with " + std::string(K) + " = " + std::to_string(k) + " from '" + cn + "'"; };
    b.R = input(R, {fn, Rn}, Elem::Float64, {{k, 3, 3}, [&] { return std::string("(") + K + ", 3, 3)" + fixed(); }});
    b.h = input(h, {fn, hn}, Elem::Float64, {{k, 3}, [&] { return std::string("(") + K + ", 3)" + fixed(); }});
    return b;
}

// Centres and radii of spheres; a radius given as a number serves every row
// through a stride of 0.
struct SphereArgs {
    InArray c, r;
    double radius = 0.0;
    SphereRows rows() const {
        return {strided(c), r.is_valid() ? strided(r) : Strided{reinterpret_cast<const char*>(&radius), {0, 0, 0}}};
    }
};

// A radius argument: one number (converted first, see if_one_number()) or
// an array taken with its side's centres.
struct RadiusArg {
    nb::handle obj;
    const char* name;
    std::optional<double> number;
};

RadiusArg radius_arg(const char* fn, nb::handle r, const char* rn) { return {r, rn, if_one_number(r, {fn, rn})}; }

SphereArgs sphere_side(const char* fn, nb::handle c, const RadiusArg& r, const char* cn, const char* K) {
    SphereArgs s;
    s.c = input(c, {fn, cn}, Elem::Float64, {{-1, 3}, [&] { return std::string("(") + K + ", 3)"; }});
    const std::int64_t k = static_cast<std::int64_t>(s.c.shape(0));
    if (r.number) {
        s.radius = *r.number;
    } else {
        s.r = input(r.obj, {fn, r.name}, Elem::Float64,
                    {{k}, [&] {
                         return std::string("(") + K + ",) with " + K + " = " + std::to_string(k) + " from '" + cn +
                                "', or one number";
                     }});
    }
    return s;
}

// Rows paired by the `pairs` array, or implicitly when it is None.
struct Pairing {
    InArray array;
    PairRows rows;
    std::ptrdiff_t count = 0;
};

Pairing pairing(const char* fn, nb::handle pairs, Side a, Side b) {
    Pairing p;
    p.rows.rows_a = a.rows;
    p.rows.rows_b = b.rows;
    if (pairs.is_none()) {
        if (a.rows == b.rows) {
            p.count = a.rows;
        } else if (a.rows == 1) {
            p.count = b.rows;
            p.rows.step_a = 0;
        } else if (b.rows == 1) {
            p.count = a.rows;
            p.rows.step_b = 0;
        } else {
            throw nb::value_error((std::string(fn) + "(): side A has " + std::to_string(a.rows) +
                                   " rows and side B " + std::to_string(b.rows) +
                                   "; without 'pairs' the sides must have as many rows, or one of them a single row")
                                      .c_str());
        }
        return p;
    }
    p.array = input(pairs, {fn, "pairs"}, Elem::Index, {{-1, 2}, "(P, 2)"});
    p.count = static_cast<std::ptrdiff_t>(p.array.shape(0));
    const auto width = static_cast<std::ptrdiff_t>(p.array.itemsize());
    p.rows.base = static_cast<const char*>(p.array.data());
    p.rows.s0 = static_cast<std::ptrdiff_t>(p.array.stride(0)) * width;
    p.rows.s1 = static_cast<std::ptrdiff_t>(p.array.stride(1)) * width;
    p.rows.width = static_cast<int>(width);
    return p;
}

// Every index of the `pairs` array inside its side. A pass over all the
// rows, so it comes after the checks and allocations that cost nothing per
// row: a call that cannot have its outputs is refused at once.
void check_pair_indices(const char* fn, const Pairing& p, Side a, Side b) {
    if (!p.array.is_valid()) return;
    BadPair bad;
    {
        nb::gil_scoped_release unlocked;
        bad = first_bad_pair(p.rows, p.count);
    }
    if (bad.row >= 0) {
        const Side& side = bad.side == 0 ? a : b;
        throw nb::index_error((std::string(fn) + "() argument 'pairs': row " + std::to_string(bad.row) + " has index " +
                               std::to_string(bad.index) + " for side " + side.letter + ", which has " +
                               std::to_string(side.rows) + (side.rows == 1 ? " row" : " rows"))
                                  .c_str());
    }
}

// The four result arrays: the caller's (`out`), checked, or new ones.
struct Outputs {
    nb::object result;  // the named tuple handed back
    OutArray count, normal, points, depths;
    ContactRows rows(int slots) const {
        return {static_cast<char*>(count.data()), static_cast<char*>(normal.data()), static_cast<char*>(points.data()),
                static_cast<char*>(depths.data()), slots};
    }
};

Outputs outputs(const char* fn, nb::handle out, PyObject* type, std::ptrdiff_t P, int slots) {
    const std::int64_t n = P;
    nb::object arrays;
    if (out.is_none()) {
        arrays = make_named(type, {new_array({n}, Dtype::UInt8), new_array({n, 3}, Dtype::Float64),
                                   slots == 1 ? new_array({n, 3}, Dtype::Float64) : new_array({n, slots, 3}, Dtype::Float64),
                                   slots == 1 ? new_array({n}, Dtype::Float64) : new_array({n, slots}, Dtype::Float64)});
    } else {
        const char* tname = slots == 1 ? "SphereContacts" : "BoxContacts";
        if (!PyTuple_Check(out.ptr()) || PyTuple_GET_SIZE(out.ptr()) != 4)
            throw nb::type_error((std::string(fn) + "() argument 'out' must be a " + tname +
                                  " or a tuple of 4 arrays (count, normal, points, depths), not " +
                                  nb::type_name(out.type()).c_str())
                                     .c_str());
        // The tuple's own items: indexing through its type could run a
        // subclass's __getitem__ while the inputs' data are held.
        const nb::tuple given = nb::borrow<nb::tuple>(out);
        arrays = Py_TYPE(out.ptr()) == reinterpret_cast<PyTypeObject*>(type)
                     ? nb::borrow(out)
                     : make_named(type, {given[0], given[1], given[2], given[3]});
    }
    Outputs o;
    o.result = arrays;
    nb::tuple t = nb::borrow<nb::tuple>(arrays);
    o.count = output(t[0], {fn, "out.count"}, Elem::UInt8, {{n}, [&] { return shape_text({n}); }});
    o.normal = output(t[1], {fn, "out.normal"}, Elem::Float64, {{n, 3}, [&] { return shape_text({n, 3}); }});
    if (slots == 1) {
        o.points = output(t[2], {fn, "out.points"}, Elem::Float64, {{n, 3}, [&] { return shape_text({n, 3}); }});
        o.depths = output(t[3], {fn, "out.depths"}, Elem::Float64, {{n}, [&] { return shape_text({n}); }});
    } else {
        o.points = output(t[2], {fn, "out.points"}, Elem::Float64,
                          {{n, slots, 3}, [&] { return shape_text({n, slots, 3}); }});
        o.depths = output(t[3], {fn, "out.depths"}, Elem::Float64,
                          {{n, slots}, [&] { return shape_text({n, slots}); }});
    }
    return o;
}

// Outputs must not share memory with each other or with any input: rows
// written early would change what later rows read, or one output would
// overwrite another.
void check_disjoint(const char* fn, const Outputs& o, std::initializer_list<std::pair<const char*, const InArray*>> inputs) {
    const std::pair<const char*, Span> outs[] = {
        {"out.count", span(o.count)}, {"out.normal", span(o.normal)},
        {"out.points", span(o.points)}, {"out.depths", span(o.depths)}};
    for (size_t i = 0; i < 4; ++i) {
        for (size_t k = i + 1; k < 4; ++k)
            if (outs[i].second.intersects(outs[k].second))
                throw nb::value_error((std::string(fn) + "() argument 'out': " + outs[i].first + " and " +
                                       outs[k].first + " share memory")
                                          .c_str());
        for (const auto& [name, array] : inputs)
            if (array->is_valid() && outs[i].second.intersects(span(*array)))
                throw nb::value_error((std::string(fn) + "() argument 'out': " + outs[i].first +
                                       " shares memory with the input '" + name + "'")
                                          .c_str());
    }
}

// Runs rows(begin, end) over [0, P), in contiguous chunks on up to `threads`
// threads, with the interpreter lock released. The pairs' indices were all
// inside their sides when checked; should a chunk find one outside after
// all, the caller's `pairs` changed during the call (another thread or
// process wrote it), and the call says so rather than return the rows.
template <class Rows>
void run_rows(const char* fn, std::ptrdiff_t P, int threads, std::ptrdiff_t min_rows, const Rows& rows) {
    std::atomic<std::ptrdiff_t> changed{P};
    {
        nb::gil_scoped_release unlocked;
        // Rows cost about the same each: equal chunks, four a thread (a least
        // chunk of all the rows). Chunks shrinking towards the end measured
        // slower at 4,096 box pairs on two threads (1.74x-1.75x the speed of
        // one, against 1.85x-1.86x), and 16 equal chunks a thread too
        // (1.86x-1.97x against 1.99x-2.04x).
        const Plan split = plan(P, threads, min_rows, P);
        auto chunk = [&](int c) {
            const std::ptrdiff_t row = rows(split.begin(c), split.begin(c + 1));
            if (row < 0) return;
            std::ptrdiff_t least = changed.load();
            while (row < least && !changed.compare_exchange_weak(least, row)) {
            }
        };
        parallel_for(split.chunks, split.threads, chunk);
    }
    if (changed.load() < P)
        throw nb::builtin_exception(
            nb::exception_type::runtime_error,
            (std::string(fn) + "() argument 'pairs' changed during the call: row " + std::to_string(changed.load()) +
             " then held an index outside its side (rows read so were written as separated)")
                .c_str());
}

nb::object box_box(nb::handle ca, nb::handle Ra, nb::handle ha, nb::handle cb, nb::handle Rb, nb::handle hb,
                   nb::handle pairs, nb::handle out, nb::handle threads) {
    const char* fn = "box_box";
    const int n = thread_count(fn, threads);
    const BoxArgs a = box_side(fn, ca, Ra, ha, "ca", "Ra", "ha", "KA");
    const BoxArgs b = box_side(fn, cb, Rb, hb, "cb", "Rb", "hb", "KB");
    const Side side_a = {"A", static_cast<std::int64_t>(a.c.shape(0))};
    const Side side_b = {"B", static_cast<std::int64_t>(b.c.shape(0))};
    const Pairing p = pairing(fn, pairs, side_a, side_b);
    const Outputs o = outputs(fn, out, types.box_contacts, p.count, MAX_CONTACTS);
    check_disjoint(fn, o, {{"ca", &a.c}, {"Ra", &a.R}, {"ha", &a.h}, {"cb", &b.c}, {"Rb", &b.R}, {"hb", &b.h},
                           {"pairs", &p.array}});
    check_pair_indices(fn, p, side_a, side_b);
    const BoxRows ar = a.rows(), br = b.rows();
    const ContactRows rows = o.rows(MAX_CONTACTS);
    run_rows(fn, p.count, n, kMinBoxRowsPerThread,
             [&](std::ptrdiff_t begin, std::ptrdiff_t end) { return box_box_rows(ar, br, p.rows, rows, begin, end); });
    return o.result;
}

nb::object sphere_sphere(nb::handle ca, nb::handle ra, nb::handle cb, nb::handle rb, nb::handle pairs,
                         nb::handle out, nb::handle threads) {
    const char* fn = "sphere_sphere";
    const int n = thread_count(fn, threads);
    const RadiusArg radius_a = radius_arg(fn, ra, "ra"), radius_b = radius_arg(fn, rb, "rb");
    const SphereArgs a = sphere_side(fn, ca, radius_a, "ca", "KA");
    const SphereArgs b = sphere_side(fn, cb, radius_b, "cb", "KB");
    const Side side_a = {"A", static_cast<std::int64_t>(a.c.shape(0))};
    const Side side_b = {"B", static_cast<std::int64_t>(b.c.shape(0))};
    const Pairing p = pairing(fn, pairs, side_a, side_b);
    const Outputs o = outputs(fn, out, types.sphere_contacts, p.count, 1);
    check_disjoint(fn, o, {{"ca", &a.c}, {"ra", &a.r}, {"cb", &b.c}, {"rb", &b.r}, {"pairs", &p.array}});
    check_pair_indices(fn, p, side_a, side_b);
    const SphereRows ar = a.rows(), br = b.rows();
    const ContactRows rows = o.rows(1);
    run_rows(fn, p.count, n, kMinSphereRowsPerThread, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        return sphere_sphere_rows(ar, br, p.rows, rows, begin, end);
    });
    return o.result;
}

nb::object sphere_box(nb::handle cs, nb::handle rs, nb::handle cb, nb::handle Rb, nb::handle hb, nb::handle pairs,
                      nb::handle out, nb::handle threads) {
    const char* fn = "sphere_box";
    const int n = thread_count(fn, threads);
    const SphereArgs s = sphere_side(fn, cs, radius_arg(fn, rs, "rs"), "cs", "KA");
    const BoxArgs b = box_side(fn, cb, Rb, hb, "cb", "Rb", "hb", "KB");
    const Side side_a = {"A", static_cast<std::int64_t>(s.c.shape(0))};
    const Side side_b = {"B", static_cast<std::int64_t>(b.c.shape(0))};
    const Pairing p = pairing(fn, pairs, side_a, side_b);
    const Outputs o = outputs(fn, out, types.sphere_contacts, p.count, 1);
    check_disjoint(fn, o, {{"cs", &s.c}, {"rs", &s.r}, {"cb", &b.c}, {"Rb", &b.R}, {"hb", &b.h},
                           {"pairs", &p.array}});
    check_pair_indices(fn, p, side_a, side_b);
    const SphereRows sr = s.rows();
    const BoxRows br = b.rows();
    const ContactRows rows = o.rows(1);
    run_rows(fn, p.count, n, kMinBoxRowsPerThread, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        return sphere_box_rows(sr, br, p.rows, rows, begin, end);
    });
    return o.result;
}

// The result types, made here so that the functions can build them; the
// package module documents them.
PyObject* named_tuple(nb::handle module, const char* name) {
    nb::object type = nb::module_::import_("collections")
                          .attr("namedtuple")(name, nb::make_tuple("count", "normal", "points", "depths"),
                                              "module"_a = "zuli_physics.batch");
    module.attr(name) = type;
    return type.release().ptr();
}

}  // namespace

NB_MODULE(_batch, m) {
    m.doc() = "Native part of zuli_physics.batch, which documents these functions.";
    types.box_contacts = named_tuple(m, "BoxContacts");
    types.sphere_contacts = named_tuple(m, "SphereContacts");

    // Every argument is let through, None included, so that the checks here
    // name the one that is wrong (nanobind would list the signature instead).
    m.def("box_box", &box_box, "ca"_a.none(), "Ra"_a.none(), "ha"_a.none(), "cb"_a.none(), "Rb"_a.none(),
          "hb"_a.none(), "pairs"_a.none(), "out"_a.none(), "threads"_a.none());
    m.def("sphere_sphere", &sphere_sphere, "ca"_a.none(), "ra"_a.none(), "cb"_a.none(), "rb"_a.none(),
          "pairs"_a.none(), "out"_a.none(), "threads"_a.none());
    m.def("sphere_box", &sphere_box, "cs"_a.none(), "rs"_a.none(), "cb"_a.none(), "Rb"_a.none(), "hb"_a.none(),
          "pairs"_a.none(), "out"_a.none(), "threads"_a.none());
}
