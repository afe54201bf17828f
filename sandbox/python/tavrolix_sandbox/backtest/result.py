"""What a backtest returns: fills, round trips, orders, the equity curve and
the statistics (pandas objects where pandas is installed)."""

from __future__ import annotations

import calendar
import math
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


_DAYS: Dict[str, int] = {}


def _utc(date: str, clock: str) -> int:
    day = _DAYS.get(date)
    if day is None:
        day = _DAYS[date] = calendar.timegm((int(date[0:4]), int(date[5:7]), int(date[8:10]), 0, 0, 0, 0, 0, 0))
    return day + int(clock[0:2]) * 3600 + int(clock[3:5]) * 60 + int(clock[6:8])


def _fee(t: Mapping[str, Any]) -> Decimal:
    """The fees booked on a trade: whole cents as the library rounds them (read as
    cents when they are; as their exact decimals otherwise)."""
    cents = 0
    for k in _FEE_KEYS:
        x = t.get(k) or 0
        c = x * 100
        r = round(c)
        if abs(c - r) > 1e-6:
            return sum((_money(t.get(k) or 0) for k in _FEE_KEYS), Decimal(0))
        cents += r
    return Decimal(cents) / 100


def _fills(trades: Sequence[Mapping[str, Any]], costs: Any, ticks: Mapping[str, float], mult: Mapping[str, float]) -> List[Tuple]:
    """(time, symbol, side, price, volume, fee, order_no, multiplier), costs applied, in time order."""
    out = []
    mults: Dict[Any, Decimal] = {}
    slip = {s: costs.slippage * _money(ticks.get(s) or 0.01) for s in ticks} if costs.slippage else None
    for t in trades:
        side = _SIDE[str(t["side"]).upper()]
        symbol = str(t["symbol"])
        price = Decimal(repr(float(t["px"])))
        volume = int(t["qty"])
        raw_m = t.get("multiplier") or mult.get(symbol, 1)
        m = mults.get(raw_m)
        if m is None:
            m = mults[raw_m] = _money(raw_m)
        if slip is not None:
            price += side * slip.get(symbol, costs.slippage * CENT)
        fee = _fee(t) if costs.fee is None else costs.fee_of(price * volume * m, volume)
        out.append((_utc(t["trade_date"], t["trade_time"]), symbol, side, price, volume, fee, t.get("order_no"), m))
    out.sort(key=lambda f: f[0])
    return out


def _steps(n: int, at: List[int], values: List[Any], first: Any, dtype: str) -> np.ndarray:
    """A step function over ``n`` points: ``first`` until the first of ``at``, then each value from its point on."""
    idx = np.zeros(n, dtype="i8")
    if at:
        idx[np.asarray(at, dtype="i8")] = np.arange(1, len(at) + 1)
        np.maximum.accumulate(idx, out=idx)
    return np.asarray([first] + values, dtype=dtype)[idx]


