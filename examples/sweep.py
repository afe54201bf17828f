"""A parameter sweep of the moving-average crossover (long-only, all-in,
fills at the next bar's open, the sandbox's equity fees) on the daily GOOG
sample that the `backtesting` package ships, one backtest per process.

    .venv/bin/python examples/sweep.py [--workers N] [--top K]

The prices are read from that package at run time (it is in the test extra:
``pip install backtesting``) and handed to each worker as the history's
packed block. Today each backtest runs through the replay's
reference bar fill model (``tavrolix_sandbox.fills``). A sandbox world lives
in its process, so the replay will run the same ``backtest`` function against
a world of its own in each worker; nothing else changes.
"""
import argparse
import itertools
import multiprocessing
import os
import sys
from concurrent.futures import ProcessPoolExecutor
from typing import Any, Dict, List, Optional, Sequence, Tuple

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sandbox", "python"))

from tavrolix_sandbox import fills, history, results  # noqa: E402

CASH = 10000
_BARS: Optional[history.History] = None


def load_goog() -> history.History:
    try:
        from backtesting.test import GOOG  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise SystemExit("this example reads its prices from the backtesting package: pip install backtesting")
    return history.bars(GOOG, symbol="GOOG", tick=0.01)


def _init(block: bytes) -> None:
    global _BARS
    _BARS = history.History.unpack(block)


def crossings(closes: Sequence[float], fast: int, slow: int) -> List[int]:
    """+1 where the fast average crosses above the slow one, -1 below, else 0;
    exact, in whole cents (the prices are on a cent grid)."""
    cents = [round(c * 100) for c in closes]
    out = [0] * len(cents)
    sf = ss = 0
    prev = None
    for i, c in enumerate(cents):
        sf += c - (cents[i - fast] if i >= fast else 0)
        ss += c - (cents[i - slow] if i >= slow else 0)
        if i < slow - 1:
            continue
        diff = sf * slow - ss * fast  # sign of mean(fast) - mean(slow)
        if prev is not None and prev < 0 < diff:
            out[i] = 1
        elif prev is not None and prev > 0 > diff:
            out[i] = -1
        prev = diff
    return out


def backtest(params: Tuple[int, int]) -> Dict[str, Any]:
    """One backtest: plain data in, plain data out (so any process pool or
    cluster engine can run it)."""
    fast, slow = params
    bars = _BARS if _BARS is not None else load_goog()
    series = bars["GOOG"]
    signal = crossings(series.columns["close"], fast, slow)

    def strategy(ctx: fills.Context) -> None:
        if signal[ctx.i] > 0 and not ctx.position:
            ctx.buy()
        elif signal[ctx.i] < 0 and ctx.position:
            ctx.sell()

    run = fills.run_bars(series, strategy, cash=CASH)
    stats = results.statistics(run.trades, series, CASH)
    stats.update(fast=fast, slow=slow)
    return stats


def grid() -> List[Tuple[int, int]]:
    return [(f, s) for f, s in itertools.product(range(5, 30, 5), range(20, 70, 10)) if f < s]


def sweep(params: Sequence[Tuple[int, int]], workers: Optional[int] = None) -> List[Dict[str, Any]]:
    # Spawned, not forked: a process holding a sandbox world has native
    # threads, which a fork would copy in whatever state they were. The
    # prices travel once per worker as the history's packed block.
    block = load_goog().pack()
    with ProcessPoolExecutor(max_workers=workers, initializer=_init, initargs=(block,),
                             mp_context=multiprocessing.get_context("spawn")) as pool:
        return list(pool.map(backtest, params))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--workers", type=int, default=os.cpu_count())
    ap.add_argument("--top", type=int, default=5)
    args = ap.parse_args()
    rows = sorted(sweep(grid(), args.workers), key=lambda r: r["final_equity"], reverse=True)
    print("fast slow  final equity  return  max dd  sharpe  win rate  exposure  round trips")
    for r in rows[:args.top]:
        print("%4d %4d  %12.2f  %5.0f%%  %5.1f%%  %6.2f  %7.0f%%  %7.0f%%  %11d" % (
            r["fast"], r["slow"], r["final_equity"], 100 * r["total_return"], 100 * r["max_drawdown"],
            r["sharpe"] or 0, 100 * (r["win_rate"] or 0), 100 * r["exposure"], r["round_trips"]))
    print("(%d parameter pairs)" % len(rows))


if __name__ == "__main__":
    main()
