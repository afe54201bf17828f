"""Running out of memory while arguments are converted and copied raises
MemoryError on every argument path, never an abort or a misleading error."""

import os
import subprocess
import sys

import pytest
from catalog import FUNCTIONS

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.mark.skipif(
    bool(os.environ.get("TVX_SANITIZER")), reason="a sanitizer reserves more address space than any limit leaves"
)
def test_every_argument_path_raises_memory_error():
    env = dict(
        os.environ,
        PYTHONPATH=os.pathsep.join(sys.path),
        # Every large block mapped afresh, so that the limit decides.
        MALLOC_MMAP_THRESHOLD_="131072",
    )
    child = subprocess.run(
        [sys.executable, os.path.join(HERE, "reliability", "out_of_memory.py")],
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert child.returncode == 0, child.stderr[-2000:]
    *failures, counts = child.stdout.splitlines()
    assert failures == []
    calls, functions = map(int, counts.split())
    assert calls > 800 and functions == len(FUNCTIONS)
