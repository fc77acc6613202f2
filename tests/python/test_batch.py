"""zuli_physics.batch beyond the differential runs: refusals that leave the
outputs untouched, the interpreter lock, threads, fork, allocation, the
Python-facing surface."""

import inspect
import os
import threading
import time
import tracemalloc
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from conftest import Reallocating, outcomes_while_rewritten, run_isolated, unaligned

from zuli_physics import batch


def boxes(n, seed=0, spread=1.5):
    rng = np.random.default_rng(seed)
    q = rng.normal(size=(n, 4))
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    w, x, y, z = q.T
    R = np.stack([
        np.stack([1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)], -1),
        np.stack([2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)], -1),
        np.stack([2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)], -1),
    ], 1)
    return rng.uniform(-spread, spread, (n, 3)), R, rng.uniform(0.3, 1.0, (n, 3))


def box_args(n=8, seed=0):
    ca, Ra, ha = boxes(n, seed)
    cb, Rb, hb = boxes(n, seed + 1)
    return dict(ca=ca, Ra=Ra, ha=ha, cb=cb, Rb=Rb, hb=hb)


def sphere_args(n=8):
    rng = np.random.default_rng(3)
    return dict(ca=rng.uniform(-1, 1, (n, 3)), ra=rng.uniform(0.2, 0.8, n), cb=rng.uniform(-1, 1, (n, 3)),
                rb=0.5)


def guarded(result):
    """Output arrays as views into larger buffers with guard rows of a marker
    on both sides: (out, check) where check() asserts that nothing changed."""
    buffers, views = [], []
    for a in result:
        buf = np.full((a.shape[0] + 2,) + a.shape[1:], 7, dtype=a.dtype)
        buffers.append(buf)
        views.append(buf[1:-1])
    before = [b.copy() for b in buffers]

    def check():
        for b, w in zip(buffers, before):
            assert np.array_equal(b, w), "a refused call wrote into an output"

    return tuple(views), check


def refused(call, exc, *needles):
    with pytest.raises(exc) as info:
        call()
    for needle in needles:
        assert needle in str(info.value)
    return info.value


BOX_REFUSALS = [
    ("ca", np.zeros((8, 3), np.float32), TypeError, ["'ca'", "float32", "np.asarray(ca, dtype=np.float64)"]),
    ("ca", [[0.0, 0.0, 0.0]] * 8, TypeError, ["'ca'", "list", "np.asarray(ca, dtype=np.float64)"]),
    ("Ra", np.zeros((7, 3, 3)), ValueError, ["'Ra'", "(KA, 3, 3)", "KA = 8", "(7, 3, 3)"]),
    ("ha", np.zeros((8, 4)), ValueError, ["'ha'", "(8, 4)"]),
    ("hb", np.zeros(3), ValueError, ["'hb'", "(3,)"]),
    ("Rb", "boxes", TypeError, ["'Rb'", "str"]),
    ("cb", None, TypeError, ["'cb'", "not None"]),
]


@pytest.mark.parametrize("name, value, exc, needles", BOX_REFUSALS, ids=[f"{r[0]}-{i}" for i, r in enumerate(BOX_REFUSALS)])
def test_bad_inputs_are_refused_before_writing(name, value, exc, needles):
    args = box_args()
    out, check = guarded(batch.box_box(**args))
    args[name] = value
    refused(lambda: batch.box_box(**args, out=out), exc, "box_box()", *needles)
    check()


@pytest.mark.parametrize("pairs, needles, dtype", [
    ([[0, 0], [8, 1]], ["row 1", "index 8", "side A", "8 rows"], np.int32),
    ([[0, 0], [8, 1]], ["row 1", "index 8", "side A", "8 rows"], np.int64),
    ([[0, 0], [1, 1], [2, -1]], ["row 2", "index -1", "side B"], np.int32),
    ([[0, 0], [1, 1], [2, -1]], ["row 2", "index -1", "side B"], np.int64),
    ([[0, 2**40]], ["row 0", f"index {2**40}", "side B"], np.int64),
])
def test_bad_pair_indices_are_refused_before_writing(pairs, needles, dtype):
    args = box_args()
    pairs = np.array(pairs, dtype)
    out, check = guarded(batch.box_box(**args, pairs=np.zeros((len(pairs), 2), np.int32)))
    refused(lambda: batch.box_box(**args, pairs=pairs, out=out), IndexError, "'pairs'", *needles)
    check()


