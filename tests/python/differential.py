"""Differential runs: the native module against zuli_physics.collide (its
pure-Python twin), and every row of zuli_physics.batch against the native
single-pair function, bit for bit (NaN-aware, sign of zero included), on
seeded random cases.

    python differential.py [--cases N] [--jobs J] [--seed S] [FUNCTION ...]

prints one line per function with the cases run and the mismatches; each
mismatch is printed as a ready-to-paste pytest case. Exit status 1 on any
mismatch. The pytest suite runs the same code on fewer cases
(test_differential.py).
"""

import argparse
import math
import multiprocessing
import random
import sys

import numpy as np

import generators as gen
from zuli_physics import collide as ref
from conftest import native, same
from zuli_physics import batch

CHUNK = 2_000  # cases per seeded chunk; chunk k uses seed f"{name}/{seed}/{k}"
TRIANGLES = 16  # capsule cases go through the batch call 16 triangles at a time


def _literal(x):
    if isinstance(x, float):
        if math.isnan(x):
            return "float('nan')"
        if math.isinf(x):
            return "float('inf')" if x > 0 else "float('-inf')"
        return repr(x)
    if isinstance(x, (list, tuple)):
        inner = ", ".join(_literal(v) for v in x)
        return f"[{inner}]" if isinstance(x, list) else f"({inner}{',' if len(x) == 1 else ''})"
    return repr(x)


def _pairwise(name, make):
    fn, want_fn = getattr(native, name), getattr(ref, name)

    def check(rng, count):
        bad = []
        for _ in range(count):
            args = make(rng)
            if not same(fn(*gen.arrays(*args)), want_fn(*args)):
                bad.append(
                    f"def test_{name}_mismatch():\n"
                    f"    args = {_literal(list(args))}\n"
                    f"    assert same(native.{name}(*arrays(*args)), ref.{name}(*args))\n"
                )
        return bad

    return check


