"""Native part of zuli_physics.batch, which documents these functions."""

from typing import Any

import numpy as np
import numpy.typing as npt

from .batch import BoxContacts as BoxContacts, SphereContacts as SphereContacts

def box_box(
    ca: npt.ArrayLike, Ra: npt.ArrayLike, ha: npt.ArrayLike, cb: npt.ArrayLike, Rb: npt.ArrayLike,
    hb: npt.ArrayLike, pairs: npt.ArrayLike | None, out: Any, threads: int, /,
) -> BoxContacts: ...
def sphere_sphere(
    ca: npt.ArrayLike, ra: npt.ArrayLike | float, cb: npt.ArrayLike, rb: npt.ArrayLike | float,
    pairs: npt.ArrayLike | None, out: Any, threads: int, /,
) -> SphereContacts: ...
def sphere_box(
    cs: npt.ArrayLike, rs: npt.ArrayLike | float, cb: npt.ArrayLike, Rb: npt.ArrayLike, hb: npt.ArrayLike,
    pairs: npt.ArrayLike | None, out: Any, threads: int, /,
) -> SphereContacts: ...