@pytest.mark.parametrize("pairs, exc, needles", [
    (np.zeros((3, 2), np.uint32), TypeError, ["'pairs'", "int32 or int64"]),
    (np.zeros((3, 2), np.float64), TypeError, ["'pairs'"]),
    (np.zeros((3, 3), np.int64), ValueError, ["'pairs'", "(P, 2)"]),
    ([[0, 0]], TypeError, ["'pairs'", "list"]),
])
def test_bad_pair_arrays(pairs, exc, needles):
    refused(lambda: batch.box_box(**box_args(), pairs=pairs), exc, *needles)


def test_outputs_are_checked_before_the_pairs_are_scanned():
    # 2**33 broadcast rows take seconds to scan; a wrong 'out' is refused at once.
    pairs = np.broadcast_to(np.zeros((1, 2), np.int64), (2**33, 2))
    out = batch.sphere_sphere(**sphere_args())
    start = time.perf_counter()
    refused(lambda: batch.sphere_sphere(**sphere_args(), pairs=pairs, out=out), ValueError, "'out.count'")
    assert time.perf_counter() - start < 1.0


def test_sides_that_cannot_pair_without_pairs():
    args = box_args()
    for k in ("cb", "Rb", "hb"):
        args[k] = args[k][:3]
    refused(lambda: batch.box_box(**args), ValueError, "8 rows", "side B 3", "'pairs'")


def _bad_outputs():
    """(description, mutate(out tuple) -> out tuple, exception, needles)."""
    def replace(i, make):
        return lambda out: tuple(make(o) if k == i else o for k, o in enumerate(out))

    def readonly(a):
        a = a.copy()
        a.flags.writeable = False
        return a

    return [
        ("read-only normal", replace(1, readonly), ValueError, ["out.normal", "read-only"]),
        ("float32 depths", replace(3, lambda a: a.astype(np.float32)), TypeError, ["out.depths", "float32"]),
        ("int count", replace(0, lambda a: a.astype(np.int64)), TypeError, ["out.count", "uint8"]),
        ("short points", replace(2, lambda a: a[:-1].copy()), ValueError, ["out.points", "(8, 4, 3)"]),
        ("strided normal", replace(1, lambda a: np.zeros((8, 6))[:, ::2]), ValueError, ["out.normal", "C-contiguous"]),
        ("Fortran points", replace(2, np.asfortranarray), ValueError, ["out.points", "C-contiguous"]),
        ("list depths", replace(3, lambda a: a.tolist()), TypeError, ["out.depths", "list"]),
        ("points twice", lambda out: (out[0], out[1], out[2], out[2].reshape(-1)[:32].reshape(8, 4)), ValueError,
         ["out.points", "out.depths", "share memory"]),
        ("three arrays", lambda out: out[:3], TypeError, ["'out'", "BoxContacts", "tuple of 4"]),
    ]


@pytest.mark.parametrize("what, mutate, exc, needles", _bad_outputs(), ids=[b[0] for b in _bad_outputs()])
def test_bad_outputs_are_refused_and_left_alone(what, mutate, exc, needles):
    args = box_args()
    out = tuple(np.full_like(a, 3) for a in batch.box_box(**args))
    out = mutate(out)
    before = [np.array(a, copy=True) for a in out]
    refused(lambda: batch.box_box(**args, out=out), exc, "box_box()", *needles)
    for a, b in zip(out, before):
        assert np.array_equal(np.asarray(a), b)


def test_outputs_overlapping_an_input_are_refused():
    args = box_args()
    res = batch.box_box(**args)
    shared = np.zeros(48)
    args["ca"] = shared[12:36].reshape(8, 3)
    out = (res.count, shared[:24].reshape(8, 3), res.points, res.depths)
    refused(lambda: batch.box_box(**args, out=out), ValueError, "out.normal", "'ca'", "shares memory")


