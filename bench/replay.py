"""The historical replay: the 10/20 crossover on the GOOG sample through the
module and the replayed broker against the `backtesting` peer, in one run;
then a tape of trades replayed with nobody subscribed (the engine) and with a
Python callable subscribed to price information (end to end). Prints one
table; --smoke runs small sizes once.

    bash bench/run.sh --replay [--smoke] [--trades N]
"""

import argparse
import gc
import os
import statistics
import sys
import time
import warnings

import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from tavrolix_sandbox import broker
from tavrolix_sandbox import history as H

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
import backtest

T0 = 1772445600


def best(fn, rounds):
    times = []
    for _ in range(rounds):
        gc.collect()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times), statistics.median(times)


def crossover(rounds):
    try:
        import backtesting as bt
        from backtesting.lib import crossover as crossed
        from backtesting.test import GOOG, SMA
    except ImportError:
        return None
    bars = H.bars(GOOG, symbol="GOOG", tick=0.01)
    closes = list(GOOG.Close)

    class Cross(bt.Strategy):
        def init(self):
            self.fast = self.I(SMA, self.data.Close, 10)
            self.slow = self.I(SMA, self.data.Close, 20)

        def next(self):
            if crossed(self.fast, self.slow) and not self.position:
                self.buy(
                    size=int(self.equity / (self.data.Close[-1] * 1.05 * 1.0016)),
                    limit=round(self.data.Close[-1] * 1.05, 2),
                )
            elif crossed(self.slow, self.fast) and self.position:
                self.position.close()

    def peer():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            bt.Backtest(GOOG, Cross, cash=10000, commission=0.0016).run()

    def ours():
        backtest.run_replay(bars, "GOOG", "1d", 10000)

    return len(closes), best(ours, rounds), best(peer, rounds)


def tape(n):
    """Ten prints a second, wandering over nine ticks."""
    rows = ((T0 + i // 10, 45.0 + 0.25 * ((i * 7) % 9), 100, 0) for i in range(n))
    return H.trades(rows, symbol="ARVO", tick=H.EQUITY_TICKS)


def replay_tape(history, subscribed):
    broker.reset(running=False, liquidity=False, activity=False)
    broker.replay(history)
    seen = [0]
    key = ctx = None
    if subscribed:
        ctx = tv.login("inv001", "inv001-secret", "", "", False)

        def on_info(payload):
            seen[0] += 1

        key = tv.subscribe_price_info(ctx, "ARVO", on_info)
    printed = broker.state()["tape_sequence"]
    t = time.perf_counter()
    done = broker.replay_step(len(history.series[0]))
    elapsed = time.perf_counter() - t
    if key is not None:
        tv.unsubscribe(ctx["channel_id"], key)
    # every print reached the tape
    assert broker.state()["tape_sequence"] == printed + done
    return done, seen[0], elapsed


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--smoke", action="store_true")
    p.add_argument("--trades", type=int, default=1_000_000)
    a = p.parse_args()
    rounds = 1 if a.smoke else 3
    n = 20_000 if a.smoke else a.trades
    sbx.use_broker()
    rows = []
    c = crossover(rounds)
    if c is None:
        rows.append(("crossover on GOOG", "backtesting not installed", "", ""))
    else:
        bars, (ours, ours_med), (peer, peer_med) = c
        rows.append(
            (
                "crossover, %d daily bars: module + replay" % bars,
                "%.3f s" % ours,
                "median %.3f s" % ours_med,
                "%.2fx the peer's time" % (ours / peer),
            )
        )
        rows.append(
            ("crossover, %d daily bars: backtesting 0.6.6" % bars, "%.3f s" % peer, "median %.3f s" % peer_med, "")
        )
    history = tape(n)
    for subscribed in (False, True):
        results = [replay_tape(history, subscribed) for _ in range(rounds)]
        done, seen, elapsed = min(results, key=lambda r: r[2])
        assert done == n and (seen == n + 1 if subscribed else seen == 0), (done, seen)  # + the first picture
        what = "end to end, a callable on price information" if subscribed else "engine only, nobody subscribed"
        rows.append(
            (
                "replay %d trades: %s" % (n, what),
                "%.3f s" % elapsed,
                "%.0f %s/s" % (n / elapsed, "events" if subscribed else "trades"),
                "",
            )
        )
    broker.reset(running=False)
    width = max(len(r[0]) for r in rows)
    for r in rows:
        print("%-*s  %12s  %22s  %s" % (width, r[0], r[1], r[2], r[3]))


if __name__ == "__main__":
    main()
