import pytest

import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
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
