"""The replay's fill rules, in plain Python: the reference the native replay
is checked against, and small backtesters built on them, bar by bar
(:func:`run_bars`) and print by print (:func:`run_trades`).

Bars (:func:`bar_fill_price`): a market order fills at the open of the first
bar after it was placed. A resting buy limit at P fills at P when the bar's
low reaches P, or at the open when the bar opens at or below P (it gapped
through); a sell limit mirrors that with the high. Bars say nothing of queues,
so a touch fills the whole order.

Trades (:class:`QueuedOrder`, :func:`share_print`): a resting order at P
first waits for the volume queued ahead of it at P (the displayed volume
there when it was placed, and never less than that of our own earlier order
at P). A print at P by the other side (any side when the tape has none) is
shared in time priority: it uses up the volume ahead of the first order,
then fills it, then the volume ahead of the next beyond that, then the next,
until the print is used up; one order split in pieces fills as the whole
would. A print through P (below it for a buy, above for a sell) means the
whole price level was taken: the order fills in full, at P. A market order
fills at the next print's price.

Fees are those of the sandbox's equity accounts (:func:`equity_fees`), the
schedule the library defines (:func:`tavrolix_sandbox.broker.fees`): each a
rate of the value, rounded half up to the cent. Money is kept in ``Decimal``, exact to the cent.
"""

from __future__ import annotations

import datetime as _dt
import functools
from decimal import ROUND_FLOOR, ROUND_HALF_UP, Decimal
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

__all__ = [
    "equity_fees",
    "no_fees",
    "money",
    "bar_fill_price",
    "QueuedOrder",
    "share_print",
    "Context",
    "Run",
    "run_bars",
    "run_trades",
    "HOLD_FACTOR",  # noqa: F822 - the library's, read on first use (__getattr__ below)
    "CENT",
]

CENT = Decimal("0.01")


@functools.cache
def _equity_rates() -> Tuple[Tuple[str, Decimal], ...]:
    # The schedule the library defines (tavrolix_sandbox.broker.fees).
    from .broker import fees

    return tuple(fees().items())


@functools.cache
def _hold_factor() -> Decimal:
    # What an open buy order holds back of buying power per unit of value, as
    # the library defines it (tavrolix_sandbox.broker.hold_factor): the
    # largest affordable buy is sized by it.
    from .broker import hold_factor

    return hold_factor()


def __getattr__(name: str) -> Any:
    # HOLD_FACTOR is read from the library when first asked for, as the fees are.
    if name == "HOLD_FACTOR":
        return _hold_factor()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


Fees = Callable[[Decimal], Dict[str, Decimal]]


def money(x: Union[float, int, str, Decimal]) -> Decimal:
    """The decimal a float prints as (prices on a cent grid stay exact)."""
    if isinstance(x, Decimal):
        return x
    if isinstance(x, (int, str)):
        return Decimal(x)
    return Decimal(repr(float(x)))  # numpy scalars too


def equity_fees(value: Decimal) -> Dict[str, Decimal]:
    """The sandbox's equity fees on a fill of this value, by trade key."""
    return {k: (value * rate).quantize(CENT, ROUND_HALF_UP) for k, rate in _equity_rates()}


def no_fees(value: Decimal) -> Dict[str, Decimal]:
    return {}


# ---------------------------------------------------------------- the rules


def bar_fill_price(side: str, limit: Optional[float], open_: float, high: float, low: float) -> Optional[float]:
    """Price at which an order resting before this bar fills in it, or None.
    ``limit`` None is a market order."""
    if limit is None:
        return open_
    if side == "BUY":
        return open_ if open_ <= limit else (limit if low <= limit else None)
    if side == "SELL":
        return open_ if open_ >= limit else (limit if high >= limit else None)
    raise ValueError("side must be BUY or SELL, not %r" % (side,))


