"""Clients, accounts and their requests, on the module's functions alone."""

from __future__ import annotations

import weakref
from typing import TYPE_CHECKING, Any, Collection, List, Literal, Optional, Tuple, TypeVar, Union, overload

import tavrolix_open_api as _tv

from .candles import Candles
from .enums import OPEN_STATUSES, fold
from .errors import AuthenticationError, refusal, refused
from .streams import OrderStream, Stream

if TYPE_CHECKING:
    from typing import Sequence

    import numpy
    import numpy.typing
    from tavrolix_open_api import (
        Accepted,
        Context,
        DerivativesOrder,
        DerivativesOrderActionError,
        DerivativesPosition,
        DerivativesTrade,
        EquityOrder,
        EquityOrderActionError,
        EquityPosition,
        EquityTrade,
        PlacedDerivativesOrder,
        PlacedEquityOrder,
        Refused,
    )
    from tavrolix_open_api import (
        DerivativesAccount as DerivativesAccountInfo,
    )
    from tavrolix_open_api import (
        EquityAccount as EquityAccountInfo,
    )

    from .payloads import BidOffer, Candle, DerivativesOrderUpdate, EquityOrderUpdate, PriceInfo

    OrderNumbers = Union[numpy.typing.NDArray[numpy.int32], Sequence[int]]
    EquityOrderNumbers = Union[List[str], Tuple[str, ...]]
    R = TypeVar("R", EquityOrder, DerivativesOrder)
    # A placement's arguments to the module before the PIN (symbol, price, volume, side[, position]) and after it.
    EquityHead = Tuple[str, float, int, str]
    EquityTail = Tuple[str, str, str, str, bool, int, bool]
    DerivativesHead = Tuple[str, float, int, str, str]
    DerivativesTail = Tuple[str, str, str, str, float, bool]

__all__ = [
    "connect",
    "Investor",
    "MarketRep",
    "InvestorEquityAccount",
    "InvestorDerivativesAccount",
    "MarketRepEquityAccount",
    "MarketRepDerivativesAccount",
]

MARKET_QUEUE = 1024  # market-data events kept before the oldest is dropped
ORDER_QUEUE = 4096  # order updates kept before the library's thread is held

Statuses = Union[None, str, Collection[str]]
_S = TypeVar("_S", bound="Stream[Any]")
_D = TypeVar("_D")


def _filter(data: List[R], open_only: bool, symbol: Optional[str], status: Statuses) -> List[R]:
    # Symbols and statuses match as the library matches them: without regard to ASCII case.
    wanted: Optional[Collection[str]] = None
    if status is not None:
        wanted = frozenset(fold(s) for s in ((status,) if isinstance(status, str) else status))
    if open_only:
        open_ = frozenset(fold(s) for s in OPEN_STATUSES)
        wanted = open_ if wanted is None else open_ & frozenset(wanted)
    sym = None if symbol is None else fold(symbol)
    out = []
    for o in data:
        if sym is not None and fold(o["symbol"] or "") != sym:
            continue
        if wanted is not None and fold(o["status"] or "") not in wanted:
            continue
        out.append(o)
    return out


def _listed(r: Any, open_only: bool, symbol: Optional[str], status: Statuses) -> List[Any]:
    """The orders of a list envelope, filtered when asked; its refusal raised."""
    data: List[Any] = _data(r)
    if open_only or symbol is not None or status is not None:
        return _filter(data, open_only, symbol, status)
    return data


def _time(value: Union[str, int]) -> str:
    return value if isinstance(value, str) else str(int(value))


def _no_number() -> RuntimeError:
    return RuntimeError("the library accepted the order but gave no order number")


def _is_one(order_no: Any) -> bool:
    return isinstance(order_no, (int, str)) or not hasattr(order_no, "__len__")


def _priced(price: Optional[float], price_type: Optional[str]) -> Tuple[float, str]:
    """The price and price type an order goes with: LIMIT at ``price``, or MARKET (price 0) without one."""
    if price is None:
        return 0.0, price_type or "MARKET"
    return price, price_type or "LIMIT"


