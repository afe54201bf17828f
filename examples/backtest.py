"""The 10/20 moving-average crossover: one strategy, run unchanged against the
live simulated market or against replayed history.

    .venv/bin/python examples/backtest.py                  live: ARVO's minute candles, 90 simulated minutes
    .venv/bin/python examples/backtest.py --replay goog    history: the daily GOOG sample of the backtesting package
    .venv/bin/python examples/backtest.py --replay bars.csv --symbol XYZ [--interval 1d] [--png out.png]

The strategy sees closed bars from the candle stream and trades through the
client: all in on a golden cross (a limit buy 5% above the close, sized by
the buying power, which fills at the next bar's open unless it gaps beyond
the limit), all out on a death cross (a market sell, next open). Live, a bar
closes when the next minute's candle appears; in a replay, after each
lockstep step. At the end it prints the trades and the statistics of
tavrolix_sandbox.results, and saves a PNG when matplotlib is installed.
"""

from __future__ import annotations

import argparse
import datetime as _dt
import sys
from decimal import ROUND_FLOOR, Decimal
from typing import TYPE_CHECKING, Any, List, Optional, Tuple

import tavrolix
from tavrolix_sandbox import broker
from tavrolix_sandbox import history as H
from tavrolix_sandbox import results as R

if TYPE_CHECKING:
    from tavrolix.payloads import Candle
    from tavrolix_open_api import EquityTrade

ACCOUNT, USER, PIN = "E-7001", "inv001", "000000"  # an account of its own: cash, no shares
HOLD = Decimal("1.0016")  # what a buy holds back of buying power per unit of value
INTERVALS = {60: "1m", 300: "5m", 900: "15m", 3600: "60m", 86400: "1d", 604800: "1w"}


def day(t: int) -> str:
    when = _dt.datetime.fromtimestamp(t, _dt.timezone.utc)
    return when.strftime("%Y-%m-%d" if t % 86400 == 0 else "%Y-%m-%d %H:%M")


class Crossover:
    """Long when the fast average of closes crosses above the slow one, flat when it
    crosses below. Closes are counted in ticks, so the averages compare exactly."""

    def __init__(
        self,
        shares: Any,
        symbol: str,
        fast: int = 10,
        slow: int = 20,
        cap: float = 0.05,
        tick: float = 0.01,
        lot: int = 1,
    ) -> None:
        self.shares, self.symbol, self.fast, self.slow, self.lot = shares, symbol, fast, slow, lot
        self.cap, self.tick = Decimal(repr(cap)), Decimal(repr(tick))
        self.closes: List[int] = []
        self.prev: Optional[int] = None
        self.working: Optional[str] = None  # the order in the market, if any
        self.log: List[str] = []

    def position(self) -> int:
        held = [p for p in self.shares.portfolio() if p["symbol"] == self.symbol]
        return int(held[0]["actual_volume"]) if held else 0

    def on_bar(self, time: int, close: float) -> None:
        self.closes.append(int((Decimal(repr(close)) / self.tick).to_integral_value()))
        if len(self.closes) < self.slow:
            return
        # fast average - slow average, times fast * slow: the same sign, in whole numbers
        d = self.slow * sum(self.closes[-self.fast :]) - self.fast * sum(self.closes[-self.slow :])
        prev, self.prev = self.prev, d
        if self.working is not None:
            if self.shares.order(self.working)["status"] not in tavrolix.FINAL_STATUSES:
                return
            self.working = None
        if prev is None:
            return
        if prev < 0 < d and not self.position():
            limit = (Decimal(repr(close)) * (1 + self.cap) / self.tick).to_integral_value(ROUND_FLOOR) * self.tick
            power = Decimal(repr(self.shares.info()["line_available"]))
            volume = int((power / (limit * HOLD * self.lot)).to_integral_value(ROUND_FLOOR)) * self.lot
            if volume > 0:
                self.working = self.shares.buy(self.symbol, volume, price=float(limit))
                self.log.append("%s golden cross at %s: buy %d, limit %s" % (day(time), close, volume, limit))
        elif prev > 0 > d:
            held = self.position()
            if held:
                self.working = self.shares.sell(self.symbol, held)
                self.log.append("%s death cross at %s: sell %d" % (day(time), close, held))


