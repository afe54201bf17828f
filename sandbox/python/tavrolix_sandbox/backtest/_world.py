"""The one place the runner touches the library's control side: a world for
one backtest, its fee schedule, and a client logged into it.

Today the library has one world per process, driven by the module-level
functions of :mod:`tavrolix_sandbox.broker`; a lock keeps two backtests of
one process from sharing it at once. When worlds become values, only this
file changes.
"""

from __future__ import annotations

import threading
from decimal import Decimal
from typing import Any, Dict, Iterable, Mapping, Optional

import tavrolix

from .. import broker
from .. import fills as _fills

USER, SECRET, PIN = "bt-runner", "bt-runner-secret", "000000"
_busy = threading.Lock()
_holder: Optional[int] = None


class World:
    """A fresh world in lockstep, with one user of the runner's own."""

    def __init__(self) -> None:
        global _holder
        if _holder == threading.get_ident():
            raise RuntimeError("a backtest cannot start another in the same thread: the process has one world")
        # Threads of one process take turns: the library has one world a process.
        _busy.acquire()
        _holder = threading.get_ident()
        try:
            broker.reset(
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
        broker.seed(**kw)

    def replay(self, history: Any, instruments: Optional[Iterable[Mapping[str, Any]]] = None) -> Dict[str, Any]:
        return broker.replay(history, instruments=instruments)

    def instruments(self) -> Dict[str, Any]:
        out: Dict[str, Any] = broker.state()["instruments"]
        return out

    def until(self, time: int) -> int:
        return int(broker._lib().tvx_replay_until(time))

    def step(self, events: int) -> int:
        return int(broker._lib().tvx_replay_step(events))

    def connect(self) -> Any:
        return tavrolix.connect(USER, SECRET, pin=PIN)

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        try:
            # the process's usual world again, its clock stopped, for whatever runs next
            broker.reset(running=False)
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


def fee_schedule() -> Dict[str, Any]:
    """The library's fee schedule: ``{"equity": {key: rate}, "hold": factor}``
    with rates as Decimal fractions of a fill's value, each fee rounded half
    up to the cent."""
    read = getattr(broker, "fees", None)
    if read is not None:
        return _normalise(read())
    return {"equity": dict(_fills._EQUITY_FEES), "hold": _fills.HOLD_FACTOR}


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
        "equity": rates or dict(_fills._EQUITY_FEES),
        "hold": Decimal(repr(hold)) if isinstance(hold, float) else Decimal(hold),
    }