def _data(r: Union[Accepted[_D], Refused[Any]]) -> _D:
    """The ``data`` of an envelope the library accepted; its refusal raised."""
    if r["success"]:
        return r["data"]
    raise refused(r)


def _order_no(r: Union[Accepted[PlacedDerivativesOrder], Refused[Any]]) -> int:
    return _data(r)["order_no"]


def _equity_order_no(r: Union[Accepted[PlacedEquityOrder], Refused[Any]]) -> str:
    order_no = _data(r)["order_no"]
    if order_no is None:
        raise _no_number()
    return order_no


class _Client:
    """What both kinds of user have: the login, market data and candlestick history."""

    def __init__(self, context: Context) -> None:
        channel = context["channel_id"]
        if channel is None:
            raise RuntimeError("the library gave the login no channel")
        #: The module's context dictionary, for calling ``tavrolix_open_api`` directly.
        self.context: Context = context
        self.channel: str = channel
        self._streams: weakref.WeakSet[Stream[Any]] = weakref.WeakSet()

    def _track(self, stream: _S) -> _S:
        self._streams.add(stream)
        return stream

    def close(self) -> None:
        """Close every stream of this client that is still open (the module has no logout); the first
        failure to unsubscribe is raised once all were tried."""
        failure: Optional[BaseException] = None
        for stream in list(self._streams):
            try:
                stream.close()
            except Exception as e:
                failure = failure or e
        if failure is not None:
            raise failure

    def __enter__(self: _C) -> _C:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def candlesticks(
        self,
        symbol: str,
        interval: str,
        *,
        count: int = 100,
        start: Union[str, int] = "",
        end: Union[str, int] = "",
        normalized: bool = False,
    ) -> Candles:
        """Candlestick history by column: the most recent ``count`` candles between ``start`` and ``end``
        ("" open-ended; a text or seconds since 1970)."""
        r = _tv.get_candlesticks(self.context, symbol, interval, count, normalized, _time(start), _time(end))
        if r["success"]:
            return Candles(r["data"], r["message"])
        raise refused(r)

    def bid_offer(
        self, symbol: str, *, maxsize: int = MARKET_QUEUE, timeout: Optional[float] = None
    ) -> Stream[BidOffer]:
        """The book's best bids and offers of ``symbol``, on every change; drops the oldest when full."""
        ctx = self.context
        return self._track(
            Stream(
                lambda sink: _tv.subscribe_bid_offer(ctx, symbol, sink),
                self.channel,
                maxsize=maxsize,
                block=False,
                timeout=timeout,
            )
        )

    def price_info(
        self, symbol: str, *, maxsize: int = MARKET_QUEUE, timeout: Optional[float] = None
    ) -> Stream[PriceInfo]:
        """Price information of ``symbol`` after every trade; drops the oldest when full."""
        ctx = self.context
        return self._track(
            Stream(
                lambda sink: _tv.subscribe_price_info(ctx, symbol, sink),
                self.channel,
                maxsize=maxsize,
                block=False,
                timeout=timeout,
            )
        )

    def candle_updates(
        self, symbol: str, interval: str, *, maxsize: int = MARKET_QUEUE, timeout: Optional[float] = None
    ) -> Stream[Candle]:
        """The newest candle of ``symbol`` at ``interval`` after every trade; drops the oldest when full."""
        ctx = self.context
        return self._track(
            Stream(
                lambda sink: _tv.subscribe_candlestick(ctx, symbol, interval, sink),
                self.channel,
                maxsize=maxsize,
                block=False,
                timeout=timeout,
            )
        )


_C = TypeVar("_C", bound=_Client)


class _Account:
    __slots__ = ("client", "account_no", "_ctx", "__weakref__")

    def __init__(self, client: _Client, account_no: str) -> None:
        self.client = client
        self.account_no = account_no
        self._ctx = client.context

    def __repr__(self) -> str:
        return "<%s %s>" % (type(self).__name__, self.account_no)