def _capsule(rng, count):
    bad = []
    for _ in range(-(-count // TRIANGLES)):
        c0, c1, radius, tris = gen.capsule_case(rng, TRIANGLES)
        n = len(tris)
        sentinel = -1234.5
        hit = np.full(n, 9, np.uint8)
        points, normals, depths = np.full((n, 3), sentinel), np.full((n, 3), sentinel), np.full(n, sentinel)
        native.capsule_triangles(np.array(c0, float), np.array(c1, float), radius,
                                 np.array(tris, dtype=np.float64), hit, points, normals, depths)
        for i, tri in enumerate(tris):
            want = ref.capsule_triangle_contact(tuple(c0), tuple(c1), radius, *map(tuple, tri))
            if want is None:
                ok = hit[i] == 0 and (points[i] == sentinel).all() and (normals[i] == sentinel).all() \
                    and depths[i] == sentinel
            else:
                got = (tuple(points[i].tolist()), tuple(normals[i].tolist()), float(depths[i]))
                ok = hit[i] == 1 and same(got, tuple(want))
            if not ok:
                bad.append(
                    "def test_capsule_triangles_mismatch():\n"
                    f"    c0, c1, radius, tri = {_literal([c0, c1, radius, tri])}\n"
                    "    assert_capsule_row(c0, c1, radius, tri)\n"
                )
    return bad


def same_array(a, b):
    """Bit-for-bit equality of two arrays, every NaN equal to every NaN."""
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    if a.dtype != np.float64:
        return bool(np.array_equal(a, b))
    return bool(np.all((a.view(np.uint64) == b.view(np.uint64)) | (np.isnan(a) & np.isnan(b))))


# Per function: the generator, which arguments are centres/rotations/radii
# of each side ("c", "R", "h", "r"), and the contact slots per row.
BATCH = {
    "sphere_sphere": (gen.sphere_pair, ("c", "r"), ("c", "r"), 1),
    "sphere_box": (gen.sphere_box_case, ("c", "r"), ("c", "R", "h"), 1),
    "box_box": (gen.box_pair, ("c", "R", "h"), ("c", "R", "h"), 4),
}
# Rows per threaded form: enough for seven chunks of work at any thread count.
BATCH_TILED_ROWS = 60_000


def _expected(name, rows, slots):
    """The single-pair results of every row as batch arrays."""
    fn = getattr(native, name)
    n = len(rows)
    count = np.zeros(n, np.uint8)
    normal = np.zeros((n, 3))
    points = np.zeros((n, slots, 3))
    depths = np.zeros((n, slots))
    for i, args in enumerate(rows):
        k, nrm, pts, dep = fn(*gen.arrays(*args))
        count[i] = k
        normal[i] = nrm
        if k:
            points[i, :k] = pts
            depths[i, :k] = dep
    if slots == 1:
        points, depths = points[:, 0], depths[:, 0]
    return count, normal, points, depths


def _sides(rows, kinds_a):
    """Column arrays of the A and B arguments of every row."""
    na = len(kinds_a)
    cols = [np.array([r[j] for r in rows], dtype=np.float64) for j in range(len(rows[0]))]
    return cols[:na], cols[na:]


def _strided(arrays, kinds):
    """The same values as read-only, non-contiguous views."""
    out = []
    for a, kind in zip(arrays, kinds):
        if kind == "R":
            v = np.asfortranarray(a)
        elif kind == "r":
            v = np.repeat(a, 2)[::2]
        else:
            wide = np.zeros((a.shape[0], 5))
            wide[:, 1:4] = a
            v = wide[:, 1:4]
        v.flags.writeable = False
        out.append(v)
    return out


def _batch(name):
    make, kinds_a, kinds_b, slots = BATCH[name]
    fn = getattr(batch, name)

    def check(rng, count):
        rows = [make(rng) for _ in range(count)]
        want = _expected(name, rows, slots)
        A, B = _sides(rows, kinds_a)
        n = len(rows)
        bad = []

        def compare(form, got, expected=want):
            for field, g, w in zip(("count", "normal", "points", "depths"), got, expected):
                if not same_array(g, w):
                    diff = np.nonzero([not same_array(g[i], w[i]) for i in range(len(w))])[0]
                    bad.append(f"batch.{name} {form}: {field} differs at rows {diff[:5].tolist()}")

        compare("row by row", fn(*A, *B))
        nprng = np.random.default_rng(rng.getrandbits(32))
        for dtype in (np.int32, np.int64):
            order_a, order_b = nprng.permutation(n), nprng.permutation(n)
            pairs = np.stack([np.argsort(order_a), np.argsort(order_b)], axis=1).astype(dtype)
            compare(f"{np.dtype(dtype)} pairs", fn(*[a[order_a] for a in A], *[b[order_b] for b in B], pairs))
        compare("strided read-only inputs", fn(*_strided(A, kinds_a), *_strided(B, kinds_b)))
        # One row of A against every row of B, and every row of A against one
        # of B; a radius of the single row as a plain number.
        one_a = [a[:1] if k != "r" else float(a[0]) for a, k in zip(A, kinds_a)]
        one_b = [b[:1] if k != "r" else float(b[0]) for b, k in zip(B, kinds_b)]
        first_a = [r[: len(kinds_a)] for r in rows[:1]][0]
        first_b = [r[len(kinds_a):] for r in rows[:1]][0]
        m = min(n, 200)
        compare("one against many", fn(*one_a, *[b[:m] for b in B]),
                _expected(name, [(*first_a, *r[len(kinds_a):]) for r in rows[:m]], slots))
        compare("many against one", fn(*[a[:m] for a in A], *one_b),
                _expected(name, [(*r[: len(kinds_a)], *first_b) for r in rows[:m]], slots))
        # Reused outputs full of NaN, split over threads.
        tiles = -(-BATCH_TILED_ROWS // n)
        tiled = [np.tile(w, (tiles,) + (1,) * (w.ndim - 1)) for w in want]
        At = [np.tile(a, (tiles,) + (1,) * (a.ndim - 1)) for a in A]
        Bt = [np.tile(b, (tiles,) + (1,) * (b.ndim - 1)) for b in B]
        out = tuple(np.full_like(w, np.nan) if w.dtype == np.float64 else np.full_like(w, 255) for w in tiled)
        for threads in (1, 2, 3, 7):
            for o in out:
                o.fill(255 if o.dtype == np.uint8 else np.nan)
            got = fn(*At, *Bt, out=out, threads=threads)
            if any(g is not o for g, o in zip(got, out)):
                bad.append(f"batch.{name} threads={threads}: the outputs given are not the ones returned")
            compare(f"reused NaN outputs, threads={threads}", got, tiled)
        return bad

    return check


CHECKS = {
    "sphere_sphere": _pairwise("sphere_sphere", gen.sphere_pair),
    "sphere_box": _pairwise("sphere_box", gen.sphere_box_case),
    "box_box": _pairwise("box_box", gen.box_pair),
    "capsule_triangles": _capsule,
    **{f"batch.{name}": _batch(name) for name in BATCH},
}


def run_chunk(job):
    name, seed, k, count = job
    rng = random.Random(f"{name}/{seed}/{k}")
    return CHECKS[name](rng, count)


def run(name, cases, seed=0, jobs=1):
    """(cases run, list of mismatch reports)."""
    chunks = [(name, seed, k, min(CHUNK, cases - k * CHUNK)) for k in range(-(-cases // CHUNK))]
    if jobs > 1:
        with multiprocessing.get_context("fork").Pool(jobs) as pool:
            results = pool.map(run_chunk, chunks)
    else:
        results = [run_chunk(c) for c in chunks]
    done = sum(c[3] for c in chunks)
    if name == "capsule_triangles":
        done = sum(-(-c[3] // TRIANGLES) * TRIANGLES for c in chunks)
    return done, [b for r in results for b in r]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("functions", nargs="*", default=list(CHECKS))
    parser.add_argument("--cases", type=int, default=1_000_000)
    parser.add_argument("--jobs", type=int, default=multiprocessing.cpu_count())
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    failed = False
    for name in args.functions:
        done, bad = run(name, args.cases, args.seed, args.jobs)
        print(f"differential {name}: {done} cases, {len(bad)} mismatches", flush=True)
        for report in bad[:20]:
            print(report)
        failed = failed or bool(bad)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
