"""Results of a backtest as plain Python data: the equity curve and the usual
statistics, from the account's trades and the prices it was valued at.

Trades may be the module's trade dictionaries (equity: ``px``, ``qty``,
``side`` BUY/SELL, ``trade_date``, ``trade_time``, the three fee keys;
derivatives: ``side`` LONG/SHORT and ``multiplier``), or plain fills:
mappings with ``time``, ``side``, ``price``, ``volume`` and optionally
``fee``, ``symbol``, ``multiplier``, or tuples (time, side, price, volume[,
fee]). Prices are a history series (bars give their closes, trades their
prices), a History, pairs (time, price), or a mapping from symbol to any of
these.

Each price point stands for the time up to the next point: the equity at it
counts every fill before the next point, valued at the point's price (so a
fill at a daily bar's open is in that day's equity, valued at its close).

Statistics (:func:`statistics`):

* ``total_return``: final equity / starting cash - 1;
* ``max_drawdown``: the largest fall from a peak of the curve, as a fraction
  of that peak (``max_drawdown_value`` in money);
* ``sharpe``: mean / standard deviation (n - 1) of the simple returns from
  point to point, times sqrt(``periods_per_year``); no risk-free rate. The
  default 252 is right for one point per trading day; pass e.g. 252 * 390 for
  minute points of a 6.5-hour session. None with fewer than two returns or
  none that vary;
* ``win_rate``: the share of round trips (from flat back to flat in one
  symbol) whose result after fees is above zero; None without round trips;
* ``exposure``: the share of price points during which a position was open
  at any moment (the bars of entry and exit count);
* ``trades`` (fills) and ``round_trips``.
"""

from __future__ import annotations

import datetime as _dt
import math
from decimal import ROUND_HALF_UP, Decimal
from typing import Any, Dict, Iterable, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

from .fills import CENT, money
from .history import BARS, TRADES, History, Series, to_utc_seconds

__all__ = ["Fill", "fills", "equity_curve", "round_trips", "statistics", "plot"]

_FEE_KEYS = ("brokerage_fee", "trading_fee", "clearing_fee")
_SIDE = {"BUY": 1, "LONG": 1, "B": 1, "SELL": -1, "SHORT": -1, "S": -1}


class Fill(NamedTuple):
    time: int
    symbol: str
    side: int  # 1 buy, -1 sell
    price: Decimal
    volume: int
    fee: Decimal
    multiplier: Decimal


def _one(raw: Any, n: int, default_symbol: str) -> Fill:
    try:
        if isinstance(raw, Mapping):
            if "px" in raw:  # the module's trade dictionary
                t = to_utc_seconds("%sT%s" % (raw["trade_date"], raw.get("trade_time") or "00:00:00"))
                price, volume = raw["px"], raw["qty"]
                fee = sum((money(raw.get(k) or 0) for k in _FEE_KEYS), Decimal(0))
            else:
                t = to_utc_seconds(raw["time"])
                price, volume = raw["price"], raw["volume"]
                fee = money(raw.get("fee", 0))
            side, symbol = raw["side"], raw.get("symbol") or default_symbol
            mult = money(raw.get("multiplier") or 1)
        else:
            t, side, price, volume = to_utc_seconds(raw[0]), raw[1], raw[2], raw[3]
            fee = money(raw[4]) if len(raw) > 4 else Decimal(0)
            symbol, mult = default_symbol, Decimal(1)
        s = _SIDE.get(str(side).upper()) if not isinstance(side, int) else (side if side in (1, -1) else None)
        if s is None:
            raise ValueError("side must be BUY/SELL/LONG/SHORT, not %r" % (side,))
        if int(volume) != volume or volume <= 0:
            raise ValueError("volume must be a positive whole number, not %r" % (volume,))
        return Fill(t, symbol, s, money(price), int(volume), fee, mult)
    except (KeyError, IndexError, TypeError, ValueError) as e:
        raise ValueError("trade %d: %s" % (n, e)) from None


def fills(trades: Iterable[Any], symbol: str = "") -> List[Fill]:
    """The trades as :class:`Fill` tuples, in time order (stable)."""
    out = [_one(t, n, symbol) for n, t in enumerate(trades, 1)]
    out.sort(key=lambda f: f.time)
    return out


