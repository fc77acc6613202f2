"""zuli_physics.mesh: every query against brute force over all triangles,
bit for bit, and the mesh's refusals, outputs, threads and pickling."""

import copy
import os
import pickle
import subprocess
import sys
import threading
import weakref
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from conftest import Reallocating, outcomes_while_rewritten, unaligned, vec
from meshes import Bounds, brute, capsules, height, soup, terrain

from zuli_physics import _collide_native as native
from zuli_physics import mesh

QUERIES = int(os.environ.get("ZULI_MESH_QUERIES", "10000"))


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and bool(np.all(a.view(np.uint8) == b.view(np.uint8)))


def check_queries(m, tris, queries):
    """Every query equals brute force; returns the number of hits seen."""
    tris = Bounds(tris)
    hits = 0
    for c0, c1, radius in queries:
        got = m.capsule(c0, c1, radius)
        want = brute(tris, c0, c1, radius)
        assert same_bits(got.triangle, want[0].astype(np.int64)), (c0, c1, radius)
        for g, w in zip(got[1:], want[1:]):
            assert same_bits(g, w), (c0, c1, radius)
        hits += len(got.triangle)
    return hits


@pytest.fixture(scope="module")
def terrain64():
    V, F = terrain(64)
    return mesh.TriangleMesh(V, F), V[F]


