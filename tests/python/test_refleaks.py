"""Reference leaks, measured under the debug interpreter (see leakcheck.py)."""

import json
import os
import pathlib
import subprocess

from test_module import needs


def test_no_reference_leaks():
    path = needs("ZULI_DEBUG_PYTHONPATH")
    script = pathlib.Path(__file__).with_name("leakcheck.py")
    proc = subprocess.run(["python3.14d", str(script), "300"], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": path}, timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    assert result["cases"] >= 120
    assert result["leaks"] == {}, "cases whose counts grew: " + json.dumps(result["leaks"])
