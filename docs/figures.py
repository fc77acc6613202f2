"""Draws the pictures of docs/ from the modules' own output (`make docs`).

Each figure runs the library on a small scene and draws what it returned:
the contact points, the normals and the shapes. Writes docs/img/*.png.
"""

import math
import pathlib
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import zuli_physics as zp  # noqa: E402
from zuli_physics import mesh  # noqa: E402

OUT = pathlib.Path(__file__).with_name("img")
sys.path.insert(0, str(pathlib.Path(__file__).parents[1] / "tests" / "python"))
from meshes import terrain  # noqa: E402


def rotation(axis, degrees):
    axis = np.asarray(axis, float) / np.linalg.norm(axis)
    x, y, z = axis
    c, s = math.cos(math.radians(degrees)), math.sin(math.radians(degrees))
    C = 1 - c
    return np.array([[c + x * x * C, x * y * C - z * s, x * z * C + y * s],
                     [y * x * C + z * s, c + y * y * C, y * z * C - x * s],
                     [z * x * C - y * s, z * y * C + x * s, c + z * z * C]])


def box_edges(c, R, h):
    corners = np.array([[sx, sy, sz] for sx in (-1, 1) for sy in (-1, 1) for sz in (-1, 1)], float)
    world = c + (corners * h) @ R.T
    edges = [(i, j) for i in range(8) for j in range(i + 1, 8) if bin(i ^ j).count("1") == 1]
    return [(world[i], world[j]) for i, j in edges]


def draw_box(ax, c, R, h, color, label):
    for k, (p, q) in enumerate(box_edges(c, R, h)):
        ax.plot(*zip(p, q), color=color, lw=1.2, label=label if k == 0 else None)


def finish_3d(ax, lo, hi, elev=22, azim=-60):
    ax.set_xlim(lo, hi)
    ax.set_ylim(lo, hi)
    ax.set_zlim(lo, hi)
    ax.set_box_aspect((1, 1, 1))
    ax.view_init(elev=elev, azim=azim)
    ax.set_xticks([])
    ax.set_yticks([])
    ax.set_zticks([])


def box_box_figure():
    ca, Ra, ha = np.zeros(3), np.eye(3), np.array([1.0, 1.0, 0.5])
    cb, Rb, hb = np.array([0.3, 0.1, 0.82]), rotation([0.0, 0.0, 1.0], 30), np.array([0.6, 0.5, 0.4])
    count, normal, points, depths = zp.box_box(ca, Ra, ha, cb, Rb, hb)
    fig = plt.figure(figsize=(4.2, 3.6), dpi=90)
    ax = fig.add_subplot(projection="3d")
    draw_box(ax, ca, Ra, ha, "tab:blue", "box A (reference)")
    draw_box(ax, cb, Rb, hb, "tab:orange", "box B")
    pts = np.array(points)
    ax.scatter(*pts.T, color="crimson", s=18, label=f"{count} contacts")
    for p, d in zip(pts, depths):
        ax.quiver(*p, *(np.array(normal) * 0.6), color="crimson", lw=1, arrow_length_ratio=0.25)
    ax.set_title(f"box_box: normal {tuple(round(x, 2) for x in normal)}, A to B;\n"
                 f"points on A's top face, depths {', '.join(f'{d:.2f}' for d in depths)}", fontsize=8)
    ax.legend(fontsize=7, loc="upper left")
    finish_3d(ax, -1.2, 1.4)
    fig.savefig(OUT / "box_box.png", bbox_inches="tight")
    plt.close(fig)


