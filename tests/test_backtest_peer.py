"""The backtest runner against the `backtesting` peer (0.6.6, used as
installed) on its daily GOOG sample: the README's crossover through the
runner, the peer told the same orders; the fills, every round trip, the
equity of every bar and the statistics agree, except where docs/backtest.md
says the definitions differ."""

import importlib
import math
import os
import sys

import numpy as np
import pytest
from tavrolix_sandbox import history as H

bt = pytest.importorskip("backtesting", reason="the peer is in the test extra")
pd = pytest.importorskip("pandas")
from backtesting.test import GOOG  # noqa: E402
from peer import run_planned  # noqa: E402
from tavrolix_sandbox.backtest import Backtest  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
CASH = 10000
# Where the definitions differ (docs/backtest.md, "Against the peer"): the
# peer counts closed trades only in exposure and commissions.
DIFFERENT = {"Exposure Time [%]", "Commissions [$]"}


@pytest.fixture(scope="module")
def example():
    sys.path.insert(0, os.path.join(HERE, "..", "examples"))
    try:
        sys.modules.pop("backtest", None)
        return importlib.import_module("backtest")
    finally:
        sys.path.pop(0)


@pytest.fixture(scope="module")
def both(example):
    import tavrolix_sandbox as sbx

    sbx.use_broker()
    bars = H.bars(GOOG, symbol="GOOG", tick=0.01)
    ours = Backtest(bars, example.Crossover, cash=CASH, progress=False).run()
    index = {int(t): i for i, t in enumerate(np.frombuffer(bars["GOOG"].columns["time"], dtype="i8"))}
    plan = {}
    for o in ours.strategy.orders.values():
        plan[index[o.placed]] = (o.volume, o.price) if o.side == "BUY" else None

    peer = run_planned(bt, GOOG, plan, CASH)
    return ours, peer


def test_the_readme_crossover_through_the_runner_equals_the_peer_to_the_cent(both):
    ours, peer = both
    assert ours["Equity Final [$]"] == 60420.02 == round(peer["Equity Final [$]"], 2)
    fills = ours.fills
    assert len(fills) == 93
    theirs = peer._trades
    mine = ours.trades
    closed = mine[~mine.Open]
    assert len(closed) == len(theirs) == 46 and mine.Open.sum() == 1  # the last trip still open, as the peer's
    assert list(closed.EntryTime) == list(theirs.EntryTime) and list(closed.ExitTime) == list(theirs.ExitTime)
    assert list(closed.Size) == list(theirs.Size)
    assert list(closed.EntryPrice) == [round(x, 2) for x in theirs.EntryPrice]
    assert list(closed.ExitPrice) == [round(x, 2) for x in theirs.ExitPrice]
    assert list(closed.PnL) == [round(x, 2) for x in theirs.PnL]
    assert list(closed.Commission) == [round(x, 2) for x in theirs.Commission]
    assert list(ours.equity.Equity) == [round(x, 2) for x in peer._equity_curve.Equity]
    # the fills are the account's own: the broker's fees, its dates
    assert fills.Fee.round(2).tolist() == fills.Fee.tolist() and (fills.Fee > 0).all()


def test_statistics_agree_with_the_peers_where_defined_alike(both):
    ours, peer = both
    s = ours.stats
    compared = 0
    for key, theirs in peer.items():
        if key.startswith("_") or key in DIFFERENT:
            continue
        assert key in s.index, key
        mine = s[key]
        if isinstance(theirs, (pd.Timedelta, pd.Timestamp)):
            assert mine == theirs, key
        elif isinstance(theirs, float) and math.isnan(theirs):
            assert math.isnan(mine), key
        else:
            assert mine == pytest.approx(theirs, rel=1e-9, abs=1e-9), key
        compared += 1
    assert compared >= 28
    # The differences are the ones documented: the peer leaves the open trade out.
    n = len(ours.times)
    open_trip = ours.trades[ours.trades.Open].iloc[0]
    open_bars = int((ours.times >= int(open_trip.EntryTime.timestamp())).sum())
    assert s["Exposure Time [%]"] == pytest.approx(peer["Exposure Time [%]"] + 100 * open_bars / n, rel=1e-12)
    assert s["Commissions [$]"] == pytest.approx(peer["Commissions [$]"] + open_trip.Commission, abs=1e-9)


def test_statistics_of_other_shapes_agree_with_the_peer():
    """The peer's statistics of any equity curve and trades (given as its
    own tables) equal ours: minute bars over weekends, losses, no trades."""
    from backtesting._stats import compute_stats
    from tavrolix_sandbox.backtest import stats as S

    rng = np.random.default_rng(5)
    for n, spacing, trades in ((3000, 60, 30), (400, 86400, 0), (900, 3600, 7)):
        times = 1_600_000_000 + spacing * np.arange(n, dtype="i8")
        equity = 10000 * np.exp(np.cumsum(rng.normal(0, 0.01, n)))
        equity[0] = 10000
        closes = 50 * np.exp(np.cumsum(rng.normal(0, 0.01, n)))
        entry = np.sort(rng.choice(n - 10, trades, replace=False)) if trades else np.zeros(0, "i8")
        exit_ = entry + rng.integers(1, 9, len(entry))
        pnl = rng.normal(5, 40, len(entry)).round(2)
        size = rng.integers(1, 50, len(entry))
        eprice = closes[entry]
        ret = pnl / (size * eprice)
        index = pd.to_datetime(times, unit="s")
        ohlc = pd.DataFrame({"Open": closes, "High": closes, "Low": closes, "Close": closes}, index=index)
        tdf = pd.DataFrame(
            {
                "Size": size,
                "EntryBar": entry,
                "ExitBar": exit_,
                "EntryPrice": eprice,
                "ExitPrice": closes[exit_],
                "PnL": pnl,
                "ReturnPct": ret,
                "EntryTime": index[entry],
                "ExitTime": index[exit_],
            }
        )
        tdf["Duration"] = tdf.ExitTime - tdf.EntryTime
        theirs = compute_stats(tdf, equity, ohlc, None)
        exposed = np.zeros(n, bool)
        for a, b in zip(entry, exit_):
            exposed[a : b + 1] = True
        mine = S.compute(
            equity, times, closes, exposed, pnl.astype(float), ret, (times[exit_] - times[entry]).astype(float), 0.0
        )
        for key, value in theirs.items():
            if key.startswith("_") or key == "Commissions [$]":
                continue
            got = mine[key]
            if isinstance(value, (pd.Timedelta, pd.Timestamp)):
                value = value.value / 1e9 if isinstance(value, pd.Timedelta) else value.value // 10**9
            if value is pd.NaT or (isinstance(value, float) and math.isnan(value)):
                assert got != got, (n, key, got)
            else:
                assert got == pytest.approx(value, rel=1e-9, abs=1e-9), (n, key)


def test_the_example_prints_the_readme_figures(example, capsys, tmp_path):
    import tavrolix_sandbox as sbx

    sbx.use_broker()
    example.main(["--html", str(tmp_path / "r.html")])
    out = capsys.readouterr().out
    assert (
        "Equity Final [$]                     60420.02" in out
        and "# Trades                                   46" in out
    )
    assert (tmp_path / "r.html").stat().st_size > 100_000
