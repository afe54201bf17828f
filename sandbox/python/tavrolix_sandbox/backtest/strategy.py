"""The strategy base class. It is written on the client ``tavrolix`` alone
(and the standard library; numpy when installed), so the very same class
trades against replayed history (:class:`~tavrolix_sandbox.backtest.Backtest`)
and live (:func:`~tavrolix_sandbox.backtest.run_live`): a driver hands it
bars and order updates, and it orders through a client account.
"""

from __future__ import annotations

import math
from array import array
from decimal import ROUND_FLOOR, Decimal
from typing import Any, Callable, Dict, Iterable, List, NamedTuple, Optional, Sequence, Tuple

import tavrolix

__all__ = ["Strategy", "Bar", "Fill", "Order", "Bars"]

_FINAL = {str(s).upper() for s in tavrolix.FINAL_STATUSES}

_np: Any
try:  # views of the columns without a copy; plain lists of the window without numpy
    import numpy as _np
except ImportError:  # pragma: no cover - numpy comes with the module's tests
    _np = None


class Bar(NamedTuple):
    symbol: str
    time: int  # opening time, UTC seconds
    open: float
    high: float
    low: float
    close: float
    volume: int


class Fill(NamedTuple):
    symbol: str
    side: str  # "BUY" or "SELL"
    price: float
    volume: int
    order_no: Any
    time: str  # the library's event time


class Order:
    """An order of the strategy as its updates leave it."""

    __slots__ = ("order_no", "symbol", "side", "volume", "price", "status", "matched", "placed", "tag")

    def __init__(self, order_no: Any, symbol: str, side: str, volume: int, price: Optional[float], placed: int) -> None:
        self.order_no, self.symbol, self.side, self.volume, self.price = order_no, symbol, side, volume, price
        self.status, self.matched, self.placed, self.tag = "PENDING", 0, placed, None

    @property
    def open(self) -> bool:
        return self.status not in _FINAL

    def __repr__(self) -> str:
        return "Order(%s %s %s %d @ %s, %s, matched %d)" % (
            self.order_no,
            self.side,
            self.symbol,
            self.volume,
            "MARKET" if self.price is None else self.price,
            self.status,
            self.matched,
        )


def _view(col: array[Any]) -> Any:
    return _np.frombuffer(col, dtype="i8" if col.typecode == "q" else "f8") if _np is not None else col


class _Column:
    """``bars.<name>``: that column of the bars so far, as a view."""

    __slots__ = ("name",)

    def __set_name__(self, owner: type, name: str) -> None:
        self.name = name

    def __get__(self, bars: Optional[Bars], owner: Optional[type] = None) -> Any:
        if bars is None:
            return self
        return bars._views[self.name][: bars.n]


class Bars:
    """One symbol's bars so far, by column: ``bars.close[-1]`` is the latest
    close, ``bars.close[-20:]`` the last twenty (numpy views, not copies, when
    numpy is installed; arrays otherwise). ``len(bars)`` bars have closed.
    ``bars.window("high", 20, skip=1)`` is the twenty highs before the
    latest, in one step."""

    __slots__ = ("_cols", "_views", "n", "symbol")

    _NAMES = ("time", "open", "high", "low", "close", "volume")

    def __init__(self, symbol: str, columns: Optional[Dict[str, Any]] = None) -> None:
        self.symbol = symbol
        self.n = 0
        # Given columns hold the whole history (a backtest): the window only moves.
        if columns is None:
            columns = {k: array("q" if k in ("time", "volume") else "d", bytes(8 * 64)) for k in self._NAMES}
        self._cols = columns
        self._views = {k: _view(v) for k, v in columns.items()}

    def _append(self, bar: Bar) -> None:
        n = self.n
        if n == len(self._cols["time"]):
            # new, twice as long: views handed out before keep their own buffer
            self._cols = {k: v + array(v.typecode, bytes(8 * len(v))) for k, v in self._cols.items()}
            self._views = {k: _view(v) for k, v in self._cols.items()}
        for k, value in zip(self._NAMES, bar[1:]):
            self._cols[k][n] = value
        self.n = n + 1

    def __len__(self) -> int:
        return self.n

    time = _Column()
    open = _Column()
    high = _Column()
    low = _Column()
    close = _Column()
    volume = _Column()

    def window(self, name: str, k: int, skip: int = 0) -> Any:
        """The ``k`` values of column ``name`` before the last ``skip`` (fewer near the start)."""
        end = self.n - skip
        return self._views[name][max(0, end - k) : max(0, end)]

    def last(self, k: int) -> Any:
        """The last ``k`` closes (fewer while there are fewer bars)."""
        return self.window("close", k)


