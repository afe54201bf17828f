"""The `backtesting` peer told the same orders as ours: both peer comparisons run it so."""

import warnings

from tavrolix_sandbox import fills as F


def commission(size, price):
    """The sandbox's equity fees on a fill, as the peer asks for its commission."""
    return float(sum(F.equity_fees(F.money(price) * abs(int(size))).values()))


def run_planned(bt, data, plan, cash):
    """The peer's run over ``data`` of ``plan``: {bar index: (size, limit) to buy, or None to close}."""

    class Planned(bt.Strategy):
        def init(self):
            pass

        def next(self):
            i = len(self.data) - 1
            if i in plan:
                if plan[i] is None:
                    self.position.close()
                else:
                    self.buy(size=plan[i][0], limit=plan[i][1])

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return bt.Backtest(data, Planned, cash=cash, commission=commission).run()