def run_replay(
    bars: H.History, symbol: str, interval: str, cash: float, fast: int = 10, slow: int = 20
) -> Tuple[Crossover, List[EquityTrade]]:
    """Replays ``bars`` in lockstep with the strategy trading; returns it and the account's trades."""
    # conflate: a bar's four prints give one candle update
    broker.reset(running=False, liquidity=False, activity=False, conflate=True)
    broker.seed(equity_accounts=[{"account_no": ACCOUNT, "owner": USER, "cash": cash, "credit_limit": 0}])
    broker.replay(bars)
    client = tavrolix.connect(USER, USER + "-secret", pin=PIN)
    shares = client.equity(ACCOUNT)
    strategy = Crossover(shares, symbol, fast, slow)
    with client, client.candle_updates(symbol, interval, maxsize=64) as candles:
        while broker.replay_step(1):
            # Lockstep: the bar's candle updates have all been delivered.
            bar = candles.drain()[-1]
            strategy.on_bar(bar["time"], bar["close"])
        trades = [t for t in shares.trades() if t["symbol"] == symbol]
    return strategy, trades


def run_live(symbol: str, minutes: int, cash: float) -> Tuple[Crossover, List[EquityTrade], List[Tuple[int, float]]]:
    """The running sandbox market, a fast clock: ``minutes`` simulated minutes of 1-minute bars."""
    broker.reset(running=False)
    broker.seed(equity_accounts=[{"account_no": ACCOUNT, "owner": USER, "cash": cash, "credit_limit": 0}])
    client = tavrolix.connect(USER, USER + "-secret", pin=PIN)
    shares = client.equity(ACCOUNT)
    strategy = Crossover(shares, symbol, tick=0.25, lot=100)  # ARVO trades in 0.25s around 45, in lots of 100
    closes: List[Tuple[int, float]] = []
    with client, client.candle_updates(symbol, "1m", maxsize=4096, timeout=10) as candles:
        broker.run(0.002)
        current: Optional[Candle] = None
        try:
            for candle in candles:
                if current is not None and candle["time"] != current["time"]:
                    closes.append((current["time"], current["close"]))  # the minute is over
                    strategy.on_bar(current["time"], current["close"])
                    if len(closes) >= minutes:
                        break
                current = candle
        finally:
            broker.stop()
        trades = [t for t in shares.trades() if t["symbol"] == symbol]
    return strategy, trades, closes


def load(source: str, symbol: Optional[str]) -> Tuple[H.History, str]:
    if source == "goog":
        try:
            from backtesting.test import GOOG  # type: ignore[import-untyped]  # its own sample, where installed
        except ImportError:
            sys.exit("--replay goog needs the backtesting package (pip install backtesting), or give a CSV of bars")
        return H.bars(GOOG, symbol=symbol or "GOOG", tick=0.01), symbol or "GOOG"
    if not symbol:
        sys.exit("a CSV of bars needs --symbol")
    return H.bars(source, symbol=symbol, tick=0.01), symbol


def main(argv: Optional[List[str]] = None) -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--replay", metavar="goog|CSV", help="replay these bars instead of trading live")
    p.add_argument("--symbol")
    p.add_argument("--interval", help="candle interval of the bars (default: from the data)")
    p.add_argument("--minutes", type=int, default=90, help="live: simulated minutes to trade")
    p.add_argument("--cash", type=float, default=10000)
    p.add_argument("--png", help="save the plot here (needs matplotlib)")
    a = p.parse_args(argv)
    if a.replay:
        bars, symbol = load(a.replay, a.symbol)
        series = bars[symbol]
        interval = a.interval or INTERVALS.get(series.interval, "1d")
        strategy, trades = run_replay(bars, symbol, interval, a.cash)
        prices: Any = series
        print("replayed %d bars of %s (%s)" % (len(series), symbol, interval))
    else:
        symbol = a.symbol or "ARVO"
        strategy, trades, prices = run_live(symbol, a.minutes, a.cash)
        print("traded %d live minutes of %s" % (len(prices), symbol))
    for line in (
        strategy.log[:3] + (["..."] if len(strategy.log) > 6 else []) + strategy.log[max(3, len(strategy.log) - 3) :]
    ):
        print("  " + line)
    s = R.statistics(trades, prices, a.cash)
    print(
        "%d fills, %d round trips, win rate %s"
        % (len(trades), s["round_trips"], "-" if s["win_rate"] is None else "%.1f%%" % (100 * s["win_rate"]))
    )
    print(
        "final equity %.2f, return %.2f%%, max drawdown %.2f%%, exposure %.1f%%, Sharpe %s"
        % (
            s["final_equity"],
            100 * s["total_return"],
            100 * s["max_drawdown"],
            100 * s["exposure"],
            "-" if s["sharpe"] is None else "%.2f" % s["sharpe"],
        )
    )
    if a.png:
        print(R.plot(trades, prices, a.cash, a.png, title="%s 10/20 crossover" % symbol))


if __name__ == "__main__":
    main()
