"""A parameter sweep of the moving-average crossover of examples/backtest.py
(all in at the next open with a 5% limit, out at the next open, the
sandbox's equity fees) on the daily GOOG sample that the `backtesting`
package ships, one replay per process.

    .venv/bin/python examples/sweep.py [--workers N] [--top K]

The prices are read from that package at run time (it is in the test extra:
``pip install backtesting``) and handed to each worker as the history's
packed block. A sandbox world lives in its process, so each worker replays
the history through a world of its own, trading through the module.
"""

import argparse
import itertools
import multiprocessing
import os
import sys
from concurrent.futures import ProcessPoolExecutor
from typing import Any, Dict, List, Optional, Sequence, Tuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import backtest as example
from tavrolix_sandbox import history, results

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


def backtest(params: Tuple[int, int]) -> Dict[str, Any]:
    """One backtest: plain data in, plain data out (so any process pool or
    cluster engine can run it)."""
    fast, slow = params
    bars = _BARS if _BARS is not None else load_goog()
    _, trades = example.run_replay(bars, "GOOG", "1d", CASH, fast, slow)
    stats = results.statistics(trades, bars["GOOG"], CASH)
    stats.update(fast=fast, slow=slow)
    return stats


def grid() -> List[Tuple[int, int]]:
    return [(f, s) for f, s in itertools.product(range(5, 30, 5), range(20, 70, 10)) if f < s]


def sweep(params: Sequence[Tuple[int, int]], workers: Optional[int] = None) -> List[Dict[str, Any]]:
    # Spawned, not forked: a process holding a sandbox world has native
    # threads, which a fork would copy in whatever state they were. The
    # prices travel once per worker as the history's packed block.
    block = load_goog().pack()
    with ProcessPoolExecutor(
        max_workers=workers, initializer=_init, initargs=(block,), mp_context=multiprocessing.get_context("spawn")
    ) as pool:
        return list(pool.map(backtest, params))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--workers", type=int, default=os.cpu_count())
    ap.add_argument("--top", type=int, default=5)
    args = ap.parse_args()
    rows = sorted(sweep(grid(), args.workers), key=lambda r: r["final_equity"], reverse=True)
    print("fast slow  final equity  return  max dd  sharpe  win rate  exposure  round trips")
    for r in rows[: args.top]:
        print(
            "%4d %4d  %12.2f  %5.0f%%  %5.1f%%  %6.2f  %7.0f%%  %7.0f%%  %11d"
            % (
                r["fast"],
                r["slow"],
                r["final_equity"],
                100 * r["total_return"],
                100 * r["max_drawdown"],
                r["sharpe"] or 0,
                100 * (r["win_rate"] or 0),
                100 * r["exposure"],
                r["round_trips"],
            )
        )
    print("(%d parameter pairs)" % len(rows))


if __name__ == "__main__":
    main()
