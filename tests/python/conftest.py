import json
import math
import os
import struct
import subprocess
import sys
import textwrap
from fractions import Fraction

import numpy as np
import pytest

from zuli_physics import _collide_native as native


def _bits(x):
    return struct.pack("<d", x)


def same(a, b):
    """Bit-for-bit equality of nested results: NaN equals NaN, -0.0 != 0.0."""
    if isinstance(a, float) and isinstance(b, float):
        if math.isnan(a) and math.isnan(b):
            return True
        return _bits(a) == _bits(b)
    if isinstance(a, (tuple, list)) and isinstance(b, (tuple, list)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


def vec(*xs):
    return np.array(xs, dtype=np.float64)


def run_isolated(body, *, python=None, env=None, preload=True):
    """Runs `body` in a fresh interpreter and returns what it printed last as
    JSON. A crash shows up as a failed assertion, not a dead test run."""
    code = "import json, numpy as np\n"
    if preload:
        code += "from zuli_physics import _collide_native as native\n"
    code += textwrap.dedent(body)
    proc = subprocess.run(
        [python or sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=300,
        env={**os.environ, **(env or {})},
    )
    assert proc.returncode == 0, f"child exited with {proc.returncode}\n{proc.stderr[-3000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.fixture
def unit_box():
    return vec(0, 0, 0), np.eye(3), vec(1, 1, 1)


def unaligned(a):
    """A copy of `a` whose data starts one byte past an 8-byte boundary
    (NumPy allows such arrays)."""
    raw = np.zeros(a.nbytes + 1, np.uint8)
    b = np.ndarray(a.shape, a.dtype, buffer=raw.data, offset=1)
    b[...] = a
    return b


class Reallocating(Fraction):
    """A number whose float() reallocates `victim` to no rows (as
    ndarray.resize with refcheck=False does) and then gives `value`."""

    def __new__(cls, victim, value):
        self = super().__new__(cls, Fraction(value))
        self.victim, self.value = victim, value
        return self

    def __float__(self):
        self.victim.resize((0, 3), refcheck=False)
        return self.value


def outcomes_while_rewritten(column, good, bad, call, calls):
    """What `calls` calls of call() end in ("ok" or an exception's name)
    while another thread keeps setting `column` (a view of an array the
    calls read) to `bad` and back to `good`, as it may while a call has the
    interpreter lock released."""
    import threading

    stop = threading.Event()

    def rewrite():
        while not stop.is_set():
            column[...] = bad
            column[...] = good

    writer = threading.Thread(target=rewrite)
    writer.start()
    seen = set()
    try:
        for _ in range(calls):
            try:
                call()
                seen.add("ok")
            except (IndexError, ValueError, RuntimeError) as e:
                seen.add(type(e).__name__)
    finally:
        stop.set()
        writer.join()
        column[...] = good
    return seen
