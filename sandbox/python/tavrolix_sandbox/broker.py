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

Several independent worlds live side by side in one process: a
:class:`World` has its own clock, accounts, books, streams and replay, and
logins made through it reach only it::

    with broker.World(seed=7, liquidity=False) as w:
        ctx = w.login("inv001", "inv001-secret")   # or tavrolix.connect(..., **w.login_texts())
        w.step(60)
        w.state()["equity_accounts"]["E-1001"]

Its methods are the functions of this module; the functions act on the
default world, the one a login without a world's name reaches. Ending a world
(``close``, the end of its ``with``, or ``reset``) ends its streams: each gets
one last event ``{"end": reason}``.

Every function here releases the interpreter lock while the library works, so
event threads that deliver to Python callables keep going meanwhile.
"""

from __future__ import annotations

import ctypes
import functools
import inspect
import json
import math
from decimal import Decimal
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, List, Mapping, Optional, Tuple, TypeVar

from . import _declare
from . import library as _library

__all__ = [
    "World",
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
    "fees",
    "hold_factor",
]

# name: (argtypes, restype)
_U64 = ctypes.c_uint64
_OUT_TEXT = ctypes.POINTER(ctypes.c_char_p)
_SIGNATURES: Dict[str, Tuple[List[Any], Any]] = {
    "tvx_world_create": ([ctypes.c_char_p, ctypes.POINTER(_U64)], ctypes.c_char_p),
    "tvx_world_close": ([_U64], ctypes.c_char_p),
    "tvx_world_reset": ([_U64, ctypes.c_char_p], ctypes.c_char_p),
    "tvx_world_apply": ([_U64, ctypes.c_char_p], ctypes.c_char_p),
    "tvx_world_step": ([_U64, ctypes.c_int64], ctypes.c_char_p),
    "tvx_world_run": ([_U64, ctypes.c_int], ctypes.c_char_p),
    "tvx_world_stop": ([_U64], ctypes.c_char_p),
    "tvx_world_state": ([_U64, _OUT_TEXT], ctypes.c_char_p),
    "tvx_world_drain": ([_U64, ctypes.c_int, ctypes.POINTER(ctypes.c_int)], ctypes.c_char_p),
    "tvx_world_replay_load": ([_U64, ctypes.c_char_p, _U64], ctypes.c_char_p),
    "tvx_world_replay_step": ([_U64, _U64, ctypes.POINTER(_U64)], ctypes.c_char_p),
    "tvx_world_replay_until": ([_U64, ctypes.c_int64, ctypes.POINTER(_U64)], ctypes.c_char_p),
    "tvx_world_replay_run": ([_U64, ctypes.c_double], ctypes.c_char_p),
    "tvx_world_replay_stop": ([_U64], ctypes.c_char_p),
    "tvx_world_replay_state": ([_U64, _OUT_TEXT], ctypes.c_char_p),
    "tvx_world_fees": ([_OUT_TEXT], ctypes.c_char_p),
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


def _reset_settings(args: Mapping[str, Any]) -> bytes:
    """The library's settings for :meth:`World.reset`'s arguments, every one given."""
    settings: Dict[str, Any] = {
        "seed": args["seed"],
        "running": args["running"],
        "liquidity": args["liquidity"],
        "activity": args["activity"],
        "history_minutes": args["history_minutes"],
        "interval_ms": max(1, int(args["interval"] * 1000)),
        "tick_seconds": args["tick_seconds"],
        "default_world": args["default_world"],
        "conflate": args["conflate"],
    }
    if args["start"] is not None:
        settings["start"] = args["start"]
    if args["session"] is not None:
        settings["session"] = dict(args["session"])
    settings.update(
        _entities(
            *(
                args[k]
                for k in ("users", "derivatives_accounts", "equity_accounts", "positions", "prices", "instruments")
            )
        )
    )
    return json.dumps(settings).encode()


@functools.cache
def _reset_signature() -> inspect.Signature:
    # Made once: reading it costs more than the library's whole world.
    return inspect.signature(World.reset)


def _reset_arguments(*args: Any, **kwargs: Any) -> Dict[str, Any]:
    """Arguments as :meth:`World.reset` takes them, defaults filled in (a
    TypeError for any it does not take, as a call would raise)."""
    bound = _reset_signature().bind(None, *args, **kwargs)
    bound.apply_defaults()
    out = dict(bound.arguments)
    del out["self"]
    return out


_DEFAULT_ID = 0


def _schedule() -> Dict[str, Any]:
    out = ctypes.c_char_p()
    _check(_lib().tvx_world_fees(ctypes.byref(out)))
    schedule: Dict[str, Any] = json.loads(out.value or b"{}")
    return schedule


class World:
    """A sandbox of its own: clock, instruments and books, users and accounts,
    streams and replay, independent of every other world in the process.

    ``World(...)`` takes the arguments of :func:`reset` and makes the world;
    used as a context manager it is closed on leaving. A login reaches the
    world whose name its third text carries (:meth:`login_texts`); without
    one, the default world (the one this module's functions act on).
    """

    def __init__(self, seed: int = 20260302, **settings: Any) -> None:
        wid = ctypes.c_uint64(0)
        _check(_lib().tvx_world_create(_reset_settings(_reset_arguments(seed, **settings)), ctypes.byref(wid)))
        self._id = wid.value
        self._closed = False

    @classmethod
    def _named(cls, wid: int) -> World:
        w = cls.__new__(cls)
        w._id = wid
        w._closed = False
        return w

    @property
    def id(self) -> int:
        """The world's number (0 for the default world)."""
        return self._id

    def __repr__(self) -> str:
        return f"<tavrolix_sandbox.broker.World {self._id}{' closed' if self._closed else ''}>"

    def __enter__(self) -> World:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        """End the world: its clock and replay stop, its streams get their last
        event ``{"end": "the world was closed"}``, its logins are refused from
        then on. Closing twice is harmless; the default world cannot be closed
        (reset it)."""
        if self._id == _DEFAULT_ID:
            raise ValueError("the default world cannot be closed; reset it")
        if not self._closed:
            self._closed = True
            _check(_lib().tvx_world_close(self._id))

    def login_texts(self) -> Dict[str, str]:
        """The login texts that name this world: ``tavrolix.connect(app_id,
        secret, **world.login_texts())``, or the third and fourth arguments of
        ``tavrolix_open_api.login``."""
        return {"login_text3": "" if self._id == _DEFAULT_ID else f"world:{self._id}", "login_text4": ""}

    def login(self, app_id: str, secret: str, enable_queue: bool = False) -> Any:
        """``tavrolix_open_api.login`` into this world: its context dictionary."""
        import tavrolix_open_api

        texts = self.login_texts()
        return tavrolix_open_api.login(app_id, secret, texts["login_text3"], texts["login_text4"], enable_queue)

    def connect(self, app_id: str, secret: str, **kwargs: Any) -> Any:
        """``tavrolix.connect`` into this world (keyword arguments as there)."""
        import tavrolix

        options: Dict[str, Any] = dict(self.login_texts())
        clash = sorted(options.keys() & kwargs.keys())
        if clash:  # the world names itself through these
            raise TypeError("connect() got multiple values for %s" % ", ".join(clash))
        options.update(kwargs)
        return tavrolix.connect(app_id, secret, **options)

    def fees(self) -> Dict[str, Decimal]:
        """The equity fee schedule, as the library defines it: each fee's rate of a
        fill's value, by the trade's key (``brokerage_fee``, ``trading_fee``,
        ``clearing_fee``); each fee of a fill is rounded half up to the cent."""
        return {k: Decimal(num) / Decimal(den) for k, (num, den) in _schedule()["equity"].items()}

    def hold_factor(self) -> Decimal:
        """What an open equity buy holds back of buying power per unit of its
        value, fees included, as the library defines it: the largest buy an
        account can afford is its buying power over price times this."""
        num, den = _schedule()["hold"]
        return Decimal(num) / Decimal(den)

    def _text(self, entry: str) -> str:
        out = ctypes.c_char_p()
        _check(getattr(_lib(), entry)(self._id, ctypes.byref(out)))
        return (out.value or b"").decode()

    def _count(self, entry: str, arg: int) -> int:
        n = ctypes.c_uint64(0)
        _check(getattr(_lib(), entry)(self._id, arg, ctypes.byref(n)))
        return int(n.value)

    def reset(
        self,
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
        only through `step`. ``liquidity`` is the liquidity provider's
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
        (see `seed`), ``prices`` here being the reference (prior close)
        prices from which the daily limits follow.
        """
        arguments = dict(locals())  # the parameters alone, so far
        del arguments["self"]
        _check(_lib().tvx_world_reset(self._id, _reset_settings(arguments)))

    def seed(
        self,
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
        * prices: ``{symbol: price}`` moves the market there now (see `set_price`)
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
        _check(_lib().tvx_world_apply(self._id, json.dumps(settings).encode()))

    def set_price(self, symbol: str, price: float) -> None:
        """Move the market's price of ``symbol`` (and what follows it) now.

        The liquidity provider quotes around the new price at once, trading with
        any customer order that the new quotes cross. A price that is not a
        finite number above zero, or lies outside the day's limits (floor to
        ceiling), raises ``ValueError``. At a limit itself the provider quotes one
        tick inside it (it cannot quote beyond the limit).
        """
        self.seed(prices={symbol: price})

    def step(self, ticks: int = 1) -> None:
        """Advance the clock by ``ticks`` ticks (0 or more), as the running clock would.
        Refused (``ValueError``) while a history is loaded: its times drive the clock."""
        if isinstance(ticks, bool) or not isinstance(ticks, int) or ticks < 0:
            raise ValueError(f"step needs a whole number of ticks, 0 or more, not {ticks!r}")
        _check(_lib().tvx_world_step(self._id, ticks))

    def run(self, interval: float = 0.25) -> None:
        """Let the clock tick on its own every ``interval`` seconds (refused while a
        history is loaded, as `step` is)."""
        if not isinstance(interval, (int, float)) or not math.isfinite(interval) or interval <= 0:
            raise ValueError(f"run needs an interval in seconds above zero, not {interval!r}")
        _check(_lib().tvx_world_run(self._id, max(1, int(interval * 1000))))

    def stop(self) -> None:
        """Stop the clock; it then moves only through `step`."""
        _check(_lib().tvx_world_stop(self._id))

    def state(self) -> Dict[str, Any]:
        """Everything the broker holds: clock, instruments with their books,
        users, accounts with positions, orders, trades, the latest public trades."""
        out: Dict[str, Any] = json.loads(self._text("tvx_world_state"))
        return out

    def drain(self, timeout: float = 5.0) -> bool:
        """Wait until every event the broker produced so far has been delivered."""
        done = ctypes.c_int(0)
        _check(_lib().tvx_world_drain(self._id, int(timeout * 1000), ctypes.byref(done)))
        return bool(done.value)

    def replay(self, history: Any, *, instruments: Optional[Iterable[Mapping[str, Any]]] = None) -> Dict[str, Any]:
        """Replay market history through the broker (see the README's Historical
        replay): load ``history`` (a :class:`tavrolix_sandbox.history.History`,
        or the bytes of its ``pack()``) and move the clock to its first event.
        Nothing more happens until `replay_step`, `replay_until` or
        `replay_run`.

        The replayed instruments stop being simulated: their tape, candles and
        day figures start over from the history, and customers' orders on them
        fill by the fill model (``tavrolix_sandbox.fills``). A symbol the world
        lacks is defined first, as an equity instrument at the history's first
        price with a tick of 0.01 and a lot of 1, or as ``instruments`` describes it (the
        mappings of `seed`); no daily price band binds its orders unless
        its mapping gives a ``limit``. Instruments with open orders are refused
        (cancel them, or `reset` first). Returns `replay_state`.
        """
        from .history import History

        given = {str(d["symbol"]): dict(d) for d in (instruments or ())}
        if isinstance(history, History):
            have = set(self.state()["instruments"])
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
                self.seed(instruments=missing)
            blob = history.pack()
        elif isinstance(history, (bytes, bytearray, memoryview)):
            blob = bytes(history)
        else:
            raise TypeError(f"replay needs a History or the bytes of History.pack(), not {type(history).__name__}")
        _check(_lib().tvx_world_replay_load(self._id, blob, len(blob)))
        return self.replay_state()

    def replay_step(self, events: int = 1) -> int:
        """Apply the next ``events`` history events in lockstep: each event's
        deliveries are made, and the callables have returned (what they ordered
        handled at the event's time), before the next. Returns how many were
        applied; 0 once the history is over."""
        if isinstance(events, bool) or not isinstance(events, int) or events < 0:
            raise ValueError(f"replay_step needs a whole number of events, 0 or more, not {events!r}")
        return self._count("tvx_world_replay_step", events)

    def replay_until(self, time: Any) -> int:
        """Apply every event up to and including ``time`` (any form
        ``history.to_utc_seconds`` takes), then move the clock to it."""
        from .history import to_utc_seconds

        return self._count("tvx_world_replay_until", to_utc_seconds(time))

    def replay_run(self, speed: float = 0.0) -> None:
        """Replay the rest on the library's own thread, ``speed`` simulated
        seconds per real second (0: as fast as it goes), still in lockstep.
        `replay_stop` ends it; `replay_state` tells where it is."""
        if not isinstance(speed, (int, float)) or not math.isfinite(speed) or speed < 0:
            raise ValueError(f"replay_run needs a speed of 0 or more, not {speed!r}")
        _check(_lib().tvx_world_replay_run(self._id, float(speed)))

    def replay_stop(self) -> None:
        """Stop a running replay after its current event."""
        _check(_lib().tvx_world_replay_stop(self._id))

    def replay_state(self) -> Dict[str, Any]:
        """``{"loaded", "running", "events", "done", "left", "now", "next",
        "series": [{"symbol", "kind", "rows", "position"}]}``."""
        out: Dict[str, Any] = json.loads(self._text("tvx_world_replay_state"))
        return out


_R = TypeVar("_R")
if TYPE_CHECKING:
    from typing_extensions import Concatenate, ParamSpec

    _P = ParamSpec("_P")


def _on_default(method: Callable[Concatenate[World, _P], _R]) -> Callable[_P, _R]:
    @functools.wraps(method)
    def on_default(*args: Any, **kwargs: Any) -> Any:
        return method(_DEFAULT, *args, **kwargs)

    signature = inspect.signature(method)
    on_default.__signature__ = signature.replace(  # type: ignore[attr-defined]
        parameters=list(signature.parameters.values())[1:]
    )
    return on_default


_DEFAULT = World._named(_DEFAULT_ID)

# The default world's controls.
reset = _on_default(World.reset)
seed = _on_default(World.seed)
set_price = _on_default(World.set_price)
step = _on_default(World.step)
run = _on_default(World.run)
stop = _on_default(World.stop)
state = _on_default(World.state)
drain = _on_default(World.drain)
replay = _on_default(World.replay)
replay_step = _on_default(World.replay_step)
replay_until = _on_default(World.replay_until)
replay_run = _on_default(World.replay_run)
replay_stop = _on_default(World.replay_stop)
replay_state = _on_default(World.replay_state)
fees = _on_default(World.fees)
hold_factor = _on_default(World.hold_factor)
