"""Argument binding, buffer and number conversion, and the error paths."""

import traceback

import numpy as np
import pytest
from conftest import native, run_isolated, same, vec

SPHERES = (vec(0, 0, 0), 1.0, vec(1.5, 0, 0), 1.0)
BOXES = (vec(0, 0, 0), np.eye(3), vec(1, 1, 1), vec(0, 0, 1.5), np.eye(3), vec(1, 1, 1))
PARAMS = {
    "box_box": ("ca", "Ra", "ha", "cb", "Rb", "hb"),
    "sphere_sphere": ("ca", "ra", "cb", "rb"),
    "sphere_box": ("cs", "rs", "cb", "Rb", "hb"),
    "capsule_triangles": ("cp0", "cp1", "radius", "verts", "hit", "points", "normals", "depths"),
}


def capsule_args(n=2):
    verts = np.zeros((n, 3, 3))
    verts[:, 1, 0] = 1.0
    verts[:, 2, 1] = 1.0
    verts[1:, :, 2] = 5.0
    return [vec(0.25, 0.25, 0.5), vec(0.25, 0.25, 2), 1.0, verts,
            np.zeros(n, np.uint8), np.zeros((n, 3)), np.zeros((n, 3)), np.zeros(n)]


def raises(exc, message, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message
    return info


NEEDS = {
    "ca": "a writable, C-contiguous float64 array of 3 elements; np.ascontiguousarray(ca, dtype=np.float64) makes one",
    "cb": "a writable, C-contiguous float64 array of 3 elements; np.ascontiguousarray(cb, dtype=np.float64) makes one",
    "hb": "a writable, C-contiguous float64 array of 3 elements; np.ascontiguousarray(hb, dtype=np.float64) makes one",
    "Ra": "a writable, C-contiguous float64 array of shape (3, 3); np.ascontiguousarray(Ra, dtype=np.float64) makes one",
    "Rb": "a writable, C-contiguous float64 array of shape (3, 3); np.ascontiguousarray(Rb, dtype=np.float64) makes one",
    "ra": "a real number (a float, an int or an object with __float__)",
    "rs": "a real number (a float, an int or an object with __float__)",
    "verts": "a writable, C-contiguous float64 array of shape (N, 3, 3); "
             "np.ascontiguousarray(verts, dtype=np.float64) makes one",
    "hit": "a writable, C-contiguous uint8 or bool array of N elements, one per triangle; "
           "np.zeros(len(verts), dtype=np.uint8) makes one",
    "points": "a writable, C-contiguous float64 array of shape (N, 3), one row per triangle; "
              "np.zeros((len(verts), 3)) makes one",
}


def noted(info, fn, arg):
    """A conversion error carries exactly one note: what `arg` needs."""
    assert info.value.__notes__ == [f"{fn}() argument '{arg}': needs {NEEDS[arg]}"]


class TestBinding:
    @pytest.mark.parametrize("n", [5, 7, 0])
    def test_positional_count(self, n):
        args = (list(BOXES) * 2)[:n]
        raises(TypeError, f"box_box() takes exactly 6 positional arguments ({n} given)", native.box_box, *args)

    def test_missing_reports_leading_values(self):
        ca, Ra, ha, cb, Rb, hb = BOXES
        raises(TypeError, "box_box() takes exactly 6 positional arguments (4 given)",
               native.box_box, ca, Ra, ha=ha, cb=cb, hb=hb)

    def test_too_many_with_keywords(self):
        ca, ra, cb, rb = SPHERES
        raises(TypeError, "sphere_sphere() takes exactly 4 positional arguments (5 given)",
               native.sphere_sphere, ca, 1.0, cb, 1.0, 2.0)
        raises(TypeError, "sphere_sphere() takes exactly 4 positional arguments (5 given)",
               native.sphere_sphere, ca, 1.0, cb, 1.0, 2.0, ra=1.0)

    def test_multiple_values(self):
        ca, ra, cb, rb = SPHERES
        raises(TypeError, "sphere_sphere() got multiple values for keyword argument 'ra'",
               native.sphere_sphere, ca, 1.0, cb, rb=1.0, ra=2.0)

    def test_unexpected_keyword(self):
        ca, ra, cb, rb = SPHERES
        raises(TypeError, "sphere_sphere() got an unexpected keyword argument 'radius'",
               native.sphere_sphere, ca, 1.0, cb, radius=1.0)

    def test_non_string_key_in_mapping(self):
        with pytest.raises(TypeError, match="keywords must be strings"):
            native.sphere_sphere(*SPHERES[:3], **{1: 2})

    def test_binding_error_before_conversion(self):
        raises(TypeError, "sphere_sphere() got an unexpected keyword argument 'x'",
               native.sphere_sphere, "not an array", "nor a number", None, rb=1.0, x=1)

    @pytest.mark.parametrize("name", sorted(PARAMS))
    def test_keywords_equal_positional_in_any_order(self, name):
        args = {"box_box": BOXES, "sphere_sphere": SPHERES,
                "sphere_box": (vec(2, 0, 0), 1.5, vec(0, 0, 0), np.eye(3), vec(1, 1, 1))}.get(name)
        fn = getattr(native, name)
        if name == "capsule_triangles":
            pos, kw = capsule_args(), capsule_args()
            fn(*pos)
            fn(**dict(reversed(list(zip(PARAMS[name], kw)))))
            for a, b in zip(pos[4:], kw[4:]):
                assert np.array_equal(a, b)
            return
        expected = fn(*args)
        names = PARAMS[name]
        assert same(fn(**dict(reversed(list(zip(names, args))))), expected)
        half = len(names) // 2
        assert same(fn(*args[:half], **dict(zip(names[half:], args[half:]))), expected)

    def test_str_subclass_keywords(self):
        class Key(str):
            pass

        ca, ra, cb, rb = SPHERES
        kw = {Key("ca"): ca, Key("ra"): ra, Key("cb"): cb, Key("rb"): rb}
        assert same(native.sphere_sphere(**kw), native.sphere_sphere(*SPHERES))

    def test_str_subclass_comparison_error_propagates(self):
        class Bad(str):
            def __eq__(self, other):
                raise ZeroDivisionError("eq")

            __hash__ = str.__hash__

        with pytest.raises(ZeroDivisionError):
            native.sphere_sphere(*SPHERES[:3], **{Bad("zz"): 1.0})


class TestArrays:
    @pytest.mark.parametrize(
        "bad, message",
        [
            (np.zeros(3, np.float32), "Buffer dtype mismatch, expected 'double' but got 'float'"),
            (np.zeros(3, np.int32), "Buffer dtype mismatch, expected 'double' but got 'int'"),
            (np.zeros(3, np.int64), "Buffer dtype mismatch, expected 'double' but got 'long'"),
            (np.zeros(3, np.complex128), "Buffer dtype mismatch, expected 'double' but got 'complex double'"),
            (np.zeros(3, np.longdouble), "Buffer dtype mismatch, expected 'double' but got 'long double'"),
            (np.zeros(3, np.bool_), "Buffer dtype mismatch, expected 'double' but got 'bool'"),
            (np.zeros(3, ">f8"), "Big-endian buffer not supported on little-endian compiler"),
            (np.zeros(3, np.float16), "Does not understand character buffer dtype format string ('e')"),
            (np.zeros(3, "f8,f8"), "Buffer dtype mismatch, expected end but got 'double'"),
            (np.zeros((3, 3)), "Buffer has wrong number of dimensions (expected 1, got 2)"),
            (np.zeros(()), "Buffer has wrong number of dimensions (expected 1, got 0)"),
            (memoryview(bytearray(24)), "Buffer dtype mismatch, expected 'double' but got 'unsigned char'"),
            (memoryview(bytearray(24)).cast("c"), "Buffer dtype mismatch, expected 'double' but got 'char'"),
            (np.zeros(3, {"names": ["x"], "formats": ["<f8"], "itemsize": 16}),
             "Item size of buffer (16 bytes) does not match size of 'double' (8 bytes)"),
        ],
    )
    def test_vector_refusals(self, bad, message):
        info = raises(ValueError, message, native.sphere_sphere, bad, 1.0, vec(1, 0, 0), 1.0)
        noted(info, "sphere_sphere", "ca")

    def test_single_field_struct_is_one_double(self):
        ca = np.zeros(3, [("x", "<f8")])
        assert native.sphere_sphere(ca, 1.0, vec(1.5, 0, 0), 1.0)[0] == 1

    @pytest.mark.parametrize(
        "make",
        [
            lambda: np.asfortranarray(np.arange(9.0).reshape(3, 3)),
            lambda: np.eye(6)[::2, ::2],
            lambda: np.eye(3)[:, :],
        ],
        ids=["fortran", "strided", "readonly"],
    )
    def test_exporter_refuses_matrix(self, make):
        R = make()
        if R.flags.c_contiguous:
            R.flags.writeable = False
        # The exporter's own error, raised before any of the module's checks.
        with pytest.raises(ValueError, match="not C-contiguous|read-only") as info:
            native.sphere_box(vec(2, 0, 0), 1.0, vec(0, 0, 0), R, vec(1, 1, 1))
        noted(info, "sphere_box", "Rb")

    def test_readonly_vector_refused_by_numpy(self):
        ca = vec(0, 0, 0)
        ca.flags.writeable = False
        with pytest.raises(ValueError, match="read-only") as info:
            native.sphere_sphere(ca, 1.0, vec(1, 0, 0), 1.0)
        noted(info, "sphere_sphere", "ca")

    def test_strided_vector_refused_by_numpy(self):
        with pytest.raises(ValueError, match="contiguous") as info:
            native.sphere_sphere(np.zeros(6)[::2], 1.0, vec(1, 0, 0), 1.0)
        noted(info, "sphere_sphere", "ca")

    @pytest.mark.parametrize("obj", [[0.0, 0.0, 0.0], (0.0, 0.0, 0.0), 3.0, "abc"])
    def test_non_buffers(self, obj):
        with pytest.raises(TypeError, match="bytes-like object is required") as info:
            native.sphere_sphere(obj, 1.0, vec(1, 0, 0), 1.0)
        noted(info, "sphere_sphere", "ca")

    def test_memoryview_of_double_array(self):
        ca = memoryview(vec(0, 0, 0))
        assert native.sphere_sphere(ca, 1.0, vec(1.5, 0, 0), 1.0)[0] == 1

    def test_wider_matrix_read_by_rows(self):
        R = np.zeros((3, 5))
        R[:, :3] = np.eye(3)[:, [1, 0, 2]]
        R[:, 3:] = 99.0
        got = native.sphere_box(vec(0, 2.5, 0), 1.0, vec(0, 0, 0), R, vec(2, 1, 1))
        assert same(got, native.sphere_box(vec(0, 2.5, 0), 1.0, vec(0, 0, 0), np.ascontiguousarray(R[:, :3]), vec(2, 1, 1)))

    def test_first_bad_argument_wins(self):
        raises(ValueError, "Buffer dtype mismatch, expected 'double' but got 'int'",
               native.box_box, vec(0, 0, 0), np.eye(3, dtype=np.int32), np.zeros(3, np.float32),
               vec(0, 0, 0), np.eye(3), vec(1, 1, 1))

    @pytest.mark.parametrize("step", [1, 2, 5])
    def test_length_one_axis_may_have_any_stride(self, step):
        # A memoryview slice of length 1 keeps its parent's step as stride;
        # such an axis is contiguous whatever the stride, and the writes
        # land on its one element.
        args = capsule_args(1)
        plain = [a.copy() if isinstance(a, np.ndarray) else a for a in args]
        native.capsule_triangles(*plain)
        hit_store, depth_store = np.full(6, 7, np.uint8), np.full(6, 9.0)
        args[4] = memoryview(hit_store)[::step][:1]
        args[7] = memoryview(depth_store)[::step][:1]
        native.capsule_triangles(*args)
        assert hit_store[0] == plain[4][0] == 1 and (hit_store[1:] == 7).all()
        assert depth_store[0] == plain[7][0] and (depth_store[1:] == 9.0).all()
        assert same(list(args[5].ravel()) + list(args[6].ravel()), list(plain[5].ravel()) + list(plain[6].ravel()))

    def test_empty_array_passes_layout(self):
        info = raises(ValueError, "sphere_sphere() argument 'ca' must have at least 3 elements (got 0)",
                      native.sphere_sphere, np.zeros(0), 1.0, vec(1, 0, 0), 1.0)
        noted(info, "sphere_sphere", "ca")


class Floaty:
    def __float__(self):
        return 1.0


class Indexy:
    def __index__(self):
        return 1


class BadFloat:
    def __float__(self):
        raise ZeroDivisionError("nope")


class TestNumbers:
    @pytest.mark.parametrize("r", [1, True, np.float64(1.0), np.int32(1), Floaty(), Indexy(), 1.0])
    def test_accepted(self, r):
        expected = native.sphere_sphere(vec(0, 0, 0), 1.0, vec(1.5, 0, 0), 1.0)
        assert same(native.sphere_sphere(vec(0, 0, 0), r, vec(1.5, 0, 0), 1.0), expected)

    def test_minus_one_is_a_value(self):
        assert native.sphere_sphere(vec(0, 0, 0), -1.0, vec(0.5, 0, 0), 2.0)[0] == 1

    @pytest.mark.parametrize("r, exc", [("1.0", TypeError), (None, TypeError), (BadFloat(), ZeroDivisionError),
                                        (10**400, OverflowError)])
    def test_refused(self, r, exc):
        with pytest.raises(exc) as info:
            native.sphere_sphere(vec(0, 0, 0), r, vec(1.5, 0, 0), 1.0)
        noted(info, "sphere_sphere", "ra")


class TestTraceback:
    def test_entry_names_function(self):
        with pytest.raises(TypeError) as info:
            native.capsule_triangles()
        entries = traceback.extract_tb(info.value.__traceback__)
        assert entries[-1].name == "zuli_physics._collide_native.capsule_triangles"
        assert entries[-1].filename == "src/zuli_physics/_collide_native"

    def test_entry_on_conversion_error(self):
        with pytest.raises(ZeroDivisionError) as info:
            native.sphere_box(vec(0, 0, 0), BadFloat(), vec(0, 0, 0), np.eye(3), vec(1, 1, 1))
        names = [e.name for e in traceback.extract_tb(info.value.__traceback__)]
        assert names[-2:] == ["zuli_physics._collide_native.sphere_box", "__float__"]


class TestResults:
    def test_separated_sphere_normal_is_shared(self):
        a = native.sphere_sphere(vec(0, 0, 0), 1.0, vec(3, 0, 0), 1.0)
        b = native.sphere_box(vec(3, 0, 0), 1.0, vec(0, 0, 0), np.eye(3), vec(1, 1, 1))
        assert a[1] is b[1] and a[1] == (0.0, 0.0, 0.0)
        assert a[2] is not b[2] and a[3] is not b[3]

    def test_separated_box_normal_is_new(self):
        far = list(BOXES)
        far[3] = vec(0, 0, 3)
        a, b = native.box_box(*far), native.box_box(*far)
        assert same(a, (0, (0.0, 0.0, 0.0), [], []))
        assert a[1] is not b[1] and a[2] is not b[2]

    def test_lists_are_fresh(self):
        a, b = native.sphere_sphere(*SPHERES), native.sphere_sphere(*SPHERES)
        assert a[2] is not b[2] and a[3] is not b[3] and a[1] is not b[1]
        a[2].append(None)
        assert len(native.sphere_sphere(*SPHERES)[2]) == 1


# Calls that must be refused because they would read or write outside an
# argument's buffer. Each runs in a child process: a crash fails the test.
SAFETY = [
    ("native.sphere_sphere(None, 1.0, vec(1, 0, 0), 1.0)",
     "sphere_sphere() argument 'ca' must have at least 3 elements (got 0)"),
    ("native.sphere_sphere(vec(0, 0, 0), 1.0, vec(1, 0), 1.0)",
     "sphere_sphere() argument 'cb' must have at least 3 elements (got 2)"),
    ("native.sphere_box(vec(0, 0, 0), 1.0, vec(0, 0, 0), None, vec(1, 1, 1))",
     "sphere_box() argument 'Rb' must have at least 3 rows and 3 columns (got shape (0, 0))"),
    ("native.sphere_box(vec(0, 0, 0), 1.0, vec(0, 0, 0), np.zeros((3, 2)), vec(1, 1, 1))",
     "sphere_box() argument 'Rb' must have at least 3 rows and 3 columns (got shape (3, 2))"),
    ("native.sphere_box(vec(0, 0, 0), 1.0, vec(0, 0, 0), np.eye(3), np.ones(1))",
     "sphere_box() argument 'hb' must have at least 3 elements (got 1)"),
    ("native.box_box(vec(0, 0, 0), np.eye(3)[:2].copy(), vec(1, 1, 1), vec(0, 0, 0), np.eye(3), vec(1, 1, 1))",
     "box_box() argument 'Ra' must have at least 3 rows and 3 columns (got shape (2, 3))"),
    ("native.box_box(vec(0, 0, 0), np.eye(3), vec(1, 1, 1), vec(0, 0, 0), np.eye(3), None)",
     "box_box() argument 'hb' must have at least 3 elements (got 0)"),
]


@pytest.mark.parametrize("call, message", SAFETY)
def test_safety_refusals(call, message):
    got = run_isolated(f"""
        def vec(*xs): return np.array(xs, dtype=np.float64)
        try:
            {call}
            print(json.dumps(["no error"]))
        except Exception as e:
            print(json.dumps([type(e).__name__, str(e), len(getattr(e, "__notes__", []))]))
    """)
    assert got == ["ValueError", message, 1]


@pytest.mark.parametrize("fn, arg, args", [
    ("capsule_triangles", "verts", lambda a: a[:3] + [np.zeros((2, 3, 3), np.float32)] + a[4:]),
    ("capsule_triangles", "hit", lambda a: a[:4] + [np.zeros(2, np.int16)] + a[5:]),
    ("capsule_triangles", "points", lambda a: a[:5] + [np.zeros((1, 3))] + a[6:]),
    ("box_box", "Ra", lambda a: [vec(0, 0, 0), np.eye(3).tolist(), *BOXES[2:]]),
    ("box_box", "hb", lambda a: [*BOXES[:5], vec(1, 1)]),
])
def test_notes_name_the_argument_and_the_fix(fn, arg, args):
    with pytest.raises((TypeError, ValueError)) as info:
        getattr(native, fn)(*args(capsule_args()))
    noted(info, fn, arg)
    assert "needs" not in str(info.value)  # the message itself is unchanged


def test_success_and_binding_errors_carry_no_note():
    assert native.box_box(*BOXES)[0] == 4
    with pytest.raises(TypeError) as info:
        native.box_box(*BOXES[:5])
    assert not hasattr(info.value, "__notes__")
