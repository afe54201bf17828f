"""Backtest.optimize: the table, the best run, the heatmap, on the default
process pool, any executor, and a Dask LocalCluster of two workers that each
get the history once."""

import os
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from tavrolix_sandbox import history as H
from tavrolix_sandbox.backtest import Backtest, Strategy
from tavrolix_sandbox.backtest import optimize as O

pd = pytest.importorskip("pandas")
HERE = os.path.dirname(os.path.abspath(__file__))
T0 = 1772409600


class Cross(Strategy):
    """Workers import it by name, from this module."""

    fast, slow = 5, 20

    def on_bar(self, bar):
        c = self.data[bar.symbol].close
        if len(c) <= self.slow:
            return
        above = c[-self.fast :].mean() > c[-self.slow :].mean()
        if above and not self.position() and not self.open_orders():
            self.buy(volume=10)
        elif not above and self.position():
            self.close()


def bars(n=400):
    rng = np.random.default_rng(11)
    c = np.round(50 * np.exp(np.cumsum(rng.normal(0, 0.015, n))), 2).tolist()
    return H.bars([(T0 + 86400 * i, x, x + 0.3, x - 0.3, x, 1000) for i, x in enumerate(c)], symbol="XYZ", tick=0.01)


GRID = {"fast": [3, 5, 8], "slow": [10, 20, 30]}


@pytest.fixture(scope="module")
def serial():
    """Each combination run here, one by one: what every executor must agree with."""
    import tavrolix_sandbox as sbx

    sbx.use_broker()
    bt = Backtest(bars(), Cross, cash=10000, progress=False)
    return {(f, s): bt.run(fast=f, slow=s)["Equity Final [$]"] for f in GRID["fast"] for s in GRID["slow"] if f * 2 < s}


def check(opt, serial, maximize="Equity Final [$]"):
    table = opt.table
    assert len(table) == len(serial)
    assert {k: table.loc[k, "Equity Final [$]"] for k in serial} == serial
    scores = list(table["_score"])
    assert scores == sorted(scores, reverse=True)
    best = max(serial, key=lambda k: serial[k])
    assert opt.best_params == {"fast": best[0], "slow": best[1]}
    assert opt.best["Equity Final [$]"] == serial[best] and opt.best.settings["params"]["fast"] == best[0]


@pytest.mark.usefixtures("broker_world")
def test_optimize_on_the_default_process_pool_and_any_executor(serial):
    bt = Backtest(bars(), Cross, cash=10000, progress=False)
    opt = bt.optimize(**GRID, maximize="Equity Final [$]", constraint=lambda p: p["fast"] * 2 < p["slow"])
    check(opt, serial)
    heat = opt.heatmap()
    assert list(heat.index) == [10, 20, 30] and list(heat.columns) == [3, 5, 8]
    assert heat.loc[20, 5] == serial[(5, 20)] and np.isnan(heat.loc[10, 8])  # left out by the constraint
    # a function of the statistics as the objective; threads take turns in one world
    with ThreadPoolExecutor(2) as pool:
        by_fn = bt.optimize(
            **GRID,
            maximize=lambda s: -s["Max. Drawdown [%]"] * 0 + s["Equity Final [$]"],
            constraint=lambda p: p["fast"] * 2 < p["slow"],
            executor=pool,
        )
    check(by_fn, serial)
    with pytest.raises(TypeError, match="no parameter 'fats'"):
        bt.optimize(fats=[1, 2])
    with pytest.raises(ValueError, match="constraint"):
        bt.optimize(**GRID, constraint=lambda p: False)
    with pytest.raises(ValueError, match="empty"):
        bt.optimize(fast=[], slow=[10])
    with pytest.raises(ValueError, match="two parameters"):
        O.Optimization(opt.rows, ["fast"], "x", None).heatmap()


@pytest.mark.usefixtures("broker_world")
def test_optimize_on_a_dask_cluster_sends_the_history_to_each_worker_once(serial):
    distributed = pytest.importorskip("distributed")
    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        distributed.Client(cluster) as client,
    ):
        client.run(lambda path: sys.path.insert(0, path), HERE)  # where the workers find this module
        bt = Backtest(bars(), Cross, cash=10000, progress=False)
        opt = bt.optimize(
            **GRID, maximize="Equity Final [$]", constraint=lambda p: p["fast"] * 2 < p["slow"], executor=client
        )
        check(opt, serial)
        unpacked = client.run(lambda: __import__("tavrolix_sandbox.backtest.optimize", fromlist=["x"]).unpacked)
        assert len(unpacked) == 2 and all(v <= 1 for v in unpacked.values()) and sum(unpacked.values()) >= 1
        # its executor too; the same history is not sent again
        again = bt.optimize(
            **GRID,
            maximize="Equity Final [$]",
            constraint=lambda p: p["fast"] * 2 < p["slow"],
            executor=client.get_executor(),
        )
        check(again, serial)
        assert client.run(lambda: __import__("tavrolix_sandbox.backtest.optimize", fromlist=["x"]).unpacked) == unpacked


def test_the_backtest_bench_runs_beside_the_peer():
    """bench/backtest.py --smoke: every case runs, both sides trade alike, the sweeps agree."""
    import subprocess

    import tavrolix_open_api as tv

    root = os.path.dirname(HERE)
    env = dict(
        os.environ,
        PYTHONPATH=os.pathsep.join(
            [os.path.dirname(tv.__file__), os.path.join(root, "sandbox", "python"), os.path.join(root, "client")]
        ),
    )
    proc = subprocess.run(
        [sys.executable, os.path.join(root, "bench", "backtest.py"), "--smoke"],
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    rows = proc.stdout.splitlines()
    assert (
        len(rows) == 8 and "minute bars: ours" in rows[1] and "daily bars: ours" in rows[3] and "sweep of 50" in rows[5]
    ), rows


NOTEBOOK_CELL = '''
from tavrolix_sandbox.backtest import Strategy

class Mine(Strategy):
    fast, slow = 5, 20

    def on_bar(self, bar):
        c = self.data[bar.symbol].close
        if len(c) <= self.slow:
            return
        above = c[-self.fast :].mean() > c[-self.slow :].mean()
        if above and not self.position() and not self.open_orders():
            self.buy(volume=10)
        elif not above and self.position():
            self.close()
'''


@pytest.mark.usefixtures("broker_world")
def test_a_strategy_from_a_notebook_and_a_lambda_fee_sweep_on_spawned_workers():
    """Classes and functions of a notebook's __main__ cannot be imported by a
    spawned worker; they travel by value."""
    cell = {"__name__": "__main__"}
    exec(NOTEBOOK_CELL, cell)
    mine = cell["Mine"]
    assert mine.__module__ == "__main__"
    bt = Backtest(bars(), mine, cash=10000, fees=lambda value, volume: 1.0, progress=False)
    opt = bt.optimize(fast=[3, 5], slow=[10, 20], maximize="Equity Final [$]")
    assert {k: opt.table.loc[k, "Equity Final [$]"] for k in [(3, 10), (3, 20), (5, 10), (5, 20)]} == {
        (f, s): bt.run(fast=f, slow=s)["Equity Final [$]"] for f in (3, 5) for s in (10, 20)
    }
