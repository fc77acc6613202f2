"""Thread stress: threads mixing all four functions, every result checked
against the result of the same call made serially beforehand.

    python stress.py [--threads 8] [--seconds 30]

Prints one JSON line with the calls made per function and the mismatches.
"""

import argparse
import json
import random
import threading
import time

import numpy as np

import generators as gen
from conftest import native, same

TRIANGLES = 4096


def build_inputs(rng):
    pairwise = []
    for name, make in [("sphere_sphere", gen.sphere_pair), ("sphere_box", gen.sphere_box_case),
                       ("box_box", gen.box_pair)]:
        for _ in range(200):
            args = gen.arrays(*make(rng))
            pairwise.append((name, args, getattr(native, name)(*args)))
    c0, c1, radius, _ = gen.capsule_case(rng, 0)
    verts = np.random.default_rng(rng.randrange(2**32)).uniform(-2, 2, (TRIANGLES, 3, 3))
    capsule = (np.array(c0, float), np.array(c1, float), radius, verts)
    return pairwise, capsule


def capsule_outputs():
    return [np.zeros(TRIANGLES, np.uint8), np.zeros((TRIANGLES, 3)), np.zeros((TRIANGLES, 3)), np.zeros(TRIANGLES)]


def run(threads, seconds, seed=0):
    rng = random.Random(seed)
    pairwise, capsule = build_inputs(rng)
    serial = capsule_outputs()
    native.capsule_triangles(*capsule, *serial)
    counts = {name: 0 for name in ("sphere_sphere", "sphere_box", "box_box", "capsule_triangles")}
    mismatches = []
    lock = threading.Lock()
    barrier = threading.Barrier(threads)
    deadline = [0.0]

    def worker(k):
        local_rng = random.Random(seed * 1000 + k)
        outs = capsule_outputs()
        mine = dict.fromkeys(counts, 0)
        barrier.wait()
        while time.monotonic() < deadline[0]:
            if local_rng.random() < 0.1:
                for o in outs:
                    o.fill(0)
                native.capsule_triangles(*capsule, *outs)
                mine["capsule_triangles"] += 1
                if not all(np.array_equal(a, b, equal_nan=True) for a, b in zip(outs, serial)):
                    with lock:
                        mismatches.append("capsule_triangles")
            else:
                name, args, expected = pairwise[local_rng.randrange(len(pairwise))]
                got = getattr(native, name)(*args)
                mine[name] += 1
                if not same(got, expected):
                    with lock:
                        mismatches.append(name)
        with lock:
            for key, value in mine.items():
                counts[key] += value

    pool = [threading.Thread(target=worker, args=(k,)) for k in range(threads)]
    deadline[0] = time.monotonic() + seconds + 0.5
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    return {"threads": threads, "seconds": seconds, "calls": counts, "mismatches": mismatches}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=30)
    args = parser.parse_args()
    print(json.dumps(run(args.threads, args.seconds)))


if __name__ == "__main__":
    main()
