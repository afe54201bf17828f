"""What a backtest returns: fills, round trips, orders, the equity curve and
the statistics (pandas objects where pandas is installed)."""

from __future__ import annotations

import calendar
from decimal import ROUND_HALF_UP, Decimal
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from . import stats as _stats

CENT = Decimal("0.01")
_FEE_KEYS = ("brokerage_fee", "trading_fee", "clearing_fee")
_SIDE = {"BUY": 1, "LONG": 1, "SELL": -1, "SHORT": -1}

try:
    import pandas as _pd
except ImportError:  # pragma: no cover - pandas is in the test extra
    _pd = None


def _money(x: Any) -> Decimal:
    return x if isinstance(x, Decimal) else Decimal(repr(float(x)))


def _utc(date: str, clock: str) -> int:
    return calendar.timegm(
        (int(date[0:4]), int(date[5:7]), int(date[8:10]), int(clock[0:2]), int(clock[3:5]), int(clock[6:8]), 0, 0, 0)
    )


def _fills(
    trades: Sequence[Mapping[str, Any]], costs: Any, ticks: Mapping[str, float], mult: Mapping[str, float]
) -> List[Tuple]:
    """(time, symbol, side, price, volume, fee, order_no, multiplier), costs applied, in time order."""
    out = []
    for t in trades:
        side = _SIDE[str(t["side"]).upper()]
        symbol = str(t["symbol"])
        price = _money(t["px"])
        volume = int(t["qty"])
        m = _money(t.get("multiplier") or mult.get(symbol, 1))
        if costs.slippage:
            tick = _money(ticks.get(symbol) or 0.01)
            price += side * costs.slippage * tick
        if costs.fee is None:
            fee = sum((_money(t.get(k) or 0) for k in _FEE_KEYS), Decimal(0))
        else:
            fee = costs.fee_of(price * volume * m, volume)
        out.append((_utc(t["trade_date"], t["trade_time"]), symbol, side, price, volume, fee, t.get("order_no"), m))
    out.sort(key=lambda f: f[0])
    return out


def _trips(fills: List[Tuple], time_index) -> List[Dict[str, Any]]:
    """Round trips from flat to flat, per symbol: average entry and exit
    prices, size (the largest position), pnl after fees, return on the
    entry value; the last one of a symbol may still be open."""
    out: List[Dict[str, Any]] = []
    open_: Dict[str, Dict[str, Any]] = {}
    for t, symbol, side, price, volume, fee, _order_no, m in fills:
        left = volume
        while left:
            trip = open_.get(symbol)
            if trip is None:
                trip = open_[symbol] = {
                    "Symbol": symbol,
                    "Size": 0,
                    "EntryTime": t,
                    "ExitTime": None,
                    "_in": Decimal(0),
                    "_inq": 0,
                    "_out": Decimal(0),
                    "_outq": 0,
                    "_fee": Decimal(0),
                    "_pos": 0,
                    "_m": m,
                    "_side": side,
                }
            q = trip["_pos"]
            if q and (q > 0) != (side > 0):
                part = min(left, abs(q))
            else:
                part = left
            share = fee if part == volume else (fee * part / volume)
            trip["_fee"] += share
            if q == 0 or (q > 0) == (side > 0):
                trip["_in"] += price * part
                trip["_inq"] += part
            else:
                trip["_out"] += price * part
                trip["_outq"] += part
            q += side * part
            trip["_pos"] = q
            trip["Size"] = max(trip["Size"], abs(q))
            left -= part
            if q == 0:
                trip["ExitTime"] = t
                out.append(open_.pop(symbol))
    out.extend(open_.values())
    rows = []
    for tr in out:
        entry = tr["_in"] / tr["_inq"]
        exit_ = tr["_out"] / tr["_outq"] if tr["_outq"] else None
        closed = tr["ExitTime"] is not None
        pnl = None
        ret = None
        if closed:
            gross = (tr["_out"] - tr["_in"]) * tr["_side"] * tr["_m"]
            pnl = gross - tr["_fee"]
            ret = float(pnl / (tr["_in"] * tr["_m"]))
        rows.append(
            {
                "Symbol": tr["Symbol"],
                "Size": tr["Size"] * tr["_side"],
                "EntryTime": tr["EntryTime"],
                "ExitTime": tr["ExitTime"],
                "EntryPrice": float(entry),
                "ExitPrice": None if exit_ is None else float(exit_),
                "PnL": None if pnl is None else float(pnl.quantize(CENT, ROUND_HALF_UP)),
                "ReturnPct": ret,
                "Commission": float(tr["_fee"].quantize(CENT, ROUND_HALF_UP)),
                "Duration": None if not closed else tr["ExitTime"] - tr["EntryTime"],
                "Open": not closed,
            }
        )
    rows.sort(key=lambda r: (r["EntryTime"], r["Symbol"]))
    return rows


