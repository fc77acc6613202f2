"""zuli_physics in a small scene: boxes settling on a floor and on each other
(zuli_physics.batch), a capsule walking over a terrain (zuli_physics.mesh),
and the single-pair functions underneath. Prints what each call returns,
per-frame contact counts and timings, and saves a picture of the final frame.

Run it with `make demo` (or `scripts/in-env python3.14 examples/demo.py`).
"""

import math
import pathlib
import sys
import time

import numpy as np

import zuli_physics as zp
from zuli_physics import batch, mesh

FRAMES = 300
DT = 1.0 / 120.0
GRAVITY = np.array([0.0, 0.0, -9.81])


def yaw(degrees):
    c, s = math.cos(math.radians(degrees)), math.sin(math.radians(degrees))
    return np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]])


def single_pairs():
    print("== single pairs (zuli_physics.box_box, sphere_sphere)")
    I = np.eye(3)
    count, normal, points, depths = zp.box_box(np.zeros(3), I, np.ones(3), np.array([0.0, 0.0, 1.5]), I, np.ones(3))
    print(f"box B resting 0.5 deep on box A: {count} contacts, normal {normal} (A to B), depths {depths}")
    print(f"  points on A's top face: {points}")
    print(f"two spheres 1.5 apart, radii 1: {zp.sphere_sphere(np.zeros(3), 1.0, np.array([1.5, 0, 0]), 1.0)}")


def settle_boxes():
    """A floor (body 0, static) and a stack of boxes dropped onto it.
    Position-based contact response: each frame, every contact pair is pushed
    apart along its normal by its deepest contact, split by inverse mass, and
    the approaching velocity along the normal is removed."""
    print(f"\n== {FRAMES} frames of boxes settling (zuli_physics.batch.box_box)")
    rng = np.random.default_rng(4)
    k = 24
    centres = np.vstack([[0.0, 0.0, -0.5], np.column_stack([rng.uniform(-1.5, 1.5, (k, 2)),
                                                            0.4 + 0.7 * np.arange(k)])])
    rotations = np.stack([np.eye(3)] + [yaw(a) for a in rng.uniform(0, 90, k)])
    halves = np.vstack([[6.0, 6.0, 0.5], rng.uniform(0.2, 0.45, (k, 3))])
    inverse_mass = np.r_[0.0, np.ones(k)]
    velocity = np.zeros_like(centres)
    n = k + 1
    i, j = np.triu_indices(n, 1)
    all_pairs = np.column_stack([i, j]).astype(np.int32)
    reach = np.linalg.norm(halves, axis=1)
    # One set of result buffers for every frame; each frame uses its first P rows.
    out = batch.box_box(centres[:1], rotations[:1], halves[:1], centres[:1], rotations[:1], halves[:1],
                        np.zeros((len(all_pairs), 2), np.int32))
    times, counts = [], []
    for frame in range(FRAMES):
        velocity[1:] += GRAVITY * DT
        centres[1:] += velocity[1:] * DT
        # Broad phase: pairs whose bounding spheres overlap.
        gap = np.linalg.norm(centres[i] - centres[j], axis=1) - (reach[i] + reach[j])
        pairs = all_pairs[gap < 0]
        p = len(pairs)
        t0 = time.perf_counter()
        res = batch.box_box(centres, rotations, halves, centres, rotations, halves, pairs,
                            out=tuple(a[:p] for a in out))
        times.append(time.perf_counter() - t0)
        touching = res.count > 0
        counts.append(int(res.count.sum()))
        a, b = pairs[touching, 0], pairs[touching, 1]
        normal = res.normal[touching]
        depth = res.depths[touching].max(axis=1)
        share = inverse_mass[a] + inverse_mass[b]
        push = (depth / share)[:, None] * normal
        np.add.at(centres, a, -push * inverse_mass[a][:, None])
        np.add.at(centres, b, push * inverse_mass[b][:, None])
        closing = np.einsum("ij,ij->i", velocity[b] - velocity[a], normal)
        fix = (np.minimum(closing, 0.0) / share)[:, None] * normal
        np.add.at(velocity, a, fix * inverse_mass[a][:, None])
        np.add.at(velocity, b, -fix * inverse_mass[b][:, None])
        if frame % 50 == 0 or frame == FRAMES - 1:
            print(f"frame {frame:3d}: {p:3d} candidate pairs, {int(touching.sum()):3d} touching, "
                  f"{counts[-1]:3d} contacts, batch.box_box {times[-1] * 1e6:6.1f} us")
    print(f"median batch.box_box call: {np.median(times) * 1e6:.1f} us; highest box top at "
          f"z = {(centres[1:, 2] + halves[1:, 2]).max():.2f}")
    return centres, rotations, halves


