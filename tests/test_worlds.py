"""Worlds as values: several sandboxes in one process, each reached only by the logins made in it,
each ending its streams with one last {"end": ...} event."""

import json
import os
import threading
import time

import pytest
import tavrolix_open_api as tv
from broker_markets import Equity
from tavrolix_sandbox import World, broker

pytestmark = pytest.mark.usefixtures("broker_world")


def wait_for(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.005)
    return predicate()


def trade_session(world, seed_orders=40):
    """Orders of an investor against the simulated market, the clock stepped by hand; what traded."""
    ctx = world.login("inv001", "inv001-secret")
    state = world.state()
    mid = state["instruments"][Equity.symbol]["reference"]
    for k in range(seed_orders):
        side = "BUY" if k % 2 == 0 else "SELL"
        price = round(mid + (Equity.tick if side == "BUY" else -Equity.tick), 2)
        Equity.place(ctx, "E-1001", side, price, 100)
        world.step(3)
    world.step(200)
    s = world.state()
    return [(t["order_no"], t["price"], t["qty"], t["time"]) for t in s["trades"]], s["tape"]


def test_two_worlds_trading_side_by_side_give_the_trades_each_gives_alone():
    alone = {}
    for seed in (11, 12):
        with World(seed=seed) as w:
            alone[seed] = trade_session(w)
    assert alone[11][0] and alone[11] != alone[12]  # trades happen and the seeds matter, so a mix-up would show

    together = {}
    errors = []
    start = threading.Barrier(2)

    def run(seed):
        try:
            with World(seed=seed) as w:
                start.wait()
                together[seed] = trade_session(w)
        except BaseException as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=run, args=(s,)) for s in (11, 12)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not errors
    assert together == alone


def test_a_login_reaches_only_its_world():
    broker.reset(seed=3)
    with World(seed=4) as a, World(seed=4) as b:
        ca, cb = a.login("inv001", "inv001-secret"), b.login("inv001", "inv001-secret")
        assert ca["channel_id"] != cb["channel_id"]
        placed = Equity.place(ca, "E-1001", "BUY", Equity.price - 0.2, 100)
        assert placed["success"]
        assert placed["success"], placed
        assert tv.get_investor_equity_orders(cb, "E-1001")["data"] == []
        assert broker.state()["orders"] == [] and b.state()["orders"] == []
        assert len(a.state()["orders"]) == 1
        # A channel of one world means nothing in another, even with the other's prefix.
        forged = dict(cb, channel_id=ca["channel_id"].replace(f"sbx{a.id}-", f"sbx{b.id}-"))
        assert tv.get_investor_equity_orders(forged, "E-1001")["status_code"] == 401
    # Closed: its logins are refused, a new login into it too.
    assert tv.get_investor_equity_orders(ca, "E-1001")["status_code"] == 401
    with pytest.raises(RuntimeError, match="no such world"):
        tv.login("inv001", "inv001-secret", f"world:{a.id}", "", False)
    with pytest.raises(RuntimeError, match="no such world"):
        tv.login("inv001", "inv001-secret", "world:x", "", False)
    with pytest.raises(ValueError, match="no world"):
        a.step(1)
    a.close()  # twice is harmless


def subscribe_all(ctx, symbol="ARVO"):
    got = []
    tv.subscribe_bid_offer(ctx, symbol, got.append)
    tv.subscribe_equity_order(ctx, "E-1001", got.append)
    return got


@pytest.mark.parametrize("how", ["close", "reset", "default reset"])
def test_ending_a_world_ends_each_stream_with_one_last_event(how):
    w = World(seed=5, liquidity=True) if how != "default reset" else broker._DEFAULT
    if how == "default reset":
        broker.reset(seed=5)
    ctx = w.login("inv001", "inv001-secret")
    books, orders = [], []
    tv.subscribe_bid_offer(ctx, "ARVO", books.append)
    tv.subscribe_equity_order(ctx, "E-1001", orders.append)
    assert Equity.place(ctx, "E-1001", "BUY", Equity.price - 0.2, 100)["success"]
    w.step(5)
    if how == "close":
        w.close()
        reason = "the world was closed"
    else:
        w.reset(seed=6)
        reason = "the world was reset"
    end = json.dumps({"end": reason}, separators=(",", ":"))
    assert wait_for(lambda: books and books[-1] == end and orders and orders[-1] == end)
    for got in (books, orders):
        assert got.count(end) == 1 and got[-1] == end and len(got) > 1
    assert all("end" not in json.loads(p) for p in books[:-1] + orders[:-1])
    if how != "close":
        w.step(10)  # the new world's events never reach the old streams
        w.drain()
        assert books[-1] == end and orders[-1] == end
        w.close() if how == "reset" else None


def test_the_default_world_cannot_be_closed_and_worlds_check_their_settings():
    with pytest.raises(ValueError, match="default world"):
        broker._DEFAULT.close()
    with pytest.raises(ValueError, match="session"):
        World(session={"open": "25:00", "close": "26:00"})


def threads_now():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
def test_worlds_made_and_dropped_leave_no_threads_behind():
    before = threads_now()
    for k in range(30):
        with World(seed=k, running=True, interval=0.001) as w:
            ctx = w.login("inv001", "inv001-secret")
            tv.subscribe_bid_offer(ctx, "ARVO", lambda p: None)
            w.step(2)
    assert wait_for(lambda: threads_now() <= before + 2, 10), (before, threads_now())


def test_a_callable_may_close_its_own_world_while_its_events_are_delivered():
    w = World(seed=8)
    ctx = w.login("inv001", "inv001-secret")
    seen = []
    done = threading.Event()

    def closing(payload):
        seen.append(payload)
        if len(seen) == 1:
            w.close()
        if "end" in json.loads(payload):
            done.set()

    tv.subscribe_bid_offer(ctx, "ARVO", closing)
    assert done.wait(10)
    assert json.loads(seen[-1]) == {"end": "the world was closed"}


def test_the_fee_schedule_the_library_gives_is_the_one_it_charges():
    from decimal import Decimal

    from tavrolix_sandbox import fills

    rates = broker.fees()
    assert set(rates) == {"brokerage_fee", "trading_fee", "clearing_fee"} and all(r > 0 for r in rates.values())
    with World(seed=9, liquidity=True, activity=False) as w:
        assert w.fees() == rates
        ctx = w.login("inv001", "inv001-secret")
        ask = w.state()["instruments"]["ARVO"]["asks"][0]["price"]
        for volume in (100, 700, 1300):
            assert Equity.place(ctx, "E-1001", "BUY", ask, volume, symbol="ARVO")["success"]
        trades = tv.get_investor_equity_trades(ctx, "E-1001")["data"]
    assert len(trades) >= 3
    for t in trades:
        value = Decimal(repr(t["px"])) * t["qty"]
        expected = fills.equity_fees(value)
        assert {k: Decimal(repr(t[k])) for k in expected} == expected, t
