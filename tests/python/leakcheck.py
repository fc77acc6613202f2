"""Reference-leak check, run under a debug interpreter (python3.14d).

Every function is called many times on its success path, its separated path,
every class of argument error and every size refusal; the interpreter's total
reference count and its count of allocated memory blocks must not move.
Prints one JSON line, with the growth of both counts over 2 x calls for
each case that leaks.
"""

import ctypes
import json
import struct
import sys

from zuli_physics import _collide_native as native

# The buffers come from memoryview and ctypes, which belong to the debug
# interpreter itself: an extension built without reference-count debugging
# (NumPy, here) exports buffers whose references the debug total does not see,
# which would show up as drift that is not ours.


def array(values, shape=None, fmt="d"):
    raw = bytearray(struct.pack(f"<{len(values)}{fmt}", *values))
    return memoryview(raw).cast("B").cast(fmt, shape or [len(values)])


def v(*xs):
    return array(xs)


def eye():
    return array([1.0, 0, 0, 0, 1.0, 0, 0, 0, 1.0], [3, 3])


class BadFloat:
    def __float__(self):
        raise ZeroDivisionError("x")


class Key(str):
    pass


class Padded(ctypes.Structure):
    _fields_ = [("x", ctypes.c_double), ("pad", ctypes.c_char * 8)]


I3 = eye()
BOX = (v(0, 0, 0), I3, v(1, 1, 1), v(0, 0, 1.5), I3, v(1, 1, 1))
FAR = BOX[:3] + (v(0, 0, 5),) + BOX[4:]
TRI = array([0.0, 0, 0, 1, 0, 0, 0, 1, 0] * 2 + [0.0, 0, 5, 1, 0, 5, 0, 1, 5], [3, 3, 3])
CAPSULE = (v(0.25, 0.25, 0.5), v(0.25, 0.25, 2), 1.0, TRI, array([0, 0, 0], fmt="B"),
           array([0.0] * 9, [3, 3]), array([0.0] * 9, [3, 3]), v(0, 0, 0))
READONLY = memoryview(bytes(24)).cast("d")

CASES = {
    "box_box hit": lambda: native.box_box(*BOX),
    "box_box separated": lambda: native.box_box(*FAR),
    "box_box keywords": lambda: native.box_box(**dict(zip(["ca", "Ra", "ha", "cb", "Rb", "hb"], BOX))),
    "box_box count": lambda: native.box_box(*BOX[:5]),
    "box_box missing": lambda: native.box_box(*BOX[:2], ha=BOX[2], cb=BOX[3], hb=BOX[5]),
    "box_box multiple": lambda: native.box_box(*BOX, ca=BOX[0]),
    "box_box unexpected": lambda: native.box_box(*BOX[:5], hx=BOX[5]),
    "box_box str subclass": lambda: native.box_box(*BOX[:5], **{Key("hb"): BOX[5]}),
    "box_box dtype": lambda: native.box_box(BOX[0], array([0.0] * 9, [3, 3], "f"), *BOX[2:]),
    "box_box ndim": lambda: native.box_box(BOX[0], v(1, 2, 3), *BOX[2:]),
    "box_box ctypes": lambda: native.box_box((ctypes.c_double * 3)(), *BOX[1:]),
    "box_box big-endian": lambda: native.box_box((ctypes.c_double.__ctype_be__ * 3)(), *BOX[1:]),
    "box_box unknown char": lambda: native.box_box((ctypes.c_wchar * 3)(), *BOX[1:]),
    "box_box item size": lambda: native.box_box((Padded * 3)(), *BOX[1:]),
    "box_box two elements": lambda: native.box_box((ctypes.c_double * 2 * 3)(), *BOX[1:]),
    "box_box readonly": lambda: native.box_box(READONLY, *BOX[1:]),
    "box_box strided": lambda: native.box_box(v(0, 0, 0, 0, 0, 0)[::2], *BOX[1:]),
    "box_box list": lambda: native.box_box([0.0, 0.0, 0.0], *BOX[1:]),
    "box_box size": lambda: native.box_box(*BOX[:5], None),
    "box_box narrow": lambda: native.box_box(BOX[0], array([0.0] * 6, [3, 2]), *BOX[2:]),
    "sphere_sphere hit": lambda: native.sphere_sphere(v(0, 0, 0), 1.0, v(1.5, 0, 0), 1),
    "sphere_sphere separated": lambda: native.sphere_sphere(v(0, 0, 0), 1.0, v(3, 0, 0), 1.0),
    "sphere_sphere bad float": lambda: native.sphere_sphere(v(0, 0, 0), BadFloat(), v(3, 0, 0), 1.0),
    "sphere_sphere str float": lambda: native.sphere_sphere(v(0, 0, 0), "1", v(3, 0, 0), 1.0),
    "sphere_sphere size": lambda: native.sphere_sphere(v(0, 0), 1.0, v(3, 0, 0), 1.0),
    "sphere_box hit": lambda: native.sphere_box(v(2, 0, 0), 1.5, v(0, 0, 0), I3, v(1, 1, 1)),
    "sphere_box separated": lambda: native.sphere_box(v(3, 0, 0), 1.0, v(0, 0, 0), I3, v(1, 1, 1)),
    "sphere_box size": lambda: native.sphere_box(v(3, 0, 0), 1.0, v(0, 0, 0), None, v(1, 1, 1)),
    "capsule_triangles hit": lambda: native.capsule_triangles(*CAPSULE),
    "capsule_triangles none": lambda: native.capsule_triangles(*CAPSULE[:3], None, None, None, None, None),
    "capsule_triangles hit dtype": lambda: native.capsule_triangles(
        *CAPSULE[:4], array([0, 0, 0], fmt="b"), *CAPSULE[5:]),
    "capsule_triangles short output": lambda: native.capsule_triangles(
        *CAPSULE[:5], array([0.0] * 6, [2, 3]), *CAPSULE[6:]),
    "capsule_triangles thin verts": lambda: native.capsule_triangles(
        *CAPSULE[:3], array([0.0] * 18, [3, 2, 3]), *CAPSULE[4:]),
}


def run(fn, calls):
    for _ in range(calls):
        try:
            fn()
        except Exception:
            pass


def delta(fn, calls):
    """Change of (total references, allocated blocks) over `calls` calls."""
    r0, b0 = sys.gettotalrefcount(), sys.getallocatedblocks()
    run(fn, calls)
    return sys.gettotalrefcount() - r0, sys.getallocatedblocks() - b0


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    leaks = {}
    for name, fn in CASES.items():
        run(fn, 200)  # warm caches and free lists
        # The measurement itself may move the counts by a constant; anything
        # the calls leave behind grows with their number. References must not
        # grow at all; allocated blocks wobble by a few with the interpreter's
        # own caches, while a leaked object per call would add 2 x calls.
        short, long = delta(fn, calls), delta(fn, 3 * calls)
        growth = [long[0] - short[0], long[1] - short[1]]
        if growth[0] != 0 or abs(growth[1]) > calls // 100:
            leaks[name] = growth
    print(json.dumps({"cases": len(CASES), "calls": 4 * calls, "leaks": leaks}))


if __name__ == "__main__":
    main()
