"""Control of the sandbox broker (our library's default mode).

The broker is a small simulated market: instruments with order books, a
liquidity provider quoting around a moving price, other participants taking
liquidity now and then, and seeded users and accounts. By default its clock
runs on the library's own thread; tests stop it and step it by hand::

    from tavrolix_sandbox import broker
    broker.reset(seed=7, running=False, liquidity=False, activity=False)
    broker.set_price("ARVO", 46.0)
    broker.step(60)                 # one simulated minute
    broker.drain()                  # every event delivered
    broker.state()["equity_accounts"]["E-1001"]

Every function here releases the interpreter lock while the library works, so
event threads that deliver to Python callables keep going meanwhile.
"""

from __future__ import annotations

import ctypes
import json
import math
from typing import Any, Dict, Iterable, List, Mapping, Optional, Tuple

from . import _declare
from . import library as _library

__all__ = [
    "reset",
    "seed",
    "set_price",
    "step",
    "run",
    "stop",
    "state",
    "drain",
    "replay",
    "replay_step",
    "replay_until",
    "replay_run",
    "replay_stop",
    "replay_state",
]

# name: (argtypes, restype)
_SIGNATURES: Dict[str, Tuple[List[Any], Any]] = {
    "tvx_broker_reset": ([ctypes.c_char_p], ctypes.c_char_p),
    "tvx_broker_apply": ([ctypes.c_char_p], ctypes.c_char_p),
    "tvx_broker_step": ([ctypes.c_int64], ctypes.c_char_p),
    "tvx_broker_run": ([ctypes.c_int], ctypes.c_char_p),
    "tvx_broker_stop": ([], None),
    "tvx_broker_state": ([], ctypes.c_char_p),
    "tvx_broker_drain": ([ctypes.c_int], ctypes.c_int),
    "tvx_replay_load": ([ctypes.c_char_p, ctypes.c_uint64], ctypes.c_char_p),
    "tvx_replay_step": ([ctypes.c_uint64], ctypes.c_uint64),
    "tvx_replay_until": ([ctypes.c_int64], ctypes.c_uint64),
    "tvx_replay_run": ([ctypes.c_double], ctypes.c_char_p),
    "tvx_replay_stop": ([], None),
    "tvx_replay_state": ([], ctypes.c_char_p),
}
_ready = False


def _lib() -> ctypes.CDLL:
    global _ready
    lib = _library()
    if not _ready:
        _declare(lib, _SIGNATURES)
        _ready = True
    return lib


def _check(error: Optional[bytes]) -> None:
    if error:
        raise ValueError(error.decode())


def _price(symbol: Any, price: Any) -> float:
    try:
        value = float(price)
    except (TypeError, ValueError):
        value = math.nan
    if not math.isfinite(value) or value <= 0:
        raise ValueError(f"price of {symbol} must be a finite number above zero, not {price!r}")
    return value


def _entities(
    users: Optional[Iterable[Mapping[str, Any]]],
    derivatives_accounts: Optional[Iterable[Mapping[str, Any]]],
    equity_accounts: Optional[Iterable[Mapping[str, Any]]],
    positions: Optional[Iterable[Mapping[str, Any]]],
    prices: Optional[Mapping[str, float]],
    instruments: Optional[Iterable[Mapping[str, Any]]],
) -> Dict[str, Any]:
    out: Dict[str, Any] = {}
    for key, value in (
        ("users", users),
        ("derivatives_accounts", derivatives_accounts),
        ("equity_accounts", equity_accounts),
        ("positions", positions),
        ("instruments", instruments),
    ):
        if value is not None:
            out[key] = list(value)
    if prices is not None:
        out["prices"] = {symbol: _price(symbol, price) for symbol, price in dict(prices).items()}
    return out


