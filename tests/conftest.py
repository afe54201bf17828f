import faulthandler
import os
import sys

import pytest
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from hypothesis import settings
from wire import login_image


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


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    if TEST_TIMEOUT > 0:
        faulthandler.dump_traceback_later(TEST_TIMEOUT, exit=True, file=_stderr or sys.__stderr__)
    try:
        yield
    finally:
        if TEST_TIMEOUT > 0:
            faulthandler.cancel_dump_traceback_later()