PriceSource = Union[Series, History, Iterable[Tuple[Any, float]]]


def _points(
    prices: Union[PriceSource, Mapping[str, PriceSource]], symbols: Sequence[str]
) -> List[Tuple[int, str, Decimal]]:
    def series(src: Any, sym: str) -> List[Tuple[int, str, Decimal]]:
        if isinstance(src, History):
            src = src[sym] if sym in src.symbols else (src.series[0] if len(src) == 1 else src[sym])
        if isinstance(src, Series):
            col = src.columns["close" if src.kind == BARS else "price" if src.kind == TRADES else "bid"]
            return [(t, sym, money(p)) for t, p in zip(src.columns["time"], col)]
        return [(to_utc_seconds(t), sym, money(p)) for t, p in src]

    if isinstance(prices, Mapping):
        pts = [p for sym, src in prices.items() for p in series(src, sym)]
    elif isinstance(prices, History) and len(prices) > 1:
        pts = [p for sym in prices.symbols for p in series(prices, sym)]
    else:
        if len(symbols) > 1:
            raise ValueError("trades in %s need a price series for each (a mapping)" % sorted(symbols))
        pts = series(prices, symbols[0] if symbols else "")
    pts.sort(key=lambda p: p[0])
    if not pts:
        raise ValueError("no prices")
    bad = next((p for p in pts if not p[2].is_finite() or p[2] <= 0), None)
    if bad is not None:
        raise ValueError("price %s of %s at %d is not a positive number" % (bad[2], bad[1] or "the series", bad[0]))
    return pts


class _Book:
    """Cash and positions as fills arrive; money exact."""

    def __init__(self, cash: Decimal) -> None:
        self.cash = cash
        self.pos: Dict[str, int] = {}
        self.mult: Dict[str, Decimal] = {}

    def apply(self, f: Fill) -> None:
        value = f.price * f.volume * f.multiplier
        self.cash += -f.side * value - f.fee
        self.pos[f.symbol] = self.pos.get(f.symbol, 0) + f.side * f.volume
        self.mult[f.symbol] = f.multiplier

    def equity(self, last: Mapping[str, Decimal]) -> Decimal:
        return self.cash + sum((last[s] * q * self.mult[s] for s, q in self.pos.items() if q), Decimal(0))

    def open(self) -> bool:
        return any(self.pos.values())


def _walk(
    trades: Iterable[Any], prices: Any, cash: Union[float, str, Decimal]
) -> Tuple[List[Tuple[int, Decimal]], List[bool]]:
    fs = fills(trades)
    book = _Book(money(cash))
    pts = _points(prices, sorted({f.symbol for f in fs}))
    last: Dict[str, Decimal] = {}
    curve: List[Tuple[int, Decimal]] = []
    held: List[bool] = []
    k = 0
    # Points of one second are one point: every price of that second is known first.
    times = sorted({p[0] for p in pts})
    j = 0
    for n, t in enumerate(times):
        while j < len(pts) and pts[j][0] == t:
            last[pts[j][1]] = pts[j][2]
            j += 1
        upto = times[n + 1] if n + 1 < len(times) else None
        during = book.open()
        while k < len(fs) and (upto is None or fs[k].time < upto):
            book.apply(fs[k])
            during = during or book.open()
            k += 1
        for s, q in book.pos.items():
            if q and s not in last:
                raise ValueError("a position in %s before its first price" % s)
        curve.append((t, book.equity(last)))
        held.append(during)
    return curve, held


def _cents(x: Decimal) -> float:
    return float(x.quantize(CENT, ROUND_HALF_UP))


def equity_curve(trades: Iterable[Any], prices: Any, cash: Union[float, str, Decimal]) -> List[Tuple[int, float]]:
    """(time, equity) at every price point, equity rounded to the cent."""
    curve, _ = _walk(trades, prices, cash)
    return [(t, _cents(e)) for t, e in curve]


