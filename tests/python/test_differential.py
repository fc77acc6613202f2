"""The native module against the pure-Python reference, bit for bit, on
seeded random cases from every input family (see differential.py)."""

import math
import os

import numpy as np
import pytest
from zuli_physics import collide as ref
from conftest import native, same
from differential import CHECKS, run

CASES = int(os.environ.get("ZULI_DIFF_CASES", "20000"))
# The runs fork worker processes while the batch module's thread pool is up;
# the pool is fork-safe (the children use it too), so the warning is noise.
pytestmark = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")


@pytest.mark.parametrize("name", list(CHECKS))
def test_matches_reference(name):
    done, bad = run(name, CASES, jobs=2)
    assert done >= CASES
    assert not bad, f"{len(bad)} mismatches; first:\n{bad[0]}"


def assert_capsule_row(c0, c1, radius, tri):
    """One capsule/triangle pair through the batch call against the reference
    (the shape of the cases differential.py prints for mismatches)."""
    hit, points, normals, depths = np.zeros(1, np.uint8), np.zeros((1, 3)), np.zeros((1, 3)), np.zeros(1)
    native.capsule_triangles(np.array(c0, float), np.array(c1, float), radius, np.array([tri], float),
                             hit, points, normals, depths)
    want = ref.capsule_triangle_contact(tuple(c0), tuple(c1), radius, *map(tuple, tri))
    assert hit[0] == (want is not None)
    if want is not None:
        assert same((tuple(points[0].tolist()), tuple(normals[0].tolist()), float(depths[0])), tuple(want))


def _edge_cases():
    """Capsules whose contact the edge pass decides, around each edge of a
    tilted triangle with inexact coordinates: closest points inside the edge,
    clamped at either of its ends (where the clamped point, a + 1 * (b - a),
    may differ from the vertex in its last bit), axes parallel to the edge
    and axes of length zero (moved to x = -0.0, a sign a point axis keeps),
    plus an edge too short to have a direction."""
    tri = [[0.1, 0.2, 0.05], [1.3, 0.4, -0.1], [0.3, 1.1, 0.2]]
    sliver = [[0.1, 0.2, 0.05], [1.3, 0.4, -0.1], [1.3, 0.4 + 1e-6, -0.1]]
    cases = {}
    for name, t in (("triangle", tri), ("short edge", sliver)):
        for k in range(3):
            a, b = t[k], t[(k + 1) % 3]
            e = [y - x for x, y in zip(a, b)]
            out = [e[1], -e[0], 0.0]  # in the xy plane, away from the triangle for this winding
            n = math.hypot(*out)
            out = [x / n * 0.2 for x in out]
            for at in (-0.1, 0.4, 1.1):
                q = [x + at * d + o for x, d, o in zip(a, e, out)]
                q[2] += 0.05
                across = [q[0] - out[0], q[1] - out[1], q[2] + 0.2]
                along = [x + 0.7 * d for x, d in zip(q, e)]
                cases[f"{name}, edge {k} at {at}, across"] = (q, across, t)
                cases[f"{name}, edge {k} at {at}, along"] = (q, along, t)
                moved = [[v[0] - q[0], v[1], v[2]] for v in t]
                point = [-0.0, q[1], q[2]]
                cases[f"{name}, edge {k} at {at}, point"] = (point, list(point), moved)
    return {key: (c0, c1, 0.35, t) for key, (c0, c1, t) in cases.items()
            if ref.capsule_triangle_contact(tuple(c0), tuple(c1), 0.35, *map(tuple, t)) is not None}


EDGE_CASES = _edge_cases()


@pytest.mark.parametrize("winding", [(0, 1, 2), (0, 2, 1)])
@pytest.mark.parametrize("c0, c1, radius, tri", EDGE_CASES.values(), ids=EDGE_CASES.keys())
def test_edge_pass_cases(c0, c1, radius, tri, winding):
    assert_capsule_row(c0, c1, radius, [tri[k] for k in winding])
    assert_capsule_row(c1, c0, radius, [tri[k] for k in winding])
