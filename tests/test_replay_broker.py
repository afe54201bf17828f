"""History replayed through the broker, checked from outside: the same
strategy through the module and its streams, through the reference fill rules
and through the `backtesting` peer gives the same trades; prints on a tape
fill by the queue rule; lockstep holds; bad blocks are refused."""

import importlib
import os
import struct
import subprocess
import sys
import threading
import time
from decimal import ROUND_FLOOR, Decimal
from fractions import Fraction

import pytest
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from peer import run_planned
from tavrolix_sandbox import broker
from tavrolix_sandbox import fills as F
from tavrolix_sandbox import history as H
from tavrolix_sandbox import results as R

HERE = os.path.dirname(os.path.abspath(__file__))
T0 = 1772445600  # 2026-03-02T10:00:00Z
CASH = 10000


@pytest.fixture(autouse=True)
def quiet_world():
    sbx.use_broker()
    broker.reset(running=False, liquidity=False, activity=False)
    yield
    broker.reset(running=False)


def login(user="inv001"):
    return tv.login(user, user + "-secret", "", "", False)


def place(ctx, side, volume, price=0.0, kind="LIMIT", symbol="ARVO", account="E-1001"):
    r = tv.place_investor_equity_order(
        ctx, account, symbol, price, volume, side, "000000", kind, "DAY", "", "", False, 0, True
    )
    assert r["success"], r
    return r["data"]["order_no"]


def mine(ctx, symbol, account="E-1001"):
    return [
        (t["side"], t["px"], t["qty"])
        for t in tv.get_investor_equity_trades(ctx, account)["data"]
        if t["symbol"] == symbol
    ]


# ------------------------------------------------------------ bars: the crossover three ways
@pytest.fixture(scope="module")
def example():
    sys.path.insert(0, os.path.join(HERE, "..", "examples"))
    try:
        return importlib.import_module("backtest")
    finally:
        sys.path.pop(0)


def test_crossover_through_the_module_equals_the_reference_and_the_peer(example):
    bt = pytest.importorskip("backtesting", reason="the peer is in the test extra")
    from backtesting.test import GOOG

    bars = H.bars(GOOG, symbol="GOOG", tick=0.01)
    _strategy, trades = example.run_replay(bars, "GOOG", "1d", CASH)
    got = [(t["trade_date"], t["side"], t["px"], t["qty"]) for t in trades]
    assert len(got) == 93  # as docs/history.md says

    # The reference rules, with the same decisions: sized by the cash at the close, a 5% limit.
    plan = {}

    def reference(ctx):
        d = (
            sum(Fraction(repr(c)) for c in ctx.closes[-10:]) / 10
            - sum(Fraction(repr(c)) for c in ctx.closes[-20:]) / 20
        )
        prev, reference.prev = reference.prev, (d if len(ctx.closes) >= 20 else None)
        if prev is None or d is None or ctx.orders:
            return
        if prev < 0 < d and not ctx.position:
            limit = (F.money(ctx.bar["close"]) * Decimal("1.05") / F.CENT).to_integral_value(ROUND_FLOOR) * F.CENT
            n = int((ctx.cash / (limit * F.HOLD_FACTOR)).to_integral_value(ROUND_FLOOR))
            plan[ctx.i] = (n, float(limit))
            ctx.buy(n, float(limit))
        elif prev > 0 > d and ctx.position:
            plan[ctx.i] = None
            ctx.sell(ctx.position)

    reference.prev = None
    ref = F.run_bars(bars, reference, cash=CASH)
    assert got == [(t["trade_date"], t["side"], t["px"], t["qty"]) for t in ref.trades]
    assert [t["brokerage_fee"] + t["trading_fee"] + t["clearing_fee"] for t in trades] == [
        t["brokerage_fee"] + t["trading_fee"] + t["clearing_fee"] for t in ref.trades
    ]
    mine_s = R.statistics(trades, bars, CASH)
    assert Decimal(repr(mine_s["final_equity"])) == ref.cash + ref.position * F.money(GOOG.Close.iloc[-1])

    # The peer, told the same orders.
    peer = run_planned(bt, GOOG, plan, CASH)
    theirs = []
    for t in peer._trades.itertuples():
        theirs += [
            (t.EntryTime.strftime("%Y-%m-%d"), "BUY", round(t.EntryPrice, 2), t.Size),
            (t.ExitTime.strftime("%Y-%m-%d"), "SELL", round(t.ExitPrice, 2), t.Size),
        ]
    assert got[: len(theirs)] == theirs and len(got) - len(theirs) in (0, 1)
    assert mine_s["final_equity"] == round(peer["Equity Final [$]"], 2)


