"""Typed dictionaries of the realtime payloads, as the streams hand them out
(parsed from the library's JSON text; numbers may come without a fraction).
Like the module's record types they are for type checkers: import them under
``typing.TYPE_CHECKING``."""

from typing import TYPE_CHECKING, List, Optional, TypedDict

__all__ = ["BidOffer", "PriceInfo", "Candle", "DerivativesOrderUpdate", "EquityOrderUpdate"]


class BidOffer(TypedDict):
    """The best bids and offers of one symbol, best first."""

    symbol: str
    time: str
    bid_price: List[float]
    bid_volume: List[int]
    ask_price: List[float]
    ask_volume: List[int]


class PriceInfo(TypedDict):
    """Price information of one symbol; None for what has no value yet."""

    symbol: str
    time: str
    sequence: int
    last: Optional[float]
    prior_close: float
    change: Optional[float]
    percent_change: Optional[float]
    open: Optional[float]
    high: Optional[float]
    low: Optional[float]
    ceiling: float
    floor: float
    total_volume: int
    total_value: float
    average: Optional[float]
    best_bid: Optional[float]
    best_ask: Optional[float]


class Candle(TypedDict):
    """The newest candle of one symbol and interval."""

    symbol: str
    interval: str
    time: int
    open: float
    high: float
    low: float
    close: float
    volume: int
    value: float
    sequence: int


class _Match(TypedDict, total=False):
    match_price: float  # MATCH events only
    match_volume: int


if TYPE_CHECKING:
    from tavrolix_open_api import DerivativesOrder, EquityOrder

    class DerivativesOrderUpdate(DerivativesOrder, _Match):
        """A change of a derivatives order: the event, then the order as ``get_*_order`` gives it."""

        event: str
        event_time: str

    class EquityOrderUpdate(EquityOrder, _Match):
        """A change of an equity order: the event, then the order as ``get_*_order`` gives it."""

        event: str
        event_time: str
