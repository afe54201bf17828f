"""Backtesting on the sandbox's replay: one strategy class, written on the
client ``tavrolix``, run on history (:class:`Backtest`) or live
(:func:`run_live`); statistics, an interactive report and optimisation.
See docs/backtest.md.

    from tavrolix_sandbox.backtest import Backtest, Strategy

    class Cross(Strategy):
        fast, slow = 10, 20
        def on_bar(self, bar):
            closes = self.data[bar.symbol].close
            ...

    result = Backtest(history, Cross, cash=10_000).run()
    print(result.stats)
    result.plot("cross.html")
"""

from .costs import per_share, percent
from .result import Result
from .runner import Backtest, run_live
from .strategy import Bar, Bars, Fill, Order, Strategy

__all__ = ["Backtest", "Strategy", "Result", "run_live", "Bar", "Bars", "Fill", "Order", "percent", "per_share"]