@pytest.mark.parametrize("threads, exc, needle", [
    (0, ValueError, "not 0"), (-2, ValueError, "not -2"), (-2**70, ValueError, f"not {-2**70}"),
    ("2", TypeError, "not str"), (2.0, TypeError, "not float"), (None, TypeError, "not NoneType"),
])
def test_bad_thread_counts(threads, exc, needle):
    out, check = guarded(batch.box_box(**box_args()))
    refused(lambda: batch.box_box(**box_args(), out=out, threads=threads), exc, "'threads'", needle)
    check()


@pytest.mark.parametrize("threads", [np.int64(2), True, 2**70])
def test_thread_counts_are_any_integer(threads):
    args = box_args(300)
    for x, y in zip(batch.box_box(**args, threads=threads), batch.box_box(**args)):
        assert np.array_equal(x, y)


class OtherArray:
    """Another library's array: float() takes it, but it is an array."""

    def __array__(self, dtype=None, copy=None):
        return np.full(8, 0.5)

    def __float__(self):
        raise AssertionError("an array read as one number")


@pytest.mark.parametrize("one", [0.5, np.float64(0.5), np.float32(0.5), np.array(0.5), np.array(0.5, np.float32),
                                 Fraction(1, 2), Decimal("0.5")])
def test_sphere_radius_forms_and_refusals(one):
    args = sphere_args()
    as_array = batch.sphere_sphere(args["ca"], args["ra"], args["cb"], np.full(8, 0.5))
    as_number = batch.sphere_sphere(args["ca"], args["ra"], args["cb"], one)
    for x, y in zip(as_array, as_number):
        assert np.array_equal(x, y)
    refused(lambda: batch.sphere_sphere(args["ca"], np.complex128(1), args["cb"], 1.0), TypeError, "'ra'",
            "complex128 scalar")
    refused(lambda: batch.sphere_sphere(args["ca"], 1j, args["cb"], 1.0), TypeError, "'ra'", "complex")
    refused(lambda: batch.sphere_sphere(args["ca"], OtherArray(), args["cb"], 1.0), TypeError, "'ra'", "OtherArray")
    refused(lambda: batch.sphere_sphere(args["ca"], Decimal("sNaN"), args["cb"], 1.0), ValueError,
            "argument 'ra': cannot convert signaling NaN")
    refused(lambda: batch.sphere_sphere(args["ca"], 10**400, args["cb"], 1.0), OverflowError, "'ra'",
            "too large for a float64")
    refused(lambda: batch.sphere_sphere(args["ca"], np.ones(7), args["cb"], 1.0), ValueError, "'ra'", "(7,)")
    refused(lambda: batch.sphere_box(args["ca"], np.ones(8, np.float32), **{k: v for k, v in box_args().items()
                                                                          if k in ("cb", "Rb", "hb")}),
            TypeError, "'rs'", "float32")


@pytest.mark.parametrize("name", ["sphere_sphere", "sphere_box"])
def test_a_radius_is_converted_before_any_array_is_taken(name):
    # Converted afterwards, the call would go on to read the centres' freed data.
    s, b = sphere_args(), box_args()
    centres = s["ca"].copy()
    if name == "sphere_sphere":
        call = lambda: batch.sphere_sphere(centres, Reallocating(centres, 0.5), s["cb"], s["rb"])  # noqa: E731
    else:
        call = lambda: batch.sphere_box(centres, Reallocating(centres, 0.5), b["cb"], b["Rb"], b["hb"])  # noqa: E731
    with pytest.raises(ValueError, match="0 rows"):
        call()


def test_an_out_tuple_is_read_without_its_getitem():
    # A subclass's __getitem__ could reallocate an input whose data the call holds.
    s = sphere_args()
    centres = s["ca"].copy()

    class ResizingTuple(tuple):
        def __getitem__(self, i):
            centres.resize((0, 3), refcheck=False)
            return tuple.__getitem__(self, i)

    got = batch.sphere_sphere(centres, s["ra"], s["cb"], s["rb"], out=ResizingTuple(batch.sphere_sphere(**s)))
    assert centres.shape == (8, 3)
    for g, w in zip(got, batch.sphere_sphere(**s)):
        assert np.array_equal(g, w)


