"""The backtest runner beside the `backtesting` peer (0.6.6), in one run:

* a breakout on 500,000 minute bars: run time and peak memory (each side in
  a process of its own, from the same DataFrame), and our statistics alone;
* the crossover on the 2,148 daily GOOG bars (best of 5);
* a 50-combination sweep of the breakout on 100,000 minute bars on 2 cores:
  ``Backtest.optimize`` (a process pool) against the peer's ``optimize``.

    bash bench/run.sh --backtest [--smoke] [--only minute|daily|sweep] [--bars N]

Prints one table. The machine's load average is printed with it: the
figures are wall times.
"""

import argparse
import json
import os
import subprocess
import sys
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "examples"))


def frame(n, seed=1):
    """``n`` minute bars of a random walk on a cent grid, as a DataFrame with a time index."""
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    c = np.round(100 * np.exp(np.cumsum(rng.normal(0, 0.0007, n))), 2)
    o = np.concatenate(([c[0]], c[:-1]))
    h = np.round(np.maximum(o, c) + 0.01 * rng.integers(0, 5, n), 2)
    lo = np.round(np.minimum(o, c) - 0.01 * rng.integers(0, 5, n), 2)
    v = rng.integers(1, 1000, n)
    index = pd.to_datetime(1_600_000_000 + 60 * np.arange(n), unit="s")
    return pd.DataFrame({"Open": o, "High": h, "Low": lo, "Close": c, "Volume": v}, index=index)


# ---------------------------------------------------------------- the breakout, both ways
# At module level: spawned workers find them by name.
from tavrolix_sandbox.backtest import Strategy  # noqa: E402


class OursBreakout(Strategy):
    """Long 100 when the close tops the last ``n`` highs, flat when it falls under the last ``m`` lows."""

    n, m = 20, 10

    def on_bar(self, bar):
        d = self.data[bar.symbol]
        k = len(d)
        if not self.position():
            if k > self.n and bar.close > d.window("high", self.n, skip=1).max():
                self.buy(volume=100)
        elif k > self.m and bar.close < d.window("low", self.m, skip=1).min():
            self.close()


def peer_breakout():
    """The peer's breakout (made on demand: our side's process does not import the peer)."""
    import pandas as pd
    from backtesting import Strategy as PeerStrategy

    class PeerBreakout(PeerStrategy):
        n, m = 20, 10

        def init(self):
            self.hh = self.I(lambda h, n: pd.Series(h).rolling(n).max().shift(1), self.data.High, self.n)
            self.ll = self.I(lambda lo, m: pd.Series(lo).rolling(m).min().shift(1), self.data.Low, self.m)

        def next(self):
            c = self.data.Close[-1]
            if not self.position:
                if c > self.hh[-1]:
                    self.buy(size=100)
            elif c < self.ll[-1]:
                self.position.close()

    # the peer's pool pickles the class by name
    PeerBreakout.__qualname__ = "PeerBreakout"
    globals()["PeerBreakout"] = PeerBreakout
    return PeerBreakout