# ---------------------------------------------------------------- equity
class _EquityAccount(_Account):
    __slots__ = ()

    def _submit(self, head: EquityHead, tail: EquityTail) -> str:
        """Place the order: ``head`` are the module's arguments before the PIN, ``tail`` those after
        (joined into one tuple for the call, so that the type checker matches each argument)."""
        raise NotImplementedError

    def place(
        self,
        symbol: str,
        side: str,
        volume: int,
        *,
        price: Optional[float] = None,
        price_type: Optional[str] = None,
        validity: str = "DAY",
        trustee_id: str = "",
        order_type: str = "",
        nvdr: bool = False,
        iceberg_volume: int = 0,
        bypass_warning: bool = False,
    ) -> str:
        """Place an order and return its number: LIMIT at ``price``, or MARKET without one."""
        price_, price_type_ = _priced(price, price_type)
        return self._submit(
            (symbol, price_, volume, side),
            (price_type_, validity, trustee_id, order_type, nvdr, iceberg_volume, bypass_warning),
        )

    def buy(
        self,
        symbol: str,
        volume: int,
        *,
        price: Optional[float] = None,
        price_type: Optional[str] = None,
        validity: str = "DAY",
        trustee_id: str = "",
        order_type: str = "",
        nvdr: bool = False,
        iceberg_volume: int = 0,
        bypass_warning: bool = False,
    ) -> str:
        """``place(symbol, "BUY", volume, ...)``."""
        price_, price_type_ = _priced(price, price_type)
        return self._submit(
            (symbol, price_, volume, "BUY"),
            (price_type_, validity, trustee_id, order_type, nvdr, iceberg_volume, bypass_warning),
        )

    def sell(
        self,
        symbol: str,
        volume: int,
        *,
        price: Optional[float] = None,
        price_type: Optional[str] = None,
        validity: str = "DAY",
        trustee_id: str = "",
        order_type: str = "",
        nvdr: bool = False,
        iceberg_volume: int = 0,
        bypass_warning: bool = False,
    ) -> str:
        """``place(symbol, "SELL", volume, ...)``."""
        price_, price_type_ = _priced(price, price_type)
        return self._submit(
            (symbol, price_, volume, "SELL"),
            (price_type_, validity, trustee_id, order_type, nvdr, iceberg_volume, bypass_warning),
        )

    def order(self, order_no: str) -> EquityOrder:
        raise NotImplementedError

    def _orders(self) -> Any:
        raise NotImplementedError

    def orders(
        self, *, open_only: bool = False, symbol: Optional[str] = None, status: Statuses = None
    ) -> List[EquityOrder]:
        """The account's orders; only those still open, of ``symbol``, or with ``status`` (one or several)."""
        return _listed(self._orders(), open_only, symbol, status)

    def order_updates(
        self, *, maxsize: int = ORDER_QUEUE, timeout: Optional[float] = None
    ) -> OrderStream[EquityOrderUpdate, EquityOrder, str]:
        """Every change of the account's orders; never drops one (a full queue holds the library's thread)."""
        ctx, account_no = self._ctx, self.account_no
        return self.client._track(
            OrderStream(
                lambda sink: _tv.subscribe_equity_order(ctx, account_no, sink),
                self.client.channel,
                self.order,
                maxsize=maxsize,
                timeout=timeout,
            )
        )


