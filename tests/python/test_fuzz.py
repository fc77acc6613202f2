"""Argument fuzzing: whatever objects arrive, every call returns a well-formed
result or raises one of the expected errors; it never crashes, never leaks
(see leakcheck.py) and never writes outside an output: every output is a
slice of a larger array whose guard rows are checked after each call."""

import ctypes
import os

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import native

EXAMPLES = int(os.environ.get("ZULI_FUZZ_EXAMPLES", "400"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None,
                suppress_health_check=list(HealthCheck))
GUARD = -7777.25
PARAMS = {
    "box_box": ("ca", "Ra", "ha", "cb", "Rb", "hb"),
    "sphere_sphere": ("ca", "ra", "cb", "rb"),
    "sphere_box": ("cs", "rs", "cb", "Rb", "hb"),
    "capsule_triangles": ("cp0", "cp1", "radius", "verts", "hit", "points", "normals", "depths"),
}
NUMBERS = {"ra", "rb", "rs", "radius"}


class ExporterError(Exception):
    pass


class OddFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class OddIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class Key(str):
    pass


ALLOWED = (TypeError, ValueError, OverflowError, BufferError, ExporterError)

DTYPES = ["<f8", ">f8", "<f4", "<f2", "<i1", "<u1", "?", "<i2", "<u2", "<i4", "<u4", "<i8", "<u8",
          "<c16", "<c8", "g", "M8[s]", "m8[s]", "S1", "U1", "V8",
          [("x", "<f8")], [("x", "<f8"), ("y", "u1")], {"names": ["x"], "formats": ["<f8"], "itemsize": 16},
          "(2,)f8", "(1,)f8", [("a", "<f8", (1,))], [("a", [("b", "<f8")])]]

floats = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from([0.0, -0.0, 1e-310, 1e308])


@st.composite
def numpy_arrays(draw):
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    ndim = draw(st.integers(0, 4))
    shape = tuple(draw(st.lists(st.integers(0, 4), min_size=ndim, max_size=ndim)))
    a = np.zeros(shape, dtype)
    if dtype.kind == "f" and a.size:
        with np.errstate(over="ignore"):
            a[...] = np.array(draw(st.lists(floats, min_size=a.size, max_size=a.size))).reshape(shape)
    form = draw(st.sampled_from(["c", "f", "strided", "readonly", "plain"]))
    if form == "f":
        a = np.asfortranarray(a)
    elif form == "strided" and ndim:
        a = np.repeat(a, 2, axis=0)[::2]
    elif form == "readonly":
        a.flags.writeable = False
    return a


@st.composite
def memoryviews(draw):
    fmt = draw(st.sampled_from(list("dfBbhHiIlLqQ?c")))
    size = np.dtype(fmt if fmt not in "lL" else ("i8" if fmt == "l" else "u8")).itemsize if fmt != "c" else 1
    count = draw(st.integers(0, 12))
    mv = memoryview(bytearray(size * count)).cast(fmt)
    if draw(st.booleans()) and count % 3 == 0 and count:
        mv = mv.cast("B").cast(fmt, [3, count // 3])
    if draw(st.booleans()) and mv.ndim == 1 and count > 1:
        mv = mv[::2]
    return mv


def ctypes_objects():
    class Pair(ctypes.Structure):
        _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_uint8)]

    class Packed(ctypes.Structure):
        _pack_ = 1
        _layout_ = "ms"
        _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_uint8)]

    class Single(ctypes.Structure):
        _fields_ = [("x", ctypes.c_double)]

    return st.sampled_from([
        (ctypes.c_double * 3)(), (ctypes.c_double * 2)(), (ctypes.c_double * 3 * 3)(),
        (ctypes.c_float * 3)(), (ctypes.c_double.__ctype_be__ * 3)(), (ctypes.c_uint8 * 4)(),
        (ctypes.c_bool * 4)(), (ctypes.c_int8 * 4)(), (Pair * 3)(), (Packed * 3)(), (Single * 3)(),
        (ctypes.c_wchar * 3)(), (ctypes.c_longdouble * 3)(), (ctypes.c_double * 3 * 3 * 2)(),
    ])


def valid_arrays():
    return st.sampled_from([(3,), (5,), (3, 3), (4, 5), (2, 3, 3), (0, 3, 3)]).map(lambda s: np.zeros(s))


arrays = numpy_arrays() | memoryviews() | ctypes_objects() | valid_arrays() | st.sampled_from(
    [None, [0.0, 0.0, 0.0], (1.0,), b"abc", bytearray(24), "xyz", 3, object()])
numbers = floats | st.integers(-(10**400), 10**400) | st.booleans() | st.sampled_from(
    [np.float64(2.5), np.int8(3), np.float32(1.5), None, "1.0", [1.0]]) | st.builds(
    OddFloat, st.sampled_from([1.5, 2, "x", None, ValueError("v"), ExporterError("e"), -1.0])) | st.builds(
    OddIndex, st.sampled_from([1, 2**70, -1, 1.5, "x", ExporterError("e")]))