def reset(
    seed: int = 20260302,
    *,
    running: bool = False,
    liquidity: bool = True,
    activity: bool = True,
    history_minutes: int = 0,
    interval: float = 0.25,
    tick_seconds: int = 1,
    start: Optional[str] = None,
    default_world: bool = True,
    conflate: bool = False,
    session: Optional[Mapping[str, Any]] = None,
    users: Optional[Iterable[Mapping[str, Any]]] = None,
    derivatives_accounts: Optional[Iterable[Mapping[str, Any]]] = None,
    equity_accounts: Optional[Iterable[Mapping[str, Any]]] = None,
    positions: Optional[Iterable[Mapping[str, Any]]] = None,
    prices: Optional[Mapping[str, float]] = None,
    instruments: Optional[Iterable[Mapping[str, Any]]] = None,
) -> None:
    """Rebuild the world: everyone is logged out and every stream ends.

    ``seed`` fixes every random choice of the market, so the same calls give
    the same trades. ``running`` lets the clock tick every ``interval``
    seconds (each tick ``tick_seconds`` of simulated time); otherwise it moves
    only through :func:`step`. ``liquidity`` is the liquidity provider's
    quotes, ``activity`` the other participants' market orders.
    ``history_minutes`` of trading are simulated before ``start`` (default
    "2026-03-02T10:00:00"), giving candlestick history. ``conflate`` makes
    each operation or clock tick deliver only the last bid/offer, price
    information and candle picture of each instrument instead of one per
    change and per trade. ``session`` schedules trading days, e.g.
    ``{"open": "02:00", "close": "09:30", "days": ["Mon", "Tue", "Wed", "Thu",
    "Fri"]}`` (UTC; days default to Monday to Friday): at the close DAY orders
    expire and new orders are refused (MARKET_CLOSED) until the next open,
    which starts a new trading day (the last price becomes the reference, the
    order lists start afresh). Without it the session never closes.
    ``default_world``
    seeds the users and accounts of the README; the other arguments add to it
    (see :func:`seed`), ``prices`` here being the reference (prior close)
    prices from which the daily limits follow.
    """
    settings: Dict[str, Any] = {
        "seed": seed,
        "running": running,
        "liquidity": liquidity,
        "activity": activity,
        "history_minutes": history_minutes,
        "interval_ms": max(1, int(interval * 1000)),
        "tick_seconds": tick_seconds,
        "default_world": default_world,
        "conflate": conflate,
    }
    if start is not None:
        settings["start"] = start
    if session is not None:
        settings["session"] = dict(session)
    settings.update(_entities(users, derivatives_accounts, equity_accounts, positions, prices, instruments))
    _check(_lib().tvx_broker_reset(json.dumps(settings).encode()))


def seed(
    *,
    users: Optional[Iterable[Mapping[str, Any]]] = None,
    derivatives_accounts: Optional[Iterable[Mapping[str, Any]]] = None,
    equity_accounts: Optional[Iterable[Mapping[str, Any]]] = None,
    positions: Optional[Iterable[Mapping[str, Any]]] = None,
    prices: Optional[Mapping[str, float]] = None,
    instruments: Optional[Iterable[Mapping[str, Any]]] = None,
    liquidity: Optional[bool] = None,
    activity: Optional[bool] = None,
    simulate: Optional[Mapping[str, bool]] = None,
) -> None:
    """Add to the world as it stands.

    * users: ``{"id", "secret", "role": "investor" | "marketrep", "broker", "pin"}``
    * derivatives_accounts: ``{"account_no", "owner", "cash", "credit_line"}``
    * equity_accounts: ``{"account_no", "owner", "type", "cash", "credit_limit",
      "can_buy", "can_sell", "client_type", "customer_type"}``
    * positions: equity ``{"account_no", "symbol", "volume", "price"}``,
      derivatives ``{"account_no", "symbol", "long", "long_price", "short", "short_price"}``
    * prices: ``{symbol: price}`` moves the market there now (see :func:`set_price`)
    * simulate: ``{symbol: False}`` switches the market simulation (fair price,
      liquidity provider, other participants) off for that instrument; only
      customers' orders trade in it then
    * instruments: ``{"symbol", "market": "equity" | "derivatives", "price", "tick",
      "lot", "multiplier", "im", "mm", "limit", "volatility", "lp_levels", "lp_size",
      "flow_chance", "informed_chance", "informed_size", "underlying", "link", "link_offset"}``

    An existing user or account of the same id is updated.
    """
    settings = _entities(users, derivatives_accounts, equity_accounts, positions, prices, instruments)
    if liquidity is not None:
        settings["liquidity"] = liquidity
    if activity is not None:
        settings["activity"] = activity
    if simulate is not None:
        settings["simulate"] = {str(k): bool(v) for k, v in dict(simulate).items()}
    _check(_lib().tvx_broker_apply(json.dumps(settings).encode()))


def set_price(symbol: str, price: float) -> None:
    """Move the market's price of ``symbol`` (and what follows it) now.

    The liquidity provider quotes around the new price at once, trading with
    any customer order that the new quotes cross. A price that is not a
    finite number above zero, or lies outside the day's limits (floor to
    ceiling), raises ``ValueError``. At a limit itself the provider quotes one
    tick inside it (it cannot quote beyond the limit).
    """
    seed(prices={symbol: price})


def step(ticks: int = 1) -> None:
    """Advance the clock by ``ticks`` ticks (0 or more), as the running clock would.
    Refused (``ValueError``) while a history is loaded: its times drive the clock."""
    if isinstance(ticks, bool) or not isinstance(ticks, int) or ticks < 0:
        raise ValueError(f"step needs a whole number of ticks, 0 or more, not {ticks!r}")
    _check(_lib().tvx_broker_step(ticks))


