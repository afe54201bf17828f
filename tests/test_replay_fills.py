"""The replay's reference fill rules, its bar backtester and the results:
worked examples of docs/history.md, an independent queue model, fees to the cent,
and the equity curve agreeing with the round trips."""

import statistics as pystats
import sys
from decimal import Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from tavrolix_sandbox import fills as F
from tavrolix_sandbox import history as H
from tavrolix_sandbox import results as R

DAY = 86400
T0 = 1772409600  # 2026-03-02


@pytest.mark.parametrize(
    "side, limit, bar, want",
    [
        # docs/history.md's example: a buy limit at 45.00 ...
        ("BUY", 45.0, (45.5, 46.0, 44.75), 45.0),  # ... reached inside the bar: at its price
        ("BUY", 45.0, (44.5, 45.25, 44.25), 44.5),  # ... gapped through at the open: at the open
        ("BUY", 45.0, (45.0, 45.5, 45.0), 45.0),  # ... opening exactly at it
        ("BUY", 45.0, (45.5, 46.0, 45.25), None),  # ... never reached
        ("SELL", 46.0, (45.5, 46.0, 44.75), 46.0),
        ("SELL", 46.0, (46.5, 47.0, 46.25), 46.5),
        ("SELL", 46.0, (45.5, 45.75, 44.75), None),
        ("BUY", None, (45.5, 46.0, 44.75), 45.5),  # market orders: the open, either side
        ("SELL", None, (45.5, 46.0, 44.75), 45.5),
    ],
)
def test_bar_fill_rule(side, limit, bar, want):
    assert F.bar_fill_price(side, limit, *bar) == want
    with pytest.raises(ValueError):
        F.bar_fill_price("LONG", 45.0, *bar)


def test_queue_rule_worked_example():
    # docs/history.md's example: buy 300 at 45.00 behind 500 already queued there.
    o = F.QueuedOrder("BUY", 45.0, 300, ahead=500)
    tape = [(45.25, 200, 0, 0), (45.0, 300, -1, 0), (45.0, 400, 1, 0), (45.0, 350, 0, 150), (44.75, 10, -1, 150)]
    for price, volume, aggressor, want in tape:
        assert o.on_trade(price, volume, aggressor) == want
    assert (o.remaining, o.ahead, o.on_trade(44.0, 1)) == (0, 0, 0)
    with pytest.raises(ValueError):
        F.QueuedOrder("SELL", 45.0, 5, -1)


def _brute_queue(side, price, volume, ahead, tape):
    """The queue at the order's price spelled out unit by unit: others first."""
    queue = ["x"] * ahead + ["me"] * volume
    got = []
    for p, v, aggressor in tape:
        through = p < price if side == "BUY" else p > price
        hits = p == price and aggressor != (1 if side == "BUY" else -1)
        take = len(queue) if through else (v if hits else 0)
        taken, queue = queue[:take], queue[take:]
        got.append(taken.count("me"))
    return got


@settings(max_examples=200, deadline=None)
@given(
    st.sampled_from(["BUY", "SELL"]),
    st.integers(1, 50),
    st.integers(0, 80),
    st.lists(
        st.tuples(st.sampled_from([44.75, 45.0, 45.0, 45.25]), st.integers(1, 40), st.sampled_from([-1, 0, 1])),
        max_size=25,
    ),
)
def test_queue_rule_matches_a_unit_queue(side, volume, ahead, tape):
    o = F.QueuedOrder(side, 45.0, volume, ahead)
    got = [o.on_trade(*t) for t in tape]
    assert got == _brute_queue(side, 45.0, volume, ahead, tape)
    assert sum(got) + o.remaining == volume


def _cents_fee(value_cents, rate_per_million):
    """Half up to the cent, in integers (independent of the Decimal code)."""
    return (value_cents * rate_per_million + 500000) // 1000000


@settings(max_examples=200, deadline=None)
@given(st.integers(1, 10**9))
def test_equity_fees_round_half_up_to_the_cent(value_cents):
    fees = F.equity_fees(Decimal(value_cents) / 100)
    assert fees == {
        "brokerage_fee": Decimal(_cents_fee(value_cents, 1500)) / 100,
        "trading_fee": Decimal(_cents_fee(value_cents, 50)) / 100,
        "clearing_fee": Decimal(_cents_fee(value_cents, 10)) / 100,
    }
    # the ties the float code got wrong: 0.15% of 5,550 and of 15,210
    assert F.equity_fees(Decimal(5550))["brokerage_fee"] == Decimal("8.33")
    assert F.equity_fees(F.money(15210.0))["brokerage_fee"] == Decimal("22.82")


