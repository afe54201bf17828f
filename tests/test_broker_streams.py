"""The broker's streams as a user meets them, and the library's side of the
faults found by attacking it: every trade and book change delivered in order
(or conflated on request), the first event of a newcomer, who may end a
stream, texts that are not UTF-8, results kept while a collector re-enters the
same call, fork with the clock and streams running, and control input."""

import gc
import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest
import tavrolix_open_api as tv
from broker_markets import Derivatives, Equity, login, placed
from tavrolix_sandbox import broker

pytestmark = pytest.mark.usefixtures("broker_world")


class Inbox:
    def __init__(self):
        self.items = []

    def __call__(self, payload):
        self.items.append(json.loads(payload))


def settle():
    assert broker.drain(10), "events still undelivered"


def top_bids(symbol):
    return [level["price"] for level in broker.state()["instruments"][symbol]["bids"][:5]]


# ------------------------------------------------------------ every event
@pytest.mark.parametrize("clock", ["step", "running"])
def test_every_trade_and_every_book_change_arrives_in_order(clock):
    broker.reset(seed=5, running=False)
    ctx = login("inv001")
    info, candles, book = Inbox(), Inbox(), Inbox()
    keys = [
        tv.subscribe_price_info(ctx, "BELNO", info),
        tv.subscribe_candlestick(ctx, "BELNO", "1m", candles),
        tv.subscribe_bid_offer(ctx, "BELNO", book),
    ]
    settle()
    firsts, seq0 = (len(info.items), len(book.items)), broker.state()["tape_sequence"]
    assert firsts == (1, 1) and candles.items == []
    if clock == "step":
        for _ in range(30):
            broker.step(1)
        broker.step(60)
    else:
        broker.run(0.002)
        deadline = time.time() + 20
        while len(candles.items) < 40 and time.time() < deadline:
            time.sleep(0.05)
        broker.stop()
    settle()
    tape = [t for t in broker.state()["tape"] if t["symbol"] == "BELNO" and t["sequence"] > seq0]
    assert len(tape) > 10
    infos = info.items[1:]
    assert [(e["sequence"], e["last"]) for e in infos] == [(t["sequence"], t["price"]) for t in tape]
    assert [e["sequence"] for e in candles.items] == [t["sequence"] for t in tape]
    volumes = [e["total_volume"] for e in infos]
    assert [b - a for a, b in zip(volumes, volumes[1:])] == [t["qty"] for t in tape[1:]]
    assert [c["close"] for c in candles.items] == [t["price"] for t in tape]
    times = [e["time"] for e in book.items]
    assert times == sorted(times)
    # A trade takes liquidity: each order that trades changes the book (one
    # that sweeps several levels is one change), so every tick with a trade has one.
    assert len(book.items) - 1 >= len({t["time"] for t in tape})
    assert book.items[-1]["bid_price"] == top_bids("BELNO")
    for key in keys:
        tv.unsubscribe(ctx["channel_id"], key)


def test_conflating_streams_deliver_one_picture_per_tick():
    broker.reset(seed=5, running=False, conflate=True)
    ctx = login("inv001")
    info = Inbox()
    key = tv.subscribe_price_info(ctx, "BELNO", info)
    settle()
    seq0 = broker.state()["tape_sequence"]
    for _ in range(300):  # participants take one price at a time: a tick trades twice now and then
        broker.step(1)
    settle()
    tape = [t for t in broker.state()["tape"] if t["symbol"] == "BELNO" and t["sequence"] > seq0]
    ticks_with_trades = len({t["time"] for t in tape})
    assert len(tape) > ticks_with_trades  # some tick traded more than once
    assert len(info.items) - 1 == ticks_with_trades
    assert info.items[-1]["sequence"] == tape[-1]["sequence"]
    tv.unsubscribe(ctx["channel_id"], key)


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("first", [None, "raises"])
def test_a_newcomer_gets_the_current_picture_whatever_the_module_cached(first):
    broker.reset(seed=2, running=False)
    ctx = login("inv001")

    def raising(payload):
        raise ValueError("refused by the callable")

    keys = [tv.subscribe_bid_offer(ctx, "ARVO", raising if first else None)]
    broker.step(5)
    settle()
    later = Inbox()
    keys.append(tv.subscribe_bid_offer(ctx, "arvo", later))  # symbols match without regard to case
    settle()
    assert [e["symbol"] for e in later.items] == ["ARVO"]
    assert later.items[0]["bid_price"] == top_bids("ARVO")
    for key in keys:
        tv.unsubscribe(ctx["channel_id"], key)