def _trips(fills: List[Tuple], time_index) -> List[Dict[str, Any]]:
    """Round trips from flat to flat, per symbol: average entry and exit
    prices, size (the largest position), pnl after fees, return on the
    entry value; the last one of a symbol may still be open."""
    out: List[Dict[str, Any]] = []
    open_: Dict[str, Dict[str, Any]] = {}
    for t, symbol, side, price, volume, fee, order_no, m in fills:
        left = volume
        while left:
            trip = open_.get(symbol)
            if trip is None:
                trip = open_[symbol] = {
                    "Symbol": symbol, "Size": 0, "EntryTime": t, "ExitTime": None, "_in": Decimal(0), "_inq": 0,
                    "_out": Decimal(0), "_outq": 0, "_fee": Decimal(0), "_pos": 0, "_m": m, "_side": side,
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
            trip["Size"] = max(trip["Size"], abs(q)) * (1 if trip["_side"] > 0 else 1)
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
        rows.append({
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
        })
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

    def __init__(self, feeds: List[Any], seen: List[int], trades: Sequence[Mapping[str, Any]], strategy: Any, costs: Any,
                 settings: Dict[str, Any]) -> None:
        self.settings = settings
        self.strategy = strategy
        self.broker_trades = list(trades)  # the account's trades as the library gave them
        self._feeds = [(f.symbol, f.columns, n) for f, n in zip(feeds, seen)]
        fills = _fills(trades, costs, settings["ticks"], settings["multipliers"])
        self._fill_rows = fills
        # the timeline: every bar's opening time, of any symbol, up to where it stopped
        times_of = [np.frombuffer(c["time"], dtype="i8")[:n] for _, c, n in self._feeds]
        times = np.unique(np.concatenate(times_of)) if len(times_of) > 1 else times_of[0]
        if not len(times):
            raise RuntimeError("the backtest stopped before its first bar")
        self.times = times
        npts = len(times)
        cash0 = _money(settings["cash"])
        where = (np.searchsorted(times, np.array([f[0] for f in fills], dtype="i8"), side="right") - 1).tolist()
        where = [max(w, 0) for w in where]  # a fill before the first bar is on it
        # Cash exactly, in decimals, fill by fill; as a float at each point that had fills.
        at: List[int] = []
        cash_at: List[float] = []
        running = cash0
        for k, (t, symbol, side, price, volume, fee, _, m) in enumerate(fills):
            running += -side * price * volume * m - fee
            if k + 1 == len(fills) or where[k + 1] != where[k]:
                at.append(where[k])
                cash_at.append(float(running))
        cash_end = running
        equity = _steps(npts, at, cash_at, float(cash0), "f8")
        touched = np.zeros(npts, dtype=bool)
        touched[at] = True
        exposed = touched
        pos_end: Dict[str, int] = {}
        last_close: Dict[str, Decimal] = {}
        for symbol, cols, n in self._feeds:
            p_at: List[int] = []
            p_val: List[int] = []
            q = 0
            mine = [k for k, f in enumerate(fills) if f[1] == symbol]
            for j, k in enumerate(mine):
                q += fills[k][2] * fills[k][4]
                if j + 1 == len(mine) or where[mine[j + 1]] != where[k]:
                    p_at.append(where[k])
                    p_val.append(q)
            pos_end[symbol] = q
            c_sym = np.frombuffer(cols["close"], dtype="f8")[:n]
            if n:
                last_close[symbol] = _money(c_sym[n - 1])
            if not p_at:
                continue
            pos = _steps(npts, p_at, p_val, 0, "i8")
            if len(self._feeds) == 1:
                close_here = c_sym
            else:
                t_sym = np.frombuffer(cols["time"], dtype="i8")[:n]
                ix = np.searchsorted(t_sym, times, side="right") - 1
                close_here = np.where(ix >= 0, c_sym[np.maximum(ix, 0)], 0.0)
                del ix
            m = float(settings["multipliers"].get(symbol, 1))
            held = pos != 0
            exposed |= held
            exposed[1:] |= held[:-1]  # held from before the point
            del held
            equity += (pos * m) * close_here if m != 1 else pos * close_here
            del pos, close_here
        # A point is exposed when a position was held at some moment of it:
        # from before it, after it, or between two of its fills.
        self._exposed = exposed
        np.round(equity, 2, out=equity)
        final = cash_end + sum((q * last_close[s] * _money(settings["multipliers"].get(s, 1)) for s, q in pos_end.items() if q), Decimal(0))
        equity[-1] = float(final.quantize(CENT, ROUND_HALF_UP))
        self.final_equity = final
        self.positions = pos_end
        self._equity = equity
        self._trips = _trips(fills, times)
        closed = [r for r in self._trips if not r["Open"]]
        first_symbol, first_cols, first_n = self._feeds[0]
        c_first = np.frombuffer(first_cols["close"], dtype="f8")[:first_n]
        if len(self._feeds) == 1:
            closes = c_first
        else:
            t_first = np.frombuffer(first_cols["time"], dtype="i8")[:first_n]
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
        for k in ("Duration", "Max. Drawdown Duration", "Avg. Drawdown Duration", "Max. Trade Duration", "Avg. Trade Duration"):
            s[k] = _pd.NaT if s[k] != s[k] else _pd.Timedelta(seconds=round(s[k]))
        return _pd.Series(s, dtype=object)

    def __getitem__(self, key: str) -> Any:
        return self._stats[key]

    @property
    def trades(self) -> Any:
        rows = [dict(r) for r in self._trips]
        if _pd is None:
            return rows
        df = _pd.DataFrame(rows, columns=["Symbol", "Size", "EntryTime", "ExitTime", "EntryPrice", "ExitPrice", "PnL",
                                          "ReturnPct", "Commission", "Duration", "Open"])
        for k in ("EntryTime", "ExitTime"):
            df[k] = _pd.to_datetime(df[k], unit="s")
        df["Duration"] = _pd.to_timedelta(df["Duration"], unit="s")
        return df

    @property
    def fills(self) -> Any:
        rows = [
            {"Time": t, "Symbol": s, "Side": "BUY" if side > 0 else "SELL", "Price": float(p), "Volume": v,
             "Fee": float(fee), "OrderNo": o}
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
            {"OrderNo": o.order_no, "Symbol": o.symbol, "Side": o.side, "Volume": o.volume, "Price": o.price,
             "Placed": o.placed, "Status": o.status, "Matched": o.matched}
            for o in self.strategy.orders.values()
        ]
        if _pd is None:
            return rows
        df = _pd.DataFrame(rows, columns=["OrderNo", "Symbol", "Side", "Volume", "Price", "Placed", "Status", "Matched"])
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
            self.settings["strategy"], s["Equity Final [$]"], s["Return [%]"], s["# Trades"])
