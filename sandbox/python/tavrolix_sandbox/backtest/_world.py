"""The one place the runner touches the library's control side: a world for
one backtest, its fee schedule, and a client logged into it.

Each backtest runs in a :class:`tavrolix_sandbox.broker.World` of its own.
"""

from __future__ import annotations

import threading
from typing import Any, Dict, Iterable, Mapping, Optional

from .. import broker

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


def fee_schedule(world: Optional[broker.World] = None) -> Dict[str, Any]:
    """The library's fee schedule, as ``world`` (the default world when None)
    reads it: ``{"equity": {key: rate}, "hold": factor}``, rates as Decimal
    fractions of a fill's value (each fee rounded half up to the cent), the
    hold factor what a buy holds back of buying power per unit of value."""
    if world is None:
        return {"equity": broker.fees(), "hold": broker.hold_factor()}
    return {"equity": world.fees(), "hold": world.hold_factor()}
