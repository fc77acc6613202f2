"""Capsule contacts against large static triangle meshes through a bounding-volume hierarchy."""

from typing import NamedTuple

import numpy as np
import numpy.typing as npt

Floats = npt.NDArray[np.float64]

class MeshContacts(NamedTuple):
    """Capsule contacts with H triangles, in ascending face order."""

    triangle: npt.NDArray[np.int64]
    """(H,): the caller's face index."""
    points: Floats
    """(H, 3): the contact point on the triangle."""
    normals: Floats
    """(H, 3): unit normal from the triangle towards the capsule."""
    depths: Floats
    """(H,): penetration depth."""

class TriangleMesh:
    """A static triangle mesh indexed for capsule contacts and box overlaps."""

    def __init__(self, vertices: npt.ArrayLike, faces: npt.ArrayLike) -> None: ...
    @staticmethod
    def from_triangles(verts: npt.ArrayLike) -> TriangleMesh: ...
    @property
    def triangle_count(self) -> int: ...
    @property
    def bounds(self) -> tuple[Floats, Floats]: ...
    @property
    def nbytes(self) -> int: ...
    def overlap(self, lo: npt.ArrayLike, hi: npt.ArrayLike) -> npt.NDArray[np.int64]: ...
    def capsule(
        self,
        cp0: npt.ArrayLike,
        cp1: npt.ArrayLike,
        radius: float,
        *,
        out: MeshContacts | tuple[npt.NDArray[np.int64], Floats, Floats, Floats] | None = None,
    ) -> MeshContacts: ...
    def capsules(
        self, cp0: npt.ArrayLike, cp1: npt.ArrayLike, radius: npt.ArrayLike | float, *, threads: int = 1
    ) -> tuple[npt.NDArray[np.int64], MeshContacts]: ...
