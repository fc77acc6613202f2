"""box_box: documented cases, safety, and a bit-exact comparison with the
pure-Python reference on random pairs."""

import math

import numpy as np
import pytest
from zuli_physics import collide as ref
from conftest import native, run_isolated, same, vec

I3 = np.eye(3)
UNIT = vec(1, 1, 1)
S = math.sqrt(0.5)
RX45 = np.array([[1, 0, 0], [0, S, -S], [0, S, S]])
RY45 = np.array([[S, 0, S], [0, 1, 0], [-S, 0, S]])
RZ45 = np.array([[S, -S, 0], [S, S, 0], [0, 0, 1]])
TOP = [(1.0, 1.0, 1.0), (-1.0, 1.0, 1.0), (-1.0, -1.0, 1.0), (1.0, -1.0, 1.0)]


def cubes(cb, Rb=I3, ca=(0, 0, 0), Ra=I3):
    return native.box_box(vec(*ca), Ra, UNIT, vec(*cb), Rb, UNIT)


@pytest.mark.parametrize(
    "ca, cb, expected",
    [
        ((0, 0, 0), (0, 0, 1.5), (4, (0.0, 0.0, 1.0), TOP, [0.5] * 4)),
        ((0, 0, 1.5), (0, 0, 0), (4, (-0.0, -0.0, -1.0), [(x, y, 0.5) for x, y, _ in TOP], [0.5] * 4)),
        ((0, 0, 0), (0, 0, 2), (4, (0.0, 0.0, 1.0), TOP, [0.0] * 4)),
        ((0, 0, 0), (0, 0, 3), (0, (0.0, 0.0, 0.0), [], [])),
        ((0, 0, 0), (0, 0, 2.0000001), (0, (0.0, 0.0, 0.0), [], [])),
        ((0, 0, 0), (0, 0, 0),
         (4, (1.0, 0.0, 0.0), [(1.0, 1.0, 1.0), (1.0, -1.0, 1.0), (1.0, -1.0, -1.0), (1.0, 1.0, -1.0)], [2.0] * 4)),
    ],
)
def test_axis_aligned_cases(ca, cb, expected):
    assert same(cubes(cb, ca=ca), expected)


def test_rotated_45_two_contacts():
    count, normal, points, depths = cubes((0, 0, 2), ca=(0, 0, 0), Ra=RX45)
    assert count == 2 and same(normal, (0.0, 0.0, 1.0))
    assert np.allclose(points, [(1, 0, 1), (-1, 0, 1)], atol=1e-15)
    assert np.allclose(depths, [2 * S - 1] * 2, atol=1e-15)


def test_edge_axis_fallback_to_midpoint():
    count, normal, points, depths = cubes((0, 1.5, 2), RZ45 @ RY45 @ RX45)
    assert count == 1 and same(points, [(0.0, 0.75, 1.0)])
    assert depths[0] == pytest.approx(0.169102, abs=1e-6)
    assert math.copysign(1, normal[0]) == -1 and normal[0] == 0
    assert normal[1:] == pytest.approx((0.816497, 0.577350), abs=1e-6)


def test_separated_only_on_edge_axis():
    assert same(cubes((0, 1.5, 2.5), RY45 @ RX45), (0, (0.0, 0.0, 0.0), [], []))


def test_keywords_in_any_order():
    args = dict(ca=vec(0, 0, 0), Ra=RX45, ha=UNIT, cb=vec(0, 0.3, 1.9), Rb=I3, hb=vec(1, 2, 0.5))
    expected = native.box_box(*args.values())
    assert same(native.box_box(**dict(reversed(args.items()))), expected)
    assert same(native.box_box(args["ca"], args["Ra"], hb=args["hb"], ha=args["ha"], Rb=I3, cb=args["cb"]),
                expected)


def test_wider_rotation_is_read_by_rows():
    R = RZ45 @ RX45
    wide = np.full((3, 5), 7.0)
    wide[:, :3] = R
    tall = np.full((4, 3), 7.0)
    tall[:3] = R
    expected = cubes((0.2, 0.5, 1.6), R)
    assert same(cubes((0.2, 0.5, 1.6), wide), expected)
    assert same(cubes((0.2, 0.5, 1.6), tall), expected)


@pytest.mark.parametrize(
    "index, bad, message",
    [
        (1, "np.zeros((3, 2))", "box_box() argument 'Ra' must have at least 3 rows and 3 columns (got shape (3, 2))"),
        (4, "np.zeros((2, 3))", "box_box() argument 'Rb' must have at least 3 rows and 3 columns (got shape (2, 3))"),
        (4, "None", "box_box() argument 'Rb' must have at least 3 rows and 3 columns (got shape (0, 0))"),
        (0, "np.zeros(2)", "box_box() argument 'ca' must have at least 3 elements (got 2)"),
        (5, "None", "box_box() argument 'hb' must have at least 3 elements (got 0)"),
    ],
)
def test_size_refusals(index, bad, message):
    got = run_isolated(f"""
        args = [np.zeros(3), np.eye(3), np.ones(3), np.zeros(3), np.eye(3), np.ones(3)]
        args[{index}] = {bad}
        try:
            native.box_box(*args)
            print(json.dumps(["no error"]))
        except ValueError as e:
            print(json.dumps([str(e)]))
    """)
    assert got == [message]


def test_reference_walks_the_documented_cases():
    r = ref.box_box([0, 0, 0], I3.tolist(), [1, 1, 1], [0, 0, 1.5], I3.tolist(), [1, 1, 1])
    assert same(r, cubes((0, 0, 1.5)))
