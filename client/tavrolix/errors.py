"""Refusals as exceptions.

A request the library refuses comes back from the module as an envelope with
``success`` False; the client raises it as a :class:`Refused` of the kind that
the library's code (the text before ": " in its message) or, for a code it does
not know, the status names. An internal failure of the library stays the
``RuntimeError`` the module raises.
"""

import re
from typing import Any, Dict, Mapping, Optional, Type

__all__ = [
    "Refused",
    "BadRequest",
    "AuthenticationError",
    "NotAllowed",
    "NotFound",
    "InsufficientFunds",
    "InsufficientPosition",
    "OrderEnded",
    "refusal",
]


class Refused(Exception):
    """A request the library refused.

    ``status`` is the library's status code (0 when it gave none, as for a refused
    login or subscription), ``code`` the code that opens its message ("CODE: text")
    or None, ``message`` its text, ``envelope`` the module's result (None when
    there was none).
    """

    def __init__(
        self, status: int, code: Optional[str], message: str, envelope: Optional[Mapping[str, Any]] = None
    ) -> None:
        super().__init__(status, code, message)
        self.status = status
        self.code = code
        self.message = message
        self.envelope = envelope

    def __str__(self) -> str:
        return "%d %s" % (self.status, self.message) if self.status else self.message

    def __reduce__(self) -> Any:
        return (type(self), (self.status, self.code, self.message, self.envelope))


class BadRequest(Refused):
    """The request itself is wrong: unknown symbol, bad price, volume or choice, price limits, nothing to change."""


class AuthenticationError(Refused):
    """Wrong credentials or PIN, or no valid login."""


class NotAllowed(Refused):
    """The account or user may not do this, or the order is in no state for it."""


class NotFound(Refused):
    """No such account or order (or none the user may see)."""


class InsufficientFunds(Refused):
    """Not enough cash, credit or margin."""


class InsufficientPosition(Refused):
    """Not enough shares or contracts to sell or close."""


class OrderEnded(Exception):
    """The order reached a final status other than those awaited; ``update`` is its last update."""

    def __init__(self, update: Mapping[str, Any]) -> None:
        super().__init__("order %s ended %s" % (update.get("order_no"), update.get("status")))
        self.update = update


# The sandbox broker's codes whose kind the status alone does not tell (or
# that another library might send with another status); the rest, and codes
# that mean different things by request (UNKNOWN_SYMBOL: 400 for an order,
# 404 for candlesticks), go by the status.
CODES: Dict[str, Type[Refused]] = {
    "INSUFFICIENT_FUNDS": InsufficientFunds,
    "INSUFFICIENT_POSITION": InsufficientPosition,
    "WRONG_PIN": AuthenticationError,
    "NOT_ALLOWED": NotAllowed,
    "ORDER_NOT_CANCELLABLE": NotAllowed,
    "ORDER_NOT_CHANGEABLE": NotAllowed,
    "ORDER_NOT_FOUND": NotFound,
    "BAD_ACCOUNT": NotFound,
    "PRICE_LIMIT": BadRequest,
    "PRICE_WARNING": BadRequest,
}
STATUSES: Dict[int, Type[Refused]] = {
    400: BadRequest,
    401: AuthenticationError,
    403: NotAllowed,
    404: NotFound,
    409: NotAllowed,
    422: BadRequest,
}

_CODE = re.compile(r"([A-Z][A-Z0-9_]*): ")


def code_of(message: Optional[str]) -> Optional[str]:
    m = _CODE.match(message) if message else None
    return m.group(1) if m else None


def refusal(
    status: int, message: Optional[str], envelope: Optional[Mapping[str, Any]] = None, default: Type[Refused] = Refused
) -> Refused:
    """The exception for a refusal: by code, else by status, else ``default``."""
    code = code_of(message)
    cls = CODES.get(code) if code else None
    if cls is None:
        cls = STATUSES.get(status, default)
    return cls(status, code, message or "", envelope)


def refused(envelope: Mapping[str, Any]) -> Refused:
    """The exception for a refused envelope."""
    return refusal(envelope["status_code"], envelope["message"], envelope)