class QueuedOrder:
    """A resting limit order against a tape of trades: ``on_trade`` returns
    the volume the print fills (at ``price``). Several orders share a print
    through :func:`share_print`."""

    __slots__ = ("side", "price", "remaining", "ahead")

    def __init__(self, side: str, price: float, volume: int, ahead: int = 0) -> None:
        if side not in ("BUY", "SELL") or volume <= 0 or ahead < 0:
            raise ValueError("side BUY or SELL, volume > 0, ahead >= 0")
        self.side, self.price, self.remaining, self.ahead = side, price, int(volume), int(ahead)

    def on_trade(self, price: float, volume: int, aggressor: int = 0) -> int:
        """``aggressor``: 1 a buyer took offers, -1 a seller hit bids, 0 unknown."""
        return share_print([self], price, volume, aggressor)[0]


def share_print(orders: Sequence[QueuedOrder], price: float, volume: int, aggressor: int = 0) -> List[int]:
    """One print against resting orders given oldest first: the volume each
    fills (at its own price). Orders at the print's price share its volume
    in time priority, each after the volume ahead of it and after our own
    orders ahead of it on its side."""
    own: Dict[str, int] = {"BUY": 0, "SELL": 0}  # our volume ahead at the print's price, before it
    used: Dict[str, int] = {"BUY": 0, "SELL": 0}  # of the print, what went to our orders so far
    out = []
    for q in orders:
        filled = 0
        buy = q.side == "BUY"
        if q.remaining and ((price < q.price) if buy else (price > q.price)):
            filled = q.remaining
        elif q.remaining and price == q.price and aggressor != (1 if buy else -1):
            filled = max(0, min(q.remaining, volume - (q.ahead + own[q.side])))
            q.ahead -= min(q.ahead, max(0, volume - used[q.side]))
            own[q.side] += q.remaining
            used[q.side] += filled
        q.remaining -= filled
        out.append(filled)
    return out


# ---------------------------------------------------------------- bar backtester


class _Order:
    __slots__ = ("id", "side", "volume", "limit", "placed", "queue")

    def __init__(self, id: int, side: str, volume: Optional[int], limit: Optional[float], placed: int) -> None:
        self.id, self.side, self.volume, self.limit, self.placed = id, side, volume, limit, placed
        self.queue: Optional[QueuedOrder] = None


class Context:
    """What a strategy sees after each bar's close, and how it orders.

    ``i`` the bar's index, ``bar`` its row (time, open, high, low, close,
    volume), ``closes`` the closes up to and including it, ``position``,
    ``cash`` (Decimal), ``orders`` the ids of orders still resting. On a
    tape (:func:`run_trades`) ``bar`` is the trade's row (time, price,
    volume, side) and ``closes`` the prices.
    """

    def __init__(self, run: Run) -> None:
        self._run = run
        self.i = -1
        self.bar: Mapping[str, Any] = {}
        self.closes: List[float] = []

    @property
    def position(self) -> int:
        return self._run.position

    @property
    def cash(self) -> Decimal:
        return self._run.cash

    @property
    def orders(self) -> List[int]:
        return [o.id for o in self._run.resting]

    def buy(self, volume: Optional[int] = None, price: Optional[float] = None) -> int:
        """Buy ``volume`` (None: as many lots as the cash buys at the fill,
        by ``HOLD_FACTOR``, the library's hold factor) at the limit ``price`` (None: market)."""
        return self._run.place("BUY", volume, price)

    def sell(self, volume: Optional[int] = None, price: Optional[float] = None) -> int:
        """Sell ``volume`` (None: the whole position at the fill)."""
        return self._run.place("SELL", volume, price)

    def cancel(self, order_id: int) -> bool:
        before = len(self._run.resting)
        self._run.resting = [o for o in self._run.resting if o.id != order_id]
        return len(self._run.resting) < before


