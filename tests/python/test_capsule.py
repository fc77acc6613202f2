"""capsule_triangles: the batch contract, safety, threads, and a bit-exact
comparison with the pure-Python reference."""

import threading

import numpy as np
import pytest
from conftest import native, run_isolated, vec

TRIS = np.array([[[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 0, 5], [1, 0, 5], [0, 1, 5]]], dtype=np.float64)
C0, C1 = vec(0.25, 0.25, 0.5), vec(0.25, 0.25, 2)


def outputs(n, fill=np.nan, hit_dtype=np.uint8):
    return (np.full(n, 7, hit_dtype) if hit_dtype is not np.bool_ else np.ones(n, np.bool_),
            np.full((n, 3), fill), np.full((n, 3), fill), np.full(n, fill))


def test_two_triangles_one_hit_stale_rows_kept():
    hit, points, normals, depths = outputs(2)
    assert native.capsule_triangles(C0, C1, 1.0, TRIS, hit, points, normals, depths) is None
    assert hit.tolist() == [1, 0]
    assert points[0].tolist() == [0.25, 0.25, 0.0] and normals[0].tolist() == [0.0, 0.0, 1.0]
    assert depths[0] == 0.5
    assert np.isnan(points[1]).all() and np.isnan(normals[1]).all() and np.isnan(depths[1])


def test_rows_beyond_n_untouched_and_wider_outputs():
    hit, points, normals, depths = outputs(5, fill=-9.0)
    points, normals = np.full((5, 4), -9.0), np.full((5, 6), -9.0)
    native.capsule_triangles(C0, C1, 1.0, TRIS, hit, points, normals, depths)
    assert hit.tolist() == [1, 0, 7, 7, 7]
    assert points[0].tolist() == [0.25, 0.25, 0.0, -9.0]
    assert normals[0].tolist() == [0.0, 0.0, 1.0, -9.0, -9.0, -9.0]
    assert (points[1:] == -9).all() and (normals[1:] == -9).all() and (depths[1:] == -9).all()


@pytest.mark.parametrize("n", [0, None])
def test_no_triangles(n):
    verts = None if n is None else np.zeros((0, 3, 3))
    empty = [np.zeros(0, np.uint8), np.zeros((0, 3)), np.zeros((0, 3)), np.zeros(0)]
    assert native.capsule_triangles(C0, C1, 1.0, verts, *empty) is None
    assert native.capsule_triangles(C0, C1, 1.0, verts, None, None, None, None) is None


def test_bool_and_uint8_hit_agree():
    a, b = outputs(2, hit_dtype=np.bool_), outputs(2)
    native.capsule_triangles(C0, C1, 1.0, TRIS, *a)
    native.capsule_triangles(C0, C1, 1.0, TRIS, *b)
    assert a[0].tolist() == [True, False] and b[0].tolist() == [1, 0]


@pytest.mark.parametrize("dtype, name", [(np.int8, "signed char"), (np.int16, "short"), (np.float64, "double")])
def test_other_hit_types_refused(dtype, name):
    _, points, normals, depths = outputs(2)
    hit = np.zeros(2, dtype)
    with pytest.raises(ValueError) as info:
        native.capsule_triangles(C0, C1, 1.0, TRIS, hit, points, normals, depths)
    assert str(info.value) == f"Buffer dtype mismatch, expected 'unsigned char' but got '{name}'"


def test_one_array_as_points_and_normals_holds_normals():
    hit, rows, _, depths = outputs(2)
    native.capsule_triangles(C0, C1, 1.0, TRIS, hit, rows, rows, depths)
    assert rows[0].tolist() == [0.0, 0.0, 1.0] and np.isnan(rows[1]).all()


def test_keywords_and_int_radius():
    a, b = outputs(2), outputs(2)
    native.capsule_triangles(C0, C1, 1.0, TRIS, *a)
    native.capsule_triangles(depths=b[3], normals=b[2], points=b[1], hit=b[0], verts=TRIS, radius=1, cp1=C1, cp0=C0)
    for x, y in zip(a, b):
        assert np.array_equal(x, y, equal_nan=True)


@pytest.mark.parametrize("make", [lambda: TRIS.copy(), lambda: np.repeat(TRIS, 2, axis=0)[::2]],
                         ids=["readonly", "every-second"])
def test_readonly_and_strided_verts_refused(make):
    verts = make()
    if verts.flags.c_contiguous:
        verts.flags.writeable = False
    with pytest.raises(ValueError, match="read-only|contiguous"):
        native.capsule_triangles(C0, C1, 1.0, verts, *outputs(2))


