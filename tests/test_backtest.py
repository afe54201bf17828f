"""The backtest runner: costs, the strategy's helpers from order updates,
several symbols from bars and a tape, Ctrl-C, refusals, and the same class
live."""

import os
import subprocess
import sys
import threading
from decimal import Decimal
from typing import Any, ClassVar, Dict

import pytest
import tavrolix
import tavrolix_sandbox as sbx
from tavrolix_sandbox import broker
from tavrolix_sandbox import history as H
from tavrolix_sandbox.backtest import Backtest, Strategy, per_share, percent, run_live

HERE = os.path.dirname(os.path.abspath(__file__))
DAY = 86400
T0 = 1772409600  # 2026-03-02T00:00:00Z


@pytest.fixture(autouse=True)
def world(broker_world):
    yield


def daily(symbol="XYZ", n=30, start=100.0, step=1.0):
    rows = []
    for i in range(n):
        o = start + step * i
        rows.append((T0 + i * DAY, o, o + 2, o - 2, o + 0.5, 1000 + i))
    return H.bars(rows, symbol=symbol, tick=0.01)


class Script(Strategy):
    """Does what ``plan`` says at bar i: a list of (method, kwargs)."""

    plan: ClassVar[Dict[Any, Any]] = {}  # given per run (Backtest(..., plan=...))

    def init(self):
        self.seen = []
        self.entries = []
        self.filled = []

    def on_bar(self, bar):
        self.seen.append((bar.symbol, bar.time, bar.open, bar.high, bar.low, bar.close, bar.volume))
        self.entries.append((self.position(bar.symbol), self.entry_price(bar.symbol)))
        for action in self.plan.get((bar.symbol, len(self.data[bar.symbol]) - 1), ()):
            if action == "raise":
                raise KeyboardInterrupt
            if action == "boom":
                raise ZeroDivisionError("the strategy's own fault")
            name, kw = action
            getattr(self, name)(bar.symbol, **kw)

    def on_fill(self, fill):
        self.filled.append(fill)


def test_costs_fee_models_and_slippage_apply_exactly_and_are_part_of_the_result():
    plan = {("XYZ", 1): [("buy", {"volume": 10})], ("XYZ", 5): [("sell", {"volume": 10})]}
    base = Backtest(daily(), Script, cash=10000, plan=plan, progress=False).run()
    # market orders fill at the next open: bar 2 opens at 102, bar 6 at 106; the broker's fees
    assert [(f.Side, f.Price, f.Volume) for f in base.fills.itertuples()] == [("BUY", 102.0, 10), ("SELL", 106.0, 10)]
    broker_fee = lambda v: float(
        sum(round(Decimal(v) * r, 2) for r in (Decimal("0.0015"), Decimal("0.00005"), Decimal("0.00001")))
    )
    assert base.fills.Fee.tolist() == [broker_fee(1020), broker_fee(1060)]
    assert base.settings["fees"] == "broker" and base.settings["slippage_ticks"] == 0

    r = Backtest(
        daily(),
        Script,
        cash=10000,
        plan=plan,
        fees=per_share(0.01, minimum=1.0),
        slippage=2,
        instruments=[{"symbol": "XYZ", "tick": 0.05, "lot": 1}],
        progress=False,
    ).run()
    assert [(f.Price, f.Fee) for f in r.fills.itertuples()] == [(102.1, 1.0), (105.9, 1.0)]
    assert r.trades.PnL.tolist() == [round(10 * (105.9 - 102.1) - 2.0, 2)]
    assert r["Equity Final [$]"] == round(10000 + 10 * (105.9 - 102.1) - 2.0, 2)
    assert r.settings["fees"] == {"kind": "per_share", "per_share": 0.01, "minimum": 1.0}
    assert r.settings["slippage_ticks"] == 2

    r = Backtest(daily(), Script, cash=10000, plan=plan, fees=percent(0.25), progress=False).run()
    assert r.fills.Fee.tolist() == [2.55, 2.65]  # 0.25% of 1,020 and 1,060, to the cent
    r = Backtest(daily(), Script, cash=10000, plan=plan, fees=lambda value, volume: 0.333, progress=False).run()
    assert r.fills.Fee.tolist() == [0.33, 0.33]

    with pytest.raises(TypeError, match="ambiguous"):
        Backtest(daily(), Script, fees=0.001)
    for bad in (-1, 1.5, True):
        with pytest.raises(ValueError, match="slippage"):
            Backtest(daily(), Script, slippage=bad)
    with pytest.raises(ValueError, match="fee function"):
        Backtest(daily(), Script, plan=plan, fees=lambda v, q: -1, progress=False).run()