class InvestorEquityAccount(_EquityAccount):
    """An investor's equity account; order actions carry the investor's PIN."""

    __slots__ = ("_pin",)

    def __init__(self, client: _Client, account_no: str, pin: str) -> None:
        super().__init__(client, account_no)
        self._pin = pin

    def _submit(self, head: EquityHead, tail: EquityTail) -> str:
        return _equity_order_no(_tv.place_investor_equity_order(self._ctx, self.account_no, *(*head, self._pin, *tail)))

    def change(
        self,
        order_no: str,
        *,
        price: Optional[float] = None,
        volume: Optional[int] = None,
        price_type: Optional[str] = None,
        trustee_id: Optional[str] = None,
        iceberg_volume: Optional[int] = None,
        bypass_warning: bool = False,
    ) -> None:
        """Change an order; what is not given stays. ``volume`` is the order's new whole volume."""
        r = _tv.change_investor_equity_order(
            self._ctx,
            self.account_no,
            order_no,
            price or 0.0,
            volume or 0,
            self._pin,
            trustee_id or "",
            iceberg_volume or 0,
            price_type or "",
            bypass_warning,
        )
        if not r["success"]:
            raise refused(r)

    @overload
    def cancel(self, order_no: str) -> None: ...

    @overload
    def cancel(self, order_no: EquityOrderNumbers) -> List[EquityOrderActionError]: ...

    def cancel(self, order_no: Union[str, EquityOrderNumbers]) -> Optional[List[EquityOrderActionError]]:
        """Cancel one order (refusal raises), or several in one request: then the orders that could not be
        cancelled come back as data, one error record each."""
        if isinstance(order_no, str):
            r = _tv.cancel_investor_equity_order(self._ctx, self.account_no, order_no, self._pin)
            if r["success"]:
                return None
            raise refused(r)
        return _data(_tv.cancel_investor_equity_orders(self._ctx, self.account_no, list(order_no), self._pin))

    def order(self, order_no: str) -> EquityOrder:
        return _data(_tv.get_investor_equity_order(self._ctx, self.account_no, order_no))

    def _orders(self) -> Any:
        return _tv.get_investor_equity_orders(self._ctx, self.account_no)

    def portfolio(self) -> List[EquityPosition]:
        return _data(_tv.get_investor_equity_portfolios(self._ctx, self.account_no))

    def trades(self) -> List[EquityTrade]:
        return _data(_tv.get_investor_equity_trades(self._ctx, self.account_no))

    def info(self) -> EquityAccountInfo:
        return _data(_tv.get_investor_equity_account_info(self._ctx, self.account_no))


class MarketRepEquityAccount(_EquityAccount):
    """An equity account of the market representative's broker."""

    __slots__ = ()

    def _submit(self, head: EquityHead, tail: EquityTail) -> str:
        return _equity_order_no(_tv.place_marketrep_equity_order(self._ctx, self.account_no, *(*head, *tail)))

    def change(
        self,
        order_no: str,
        *,
        price: Optional[float] = None,
        volume: Optional[int] = None,
        price_type: Optional[str] = None,
        trustee_id: Optional[str] = None,
        iceberg_volume: Optional[int] = None,
        bypass_warning: bool = False,
        new_account_no: Optional[str] = None,
        nvdr: bool = False,
    ) -> None:
        """Change an order; what is not given stays, except ``nvdr``, which the library always applies."""
        r = _tv.change_marketrep_equity_order(
            self._ctx,
            self.account_no,
            order_no,
            new_account_no or "",
            price or 0.0,
            volume or 0,
            iceberg_volume or 0,
            trustee_id or "",
            price_type or "",
            bypass_warning,
            nvdr,
        )
        if not r["success"]:
            raise refused(r)

    @overload
    def cancel(self, order_no: str) -> None: ...

    @overload
    def cancel(self, order_no: EquityOrderNumbers) -> List[EquityOrderActionError]: ...

    def cancel(self, order_no: Union[str, EquityOrderNumbers]) -> Optional[List[EquityOrderActionError]]:
        """Cancel one order (refusal raises), or several in one request: then the orders that could not be
        cancelled come back as data, one error record each."""
        if isinstance(order_no, str):
            r = _tv.cancel_marketrep_equity_order(self._ctx, self.account_no, order_no)
            if r["success"]:
                return None
            raise refused(r)
        return _data(_tv.cancel_marketrep_equity_orders(self._ctx, self.account_no, list(order_no)))

    def order(self, order_no: str) -> EquityOrder:
        return _data(_tv.get_marketrep_equity_order(self._ctx, order_no))

    def _orders(self) -> Any:
        return _tv.get_marketrep_equity_orders_by_account_no(self._ctx, self.account_no)

    def portfolio(self) -> List[EquityPosition]:
        return _data(_tv.get_marketrep_equity_portfolios(self._ctx, self.account_no))

    def trades(self) -> List[EquityTrade]:
        return _data(_tv.get_marketrep_equity_trades(self._ctx, self.account_no))

    def info(self) -> EquityAccountInfo:
        return _data(_tv.get_marketrep_equity_account_info(self._ctx, self.account_no))