# Refused calls leave every output untouched (checked in a child process, so
# that an out-of-bounds write would show up as a crash, not a dead run).
REFUSALS = [
    ("None", 0, "capsule_triangles() argument 'cp0' must have at least 3 elements (got 0)"),
    ("np.zeros(2)", 1, "capsule_triangles() argument 'cp1' must have at least 3 elements (got 2)"),
    ("np.zeros((2, 2, 3))", 3, "capsule_triangles() argument 'verts' must have shape (N, 3, 3) or wider (got shape (2, 2, 3))"),
    ("np.zeros((2, 3, 2))", 3, "capsule_triangles() argument 'verts' must have shape (N, 3, 3) or wider (got shape (2, 3, 2))"),
    ("None", 4, "capsule_triangles() argument 'hit' must have at least 2 elements (got 0)"),
    ("np.zeros(1, np.uint8)", 4, "capsule_triangles() argument 'hit' must have at least 2 elements (got 1)"),
    ("None", 5, "capsule_triangles() argument 'points' must have at least 2 rows and 3 columns (got shape (0, 0))"),
    ("np.zeros((2, 2))", 6, "capsule_triangles() argument 'normals' must have at least 2 rows and 3 columns (got shape (2, 2))"),
    ("np.zeros((1, 3))", 5, "capsule_triangles() argument 'points' must have at least 2 rows and 3 columns (got shape (1, 3))"),
    ("np.zeros(1)", 7, "capsule_triangles() argument 'depths' must have at least 2 elements (got 1)"),
]


@pytest.mark.parametrize("bad, index, message", REFUSALS)
def test_refusals_leave_outputs_untouched(bad, index, message):
    got = run_isolated(f"""
        verts = np.array({TRIS.tolist()!r})
        outs = [np.full(2, 7, np.uint8), np.full((2, 3), 9.0), np.full((2, 3), 9.0), np.full(2, 9.0)]
        args = [np.array([0.25, 0.25, 0.5]), np.array([0.25, 0.25, 2.0]), 1.0, verts, *outs]
        args[{index}] = {bad}
        try:
            native.capsule_triangles(*args)
            err = "no error"
        except ValueError as e:
            err = str(e)
        untouched = all((o == (7 if o.dtype == np.uint8 else 9)).all() for o in outs)
        print(json.dumps([err, untouched]))
    """)
    assert got == [message, True]


def test_unaligned_buffers():
    raw = np.zeros(8 * 100 + 1, np.uint8)
    verts = np.frombuffer(raw.data, dtype=np.float64, count=18, offset=1).reshape(2, 3, 3)
    verts[...] = TRIS
    hit, points, normals, depths = outputs(2)
    native.capsule_triangles(C0, C1, 1.0, verts, hit, points, normals, depths)
    assert hit.tolist() == [1, 0] and depths[0] == 0.5


def terrain_batch(n, seed=7):
    rng = np.random.default_rng(seed)
    verts = rng.uniform(-1, 1, (n, 3, 3))
    verts[:, :, 2] *= 0.2
    return verts


def test_lock_released_during_batch():
    verts = terrain_batch(2_000_000)
    outs = outputs(len(verts))
    running, done = threading.Event(), threading.Event()
    ticks = [0]

    def counter():
        while not done.is_set():
            ticks[0] += 1
            running.set()

    t = threading.Thread(target=counter)
    t.start()
    running.wait()
    before = ticks[0]
    native.capsule_triangles(vec(-0.5, 0.1, 0.05), vec(0.5, 0.2, 0.1), 0.2, verts, *outs)
    during = ticks[0] - before
    done.set()
    t.join()
    # With the lock held for the whole batch the counter could not move.
    assert during > 1000, during


def test_parallel_calls_match_serial():
    verts = terrain_batch(200_000, seed=11)
    args = (vec(-0.5, 0.1, 0.05), vec(0.5, 0.2, 0.1), 0.2)
    serial = outputs(len(verts))
    native.capsule_triangles(*args, verts, *serial)
    results = [outputs(len(verts)) for _ in range(4)]
    barrier = threading.Barrier(4)

    def work(outs):
        barrier.wait()
        for _ in range(3):
            native.capsule_triangles(*args, verts, *outs)

    threads = [threading.Thread(target=work, args=(r,)) for r in results]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results:
        for x, y in zip(r, serial):
            assert np.array_equal(x, y, equal_nan=True)
