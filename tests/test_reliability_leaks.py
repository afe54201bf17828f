"""Repeated calls of every function on every path leave nothing behind."""

import gc
import os
import re
import shutil
import subprocess
import sys
import tracemalloc

import pytest
from reliability import scenario

HERE = os.path.dirname(os.path.abspath(__file__))
# Under a sanitizer the allocator is the sanitizer's: memory figures and valgrind say nothing there.
unsanitized = pytest.mark.skipif(bool(os.environ.get("TVX_SANITIZER")), reason="sanitizer build")


@unsanitized
def test_python_objects_do_not_accumulate(scripted):
    scripted.set_recording(False)
    prepared = scenario.images()
    scenario.run(3, prepared)  # warm caches, interned keys, the text pool
    gc.collect()
    tracemalloc.start()
    try:
        # The interpreter's own caches fill under tracing too; on 3.13 the
        # first traced round still grows them by some 4 KB.
        for _ in range(2):
            scenario.run(20, prepared)
            gc.collect()
        base, _ = tracemalloc.get_traced_memory()
        calls = scenario.run(20, prepared)
        gc.collect()
        grown, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
        scripted.set_recording(True)
    # One leaked object per call would be tens of bytes each.
    assert calls > 2000
    assert grown - base < 4 * 1024, (grown - base, calls)


@unsanitized
@pytest.mark.skipif(shutil.which("valgrind") is None, reason="valgrind is not installed")
def test_no_native_leak_in_the_module_or_the_library():
    proc = subprocess.run(
        [
            "valgrind",
            "--leak-check=full",
            "--show-leak-kinds=definite,indirect",
            "--errors-for-leak-kinds=none",
            "--num-callers=40",
            sys.executable,
            os.path.join(HERE, "reliability", "scenario.py"),
            "2",
        ],
        capture_output=True,
        text=True,
        timeout=900,
        env={**os.environ, "PYTHONMALLOC": "malloc"},
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    ours = ("tavrolix_open_api", "libTavrolixInterfacePY")
    records = proc.stderr.split("\n==")

    def allocated_by_a_call(record):
        # What an import or the module's start-up made once (code objects,
        # interned names, which 3.12 and later keep past exit) is not a call's;
        # the scenario's calls run outside any import.
        return any(o in record for o in ours) and "PyImport_" not in record and "PyInit_" not in record

    # One loss record per block of lines between valgrind's empty "==PID== " lines.
    leaks = [
        r
        for r in re.split(r"\n==\d+== ?\n", proc.stderr)
        if ("definitely lost" in r or "indirectly lost" in r) and allocated_by_a_call(r)
    ]
    assert not leaks, "\n\n".join(leaks)[:4000]
    assert "ERROR SUMMARY" in proc.stderr and records


@unsanitized
def test_resident_memory_stays_flat_over_a_million_calls():
    proc = subprocess.run(
        [sys.executable, os.path.join(HERE, "reliability", "resident.py"), "1000000"],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    marks = __import__("json").loads(proc.stdout)
    assert marks["calls"] >= 999_990
    assert marks["last"] - marks["first"] < 1024 * 1024, marks
