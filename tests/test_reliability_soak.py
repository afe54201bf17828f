"""Python threads and native event threads together for a minute."""

import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SECONDS = float(os.environ.get("TVX_SOAK_SECONDS", "15" if os.environ.get("TVX_SANITIZER") else "60"))


def test_concurrency_soak():
    proc = subprocess.run(
        [sys.executable, os.path.join(HERE, "reliability", "soak.py"), str(SECONDS)],
        capture_output=True,
        text=True,
        timeout=SECONDS + 180,
    )
    assert proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-4000:]
    report = json.loads(proc.stdout.strip().splitlines()[-1])
    print(report)
    assert report["errors"] == []
    assert report["duplicates"] == 0 and report["late"] == 0 and report["lost"] == 0, report
    assert report["calls"] > 1000 and report["subscriptions"] > 50 and report["events_received"] > 1000, report