class Result:
    """One backtest's outcome.

    * ``stats``: the statistics (a pandas Series, else a dict), also
      ``result["Sharpe Ratio"]``;
    * ``trades``: round trips (Symbol, Size, EntryTime, ExitTime, EntryPrice,
      ExitPrice, PnL, ReturnPct, Commission, Duration, Open);
    * ``fills``: every fill as costed; ``orders``: every order and how it ended;
    * ``equity``: Equity and DrawdownPct at each bar;
    * ``settings``: cash, account, interval, costs, parameters, symbols, ...;
    * ``plot(path)``: the interactive HTML report.
    """

    broker_trades: List[Dict[str, Any]]

    def __init__(
        self,
        feeds: List[Any],
        seen: List[int],
        trades: Sequence[Mapping[str, Any]],
        strategy: Any,
        costs: Any,
        settings: Dict[str, Any],
    ) -> None:
        self.settings = settings
        self.strategy = strategy
        self.broker_trades = list(trades)  # the account's trades as the library gave them
        self._feeds = [(f.symbol, f.columns, n) for f, n in zip(feeds, seen)]
        fills = _fills(trades, costs, settings["ticks"], settings["multipliers"])
        self._fill_rows = fills
        # the timeline: every bar's opening time, of any symbol, up to where it stopped
        times_of = [np.frombuffer(c["time"], dtype="i8")[:n] for _, c, n in self._feeds]
        times = np.unique(np.concatenate(times_of)) if len(times_of) > 1 else times_of[0].copy()
        if not len(times):
            raise RuntimeError("the backtest stopped before its first bar")
        self.times = times
        cash0 = _money(settings["cash"])
        # money per point, exact in cents; positions per symbol
        where = np.searchsorted(times, np.array([f[0] for f in fills], dtype="i8"), side="right") - 1
        if len(fills) and where.min() < 0:
            where = np.maximum(where, 0)  # a fill before the first bar is on it
        cents = np.zeros(len(times), dtype="i8")
        touched = np.zeros(len(times), dtype=bool)
        symbols = [s for s, _, _ in self._feeds]
        value = np.zeros(len(times), dtype="f8")
        cash_end = cash0
        pos_end: Dict[str, int] = {s: 0 for s in symbols}
        for k, (_t, _symbol, side, price, volume, fee, _, m) in enumerate(fills):
            delta = -side * price * volume * m - fee
            cash_end += delta
            cents[where[k]] += int((delta / CENT).to_integral_value())
            touched[where[k]] = True
        cash = float(cash0) + np.cumsum(cents) / 100.0
        held_any = np.zeros(len(times), dtype=bool)
        last_close: Dict[str, Decimal] = {}
        for symbol, cols, n in self._feeds:
            mine = [(where[k], f[2] * f[4]) for k, f in enumerate(fills) if f[1] == symbol]
            dq = np.zeros(len(times), dtype="i8")
            for j, q in mine:
                dq[j] += q
            pos = np.cumsum(dq)
            pos_end[symbol] = int(pos[-1]) if len(pos) else 0
            t_sym = np.frombuffer(cols["time"], dtype="i8")[:n]
            c_sym = np.frombuffer(cols["close"], dtype="f8")[:n]
            at = np.searchsorted(t_sym, times, side="right") - 1
            close_here = np.where(at >= 0, c_sym[np.maximum(at, 0)], 0.0)
            if n:
                last_close[symbol] = _money(c_sym[n - 1])
            m = float(settings["multipliers"].get(symbol, 1))
            value += pos * close_here * m
            before = np.concatenate(([0], pos[:-1]))
            held_any |= (pos != 0) | (before != 0)
        # A point is exposed when a position was held at some moment of it:
        # from before it, after it, or between two of its fills.
        self._exposed = held_any | touched
        equity = np.round(cash + value, 2)
        final = cash_end + sum(
            (q * last_close[s] * _money(settings["multipliers"].get(s, 1)) for s, q in pos_end.items() if q), Decimal(0)
        )
        equity[-1] = float(final.quantize(CENT, ROUND_HALF_UP))
        self.final_equity = final
        self.positions = {s: q for s, q in pos_end.items()}
        self._equity = equity
        self._trips = _trips(fills, times)
        closed = [r for r in self._trips if not r["Open"]]
        _first_symbol, first_cols, first_n = self._feeds[0]
        t_first = np.frombuffer(first_cols["time"], dtype="i8")[:first_n]
        c_first = np.frombuffer(first_cols["close"], dtype="f8")[:first_n]
        closes = c_first[np.maximum(np.searchsorted(t_first, times, side="right") - 1, 0)]
        total_fees = float(sum((f[5] for f in fills), Decimal(0)))
        self._stats = _stats.compute(
            equity,
            times,
            closes,
            self._exposed,
            np.array([r["PnL"] for r in closed], dtype="f8"),
            np.array([r["ReturnPct"] for r in closed], dtype="f8"),
            np.array([r["Duration"] for r in closed], dtype="f8"),
            total_fees,
        )

    # ---------------------------------------------------------------- views

    @property
    def stats(self) -> Any:
        if _pd is None:
            return dict(self._stats)
        s = dict(self._stats)
        for k in ("Start", "End"):
            s[k] = _pd.Timestamp(s[k], unit="s")
        for k in (
            "Duration",
            "Max. Drawdown Duration",
            "Avg. Drawdown Duration",
            "Max. Trade Duration",
            "Avg. Trade Duration",
        ):
            s[k] = _pd.NaT if s[k] != s[k] else _pd.Timedelta(seconds=round(s[k]))
        return _pd.Series(s, dtype=object)

    def __getitem__(self, key: str) -> Any:
        return self._stats[key]

    @property
    def trades(self) -> Any:
        rows = [dict(r) for r in self._trips]
        if _pd is None:
            return rows
        df = _pd.DataFrame(
            rows,
            columns=[
                "Symbol",
                "Size",
                "EntryTime",
                "ExitTime",
                "EntryPrice",
                "ExitPrice",
                "PnL",
                "ReturnPct",
                "Commission",
                "Duration",
                "Open",
            ],
        )
        for k in ("EntryTime", "ExitTime"):
            df[k] = _pd.to_datetime(df[k], unit="s")
        df["Duration"] = _pd.to_timedelta(df["Duration"], unit="s")
        return df

    @property
    def fills(self) -> Any:
        rows = [
            {
                "Time": t,
                "Symbol": s,
                "Side": "BUY" if side > 0 else "SELL",
                "Price": float(p),
                "Volume": v,
                "Fee": float(fee),
                "OrderNo": o,
            }
            for t, s, side, p, v, fee, o, _ in self._fill_rows
        ]
        if _pd is None:
            return rows
        df = _pd.DataFrame(rows, columns=["Time", "Symbol", "Side", "Price", "Volume", "Fee", "OrderNo"])
        df["Time"] = _pd.to_datetime(df["Time"], unit="s")
        return df

    @property
    def orders(self) -> Any:
        rows = [
            {
                "OrderNo": o.order_no,
                "Symbol": o.symbol,
                "Side": o.side,
                "Volume": o.volume,
                "Price": o.price,
                "Placed": o.placed,
                "Status": o.status,
                "Matched": o.matched,
            }
            for o in self.strategy.orders.values()
        ]
        if _pd is None:
            return rows
        df = _pd.DataFrame(
            rows, columns=["OrderNo", "Symbol", "Side", "Volume", "Price", "Placed", "Status", "Matched"]
        )
        df["Placed"] = _pd.to_datetime(df["Placed"], unit="s")
        return df

    @property
    def equity(self) -> Any:
        dd = _stats.drawdown(self._equity)
        if _pd is None:
            return {"time": self.times, "Equity": self._equity, "DrawdownPct": dd}
        return _pd.DataFrame({"Equity": self._equity, "DrawdownPct": dd}, index=_pd.to_datetime(self.times, unit="s"))

    def summary(self) -> Dict[str, Any]:
        """Plain data (for a process pool or a cluster): statistics and settings."""
        return {"stats": dict(self._stats), "settings": dict(self.settings, params=dict(self.settings["params"]))}

    def plot(self, path: Optional[str] = None, *, title: Optional[str] = None) -> str:
        """Writes the interactive report (one self-contained HTML file) and returns its path."""
        from .report import report

        return report(self, path, title=title)

    def __repr__(self) -> str:
        s = self._stats
        return "<Result %s: final equity %.2f, return %.2f%%, %d trades>" % (
            self.settings["strategy"],
            s["Equity Final [$]"],
            s["Return [%]"],
            s["# Trades"],
        )
