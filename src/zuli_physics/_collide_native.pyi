"""Native oriented box↔box contact generation (SAT + face clipping).

A faithful port of :func:`zuli_physics.collide.box_box` and its clip
helpers: same 15-axis separating-axis test, same reference/incident face choice,
same Sutherland-Hodgman clip and 4-point manifold reduction -- but on C doubles
with fixed-size scratch, so a pair costs native arithmetic instead of dozens of
tiny numpy calls. Boxes are passed as ``center(3)``, world rotation ``R(3,3)``
(columns are the box axes) and half-extents ``half(3)``; no proxy object needed.
"""

from typing import Any, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

# Every array is acquired writable and C-contiguous, also when only read.
Vector: TypeAlias = npt.NDArray[np.float64]
"""Shape (3,) (longer is fine; elements past the third are ignored)."""
Matrix: TypeAlias = npt.NDArray[np.float64]
"""Shape (3, 3) or larger; column j is the box's axis j."""
Triangles: TypeAlias = npt.NDArray[np.float64]
"""Shape (N, 3, 3): triangle, vertex, axis."""
HitArray: TypeAlias = npt.NDArray[np.uint8] | npt.NDArray[np.bool_]
Real: TypeAlias = SupportsFloat | SupportsIndex

Point: TypeAlias = tuple[float, float, float]
ContactResult: TypeAlias = tuple[int, Point, list[Point], list[float]]
"""``(count, normal, points, depths)``."""

__test__: dict[str, Any]

def box_box(ca: Vector, Ra: Matrix, ha: Vector, cb: Vector, Rb: Matrix, hb: Vector) -> ContactResult:
    """Return ``(count, normal, points, depths)`` for the oriented box pair.

    ``normal`` is a length-3 tuple, ``points`` a list of ``count`` (x, y, z)
    tuples and ``depths`` a list of ``count`` penetration depths.
    """

def sphere_sphere(ca: Vector, ra: Real, cb: Vector, rb: Real) -> ContactResult:
    """Sphere↔sphere: ``(count, normal a→b, [point], [depth])``."""

def sphere_box(cs: Vector, rs: Real, cb: Vector, Rb: Matrix, hb: Vector) -> ContactResult:
    """Sphere↔oriented-box: ``(count, normal sphere→box, [point], [depth])``."""

def capsule_triangles(
    cp0: Vector,
    cp1: Vector,
    radius: Real,
    verts: Triangles | None,
    hit: HitArray | None,
    points: npt.NDArray[np.float64] | None,
    normals: npt.NDArray[np.float64] | None,
    depths: npt.NDArray[np.float64] | None,
) -> None:
    """Fill ``hit``/``points``/``normals``/``depths`` for every triangle.

    ``verts`` is ``(N, 3, 3)`` -- triangle, vertex, axis. The output arrays are
    written in place and are the caller's, so a controller reuses one set of
    buffers across a frame instead of allocating per query.
    """