def round_trips(trades: Iterable[Any]) -> List[Dict[str, Any]]:
    """Each trip from flat back to flat in one symbol: symbol, entry and exit
    time, volume (largest position), side (1 long, -1 short), pnl after fees.
    A fill that turns the position over is split, its fee pro rata."""
    out: List[Dict[str, Any]] = []
    open_: Dict[str, Dict[str, Any]] = {}
    pos: Dict[str, int] = {}
    for f in fills(trades):
        left, fee = f.volume, f.fee
        while left:
            q = pos.get(f.symbol, 0)
            part = min(left, abs(q)) if q and (q > 0) != (f.side > 0) else left
            part_fee = fee if part == left else (f.fee * part / f.volume)
            fee -= part_fee
            left -= part
            trip = open_.get(f.symbol)
            if trip is None:
                trip = open_[f.symbol] = {
                    "symbol": f.symbol,
                    "side": f.side,
                    "entry_time": f.time,
                    "volume": 0,
                    "pnl": Decimal(0),
                }
            trip["pnl"] += -f.side * f.price * part * f.multiplier - part_fee
            q += f.side * part
            pos[f.symbol] = q
            trip["volume"] = max(trip["volume"], abs(q))
            if q == 0:
                trip["exit_time"] = f.time
                trip["pnl"] = _cents(trip["pnl"])
                out.append(open_.pop(f.symbol))
    return out


def statistics(
    trades: Iterable[Any], prices: Any, cash: Union[float, str, Decimal], periods_per_year: float = 252.0
) -> Dict[str, Any]:
    """The statistics the module's docstring lists, and the final equity."""
    trades = list(trades)
    curve, held = _walk(trades, prices, cash)
    start = money(cash)
    values = [e for _, e in curve]
    peak, dd, dd_value = values[0], Decimal(0), Decimal(0)
    for e in values:
        peak = max(peak, e)
        if peak > 0 and (peak - e) / peak > dd:
            dd, dd_value = (peak - e) / peak, peak - e
    rets = [float(b / a - 1) for a, b in zip(values, values[1:]) if a != 0]
    sharpe = None
    if len(rets) > 1:
        mean = sum(rets) / len(rets)
        sd = math.sqrt(sum((r - mean) ** 2 for r in rets) / (len(rets) - 1))
        if sd > 0:
            sharpe = mean / sd * math.sqrt(periods_per_year)
    trips = round_trips(trades)
    return {
        "start_cash": _cents(start),
        "final_equity": _cents(values[-1]),
        "total_return": float(values[-1] / start - 1) if start else None,
        "max_drawdown": float(dd),
        "max_drawdown_value": _cents(dd_value),
        "sharpe": sharpe,
        "periods_per_year": periods_per_year,
        "win_rate": (sum(1 for r in trips if r["pnl"] > 0) / len(trips)) if trips else None,
        "exposure": sum(held) / len(held),
        "trades": len(trades),
        "round_trips": len(trips),
    }


def plot(
    trades: Iterable[Any], prices: Any, cash: Union[float, str, Decimal], path: str, title: Optional[str] = None
) -> str:
    """Saves price with entries (^) and exits (v) above the equity curve as a
    PNG at ``path``; needs matplotlib. One instrument."""
    try:
        import matplotlib

        matplotlib.use("Agg", force=False)
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("results.plot needs matplotlib (pip install matplotlib)") from None
    trades = list(trades)
    fs = fills(trades)
    pts = _points(prices, sorted({f.symbol for f in fs}))
    curve = equity_curve(trades, prices, cash)

    def day(t: int) -> _dt.datetime:
        return _dt.datetime.fromtimestamp(t, _dt.timezone.utc).replace(tzinfo=None)

    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(10, 6), gridspec_kw={"height_ratios": [2, 1]})
    try:
        top.plot([day(t) for t, _, _ in pts], [float(p) for _, _, p in pts], lw=0.8, color="0.3", label="price")
        for side, marker, color, label in ((1, "^", "tab:green", "buy"), (-1, "v", "tab:red", "sell")):
            mine = [f for f in fs if f.side == side]
            top.scatter(
                [day(f.time) for f in mine],
                [float(f.price) for f in mine],
                marker=marker,
                color=color,
                s=30,
                label=label,
                zorder=3,
            )
        top.legend(loc="upper left")
        top.set_ylabel("price")
        bottom.plot([day(t) for t, _ in curve], [e for _, e in curve], color="tab:blue")
        bottom.set_ylabel("equity")
        if title:
            top.set_title(title)
        fig.tight_layout()
        fig.savefig(path, format="png", dpi=100)
    finally:
        plt.close(fig)
    return path
