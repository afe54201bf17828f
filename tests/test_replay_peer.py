"""The replay's bar fill rules and fees against an independent backtester,
the `backtesting` package (AGPL-3.0, pinned in the test extra, used as
installed, nothing copied) on its daily GOOG sample: the 10/20 crossover, long
only, all-in at the next open, out at the next open. The sandbox's equity
fees are the peer's commission function; asked about a fraction of a share
(the peer sizing an all-in order) it answers the buying-power hold (0.16%),
so both size by cash / (price x 1.0016)."""

import importlib
import os
import sys
import warnings
from decimal import Decimal
from fractions import Fraction

import pytest
from tavrolix_sandbox import fills as F
from tavrolix_sandbox import history as H
from tavrolix_sandbox import results as R

bt = pytest.importorskip("backtesting", reason="the peer is in the test extra")
from backtesting.test import GOOG  # noqa: E402 -- only once the skip above has found the package

CASH = 10000


def crossings(closes, fast, slow):
    """+1 golden cross, -1 death cross, in exact arithmetic (both sides use it,
    so a tie between two floating-point averages cannot split them)."""
    exact = [Fraction(repr(float(c))) for c in closes]
    out, prev = [0] * len(exact), None
    for i in range(slow - 1, len(exact)):
        d = sum(exact[i - fast + 1 : i + 1]) / fast - sum(exact[i - slow + 1 : i + 1]) / slow
        if prev is not None:
            out[i] = 1 if prev < 0 < d else -1 if prev > 0 > d else 0
        prev = d
    return out


def commission(size, price):
    if abs(size) < 1:  # the peer sizing a relative order: the buying-power hold
        return abs(size) * price * float(F.HOLD_FACTOR - 1)
    return float(sum(F.equity_fees(F.money(price) * abs(int(size))).values()))


@pytest.fixture(scope="module")
def both():
    signal = crossings(GOOG.Close, 10, 20)

    class Cross(bt.Strategy):
        def init(self):
            pass

        def next(self):
            s = signal[len(self.data) - 1]
            if s > 0 and not self.position:
                self.buy(size=1 - 1e-12)
            elif s < 0 and self.position:
                self.position.close()

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        peer = bt.Backtest(GOOG, Cross, cash=CASH, commission=commission).run()

    def strategy(ctx):
        if signal[ctx.i] > 0 and not ctx.position:
            ctx.buy()
        elif signal[ctx.i] < 0 and ctx.position:
            ctx.sell()

    bars = H.bars(GOOG, symbol="GOOG", tick=0.01)
    return peer, bars, F.run_bars(bars, strategy, cash=CASH)


def test_same_trades_and_money_as_the_peer(both):
    peer, bars, ours = both
    assert bt.__version__ == "0.6.6"  # the pinned version these figures were checked with
    day = lambda ts: ts.strftime("%Y-%m-%d")
    theirs = []
    for t in peer._trades.itertuples():
        theirs += [
            (day(t.EntryTime), "BUY", round(t.EntryPrice, 2), t.Size),
            (day(t.ExitTime), "SELL", round(t.ExitPrice, 2), t.Size),
        ]
    mine = [(t["trade_date"], t["side"], t["px"], t["qty"]) for t in ours.trades]
    assert len(theirs) >= 80
    # the peer lists closed trades; ours ends with a position still open
    assert mine[: len(theirs)] == theirs and len(mine) == len(theirs) + 1 and ours.position > 0
    trips = R.round_trips(ours.trades)
    assert [t["pnl"] for t in trips] == [round(x, 2) for x in peer._trades.PnL]
    fees = [sum(Decimal(repr(t[k])) for k in ("brokerage_fee", "trading_fee", "clearing_fee")) for t in ours.trades]
    assert [fees[2 * i] + fees[2 * i + 1] for i in range(len(trips))] == [
        Decimal(repr(round(c, 2))) for c in peer._trades.Commission
    ]

    s = R.statistics(ours.trades, bars, CASH)
    assert s["final_equity"] == round(peer["Equity Final [$]"], 2)
    assert Decimal(repr(s["final_equity"])) == ours.cash + ours.position * F.money(GOOG.Close.iloc[-1])
    assert s["total_return"] * 100 == pytest.approx(peer["Return [%]"], abs=1e-9)
    assert -s["max_drawdown"] * 100 == pytest.approx(peer["Max. Drawdown [%]"], abs=1e-9)
    assert (s["round_trips"], s["win_rate"] * 100) == (peer["# Trades"], pytest.approx(peer["Win Rate [%]"]))
    curve = [e for _, e in R.equity_curve(ours.trades, bars, CASH)]
    assert curve == [round(x, 2) for x in peer._equity_curve.Equity]
    # the peer's exposure counts closed trades only
    closed = R.statistics(ours.trades[: len(theirs)], bars, CASH)
    assert closed["exposure"] * 100 == pytest.approx(peer["Exposure Time [%]"], abs=1e-9)


@pytest.mark.usefixtures("broker_world")
def test_sweep_example_runs_backtests_in_processes_alike(monkeypatch):
    # Workers are spawned (a world's threads must not be forked): they import
    # the example by name, from the path this process has; each replays
    # through a world of its own.
    monkeypatch.syspath_prepend(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
    monkeypatch.delitem(sys.modules, "sweep", raising=False)
    sweep = importlib.import_module("sweep")
    result = sweep.sweep()  # Backtest.optimize over a process pool
    assert len(result.rows) == 23 and result.best_params == {"fast": 10, "slow": 20}
    assert result.best["Equity Final [$]"] == 60420.02  # the crossover of the README
    assert result.table.loc[(10, 20), "Equity Final [$]"] == 60420.02
