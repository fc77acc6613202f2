"""`make bench`: Python-level cost of each function against the boundary
floor (bench/floor.cpp) and the pure-Python reference, the native cores
against ODE and Bullet (bench/native_bench.cpp), and batch thread scaling.

These machines switch between a fast and a slower state, so every figure is a
ratio of calls interleaved in one run: each repeat times ours and the other
side back to back (alternating which goes first), and the table gives the
median over repeats with the min-max of the per-repeat ratios.
"""

import argparse
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))

from zuli_physics import collide as ref  # noqa: E402
from zuli_physics import _collide_native as native  # noqa: E402
from zuli_physics import batch, mesh  # noqa: E402
from meshes import terrain as terrain_mesh  # noqa: E402

import _floor as floor  # noqa: E402

PAIRS = 4096


def rotation(rng):
    w, x, y, z = rng.normal(size=4)
    n = math.sqrt(w * w + x * x + y * y + z * z)
    w, x, y, z = w / n, x / n, y / n, z / n
    return np.array([
        [1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
        [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
        [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)],
    ])


def box_pairs(seed=2024):
    """4,096 random pairs: random rotations, half-extents 0.2 to 2, centres
    placed so that about 70% overlap. Each centre of A carries the pair's
    contact count as a 4th element, which the module ignores and the floor
    reads."""
    rng = np.random.default_rng(seed)
    pairs = []
    for _ in range(PAIRS):
        ha, hb = rng.uniform(0.2, 2, 3), rng.uniform(0.2, 2, 3)
        direction = rng.normal(size=3)
        direction /= np.linalg.norm(direction)
        reach = np.linalg.norm(ha) + np.linalg.norm(hb)
        ca = np.append(rng.uniform(-5, 5, 3), 0.0)
        cb = ca[:3] + direction * reach * rng.uniform(0, 0.83)
        pairs.append([ca, rotation(rng), ha, cb, rotation(rng), hb])
    for p in pairs:
        p[0][3] = native.box_box(*p)[0]
    return pairs


def with_count(fn, args):
    """The same call with the contact count stored in element 3 of the first
    vector (for the floor)."""
    first = np.append(args[0][:3], 0.0)
    args = [first, *args[1:]]
    first[3] = fn(*args)[0]
    return args


def ns_per_call(fn, calls, number):
    t0 = time.perf_counter_ns()
    for _ in range(number):
        for args in calls:
            fn(*args)
    return (time.perf_counter_ns() - t0) / (number * len(calls))


def ns_per_kwcall(fn, calls, number):
    t0 = time.perf_counter_ns()
    for _ in range(number):
        for kwargs in calls:
            fn(**kwargs)
    return (time.perf_counter_ns() - t0) / (number * len(calls))


def compare(ours, other, calls, repeats, number, timer=ns_per_call):
    """Median ns of ours and other, and the min-max of per-repeat ratios."""
    a, b = [], []
    for r in range(repeats):
        if r % 2:
            b.append(timer(other, calls, number))
            a.append(timer(ours, calls, number))
        else:
            a.append(timer(ours, calls, number))
            b.append(timer(other, calls, number))
    ratios = [x / y for x, y in zip(a, b)]
    return statistics.median(a), statistics.median(b), statistics.median(ratios), min(ratios), max(ratios)


def v(*xs):
    return np.array(xs, dtype=np.float64)


def sphere_cases():
    I = np.eye(3)
    return {
        "sphere_sphere hit": ("sphere_sphere", [v(0, 0, 0, 1), 1.0, v(1.5, 0, 0), 1.0]),
        "sphere_sphere miss": ("sphere_sphere", [v(0, 0, 0, 0), 1.0, v(3, 0, 0), 1.0]),
        "sphere_box outside": ("sphere_box", [v(2, 0.5, 0.2, 1), 1.5, v(0, 0, 0), I, v(1, 1, 1)]),
        "sphere_box edge": ("sphere_box", [v(2, 2, 0, 1), 1.5, v(0, 0, 0), I, v(1, 1, 1)]),
        "sphere_box inside": ("sphere_box", [v(0.5, 0.2, 0, 1), 0.25, v(0, 0, 0), I, v(1, 1, 1)]),
    }


def box_cases():
    S = math.sqrt(0.5)
    I = np.eye(3)
    rx = np.array([[1, 0, 0], [0, S, -S], [0, S, S]])
    ry = np.array([[S, 0, S], [0, 1, 0], [-S, 0, S]])
    return {
        "box_box face contact": [v(0, 0, 0), I, v(1, 1, 1), v(0, 0, 1.5), I, v(1, 1, 1)],
        "box_box edge contact": [v(0, 0, 0), I, v(1, 1, 1), v(0, 1.3, 2.2), ry @ rx, v(1, 1, 1)],
        "box_box separated": [v(0, 0, 0), I, v(1, 1, 1), v(0, 0, 3), I, v(1, 1, 1)],
    }


CAPSULE = ("cp0", "cp1", "radius", "verts", "hit", "points", "normals", "depths")


def terrain(n, seed=5):
    """n triangles of a rolling patch around a capsule lying on it."""
    rng = np.random.default_rng(seed)
    centre = rng.uniform(-1, 1, (n, 1, 3)) * np.array([1.5, 1.5, 0.0])
    verts = centre + rng.uniform(-0.4, 0.4, (n, 3, 3)) * np.array([1, 1, 0.2])
    return np.ascontiguousarray(verts)


def capsule_args(n):
    verts = terrain(n)
    return [v(-0.5, 0.1, 0.25), v(0.5, 0.1, 0.3), 0.3, verts, np.zeros(n, np.uint8), np.zeros((n, 3)),
            np.zeros((n, 3)), np.zeros(n)]


def python_table(repeats):
    rows = []
    pairs = box_pairs()
    names = ("ca", "Ra", "ha", "cb", "Rb", "hb")
    kw_pairs = [dict(zip(names, p)) for p in pairs]
    rows.append(("box_box, 4,096 random pairs", *compare(native.box_box, floor.box_box, pairs, repeats, 3)))
    rows.append(("box_box, same, by keyword",
                 *compare(native.box_box, floor.box_box, kw_pairs, repeats, 3, ns_per_kwcall)))
    for label, args in box_cases().items():
        calls = [with_count(native.box_box, args)] * 500
        rows.append((label, *compare(native.box_box, floor.box_box, calls, repeats, 8)))
    for label, (name, args) in sphere_cases().items():
        calls = [with_count(getattr(native, name), args)] * 500
        rows.append((label, *compare(getattr(native, name), getattr(floor, name), calls, repeats, 8)))
        params = native.__dict__[name].__code__.co_varnames
        kw = [dict(zip(params, calls[0]))] * 500
        rows.append((label + ", by keyword",
                     *compare(getattr(native, name), getattr(floor, name), kw, repeats, 8, ns_per_kwcall)))
    for n in (0, 1, 64):
        args = capsule_args(n)
        rows.append((f"capsule_triangles N={n}",
                     *compare(native.capsule_triangles, floor.capsule_triangles, [args] * 200, repeats, 10)))
        kw = [dict(zip(CAPSULE, args))] * 200
        rows.append((f"capsule_triangles N={n}, by keyword",
                     *compare(native.capsule_triangles, floor.capsule_triangles, kw, repeats, 10, ns_per_kwcall)))
    big = capsule_args(100_000)
    ours, fl, *_ = compare(native.capsule_triangles, floor.capsule_triangles, [big], repeats, 3)
    # The floor does no per-triangle work: a ratio would say nothing here.
    rows.append(("capsule_triangles N=100,000 (ns per triangle)", ours / 1e5, fl / 1e5, None, None, None))
    return rows, pairs


def reference_row(pairs, repeats):
    """Ours against the reference on plain lists (its natural input), the
    two timed back to back in every repeat."""
    plain = [[a.tolist()[:3] if a.ndim == 1 else a.tolist() for a in p] for p in pairs[:512]]
    ours, theirs = [], []
    for _ in range(repeats):
        theirs.append(ns_per_call(ref.box_box, plain, 1))
        ours.append(ns_per_call(native.box_box, pairs[:512], 3))
    ours_ns, theirs_ns = statistics.median(ours), statistics.median(theirs)
    return ours_ns, theirs_ns, theirs_ns / ours_ns


def thread_scaling(repeats, n=100_000):
    verts = terrain(n, seed=9)
    args = [(v(-0.5, 0.1, 0.25), v(0.5, 0.1, 0.3), 0.3, verts, np.zeros(n, np.uint8), np.zeros((n, 3)),
             np.zeros((n, 3)), np.zeros(n)) for _ in range(2)]
    calls = 20

    def run(k, barrier):
        barrier.wait()
        for _ in range(calls):
            native.capsule_triangles(*args[k])

    ratios = []
    for _ in range(repeats):
        times = []
        for threads in (1, 2):
            barrier = threading.Barrier(threads)
            pool = [threading.Thread(target=run, args=(k, barrier)) for k in range(threads)]
            t0 = time.perf_counter()
            for t in pool:
                t.start()
            for t in pool:
                t.join()
            times.append((time.perf_counter() - t0) / threads)  # seconds per thread's share
        ratios.append(times[0] / times[1])  # throughput of 2 threads over 1
    return statistics.median(ratios), min(ratios), max(ratios)


def batch_inputs(pairs):
    """The bench's box pairs as row arrays (side A, side B), with a pairs
    array; spheres at the same centres with radii of the boxes' mean
    half-extent (about 70% of them touch)."""
    side_a = [np.array([p[k][:3] if k == 0 else p[k] for p in pairs]) for k in range(3)]
    side_b = [np.array([p[k] for p in pairs]) for k in range(3, 6)]
    index = np.repeat(np.arange(len(pairs), dtype=np.int64)[:, None], 2, axis=1)
    ra, rb = side_a[2].mean(axis=1) * 1.2, side_b[2].mean(axis=1) * 1.2
    return side_a, side_b, index, ra, rb


def per_pair(fn, p, number):
    t0 = time.perf_counter_ns()
    for _ in range(number):
        fn()
    return (time.perf_counter_ns() - t0) / (number * p)


def batch_table(pairs, repeats):
    """zuli_physics.batch against a Python loop of the single-pair functions
    over the same pairs, ns per pair, timed back to back in every repeat."""
    side_a, side_b, index, ra, rb = batch_inputs(pairs)
    P = len(pairs)
    box_out = batch.box_box(*side_a, *side_b, index)
    sphere_out = batch.sphere_sphere(side_a[0], ra, side_b[0], rb, index)
    sbox_out = batch.sphere_box(side_a[0], ra, *side_b, index)
    loops = {
        "box_box": ([tuple(p) for p in pairs], native.box_box),
        "sphere_sphere": ([(side_a[0][i], float(ra[i]), side_b[0][i], float(rb[i])) for i in range(P)],
                          native.sphere_sphere),
        "sphere_box": ([(side_a[0][i], float(ra[i]), side_b[0][i], side_b[1][i], side_b[2][i]) for i in range(P)],
                       native.sphere_box),
    }
    batched = {
        "box_box": lambda threads: lambda: batch.box_box(*side_a, *side_b, index, out=box_out, threads=threads),
        "sphere_sphere": lambda threads: lambda: batch.sphere_sphere(side_a[0], ra, side_b[0], rb, index,
                                                                     out=sphere_out, threads=threads),
        "sphere_box": lambda threads: lambda: batch.sphere_box(side_a[0], ra, *side_b, index, out=sbox_out,
                                                               threads=threads),
    }
    rows = {}
    for name in batched:
        one, two, loop = [], [], []
        calls, fn = loops[name]
        reps = 20 if name == "box_box" else 200
        for _ in range(repeats):
            one.append(per_pair(batched[name](1), P, reps))
            two.append(per_pair(batched[name](2), P, reps))
            loop.append(ns_per_call(fn, calls, 1))
        rows[name] = [statistics.median(x) for x in (one, two, loop)] + [
            statistics.median([b / a for a, b in zip(one, loop)]), statistics.median([a / b for a, b in zip(one, two)])]
    return rows


def batch_small_threads(repeats):
    """Small batches: the worst ratio of threads=2 to threads=1 call time."""
    side_a, side_b, _, ra, rb = batch_inputs(box_pairs(7))
    worst = {}
    for p in (1, 16, 256, 1024, 2048, 4096):
        a, b = [x[:p] for x in side_a], [x[:p] for x in side_b]
        for name, call in (("box_box", lambda t: batch.box_box(*a, *b, threads=t)),
                           ("sphere_sphere", lambda t: batch.sphere_sphere(a[0], ra[:p], b[0], rb[:p], threads=t))):
            ratios = []
            for r in range(repeats):  # which goes first alternates, as elsewhere
                t = {}
                for threads in ((1, 2) if r % 2 == 0 else (2, 1)):
                    t[threads] = per_pair(lambda: call(threads), 1, 20)
                ratios.append(t[2] / t[1])
            worst[(name, p)] = statistics.median(ratios)
    return worst


def batch_scaling(repeats, p=16384):
    """Two threads over one at a larger P (box pairs repeated)."""
    side_a, side_b, _, _, _ = batch_inputs(box_pairs())
    k = p // len(side_a[0])
    a = [np.tile(x, (k,) + (1,) * (x.ndim - 1)) for x in side_a]
    b = [np.tile(x, (k,) + (1,) * (x.ndim - 1)) for x in side_b]
    out = batch.box_box(*a, *b)
    ratios = []
    for _ in range(repeats):
        t1 = per_pair(lambda: batch.box_box(*a, *b, out=out, threads=1), p, 3)
        t2 = per_pair(lambda: batch.box_box(*a, *b, out=out, threads=2), p, 3)
        ratios.append(t1 / t2)
    return statistics.median(ratios), min(ratios), max(ratios)


def batch_allocation(pairs):
    """Bytes held after 1,000 calls with `out` given (tracemalloc)."""
    import tracemalloc

    side_a, side_b, index, _, _ = batch_inputs(pairs)
    out = batch.box_box(*side_a, *side_b, index)
    batch.box_box(*side_a, *side_b, index, out=out)
    tracemalloc.start()
    first = tracemalloc.take_snapshot()
    for _ in range(1000):
        batch.box_box(*side_a, *side_b, index, out=out)
    stats = tracemalloc.take_snapshot().compare_to(first, "filename")
    tracemalloc.stop()
    return sum(s.size_diff for s in stats if not s.traceback[0].filename.endswith("tracemalloc.py"))


MESH_SIDES = (64, 256, 724)


def surface_height(V, g, x, y, spacing=0.5):
    """The height of the terrain's triangles at (x, y) (quads split a-b-c,
    a-c-d as terrain() does)."""
    Z = V[:, 2].reshape(g + 1, g + 1)
    i = np.clip((x / spacing).astype(int), 0, g - 1)
    j = np.clip((y / spacing).astype(int), 0, g - 1)
    u, v = x / spacing - i, y / spacing - j
    za, zb, zc, zd = Z[i, j], Z[i + 1, j], Z[i + 1, j + 1], Z[i, j + 1]
    return np.where(u >= v, za + u * (zb - za) + v * (zc - zb), za + v * (zd - za) + u * (zc - zd))


def mesh_capsules(V, g, m=1000, seed=77):
    """m capsules of length 1 and radius 0.3, the lower end 0.1 to 0.4 above
    the surface, pointing anywhere upwards: (cp0, cp1) arrays."""
    rng = np.random.default_rng(seed)
    size = g * 0.5
    xy = rng.uniform(0.5, size - 1.5, (m, 2))
    d = rng.normal(size=(m, 3))
    d[:, 2] = np.abs(d[:, 2])
    d /= np.linalg.norm(d, axis=1, keepdims=True)
    c0 = np.column_stack([xy, surface_height(V, g, xy[:, 0], xy[:, 1]) + rng.uniform(0.1, 0.4, m)])
    return c0, c0 + d


def median_call_ns(call, m, passes=3, seed=5):
    """Median ns of call(i), each call timed alone, over passes in random order."""
    rng = np.random.default_rng(seed)
    times = []
    clock = time.perf_counter_ns
    for _ in range(passes):
        for i in rng.permutation(m).tolist():
            t0 = clock()
            call(i)
            times.append(clock() - t0)
    return statistics.median(times)


def mesh_rows(data, native_exe, repeats):
    rows = []
    for g in MESH_SIDES:
        V, F = terrain_mesh(g)
        F = F.astype(np.int32)
        c0, c1 = mesh_capsules(V, g)
        m = len(c0)
        builds = []
        for _ in range(5):  # the median: see median_build_ms in mesh_bench.cpp
            tm = None
            t0 = time.perf_counter()
            tm = mesh.TriangleMesh(V, F)
            builds.append((time.perf_counter() - t0) * 1e3)
        build_ms = statistics.median(builds)
        rows_c0, rows_c1 = list(c0), list(c1)
        capsule_ns = median_call_ns(lambda i: tm.capsule(rows_c0[i], rows_c1[i], 0.3), m)
        with_contacts = sum(len(tm.capsule(c0[i], c1[i], 0.3).triangle) > 0 for i in range(m))
        perm = np.random.default_rng(3).permutation(m)
        sc0, sc1 = c0[perm], c1[perm]
        timed = {1: [], 2: []}
        for r in range(max(3, repeats)):  # which goes first alternates, as elsewhere
            for threads in ((1, 2) if r % 2 == 0 else (2, 1)):
                t0 = time.perf_counter_ns()
                tm.capsules(sc0, sc1, 0.3, threads=threads)
                timed[threads].append((time.perf_counter_ns() - t0) / m)
        one, two = timed[1], timed[2]
        tris = V[F]
        k = 20 if g == 724 else 100
        hit = np.zeros(len(tris), np.uint8)
        outs = np.zeros((len(tris), 3)), np.zeros((len(tris), 3)), np.zeros(len(tris))
        t0 = time.perf_counter_ns()
        for i in range(k):
            native.capsule_triangles(c0[i], c1[i], 0.3, tris, hit, *outs)
        brute_ns = (time.perf_counter_ns() - t0) / k
        peers = {}
        if native_exe:
            directory = os.path.join(data, f"terrain{g}")
            os.makedirs(directory, exist_ok=True)
            V.astype("<f8").tofile(os.path.join(directory, "verts.f64"))
            F.astype("<i4").tofile(os.path.join(directory, "faces.i32"))
            np.column_stack([c0, c1, np.full(m, 0.3)]).astype("<f8").tofile(os.path.join(directory, "capsules.f64"))
            out = subprocess.run([native_exe, directory], check=True, capture_output=True, text=True).stdout
            peers = json.loads(out)
        rows.append(dict(g=g, triangles=len(F), build_ms=build_ms, capsule_ns=capsule_ns,
                         capsules_ns=statistics.median(one), scaling=statistics.median([a / b for a, b in zip(one, two)]),
                         brute_ns=brute_ns, bytes=(tm.nbytes - 72 * len(F)) / len(F), with_contacts=with_contacts,
                         peers=peers))
    return rows


def print_mesh_rows(rows):
    print("zuli_physics.mesh on terrains of G x G quads (1,000 capsules, radius 0.3, in random order)\n")
    print("| G | triangles | build ms, median of 5: ours (Python) / C++ / Bullet / ODE | per capsule ns: m.capsule / "
          "m.capsules / C++ ours / Bullet / ODE | capsules with contacts: ours / Bullet / ODE | "
          "m.capsules 2 threads | capsule_triangles over all / m.capsule | bytes per triangle beyond the triangles |")
    print("|---:|---:|---|---|---|---:|---:|---:|")
    for r in rows:
        p = r["peers"]
        o, b, d = p.get("ours", {}), p.get("bullet", {}), p.get("ode", {})
        print(f"| {r['g']} | {r['triangles']:,} | {r['build_ms']:.0f} / {o.get('build_ms', 0):.0f} / "
              f"{b.get('build_ms', 0):.0f} / {d.get('build_ms', 0):.0f} | {r['capsule_ns']:.0f} / {r['capsules_ns']:.0f} / "
              f"{o.get('query_ns', 0):.0f} / {b.get('query_ns', 0):.0f} / {d.get('query_ns', 0):.0f} | "
              f"{r['with_contacts']} / {b.get('with_contacts', 0)} / {d.get('with_contacts', 0)} | "
              f"{r['scaling']:.2f}x | {r['brute_ns'] / r['capsule_ns']:.0f}x | {r['bytes']:.1f} |")
    print()


def write_native_inputs(pairs, directory):
    """The same pairs and triangles for the native benchmark, as raw doubles."""
    os.makedirs(directory, exist_ok=True)
    flat = np.array([np.concatenate([p[0][:3], p[1].ravel(), p[2], p[3], p[4].ravel(), p[5]]) for p in pairs])
    flat.astype("<f8").tofile(os.path.join(directory, "box_pairs.f64"))
    args = capsule_args(4096)
    np.concatenate([args[0], args[1], [args[2]]]).astype("<f8").tofile(os.path.join(directory, "capsule.f64"))
    args[3].astype("<f8").tofile(os.path.join(directory, "triangles.f64"))


def native_table(executable, data, repeats):
    """The native benchmarks, interleaved, as ns per pair or per triangle."""
    out = subprocess.run([executable, data, f"--benchmark_repetitions={repeats}",
                          "--benchmark_enable_random_interleaving=true", "--benchmark_format=json"],
                         check=True, capture_output=True, text=True).stdout
    runs = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") == "iteration":
            runs.setdefault(b["run_name"], []).append(1e9 / b["items_per_second"])
    med = {k: statistics.median(v) for k, v in runs.items()}

    def ratio(a, b):
        r = [x / y for x, y in zip(runs[a], runs[b])]
        return f"{med[a] / med[b]:.2f} ({min(r):.2f}-{max(r):.2f})"

    print(f"Native cores, ns per item (median of {repeats} interleaved repetitions)\n")
    print("| core | ns | ours / this (min-max) |\n|---|---:|---|")
    for name in runs:
        ours = "box chain/ours" if name.startswith("box") else "capsule-triangle/ours"
        print(f"| {name} | {med[name]:.1f} | {'-' if name == ours else ratio(ours, name)} |")
    print()
    return med


def batch_against_native(executable, data, pairs, repeats):
    """batch.box_box from Python (one thread, a pairs array, reused out)
    against the C++ box chain and ODE's dBoxBox over the same pairs, timed
    back to back in every repeat: ns per pair of the three, as medians, and
    the median (min-max) ratios of the batch to each."""
    side_a, side_b, index, _, _ = batch_inputs(pairs)
    out = batch.box_box(*side_a, *side_b, index)
    names = ("box chain/ours", "box chain/ODE dBoxBox")
    times = {name: [] for name in ("batch",) + names}
    for _ in range(repeats):
        # About 0.2 s of calls, as long as each native measurement.
        times["batch"].append(per_pair(lambda: batch.box_box(*side_a, *side_b, index, out=out), len(pairs), 200))
        run = subprocess.run([executable, data, "--benchmark_filter=^box chain/(ours|ODE dBoxBox)$",
                              "--benchmark_min_time=0.2s", "--benchmark_format=json"],
                             check=True, capture_output=True, text=True).stdout
        for b in json.loads(run)["benchmarks"]:
            times[b["run_name"]].append(1e9 / b["items_per_second"])
    ratios = {name: [a / b for a, b in zip(times["batch"], times[name])] for name in names}
    return ({name: statistics.median(v) for name, v in times.items()},
            {name: (statistics.median(r), min(r), max(r)) for name, r in ratios.items()})


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=31)
    parser.add_argument("--native", help="path of the native_bench executable")
    parser.add_argument("--data", default="build/bench-data")
    parser.add_argument("--mesh-native", help="path of the mesh_bench executable")
    parser.add_argument("--only", choices=["mesh", "batch"], help="print only one table")
    args = parser.parse_args()
    if args.only == "mesh":
        print_mesh_rows(mesh_rows(args.data, args.mesh_native, args.repeats))
        return

    print(f"machine: {cpu_model()}, {os.cpu_count()} cores, "
          f"Python {platform.python_version()}, NumPy {np.__version__}")
    rows, pairs = python_table(args.repeats)
    print("\nPython-level ns per call: ours vs the boundary floor (median of "
          f"{args.repeats} interleaved repeats)\n")
    print(f"| case | ours ns | floor ns | ours / floor (min-max) |\n|---|---:|---:|---|")
    for label, ours, fl, ratio, lo, hi in rows:
        shown = "-" if ratio is None else f"{ratio:.3f} ({lo:.3f}-{hi:.3f})"
        print(f"| {label} | {ours:.1f} | {fl:.2f} | {shown} |")

    ours, theirs, speedup = reference_row(pairs, max(3, args.repeats // 5))
    print(f"\nbox_box against the pure-Python reference (first 512 pairs): {ours:.0f} ns vs "
          f"{theirs:.0f} ns per pair: {speedup:.0f}x faster\n")

    ratio, lo, hi = thread_scaling(max(3, args.repeats // 3))
    print(f"capsule_triangles, N=100,000 on disjoint outputs: 2 threads give {ratio:.2f}x the "
          f"throughput of 1 (min-max {lo:.2f}-{hi:.2f})\n")

    batch_rows = batch_table(pairs, max(5, args.repeats // 3))
    print("zuli_physics.batch, 4,096 pairs (a pairs array, reused out), ns per pair, against a Python loop "
          "of the single-pair function over the same pairs\n")
    print("| function | batch, 1 thread | batch, 2 threads | Python loop | loop / batch | 2 threads speed-up |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, (one, two, loop, speedup, scaling) in batch_rows.items():
        print(f"| {name} | {one:.1f} | {two:.1f} | {loop:.1f} | {speedup:.1f}x | {scaling:.2f}x |")
    ratio, lo, hi = batch_scaling(max(3, args.repeats // 5))
    print(f"\nbatch.box_box at P = 16,384: 2 threads give {ratio:.2f}x one (min-max {lo:.2f}-{hi:.2f})")
    worst = batch_small_threads(max(3, args.repeats // 5))
    name, p = max(worst, key=worst.get)
    print(f"small batches (P = 1 to 4,096): threads=2 takes at most {worst[(name, p)]:.2f}x the time of "
          f"threads=1 ({name}, P = {p})")
    print(f"tracemalloc over 1,000 calls with out given: {batch_allocation(pairs)} bytes held\n")

    print_mesh_rows(mesh_rows(args.data, args.mesh_native, args.repeats))

    if args.native:
        write_native_inputs(pairs, args.data)
        native_table(args.native, args.data, max(5, args.repeats // 2))
        repeats = max(3, args.repeats // 4)
        ns, ratios = batch_against_native(args.native, args.data, pairs, repeats)
        shown = {name: f"{r:.2f}x ({lo:.2f}-{hi:.2f})" for name, (r, lo, hi) in ratios.items()}
        print(f"batch.box_box from Python, 1 thread, against the C++ cores timed back to back with it "
              f"({repeats} repeats): {ns['batch']:.1f} ns per pair; the C++ box chain {ns['box chain/ours']:.1f} ns, "
              f"ratio {shown['box chain/ours']}; ODE's dBoxBox {ns['box chain/ODE dBoxBox']:.1f} ns, "
              f"ratio {shown['box chain/ODE dBoxBox']}\n")


if __name__ == "__main__":
    main()
