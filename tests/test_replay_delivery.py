"""Delivery never waits on itself: a receiver that blocks (its consumer may be
the very thread that steps, stops or resets) holds back only its own
subscription; ending a world lets go of its deliveries; drain on the
delivering thread returns at once; a subscription that is behind gets its
newest market picture instead of an ever longer queue, and order events are
never dropped."""

import threading
import time

import pytest
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from tavrolix_sandbox import broker
from tavrolix_sandbox import history as H

T0 = 1772445600
BACKLOG = 16384  # deliveries waiting from which a subscription behind gets only its newest picture


@pytest.fixture(autouse=True)
def quiet_world():
    sbx.use_broker()
    broker.reset(running=False, liquidity=False, activity=False)
    yield
    broker.reset(running=False)


def login(user="inv001"):
    return tv.login(user, user + "-secret", "", "", False)


def prints(n=200):
    return H.trades([(T0 + i, 45.0 + (i % 4) * 0.25, 10, 0) for i in range(n)], symbol="ARVO", tick=H.EQUITY_TICKS)


class Held:
    """A receiver that blocks until released, as a sink waiting for its consumer does."""

    def __init__(self):
        self.entered = threading.Event()
        self.gate = threading.Event()
        self.got = 0

    def __call__(self, payload):
        self.got += 1
        self.entered.set()
        self.gate.wait(30)


def returns_within(fn, seconds=5.0):
    """Runs fn on a thread; whether it returned in time (never left hanging: the caller releases)."""
    done = threading.Event()
    out = []

    def run():
        out.append(fn())
        done.set()

    threading.Thread(target=run, daemon=True).start()
    return done.wait(seconds), out


def test_a_step_does_not_wait_for_a_worker_held_by_its_own_consumer():
    broker.replay(prints())
    ctx = login()
    held = Held()
    tv.subscribe_price_info(ctx, "ARVO", held)  # its first picture holds the event thread
    assert held.entered.wait(5)
    others = []
    tv.subscribe_bid_offer(ctx, "ARVO", others.append)
    try:
        ok, out = returns_within(lambda: broker.replay_step(3))
        assert ok and out == [3]
        assert others  # the other subscription was delivered meanwhile, in lockstep
    finally:
        held.gate.set()
    assert broker.drain(10)


@pytest.mark.parametrize("how", ["stop", "reset", "load"])
def test_stop_reset_and_load_never_wait_for_a_runner_held_by_a_receiver(how):
    broker.replay(prints())
    ctx = login()
    held = Held()
    tv.subscribe_price_info(ctx, "ARVO", held)
    assert held.entered.wait(5)  # the event thread delivers the first picture and is held
    held.entered.clear()
    held.gate.set()
    held.gate = threading.Event()
    broker.replay_run(0)
    assert held.entered.wait(5)  # now the runner itself is held, inside a lockstep delivery
    try:
        action = {
            "stop": broker.replay_stop,
            "reset": lambda: broker.reset(running=False, liquidity=False, activity=False),
            "load": lambda: broker.replay(prints()),
        }[how]
        ok, _ = returns_within(action)
        assert ok
        assert not broker.replay_state()["running"]
        # The caller may go on stepping itself at once.
        if how != "reset":
            ok, out = returns_within(lambda: broker.replay_step(2))
            assert ok and out == [2]
    finally:
        held.gate.set()
    assert broker.drain(10)


def test_reset_lets_go_of_a_stream_nobody_reads():
    ctx = login()
    held = Held()
    tv.subscribe_price_info(ctx, "ARVO", held)
    assert held.entered.wait(5)
    try:
        broker.reset(running=False, liquidity=True, activity=False)
        got = []
        tv.subscribe_bid_offer(login(), "ARVO", got.append)
        broker.set_price("ARVO", 46.0)
        assert broker.drain(5) and len(got) >= 2  # the new world's stream is served
    finally:
        held.gate.set()


def test_drain_from_a_callable_on_the_delivering_thread_returns_at_once():
    broker.replay(prints(5))
    ctx = login()
    took = []

    def on_info(payload):
        t = time.monotonic()
        broker.drain(5)
        took.append(time.monotonic() - t)

    key = tv.subscribe_price_info(ctx, "ARVO", on_info)
    broker.replay_step(5)
    tv.unsubscribe(ctx["channel_id"], key)
    assert len(took) >= 5 and max(took) < 1


def test_a_subscription_behind_is_conflated_and_order_events_are_never_dropped():
    broker.reset(running=False, liquidity=True, activity=True)
    ctx = login()
    symbols = ["ARVO", "BELNO", "CORIX", "DANTA", "EMBRA"]
    last = {}
    behind = threading.Event()
    behind.set()

    def slow(k):
        def receive(payload):
            last[k] = payload
            if behind.is_set():
                time.sleep(0.001)

        return receive

    keys = [tv.subscribe_bid_offer(ctx, s, slow((s, i))) for s in symbols for i in range(60)]
    updates = []
    keys.append(tv.subscribe_equity_order(ctx, "E-1001", updates.append))
    broker.run(0.001)
    peak = 0
    deadline = time.time() + 2
    placed = 0
    while time.time() < deadline:
        peak = max(peak, broker.state()["events_queued"])
        r = tv.place_investor_equity_order(
            ctx, "E-1001", "DANTA", 3.0, 200, "BUY", "000000", "LIMIT", "DAY", "", "", False, 0, True
        )
        placed += bool(r["success"])
    broker.stop()
    behind.clear()  # the backlog was measured: what is queued may go as fast as it can
    assert broker.drain(60)
    assert peak <= BACKLOG + len(keys) + 4 * placed  # bounded, not a backlog growing each tick
    assert sum('"event":"NEW"' in u for u in updates) == placed
    # What a subscription that was behind saw last is the newest picture.
    fresh = []
    key = tv.subscribe_bid_offer(ctx, "ARVO", fresh.append)
    assert broker.drain(5) and fresh and fresh[0] == last[("ARVO", 0)]
    for k in keys + [key]:
        tv.unsubscribe(ctx["channel_id"], k)


def test_lockstep_with_a_full_client_order_stream_returns_and_drops_nothing():
    import tavrolix

    broker.replay(prints(3))
    ctx = login()
    ordered, prints_seen = [], []

    def on_info(payload):
        prints_seen.append(payload)
        if len(prints_seen) <= 3:  # each print: 10 orders, 10 updates for a stream holding 8
            for _ in range(10):
                r = tv.place_investor_equity_order(
                    ctx, "E-1001", "ARVO", 40.0, 100, "BUY", "000000", "LIMIT", "DAY", "", "", False, 0, True
                )
                ordered.append(r["data"]["order_no"])

    with tavrolix.connect("inv001", "inv001-secret", pin="000000") as client:
        stream = client.equity("E-1001").order_updates(maxsize=8)
        key = tv.subscribe_price_info(ctx, "ARVO", on_info)
        try:
            ok, out = returns_within(lambda: broker.replay_step(3))  # the stepping thread is the reader
            assert ok and out == [3]
            got = [stream.get(timeout=5) for _ in range(len(ordered))]
            assert [u["order_no"] for u in got] == ordered and len(ordered) == 30
        finally:
            tv.unsubscribe(ctx["channel_id"], key)
            stream.close()