def test_the_fee_schedule_and_hold_factor_are_the_librarys_and_the_hold_is_what_a_buy_sets_aside():
    from tavrolix_open_api import login, place_investor_equity_order
    from tavrolix_sandbox import fills
    from tavrolix_sandbox.backtest._world import fee_schedule

    schedule = fee_schedule()
    assert schedule == {"equity": broker.fees(), "hold": broker.hold_factor()}
    assert set(schedule["equity"]) == {"brokerage_fee", "trading_fee", "clearing_fee"}
    assert fills.HOLD_FACTOR == schedule["hold"] > 1
    with broker.World(default_world=False) as w:
        assert fee_schedule(w) == schedule
    # The library sets aside exactly value x hold: 200 ARVO at 45.00 needs that
    # to the cent, and a cent less is refused.
    need = Decimal("45.00") * 200 * schedule["hold"]
    assert need == need.quantize(Decimal("0.01"))
    broker.reset(running=False, liquidity=False, activity=False)
    cash = {"E-7101": need, "E-7102": need - Decimal("0.01")}
    broker.seed(
        equity_accounts=[
            {"account_no": a, "owner": "inv001", "cash": float(c), "credit_limit": 0} for a, c in cash.items()
        ]
    )
    ctx = login("inv001", "inv001-secret", "", "", False)
    args = ("ARVO", 45.0, 200, "BUY", "000000", "LIMIT", "DAY", "", "", False, 0, False)
    assert place_investor_equity_order(ctx, "E-7101", *args)["success"]
    refused = place_investor_equity_order(ctx, "E-7102", *args)
    assert not refused["success"] and refused["message"].startswith("INSUFFICIENT_FUNDS"), refused