def call(draw, name, values):
    """Calls with a random split of positional and keyword arguments, and
    sometimes an extra, repeated or string-subclass keyword."""
    names = PARAMS[name]
    split = draw(st.integers(0, len(values)))
    kwargs = {k: v for k, v in zip(names[split:], values[split:])}
    twist = draw(st.sampled_from(["none", "none", "unknown", "repeat", "subclass", "drop"]))
    if twist == "unknown":
        kwargs["bogus"] = 1.0
    elif twist == "repeat" and split:
        kwargs[names[0]] = values[0]
    elif twist == "subclass" and kwargs:
        key = next(iter(kwargs))
        kwargs[Key(key)] = kwargs.pop(key)
    elif twist == "drop" and kwargs:
        kwargs.pop(next(iter(kwargs)))
    return getattr(native, name)(*values[:split], **kwargs)


def check_result(result, most):
    assert type(result) is tuple and len(result) == 4
    count, normal, points, depths = result
    assert type(count) is int and 0 <= count <= most
    assert type(normal) is tuple and len(normal) == 3 and all(type(x) is float for x in normal)
    assert type(points) is list and len(points) == count
    assert all(type(p) is tuple and len(p) == 3 and all(type(x) is float for x in p) for p in points)
    assert type(depths) is list and len(depths) == count and all(type(x) is float for x in depths)


def raw_bytes(v):
    """A C-contiguous array's memory, padding included (tobytes() does not
    copy padding faithfully); None for anything else."""
    if not isinstance(v, np.ndarray) or not v.flags.c_contiguous:
        return None
    return ctypes.string_at(v.ctypes.data, v.nbytes)


@FUZZ
@given(st.data(), st.sampled_from(["box_box", "sphere_sphere", "sphere_box"]))
def test_pairwise_functions(data, name):
    values = [data.draw(numbers if p in NUMBERS else arrays) for p in PARAMS[name]]
    snapshots = [raw_bytes(v) for v in values]
    try:
        result = call(data.draw, name, values)
    except ALLOWED:
        pass
    except ZeroDivisionError:
        pass
    else:
        check_result(result, 4 if name == "box_box" else 1)
    for v, snap in zip(values, snapshots):
        if snap is not None:
            assert raw_bytes(v) == snap  # inputs are only read


def guarded(dtype, rows, cols):
    """A slice of a larger array, with guard rows before and after."""
    width = () if cols is None else (cols,)
    big = np.full((rows + 4,) + width, GUARD if dtype == np.float64 else 0x5A, dtype=dtype)
    return big, big[2:2 + rows]


@FUZZ
@given(st.data())
def test_capsule_triangles(data):
    n = data.draw(st.integers(0, 6))
    verts = data.draw(st.one_of(
        st.lists(floats, min_size=9 * n, max_size=9 * n).map(lambda xs: np.array(xs).reshape(n, 3, 3)),
        st.just(None), arrays))
    rows = n if isinstance(verts, np.ndarray) and verts.ndim == 3 else data.draw(st.integers(0, 6))
    hit_type = data.draw(st.sampled_from([np.uint8, np.bool_, np.int8]))
    def rows_near():
        return max(rows + data.draw(st.integers(-1, 2)), 0)

    outs = [guarded(hit_type, rows_near(), None),
            guarded(np.float64, rows_near(), data.draw(st.sampled_from([3, 3, 2, 4]))),
            guarded(np.float64, rows_near(), 3),
            guarded(np.float64, rows_near(), None)]
    fixed = [data.draw(arrays | st.just(np.array([0.1, 0.2, 0.3]))) for _ in range(2)]
    radius = data.draw(numbers)
    values = [fixed[0], fixed[1], radius, verts] + [
        inner if data.draw(st.integers(0, 9)) else data.draw(arrays) for _, inner in outs]
    before = [big.copy() for big, _ in outs]
    try:
        result = call(data.draw, "capsule_triangles", values)
    except (ALLOWED + (ZeroDivisionError,)):
        for (big, _), old in zip(outs, before):
            assert np.array_equal(big, old, equal_nan=True)  # a refused call writes nothing
        return
    assert result is None
    for (big, _), old in zip(outs, before):
        assert np.array_equal(big[:2], old[:2], equal_nan=True)
        assert np.array_equal(big[-2:], old[-2:], equal_nan=True)
    if isinstance(verts, np.ndarray) and verts.ndim == 3 and all(v is inner for v, (_, inner) in zip(values[4:], outs)):
        hit = outs[0][1]
        assert set(hit[:len(verts)].view(np.uint8).tolist()) <= {0, 1}


BATCH_SIDES = {
    "box_box": ((3, (3, 3), 3), (3, (3, 3), 3)),
    "sphere_sphere": ((3, None), (3, None)),
    "sphere_box": ((3, None), (3, (3, 3), 3)),
}