# ----------------------------------------------------------- derivatives
class _DerivativesAccount(_Account):
    __slots__ = ()

    def _submit(self, head: DerivativesHead, tail: DerivativesTail) -> int:
        """Place the order: ``head`` are the module's arguments before the PIN, ``tail`` those after
        (joined into one tuple for the call, so that the type checker matches each argument)."""
        raise NotImplementedError

    def place(
        self,
        symbol: str,
        side: str,
        volume: int,
        *,
        price: Optional[float] = None,
        price_type: Optional[str] = None,
        validity: str = "DAY",
        position: str = "AUTO",
        trigger_condition: str = "",
        trigger_symbol: str = "",
        trigger_price: float = 0.0,
        bypass_warning: bool = False,
    ) -> int:
        """Place an order and return its number: LIMIT at ``price``, or MARKET without one."""
        price_, price_type_ = _priced(price, price_type)
        return self._submit(
            (symbol, price_, volume, side, position),
            (price_type_, validity, trigger_condition, trigger_symbol, trigger_price, bypass_warning),
        )

    def buy(
        self,
        symbol: str,
        volume: int,
        *,
        price: Optional[float] = None,
        price_type: Optional[str] = None,
        validity: str = "DAY",
        position: str = "AUTO",
        trigger_condition: str = "",
        trigger_symbol: str = "",
        trigger_price: float = 0.0,
        bypass_warning: bool = False,
    ) -> int:
        """``place(symbol, "BUY", volume, ...)``."""
        price_, price_type_ = _priced(price, price_type)
        return self._submit(
            (symbol, price_, volume, "BUY", position),
            (price_type_, validity, trigger_condition, trigger_symbol, trigger_price, bypass_warning),
        )

    def sell(
        self,
        symbol: str,
        volume: int,
        *,
        price: Optional[float] = None,
        price_type: Optional[str] = None,
        validity: str = "DAY",
        position: str = "AUTO",
        trigger_condition: str = "",
        trigger_symbol: str = "",
        trigger_price: float = 0.0,
        bypass_warning: bool = False,
    ) -> int:
        """``place(symbol, "SELL", volume, ...)``."""
        price_, price_type_ = _priced(price, price_type)
        return self._submit(
            (symbol, price_, volume, "SELL", position),
            (price_type_, validity, trigger_condition, trigger_symbol, trigger_price, bypass_warning),
        )

    def order(self, order_no: int) -> DerivativesOrder:
        raise NotImplementedError

    def _orders(self) -> Any:
        raise NotImplementedError

    def orders(
        self, *, open_only: bool = False, symbol: Optional[str] = None, status: Statuses = None
    ) -> List[DerivativesOrder]:
        """The account's orders; only those still open, of ``symbol``, or with ``status`` (one or several)."""
        return _listed(self._orders(), open_only, symbol, status)

    def order_updates(
        self, *, maxsize: int = ORDER_QUEUE, timeout: Optional[float] = None
    ) -> OrderStream[DerivativesOrderUpdate, DerivativesOrder, int]:
        """Every change of the account's orders; never drops one (a full queue holds the library's thread)."""
        ctx, account_no = self._ctx, self.account_no
        return self.client._track(
            OrderStream(
                lambda sink: _tv.subscribe_derivatives_order(ctx, account_no, sink),
                self.client.channel,
                self.order,
                maxsize=maxsize,
                timeout=timeout,
            )
        )


