"""Costs of a backtest: fees per fill and slippage in ticks.

By default a fill costs what the broker charged for it (the library's fee
schedule, read from the account's trades). An override is applied to every
fill when the result is made:

* ``percent(0.1)``: 0.1% of the fill's value;
* ``per_share(0.005, minimum=1.0)``: per unit, at least ``minimum`` a fill;
* any callable ``fee(value, volume) -> money``.

Each fee is rounded half up to the cent. ``slippage=k`` moves every fill
``k`` ticks against the order (a buy pays more, a sell gets less), the tick
being the instrument's at that price.
"""

from __future__ import annotations

from decimal import ROUND_HALF_UP, Decimal
from typing import Any, Callable, Dict, Optional, Union

__all__ = ["percent", "per_share", "Costs"]

CENT = Decimal("0.01")
FeeFunction = Callable[[float, int], Union[float, Decimal]]


class _Fee:
    def __init__(self, describe: Dict[str, Any], fn: FeeFunction) -> None:
        self.describe, self.fn = describe, fn

    def __call__(self, value: float, volume: int) -> Union[float, Decimal]:
        return self.fn(value, volume)

    def __repr__(self) -> str:
        return "fee(%s)" % ", ".join("%s=%r" % kv for kv in self.describe.items())

    def __reduce__(self) -> Any:  # crosses to worker processes by its description
        return (_rebuild, (self.describe,))


def _rebuild(d: Dict[str, Any]) -> _Fee:
    return percent(d["percent"]) if d["kind"] == "percent" else per_share(d["per_share"], minimum=d["minimum"])


def percent(rate: float) -> _Fee:
    """``rate`` percent of each fill's value."""
    if not 0 <= rate < 100:
        raise ValueError("a fee of %r%% of the value is not a fee" % (rate,))
    r = Decimal(repr(float(rate))) / 100
    return _Fee({"kind": "percent", "percent": rate}, lambda value, volume: Decimal(repr(float(value))) * r)


def per_share(amount: float, *, minimum: float = 0.0) -> _Fee:
    """``amount`` per unit of each fill, at least ``minimum``."""
    if not amount >= 0 or not minimum >= 0:
        raise ValueError("per-share fee and minimum must be 0 or more")
    a, m = Decimal(repr(float(amount))), Decimal(repr(float(minimum)))
    return _Fee(
        {"kind": "per_share", "per_share": amount, "minimum": minimum}, lambda value, volume: max(a * volume, m)
    )


class Costs:
    """The fee model and slippage of one backtest."""

    def __init__(
        self, fees: Union[str, FeeFunction, Dict[str, Any], None] = None, slippage: Union[int, float] = 0
    ) -> None:
        if fees is None or fees == "broker":
            self.fee: Optional[FeeFunction] = None
        elif isinstance(fees, dict):
            if set(fees) == {"percent"}:
                self.fee = percent(fees["percent"])
            elif set(fees) <= {"per_share", "minimum"} and "per_share" in fees:
                self.fee = per_share(fees["per_share"], minimum=fees.get("minimum", 0.0))
            else:
                raise ValueError("fees as a mapping: {'percent': p} or {'per_share': a, 'minimum': m}, not %r" % fees)
        elif callable(fees):
            self.fee = fees
        else:
            raise TypeError(
                "fees must be None (the broker's schedule), percent(...), per_share(...), a mapping of either, or a "
                "callable fee(value, volume); a bare number is ambiguous (fraction or percent?), not %r" % (fees,)
            )
        if (
            isinstance(slippage, bool)
            or not isinstance(slippage, (int, float))
            or slippage < 0
            or slippage != int(slippage)
        ):
            raise ValueError("slippage is a whole number of ticks, 0 or more, not %r" % (slippage,))
        self.slippage = int(slippage)

    def describe(self) -> Dict[str, Any]:
        if self.fee is None:
            fees: Any = "broker"
        elif isinstance(self.fee, _Fee):
            fees = dict(self.fee.describe)
        else:
            fees = getattr(self.fee, "__qualname__", repr(self.fee))
        return {"fees": fees, "slippage_ticks": self.slippage}

    def fee_of(self, value: Decimal, volume: int) -> Decimal:
        assert self.fee is not None
        out = self.fee(float(value), volume)
        d = out if isinstance(out, Decimal) else Decimal(repr(float(out)))
        if not d.is_finite() or d < 0:
            raise ValueError("the fee function gave %r for a fill of %s (%d units)" % (out, value, volume))
        return d.quantize(CENT, ROUND_HALF_UP)