def run(interval: float = 0.25) -> None:
    """Let the clock tick on its own every ``interval`` seconds (refused while a
    history is loaded, as :func:`step` is)."""
    if not isinstance(interval, (int, float)) or not math.isfinite(interval) or interval <= 0:
        raise ValueError(f"run needs an interval in seconds above zero, not {interval!r}")
    _check(_lib().tvx_broker_run(max(1, int(interval * 1000))))


def stop() -> None:
    """Stop the clock; it then moves only through :func:`step`."""
    _lib().tvx_broker_stop()


def state() -> Dict[str, Any]:
    """Everything the broker holds: clock, instruments with their books,
    users, accounts with positions, orders, trades, the latest public trades."""
    out: Dict[str, Any] = json.loads(_lib().tvx_broker_state())
    return out


def drain(timeout: float = 5.0) -> bool:
    """Wait until every event the broker produced so far has been delivered."""
    return bool(_lib().tvx_broker_drain(int(timeout * 1000)))


# ---------------------------------------------------------------- replay


def replay(history: Any, *, instruments: Optional[Iterable[Mapping[str, Any]]] = None) -> Dict[str, Any]:
    """Replay market history through the broker (see the README's Historical
    replay): load ``history`` (a :class:`tavrolix_sandbox.history.History`,
    or the bytes of its ``pack()``) and move the clock to its first event.
    Nothing more happens until :func:`replay_step`, :func:`replay_until` or
    :func:`replay_run`.

    The replayed instruments stop being simulated: their tape, candles and
    day figures start over from the history, and customers' orders on them
    fill by the fill model (``tavrolix_sandbox.fills``). A symbol the world
    lacks is defined first, as an equity instrument at the history's first
    price with a tick of 0.01 and a lot of 1, or as ``instruments`` describes it (the
    mappings of :func:`seed`); no daily price band binds its orders unless
    its mapping gives a ``limit``. Instruments with open orders are refused
    (cancel them, or :func:`reset` first). Returns :func:`replay_state`.
    """
    from .history import History

    given = {str(d["symbol"]): dict(d) for d in (instruments or ())}
    if isinstance(history, History):
        have = set(state()["instruments"])
        missing = []
        for symbol in history.symbols:
            if symbol in have:
                continue
            definition = given.get(symbol) or {"symbol": symbol, "tick": 0.01, "lot": 1}
            if "limit" not in definition:
                definition["band"] = False  # the history's market had no band of ours
            if "price" not in definition:
                definition["price"] = history.first_price(symbol)
            missing.append(definition)
        if missing:
            seed(instruments=missing)
        blob = history.pack()
    elif isinstance(history, (bytes, bytearray, memoryview)):
        blob = bytes(history)
    else:
        raise TypeError(f"replay needs a History or the bytes of History.pack(), not {type(history).__name__}")
    _check(_lib().tvx_replay_load(blob, len(blob)))
    return replay_state()


def replay_step(events: int = 1) -> int:
    """Apply the next ``events`` history events in lockstep: each event's
    deliveries are made, and the callables have returned (what they ordered
    handled at the event's time), before the next. Returns how many were
    applied; 0 once the history is over."""
    if isinstance(events, bool) or not isinstance(events, int) or events < 0:
        raise ValueError(f"replay_step needs a whole number of events, 0 or more, not {events!r}")
    return int(_lib().tvx_replay_step(events))


def replay_until(time: Any) -> int:
    """Apply every event up to and including ``time`` (any form
    ``history.to_utc_seconds`` takes), then move the clock to it."""
    from .history import to_utc_seconds

    return int(_lib().tvx_replay_until(to_utc_seconds(time)))


def replay_run(speed: float = 0.0) -> None:
    """Replay the rest on the library's own thread, ``speed`` simulated
    seconds per real second (0: as fast as it goes), still in lockstep.
    :func:`replay_stop` ends it; :func:`replay_state` tells where it is."""
    if not isinstance(speed, (int, float)) or not math.isfinite(speed) or speed < 0:
        raise ValueError(f"replay_run needs a speed of 0 or more, not {speed!r}")
    _check(_lib().tvx_replay_run(float(speed)))


def replay_stop() -> None:
    """Stop a running replay after its current event."""
    _lib().tvx_replay_stop()


def replay_state() -> Dict[str, Any]:
    """``{"loaded", "running", "events", "done", "left", "now", "next",
    "series": [{"symbol", "kind", "rows", "position"}]}``."""
    out: Dict[str, Any] = json.loads(_lib().tvx_replay_state())
    return out
