"""zuli_physics: rigid-body contact generation for Python, native and bit-exact.

Single pairs (the native functions, also here at the top):
    box_box(ca, Ra, ha, cb, Rb, hb)          -> (count, normal, points, depths)
    sphere_sphere(ca, ra, cb, rb)            -> (count, normal, points, depths)
    sphere_box(cs, rs, cb, Rb, hb)           -> (count, normal, points, depths)
    capsule_triangles(cp0, cp1, radius, verts, hit, points, normals, depths)

Modules:
    batch    many box and sphere pairs per call, into NumPy arrays, on threads
    mesh     TriangleMesh: capsule contacts against large meshes (a BVH)
    collide  the pure-Python twin of the native functions, bit for bit

Conventions (docs/conventions.md): normals point from the first body towards
the second (for capsule_triangles and mesh, from the triangle towards the
capsule); a box rotation's column j is the box's axis j; depths are positive
in contact.
"""

try:
    from ._collide_native import box_box, capsule_triangles, sphere_box, sphere_sphere
except ModuleNotFoundError as error:  # only without a build
    if error.name != f"{__name__}._collide_native":
        raise
    raise ImportError(
        "zuli_physics: the native extension is not built. Install the package with "
        "`pip install .` from the source tree (it needs a C++20 compiler and Python 3.14 headers), "
        "or run `make test`, which builds it into build/."
    ) from error

from . import batch, collide, mesh

try:
    from importlib.metadata import PackageNotFoundError, version

    __version__ = version("zuli_physics")
except PackageNotFoundError:  # run from a build tree, not installed
    __version__ = "0.1.0"

__all__ = ["box_box", "sphere_sphere", "sphere_box", "capsule_triangles", "batch", "mesh", "collide",
           "__version__"]
