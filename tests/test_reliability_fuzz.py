"""Random arguments for every function never crash the process."""

import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# Per function; fewer under a sanitizer, where each call costs several times more.
EXAMPLES = "40" if os.environ.get("TVX_SANITIZER") else "120"


def test_random_arguments_for_every_function():
    proc = subprocess.run(
        [sys.executable, os.path.join(HERE, "reliability", "fuzz_arguments.py"), EXAMPLES],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    summary = json.loads(proc.stdout.strip().splitlines()[-1])
    # Both roads are taken: calls refused by conversion and calls that reach the library.
    scale = int(EXAMPLES) / 120
    assert (
        summary["refused"] > 500 * scale and summary["converted"] > 500 * scale and summary["raised"] > 200 * scale
    ), summary
