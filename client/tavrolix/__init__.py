"""A client for trading programs on top of ``tavrolix_open_api``.

It uses nothing but the module's 48 functions, so it works with any Trading
interface library the module runs on::

    import tavrolix

    client = tavrolix.connect("inv001", "inv001-secret", pin="000000")
    shares = client.equity("E-1001")
    order_no = shares.buy("ARVO", 100, price=45.25)       # LIMIT, DAY
    with shares.order_updates() as updates:
        final = updates.wait(order_no, "MATCHED", "CANCELLED", timeout=30)

Results are the module's own dictionaries (typed by its stub); refusals raise
:class:`Refused` subclasses; streams are iterators and async iterators.
"""

from .candles import Candles
from .client import (
    Investor,
    InvestorDerivativesAccount,
    InvestorEquityAccount,
    MarketRep,
    MarketRepDerivativesAccount,
    MarketRepEquityAccount,
    connect,
)
from .enums import (
    FINAL_STATUSES,
    OPEN_STATUSES,
    Interval,
    OrderStatus,
    Position,
    PriceType,
    Side,
    TriggerCondition,
    Validity,
)
from .errors import (
    AuthenticationError,
    BadRequest,
    InsufficientFunds,
    InsufficientPosition,
    NotAllowed,
    NotFound,
    OrderEnded,
    Refused,
)
from .streams import OrderStream, Stream, StreamClosed

__all__ = [
    "connect",
    "Investor",
    "MarketRep",
    "InvestorEquityAccount",
    "InvestorDerivativesAccount",
    "MarketRepEquityAccount",
    "MarketRepDerivativesAccount",
    "Candles",
    "Stream",
    "OrderStream",
    "StreamClosed",
    "Side",
    "PriceType",
    "Validity",
    "Position",
    "TriggerCondition",
    "OrderStatus",
    "Interval",
    "OPEN_STATUSES",
    "FINAL_STATUSES",
    "Refused",
    "BadRequest",
    "AuthenticationError",
    "NotAllowed",
    "NotFound",
    "InsufficientFunds",
    "InsufficientPosition",
    "OrderEnded",
]
