"""The broker's market data and realtime streams through the module:
candlesticks built from the trades, order updates, bid/offer and price
information with cached replay, unsubscribe, several Python threads and the
library's threads at once, and the examples."""

import calendar
import json
import os
import subprocess
import sys
import threading
import time
from collections import defaultdict

import pytest
import tavrolix_open_api as tv
from broker_markets import Derivatives, Equity, each_market, login, placed, quiet_market
from tavrolix_sandbox import broker

pytestmark = pytest.mark.usefixtures("broker_world")

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(os.path.dirname(HERE), "examples")


class Inbox:
    """A callable that keeps every payload it gets, parsed, and the threads it ran on."""

    def __init__(self):
        self.items, self.threads = [], set()

    def __call__(self, payload):
        self.items.append(json.loads(payload))
        self.threads.add(threading.get_ident())


def settle():
    assert broker.drain(10), "events still undelivered"


def candles_of(trades, seconds, origin=0):
    """Candles from trade records, by opening second: [open, high, low, close, volume]."""
    out = {}
    for t in trades:
        h, m, s = map(int, t["trade_time"].split(":"))
        at = calendar.timegm(time.strptime(t["trade_date"], "%Y-%m-%d")) + h * 3600 + m * 60 + s
        start = origin + (at - origin) // seconds * seconds
        c = out.setdefault(start, [t["px"], t["px"], t["px"], t["px"], 0])
        c[1], c[2], c[3], c[4] = max(c[1], t["px"]), min(c[2], t["px"]), t["px"], c[4] + t["qty"]
    return out


def columns(data):
    return {
        t: [o, h, l, c, v]
        for t, o, h, l, c, v in zip(
            data["time"], data["open"], data["high"], data["low"], data["close"], data["volume"]
        )
    }


# ------------------------------------------------------------------ candlesticks
def test_candlesticks_follow_the_trades():
    quiet_market()
    a, b = login("inv001"), login("inv002")
    script = [[(3.52, 300), (3.56, 200), (3.50, 100)], [(3.54, 100)], [], [(3.60, 400), (3.58, 100), (3.48, 100)]]
    for minute in script:
        for price, volume in minute:
            placed(Equity.place(b, "E-2001", "SELL", price, volume))
            placed(Equity.place(a, "E-1001", "BUY", price, volume))
        broker.step(60)
    trades = Equity.trades(a, "E-1001")["data"]
    assert len(trades) == 7
    for interval, seconds in (("1m", 60), ("3m", 180), ("5m", 300)):
        env = tv.get_candlesticks(a, "DANTA", interval, 100, False, "", "")
        assert env["success"], env["message"]
        assert columns(env["data"]) == candles_of(trades, seconds)
    last = tv.get_candlesticks(a, "DANTA", "1m", 2, True, "", "")["data"]
    assert len(last["time"]) == 2 and last["time"][-1] == max(candles_of(trades, 60))
    first_only = tv.get_candlesticks(a, "DANTA", "1m", 100, False, "", str(min(candles_of(trades, 60))))["data"]
    assert len(first_only["time"]) == 1
    before = tv.get_candlesticks(a, "DANTA", "1m", 1, False, "", "")["data"]["last_sequence"]
    placed(Equity.place(b, "E-2001", "SELL", 3.52, 100))
    placed(Equity.place(a, "E-1001", "BUY", 3.52, 100))
    assert tv.get_candlesticks(a, "DANTA", "1m", 1, False, "", "")["data"]["last_sequence"] > before
    assert tv.get_candlesticks(a, "ARVO", "1m", 10, False, "", "")["data"]["time"] == []


def test_candlesticks_of_the_moving_market_match_its_tape():
    broker.reset(seed=99, running=False)
    broker.step(300)
    tape = [
        dict(
            trade_time=time.strftime("%H:%M:%S", time.gmtime(t["time"])),
            trade_date=time.strftime("%Y-%m-%d", time.gmtime(t["time"])),
            px=t["price"],
            qty=t["qty"],
        )
        for t in broker.state()["tape"]
        if t["symbol"] == "T50H26"
    ]
    assert len(tape) > 20
    ctx = login("inv003")
    data = tv.get_candlesticks(ctx, "T50H26", "1m", 1000, False, "", "")["data"]
    assert columns(data) == candles_of(tape, 60)