def test_inputs_are_read_in_place_with_any_strides():
    args = box_args(16)
    want = batch.box_box(**args)
    odd = {k: np.broadcast_to(v[::2], v[::2].shape) for k, v in args.items()}  # read-only, strided
    got = batch.box_box(**odd)
    for g, w in zip(got, want):
        assert np.array_equal(g, w[::2])
    assert batch.box_box(**{k: v[:0] for k, v in args.items()}).count.shape == (0,)


def memmapped(a, path):
    """`a` written to a file and mapped back read-only (an ndarray subclass)."""
    np.memmap(path, dtype=a.dtype, mode="w+", shape=a.shape)[...] = a
    return np.memmap(path, dtype=a.dtype, mode="r", shape=a.shape)


@pytest.mark.parametrize("make", [lambda a, _path: unaligned(a), memmapped, lambda a, _path: np.asfortranarray(a)],
                         ids=["unaligned", "memmap", "fortran"])
def test_every_kind_of_numpy_input_reads_the_same_bits(make, tmp_path):
    args = box_args(16)
    want = batch.box_box(**args)
    got = batch.box_box(**{k: make(v, tmp_path / k) for k, v in args.items()})
    for g, w in zip(got, want):
        assert g.tobytes() == w.tobytes()
    # Negative strides: row i of the reversed arrays is row 15 - i.
    got = batch.box_box(**{k: v[::-1] for k, v in args.items()})
    for g, w in zip(got, want):
        assert g.tobytes() == w[::-1].tobytes()


def writable_memmap(a, path):
    return np.memmap(path, dtype=a.dtype, mode="w+", shape=a.shape)


@pytest.mark.parametrize("make", [writable_memmap, lambda a, _path: unaligned(a)], ids=["memmap", "unaligned"])
@pytest.mark.parametrize("name", ["box_box", "sphere_box"])
def test_memmapped_and_unaligned_outputs_are_written_in_place(make, name, tmp_path):
    args = box_args()
    if name == "sphere_box":
        args = dict(cs=args["ca"], rs=0.6, cb=args["cb"], Rb=args["Rb"], hb=args["hb"])
    want = getattr(batch, name)(**args)
    out = tuple(make(np.zeros_like(w), tmp_path / f"out{i}") for i, w in enumerate(want))
    got = getattr(batch, name)(**args, out=out)
    assert all(g is o for g, o in zip(got, out))
    for g, w in zip(got, want):
        assert g.tobytes() == w.tobytes()


def test_out_is_written_in_place_and_returned():
    args = box_args()
    res = batch.box_box(**args)
    assert isinstance(res, batch.BoxContacts) and res._fields == ("count", "normal", "points", "depths")
    assert [a.shape for a in res] == [(8,), (8, 3), (8, 4, 3), (8, 4)]
    assert [a.dtype for a in res] == [np.uint8, np.float64, np.float64, np.float64]
    again = batch.box_box(**args, out=res)
    assert again is res
    plain = tuple(np.empty_like(a) for a in res)
    as_tuple = batch.box_box(**args, out=plain)
    assert isinstance(as_tuple, batch.BoxContacts) and all(x is y for x, y in zip(as_tuple, plain))


def test_no_allocation_per_call_with_out():
    args = box_args(64)
    pairs = np.stack([np.arange(64), np.arange(64)[::-1]], 1)
    out = batch.box_box(**args, pairs=pairs)
    for _ in range(50):
        batch.box_box(**args, pairs=pairs, out=out, threads=2)
    tracemalloc.start()
    try:
        first = tracemalloc.take_snapshot()
        for _ in range(1000):
            batch.box_box(**args, pairs=pairs, out=out, threads=2)
        stats = tracemalloc.take_snapshot().compare_to(first, "filename")
    finally:
        tracemalloc.stop()
    growth = sum(s.size_diff for s in stats if not s.traceback[0].filename.endswith("tracemalloc.py"))
    assert growth < 1000  # one retained byte per call would already reach it


def test_another_thread_progresses_during_a_large_call():
    n = 200_000
    args = box_args(n, seed=5)
    out = batch.box_box(**{k: v[:1] for k, v in args.items()})
    out = tuple(np.empty((n,) + a.shape[1:], a.dtype) for a in out)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    t = threading.Thread(target=ticker)
    t.start()
    time.sleep(0.01)
    start = time.perf_counter()
    batch.box_box(**args, out=out)
    end = time.perf_counter()
    stop.set()
    t.join()
    assert end - start > 0.01
    assert sum(start < x < end for x in ticks) >= 3


