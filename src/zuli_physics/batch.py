"""Contacts for many box and sphere pairs per call.

Bodies are rows of arrays: centres ``(K, 3)``, rotations ``(K, 3, 3)`` whose
column j is the box's axis j (used as given, never normalised), half-extents
``(K, 3)``, and radii ``(K,)`` or one number for every row. Each function
returns, row by row and bit for bit, what the single-pair function of
:mod:`zuli_physics` (``box_box``, ``sphere_sphere``, ``sphere_box``) gives
for that pair.

Pairing. ``pairs`` is a ``(P, 2)`` int32 or int64 array whose row p is
(row of side A, row of side B); an index outside its side, negative ones
included, is refused with :class:`IndexError` before anything is written.
With ``pairs=None``, row i pairs with row i when both sides have as many rows,
and a side of one row pairs with every row of the other.

Inputs are float64 arrays read in place with whatever strides they have;
read-only ones (memory maps, ``np.broadcast_to``) are fine. They are never
converted: another dtype or a list is refused with a :class:`TypeError` that
says how to convert it.

Outputs. ``out=None`` allocates the result arrays. ``out=`` takes
caller-owned arrays (a result named tuple or a 4-tuple) that are written in
place and returned, so one set of buffers serves every frame. They must have
exactly the result's dtypes and shapes, be writable and C-contiguous, and
share memory with no other output and no input; otherwise the call is
refused, naming the array, and writes nothing. Every element of a row is
written: slots at and past its count hold 0.0, and a separated row has
count 0 and normal (0.0, 0.0, 0.0).

Threads. ``threads=1`` runs on the calling thread; N > 1 splits the rows into
contiguous chunks over up to N threads of a shared pool, -1 means
``os.cpu_count()``. Results are identical for every count. Batches too small
to gain run on fewer threads. The interpreter lock is released while the rows
run, after the arguments are checked.

>>> import numpy as np
>>> from zuli_physics import batch
>>> c = np.array([[0.0, 0.0, 0.0], [0.0, 0.0, 0.75], [5.0, 0.0, 0.0]])
>>> R = np.broadcast_to(np.eye(3), (3, 3, 3))
>>> h = np.full((3, 3), 0.5)
>>> res = batch.box_box(c, R, h, c, R, h, np.array([[0, 1], [1, 2]]))
>>> res.count.tolist(), res.normal[0].tolist(), res.depths[0].tolist()
([4, 0], [0.0, 0.0, 1.0], [0.25, 0.25, 0.25, 0.25])
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from . import _batch
from ._batch import BoxContacts, SphereContacts

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    Out = tuple[npt.NDArray[np.uint8], npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]

__all__ = ["BoxContacts", "SphereContacts", "box_box", "sphere_sphere", "sphere_box"]

BoxContacts.__doc__ = """Box contacts of P pairs, row p for pair p.

count: (P,) uint8, 0 to 4 contacts.
normal: (P, 3) float64, unit normal from A towards B; (0, 0, 0) when separated.
points: (P, 4, 3) float64, contact points on the reference face's plane.
depths: (P, 4) float64, penetration depths (0.0 for exactly touching faces).
Slots at and past a row's count hold 0.0."""
SphereContacts.__doc__ = """Sphere contacts of P pairs, row p for pair p.

count: (P,) uint8, 0 or 1.
normal: (P, 3) float64, unit normal from A towards B; (0, 0, 0) when separated.
points: (P, 3) float64, the contact point; 0.0 when separated.
depths: (P,) float64, the penetration depth; 0.0 when separated."""


def box_box(
    ca: npt.ArrayLike,
    Ra: npt.ArrayLike,
    ha: npt.ArrayLike,
    cb: npt.ArrayLike,
    Rb: npt.ArrayLike,
    hb: npt.ArrayLike,
    pairs: npt.ArrayLike | None = None,
    *,
    out: BoxContacts | Out | None = None,
    threads: int = 1,
) -> BoxContacts:
    """Contacts of P box pairs as a :class:`BoxContacts`.

    Side A is ``ca`` (KA, 3), ``Ra`` (KA, 3, 3), ``ha`` (KA, 3); side B is
    ``cb``, ``Rb``, ``hb`` with KB rows. Results: count (P,) uint8, normal
    (P, 3), points (P, 4, 3), depths (P, 4) float64; row p equals
    ``zuli_physics.box_box`` on pair p, bit for bit. Pairing, outputs and
    threads as described in the module documentation.
    """
    return _batch.box_box(ca, Ra, ha, cb, Rb, hb, pairs, out, threads)


def sphere_sphere(
    ca: npt.ArrayLike,
    ra: npt.ArrayLike | float,
    cb: npt.ArrayLike,
    rb: npt.ArrayLike | float,
    pairs: npt.ArrayLike | None = None,
    *,
    out: SphereContacts | Out | None = None,
    threads: int = 1,
) -> SphereContacts:
    """Contacts of P sphere pairs as a :class:`SphereContacts`.

    Side A is ``ca`` (KA, 3) with radii ``ra`` ((KA,) or one number); side B
    is ``cb`` and ``rb`` with KB rows. Results: count (P,) uint8, normal
    (P, 3), points (P, 3), depths (P,) float64; row p equals
    ``zuli_physics.sphere_sphere`` on pair p, bit for bit (exactly touching
    spheres are separated). Pairing, outputs and threads as described in the
    module documentation.
    """
    return _batch.sphere_sphere(ca, ra, cb, rb, pairs, out, threads)


def sphere_box(
    cs: npt.ArrayLike,
    rs: npt.ArrayLike | float,
    cb: npt.ArrayLike,
    Rb: npt.ArrayLike,
    hb: npt.ArrayLike,
    pairs: npt.ArrayLike | None = None,
    *,
    out: SphereContacts | Out | None = None,
    threads: int = 1,
) -> SphereContacts:
    """Contacts of P sphere-box pairs as a :class:`SphereContacts`.

    Side A is the spheres ``cs`` (KA, 3) with radii ``rs`` ((KA,) or one
    number); side B is the boxes ``cb`` (KB, 3), ``Rb`` (KB, 3, 3), ``hb``
    (KB, 3). The normal points from the sphere towards the box. Results:
    count (P,) uint8, normal (P, 3), points (P, 3), depths (P,) float64; row
    p equals ``zuli_physics.sphere_box`` on pair p, bit for bit. Pairing,
    outputs and threads as described in the module documentation.
    """
    return _batch.sphere_box(cs, rs, cb, Rb, hb, pairs, out, threads)