def walk_capsule():
    """A capsule walking over a terrain, lifted out of the ground by its contacts."""
    print(f"\n== {FRAMES} frames of a capsule walking over a terrain (zuli_physics.mesh)")
    sys.path.insert(0, str(pathlib.Path(__file__).parents[1] / "tests" / "python"))
    from meshes import terrain

    vertices, faces = terrain(64)
    t0 = time.perf_counter()
    ground = mesh.TriangleMesh(vertices, faces)
    print(f"TriangleMesh of {ground.triangle_count:,} triangles built in {(time.perf_counter() - t0) * 1e3:.1f} ms, "
          f"{ground.nbytes / 1e6:.1f} MB")
    radius, height = 0.3, 1.0
    foot = np.array([2.0, 2.0, 1.0])
    step = np.array([0.08, 0.05, 0.0])
    times, path = [], []
    for frame in range(FRAMES):
        foot += step
        foot[2] -= 0.02  # it falls a little every frame and the ground holds it up
        c0 = foot + [0, 0, radius]
        c1 = c0 + [0, 0, height]
        t0 = time.perf_counter()
        res = ground.capsule(c0, c1, radius)
        times.append(time.perf_counter() - t0)
        if len(res.triangle):
            foot[2] += res.depths.max() * res.normals[res.depths.argmax(), 2]
        path.append(foot.copy())
        if frame % 50 == 0 or frame == FRAMES - 1:
            print(f"frame {frame:3d}: at ({foot[0]:5.2f}, {foot[1]:5.2f}, {foot[2]:5.2f}), "
                  f"{len(res.triangle):2d} triangles touched, m.capsule {times[-1] * 1e6:5.1f} us")
    print(f"median m.capsule call: {np.median(times) * 1e6:.1f} us")
    return vertices, faces, np.array(path)


def save_picture(boxes, walk, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("\n(no matplotlib: no picture)")
        return
    centres, rotations, halves = boxes
    fig = plt.figure(figsize=(9, 4.2), dpi=90)
    ax = fig.add_subplot(1, 2, 1, projection="3d")
    corners = np.array([[sx, sy, sz] for sx in (-1, 1) for sy in (-1, 1) for sz in (-1, 1)], float)
    edges = [(a, b) for a in range(8) for b in range(a + 1, 8) if bin(a ^ b).count("1") == 1]
    for c, R, h in zip(centres[1:], rotations[1:], halves[1:]):
        world = c + (corners * h) @ R.T
        for a, b in edges:
            ax.plot(*zip(world[a], world[b]), color="tab:orange", lw=0.8)
    ax.set_xlim(-2, 2)
    ax.set_ylim(-2, 2)
    ax.set_zlim(0, 4)
    ax.set_title(f"final frame: {len(centres) - 1} boxes on the floor", fontsize=9)
    vertices, faces, trail = walk
    ax2 = fig.add_subplot(1, 2, 2, projection="3d")
    ax2.plot_trisurf(vertices[:, 0], vertices[:, 1], vertices[:, 2], triangles=faces, color="lightsteelblue",
                     alpha=0.5, lw=0)
    ax2.plot(*trail.T, color="crimson", lw=2)
    ax2.set_title("the capsule's path over the terrain", fontsize=9)
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, bbox_inches="tight")
    print(f"\npicture of the final frame: {path}")


def main():
    start = time.perf_counter()
    single_pairs()
    boxes = settle_boxes()
    walk = walk_capsule()
    save_picture(boxes, walk, pathlib.Path(__file__).parents[1] / "build" / "demo" / "final_frame.png")
    print(f"demo done in {time.perf_counter() - start:.1f} s")


if __name__ == "__main__":
    main()