# ------------------------------------------------------------ trades: the queue rule, lockstep
def tape(quote_volume=300):
    q = H.quotes(
        [{"time": T0, "bid": 45.0, "bid_volume": quote_volume, "ask": 45.25, "ask_volume": 200}],
        symbol="ARVO",
        tick=H.EQUITY_TICKS,
    )
    t = H.trades(
        [
            (T0 + 1, 45.25, 100, 1),
            (T0 + 2, 45.0, 250, -1),
            (T0 + 3, 45.0, 100, 0),
            (T0 + 4, 44.75, 50, -1),
            (T0 + 5, 45.5, 400, 1),
            (T0 + 6, 45.25, 10, 0),
        ],
        symbol="ARVO",
        tick=H.EQUITY_TICKS,
    )
    return q + t


def test_prints_fill_resting_orders_by_the_queue_rule_and_market_orders_at_the_next_print():
    h = tape()
    broker.replay(h)
    broker.replay_step(1)  # the quote: 300 bid at 45.00, 200 offered at 45.25
    ctx = login()
    orders = [("BUY", 45.0, 400), ("BUY", 44.75, 100), ("SELL", 45.25, 100), ("SELL", 45.5, 300)]
    for side, px, qty in orders:
        place(ctx, side, qty, px)
    place(ctx, "BUY", 100, kind="MARKET")
    broker.replay_step(10)
    # The reference: each order against the prints, queued behind the quote at its price.
    want = [("BUY", 45.25, 100)]
    for side, px, qty in orders:
        ahead = 300 if (side, px) == ("BUY", 45.0) else 200 if (side, px) == ("SELL", 45.25) else 0
        q = F.QueuedOrder(side, px, qty, ahead)
        for row in h.series[1]:
            n = q.on_trade(row["price"], row["volume"], row["side"])
            if n:
                want.append((side, px, n))
    assert sorted(mine(ctx, "ARVO")) == sorted(want)
    assert ("BUY", 45.0, 50) in want and ("BUY", 45.0, 350) in want  # the queue, then a print through
    state = broker.replay_state()
    assert (state["done"], state["left"], state["next"]) == (7, 0, None)


def test_lockstep_a_callable_orders_at_the_event_time_and_runs_repeat_exactly():
    def one_run():
        broker.reset(running=False, liquidity=False, activity=False, seed=5)
        broker.replay(tape())
        ctx = login()
        seen = []

        def on_info(payload):
            if '"last":null' in payload:
                return  # the picture a newcomer gets first
            seen.append(payload)
            if len(seen) == 2:  # on the second print: buy at market, filled by the third
                place(ctx, "BUY", 100, kind="MARKET")

        key = tv.subscribe_price_info(ctx, "ARVO", on_info)
        main = threading.get_ident()
        while broker.replay_step(1):
            pass
        tv.unsubscribe(ctx["channel_id"], key)
        trades = tv.get_investor_equity_trades(ctx, "E-1001")["data"]
        orders = tv.get_investor_equity_orders(ctx, "E-1001")["data"]
        return (
            seen,
            [(t["px"], t["qty"], t["trade_time"]) for t in trades if t["symbol"] == "ARVO"],
            [o.get("entry_time") for o in orders],
            main,
        )

    seen, trades, entries, _ = one_run()
    assert len(seen) == 6 and all('"symbol":"ARVO"' in s for s in seen)
    assert trades == [(45.0, 100, "10:00:03")]  # placed at the second print's time, filled at the third
    assert one_run()[:3] == (seen, trades, entries)


def test_a_callable_may_step_the_replay_itself_and_the_process_exits_cleanly_mid_run():
    broker.replay(tape())
    ctx = login()
    order = []

    def on_info(payload):
        order.append(broker.replay_state()["done"])
        if len(order) == 2:
            assert broker.replay_step(1) == 1  # nested: the same thread goes on

    key = tv.subscribe_price_info(ctx, "ARVO", on_info)
    while broker.replay_step(1):
        pass
    tv.unsubscribe(ctx["channel_id"], key)
    assert order[1:] == [2, 3, 4, 5, 6, 7] and broker.replay_state()["left"] == 0
    # Interpreter exit while the library's replay thread delivers to a busy callable.
    script = (
        "import time, tavrolix_open_api as tv, tavrolix_sandbox as sbx\n"
        "from tavrolix_sandbox import broker, history as H\n"
        "sbx.use_broker(); broker.reset(running=False, liquidity=False, activity=False)\n"
        "broker.replay(H.trades([(%d + i, 45.0 + (i %% 4) * 0.25, 100, 0) for i in range(100000)],\n"
        "                       symbol='ARVO', tick=H.EQUITY_TICKS))\n"
        "ctx = tv.login('inv001', 'inv001-secret', '', '', False)\n"
        "tv.subscribe_price_info(ctx, 'ARVO', lambda p: time.sleep(0.001))\n"
        "broker.replay_run(0); time.sleep(0.2); print('exiting')\n" % T0
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout, run.stderr) == (0, "exiting\n", "")