def child(side, n):
    """One side's breakout run in this (fresh) process: JSON of the figures."""
    import resource

    df = frame(n)
    if side == "ours":
        import tavrolix_sandbox as sbx
        from tavrolix_sandbox import history as H
        from tavrolix_sandbox.backtest import Backtest

        sbx.use_broker()
        t = time.perf_counter()
        bars = H.bars(df, symbol="XYZ", tick=0.01)
        del df
        loaded = time.perf_counter() - t
        t = time.perf_counter()
        r = Backtest(bars, OursBreakout, cash=1_000_000, progress=False).run()
        run = time.perf_counter() - t
        # the statistics alone, again: the Result made from the run's fills
        from tavrolix_sandbox.backtest.result import Result

        feeds = r.__dict__["_feeds"]
        t = time.perf_counter()
        again = Result.__new__(Result)
        Result.__init__(
            again,
            [type("F", (), {"symbol": s, "columns": c}) for s, c, _ in feeds],
            [k for _, _, k in feeds],
            r.broker_trades,
            r.strategy,
            _costs(r),
            r.settings,
        )
        stats = time.perf_counter() - t
        out = {"run": run, "load": loaded, "stats": stats, "trades": int(r["# Trades"]), "final": r["Equity Final [$]"]}
    else:
        from backtesting import Backtest

        t = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            s = Backtest(df, peer_breakout(), cash=1_000_000, commission=0.0016).run()
        out = {"run": time.perf_counter() - t, "trades": int(s["# Trades"]), "final": float(s["Equity Final [$]"])}
    out["peak_mb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps(out))


def _costs(r):
    from tavrolix_sandbox.backtest.costs import Costs

    return Costs(None, r.settings["slippage_ticks"])


def minute(n, rounds):
    """Each side in fresh processes, alternating, ``rounds`` times: the fastest run of each."""
    rows = {}
    for _ in range(rounds):
        for side in ("peer", "ours"):
            p = subprocess.run(
                [sys.executable, __file__, "--child", side, "--bars", str(n)],
                capture_output=True,
                text=True,
                timeout=3600,
            )
            if p.returncode:
                raise SystemExit(p.stderr)
            got = json.loads(p.stdout.strip().splitlines()[-1])
            if side not in rows or got["run"] < rows[side]["run"]:
                rows[side] = got
    return rows


def daily(rounds):
    import gc

    import tavrolix_sandbox as sbx
    from backtest import Crossover
    from backtesting import Backtest as PeerBacktest
    from backtesting import Strategy
    from backtesting.lib import crossover
    from backtesting.test import GOOG, SMA
    from tavrolix_sandbox import history as H
    from tavrolix_sandbox.backtest import Backtest

    class Cross(Strategy):
        def init(self):
            self.fast = self.I(SMA, self.data.Close, 10)
            self.slow = self.I(SMA, self.data.Close, 20)

        def next(self):
            if crossover(self.fast, self.slow) and not self.position:
                limit = round(self.data.Close[-1] * 1.05, 2)
                self.buy(size=int(self.equity / (limit * 1.0016)), limit=limit)
            elif crossover(self.slow, self.fast) and self.position:
                self.position.close()

    sbx.use_broker()
    bars = H.bars(GOOG, symbol="GOOG", tick=0.01)

    def best(fn):
        times = []
        for _ in range(rounds):
            gc.collect()
            t = time.perf_counter()
            fn()
            times.append(time.perf_counter() - t)
        return min(times)

    def peer():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            PeerBacktest(GOOG, Cross, cash=10000, commission=0.0016).run()

    ours = best(lambda: Backtest(bars, Crossover, cash=10000, progress=False).run())
    return ours, best(peer)


SWEEP = {"n": list(range(10, 60, 5)), "m": [5, 10, 15, 20, 25]}


def sweep(n):
    import tavrolix_sandbox as sbx
    from backtesting import Backtest as PeerBacktest
    from tavrolix_sandbox import history as H
    from tavrolix_sandbox.backtest import Backtest

    df = frame(n)
    sbx.use_broker()
    bars = H.bars(df, symbol="XYZ", tick=0.01)
    t = time.perf_counter()
    opt = Backtest(bars, OursBreakout, cash=1_000_000, progress=False).optimize(**SWEEP, maximize="Equity Final [$]")
    ours = time.perf_counter() - t
    t = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        peer = PeerBacktest(df, peer_breakout(), cash=1_000_000, commission=0.0016).optimize(
            **SWEEP, maximize="Equity Final [$]"
        )
    theirs = time.perf_counter() - t
    return ours, theirs, len(opt.rows), opt.best_params, {"n": peer._strategy.n, "m": peer._strategy.m}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--smoke", action="store_true")
    p.add_argument("--only")
    p.add_argument("--bars", type=int)
    p.add_argument("--child")
    a = p.parse_args()
    if a.child:
        return child(a.child, a.bars)
    rows = []
    load = os.getloadavg()
    if a.only in (None, "minute"):
        n = a.bars or (20_000 if a.smoke else 500_000)
        r = minute(n, 1 if a.smoke else 2)
        peer, ours = r["peer"], r["ours"]
        assert ours["trades"] == peer["trades"] > 0, (ours, peer)  # the same strategy both ways
        rows.append(
            (
                "breakout, %d minute bars: ours" % n,
                "%.2f s" % ours["run"],
                "peak %.0f MB" % ours["peak_mb"],
                "statistics %.3f s; %.2fx the peer's time" % (ours["stats"], ours["run"] / peer["run"]),
            )
        )
        rows.append(
            (
                "breakout, %d minute bars: backtesting 0.6.6" % n,
                "%.2f s" % peer["run"],
                "peak %.0f MB" % peer["peak_mb"],
                "%d trades (ours %d)" % (peer["trades"], ours["trades"]),
            )
        )
    if a.only in (None, "daily"):
        ours, peer = daily(1 if a.smoke else 5)
        rows.append(("crossover, 2148 daily bars: ours", "%.3f s" % ours, "", "%.2fx the peer's time" % (ours / peer)))
        rows.append(("crossover, 2148 daily bars: backtesting 0.6.6", "%.3f s" % peer, "", ""))
    if a.only in (None, "sweep"):
        n = a.bars or (5_000 if a.smoke else 100_000)
        ours, peer, runs, best, peer_best = sweep(n)
        rows.append(
            (
                "sweep of %d on %d minute bars, 2 cores: ours" % (runs, n),
                "%.1f s" % ours,
                "best %s" % best,
                "%.2fx the peer's time" % (ours / peer),
            )
        )
        rows.append(
            ("sweep of %d on %d minute bars: backtesting 0.6.6" % (runs, n), "%.1f s" % peer, "best %s" % peer_best, "")
        )
    w = max(len(r[0]) for r in rows)
    print("load average before: %.2f %.2f %.2f on %d cores" % (load + (os.cpu_count(),)))
    for r in rows:
        print("%-*s  %10s  %-22s  %s" % (w, r[0], r[1], r[2], r[3]))
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