def test_concurrent_callers_get_serial_results():
    args = box_args(6000, seed=9)
    want = batch.box_box(**args)
    results = [None] * 4

    def work(i):
        results[i] = [batch.box_box(**args, threads=2) for _ in range(3)]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for per_thread in results:
        for res in per_thread:
            for g, w in zip(res, want):
                assert np.array_equal(g.view(np.uint8), w.view(np.uint8))


@pytest.mark.parametrize("name", ["box_box", "sphere_sphere", "sphere_box"])
def test_pairs_rewritten_during_a_call_never_lead_outside_the_bodies(name):
    # Checked indices can change before the rows read them: a row must not
    # then read a body outside its side (that crashed), and the call says so.
    c, h = np.zeros((4, 3)), np.ones((4, 3))
    R = np.broadcast_to(np.eye(3), (4, 3, 3))
    bodies = {"box_box": (c, R, h, c, R, h), "sphere_sphere": (c, 1.0, c, 1.0), "sphere_box": (c, 1.0, c, R, h)}[name]
    pairs = np.tile(np.array([[0, 3]]), (400_000, 1))
    fn = getattr(batch, name)
    want = fn(*bodies, pairs)
    seen = outcomes_while_rewritten(pairs[:, 1], 3, 10**12, lambda: fn(*bodies, pairs, threads=2), 30)
    assert seen <= {"ok", "IndexError", "RuntimeError"}
    for g, w in zip(fn(*bodies, pairs, threads=2), want):
        assert np.array_equal(g.view(np.uint8), w.view(np.uint8))


def test_child_process_after_fork_can_use_the_pool():
    result = run_isolated("""
        import os, warnings
        from zuli_physics import batch
        rng = np.random.default_rng(1)
        n = 20000
        args = [rng.uniform(-1, 1, (n, 3)), np.broadcast_to(np.eye(3), (n, 3, 3)), np.full((n, 3), 0.5)] * 2
        want = batch.box_box(*args, threads=2).count.sum()
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a process with threads
        pid = os.fork()
        if pid == 0:
            ok = batch.box_box(*args, threads=2).count.sum() == want
            os._exit(0 if ok else 3)
        _, status = os.waitpid(pid, 0)
        print(json.dumps([int(want), os.waitstatus_to_exitcode(status)]))
    """, preload=False)
    assert result[0] > 0 and result[1] == 0


def test_interpreter_exits_with_workers_started():
    start = time.perf_counter()
    assert run_isolated("""
        from zuli_physics import batch
        n = 5000
        args = [np.zeros((n, 3)), np.broadcast_to(np.eye(3), (n, 3, 3)), np.full((n, 3), 0.5)] * 2
        print(json.dumps(int(batch.box_box(*args, threads=7).count.sum())))
    """, preload=False) == 4 * 5000
    assert time.perf_counter() - start < 60


PARAMETERS = {
    "box_box": ["ca", "Ra", "ha", "cb", "Rb", "hb", "pairs", "out", "threads"],
    "sphere_sphere": ["ca", "ra", "cb", "rb", "pairs", "out", "threads"],
    "sphere_box": ["cs", "rs", "cb", "Rb", "hb", "pairs", "out", "threads"],
}


@pytest.mark.parametrize("name", PARAMETERS)
def test_signatures_and_docs(name):
    fn = getattr(batch, name)
    sig = inspect.signature(fn)
    assert list(sig.parameters) == PARAMETERS[name]
    assert sig.parameters["out"].kind is inspect.Parameter.KEYWORD_ONLY
    assert sig.parameters["threads"].default == 1
    assert "bit for bit" in fn.__doc__ and "(P," in fn.__doc__
    assert batch.BoxContacts.__module__ == batch.SphereContacts.__module__ == "zuli_physics.batch"


def test_cpu_count_threads():
    args = box_args(3000)
    for g, w in zip(batch.box_box(**args, threads=-1), batch.box_box(**args)):
        assert np.array_equal(g, w)
    assert os.cpu_count() >= 1
