"""The 10/20 moving-average crossover: one strategy class, run on history by
the backtest runner or live against the sandbox's running market.

    .venv/bin/python examples/backtest.py [--html report.html]     history: the daily GOOG sample of the backtesting package
    .venv/bin/python examples/backtest.py --replay bars.csv --symbol XYZ [--tick 0.00001]
    .venv/bin/python examples/backtest.py --minutes 90              live: ARVO's minute candles, 90 simulated minutes

All in on a golden cross (a limit buy 5% above the close, sized by the
buying power, which fills at the next bar's open unless it gaps beyond the
limit), all out on a death cross (a market sell, next open). ``--tick`` is
the price grid of the CSV's prices (0.01 by default).
"""

from __future__ import annotations

import argparse
import sys
from decimal import ROUND_FLOOR, Decimal
from typing import Any, List, Optional

from tavrolix_sandbox.backtest import Backtest, Strategy


class Crossover(Strategy):
    fast, slow, cap = 10, 20, 0.05

    def init(self) -> None:
        self.prev: Optional[int] = None
        self.closes: List[int] = []  # in ticks: the averages compare exactly

    def on_bar(self, bar: Any) -> None:
        tick = self.ticks[bar.symbol] or 0.01
        closes = self.closes
        closes.append(round(bar.close / tick))
        fast, slow = sum(closes[-self.fast :]), sum(closes[-self.slow :])
        self.indicator("SMA %d" % self.fast, fast * tick / min(len(closes), self.fast))
        self.indicator("SMA %d" % self.slow, slow * tick / min(len(closes), self.slow))
        if len(closes) < self.slow:
            return
        d = self.slow * fast - self.fast * slow  # the sign of fast average - slow average
        prev, self.prev = self.prev, d
        if self.open_orders() or prev is None:
            return
        if prev < 0 < d and not self.position():
            t = Decimal(repr(tick))
            limit = (Decimal(repr(bar.close)) * (1 + Decimal(repr(self.cap))) / t).to_integral_value(ROUND_FLOOR) * t
            self.buy(price=float(limit))  # all in: as many lots as the buying power holds for
        elif prev > 0 > d and self.position():
            self.close()


def run_replay(bars: Any, symbol: str, interval: str, cash: float, fast: int = 10, slow: int = 20) -> Any:
    """One replay of the crossover: (the strategy, the account's trades in ``symbol``)."""
    r = Backtest(bars, Crossover, cash=cash, fast=fast, slow=slow, progress=False).run()
    return r.strategy, [t for t in r.broker_trades if t["symbol"] == symbol]


def main(argv: Optional[List[str]] = None) -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--replay", default="goog", metavar="goog|CSV", help="GOOG (default) or a CSV of one symbol's bars")
    p.add_argument("--symbol")
    p.add_argument("--tick", type=float, default=0.01, help="the price grid of the CSV (default 0.01)")
    p.add_argument("--minutes", type=int, help="trade this many minutes of the sandbox's running market instead")
    p.add_argument("--cash", type=float, default=10000)
    p.add_argument("--html", help="write the interactive report here")
    p.add_argument("--png", help="save a static plot here (needs matplotlib)")
    a = p.parse_args(argv)
    if not a.cash > 0:
        sys.exit("--cash must be above zero, not %s" % a.cash)
    if a.minutes:
        return live(a.minutes, a.cash)
    from tavrolix_sandbox import history

    try:
        if a.replay != "goog":
            if not a.symbol:
                sys.exit("a CSV of bars needs --symbol")
            bars = history.bars(a.replay, symbol=a.symbol, tick=a.tick)
        else:
            try:
                from backtesting.test import GOOG  # type: ignore[import-untyped]  # the peer's own sample
            except ImportError:
                sys.exit(
                    "the GOOG sample comes with the backtesting package (pip install backtesting); or --replay a CSV"
                )
            bars = history.bars(GOOG, symbol="GOOG", tick=0.01)
        result = Backtest(
            bars, Crossover, cash=a.cash, instruments=[{"symbol": s, "tick": a.tick, "lot": 1} for s in bars.symbols]
        ).run()
    except (ValueError, OSError) as e:
        sys.exit("backtest: %s" % e)
    print(result.stats.to_string() if hasattr(result.stats, "to_string") else result.stats)
    print(result.trades.tail() if hasattr(result.trades, "tail") else result.trades[-5:])
    if a.html:
        print("report:", result.plot(a.html))
    if a.png:
        from tavrolix_sandbox import results

        trades = [{"time": f[0], "side": f[2], "price": f[3], "volume": f[4]} for f in result._fill_rows]
        print("plot:", results.plot(trades, bars, a.cash, a.png, title="%s 10/20 crossover" % bars.symbols[0]))


def live(minutes: int, cash: float) -> None:
    """The same class live: ARVO (0.25 ticks, lots of 100) on the sandbox's fast clock."""
    import tavrolix
    from tavrolix_sandbox import broker
    from tavrolix_sandbox.backtest import run_live

    broker.reset(running=False)
    broker.seed(equity_accounts=[{"account_no": "E-7001", "owner": "inv001", "cash": cash, "credit_limit": 0}])
    with tavrolix.connect("inv001", "inv001-secret", pin="000000") as client:
        broker.run(0.002)
        try:
            s = run_live(
                Crossover,
                client.equity("E-7001"),
                ["ARVO"],
                bars=minutes,
                lots={"ARVO": 100},
                ticks={"ARVO": 0.25},
                hold=float(broker.hold_factor()),
            )
        finally:
            broker.stop()
        for o in list(s.orders.values())[-6:]:
            print("  ", o)
        print(
            "traded %d live minutes of ARVO: %d orders, position %d, final equity %.2f"
            % (len(s.data["ARVO"]), len(s.orders), s.position(), s.equity)
        )


if __name__ == "__main__":
    main()