def _bars(rows):
    return H.bars([(T0 + DAY * i,) + r for i, r in enumerate(rows)], symbol="ARVO", tick=H.EQUITY_TICKS)


def test_bar_backtester_orders_sizes_and_refusals():
    bars = _bars(
        [
            (45.0, 45.5, 44.5, 45.0, 1),
            (45.5, 46.0, 44.0, 45.75, 1),
            (44.0, 45.0, 43.5, 44.5, 1),
            (46.0, 47.0, 45.5, 46.5, 1),
            (46.5, 46.5, 45.0, 45.5, 1),
        ]
    )
    plan = {
        0: [("buy", None, 43.0), ("buy", 100, None), ("sell", 500, None)],  # sale beyond the position: dropped
        1: [("cancel", 1, None)],  # the 43.00 limit, not reached yet: cancelled
        2: [("buy", None, None), ("sell", 100, 46.0)],  # all-in at bar 3's open; the sale fills at 46.0
        4: [("buy", 100, None)],  # never filled: no bar after it
    }
    ids = []

    def strategy(ctx):
        for what, volume, price in plan.get(ctx.i, []):
            if what == "cancel":
                assert ctx.cancel(ids[volume - 1]) and not ctx.cancel(ids[volume - 1])
            else:
                ids.append(getattr(ctx, what)(volume, price))

    run = F.run_bars(bars, strategy, cash=50000, lot=100)
    trades = [(t["trade_date"], t["side"], t["px"], t["qty"]) for t in run.trades]
    cash_after_first = Decimal(50000) - Decimal("4550") - sum(F.equity_fees(Decimal("4550")).values())
    all_in = int(cash_after_first / (Decimal(46) * F.HOLD_FACTOR) / 100) * 100
    assert trades == [
        ("2026-03-03", "BUY", 45.5, 100),
        ("2026-03-05", "BUY", 46.0, all_in),
        ("2026-03-05", "SELL", 46.0, 100),
    ]
    assert Decimal(46) * (all_in + 100) * F.HOLD_FACTOR > cash_after_first >= Decimal(46) * all_in * F.HOLD_FACTOR
    assert run.dropped == [3] and [o for o in ids if o in run.dropped] == [3]
    assert run.position == all_in and len(run.resting) == 1
    fees = sum(t["brokerage_fee"] + t["trading_fee"] + t["clearing_fee"] for t in run.trades)
    assert run.cash == Decimal(50000) - Decimal(4550) - 46 * all_in + 4600 - Decimal(repr(round(fees, 2)))
    with pytest.raises(ValueError, match="multiple of the lot"):
        F.run_bars(bars, lambda ctx: ctx.buy(150), lot=100)


def test_tape_backtester_queues_behind_the_quote_and_fills_market_orders_at_the_next_print():
    # quotes first: at one second, the earlier series' rows come first
    tape = H.quotes([(T0, 45.0, 45.25, 500, 400), (T0 + 2, 45.0, 45.25, 9, 9)], symbol="ARVO") + H.trades(
        [
            (T0, 45.25, 100, "B"),
            (T0 + 1, 45.0, 300, "S"),
            (T0 + 2, 45.0, 350, ""),
            (T0 + 3, 44.75, 10, "S"),
            (T0 + 4, 45.5, 1, "B"),
        ],
        symbol="ARVO",
        tick=H.EQUITY_TICKS,
    )
    plan = {0: [("buy", 300, 45.0), ("buy", 100, None), ("buy", None, 44.5)], 3: [("sell", 400, None)]}

    def strategy(ctx):
        for what, volume, price in plan.get(ctx.i, []):
            getattr(ctx, what)(volume, price)

    run = F.run_trades(tape, strategy, cash=100000)
    # the buy at 45.00 waits behind the 500 quoted there: 300 sold into the queue, then 350 (150 ours), then
    # a print through 45.00 takes the rest; the market buy takes the next print's price, the sale too
    assert [(t["trade_time"], t["side"], t["px"], t["qty"], t["order_no"]) for t in run.trades] == [
        ("00:00:01", "BUY", 45.0, 100, 2),
        ("00:00:02", "BUY", 45.0, 150, 1),
        ("00:00:03", "BUY", 45.0, 150, 1),
        ("00:00:04", "SELL", 45.5, 400, 4),
    ]
    all_in = int(Decimal(100000) / (Decimal("44.5") * F.HOLD_FACTOR))
    assert [(o.id, o.volume) for o in run.resting] == [(3, all_in)] and run.position == 0
    fees = sum(sum(F.equity_fees(Decimal(repr(t["px"])) * t["qty"]).values()) for t in run.trades)
    assert run.cash == Decimal(100000) + 400 * Decimal("0.5") - fees