@pytest.mark.parametrize("g, share", [(64, 0.7), (256, 0.3)])
def test_terrain_queries_match_brute_force(g, share):
    V, F = terrain(g)
    m = mesh.TriangleMesh(V, F.astype(np.int32))
    tris = V[F]
    rng = np.random.default_rng(g)
    n = max(1, int(QUERIES * share)) if g == 64 else max(1, QUERIES // 40)
    queries = capsules(rng, n, [0, 0, 0], [g * 0.5, g * 0.5, 0], ground=height)
    assert check_queries(m, tris, queries) > n // 4


@pytest.mark.parametrize("scale", [1.0, 1e-100, 1e100])
def test_random_meshes_at_every_scale(scale):
    # At 1e-100 every triangle is degenerate to the contact step (its
    # thresholds are absolute): no hits, still the brute-force answer.
    rng = np.random.default_rng(11)
    hits = 0
    count = max(1, QUERIES // 4) // 6
    for seed in range(6):
        tris = soup(300, seed) * scale
        m = mesh.TriangleMesh.from_triangles(tris)
        queries = [(c0 * scale, c1 * scale, r * scale) for c0, c1, r in capsules(rng, count, [-3] * 3, [3] * 3)]
        hits += check_queries(m, tris, queries)
    assert hits > 0 or scale < 1


def test_triangles_near_the_largest_double_build_query_and_pickle():
    # Their centroid sums overflow to infinity, which once reached an
    # undefined conversion of NaN to an integer (caught under the sanitizer).
    big = 1.7e308
    far = np.array([[[big, big, big], [big, -big, 0], [-big, big, 0]], [[-big, 0, 0], [-big, 1, 0], [-big, 0, 1]]])
    tris = np.concatenate([far, soup(60, 4)])
    m = mesh.TriangleMesh.from_triangles(tris)
    queries = capsules(np.random.default_rng(5), 40, [-3] * 3, [3] * 3)
    assert check_queries(m, tris, queries) > 0
    check_queries(pickle.loads(pickle.dumps(m)), tris, queries[:10])


@pytest.mark.parametrize("c0, c1, radius", [
    ([1, 1, 0.2], [1, 1, 1.2], -0.3),
    ([1, 1, 0.2], [1, 1, 1.2], np.inf),
    ([1, 1, 0.2], [1, 1, 1.2], np.nan),
    ([1, np.nan, 0.2], [1, 1, 1.2], 0.3),
    ([1, 1, 0.2], [np.inf, 1, 1.2], 0.3),
    ([1, 1, -1e300], [1, 1, 1e300], 0.3),
    ([1, 1, 0.2], [1, 1, 1.2], 1e300),
])
def test_non_finite_negative_and_huge_capsules_match_brute_force(terrain64, c0, c1, radius):
    # The node test must not lose what the triangle test examines.
    m, tris = terrain64
    check_queries(m, tris, [(np.array(c0, float), np.array(c1, float), radius)])


def test_faces_and_triangles_give_the_same_mesh(terrain64):
    m, tris = terrain64
    same = mesh.TriangleMesh.from_triangles(tris)
    strided = np.zeros((len(tris), 3, 5))
    strided[:, :, 1:4] = tris
    view = strided[:, :, 1:4]
    view.flags.writeable = False
    other = mesh.TriangleMesh.from_triangles(view)
    c0, c1 = np.array([3.1, 4.2, 0.2]), np.array([3.6, 4.0, 0.9])
    for x in (same, other):
        for g, w in zip(x.capsule(c0, c1, 0.4), m.capsule(c0, c1, 0.4)):
            assert same_bits(g, w)
    assert m.triangle_count == len(tris) and m.nbytes >= 72 * len(tris)


def test_building_copies_the_input():
    tris = soup(50, 3)
    m = mesh.TriangleMesh.from_triangles(tris)
    c0, c1 = tris[0].mean(axis=0), tris[0].mean(axis=0) + 0.1
    before = m.capsule(c0, c1, 0.5)
    tris[:] = 1e6
    for g, w in zip(m.capsule(c0, c1, 0.5), before):
        assert same_bits(g, w)


def test_overlap_matches_brute_force(terrain64):
    m, tris = terrain64
    lo, hi = tris.min(axis=1), tris.max(axis=1)
    rng = np.random.default_rng(4)
    for _ in range(200):
        qlo = rng.uniform(-1, 33, 3)
        qlo[2] = rng.uniform(-1, 0.5)
        qhi = qlo + rng.uniform(0, 3, 3)
        want = np.nonzero(np.all((lo <= qhi) & (hi >= qlo), axis=1))[0]
        assert np.array_equal(m.overlap(qlo, qhi), want)
    bounds = m.bounds
    assert np.array_equal(bounds[0], tris.reshape(-1, 3).min(axis=0))
    assert np.array_equal(bounds[1], tris.reshape(-1, 3).max(axis=0))


@pytest.mark.parametrize("g", [64, 256])  # 256: a mesh large enough that queries walk it together
def test_capsules_equal_single_queries_for_every_thread_count(g):
    V, F = terrain(g)
    m = mesh.TriangleMesh(V, F)
    rng = np.random.default_rng(8)
    rows = capsules(rng, max(700, QUERIES // 20), [0, 0, 0], [g * 0.5, g * 0.5, 0], ground=height)
    # Odd capsules (outside the mesh, NaN, infinite, reaching thousands of
    # triangles) among them keep their places and their own rows.
    odd = [([1, np.nan, 0.2], [1, 1, 1.2], 0.3), ([1, 1, 0.2], [np.inf, 1, 1.2], 0.3),
           ([-1e6, 5, 0], [-1e6, 5, 1], 0.3), ([40, 40, 9], [41, 40, 9], 0.3), ([5, 5, 0.2], [5, 5, 0.9], np.nan),
           ([9, 9, 0], [11, 9, 0], 8.0)]
    for k, (a, b, r) in enumerate(odd):
        rows.insert(100 * k + 3, (np.array(a, float), np.array(b, float), r))
    c0 = np.array([r[0] for r in rows])
    c1 = np.array([r[1] for r in rows])
    radius = np.array([r[2] for r in rows])
    singles = [m.capsule(c0[j], c1[j], radius[j]) for j in range(len(rows))]
    for threads in (1, 2, 3):
        offsets, res = m.capsules(c0, c1, radius, threads=threads)
        assert offsets[0] == 0 and offsets[-1] == len(res.triangle)
        for j, single in enumerate(singles):
            part = slice(offsets[j], offsets[j + 1])
            for g, w in zip((res.triangle[part], res.points[part], res.normals[part], res.depths[part]), single):
                assert same_bits(g, w)
    offsets, res = m.capsules(c0, c1, 0.3)
    assert len(offsets) == len(rows) + 1


OUT_OF_MEMORY = """
import resource, sys
import numpy as np
sys.path.insert(0, {here!r})
from meshes import terrain
from zuli_physics import mesh
m = mesh.TriangleMesh(*terrain(64))
c0 = np.tile([8.0, 8.0, 0.5], (256, 1))
m.capsules(c0, c0 + 1, 0.3, threads=2)  # the pool's worker exists before the limit
size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
raised = 0
for extra in range(16, 160, 12):  # every capsule hits all 8,192 triangles: 134 MB in all
    resource.setrlimit(resource.RLIMIT_AS, (size + (extra << 20), resource.RLIM_INFINITY))
    try:
        m.capsules(c0, c0 + 1, 1e3, threads={threads})
    except MemoryError:
        raised += 1
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print("raised", raised)
"""


@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="the sanitizer reserves far more address space")
@pytest.mark.parametrize("threads", [1, 2])
def test_running_out_of_memory_is_a_memory_error_on_any_thread(threads):
    # Whichever thread's hits outgrow the memory left, the call raises
    # MemoryError and the process goes on (a worker's failure once ended it).
    code = OUT_OF_MEMORY.format(here=os.path.dirname(__file__), threads=threads)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout.split()[-1]) > 0


@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="the sanitizer aborts on allocations this large")
@pytest.mark.parametrize("threads", [2, 2**31])
def test_results_too_large_to_hold_are_a_memory_error_naming_the_size(threads):
    # 2**40 broadcast capsules: their offsets alone would take 8 TiB.
    m = mesh.TriangleMesh(np.array([[0.0, 0, 0], [1, 0, 0], [0, 1, 0]]), np.array([[0, 1, 2]]))
    c = np.broadcast_to(np.array([5.0, 5.0, 5.0]), (2**40, 3))
    with pytest.raises(MemoryError, match="TiB"):
        m.capsules(c, c, 0.1, threads=threads)


def test_out_buffers_are_filled_or_refused_whole(terrain64):
    m, _ = terrain64
    c0, c1 = np.array([10.0, 10.0, -0.2]), np.array([10.5, 10.2, 0.4])
    want = m.capsule(c0, c1, 0.5)
    h = len(want.triangle)
    assert h >= 3
    big = (np.full(h + 5, -1, np.int64), np.full((h + 5, 3), np.nan), np.full((h + 5, 3), np.nan), np.full(h + 5, np.nan))
    got = m.capsule(c0, c1, 0.5, out=big)
    assert type(got) is mesh.MeshContacts
    for g, w, b in zip(got, want, big):
        assert same_bits(g, w) and g.base is b
        assert (g.shape, g.strides, g.flags) == (b[:h].shape, b[:h].strides, b[:h].flags)
    # Buffers other than NumPy arrays come back sliced the way they slice.
    views = tuple(memoryview(np.empty_like(b)) for b in big)
    got = m.capsule(c0, c1, 0.5, out=views)
    for g, w in zip(got, want):
        assert type(g) is memoryview and same_bits(np.asarray(g), w)
    # Unaligned buffers (NumPy allows them) are written element by element.
    odd = tuple(unaligned(b) for b in big)
    assert not odd[1].flags.aligned
    for g, w in zip(m.capsule(c0, c1, 0.5, out=odd), want):
        assert same_bits(g, w)
    small = tuple(np.array(a[: h - 1]) for a in big)
    before = [a.copy() for a in small]
    with pytest.raises(ValueError, match=f"{h} contacts need an 'out' of capacity {h}"):
        m.capsule(c0, c1, 0.5, out=small)
    for a, b in zip(small, before):
        assert np.array_equal(a, b, equal_nan=True)
    one = mesh.TriangleMesh.from_triangles(np.array([[[0.0, 0, 0], [1, 0, 0], [0, 1, 0]]]))
    with pytest.raises(ValueError, match="1 contact needs an 'out' of capacity 1, and it has 0"):
        one.capsule(np.array([0.2, 0.2, 0.1]), np.array([0.2, 0.2, 1.0]), 0.3, out=tuple(a[:0] for a in big))


def test_queries_keep_no_references_to_their_arrays(terrain64):
    # The debug interpreter's leak check has no NumPy: count here instead.
    m, _ = terrain64
    c0, c1 = np.array([10.0, 10.0, -0.2]), np.array([10.5, 10.2, 0.4])
    # A float64 dtype with metadata is an object of its own, not NumPy's
    # immortal float64: the views of `out` must count it too.
    tagged = np.dtype(np.float64, metadata={"unit": "m"})
    out = (np.empty(64, np.int64), np.empty((64, 3), tagged), np.empty((64, 3), tagged), np.empty(64, tagged))
    held = (c0, c1, *out, *(a.dtype for a in out))
    before = [sys.getrefcount(a) for a in held]
    for _ in range(200):
        m.capsule(c0, c1, 0.5, out=out)
        m.capsule(c0, c1, 0.5)
        m.capsules(np.stack([c0, c1]), np.stack([c1, c0]), 0.5, threads=2)
    assert [sys.getrefcount(a) for a in held] == before


@pytest.mark.parametrize("make, exc, needles", [
    (lambda: mesh.TriangleMesh(np.zeros((3, 3)), np.array([[0, 1, 3]])), IndexError,
     ["'faces'", "face 0", "vertex index 3", "3 vertices"]),
    (lambda: mesh.TriangleMesh(np.zeros((3, 3)), np.array([[0, 1, 2], [0, -1, 2]])), IndexError, ["face 1", "-1"]),
    (lambda: mesh.TriangleMesh(np.array([[0, 0, 0], [1, 0, np.inf], [0, 1, 0.0]]), np.array([[0, 1, 2]])),
     ValueError, ["'vertices'", "vertex 1", "not finite"]),
    (lambda: mesh.TriangleMesh.from_triangles(np.array([[[0, 0, 0], [1, 0, 0], [0, 1, np.nan]]])),
     ValueError, ["'verts'", "triangle 0, vertex 2"]),
    (lambda: mesh.TriangleMesh(np.zeros((3, 3), np.float32), np.array([[0, 1, 2]])), TypeError,
     ["'vertices'", "float32"]),
    (lambda: mesh.TriangleMesh(np.zeros((3, 3)), np.array([[0, 1, 2]], np.uint64)), TypeError,
     ["'faces'", "int32 or int64"]),
    (lambda: mesh.TriangleMesh(np.zeros((3, 2)), np.array([[0, 1, 2]])), ValueError, ["'vertices'", "(V, 3)"]),
    # 2**28 triangles at no cost in memory, refused before they are read
    (lambda: mesh.TriangleMesh.from_triangles(np.broadcast_to(np.zeros((1, 3, 3)), (2**28, 3, 3))), ValueError,
     ["at most 268435455 triangles"]),
    (lambda: mesh.TriangleMesh.from_triangles([[[0.0] * 3] * 3]), TypeError, ["'verts'", "list"]),
])
def test_bad_meshes_are_refused(make, exc, needles):
    with pytest.raises(exc) as info:
        make()
    for needle in needles:
        assert needle in str(info.value)


@pytest.mark.parametrize("one", [np.float32(0.25), np.array(0.25), np.int64(1), Fraction(1, 4), Decimal("0.25")])
def test_capsules_take_any_real_scalar_as_one_radius(terrain64, one):
    m, _ = terrain64
    c0 = np.array([[4.0, 4.0, 0.1], [9.0, 3.0, 0.2]])
    offsets, got = m.capsules(c0, c0 + [0.0, 0.0, 1.0], one)
    for j in range(2):
        want = m.capsule(c0[j], c0[j] + [0.0, 0.0, 1.0], float(one))
        for g, w, single in zip(got, want, m.capsule(c0[j], c0[j] + [0.0, 0.0, 1.0], one)):
            assert same_bits(g[offsets[j]:offsets[j + 1]], w) and same_bits(single, w)


def test_one_radius_is_converted_before_any_array_is_taken(terrain64):
    # Converted afterwards, the query would go on to read cp0's freed data.
    m, _ = terrain64
    cp0 = np.zeros((500, 3))
    with pytest.raises(ValueError, match="M = 0 from 'cp0'"):
        m.capsules(cp0, np.ones((500, 3)), Reallocating(cp0, 0.25))


def test_bad_queries_are_refused(terrain64):
    m, _ = terrain64
    v = np.zeros(3)
    for call, exc, needle in [
        (lambda: m.capsule(np.zeros(4), v, 0.3), ValueError, "'cp0'"),
        (lambda: m.capsule(v, v.astype(np.float32), 0.3), TypeError, "'cp1'"),
        (lambda: m.capsule(v, v, "0.3"), TypeError, "'radius'"),
        (lambda: m.capsule(v, v, 10**400), OverflowError, "'radius'"),
        (lambda: m.capsule(v, v, 0.3, out=(1, 2)), TypeError, "'out'"),
        (lambda: m.capsules(np.zeros((3, 3)), np.zeros((2, 3)), 0.3), ValueError, "'cp1'"),
        (lambda: m.capsules(np.zeros((3, 3)), np.zeros((3, 3)), np.ones(2)), ValueError, "'radius'"),
        (lambda: m.capsules(np.zeros((3, 3)), np.zeros((3, 3)), 0.3, threads=0), ValueError, "'threads'"),
        (lambda: m.capsules(np.zeros((3, 3)), np.zeros((3, 3)), 0.3, threads="2"), TypeError, "'threads'"),
        (lambda: m.capsules(np.zeros((3, 3)), None, 0.3), TypeError, "'cp1'"),
        (lambda: m.capsule(v, v, None), TypeError, "'radius'"),
        (lambda: m.capsule(v, v, np.complex128(1)), TypeError, "'radius' must be a number, not a complex128 scalar"),
        (lambda: m.capsule(v, v, np.array([0.3])), TypeError, "'radius' must be a number, not a float64 array"),
        (lambda: m.capsules(np.zeros((3, 3)), np.zeros((3, 3)), 1j), TypeError, "'radius'"),
        (lambda: m.capsules(np.zeros((3, 3)), np.zeros((3, 3)), Decimal("sNaN")), ValueError, "'radius': cannot"),
        (lambda: m.capsules(np.zeros((3, 3)), np.zeros((3, 3)), Fraction(10**400)), OverflowError, "'radius'"),
        (lambda: m.overlap(v, [1, 1, 1]), TypeError, "'hi'"),
    ]:
        with pytest.raises(exc, match=needle):
            call()


def test_inputs_rewritten_while_building_never_lead_outside_the_vertices():
    # The inputs are checked, then read again to build: an index changed in
    # between must not be used to read a vertex (that crashed), nor may a
    # vertex that is no longer finite get into the mesh.
    V = np.array([[0.0, 0, 0], [1, 0, 0], [0, 1, 0]])
    F = np.tile(np.array([[0, 1, 2]]), (200_000, 1))
    seen = outcomes_while_rewritten(F[:, 2], 2, 10**12, lambda: mesh.TriangleMesh(V, F), 20)
    assert seen <= {"ok", "IndexError", "RuntimeError"}
    assert mesh.TriangleMesh(V, F).capsule(vec(0.2, 0.2, 0.1), vec(0.2, 0.2, 1.0), 0.3).triangle.size == 200_000

    T = np.ascontiguousarray(V[F])

    def finite_build():
        state = mesh.TriangleMesh.from_triangles(T).__getstate__()
        assert np.isfinite(np.frombuffer(state[1])).all()

    seen = outcomes_while_rewritten(T[:, 1, 0], 1.0, np.nan, finite_build, 20)
    assert seen <= {"ok", "ValueError", "RuntimeError"}


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip_answers_identically(terrain64, protocol):
    m, _ = terrain64
    back = pickle.loads(pickle.dumps(m, protocol=protocol))
    assert back.triangle_count == m.triangle_count and back.nbytes == m.nbytes
    rng = np.random.default_rng(2)
    for c0, c1, r in capsules(rng, 200, [0, 0, 0], [32, 32, 0], ground=height):
        for g, w in zip(back.capsule(c0, c1, r), m.capsule(c0, c1, r)):
            assert same_bits(g, w)


def test_corrupted_pickles_are_refused():
    m = mesh.TriangleMesh.from_triangles(soup(40, 1))
    state = m.__getstate__()
    rng = np.random.default_rng(0)
    version = state[0]
    bad_states = [(), (version,), state[:4], (version + 1, *state[1:]), (version, b"", b"", b"", state[4]),
                  (version, state[1][:-8], *state[2:]), (version, state[1], state[2][:-4], *state[3:]),
                  (version, state[1], state[2], state[3][:-1], state[4]), (*state[:4], state[4] ^ 1),
                  (version, 5, 6, 7, 8), (*state[:4], "x"), None]
    for _ in range(300):
        field = int(rng.integers(1, 4))
        raw = bytearray(state[field])
        for _ in range(int(rng.integers(1, 4))):
            raw[int(rng.integers(len(raw)))] ^= 1 << int(rng.integers(8))
        bad_states.append(state[:field] + (bytes(raw),) + state[field + 1:])
    refused = 0
    for bad in bad_states:
        fresh = mesh.TriangleMesh.__new__(mesh.TriangleMesh)
        try:
            fresh.__setstate__(bad)
        except (ValueError, TypeError):
            refused += 1
        else:
            raise AssertionError("a corrupted state was accepted")
    assert refused == len(bad_states)


def test_threads_query_one_mesh_at_once(terrain64):
    m, _ = terrain64
    rng = np.random.default_rng(6)
    rows = capsules(rng, 300, [0, 0, 0], [32, 32, 0], ground=height)
    want = [m.capsule(*r) for r in rows]
    errors = []

    def work():
        for r, w in zip(rows, want):
            got = m.capsule(*r)
            if not all(same_bits(g, x) for g, x in zip(got, w)):
                errors.append(r)

    pool = [threading.Thread(target=work) for _ in range(4)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    assert not errors


def test_a_mesh_is_shared_by_copies_and_weak_references(terrain64):
    m, _ = terrain64
    assert weakref.ref(m)() is m
    assert copy.copy(m) is m and copy.deepcopy({"ground": m})["ground"] is m  # it never changes once built
    assert sys.getsizeof(m) > m.nbytes


class TaggedMesh(mesh.TriangleMesh):
    pass


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_a_subclass_copies_and_pickles_with_its_attributes(protocol):
    m = TaggedMesh(soup(30, 4).reshape(-1, 3), np.arange(90).reshape(-1, 3))
    assert copy.copy(m) is m  # no attributes of its own: nothing to share
    m.tags = ["ground"]
    m.me = m
    shallow, deep, back = copy.copy(m), copy.deepcopy(m), pickle.loads(pickle.dumps(m, protocol=protocol))
    assert shallow is not m and shallow.tags is m.tags
    assert deep.tags == m.tags and deep.tags is not m.tags and deep.me is deep
    assert type(back) is TaggedMesh and back.tags == ["ground"] and back.me is back
    c0, c1 = np.array([0.5, 0.5, -1.0]), np.array([0.5, 0.5, 2.0])
    for other in (shallow, deep, back):
        for g, w in zip(other.capsule(c0, c1, 0.5), m.capsule(c0, c1, 0.5)):
            assert same_bits(g, w)


def test_empty_mesh():
    m = mesh.TriangleMesh.from_triangles(np.zeros((0, 3, 3)))
    assert m.triangle_count == 0 and len(m.capsule(np.zeros(3), np.ones(3), 1.0).triangle) == 0
    assert np.all(np.isinf(m.bounds[0])) and len(m.overlap(np.zeros(3) - 1e300, np.zeros(3) + 1e300)) == 0
    assert pickle.loads(pickle.dumps(m)).triangle_count == 0


def test_far_behind_end_point_is_out_of_reach():
    # capsule_triangles reports this triangle: c0 lies far behind its plane
    # and projects into it, while the axis passes nowhere near it. Its bounds
    # are out of reach of the axis's, so the mesh does not examine it.
    tri = np.array([[[-0.15922500991447772, 0.5408455846858077, 0.2146591225063409],
                     [0.3553727090399214, -0.6538286094183394, -0.12961363369276946],
                     [0.7839754700613295, 1.4934311452207607, -1.2590655321041202]]])
    c0 = np.array([-15.338832729152255, -3.167954156502616, -12.291543900664276])
    c1 = np.array([-4.760607515980114, -15.72486673795973, 46.02928344081407])
    hit = np.zeros(1, np.uint8)
    native.capsule_triangles(c0, c1, 0.1, tri, hit, np.zeros((1, 3)), np.zeros((1, 3)), np.zeros(1))
    assert hit[0] == 1
    m = mesh.TriangleMesh.from_triangles(tri)
    assert len(m.capsule(c0, c1, 0.1).triangle) == 0 == len(brute(Bounds(tri), c0, c1, 0.1)[0])
