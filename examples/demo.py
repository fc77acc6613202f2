"""Contact generation on a few example scenes, with the cost of each call.

Run it with `make demo` (or `scripts/in-env python3.14 examples/demo.py`).
"""

import math
import statistics
import time

import numpy as np

from zuli_physics._collide_native import box_box, capsule_triangles, sphere_box, sphere_sphere


def v(*xs):
    return np.array(xs, dtype=np.float64)


def rot_x(deg):
    c, s = math.cos(math.radians(deg)), math.sin(math.radians(deg))
    return np.array([[1, 0, 0], [0, c, -s], [0, s, c]])


def rot_y(deg):
    c, s = math.cos(math.radians(deg)), math.sin(math.radians(deg))
    return np.array([[c, 0, s], [0, 1, 0], [-s, 0, c]])


def ns_per_call(fn, *args, repeat=15, number=2000):
    """Median over `repeat` batches of `number` calls."""
    samples = []
    for _ in range(repeat):
        t0 = time.perf_counter_ns()
        for _ in range(number):
            fn(*args)
        samples.append((time.perf_counter_ns() - t0) / number)
    return statistics.median(samples)


def show(title, fn, *args):
    count, normal, points, depths = fn(*args)
    print(f"  {title}")
    print(f"    count={count} normal=({', '.join(f'{x:+.6f}' for x in normal)})")
    for p, d in zip(points, depths):
        print(f"    point=({', '.join(f'{x:+.6f}' for x in p)}) depth={d:.6f}")
    print(f"    {ns_per_call(fn, *args):.0f} ns per call")


def terrain(n=16, size=8.0):
    """A gently rolling height field, two triangles per cell: (N, 3, 3)."""
    xs = np.linspace(-size / 2, size / 2, n + 1)
    h = lambda x, y: 0.3 * math.sin(0.8 * x) * math.cos(0.6 * y)
    tris = []
    for i in range(n):
        for j in range(n):
            x0, x1, y0, y1 = xs[i], xs[i + 1], xs[j], xs[j + 1]
            a, b = (x0, y0, h(x0, y0)), (x1, y0, h(x1, y0))
            c, d = (x1, y1, h(x1, y1)), (x0, y1, h(x0, y1))
            tris += [(a, b, c), (a, c, d)]
    return np.array(tris, dtype=np.float64)


def main():
    I = np.eye(3)
    unit = v(1, 1, 1)
    print("box_box")
    show("face contact: unit cubes 1.5 apart", box_box, v(0, 0, 0), I, unit, v(0, 0, 1.5), I, unit)
    show("edge contact: cube turned 45 deg about x, then y (normal on an edge axis)", box_box,
         v(0, 0, 0), I, unit, v(0, 1.3, 2.2), rot_y(45) @ rot_x(45), unit)
    show("separated", box_box, v(0, 0, 0), I, unit, v(0, 0, 3), I, unit)

    print("sphere_sphere")
    show("overlapping", sphere_sphere, v(0, 0, 0), 1.0, v(1.5, 0, 0), 1.0)
    show("apart", sphere_sphere, v(0, 0, 0), 1.0, v(3, 0, 0), 1.0)

    print("sphere_box")
    show("outside, nearest feature an edge", sphere_box, v(2, 2, 0), 1.5, v(0, 0, 0), I, unit)
    show("centre inside", sphere_box, v(0.5, 0.2, 0), 0.25, v(0, 0, 0), I, unit)
    show("apart", sphere_box, v(3, 0, 0), 1.0, v(0, 0, 0), I, unit)

    print("capsule_triangles")
    verts = terrain()
    n = len(verts)
    hit = np.zeros(n, np.uint8)
    points, normals, depths = np.zeros((n, 3)), np.zeros((n, 3)), np.zeros(n)
    args = (v(-0.5, 0.1, 0.25), v(0.5, 0.1, 0.3), 0.3, verts, hit, points, normals, depths)
    capsule_triangles(*args)
    rows = np.flatnonzero(hit)
    print(f"  capsule lying on a {n}-triangle terrain patch: {len(rows)} hits")
    for i in rows[:4]:
        print(f"    triangle {i}: point=({', '.join(f'{x:+.4f}' for x in points[i])})"
              f" normal=({', '.join(f'{x:+.4f}' for x in normals[i])}) depth={depths[i]:.4f}")
    per_call = ns_per_call(capsule_triangles, *args, number=200)
    print(f"    {per_call:.0f} ns per call, {per_call / n:.1f} ns per triangle")


if __name__ == "__main__":
    main()