# ---------------------------------------------------------------- results

CLOSES = [100.0, 110.0, 90.0, 120.0, 120.0]
PRICES = [(T0 + DAY * i, p) for i, p in enumerate(CLOSES)]


def _as_module_dicts(fs):
    return [
        {
            "px": p,
            "qty": q,
            "side": s,
            "symbol": "ARVO",
            "trade_date": "2026-03-0%d" % (2 + d),
            "trade_time": "10:00:00",
            "brokerage_fee": fee,
            "trading_fee": 0.0,
            "clearing_fee": 0.0,
        }
        for d, s, p, q, fee in fs
    ]


def test_statistics_of_a_hand_worked_run_in_every_trade_form():
    fs = [(0, "BUY", 100.0, 10, 1.0), (3, "SELL", 120.0, 10, 1.2)]
    forms = [
        _as_module_dicts(fs),
        [{"time": T0 + DAY * d + 36000, "side": s, "price": p, "volume": q, "fee": f} for d, s, p, q, f in fs],
        [(T0 + DAY * d + 36000, s, p, q, f) for d, s, p, q, f in fs],
    ]
    curve = [9999.0, 10099.0, 9899.0, 10197.8, 10197.8]
    rets = [b / a - 1 for a, b in zip(curve, curve[1:])]
    for trades in forms:
        assert [e for _, e in R.equity_curve(trades, PRICES, 10000)] == curve
        s = R.statistics(trades, PRICES, 10000, periods_per_year=252)
        assert s["final_equity"] == 10197.8 and s["total_return"] == pytest.approx(0.01978)
        assert s["max_drawdown"] == pytest.approx(200 / 10099) and s["max_drawdown_value"] == 200.0
        assert s["sharpe"] == pytest.approx(pystats.mean(rets) / pystats.stdev(rets) * 252**0.5)
        assert (s["win_rate"], s["exposure"], s["trades"], s["round_trips"]) == (1.0, 0.8, 2, 1)
        assert R.round_trips(trades) == [
            {
                "symbol": "ARVO" if "px" in trades[0] else "",
                "side": 1,
                "entry_time": T0 + 36000,
                "exit_time": T0 + 3 * DAY + 36000,
                "volume": 10,
                "pnl": 197.8,
            }
        ]
    nothing = R.statistics([], PRICES, 10000)
    assert (nothing["sharpe"], nothing["win_rate"], nothing["exposure"], nothing["max_drawdown"]) == (None, None, 0, 0)


def test_round_trips_split_turnovers_and_several_symbols():
    trades = [(T0, "BUY", 10.0, 10, 1.0), (T0 + 1, "SELL", 12.0, 15, 3.0), (T0 + 2, "BUY", 11.0, 5, 0.5)]
    trips = R.round_trips(trades)
    assert [(t["side"], t["volume"], t["pnl"]) for t in trips] == [(1, 10, 20 - 1.0 - 2.0), (-1, 5, 5 - 1.0 - 0.5)]
    two = [
        {"time": T0, "symbol": "A", "side": "LONG", "price": 1000.0, "volume": 1, "multiplier": 200},
        {"time": T0, "symbol": "B", "side": "BUY", "price": 10.0, "volume": 100},
        {"time": T0 + 1, "symbol": "A", "side": "SHORT", "price": 1001.5, "volume": 1, "multiplier": 200},
    ]
    prices = {"A": [(T0, 1000.5), (T0 + 1, 1001.5)], "B": [(T0, 10.5), (T0 + 1, 9.0)]}
    assert R.equity_curve(two, prices, 0) == [(T0, 100.0 + 50.0), (T0 + 1, 300.0 - 100.0)]
    with pytest.raises(ValueError, match="a mapping"):
        R.equity_curve(two, prices["A"], 0)
    with pytest.raises(ValueError, match="before its first price"):
        R.equity_curve(two, {"A": prices["A"], "B": prices["B"][1:]}, 0)
    with pytest.raises(ValueError, match="not a positive number"):
        R.equity_curve([], [(T0, 1.0), (T0 + 1, float("nan"))], 0)
    with pytest.raises(ValueError, match="trade 2: side"):
        R.fills([(T0, "BUY", 1.0, 1), (T0, "HOLD", 1.0, 1)])