def test_free_running_replay_stops_and_reset_interrupts_it():
    rows = [(T0 + i, 45.0 + (i % 4) * 0.25, 10, 0) for i in range(2000)]
    broker.replay(H.trades(rows, symbol="ARVO", tick=H.EQUITY_TICKS))
    broker.replay_run(speed=200)  # the whole tape in ten seconds
    deadline = time.time() + 10  # some progress, however loaded the machine
    while broker.replay_state()["done"] == 0 and time.time() < deadline:
        time.sleep(0.001)
    broker.replay_stop()
    done = broker.replay_state()["done"]
    assert 0 < done < 2000 and not broker.replay_state()["running"]
    broker.replay_run(0)
    deadline = time.time() + 10
    while broker.replay_state()["running"] and time.time() < deadline:
        time.sleep(0.01)
    assert broker.replay_state()["left"] == 0
    broker.replay(H.trades(rows, symbol="ARVO", tick=H.EQUITY_TICKS))
    broker.replay_run(1)  # slow: a reset must not wait for it
    # ThreadSanitizer cannot start threads in a child of a threaded process.
    if hasattr(os, "fork") and os.environ.get("TVX_SANITIZER") != "tsan":
        # A child forked mid-run has no runner: it can step, stop and run again itself.
        pid = os.fork()
        if pid == 0:
            ok = False
            try:
                ok = not broker.replay_state()["running"] and broker.replay_step(3) == 3
                broker.replay_stop()
                broker.replay_run(0)
                deadline = time.time() + 10
                while broker.replay_state()["running"] and time.time() < deadline:
                    time.sleep(0.01)
                ok = ok and broker.replay_state()["left"] == 0
            finally:
                os._exit(0 if ok else 1)
        _, status = os.waitpid(pid, 0)
        assert status == 0
        assert broker.replay_state()["running"]
    broker.reset(running=False)
    assert not broker.replay_state()["loaded"]


# ------------------------------------------------------------ market data
def candles(ctx, symbol, interval):
    d = tv.get_candlesticks(ctx, symbol, interval, 100, False, "", "")["data"]
    return list(zip(d["time"], d["open"], d["high"], d["low"], d["close"], d["volume"]))


def tape_of(symbol):
    return [(t["price"], t["qty"], t["time"]) for t in broker.state()["tape"] if t["symbol"] == symbol]