def test_only_the_subscriber_ends_a_stream():
    broker.reset(seed=2, running=False)
    owner, other, rep = login("inv001"), login("inv002"), login("mkt001")
    got = Inbox()
    key = tv.subscribe_price_info(owner, "ARVO", got)
    for ctx in (other, rep):
        with pytest.raises(RuntimeError, match="belongs to another user"):
            tv.unsubscribe(ctx["channel_id"], key)
    with pytest.raises(RuntimeError, match="another user"):
        tv.unsubscribe("no-such-channel", key)
    assert tv.is_subscribe(key)
    broker.step(300)
    settle()
    assert len(got.items) > 1
    tv.unsubscribe(login("inv001")["channel_id"], key)  # another login of the same user may
    assert not tv.is_subscribe(key)


# ------------------------------------------------------------ texts
def test_refusals_echo_non_utf8_arguments_as_valid_text():
    broker.reset(seed=2, running=False)
    ctx = login("inv001")
    bad = b"E-\xff\xc3("
    for env in (
        tv.get_investor_equity_account_info(ctx, bad),
        tv.get_investor_equity_orders(ctx, bad),
        tv.get_investor_derivatives_portfolios(ctx, bad),
        tv.get_candlesticks(ctx, b"ARVO\xfe", "1m", 10, False, "", ""),
    ):
        assert not env["success"] and env["status_code"] in (400, 404)
        assert "\\xff" in env["message"] or "\\xfe" in env["message"]
    with pytest.raises(RuntimeError, match=r"unknown symbol: AR\\x80VO"):
        tv.subscribe_price_info(ctx, b"AR\x80VO", print)


# ------------------------------------------------------------ re-entry
def test_a_collector_reentering_the_same_call_leaves_the_outer_result_intact():
    broker.reset(seed=4, running=False, liquidity=False, activity=False)
    a, b = login("inv001"), login("inv002")
    for k in range(40):
        placed(Equity.place(a, "E-1001", "BUY", 40.0 + k * 0.25, 100, symbol="ARVO"))
        placed(Equity.place(b, "E-2001", "SELL", 3.60 + k * 0.02, 100, bypass=True))
    expected_a = tv.get_investor_equity_orders(a, "E-1001")
    expected_b = tv.get_investor_equity_orders(b, "E-2001")
    nested = []

    class Cycle:
        def __init__(self):
            self.me = self

        def __del__(self):
            if len(nested) < 30:
                nested.append(tv.get_investor_equity_orders(b, "E-2001"))
                Cycle()  # garbage again, for the next collection

    old = gc.get_threshold()
    gc.collect()
    try:
        gc.set_threshold(1)
        outer = []
        for _ in range(5):
            Cycle()
            outer.append(tv.get_investor_equity_orders(a, "E-1001"))
    finally:
        gc.set_threshold(*old)
        gc.collect()
    assert len(nested) >= 10, "the collector never re-entered the call"
    assert all(r == expected_a for r in outer)
    assert all(r == expected_b for r in nested)


