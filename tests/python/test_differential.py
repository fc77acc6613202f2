"""The native module against the pure-Python reference, bit for bit, on
seeded random cases from every input family (see differential.py)."""

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
