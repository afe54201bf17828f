"""What a backtest returns: fills, round trips, orders, the equity curve and
the statistics (pandas objects where pandas is installed)."""

from __future__ import annotations

import calendar
from decimal import ROUND_HALF_UP, Decimal
from fractions import Fraction
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union, cast

import numpy as np

from . import stats as _stats

Array = Any  # a numpy array
CENT = Decimal("0.01")
_FEE_KEYS = ("brokerage_fee", "trading_fee", "clearing_fee")
_SIDE = {"BUY": 1, "LONG": 1, "SELL": -1, "SHORT": -1}


def _pandas() -> Any:
    """pandas, or None without it: imported when a table is asked for, not with
    the runner (half a second and some 45 MB that a run without tables never needs)."""
    try:
        import pandas  # type: ignore[import-untyped, unused-ignore]
    except ImportError:  # pragma: no cover - pandas is in the test extra
        return None
    return pandas


def _money(x: Any) -> Decimal:
    return x if isinstance(x, Decimal) else Decimal(repr(float(x)))


_DAYS: Dict[str, int] = {}


def _utc(date: str, clock: str) -> int:
    day = _DAYS.get(date)
    if day is None:
        day = _DAYS[date] = calendar.timegm((int(date[0:4]), int(date[5:7]), int(date[8:10]), 0, 0, 0, 0, 0, 0))
    return day + int(clock[0:2]) * 3600 + int(clock[3:5]) * 60 + int(clock[6:8])


def _units(values: Sequence[float]) -> Tuple[List[int], int]:
    """Each number as an exact integer count of 10^-d, and d: the decimals it
    prints with (as ``Decimal(repr(x))`` reads it), found for all at once."""
    a = np.asarray(values, dtype="f8")
    if not len(a):
        return [], 0
    for d in range(10):
        scale = 10.0**d
        r = np.rint(a * scale)
        # r / 10^d is correctly rounded: equal means x is that decimal's float
        if np.all(np.abs(r) < 2.0**53) and np.array_equal(r / scale, a):
            return [int(x) for x in r.astype(np.int64).tolist()], d
    decs = [Decimal(repr(float(x))) for x in values]
    d = max(0, -min(int(x.as_tuple().exponent) for x in decs))
    return [int(x.scaleb(d)) for x in decs], d


class Fills:
    """The fills as costed, in time order, their money exact: ``rows`` are
    (time, symbol, side, price, volume, fee, order_no, multiplier) with
    floats for show, ``exact`` (price, fee, multiplier) as integers of
    10^-price_digits, 10^-digits and 10^-mult_digits."""

    def __init__(
        self, trades: Sequence[Mapping[str, Any]], costs: Any, ticks: Mapping[str, float], mult: Mapping[str, float]
    ) -> None:
        n = len(trades)
        symbols = [str(t["symbol"]) for t in trades]
        sides = [_SIDE[str(t["side"]).upper()] for t in trades]
        volumes = [int(t["qty"]) for t in trades]
        prices, dp = _units([t["px"] for t in trades])
        if costs.slippage:
            steps, dt = _units([ticks.get(sym) or 0.01 for sym in symbols])
            if dt > dp:
                prices = [p * 10 ** (dt - dp) for p in prices]
                dp = dt
            steps = [x * 10 ** (dp - dt) for x in steps]
            prices = [p + side * costs.slippage * st for p, side, st in zip(prices, sides, steps)]
        mults, dm = _units([t.get("multiplier") or mult.get(sym, 1) for t, sym in zip(trades, symbols)])
        if costs.fee is None:
            flat, df = _units([float(t.get(k) or 0) for t in trades for k in _FEE_KEYS])
            fees = [flat[i] + flat[i + 1] + flat[i + 2] for i in range(0, len(flat), 3)]
        else:
            df = 2
            fees = []
            for p, v, m in zip(prices, volumes, mults):
                value = Decimal(p).scaleb(-dp) * v * Decimal(m).scaleb(-dm)
                fees.append(int(costs.fee_of(value, v).scaleb(2)))
        digits = max(dp + dm, df)
        fees = [f * 10 ** (digits - df) for f in fees]
        self.price_digits, self.mult_digits, self.digits = dp, dm, digits
        self.value_scale = 10 ** (digits - dp - dm)  # price * volume * multiplier, times this: units
        times = [_utc(t["trade_date"], t["trade_time"]) for t in trades]
        order = sorted(range(n), key=times.__getitem__)
        ps, fs, ms = 10.0**dp, 10.0**digits, 10.0**dm
        self.rows = [
            (
                times[k],
                symbols[k],
                sides[k],
                prices[k] / ps,
                volumes[k],
                fees[k] / fs,
                trades[k].get("order_no"),
                mults[k] / ms,
            )
            for k in order
        ]
        self.exact = [(prices[k], fees[k], mults[k]) for k in order]

    def money(self, units: Any) -> Decimal:
        if type(units) is int:  # the usual case; isinstance against the number ABCs costs more
            return Decimal(units).scaleb(-self.digits)
        return (Decimal(units.numerator) / Decimal(units.denominator)).scaleb(-self.digits)