def test_position_entry_price_and_sizing_come_from_order_updates_and_respect_lots(monkeypatch):
    calls = []
    real = tavrolix.client.InvestorEquityAccount.trades

    def counting(self):
        calls.append(1)
        return real(self)

    monkeypatch.setattr(tavrolix.client.InvestorEquityAccount, "trades", counting)
    plan = {
        ("XYZ", 1): [("buy", {"volume": 200})],  # fills at 102
        ("XYZ", 3): [("buy", {"volume": 100})],  # fills at 104
        ("XYZ", 6): [("sell", {"volume": 100})],  # fills at 107: the entry price stays
        ("XYZ", 9): [("close", {})],
    }
    r = Backtest(
        daily(), Script, cash=100000, plan=plan, instruments=[{"symbol": "XYZ", "lot": 100}], progress=False
    ).run()
    s = r.strategy
    assert calls == [1]  # once, for the result: the helpers never scan the account's trades
    assert s.entries[2] == (200, 102.0)
    assert s.entries[4] == (300, pytest.approx((200 * 102 + 100 * 104) / 300))
    assert s.entries[7] == (200, pytest.approx((200 * 102 + 100 * 104) / 300))
    assert s.entries[10] == (0, None)
    assert [(f.side, f.price, f.volume) for f in s.filled] == [
        ("BUY", 102.0, 200),
        ("BUY", 104.0, 100),
        ("SELL", 107.0, 100),
        ("SELL", 110.0, 200),
    ]
    assert r.positions == {"XYZ": 0} and len(r.trades) == 1 and not r.trades.Open.any()
    assert r.orders.Status.tolist() == ["MATCHED"] * 4

    class Sizing(Strategy):
        def on_bar(self, bar):
            if len(self.data[bar.symbol]) == 1:
                self.got = (
                    self.size(units=250),
                    self.size(cash=25_000),
                    self.size(fraction=0.5),
                    self.size(fraction=1.0),
                    self.size(cash=10**9),
                )
                with pytest.raises(ValueError, match="lots"):
                    self.buy(volume=150)
                with pytest.raises(ValueError, match="exactly one"):
                    self.size(units=1, cash=1)

    r = Backtest(daily(), Sizing, cash=100000, instruments=[{"symbol": "XYZ", "lot": 100}], progress=False).run()
    # last close 100.5; what a buy holds back: 1.0016 of its value
    each = 100.5 * 1.0016 * 100
    assert r.strategy.got == (
        200,
        int(25_000 // each) * 100,
        int(50_000 // each) * 100,
        int(100_000 // each) * 100,
        int(100_000 // each) * 100,
    )


def test_several_symbols_from_bars_and_a_tape_in_time_order():
    bars = daily("AAA", n=5)
    t = T0 + 3 * 3600
    prints = [(t + 10 * i, 50.0 + 0.25 * (i % 4), 10 + i, 0) for i in range(60)]  # 10 minutes of prints
    tape = H.trades(prints, symbol="BBB", tick=0.25)
    quotes = H.quotes([(t, 49.75, 50.5, 100, 100)], symbol="BBB", tick=0.25)
    plan = {("BBB", 2): [("buy", {"volume": 5})]}
    r = Backtest(bars + tape + quotes, Script, cash=10000, interval="1m", plan=plan, progress=False).run()
    seen = r.strategy.seen
    assert [s[1] for s in seen] == sorted(s[1] for s in seen)  # time order across symbols
    bbb = [s for s in seen if s[0] == "BBB"]
    assert len(bbb) == 10 and len([s for s in seen if s[0] == "AAA"]) == 5
    first = prints[:6]
    assert bbb[0] == ("BBB", t, 50.0, 50.75, 50.0, 50.25, sum(p[2] for p in first))
    # bar 2 closes at t + 179 s; the market buy fills at the next print (t + 180 s)
    assert [(f.Price, f.Volume, f.Time.value // 10**9) for f in r.fills.itertuples()] == [(prints[18][1], 5, t + 180)]
    assert r.settings["symbols"] == ["AAA", "BBB"] and r.settings["interval"] == 60
    with pytest.raises(ValueError, match="interval"):
        Backtest(tape, Script)
    with pytest.raises(ValueError, match="quotes only"):
        Backtest(quotes, Script, interval=60)


def test_ctrl_c_stops_with_the_partial_result_and_any_end_frees_the_world():
    plan = {("XYZ", 2): [("buy", {"volume": 10})], ("XYZ", 12): ["raise"]}
    r = Backtest(daily(), Script, cash=10000, plan=plan, progress=False).run()
    assert r.settings["interrupted"] is True
    assert len(r.equity) == 13 and r["End"] == T0 + 12 * DAY
    assert r.positions == {"XYZ": 10} and r["Equity Final [$]"] == pytest.approx(
        10000 + 10 * (112.5 - 103) - float(r.fills.Fee.sum())
    )
    with pytest.raises(ZeroDivisionError):
        Backtest(daily(), Script, plan={("XYZ", 3): ["boom"]}, progress=False).run()
    # the world is free again, and fresh: another backtest starts with its own cash
    again = Backtest(daily(), Script, cash=5000, progress=False).run()
    assert again["Equity Final [$]"] == 5000 and not again.settings["interrupted"]

    # two threads take turns; a backtest inside a backtest is refused
    class Nested(Strategy):
        def on_bar(self, bar):
            Backtest(daily(), Script, progress=False).run()

    with pytest.raises(RuntimeError, match="same thread"):
        Backtest(daily(), Nested, progress=False).run()
    out = []
    threads = [
        threading.Thread(
            target=lambda: out.append(Backtest(daily(), Script, cash=7000, progress=False).run()["Equity Final [$]"])
        )
        for _ in range(3)
    ]
    for th in threads:
        th.start()
    for th in threads:
        th.join(60)
    assert out == [7000, 7000, 7000]


def test_refusals_say_what_is_wrong():
    with pytest.raises(TypeError, match="no parameter 'fsat'"):
        Backtest(daily(), Script, fsat=3)
    for cash in (0, -5, float("nan"), float("inf"), "100"):
        with pytest.raises(ValueError, match="cash"):
            Backtest(daily(), Script, cash=cash)
    with pytest.raises(ValueError, match="account"):
        Backtest(daily(), Script, account="margin")
    with pytest.raises(TypeError, match="subclass"):
        Backtest(daily(), object)
    # the example reports a bad amount plainly, without a traceback
    p = subprocess.run(
        [sys.executable, os.path.join(HERE, "..", "examples", "backtest.py"), "--cash", "0"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert p.returncode == 1 and "Traceback" not in p.stderr and "--cash must be above zero" in p.stderr


def test_progress_bar_only_on_a_terminal(capsys):
    pytest.importorskip("tqdm")
    Backtest(daily(n=400), Script, cash=10000).run()  # stderr is not a terminal here
    assert capsys.readouterr().err == ""
    Backtest(daily(n=400), Script, cash=10000, progress=True).run()
    assert "bar" in capsys.readouterr().err


def test_the_same_class_runs_live_on_the_running_market():
    sbx.use_broker()
    broker.reset(running=False)
    broker.seed(equity_accounts=[{"account_no": "E-7002", "owner": "inv001", "cash": 1_000_000, "credit_limit": 0}])

    class Live(Strategy):
        def init(self):
            self.seen = 0

        def on_bar(self, bar):
            self.seen += 1
            if self.seen == 1:
                self.buy(volume=100)
            elif self.seen == 3 and self.position():
                self.close()

    with tavrolix.connect("inv001", "inv001-secret", pin="000000") as client:
        broker.run(0.002)
        try:
            s = run_live(Live, client.equity("E-7002"), ["ARVO"], bars=5, seconds=60, lots={"ARVO": 100}, hold=1.0016)
        finally:
            broker.stop()
        trades = client.equity("E-7002").trades()
    assert s.seen == 5 and len(s.data["ARVO"]) == 5
    assert [o.status for o in s.orders.values()] == ["MATCHED", "MATCHED"]
    assert s.position() == 0 and [(t["side"], t["qty"]) for t in trades] == [("BUY", 100), ("SELL", 100)]
    assert [f.price for f in s.filled] if hasattr(s, "filled") else True


def test_money_stays_exact_for_fx_prices_and_a_coin_at_90000():
    # 5 decimals: a fill's value has sub-cent digits, which must not be rounded away
    fx = [
        (T0 + i * DAY, p, round(p + 0.0004, 5), round(p - 0.0004, 5), p, 10)
        for i, p in enumerate((1.08123, 1.08457, 1.08911, 1.09333, 1.08765, 1.08111))
    ]
    plan = {("EURX", 0): [("buy", {"volume": 123_457})], ("EURX", 3): [("sell", {"volume": 123_457})]}
    r = Backtest(
        H.bars(fx, symbol="EURX", tick=0.00001),
        Script,
        cash=1_000_000,
        plan=plan,
        fees=percent(0.01),
        instruments=[{"symbol": "EURX", "tick": 0.00001, "lot": 1}],
        progress=False,
    ).run()
    buy, sell = Decimal("1.08457"), Decimal("1.08765")
    fee = lambda p: (p * 123_457 * Decimal("0.0001")).quantize(Decimal("0.01"))
    pnl = (sell - buy) * 123_457 - fee(buy) - fee(sell)
    assert r.trades.PnL.tolist() == [float(pnl.quantize(Decimal("0.01")))]
    assert r.final_equity == 1_000_000 + pnl and r["Equity Final [$]"] == float(
        (1_000_000 + pnl).quantize(Decimal("0.01"))
    )
    # held over bars 1..4: the equity there is the cash plus the position at the close, to the cent
    cash_after_buy = 1_000_000 - buy * 123_457 - fee(buy)
    assert r.equity.Equity.iloc[2] == float((cash_after_buy + Decimal("1.08911") * 123_457).quantize(Decimal("0.01")))

    coin = [
        (T0 + i * DAY, p, p + 500.0, p - 500.0, p, 3) for i, p in enumerate((90_000.5, 91_234.25, 89_999.75, 92_000.0))
    ]
    plan = {("BTCX", 0): [("buy", {"volume": 3})], ("BTCX", 2): [("close", {})]}
    r = Backtest(
        H.bars(coin, symbol="BTCX", tick=0.25),
        Script,
        cash=500_000,
        plan=plan,
        instruments=[{"symbol": "BTCX", "tick": 0.25, "lot": 1}],
        progress=False,
    ).run()
    gross = (Decimal("92000.0") - Decimal("91234.25")) * 3
    assert r.trades.PnL.tolist() == [float(gross - sum(Decimal(repr(f)) for f in r.fills.Fee))]
    assert r.trades.EntryPrice.tolist() == [91234.25] and r.trades.ExitPrice.tolist() == [92000.0]


def test_live_bars_grow_and_views_handed_out_stay_valid():
    from tavrolix_sandbox.backtest import Bar, Bars

    b = Bars("XYZ")
    early = None
    for i in range(300):
        b._append(Bar("XYZ", T0 + 60 * i, 1.0 + i, 2.0 + i, 0.5 + i, 1.5 + i, i))
        if i == 10:
            early = b.close  # a view taken before the columns grow
    assert len(b) == 300 and b.close[-1] == 300.5 and list(b.volume[:3]) == [0, 1, 2]
    assert list(b.window("high", 3, skip=1)) == [298.0, 299.0, 300.0] and list(b.window("high", 5, skip=299)) == [2.0]
    assert list(early) == [1.5 + i for i in range(11)]


CTRL_C = r"""
import signal
import sys
import time
import tavrolix_sandbox as sbx
from tavrolix_sandbox import history as H
from tavrolix_sandbox.backtest import Backtest, Strategy

class Slow(Strategy):
    def on_bar(self, bar):
        if len(self.data[bar.symbol]) == 1000:
            running = signal.getsignal(signal.SIGINT)  # the run's own handler
            print("started", flush=True)
            while signal.getsignal(signal.SIGINT) is running:  # until the Ctrl-C has come, however late
                time.sleep(0.001)

sbx.use_broker()
rows = [(1600000000 + 60 * i, 50.0, 50.5, 49.5, 50.0, 1) for i in range(5_000)]
r = Backtest(H.bars(rows, symbol="XYZ", tick=0.01), Slow, cash=1000, progress=False).run()
print("interrupted", r.settings["interrupted"], len(r.equity), flush=True)
"""


def test_a_real_ctrl_c_returns_the_partial_result():
    import signal

    p = subprocess.Popen([sys.executable, "-c", CTRL_C], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert p.stdout.readline().strip() == "started"  # blocks until the run is under way
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=120)
    finally:
        p.kill()
    assert p.returncode == 0, err
    word, flag, n = out.split()
    assert (word, flag) == ("interrupted", "True") and 1000 <= int(n) < 5_000, out


def test_a_backtest_leaves_the_default_world_alone():
    broker.reset(running=False)
    broker.seed(equity_accounts=[{"account_no": "E-7777", "owner": "inv001", "cash": 1234, "credit_limit": 0}])
    Backtest(daily(), Script, cash=1000, progress=False).run()
    state = broker.state()
    assert "E-7777" in state["equity_accounts"] and "ARVO" in state["instruments"]
    assert "XYZ" not in state["instruments"]  # replayed in the backtest's own world


LIGHT = """
import sys
import tavrolix_sandbox as sbx
from tavrolix_sandbox import history as H
from tavrolix_sandbox.backtest import Backtest, Strategy

class Hold(Strategy):
    def on_bar(self, bar):
        if not self.position():
            self.buy(volume=1)

sbx.use_broker()
rows = [(1600000000 + 86400 * i, 50.0, 52.5, 49.5, 50.0 + i % 3, 10) for i in range(300)]
r = Backtest(H.bars(rows, symbol="XYZ", tick=0.01), Hold, cash=1000, progress=False).run()
heavy = sorted({m.split(".")[0] for m in sys.modules} & {"pandas", "bokeh", "dask", "distributed", "matplotlib"})
print(len(r.equity), heavy)
print(type(r.stats).__module__.split(".")[0], type(r.trades).__name__)
"""


def test_a_run_imports_no_table_or_plotting_library_until_asked():
    # pandas alone is half a second and tens of MB that a run without tables does not need
    pytest.importorskip("pandas")
    p = subprocess.run([sys.executable, "-c", LIGHT], capture_output=True, text=True, timeout=120)
    assert p.returncode == 0, p.stderr
    run, asked = p.stdout.splitlines()
    assert run == "300 []", p.stdout
    assert asked == "pandas DataFrame"  # the tables still come as pandas' when it is there