# ------------------------------------------------------------ fork
@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_fork_with_the_clock_and_streams_running_never_hangs_the_child():
    broker.reset(seed=6, running=True, interval=0.001)
    ctx = login("inv001")
    keys = [tv.subscribe_bid_offer(ctx, s, lambda p: None) for s in ("ARVO", "BELNO", "T50H26")]
    keys.append(tv.subscribe_equity_order(ctx, "E-1001", lambda p: None))
    hung, failed = 0, 0
    # A sanitized process forks slowly; fewer forks still cover the locks.
    for _ in range(50 if os.environ.get("TVX_SANITIZER") else 200):
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                # The child: world as it stood, clock stopped, no streams; the broker works.
                state = broker.state()
                env = tv.get_investor_equity_account_info(ctx, "E-1001")
                broker.step(2)
                code = 0 if env["success"] and not state["running"] and state["subscriptions"] == 0 else 2
            finally:
                os._exit(code)
        deadline = time.time() + 10
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                failed += (
                    os.waitstatus_to_exitcode(status) != 0 if hasattr(os, "waitstatus_to_exitcode") else status != 0
                )
                break
            if time.time() > deadline:
                hung += 1
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                break
            time.sleep(0.001)
    broker.stop()
    assert (hung, failed) == (0, 0)
    for key in keys:
        tv.unsubscribe(ctx["channel_id"], key)


# ------------------------------------------------------------ control
@pytest.mark.parametrize(
    "action, message",
    [
        (lambda: broker.set_price("ARVO", float("nan")), "finite number above zero"),
        (lambda: broker.set_price("ARVO", float("inf")), "finite number above zero"),
        (lambda: broker.set_price("ARVO", -1), "finite number above zero"),
        (lambda: broker.set_price("ARVO", 1000.0), "outside today's limits"),
        (lambda: broker.step(-1), "0 or more"),
        (lambda: broker.step(1.5), "whole number"),
        (lambda: broker.run(0), "above zero"),
        (lambda: broker.reset(start="2026-02-30"), "that exists"),
    ],
)
def test_bad_control_input_raises_a_clear_value_error(action, message):
    broker.reset(seed=2, running=False)
    fair = broker.state()["instruments"]["ARVO"]["fair"]
    with pytest.raises(ValueError, match=message):
        action()
    assert broker.state()["instruments"]["ARVO"]["fair"] == fair
    env = tv.get_candlesticks(login("inv001"), "ARVO", "1m", 5, False, "2026-02-30", "")
    assert (env["success"], env["status_code"]) == (False, 400)


def test_simulation_switched_off_for_one_instrument():
    broker.reset(seed=2, running=False)
    broker.seed(simulate={"ARVO": False})
    seq = broker.state()["tape_sequence"]
    broker.step(300)
    state = broker.state()
    assert state["instruments"]["ARVO"]["bids"] == state["instruments"]["ARVO"]["asks"] == []
    symbols = {t["symbol"] for t in state["tape"] if t["sequence"] > seq}
    assert "ARVO" not in symbols and "BELNO" in symbols
    a, b = login("inv001"), login("inv002")
    placed(Equity.place(a, "E-1001", "SELL", 45.25, 100, symbol="ARVO"))
    placed(Equity.place(b, "E-2001", "BUY", 45.25, 100, symbol="ARVO"))  # customers still trade in it
    assert broker.state()["tape"][-1]["symbol"] == "ARVO"
    broker.seed(simulate={"ARVO": True})
    assert broker.state()["instruments"]["ARVO"]["bids"]


def test_texts_match_without_regard_to_case_and_names_are_neutral():
    broker.reset(seed=2, running=False, history_minutes=10)
    a = login("inv001")
    eq = placed(Equity.place(a, "E-1001", "buy", 40.0, 100, symbol="arvo", price_type="limit", validity="day"))
    assert Equity.order(a, "E-1001", eq.lower())["data"]["symbol"] == "ARVO"
    record = Equity.order(a, "E-1001", eq)["data"]
    assert record["set_order_no"].startswith("EX")
    dv = placed(Derivatives.place(a, "D-1001", "long", 0.0, 1, price_type="market", validity="ioc", symbol="t50h26"))
    assert Derivatives.order(a, "D-1001", dv)["data"]["tfx_order_no"].startswith("DX")
    stop = placed(
        Derivatives.place(
            a, "D-1001", "LONG", 1050.0, 1, trigger=("last_paid_or_higher", "t50m26", 1100.0), bypass=True
        )
    )
    assert Derivatives.order(a, "D-1001", stop)["data"]["trigger_symbol"] == "T50M26"
    upper = tv.get_candlesticks(a, "ARVO", "1M", 5, False, "", "")
    assert upper["success"] and upper["data"] == tv.get_candlesticks(a, "arvo", "1m", 5, False, "", "")["data"]
    positions = tv.get_investor_derivatives_portfolios(a, "D-1001")["data"]
    assert {p["currency"] for p in positions} == {"XTS"}
    assert Equity.cancel(a, "E-1001", eq.lower())["success"]