# ------------------------------------------------------------------ order updates
@each_market
def test_every_change_of_an_order_is_streamed(mk):
    quiet_market()
    a, b = login("inv001"), login("inv002")
    buyer, seller = mk.account["inv001"], mk.account["inv002"]
    mine, theirs = Inbox(), Inbox()
    subscribe = tv.subscribe_equity_order if mk is Equity else tv.subscribe_derivatives_order
    keys = [subscribe(a, buyer, mine), subscribe(b, seller, theirs)]
    no = placed(mk.place(a, buyer, "BUY", mk.price, 3 * mk.lot))
    placed(mk.place(b, seller, "SELL", mk.price, mk.lot))
    assert mk.change(a, buyer, no, mk.price - mk.tick, 0)["success"]
    assert mk.cancel(a, buyer, no)["success"]
    settle()
    assert [(e["event"], e["status"]) for e in mine.items] == [
        ("NEW", "OPEN"),
        ("MATCH", "PARTIAL"),
        ("CHANGE", "PARTIAL"),
        ("CANCEL", "CANCELLED"),
    ]
    match = mine.items[1]
    assert (match["match_price"], match["match_volume"]) == (mk.price, mk.lot)
    final = mk.order(a, buyer, no)["data"]
    assert {k: mine.items[-1][k] for k in final} == final
    assert list(mine.items[-1])[-len(final) :] == list(final)
    assert [e["event"] for e in theirs.items] == ["NEW", "MATCH"]
    assert threading.get_ident() not in mine.threads
    for ctx, key in zip((a, b), keys):
        tv.unsubscribe(ctx["channel_id"], key)


def test_order_streams_only_for_visible_accounts():
    quiet_market()
    a = login("inv001")
    rep = login("mkt001")
    for subscribe, account in (
        (tv.subscribe_equity_order, "E-2001"),
        (tv.subscribe_derivatives_order, "D-2001"),
        (tv.subscribe_derivatives_order, "E-1001"),
    ):
        with pytest.raises(RuntimeError, match="account not found"):
            subscribe(a, account, print)
    with pytest.raises(RuntimeError, match="unknown interval"):
        tv.subscribe_candlestick(a, "ARVO", "2h", print)
    watched = Inbox()
    key = tv.subscribe_equity_order(rep, "E-2001", watched)
    placed(Equity.place(login("inv002"), "E-2001", "SELL", 3.60, 100))
    settle()
    assert [e["account_no"] for e in watched.items] == ["E-2001"]
    tv.unsubscribe(rep["channel_id"], key)


# ---------------------------------------------------------- bid/offer, price info
def test_bid_offer_and_price_info_stream_and_replay():
    quiet_market()
    a, b = login("inv001"), login("inv002")
    placed(Equity.place(b, "E-2001", "SELL", 3.56, 500, iceberg=200))
    book, info = Inbox(), Inbox()
    keys = [tv.subscribe_bid_offer(a, "DANTA", book), tv.subscribe_price_info(a, "DANTA", info)]
    settle()
    # A first subscriber gets the picture as it stands.
    assert [(e["ask_price"], e["ask_volume"], e["bid_price"]) for e in book.items] == [([3.56], [200], [])]
    assert info.items[0]["last"] is None
    placed(Equity.place(a, "E-1001", "BUY", 3.50, 300))
    placed(Equity.place(a, "E-1001", "BUY", 3.56, 100))
    settle()
    assert (book.items[-1]["bid_price"], book.items[-1]["bid_volume"]) == ([3.50], [300])
    assert (book.items[-1]["ask_price"], book.items[-1]["ask_volume"]) == ([3.56], [100])
    assert (info.items[-1]["last"], info.items[-1]["total_volume"], info.items[-1]["symbol"]) == (3.56, 100, "DANTA")
    assert info.items[-1]["change"] == pytest.approx(0.04)

    # A later subscriber gets the module's cached latest payload before
    # subscribe returns, then the current picture from the library.
    late_book, late_info = Inbox(), Inbox()
    late = [tv.subscribe_bid_offer(b, "DANTA", late_book), tv.subscribe_price_info(b, "DANTA", late_info)]
    assert (late_book.items, late_info.items) == ([book.items[-1]], [info.items[-1]])
    settle()
    assert (late_book.items, late_info.items) == ([book.items[-1]] * 2, [info.items[-1]] * 2)
    for ctx, key in [(a, k) for k in keys] + [(b, k) for k in late]:
        tv.unsubscribe(ctx["channel_id"], key)


def test_unsubscribe_stops_the_stream():
    broker.reset(seed=3, running=False)
    ctx = login("inv001")
    first, kept = Inbox(), Inbox()
    key = tv.subscribe_bid_offer(ctx, "BELNO", first)
    other = tv.subscribe_price_info(ctx, "BELNO", kept)
    broker.step(20)
    settle()
    assert len(first.items) > 1 and len(kept.items) > 1
    tv.unsubscribe(ctx["channel_id"], key)
    assert not tv.is_subscribe(key) and tv.is_subscribe(other)
    seen, seen_other = len(first.items), len(kept.items)
    broker.step(20)
    settle()
    assert len(first.items) == seen and len(kept.items) > seen_other
    # The stream's last subscriber left: a newcomer gets the current book, not a stale one.
    again = Inbox()
    tv.unsubscribe(ctx["channel_id"], tv.subscribe_bid_offer(ctx, "BELNO", again))
    newer = Inbox()
    last = tv.subscribe_bid_offer(ctx, "BELNO", newer)
    settle()
    bids = [l["price"] for l in broker.state()["instruments"]["BELNO"]["bids"][:5]]
    assert newer.items[-1]["bid_price"] == bids
    for key in (last, other):
        tv.unsubscribe(ctx["channel_id"], key)


