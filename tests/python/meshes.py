"""Meshes and capsules for the mesh tests, and the brute-force answer a mesh
query must give: capsule_triangles over every triangle, restricted to the
triangles the query examines."""

import numpy as np

from zuli_physics import _collide_native as native


def terrain(g, seed=1, spacing=0.5):
    """A g x g quad height field, two triangles per quad: (vertices, faces)."""
    rng = np.random.default_rng(seed)
    x = np.arange(g + 1) * spacing
    X, Y = np.meshgrid(x, x, indexing="ij")
    Z = 0.5 * np.sin(0.3 * X) * np.cos(0.2 * Y) + rng.uniform(-0.05, 0.05, X.shape)
    V = np.stack([X, Y, Z], -1).reshape(-1, 3)
    idx = np.arange((g + 1) * (g + 1)).reshape(g + 1, g + 1)
    a, b, c, d = idx[:-1, :-1], idx[1:, :-1], idx[1:, 1:], idx[:-1, 1:]
    F = np.concatenate([np.stack([a, b, c], -1).reshape(-1, 3), np.stack([a, c, d], -1).reshape(-1, 3)])
    return V, F


def height(x, y):
    return 0.5 * np.sin(0.3 * x) * np.cos(0.2 * y)


def soup(n, seed):
    """n random triangles of mixed sizes in a small box, some degenerate."""
    rng = np.random.default_rng(seed)
    centre = rng.uniform(-2, 2, (n, 1, 3))
    tris = centre + rng.normal(size=(n, 3, 3)) * rng.choice([0.05, 0.3, 1.5], (n, 1, 1))
    flat = rng.random(n) < 0.05
    tris[flat, 2] = tris[flat, 0]  # degenerate: two equal vertices
    return tris


def capsules(rng, n, lo, hi, ground=None):
    """n capsules of every kind inside [lo, hi]: (cp0, cp1, radius) rows."""
    out = []
    for _ in range(n):
        kind = rng.integers(8)
        c0 = rng.uniform(lo, hi)
        if ground is not None:
            c0[2] = ground(c0[0], c0[1]) + rng.uniform(-0.3, 0.5)
        d = rng.normal(size=3)
        d /= np.linalg.norm(d)
        length = [1.0, 0.0, 6.0, 1.0, 30.0, 0.2, 1.0, 1.0][kind]
        if kind == 3:  # lying flat
            d[2] = 0.0
            d /= np.linalg.norm(d)
        c1 = c0 + d * length
        radius = [0.3, 0.4, 0.2, 0.3, 0.5, 1e-6, 0.0, 2.0][kind]
        out.append((c0, c1, float(radius)))
    return out


def _lesser(a, b):
    return np.where(a < b, a, b)


def _greater(a, b):
    return np.where(a > b, a, b)


class Bounds:
    """Per-triangle bounds of a triangle array, for examined()."""

    def __init__(self, tris):
        self.tris = np.ascontiguousarray(tris)
        self.lo = _lesser(_lesser(tris[:, 0], tris[:, 1]), tris[:, 2])
        self.hi = _greater(_greater(tris[:, 0], tris[:, 1]), tris[:, 2])
        size = _greater(np.abs(self.lo), np.abs(self.hi))
        self.magnitude = _greater(_greater(size[:, 0], size[:, 1]), size[:, 2])


def examined(b, c0, c1, radius):
    """Which triangles a query examines: those whose bounds are not surely
    out of reach of the axis's bounds (the documented test, elementwise)."""
    alo, ahi = _lesser(c0, c1), _greater(c0, c1)
    g = _greater(alo - b.hi, b.lo - ahi)
    gap = _greater(_greater(g[:, 0], g[:, 1]), g[:, 2])

    def max_abs(v):
        return _greater(_greater(abs(v[0]), abs(v[1])), abs(v[2]))

    margin = 1e-12 * _greater(b.magnitude, _greater(max_abs(c0), max_abs(c1)))
    reach = abs(radius) + 1e-9
    d = gap - margin
    with np.errstate(over="ignore", invalid="ignore"):
        beyond = (d > 0) & (d * d * (1 - 1e-12) > reach * reach)
    return ~beyond


def brute(b, c0, c1, radius):
    """(face indices, points, normals, depths) that capsule_triangles gives
    for the examined triangles that it hits, in face order. Triangles not
    examined are not run: what capsule_triangles gives for them is not part
    of the answer."""
    keep = np.nonzero(examined(b, c0, c1, radius))[0]
    n = len(keep)
    hit = np.zeros(n, np.uint8)
    points, normals, depths = np.zeros((n, 3)), np.zeros((n, 3)), np.zeros(n)
    native.capsule_triangles(np.ascontiguousarray(c0), np.ascontiguousarray(c1), radius,
                             b.tris[keep], hit, points, normals, depths)
    found = hit == 1
    return keep[found], points[found], normals[found], depths[found]