class InvestorDerivativesAccount(_DerivativesAccount):
    """An investor's derivatives account; order actions carry the investor's PIN."""

    __slots__ = ("_pin",)

    def __init__(self, client: _Client, account_no: str, pin: str) -> None:
        super().__init__(client, account_no)
        self._pin = pin

    def _submit(self, head: DerivativesHead, tail: DerivativesTail) -> int:
        return _order_no(_tv.place_investor_derivatives_order(self._ctx, self.account_no, *(*head, self._pin, *tail)))

    def change(
        self,
        order_no: int,
        *,
        price: Optional[float] = None,
        volume: Optional[int] = None,
        price_type: Optional[str] = None,
        validity: Optional[str] = None,
    ) -> None:
        """Change an order; what is not given stays. ``volume`` is the order's new whole volume."""
        r = _tv.change_investor_derivatives_order(
            self._ctx, self.account_no, order_no, price or 0.0, volume or 0, self._pin, price_type or "", validity or ""
        )
        if not r["success"]:
            raise refused(r)

    @overload
    def cancel(self, order_no: int) -> None: ...

    @overload
    def cancel(self, order_no: OrderNumbers) -> List[DerivativesOrderActionError]: ...

    def cancel(self, order_no: Union[int, OrderNumbers]) -> Optional[List[DerivativesOrderActionError]]:
        """Cancel one order (refusal raises), or several in one request: then the orders that could not be
        cancelled come back as data, one error record each."""
        if _is_one(order_no):
            r = _tv.cancel_investor_derivatives_order(self._ctx, self.account_no, order_no, self._pin)  # type: ignore[arg-type]
            if r["success"]:
                return None
            raise refused(r)
        return _data(_tv.cancel_investor_derivatives_orders(self._ctx, self.account_no, order_no, self._pin))  # type: ignore[arg-type]

    def order(self, order_no: int) -> DerivativesOrder:
        return _data(_tv.get_investor_derivatives_order(self._ctx, self.account_no, order_no))

    def _orders(self) -> Any:
        return _tv.get_investor_derivatives_orders(self._ctx, self.account_no)

    def portfolio(self) -> List[DerivativesPosition]:
        return _data(_tv.get_investor_derivatives_portfolios(self._ctx, self.account_no))

    def trades(self) -> List[DerivativesTrade]:
        return _data(_tv.get_investor_derivatives_trades(self._ctx, self.account_no))

    def info(self) -> DerivativesAccountInfo:
        return _data(_tv.get_investor_derivatives_account_info(self._ctx, self.account_no))


class MarketRepDerivativesAccount(_DerivativesAccount):
    """A derivatives account of the market representative's broker."""

    __slots__ = ()

    def _submit(self, head: DerivativesHead, tail: DerivativesTail) -> int:
        return _order_no(_tv.place_marketrep_derivatives_order(self._ctx, self.account_no, *(*head, *tail)))

    def change(
        self,
        order_no: int,
        *,
        price: Optional[float] = None,
        volume: Optional[int] = None,
        price_type: Optional[str] = None,
        validity: Optional[str] = None,
        new_account_no: Optional[str] = None,
    ) -> None:
        """Change an order; what is not given stays. ``volume`` is the order's new whole volume."""
        r = _tv.change_marketrep_derivatives_order(
            self._ctx,
            self.account_no,
            order_no,
            new_account_no or "",
            price or 0.0,
            volume or 0,
            price_type or "",
            validity or "",
        )
        if not r["success"]:
            raise refused(r)

    @overload
    def cancel(self, order_no: int) -> None: ...

    @overload
    def cancel(self, order_no: OrderNumbers) -> List[DerivativesOrderActionError]: ...

    def cancel(self, order_no: Union[int, OrderNumbers]) -> Optional[List[DerivativesOrderActionError]]:
        """Cancel one order (refusal raises), or several in one request: then the orders that could not be
        cancelled come back as data, one error record each."""
        if _is_one(order_no):
            r = _tv.cancel_marketrep_derivatives_order(self._ctx, self.account_no, order_no)  # type: ignore[arg-type]
            if r["success"]:
                return None
            raise refused(r)
        return _data(_tv.cancel_marketrep_derivatives_orders(self._ctx, self.account_no, order_no))  # type: ignore[arg-type]

    def trade_report(
        self,
        symbol: str,
        side: str,
        volume: int,
        *,
        price: float,
        position: str = "AUTO",
        counterparty_account_no: str = "",
        counterparty_position: str = "AUTO",
    ) -> List[int]:
        """Book a trade agreed outside the order book; returns the order numbers booked (ours first)."""
        r = _tv.place_marketrep_derivatives_trade_report(
            self._ctx,
            self.account_no,
            symbol,
            price,
            volume,
            side,
            position,
            counterparty_account_no,
            counterparty_position,
        )
        if r["success"]:
            return r["data"]
        raise refused(r)

    def order(self, order_no: int) -> DerivativesOrder:
        return _data(_tv.get_marketrep_derivatives_order(self._ctx, order_no))

    def _orders(self) -> Any:
        return _tv.get_marketrep_derivatives_orders_by_account_no(self._ctx, self.account_no)

    def portfolio(self) -> List[DerivativesPosition]:
        return _data(_tv.get_marketrep_derivatives_portfolios(self._ctx, self.account_no))

    def trades(self) -> List[DerivativesTrade]:
        return _data(_tv.get_marketrep_derivatives_trades(self._ctx, self.account_no))

    def info(self) -> DerivativesAccountInfo:
        return _data(_tv.get_marketrep_derivatives_account_info(self._ctx, self.account_no))