# ------------------------------------------------------------ misuse
def test_control_calls_from_inside_a_stream_callable_work():
    script = textwrap.dedent("""
        import json, threading
        import tavrolix_open_api as tv
        import tavrolix_sandbox as sbx
        from tavrolix_sandbox import broker

        done = threading.Event()
        results = []

        def stopping(payload):
            if not done.is_set():
                results.append(isinstance(sbx.stream_stop(), dict))
                sbx.reset()
                done.set()

        sbx.use_scripted()
        sbx.queue(45, sbx.Layout(24).u8(0, 1).u64(8, 1))
        ctx = {"channel_id": "c", "configuration": {"enable_queue": False, "daemon_type": "STAND_ALONE",
               "max_torelation": 0, "rate_limit": 0}}
        tv.subscribe_derivatives_order(ctx, "D-1", stopping)
        sbx.stream_start(1, 100)
        assert done.wait(10)
        sbx.stream_start(1, 100)
        print(sbx.stream_stop() is not None, results)

        sbx.use_broker()
        broker.reset(seed=1, running=False)
        ctx = tv.login("inv001", "inv001-secret", "", "", False)
        seen = threading.Event()
        def resetting(payload):
            broker.reset(seed=2, running=False)
            broker.drain(1)
            seen.set()
        tv.subscribe_bid_offer(ctx, "ARVO", resetting)
        assert seen.wait(10)
        print("broker", broker.state()["seed"])
    """)
    run = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=60, env=dict(os.environ)
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["True", "[True]", "broker", "2"]


# ------------------------------------------------------------ trading days
def test_a_scheduled_session_closes_expiring_day_orders_and_opens_a_fresh_day():
    broker.reset(seed=3, running=False, start="2026-03-06T09:00:00", session={"open": "02:00", "close": "09:30"})
    ctx = login("inv001")
    got = Inbox()
    key = tv.subscribe_equity_order(ctx, "E-1001", got)
    resting = placed(Equity.place(ctx, "E-1001", "BUY", 40.0, 100, symbol="ARVO"))
    placed(Equity.place(ctx, "E-1001", "BUY", 0.0, 100, symbol="ARVO", price_type="MARKET", validity="IOC"))
    broker.step(1799)
    assert broker.state()["session_open"]
    last = broker.state()["instruments"]["ARVO"]["last"]
    broker.step(1)  # Friday 09:30: the close
    settle()
    assert Equity.order(ctx, "E-1001", resting)["data"]["status"] == "EXPIRED"
    assert (got.items[-1]["event"], got.items[-1]["order_no"]) == ("EXPIRE", resting)
    env = Equity.place(ctx, "E-1001", "BUY", 40.0, 100, symbol="ARVO")
    assert (env["success"], env["status_code"], env["message"].split(":")[0]) == (False, 409, "MARKET_CLOSED")
    assert broker.state()["instruments"]["ARVO"]["bids"] == []
    broker.step(2 * 86400 + 16 * 3600)  # Monday 01:30: still closed over the weekend
    assert not broker.state()["session_open"]
    broker.step(1800)  # Monday 02:00
    state = broker.state()
    assert state["session_open"] and state["instruments"]["ARVO"]["reference"] == last
    assert Equity.orders(ctx, "E-1001")["data"] == []
    assert Equity.order(ctx, "E-1001", resting)["success"]
    assert len(Equity.trades(ctx, "E-1001")["data"]) >= 1
    placed(Equity.place(ctx, "E-1001", "BUY", 40.0, 100, symbol="ARVO", bypass=True))
    assert len(Equity.orders(ctx, "E-1001")["data"]) == 1
    tv.unsubscribe(ctx["channel_id"], key)
    with pytest.raises(ValueError, match="session days"):
        broker.reset(session={"open": "02:00", "close": "09:30", "days": ["Mon", "Funday"]})
