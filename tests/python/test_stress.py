"""Eight threads mixing all four functions (see stress.py)."""

import os

from stress import run


def test_threads_match_serial_results():
    seconds = float(os.environ.get("ZULI_STRESS_SECONDS", "3"))
    result = run(threads=8, seconds=seconds)
    assert result["mismatches"] == []
    assert all(count > 0 for count in result["calls"].values()), result