def test_candlestick_stream_carries_the_newest_candle():
    quiet_market()
    a, b = login("inv001"), login("inv002")
    got = Inbox()
    key = tv.subscribe_candlestick(a, "T50H26", "5m", got)
    for price in (1000.0, 1001.5, 999.9):
        placed(Derivatives.place(b, "D-2001", "SELL", price, 1))
        placed(Derivatives.place(a, "D-1001", "BUY", price, 1))
        broker.step(70)
    settle()
    assert len(got.items) == 3
    data = tv.get_candlesticks(a, "T50H26", "5m", 1, False, "", "")["data"]
    last = got.items[-1]
    assert [last[k] for k in ("time", "open", "high", "low", "close", "volume", "sequence")] == [
        data["time"][0],
        data["open"][0],
        data["high"][0],
        data["low"][0],
        data["close"][0],
        data["volume"][0],
        data["last_sequence"],
    ]
    tv.unsubscribe(a["channel_id"], key)


# ------------------------------------------------------------------ threads
def test_python_threads_and_library_threads_at_once():
    broker.reset(seed=21, running=True, interval=0.002)
    errors, inboxes = [], defaultdict(Inbox)
    people = [("inv001", "E-1001", "D-1001"), ("inv002", "E-2001", "D-2001")]
    contexts = {user: login(user) for user, _, _ in people}
    keys = []
    for user, eq, dv in people:
        keys.append((user, tv.subscribe_equity_order(contexts[user], eq, inboxes[eq])))
        keys.append((user, tv.subscribe_derivatives_order(contexts[user], dv, inboxes[dv])))
    keys += [("inv001", tv.subscribe_bid_offer(contexts["inv001"], s, inboxes[s])) for s in ("ARVO", "T50H26")]
    settle()

    def trader(user, eq, dv, seed):
        import random

        rng = random.Random(seed)
        ctx = contexts[user]
        try:
            for _ in range(100):
                quote, future = inboxes["ARVO"].items[-1], inboxes["T50H26"].items[-1]
                price = rng.choice(quote["ask_price"][:1] + quote["bid_price"][:1])
                env = Equity.place(ctx, eq, rng.choice(["BUY", "SELL"]), price, 100, symbol="ARVO")
                if env["success"] and rng.random() < 0.5:
                    Equity.cancel(ctx, eq, env["data"]["order_no"])
                Derivatives.place(ctx, dv, rng.choice(["LONG", "SHORT"]), future["bid_price"][0], 1)
                Equity.orders(ctx, eq), Derivatives.portfolios(ctx, dv)
        except Exception as e:  # reported below, in the test's own thread
            errors.append(e)

    def churn():
        ctx = login("mkt001")
        try:
            for _ in range(100):
                tv.unsubscribe(ctx["channel_id"], tv.subscribe_price_info(ctx, "ARVO", lambda p: None))
        except Exception as e:
            errors.append(e)

    threads = [threading.Thread(target=trader, args=(u, e, d, i)) for i, (u, e, d) in enumerate(people * 2)]
    threads.append(threading.Thread(target=churn))
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    broker.stop()
    settle()
    assert errors == []
    assert inboxes["ARVO"].items and inboxes["T50H26"].items
    for user, eq, dv in people:
        for mk, account in ((Equity, eq), (Derivatives, dv)):
            last_event = {}
            for e in inboxes[account].items:
                last_event[e["order_no"]] = e
            orders = mk.orders(contexts[user], account)["data"]
            assert orders
            for o in orders:
                assert {k: last_event[o["order_no"]][k] for k in o} == o
    for user, key in keys:
        tv.unsubscribe(contexts[user]["channel_id"], key)


# ------------------------------------------------------------------ examples
@pytest.mark.parametrize(
    "script, args, last_line",
    [
        ("quickstart.py", [], "done"),
        ("strategy.py", ["2", "--fast"], "trades, position"),
        ("backtest.py", ["--minutes", "25"], "final equity"),
    ],
)
def test_examples_run_to_completion(script, args, last_line):
    run = subprocess.run(
        [sys.executable, os.path.join(EXAMPLES, script)] + args,
        capture_output=True,
        text=True,
        timeout=120,
        env=dict(os.environ),
    )
    assert run.returncode == 0, run.stderr
    assert last_line in run.stdout.strip().splitlines()[-1]
    assert not run.stderr
