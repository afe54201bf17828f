"""The one place the runner touches the library's control side: a world for
one backtest, its fee schedule, and a client logged into it.

Each backtest runs in a :class:`tavrolix_sandbox.broker.World` of its own.
"""

from __future__ import annotations

import threading
from decimal import Decimal
from typing import Any, Dict, Iterable, Mapping, Optional

from .. import broker
from .. import fills as _fills

USER, SECRET, PIN = "bt-runner", "bt-runner-secret", "000000"
_busy = threading.Lock()
_holder: Optional[int] = None


class World:
    """A world of the backtest's own (the library's worlds are values), in
    lockstep, with one user of the runner's own; the process's default world
    and any other are left alone. Backtests of one process still take turns,
    and one cannot start another from inside its run."""

    def __init__(self) -> None:
        global _holder
        if _holder == threading.get_ident():
            raise RuntimeError("a backtest cannot start another in the same thread")
        _busy.acquire()
        _holder = threading.get_ident()
        try:
            self._w = broker.World(
                running=False,
                liquidity=False,
                activity=False,
                conflate=True,
                default_world=False,
                users=[{"id": USER, "secret": SECRET, "role": "investor", "pin": PIN}],
            )
        except BaseException:
            self._release()
            raise
        self._closed = False

    def seed(self, **kw: Any) -> None:
        self._w.seed(**kw)

    def replay(self, history: Any, instruments: Optional[Iterable[Mapping[str, Any]]] = None) -> Dict[str, Any]:
        out: Dict[str, Any] = self._w.replay(history, instruments=instruments)
        return out

    def instruments(self) -> Dict[str, Any]:
        out: Dict[str, Any] = self._w.state()["instruments"]
        return out

    def until(self, time: int) -> int:
        return int(self._w.replay_until(time))

    def step(self, events: int) -> int:
        return int(self._w.replay_step(events))

    def connect(self) -> Any:
        return self._w.connect(USER, SECRET, pin=PIN)

    def fees(self) -> Dict[str, Any]:
        return fee_schedule(self._w)

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        try:
            self._w.close()
        finally:
            self._release()

    @staticmethod
    def _release() -> None:
        global _holder
        _holder = None
        _busy.release()

    def __enter__(self) -> World:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


def fee_schedule(world: Any = None) -> Dict[str, Any]:
    """The library's fee schedule: ``{"equity": {key: rate}, "hold": factor}``
    with rates as Decimal fractions of a fill's value, each fee rounded half
    up to the cent."""
    read = getattr(world, "fees", None) or getattr(broker, "fees", None)
    if read is not None:
        return _normalise(read())
    return {"equity": dict(_fills._equity_rates()), "hold": _fills.HOLD_FACTOR}


def _normalise(raw: Mapping[str, Any]) -> Dict[str, Any]:
    """Whatever shape the library's schedule has: equity fee keys to rates."""
    equity = raw.get("equity", raw)
    rates: Dict[str, Decimal] = {}
    for key, value in dict(equity).items():
        if isinstance(value, Mapping):
            value = value.get("rate", value.get("percent"))
        if key.endswith("_fee") and value is not None:
            rates[key] = Decimal(repr(value)) if isinstance(value, float) else Decimal(value)
    hold = raw.get("hold") or raw.get("hold_factor") or _fills.HOLD_FACTOR
    return {
        "equity": rates or dict(_fills._equity_rates()),
        "hold": Decimal(repr(hold)) if isinstance(hold, float) else Decimal(hold),
    }