def sphere_box_figure():
    cb, Rb, hb = np.zeros(3), rotation([0, 0, 1], 20), np.array([1.0, 0.6, 0.5])
    spheres = [(np.array([1.15, 1.1, 0.0]), 0.5, "outside, at a corner", 1),
               (np.array([-1.7, -0.1, 0.0]), 0.7, "outside, facing a side", 1),
               (np.array([0.2, 0.2, 0.0]), 0.3, "centre inside: out through\nthe nearest face", -1)]
    fig, ax = plt.subplots(figsize=(4.6, 3.4), dpi=90)
    corners = np.array([[-1, -1], [1, -1], [1, 1], [-1, 1], [-1, -1]]) * hb[:2]
    ax.plot(*(corners @ Rb[:2, :2].T).T, color="tab:blue", label="box (section z = 0)")
    for cs, rs, text, side in spheres:
        count, normal, points, depths = zp.sphere_box(cs, rs, cb, Rb, hb)
        ax.add_patch(plt.Circle(cs[:2], rs, fill=False, color="tab:orange"))
        if count:
            p, n = np.array(points[0]), np.array(normal)
            ax.plot(*p[:2], "o", color="crimson", ms=4)
            ax.annotate("", xy=p[:2] + 0.5 * n[:2], xytext=p[:2], arrowprops=dict(arrowstyle="->", color="crimson"))
            ax.text(cs[0], cs[1] + side * (rs + 0.1) - (0.35 if side < 0 else 0), f"{text}\ndepth {depths[0]:.2f}",
                    ha="center", fontsize=6.5)
    ax.set_title("sphere_box: one contact on the box surface,\nnormal from the sphere towards the box", fontsize=8)
    ax.set_aspect("equal")
    ax.set_xlim(-2.6, 2.6)
    ax.set_ylim(-1.6, 2.1)
    ax.legend(fontsize=7, loc="lower right")
    fig.savefig(OUT / "sphere_box.png", bbox_inches="tight")
    plt.close(fig)


def capsule_terrain_figure():
    V, F = terrain(8, seed=3)
    m = mesh.TriangleMesh(V, F)
    c0, c1, radius = np.array([1.6, 2.0, 0.1]), np.array([2.6, 2.4, 0.45]), 0.25
    res = m.capsule(c0, c1, radius)
    fig = plt.figure(figsize=(4.6, 3.6), dpi=90)
    ax = fig.add_subplot(projection="3d")
    ax.plot_trisurf(V[:, 0], V[:, 1], V[:, 2], triangles=F, color="lightsteelblue", alpha=0.55, lw=0.2,
                    edgecolor="slategray")
    hit = V[F[res.triangle]]
    for tri in hit:
        ax.plot(*np.vstack([tri, tri[:1]]).T, color="tab:green", lw=1.2)
    t = np.linspace(0, 1, 12)
    axis = c0 + np.outer(t, c1 - c0)
    ax.plot(*axis.T, color="tab:orange", lw=6, alpha=0.5, solid_capstyle="round", label=f"capsule, r = {radius}")
    ax.scatter(*res.points.T, color="crimson", s=14, label=f"{len(res.triangle)} contacts (hit triangles green)")
    for p, n in zip(res.points, res.normals):
        ax.quiver(*p, *(n * 0.5), color="crimson", lw=1, arrow_length_ratio=0.25)
    ax.set_title("TriangleMesh.capsule: a point on each triangle touched,\n"
                 "normal from the triangle towards the capsule", fontsize=8)
    ax.legend(fontsize=7, loc="upper left")
    ax.set_xlim(0.5, 3.5)
    ax.set_ylim(0.5, 3.5)
    ax.set_zlim(-1, 2)
    ax.set_box_aspect((1, 1, 1))
    ax.view_init(elev=28, azim=-70)
    ax.set_xticks([])
    ax.set_yticks([])
    ax.set_zticks([])
    fig.savefig(OUT / "capsule_terrain.png", bbox_inches="tight")
    plt.close(fig)


def main():
    OUT.mkdir(exist_ok=True)
    for draw in (box_box_figure, sphere_box_figure, capsule_terrain_figure):
        draw()
    for png in sorted(OUT.glob("*.png")):
        print(f"{png.relative_to(OUT.parent.parent)}: {png.stat().st_size // 1024} KiB")


if __name__ == "__main__":
    main()