class Run:
    """One account trading one instrument under the bar rules (``on_bar``) or
    the trade rules (``on_quote``, ``on_print``).

    Orders are checked when they fill: a market buy fills what the cash pays
    for (value times ``HOLD_FACTOR``) at its price; a limit buy the cash
    cannot pay and a sale of more than the position are dropped, unfilled
    (the rest of one partly filled too); an all-in buy
    that affords not one lot is dropped too. On a tape, an all-in limit buy
    is sized when placed, at its limit; a limit order queues behind the
    quoted volume at its price when that is the quoted best on its side.
    """

    def __init__(self, symbol: str, cash: Union[float, str, Decimal], fees: Fees = equity_fees, lot: int = 1) -> None:
        self.symbol, self.fees, self.lot = symbol, fees, int(lot)
        self.cash = money(cash)
        self.start_cash = self.cash
        self.position = 0
        self.resting: List[_Order] = []
        self.dropped: List[int] = []
        self.trades: List[Dict[str, Any]] = []
        self._next_id = 1
        self._now = 0
        self.tape = False
        self.quote: Optional[Tuple[float, int, float, int]] = None  # bid, bid volume, ask, ask volume

    def place(self, side: str, volume: Optional[int], limit: Optional[float]) -> int:
        if volume is not None and (volume <= 0 or volume % self.lot):
            raise ValueError("volume must be a positive multiple of the lot (%d)" % self.lot)
        if limit is not None and not limit > 0:
            raise ValueError("a limit price must be positive, not %r" % (limit,))
        order = _Order(self._next_id, side, volume, limit, self._now)
        self._next_id += 1
        if self.tape and limit is not None:
            if volume is None:
                volume = order.volume = self._all_in(money(limit)) if side == "BUY" else self.position
            ahead = 0
            if self.quote is not None:
                bid, bid_volume, ask, ask_volume = self.quote
                ahead = bid_volume if side == "BUY" and limit == bid else ask_volume if limit == ask else 0
            for o in self.resting:  # never ahead of our own earlier order's place
                if o.queue is not None and o.queue.remaining and o.side == side and o.limit == limit:
                    ahead = max(ahead, o.queue.ahead)
            if volume > 0:
                order.queue = QueuedOrder(side, limit, volume, ahead)
        self.resting.append(order)
        return order.id

    def _all_in(self, p: Decimal) -> int:
        return int((self.cash / (p * _hold_factor()) / self.lot).to_integral_value(ROUND_FLOOR)) * self.lot

    def _fill(self, order: _Order, price: float, t: int, part: Optional[int] = None) -> None:
        p = money(price)
        volume = order.volume if part is None else part
        if order.side == "BUY":
            if volume is None:
                volume = self._all_in(p)
            elif order.limit is None:  # a market buy fills what the cash pays for at its price
                volume = min(volume, self._all_in(p))
            if volume <= 0 or p * volume * _hold_factor() > self.cash:
                self.dropped.append(order.id)
                return
        else:
            volume = self.position if volume is None else volume
            if volume <= 0 or volume > self.position:
                self.dropped.append(order.id)
                return
        value = p * volume
        fees = self.fees(value)
        total = sum(fees.values(), Decimal(0))
        self.cash += -value - total if order.side == "BUY" else value - total
        self.position += volume if order.side == "BUY" else -volume
        when = _dt.datetime.fromtimestamp(t, _dt.timezone.utc)
        trade: Dict[str, Any] = {
            "symbol": self.symbol,
            "side": order.side,
            "px": float(p),
            "qty": volume,
            "order_no": order.id,
            "trade_date": when.strftime("%Y-%m-%d"),
            "trade_time": when.strftime("%H:%M:%S"),
        }
        trade.update((k, float(v)) for k, v in fees.items())
        self.trades.append(trade)

    def on_bar(self, bar: Mapping[str, Any]) -> None:
        """Fills what rests against the bar, market orders first, then by age."""
        t = bar["time"]
        still: List[_Order] = []
        for order in sorted(self.resting, key=lambda o: o.limit is not None):
            price = bar_fill_price(order.side, order.limit, bar["open"], bar["high"], bar["low"])
            if price is None:
                still.append(order)
            else:
                self._fill(order, price, t)
        self.resting = sorted(still, key=lambda o: o.id)
        self._now = t

    def on_quote(self, quote: Mapping[str, Any]) -> None:
        self.quote = (quote["bid"], quote["bid_volume"], quote["ask"], quote["ask_volume"])
        self._now = quote["time"]

    def on_print(self, trade: Mapping[str, Any]) -> None:
        """Fills what rests against one print: market orders in full at its
        price, then limit orders sharing it by the queue rule, at their price."""
        t = trade["time"]
        still: List[_Order] = []
        limits = [o for o in self.resting if o.limit is not None]  # oldest first
        for order in self.resting:
            if order.limit is None:
                self._fill(order, trade["price"], t)
        queued = [o for o in limits if o.queue is not None]
        shares = share_print([o.queue for o in queued], trade["price"], trade["volume"], trade["side"])  # type: ignore[misc]
        filled = dict(zip((o.id for o in queued), shares))
        for order in limits:
            queue = order.queue
            n = filled.get(order.id, 0)
            if n:
                before = len(self.dropped)
                self._fill(order, order.limit, t, n)  # type: ignore[arg-type]
                if len(self.dropped) > before or not queue or not queue.remaining:
                    continue
            if queue is not None and queue.remaining:
                still.append(order)
            elif queue is None:
                self.dropped.append(order.id)  # sized to nothing when placed
        self.resting = sorted(still, key=lambda o: o.id)
        self._now = t