def test_bars_print_as_the_tape_and_candles_show_the_history():
    rows = [("2026-03-02", 10.0, 10.5, 9.8, 10.2, 1000), ("2026-03-03", 10.2, 10.3, 9.5, 9.6, 3)]
    broker.replay(H.bars(rows, symbol="XBAR", tick=0.01))
    assert broker.replay_step(2) == 2
    day = 86400 * (T0 // 86400)
    assert candles(login(), "XBAR", "1d") == [
        (day, 10.0, 10.5, 9.8, 10.2, 1000),
        (day + 86400, 10.2, 10.3, 9.5, 9.6, 3),
    ]
    # open, the nearer extreme, the other, close; the volume in quarters, the rest with the close
    assert tape_of("XBAR") == [
        (10.0, 250, day),
        (9.8, 250, day),
        (10.5, 250, day),
        (10.2, 250, day),
        (10.2, 0, day + 86400),
        (10.3, 0, day + 86400),
        (9.5, 0, day + 86400),
        (9.6, 3, day + 86400),
    ]


# ------------------------------------------------------------ refusals
def test_bad_blocks_and_open_orders_are_refused_and_the_block_is_copied():
    good = bytearray(H.trades([(T0, 45.0, 100, 0), (T0 + 1, 45.25, 100, 0)], symbol="ARVO", tick=H.EQUITY_TICKS).pack())

    def patched(offset, fmt, value):
        b = bytearray(good)
        struct.pack_into(fmt, b, offset, value)
        return bytes(b)

    cases = [
        (b"nothing", "magic"),
        (patched(8, "<I", 2), "layout 2"),
        (patched(16, "<Q", len(good) + 8), "wrong size"),
        (patched(24, "<B", 9), "no known kind"),
        (patched(24 + 48, "<Q", 10**9), "outside the block"),
        (patched(24 + 8, "<4s", b"NOPE"), "unknown symbol"),
        (patched(24 + 64 + 16, "<d", 45.01), "off the tick grid"),
        (patched(24 + 64 + 8, "<q", T0 - 5), "time goes back"),
        (patched(24 + 64 + 32, "<q", -1), "volume"),
    ]
    for blob, message in cases:
        with pytest.raises(ValueError, match=message):
            broker.replay(blob)
        assert not broker.replay_state()["loaded"]
    ctx = login()
    no = place(ctx, "BUY", 100, 40.0)
    with pytest.raises(ValueError, match="still open"):
        broker.replay(bytes(good))
    assert tv.cancel_investor_equity_order(ctx, "E-1001", no, "000000")["success"]
    broker.replay(good)
    good[24 + 64 + 16 : 24 + 64 + 24] = struct.pack("<d", 99.0)  # the caller's bytes change afterwards
    broker.replay_step(5)
    assert tape_of("ARVO") == [(45.0, 100, T0), (45.25, 100, T0 + 1)]
    # Without quotes in the history the book shown is a tick either side of the last print.
    pictures = []
    key = tv.subscribe_price_info(ctx, "ARVO", pictures.append)
    assert broker.drain() and '"best_bid":45,"best_ask":45.5}' in pictures[0]
    tv.unsubscribe(ctx["channel_id"], key)


def test_a_fill_against_history_books_money_and_margin_as_a_live_fill_does():
    def order(ctx, user_account, side, volume):
        r = tv.place_investor_derivatives_order(
            ctx, user_account, "T50H26", 1000.0, volume, side, "OPEN", "000000", "LIMIT", "DAY", "", "", 0.0, True
        )
        assert r["success"], r

    def books(ctx):
        info = tv.get_investor_derivatives_account_info(ctx, "D-1001")["data"]
        ports = tv.get_investor_derivatives_portfolios(ctx, "D-1001")["data"]
        return info, [p for p in ports if p["symbol"] == "T50H26"]

    # live: another customer sells into the bid
    ctx = login()
    before = books(ctx)
    order(ctx, "D-1001", "LONG", 2)
    order(login("inv002"), "D-2001", "SHORT", 2)
    live = books(ctx)
    assert live[1][0]["actual_long_position"] == before[1][0]["actual_long_position"] + 2
    assert live[0] != before[0]  # margin and money moved
    # replayed: a seller's print at the bid fills it
    broker.reset(running=False, liquidity=False, activity=False)
    broker.replay(H.trades([(T0, 1000.0, 5, 0), (T0 + 1, 1000.0, 5, -1)], symbol="T50H26", tick=0.1))
    broker.replay_step(1)
    ctx = login()
    order(ctx, "D-1001", "LONG", 2)
    broker.replay_step(1)
    assert books(ctx) == live


@pytest.mark.skipif(
    bool(os.environ.get("TVX_SANITIZER")) or sys.platform == "win32",
    reason="a sanitizer reserves more address space than any limit leaves",
)
def test_running_out_of_memory_while_loading_is_an_error_not_an_abort():
    script = (
        "import resource, sys, tavrolix_sandbox as sbx\n"
        "from tavrolix_sandbox import broker, history as H\n"
        "sbx.use_broker(); broker.reset(running=False, liquidity=False, activity=False)\n"
        "blob = H.trades([(%d + i, 45.0, 100, 0) for i in range(400000)], symbol='ARVO', tick=0.25).pack()\n"
        "used = sum(int(l.split()[1]) for l in open('/proc/self/status') if l.startswith('VmSize')) * 1024\n"
        "resource.setrlimit(resource.RLIMIT_AS, (used + (4 << 20), resource.RLIM_INFINITY))\n"
        "try:\n"
        "    broker.replay(blob)\n"
        "except ValueError as e:\n"
        "    print(e)\n"
        "resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))\n"
        "broker.replay(blob); print(broker.replay_step(3))\n" % T0
    )
    # One malloc arena: the arena a finished thread (a reset world's clock) leaves has address space
    # reserved beyond the limit, where the copy would otherwise fit.
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="131072", MALLOC_ARENA_MAX="1")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, env=env)
    assert (run.returncode, run.stdout, run.stderr) == (0, "out of memory while loading the history\n3\n", "")