def _steps(n: int, at: List[int], values: List[Any], first: Any, dtype: str) -> Array:
    """A step function over ``n`` points: ``first`` until the first of ``at``, then each value from its point on."""
    idx = np.zeros(n, dtype="i8")
    if at:
        idx[np.asarray(at, dtype="i8")] = np.arange(1, len(at) + 1)
        np.maximum.accumulate(idx, out=idx)
    return np.asarray([first] + values, dtype=dtype)[idx]


class _Trip:
    __slots__ = ("symbol", "size", "entry", "exit", "in_", "inq", "out", "outq", "fee", "pos", "m", "side")

    def __init__(self, symbol: str, t: int, m: int, side: int) -> None:
        self.symbol, self.entry, self.m, self.side = symbol, t, m, side
        self.size = self.inq = self.outq = self.pos = 0
        self.in_ = self.out = 0
        self.fee: Union[int, Fraction] = 0
        self.exit: Optional[int] = None


def _trips(fills: Fills) -> List[Dict[str, Any]]:
    """Round trips from flat to flat, per symbol: average entry and exit
    prices, size (the largest position), pnl after fees, return on the
    entry value; the last one of a symbol may still be open. Money in the
    fills' exact units; a fill that turns a position over gives each side
    its share of the fee."""
    out: List[_Trip] = []
    open_: Dict[str, _Trip] = {}
    vs = fills.value_scale
    for (t, symbol, side, _, volume, _, _, _), (price, fee, m) in zip(fills.rows, fills.exact):
        left = volume
        while left:
            trip = open_.get(symbol)
            if trip is None:
                trip = open_[symbol] = _Trip(symbol, t, m, side)
            q = trip.pos
            opening = q == 0 or (q > 0) == (side > 0)
            part = left if opening else min(left, abs(q))
            trip.fee += fee if part == volume else Fraction(fee * part, volume)
            if opening:
                trip.in_ += price * part
                trip.inq += part
            else:
                trip.out += price * part
                trip.outq += part
            q += side * part
            trip.pos = q
            if abs(q) > trip.size:
                trip.size = abs(q)
            left -= part
            if q == 0:
                trip.exit = t
                out.append(open_.pop(symbol))
    out.extend(open_.values())
    rows = []
    pd_ = 10.0**fills.price_digits
    for tr in out:
        closed = tr.exit is not None
        pnl = ret = None
        if closed:
            pnl_units = (tr.out - tr.in_) * tr.side * tr.m * vs - tr.fee
            pnl = float(fills.money(pnl_units).quantize(CENT, ROUND_HALF_UP))
            ret = float(pnl_units / (tr.in_ * tr.m * vs))
        rows.append(
            {
                "Symbol": tr.symbol,
                "Size": tr.size * tr.side,
                "EntryTime": tr.entry,
                "ExitTime": tr.exit,
                "EntryPrice": tr.in_ / tr.inq / pd_,
                "ExitPrice": tr.out / tr.outq / pd_ if tr.outq else None,
                "PnL": pnl,
                "ReturnPct": ret,
                "Commission": float(fills.money(tr.fee).quantize(CENT, ROUND_HALF_UP)),
                "Duration": None if tr.exit is None else tr.exit - tr.entry,
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
        self.broker_trades = cast(List[Dict[str, Any]], list(trades))  # the account's trades as the library gave them
        self._feeds = [(f.symbol, f.columns, n) for f, n in zip(feeds, seen)]
        costed = Fills(trades, costs, settings["ticks"], settings["multipliers"])
        fills = costed.rows
        self._fill_rows = fills
        # the timeline: every bar's opening time, of any symbol, up to where it stopped
        times_of = [np.frombuffer(c["time"], dtype="i8")[:n] for _, c, n in self._feeds]
        times = np.unique(np.concatenate(times_of)) if len(times_of) > 1 else times_of[0]
        if not len(times):
            raise RuntimeError("the backtest stopped before its first bar")
        self.times = times
        npts = len(times)
        cash0 = _money(settings["cash"])
        unit = Decimal(1).scaleb(-costed.digits)
        cash0_units = int((cash0 / unit).to_integral_value())
        if cash0_units * unit != cash0:
            raise ValueError("cash %s has more decimals than the fills' money (%d)" % (cash0, costed.digits))
        where = (np.searchsorted(times, np.array([f[0] for f in fills], dtype="i8"), side="right") - 1).tolist()
        where = [max(w, 0) for w in where]  # a fill before the first bar is on it
        # Cash exactly, in decimals, fill by fill; as a float at each point that had fills.
        at: List[int] = []
        cash_at: List[float] = []
        running = cash0_units
        vs, scale = costed.value_scale, 10.0**costed.digits
        for k, (f, (price, fee, m)) in enumerate(zip(fills, costed.exact)):
            running -= f[2] * price * f[4] * m * vs + fee
            if k + 1 == len(fills) or where[k + 1] != where[k]:
                at.append(where[k])
                cash_at.append(running / scale)
        cash_end = costed.money(running)
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
            mf = float(settings["multipliers"].get(symbol, 1))
            held = pos != 0
            exposed |= held
            exposed[1:] |= held[:-1]  # held from before the point
            del held
            equity += (pos * mf) * close_here if mf != 1 else pos * close_here
            del pos, close_here
        # A point is exposed when a position was held at some moment of it:
        # from before it, after it, or between two of its fills.
        self._exposed = exposed
        np.round(equity, 2, out=equity)
        final = cash_end + sum(
            (q * last_close[s] * _money(settings["multipliers"].get(s, 1)) for s, q in pos_end.items() if q), Decimal(0)
        )
        equity[-1] = float(final.quantize(CENT, ROUND_HALF_UP))
        self.final_equity = final
        self.positions = pos_end
        self._equity = equity
        self._trips = _trips(costed)
        closed = [r for r in self._trips if not r["Open"]]
        _, first_cols, first_n = self._feeds[0]
        c_first = np.frombuffer(first_cols["close"], dtype="f8")[:first_n]
        if len(self._feeds) == 1:
            closes = c_first
        else:
            t_first = np.frombuffer(first_cols["time"], dtype="i8")[:first_n]
            closes = c_first[np.maximum(np.searchsorted(t_first, times, side="right") - 1, 0)]
        total_fees = float(costed.money(sum(e[1] for e in costed.exact)))
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
        _pd = _pandas()
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
        _pd = _pandas()
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
        _pd = _pandas()
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
        _pd = _pandas()
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
        _pd = _pandas()
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
