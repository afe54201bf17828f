"""The benchmarks still run, and the module, the plain C API converter and the
ctypes decoding still agree on every case (the benchmark asserts it before
timing); one short round each, nothing measured."""

import os
import shutil
import subprocess
import sys
import sysconfig

import pytest
import tavrolix_open_api as tv

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(ROOT, "bench")
pytestmark = [
    pytest.mark.skipif(bool(os.environ.get("TVX_SANITIZER")), reason="sanitizer run"),
    pytest.mark.skipif(not shutil.which("cc"), reason="no C compiler"),
]


@pytest.fixture(scope="module")
def floor_dir(tmp_path_factory):
    out = tmp_path_factory.mktemp("floor")
    paths = sysconfig.get_paths()
    target = out / ("tvx_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run(
        [
            "cc",
            "-O1",
            "-fPIC",
            "-shared",
            "-I" + paths["include"],
            os.path.join(BENCH, "floor.c"),
            "-o",
            str(target),
            "-lpthread",
        ],
        check=True,
    )
    return str(out)


def smoke(script, *paths):
    """The rows of ``bench/<script> --smoke``, run against the module under test."""
    module_dir = os.path.dirname(tv.__file__)
    sandbox = os.path.join(ROOT, "sandbox", "python")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([module_dir, sandbox, *paths, BENCH]))
    proc = subprocess.run(
        [sys.executable, os.path.join(BENCH, script), "--smoke"], env=env, capture_output=True, text=True, timeout=300
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc.stdout.splitlines()


def test_every_case_runs_and_agrees(floor_dir):
    lines = smoke("bench.py", floor_dir)
    cases = [line.split("|")[0].strip() for line in lines[2:] if "|" in line]
    assert [c.split(":")[0] for c in cases] == ["list"] * 2 + ["call frame"] + ["events"] * 6 + ["memory"], cases


def test_client_bench_runs_and_agrees():
    lines = smoke("client.py", os.path.join(ROOT, "client"))
    cases = [line.split("|")[0].strip() for line in lines[2:] if "|" in line]
    assert [c.split(":")[0] for c in cases] == ["query"] + ["placement"] * 2 + ["list"] * 3 + ["events"] * 10, cases


def test_replay_bench_runs_and_checks_its_counts():
    rows = smoke("replay.py", os.path.join(ROOT, "client"))
    assert len(rows) == 4 and "engine only" in rows[2] and "end to end" in rows[3], rows