@settings(max_examples=80, deadline=None)
@given(
    st.lists(st.integers(100, 200), min_size=2, max_size=30),
    st.lists(st.tuples(st.integers(0, 29), st.integers(-30, 30), st.integers(0, 500)), max_size=12),
)
def test_equity_curve_agrees_with_round_trips(path, raw):
    prices = [(T0 + 60 * i, p / 4) for i, p in enumerate(path)]
    trades = [
        (
            T0 + 60 * min(i, len(path) - 1) + 1,
            "BUY" if q > 0 else "SELL",
            prices[min(i, len(path) - 1)][1],
            abs(q),
            fee / 100,
        )
        for i, q, fee in sorted(raw)
        if q
    ]
    s = R.statistics(trades, prices, 1000)
    pos = sum(q if side == "BUY" else -q for _, side, _, q, _ in trades)
    fees = sum(Decimal(repr(t[4])) for t in trades)
    closed = sum(Decimal(repr(t["pnl"])) for t in R.round_trips(trades))
    # what the curve says = what the round trips realized + the open position's value change
    cash = 1000 + sum((-1 if t[1] == "BUY" else 1) * Decimal(repr(t[2])) * t[3] for t in trades) - fees
    assert Decimal(repr(s["final_equity"])) == cash + pos * Decimal(repr(prices[-1][1]))
    if pos == 0:
        assert Decimal(repr(s["final_equity"])) == 1000 + closed
    # a fall of more than the whole peak needs the curve to go below zero (a short squeezed)
    lowest = min(v for _, v in R.equity_curve(trades, prices, 1000))
    assert s["max_drawdown"] >= 0 and (s["max_drawdown"] <= 1 or lowest < 0) and 0 <= s["exposure"] <= 1
    assert s["exposure"] == 0 if not trades else s["exposure"] > 0


@pytest.mark.usefixtures("broker_world")
def test_results_take_the_module_trade_dictionaries_as_they_are():
    import tavrolix_open_api as tv
    from broker_markets import Equity, login, placed, quiet_market

    quiet_market()
    seller, buyer = login("inv001"), login("inv003")
    placed(Equity.place(seller, "E-1001", "SELL", 45.25, 500, symbol="ARVO"))
    placed(Equity.place(buyer, "E-3001", "BUY", 45.25, 300, symbol="ARVO"))
    placed(Equity.place(buyer, "E-3001", "BUY", 45.5, 200, symbol="ARVO"))  # at the resting 45.25
    placed(Equity.place(seller, "E-1001", "BUY", 45.0, 100, symbol="ARVO"))
    placed(Equity.place(buyer, "E-3001", "SELL", 45.0, 100, symbol="ARVO"))
    trades = tv.get_investor_equity_trades(buyer, "E-3001")["data"]
    cash = tv.get_investor_equity_account_info(buyer, "E-3001")["data"]["cash_balance"]
    assert sorted((t["side"], t["px"], t["qty"]) for t in trades) == [
        ("BUY", 45.25, 200),
        ("BUY", 45.25, 300),
        ("SELL", 45.0, 100),
    ]
    ((_, equity),) = R.equity_curve(trades, [(0, 45.0)], 400000)
    assert equity == round(cash + 400 * 45.0, 2)
    assert R.statistics(trades, [(0, 45.0)], 400000)["trades"] == 3


def test_plot_writes_a_png_or_says_what_is_missing(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    trades = [(PRICES[0][0], "BUY", 100.0, 10, 1.0), (PRICES[3][0], "SELL", 120.0, 10, 1.2)]
    out = R.plot(trades, PRICES, 10000, str(tmp_path / "run.png"), title="ARVO")
    with open(out, "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(ImportError, match="needs matplotlib"):
        R.plot(trades, PRICES, 10000, str(tmp_path / "again.png"))