class Strategy:
    """Subclass it; give parameters as class attributes (a backtest's
    keyword arguments set them), and any of:

    * ``init(self)``: once, before the first bar;
    * ``on_bar(self, bar)``: after each closed :class:`Bar` of each symbol;
    * ``on_fill(self, fill)``: after each fill of one of its orders
      (a :class:`Fill`), before the next bar;
    * ``on_order(self, order)``: after any other change of an order.

    It trades through the account it was given (``self.account``, a
    ``tavrolix`` account), and everything it offers is built on that account
    and its order updates, so it behaves the same live and on history.
    """

    #: the symbols it trades; the driver sets them (the history's, or run_live's)
    symbols: Tuple[str, ...] = ()

    def __init__(
        self,
        account: Any,
        symbols: Sequence[str],
        *,
        lots: Optional[Dict[str, int]] = None,
        ticks: Optional[Dict[str, float]] = None,
        hold: float = 1.0,
        **params: Any,
    ) -> None:
        for name, value in params.items():
            if name.startswith("_") or not hasattr(type(self), name) or callable(getattr(type(self), name)):
                raise TypeError(
                    "%s has no parameter %r (parameters are the class's attributes)" % (type(self).__name__, name)
                )
            setattr(self, name, value)
        self.account = account
        self.symbols = tuple(symbols)
        self.symbol = self.symbols[0] if self.symbols else ""
        self.lots = {s: int((lots or {}).get(s, 1)) for s in self.symbols}
        self.ticks = {s: float((ticks or {}).get(s, 0.0)) for s in self.symbols}
        # What a buy holds back of buying power per unit of value (the fees
        # the broker reserves): all-in sizing divides by it.
        self.hold = float(hold)
        self.data: Dict[str, Bars] = {s: Bars(s) for s in self.symbols}
        self.bar: Optional[Bar] = None
        self.now = 0
        self.orders: Dict[Any, Order] = {}
        self._open: Dict[Any, Order] = {}
        self._pos: Dict[str, int] = {s: 0 for s in self.symbols}
        self._cost: Dict[str, float] = {s: 0.0 for s in self.symbols}  # signed value of the position at entry
        self._last: Dict[str, float] = {}
        self.indicators: Dict[Tuple[str, str], Tuple[array[int], array[float], bool]] = {}
        self._i = 0

    # ---------------------------------------------------------------- hooks

    def init(self) -> None:
        pass

    def on_bar(self, bar: Bar) -> None:
        pass

    def on_fill(self, fill: Fill) -> None:
        pass

    def on_order(self, order: Order) -> None:
        pass

    # ---------------------------------------------------------------- state

    def position(self, symbol: Optional[str] = None) -> int:
        """Units held (negative when short), from the fills of its orders."""
        return self._pos.get(symbol or self.symbol, 0)

    def entry_price(self, symbol: Optional[str] = None) -> Optional[float]:
        """The average price of the position held, from its fills (None when flat)."""
        s = symbol or self.symbol
        q = self._pos.get(s, 0)
        return self._cost[s] / q if q else None

    def open_orders(self, symbol: Optional[str] = None) -> List[Order]:
        return [o for o in self._open.values() if symbol is None or o.symbol == symbol]

    @property
    def cash(self) -> float:
        """The account's cash as the broker has it now (one query)."""
        info = self.account.info()
        return float(info.get("cash_balance", info.get("cash", 0.0)))

    @property
    def buying_power(self) -> float:
        info = self.account.info()
        for key in ("line_available", "excess_equity", "cash_balance"):
            if key in info and info[key] is not None:
                return float(info[key])
        return 0.0

    @property
    def equity(self) -> float:
        """Cash plus the positions at their latest closes."""
        return self.cash + sum(q * self._last.get(s, 0.0) for s, q in self._pos.items() if q)

    # ---------------------------------------------------------------- sizing

    def size(
        self,
        symbol: Optional[str] = None,
        *,
        units: Optional[int] = None,
        cash: Optional[float] = None,
        fraction: Optional[float] = None,
        price: Optional[float] = None,
    ) -> int:
        """Whole lots: ``units`` rounded down to the lot, or as many as ``cash``
        (money) or ``fraction`` of the equity buys at ``price`` (default: the
        last close), never more than the buying power holds for."""
        s = symbol or self.symbol
        lot = self.lots.get(s, 1)
        given = sum(x is not None for x in (units, cash, fraction))
        if given != 1:
            raise ValueError("size by exactly one of units, cash or fraction")
        if units is not None:
            if units < 0 or units != int(units):
                raise ValueError("units must be a whole number, 0 or more, not %r" % (units,))
            return int(units) // lot * lot
        p = price if price is not None else self._last.get(s)
        if p is None or not p > 0:
            raise ValueError("no price of %s to size at yet" % s)
        if fraction is not None:
            if not 0 <= fraction <= 1:
                raise ValueError("fraction must be between 0 and 1, not %r" % (fraction,))
            power = self.buying_power
            amount = min(power, fraction * self.equity) if fraction < 1 else power
        else:
            if cash is None or not cash >= 0 or math.isinf(cash):
                raise ValueError("cash must be a finite amount, 0 or more, not %r" % (cash,))
            amount = min(cash, self.buying_power)
        # in decimals: a float quotient a hair under a whole number would lose a lot
        each = Decimal(repr(float(p))) * Decimal(repr(self.hold)) * lot
        return int((Decimal(repr(float(amount))) / each).to_integral_value(ROUND_FLOOR)) * lot

    # ---------------------------------------------------------------- orders

    def buy(
        self,
        symbol: Optional[str] = None,
        volume: Optional[int] = None,
        *,
        price: Optional[float] = None,
        cash: Optional[float] = None,
        fraction: Optional[float] = None,
        **options: Any,
    ) -> Optional[Any]:
        """A buy order: ``volume`` units, or sized by ``cash`` or ``fraction``
        of equity (all in when none is given); LIMIT at ``price``, MARKET
        without. Returns the order number, None when it sizes to nothing."""
        return self._place("BUY", symbol, volume, price, cash, fraction, options)

    def sell(
        self,
        symbol: Optional[str] = None,
        volume: Optional[int] = None,
        *,
        price: Optional[float] = None,
        cash: Optional[float] = None,
        fraction: Optional[float] = None,
        **options: Any,
    ) -> Optional[Any]:
        """A sell order: ``volume`` units (the whole long position when none
        is given and nothing else sizes it)."""
        return self._place("SELL", symbol, volume, price, cash, fraction, options)

    def close(self, symbol: Optional[str] = None, *, price: Optional[float] = None) -> Optional[Any]:
        """Order the position flat (MARKET, or LIMIT at ``price``)."""
        s = symbol or self.symbol
        q = self._pos.get(s, 0)
        if not q:
            return None
        return self._place("SELL" if q > 0 else "BUY", s, abs(q), price, None, None, {})

    def cancel(self, order_no: Any) -> None:
        self.account.cancel(order_no)

    def _place(
        self,
        side: str,
        symbol: Optional[str],
        volume: Optional[int],
        price: Optional[float],
        cash: Optional[float],
        fraction: Optional[float],
        options: Dict[str, Any],
    ) -> Optional[Any]:
        s = symbol or self.symbol
        if s not in self._pos:
            raise ValueError("%r is not one of the strategy's symbols %s" % (s, list(self.symbols)))
        if volume is None:
            if side == "SELL" and cash is None and fraction is None:
                volume = max(self._pos[s], 0)
            else:
                volume = self.size(
                    s, cash=cash, fraction=1.0 if cash is None and fraction is None else fraction, price=price
                )
        elif volume % self.lots.get(s, 1) or volume < 0:
            raise ValueError("volume %r of %s is not a whole number of lots of %d" % (volume, s, self.lots[s]))
        if volume <= 0:
            return None
        order_no = self.account.place(s, side, int(volume), price=price, **options)
        order = Order(order_no, s, side, int(volume), price, self.now)
        self.orders[order_no] = self._open[order_no] = order
        return order_no

    # ---------------------------------------------------------------- indicators

    def indicator(self, name: str, value: float, *, symbol: Optional[str] = None, overlay: bool = True) -> float:
        """Record ``value`` of indicator ``name`` at the current bar, for the
        report (``overlay``: drawn over the prices, else in a panel of its own).
        Returns the value."""
        key = (symbol or (self.bar.symbol if self.bar else self.symbol), name)
        rec = self.indicators.get(key)
        if rec is None:
            rec = self.indicators[key] = (array("q"), array("d"), overlay)
        rec[0].append(self.now)
        rec[1].append(math.nan if value is None else float(value))
        return value

    # ---------------------------------------------------------------- the driver's side

    def _on_update(self, u: Dict[str, Any]) -> Optional[Fill]:
        """One order update (the client's payload): keeps the order, the
        position and the entry price; returns the fill it reports, if any."""
        order = self.orders.get(u.get("order_no"))
        if order is None:
            return None  # someone else's order on the account
        status = str(u.get("status") or "").upper()
        if status:
            order.status = status
        fill = None
        volume = int(u.get("match_volume") or 0)
        if volume:
            price = float(u["match_price"])
            order.matched += volume
            s = order.symbol
            q = self._pos[s]
            signed = volume if order.side == "BUY" else -volume
            if q == 0 or (q > 0) == (signed > 0):
                self._cost[s] += signed * price
            elif abs(signed) <= abs(q):
                self._cost[s] *= (q + signed) / q
            else:  # turned over: the rest opens at this price
                self._cost[s] = (q + signed) * price
            self._pos[s] = q + signed
            fill = Fill(s, order.side, price, volume, order.order_no, str(u.get("event_time") or ""))
        if not order.open:
            self._open.pop(order.order_no, None)
        return fill

    def _dispatch(self, updates: Iterable[Dict[str, Any]]) -> None:
        for u in updates:
            fill = self._on_update(u)
            order = self.orders.get(u.get("order_no"))
            if fill is not None:
                self.on_fill(fill)
            elif order is not None:
                self.on_order(order)

    def _bar(self, bar: Bar) -> None:
        self.bar = bar
        self.now = bar.time
        self._last[bar.symbol] = bar.close
        self.on_bar(bar)


Hook = Callable[[Strategy], None]
