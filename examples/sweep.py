"""A parameter sweep of examples/backtest.py's crossover on the daily GOOG
sample of the `backtesting` package, through ``Backtest.optimize``: a process
pool of this machine by default, or a Dask cluster.

    .venv/bin/python examples/sweep.py [--workers N] [--top K] [--heatmap sweep.html]
    .venv/bin/python examples/sweep.py --dask tcp://scheduler:8786

Each run replays the history through a world of its own; the history goes
to each worker once.
"""

import argparse
import os
import sys
from concurrent.futures import ProcessPoolExecutor
from typing import Any, List, Optional

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from backtest import Crossover
from tavrolix_sandbox import history
from tavrolix_sandbox.backtest import Backtest


def load_goog() -> history.History:
    try:
        from backtesting.test import GOOG  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise SystemExit(
            "this example reads its prices from the backtesting package: pip install backtesting"
        ) from None
    return history.bars(GOOG, symbol="GOOG", tick=0.01)


def sweep(executor: Any = None, maximize: str = "Equity Final [$]") -> Any:
    bt = Backtest(load_goog(), Crossover, cash=10000, progress=False)
    return bt.optimize(
        fast=range(5, 30, 5),
        slow=range(20, 70, 10),
        maximize=maximize,
        constraint=lambda p: p["fast"] < p["slow"],
        executor=executor,
    )


def main(argv: Optional[List[str]] = None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--workers", type=int, help="processes on this machine (default: its cores)")
    ap.add_argument("--dask", metavar="ADDRESS", help="a Dask scheduler to run on instead")
    ap.add_argument("--top", type=int, default=5)
    ap.add_argument("--heatmap", help="write the heatmap of final equity here (HTML)")
    a = ap.parse_args(argv)
    if a.dask:
        from distributed import Client

        with Client(a.dask) as client:  # type: ignore[no-untyped-call, unused-ignore]
            result = sweep(client)
    elif a.workers:
        with ProcessPoolExecutor(a.workers) as pool:
            result = sweep(pool)
    else:
        result = sweep()
    cols = ["Equity Final [$]", "Return [%]", "Max. Drawdown [%]", "Sharpe Ratio", "Win Rate [%]", "# Trades"]
    print(result.table[cols].head(a.top).round(2).to_string())
    print("(%d parameter pairs; best %s)" % (len(result.rows), result.best_params))
    if a.heatmap:
        print("heatmap:", result.plot_heatmap(a.heatmap))


if __name__ == "__main__":
    main()