def run_trades(
    tape: Any,
    strategy: Callable[[Context], None],
    cash: Union[float, str, Decimal] = 10000,
    fees: Fees = equity_fees,
    lot: int = 1,
    symbol: Optional[str] = None,
) -> Run:
    """Backtests ``strategy`` (called after every print) over a History with
    one instrument's trades and, optionally, its quotes."""
    from .history import QUOTES, TRADES

    name = symbol or tape.symbols[0]
    prints, quotes = tape.get(name, TRADES), tape.get(name, QUOTES)
    if prints is None or len(tape.symbols) != 1:
        raise ValueError("run_trades takes one instrument's trades (and quotes)")
    run = Run(name, cash, fees, lot)
    run.tape = True
    ctx = Context(run)
    order = [s for s in tape.series]
    for _, k, row in tape.events():
        series = order[k]
        if series is quotes:
            run.on_quote(series.row(row))
        elif series is prints:
            trade = series.row(row)
            run.on_print(trade)
            ctx.i, ctx.bar = ctx.i + 1, trade
            ctx.closes.append(trade["price"])
            strategy(ctx)
    return run


def run_bars(
    bars: Any,
    strategy: Callable[[Context], None],
    cash: Union[float, str, Decimal] = 10000,
    fees: Fees = equity_fees,
    lot: int = 1,
    symbol: Optional[str] = None,
) -> Run:
    """Backtests ``strategy`` (called after every bar's close) over ``bars``:
    a :class:`~tavrolix_sandbox.history.Series` of bars, a History of one
    instrument's bars, or rows with time/open/high/low/close."""
    from .history import BARS, History, Series

    if isinstance(bars, History):
        if len(bars) != 1 or bars.series[0].kind != BARS:
            raise ValueError("run_bars takes one instrument's bars")
        bars = bars.series[0]
    rows: Sequence[Mapping[str, Any]] = list(bars)
    name = symbol or (bars.symbol if isinstance(bars, Series) else "X")
    run = Run(name, cash, fees, lot)
    ctx = Context(run)
    for i, bar in enumerate(rows):
        run.on_bar(bar)
        ctx.i, ctx.bar = i, bar
        ctx.closes.append(bar["close"])
        strategy(ctx)
    return run
