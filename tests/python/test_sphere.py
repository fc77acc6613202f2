"""sphere_sphere and sphere_box: documented cases and a bit-exact comparison
with the pure-Python reference."""

import math

import numpy as np
import pytest
from zuli_physics import collide as ref
from conftest import native, same, vec

I3 = np.eye(3)
ONES = vec(1, 1, 1)
TURNED = np.array([[0.0, -1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 1.0]])


@pytest.mark.parametrize(
    "ca, ra, cb, rb, expected",
    [
        ((0, 0, 0), 1, (1.5, 0, 0), 1, (1, (1.0, 0.0, 0.0), [(0.75, 0.0, 0.0)], [0.5])),
        ((0, 0, 0), 1, (2, 0, 0), 1, (0, (0.0, 0.0, 0.0), [], [])),
        ((1, 2, 3), 1, (1, 2, 3), 0.5, (1, (0.0, 1.0, 0.0), [(1.0, 2.25, 3.0)], [1.5])),
        ((0, 0, 0), 1, (1e-10, 0, 0), 1, (1, (0.0, 1.0, 0.0), [(0.0, 1 - (2.0 - 1e-10) * 0.5, 0.0)], [2.0 - 1e-10])),
        ((0, 0, 0), 1, (1e-9, 0, 0), 1, (1, (0.0, 1.0, 0.0), [(0.0, 1 - (2.0 - 1e-9) * 0.5, 0.0)], [2.0 - 1e-9])),
        ((0, 0, 0), 0, (0, 0, 0), 0, (0, (0.0, 0.0, 0.0), [], [])),
        ((0, 0, 0), 1e200, (1e200, 0, 0), 0, (0, (0.0, 0.0, 0.0), [], [])),
    ],
)
def test_sphere_sphere_cases(ca, ra, cb, rb, expected):
    got = native.sphere_sphere(vec(*ca), ra, vec(*cb), rb)
    assert same(got, expected), got


def test_sphere_sphere_tiny_offset_uses_hypot():
    got = native.sphere_sphere(vec(0, 0, 0), 1e-150, vec(1e-150, 0, 0), 1e-150)
    assert got[0] == 1 and got[3] == [1e-150]


def test_sphere_sphere_nan():
    got = native.sphere_sphere(vec(math.nan, 0, 0), 1.0, vec(1, 0, 0), 1.0)
    assert got[0] == 1 and got[1] == (0.0, 1.0, 0.0) and math.isnan(got[3][0])
    got = native.sphere_sphere(vec(0, 0, 0), math.nan, vec(1, 0, 0), 1.0)
    assert got[0] == 1 and got[1] == (1.0, 0.0, 0.0) and math.isnan(got[3][0])


def test_sphere_sphere_ignores_extra_elements():
    a = native.sphere_sphere(vec(0, 0, 0, 7, 7), 1, vec(1.5, 0, 0, -3), 1)
    assert same(a, native.sphere_sphere(vec(0, 0, 0), 1, vec(1.5, 0, 0), 1))


@pytest.mark.parametrize(
    "cs, rs, R, hb, expected",
    [
        ((2, 0, 0), 1.5, I3, ONES, (1, (-1.0, -0.0, -0.0), [(1.0, 0.0, 0.0)], [0.5])),
        ((3, 0, 0), 1, I3, ONES, (0, (0.0, 0.0, 0.0), [], [])),
        ((2, 0, 0), 1, I3, ONES, (1, (-1.0, -0.0, -0.0), [(1.0, 0.0, 0.0)], [0.0])),
        ((2, 2, 0), 1.5, I3, ONES,
         (1, (-0.7071067811865475, -0.7071067811865475, -0.0), [(1.0, 1.0, 0.0)], [0.08578643762690485])),
        ((0.5, 0.2, 0), 0.25, I3, ONES, (1, (-1.0, -0.0, -0.0), [(0.5, 0.2, 0.0)], [0.75])),
        ((-0.5, 0, 0), 0.25, I3, ONES, (1, (1.0, -0.0, -0.0), [(-0.5, 0.0, 0.0)], [0.75])),
        ((0, 0, 0), 0.25, I3, ONES, (1, (-1.0, -0.0, -0.0), [(0.0, 0.0, 0.0)], [1.25])),
        ((0, 0, 0), 0.25, I3, vec(2, 1, 1), (1, (-0.0, -1.0, -0.0), [(0.0, 0.0, 0.0)], [1.25])),
        ((1 + 5e-10, 0, 0), 0.25, I3, ONES, (1, (-1.0, -0.0, -0.0), [(1.0, 0.0, 0.0)], [0.24999999949999996])),
        ((0, 2.5, 0), 1, TURNED, vec(2, 1, 1), (1, (-0.0, -1.0, -0.0), [(0.0, 2.0, 0.0)], [0.5])),
        ((0, 0, 0), 0.5, I3, vec(0, 0, 0), (1, (-1.0, -0.0, -0.0), [(0.0, 0.0, 0.0)], [0.5])),
    ],
)
def test_sphere_box_cases(cs, rs, R, hb, expected):
    got = native.sphere_box(vec(*cs), rs, vec(0, 0, 0), R, hb)
    assert same(got, expected), got


def test_reference_agrees_on_cases():
    assert same(ref.sphere_box((2, 2, 0), 1.5, (0, 0, 0), I3.tolist(), (1, 1, 1)),
                native.sphere_box(vec(2, 2, 0), 1.5, vec(0, 0, 0), I3, ONES))
