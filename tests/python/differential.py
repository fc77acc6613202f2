"""Differential runs: the native module against reference.py, bit for bit
(NaN-aware, sign of zero included), on seeded random cases.

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
import reference as ref
from conftest import native, same

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
            want = ref.capsule_triangle(tuple(c0), tuple(c1), radius, *map(tuple, tri))
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


CHECKS = {
    "sphere_sphere": _pairwise("sphere_sphere", gen.sphere_pair),
    "sphere_box": _pairwise("sphere_box", gen.sphere_box_case),
    "box_box": _pairwise("box_box", gen.box_pair),
    "capsule_triangles": _capsule,
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
