import faulthandler
import fcntl
import os
import subprocess
import sys

import pytest
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from hypothesis import settings
from wire import login_image

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The build directories of the suite's native programs: tests/cpp's (a
# sanitizer run uses its own build), and the MinGW-w64 build of the Windows
# checks. The scripts build them once, before the tests need them
# (scripts/test-programs.sh).
TEST_BUILD = os.environ.get("TVX_TEST_BUILD") or os.path.join(ROOT, "build", os.environ.get("TVX_SANITIZER") or "tests")
WINDOWS_BUILD = os.environ.get("TVX_WINDOWS_BUILD") or os.path.join(ROOT, "build", "mingw")


def built_program(target, *path, build=TEST_BUILD):
    """The path of a native test program (`path` under `build`, by default
    tests/<target>) after an incremental build of its target: a no-op when
    the scripts built it, a recompile of what changed when its sources did.
    Only a build never configured is set up here, by the script, once."""
    # One build at a time in a directory: the scripts take the same lock.
    # Waiting for a build that the test command runs meanwhile is not the
    # test hanging: the watchdog starts afresh once the program is there.
    watchdog(False)
    try:
        with open(build.rstrip("/") + ".lock", "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if not os.path.exists(os.path.join(build, "build.ninja")):
                which = "windows" if build == WINDOWS_BUILD else "native"
                script = os.path.join(ROOT, "scripts", "test-programs.sh")
                env = dict(os.environ, TVX_TEST_BUILD=TEST_BUILD, TVX_WINDOWS_BUILD=WINDOWS_BUILD)
                subprocess.run(["bash", script, which, "--no-lock"], check=True, env=env)
            proc = subprocess.run(["cmake", "--build", build, "--target", target], capture_output=True, text=True)
    finally:
        watchdog(True)
    assert proc.returncode == 0, "building %s failed:\n%s%s" % (target, proc.stdout[-4000:], proc.stderr[-2000:])
    return os.path.join(build, *(path or ("tests", target)))


# What the test command's extra passes leave out (scripts/test.sh), as marks:
#   natively_covered     runs no native code of ours that other tests leave
#                        unexercised (pure Python, or long runs of paths that
#                        shorter tests take): the sanitizer pass skips it
#                        (scripts/sanitize.sh asan: -m "not natively_covered").
#   version_independent  gives the same answer on any CPython: 3.9 runs it,
#                        the other versions skip it (scripts/test-versions.sh:
#                        -m "not version_independent").
# A file's name marks all its tests; "file.py::test" one test.
NATIVELY_COVERED = {
    "test_api_docs.py",  # the stub's and docstrings' text
    "test_backtest_optimize.py",  # pools and Dask around runs that test_backtest.py checks
    "test_backtest_peer.py",
    "test_backtest_report.py",  # HTML and a browser
    # fork itself is the sanitizer runtime's slowest path; the fork handlers run in the 3.9 pass
    "test_broker_streams.py::test_fork_with_the_clock_and_streams_running_never_hangs_the_child",
    "test_replay_fills.py",  # the reference fill rules and results
    "test_replay_history.py",  # the loaders and packing; the replay's refusals are test_replay_broker.py's
    "test_replay_peer.py",
}
VERSION_INDEPENDENT = {
    "test_api_docs.py",
    "test_bench.py",  # the benchmarks' own smoke runs; they are measured on each version by hand
    "test_broker_informed.py",  # the library's market simulation, statistics only
    "test_docs.py",  # the docs site and its snippets, checked once
    "test_backtest_optimize.py::test_the_backtest_bench_runs_beside_the_peer",
    "test_backtest_peer.py",
    "test_engine_components.py",  # C++ programs, no Python
    "test_replay_peer.py",
    "test_typecheck.py",  # mypy checks for CPython 3.9 whatever runs it
    "test_windows.py",  # cross-built with 3.9's headers, run under Wine
}


def register_marks(config):
    config.addinivalue_line("markers", "natively_covered: left out of the sanitizer pass (tests/conftest.py)")
    config.addinivalue_line("markers", "version_independent: run on CPython 3.9 alone (tests/conftest.py)")


def pytest_collection_modifyitems(config, items):
    for item in items:
        file = os.path.basename(str(item.fspath))
        names = {file, file + "::" + getattr(item, "originalname", item.name)}
        if names & NATIVELY_COVERED:
            item.add_marker(pytest.mark.natively_covered)
        if names & VERSION_INDEPENDENT:
            item.add_marker(pytest.mark.version_independent)


@pytest.fixture
def scripted():
    """Our library in scripted mode, with nothing queued and an empty call log."""
    sbx.use_scripted()
    sbx.reset()
    yield sbx
    sbx.reset()
    sbx.use_broker()


@pytest.fixture
def ctx(scripted):
    """A context dictionary from a scripted login on channel "CH-1"."""
    scripted.queue(13, login_image(b"CH-1"))
    context = tv.login("app", "secret", "x3", "x4", True)
    scripted.clear_calls()
    return context


@pytest.fixture
def broker_world():
    """Broker mode for the test; whatever it does to the sandbox broker, the
    default world is back afterwards (its clock stopped), for the tests that
    rely on it."""
    from tavrolix_sandbox import broker

    sbx.use_broker()
    yield
    sbx.use_broker()
    broker.reset(running=False)


# CI replays the same examples every run: a failure there is the code's, not
# the draw's. Elsewhere each run explores afresh.
settings.register_profile("ci", derandomize=True, print_blob=True)
if os.environ.get("CI"):
    settings.load_profile("ci")


# A hung test must fail the run with every thread's stack, not stall CI until
# its hard limit. faulthandler's watchdog needs neither the interpreter lock
# nor a working Python, so it also fires when a native lock deadlocks.
TEST_TIMEOUT = float(os.environ.get("TVX_TEST_TIMEOUT", "300"))
_stderr = None


def pytest_configure(config):
    register_marks(config)
    # The run's real stderr, not the capture that replaces it during a test.
    global _stderr
    capman = config.pluginmanager.getplugin("capturemanager")
    if capman is not None:
        capman.suspend_global_capture()
    try:
        _stderr = os.fdopen(os.dup(2), "w")
    finally:
        if capman is not None:
            capman.resume_global_capture()


def watchdog(on):
    if TEST_TIMEOUT > 0:
        if on:
            faulthandler.dump_traceback_later(TEST_TIMEOUT, exit=True, file=_stderr or sys.__stderr__)
        else:
            faulthandler.cancel_dump_traceback_later()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    watchdog(True)
    try:
        yield
    finally:
        watchdog(False)