def batch_input(draw, rows, tail):
    """A float64 side array (usually), of (rows,) + tail, with random strides,
    order and writability, or now and then something else entirely."""
    kind = draw(st.integers(0, 19))
    if kind == 0:
        return draw(arrays)
    shape = (rows,) + ((tail,) if isinstance(tail, int) else tuple(tail or ()))
    if kind == 1:
        shape = (max(rows + draw(st.integers(-1, 1)), 0),) + shape[1:]
    dtype = np.float32 if kind == 2 else np.float64
    step = draw(st.sampled_from([1, 2, -1]))
    base = np.array(draw(st.lists(floats, min_size=1, max_size=8)), dtype=np.float64)
    size = int(np.prod(shape)) * abs(step)
    with np.errstate(over="ignore"):  # huge doubles become float32 infinities, on purpose
        a = np.resize(base, size).astype(dtype)[::step].reshape(shape) if size else np.zeros(shape, dtype)
    if draw(st.booleans()) and a.ndim > 1:
        a = np.asfortranarray(a)
    a.flags.writeable = draw(st.booleans())
    return a


@FUZZ
@given(st.data(), st.sampled_from(list(BATCH_SIDES)))
def test_batch_functions(data, name):
    from zuli_physics import batch

    draw = data.draw
    ka, kb = draw(st.integers(0, 5)), draw(st.integers(0, 5))
    args = []
    for rows, side in ((ka, BATCH_SIDES[name][0]), (kb, BATCH_SIDES[name][1])):
        for tail in side:
            if tail is None:  # a radius: a number or an array
                args.append(draw(numbers) if draw(st.booleans()) else batch_input(draw, rows, ()))
            else:
                args.append(batch_input(draw, rows, tail))
    p = draw(st.integers(0, 6))
    pairs = draw(st.one_of(st.none(), st.lists(st.integers(-2, 6), min_size=2 * p, max_size=2 * p).map(
        lambda xs: np.array(xs, dtype=draw(st.sampled_from([np.int32, np.int64, np.int16]))).reshape(-1, 2))))
    slots = 4 if name == "box_box" else 1
    shapes = [(p,), (p, 3), (p, slots, 3) if slots > 1 else (p, 3), (p, slots) if slots > 1 else (p,)]
    dtypes = [np.uint8, np.float64, np.float64, np.float64]
    bigs = [np.full((s[0] + 4,) + s[1:], 0x5A if d == np.uint8 else GUARD, d) for s, d in zip(shapes, dtypes)]
    out = tuple(b[2:-2] for b in bigs) if pairs is not None and draw(st.booleans()) else None
    before = [b.copy() for b in bigs]
    snapshots = [raw_bytes(v) for v in args]
    threads = draw(st.sampled_from([1, 2, 3, -1, 0]))
    try:
        result = getattr(batch, name)(*args, pairs, out=out, threads=threads)
    except (TypeError, ValueError, IndexError, OverflowError, ZeroDivisionError, ExporterError):
        for b, old in zip(bigs, before):
            assert np.array_equal(b, old, equal_nan=True)  # a refused call writes nothing
    else:
        count = result.count
        assert count.dtype == np.uint8 and ((count <= slots).all())
        for b, old in zip(bigs, before):  # guard rows intact
            assert np.array_equal(b[:2], old[:2], equal_nan=True)
            assert np.array_equal(b[-2:], old[-2:], equal_nan=True)
    for v, snap in zip(args, snapshots):
        if snap is not None:
            assert raw_bytes(v) == snap  # inputs are only read


@FUZZ
@given(st.data())
def test_mesh_building_and_queries(data):
    from zuli_physics import mesh

    draw = data.draw
    nv = draw(st.integers(0, 6))
    vertices = batch_input(draw, nv, 3)
    nf = draw(st.integers(0, 5))
    faces = draw(st.one_of(
        st.lists(st.integers(-1, 7), min_size=3 * nf, max_size=3 * nf).map(
            lambda xs: np.array(xs).astype(draw(st.sampled_from([np.int32, np.int64, np.uint8]))).reshape(-1, 3)),
        arrays))
    try:
        m = mesh.TriangleMesh(vertices, faces) if draw(st.booleans()) else \
            mesh.TriangleMesh.from_triangles(batch_input(draw, nf, (3, 3)))
    except (TypeError, ValueError, IndexError):
        return
    c0, c1 = draw(arrays | st.just(np.zeros(3))), draw(arrays | st.just(np.ones(3)))
    radius = draw(numbers)
    try:
        res = m.capsule(c0, c1, radius)
    except (TypeError, ValueError, OverflowError, ZeroDivisionError, ExporterError):
        return
    assert (np.diff(res.triangle) > 0).all() and ((res.triangle >= 0) & (res.triangle < m.triangle_count)).all()