# ---------------------------------------------------------------- clients
class Investor(_Client):
    """A logged-in investor: accounts by market, each acting with the investor's PIN."""

    def __init__(self, context: Context, pin: str) -> None:
        super().__init__(context)
        self.pin = pin

    def equity(self, account_no: str, *, pin: Optional[str] = None) -> InvestorEquityAccount:
        return InvestorEquityAccount(self, account_no, self.pin if pin is None else pin)

    def derivatives(self, account_no: str, *, pin: Optional[str] = None) -> InvestorDerivativesAccount:
        return InvestorDerivativesAccount(self, account_no, self.pin if pin is None else pin)


class MarketRep(_Client):
    """A logged-in market representative: any account of the broker, and the broker's orders."""

    def equity(self, account_no: str) -> MarketRepEquityAccount:
        return MarketRepEquityAccount(self, account_no)

    def derivatives(self, account_no: str) -> MarketRepDerivativesAccount:
        return MarketRepDerivativesAccount(self, account_no)

    def equity_order(self, order_no: str) -> EquityOrder:
        """One equity order of any account of the broker."""
        return _data(_tv.get_marketrep_equity_order(self.context, order_no))

    def derivatives_order(self, order_no: int) -> DerivativesOrder:
        """One derivatives order of any account of the broker."""
        return _data(_tv.get_marketrep_derivatives_order(self.context, order_no))

    def equity_orders(
        self, *, open_only: bool = False, symbol: Optional[str] = None, status: Statuses = None
    ) -> List[EquityOrder]:
        """The equity orders of every account of the broker, filtered as ``orders`` of an account."""
        return _listed(_tv.get_marketrep_equity_orders(self.context), open_only, symbol, status)

    def derivatives_orders(
        self, *, open_only: bool = False, symbol: Optional[str] = None, status: Statuses = None
    ) -> List[DerivativesOrder]:
        """The derivatives orders of every account of the broker, filtered as ``orders`` of an account."""
        return _listed(_tv.get_marketrep_derivatives_orders(self.context), open_only, symbol, status)


def _login(app_id: str, secret: str, login_text3: str, login_text4: str, enable_queue: bool) -> Context:
    try:
        return _tv.login(app_id, secret, login_text3, login_text4, enable_queue)
    except RuntimeError as e:
        text = str(e)
        if text.startswith("Internal Error: "):
            raise
        raise refusal(0, text, default=AuthenticationError) from e


@overload
def connect(
    app_id: str,
    secret: str,
    *,
    pin: str = "",
    market_rep: Literal[False] = False,
    login_text3: str = "",
    login_text4: str = "",
    enable_queue: bool = False,
) -> Investor: ...


@overload
def connect(
    app_id: str,
    secret: str,
    *,
    market_rep: Literal[True],
    login_text3: str = "",
    login_text4: str = "",
    enable_queue: bool = False,
) -> MarketRep: ...


def connect(
    app_id: str,
    secret: str,
    *,
    pin: str = "",
    market_rep: bool = False,
    login_text3: str = "",
    login_text4: str = "",
    enable_queue: bool = False,
) -> Union[Investor, MarketRep]:
    """Log in and return the client of an investor (``pin`` confirms its order actions) or, with
    ``market_rep=True``, of a market representative. A refused login raises ``AuthenticationError``
    (status 0: the library gives none), an internal failure ``RuntimeError``."""
    context = _login(app_id, secret, login_text3, login_text4, enable_queue)
    if market_rep:
        return MarketRep(context)
    return Investor(context, pin)
