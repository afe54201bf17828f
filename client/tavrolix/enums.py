"""The choices an order takes, as ``str`` enums: a member is the text itself,
so it goes to the library unchanged, compares equal to that text, and any
method that takes a member takes the plain text as well."""

from enum import Enum


class _Text(str, Enum):
    def __str__(self) -> str:
        return str.__str__(self)


class Side(_Text):
    BUY = "BUY"
    SELL = "SELL"
    LONG = "LONG"  # derivatives: the same as BUY
    SHORT = "SHORT"  # derivatives: the same as SELL


class PriceType(_Text):
    LIMIT = "LIMIT"
    MARKET = "MARKET"


class Validity(_Text):
    DAY = "DAY"
    IOC = "IOC"
    FOK = "FOK"


class Position(_Text):
    """Of a derivatives order: open new contracts, close held ones, or let the broker decide."""

    OPEN = "OPEN"
    CLOSE = "CLOSE"
    AUTO = "AUTO"


class TriggerCondition(_Text):
    """When a stop order enters the book; "" (no trigger) is the default."""

    LAST_PAID_OR_HIGHER = "LAST_PAID_OR_HIGHER"
    LAST_PAID_OR_LOWER = "LAST_PAID_OR_LOWER"


class OrderStatus(_Text):
    PENDING = "PENDING"  # a stop order waiting for its trigger
    OPEN = "OPEN"
    PARTIAL = "PARTIAL"
    MATCHED = "MATCHED"
    CANCELLED = "CANCELLED"
    EXPIRED = "EXPIRED"
    REJECTED = "REJECTED"


class Interval(_Text):
    """Candlestick intervals."""

    M1 = "1m"
    M3 = "3m"
    M5 = "5m"
    M10 = "10m"
    M15 = "15m"
    M30 = "30m"
    M60 = "60m"
    D1 = "1d"
    W1 = "1w"


#: Statuses of an order that may still trade.
OPEN_STATUSES = frozenset({"PENDING", "OPEN", "PARTIAL"})
#: Statuses after which an order never changes again.
FINAL_STATUSES = frozenset({"MATCHED", "CANCELLED", "EXPIRED", "REJECTED"})


_ASCII_LOWER = {c: c + 32 for c in range(ord("A"), ord("Z") + 1)}


def fold(text: str) -> str:
    """``text`` as the library compares it: ASCII letters without regard to case, every other character as is."""
    return text.lower() if text.isascii() else text.translate(_ASCII_LOWER)
