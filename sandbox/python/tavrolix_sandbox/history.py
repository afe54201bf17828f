"""Market history for the replay: bars, trades or quotes of one or more
instruments, validated and kept in columns ready for one native call.

Sources: a CSV file (path), any iterable of rows (mappings, or sequences in
the kind's column order), or a pandas DataFrame (pandas is optional and
imported only when a DataFrame is handed in)::

    from tavrolix_sandbox import history
    h = history.bars("goog.csv", symbol="GOOG", tick=0.01)
    h += history.trades(rows, symbol="ARVO", tick=history.EQUITY_TICKS)
    blob = h.pack()

A DataFrame of numeric or datetime columns is checked a column at a time
with numpy; when any row fails there, it is read row by row, so the error
names its row and field as for any other source. Column names are matched
without regard to case. Times may be datetimes,
dates, ISO texts ("2026-03-02", "2026-03-02T10:00:05", "...+07:00"), or
seconds since 1970; all become whole UTC seconds (fractions are truncated;
texts and datetimes without an offset are UTC).

Refused, with a :class:`HistoryError` naming the row and the field:
times out of order (bars of one instrument must strictly increase, trades and
quotes may repeat a second but not go back), missing or non-numeric values,
NaN or infinite prices, prices at or below zero, negative or fractional
volumes (a trade of no volume too), a bar whose high is below its low or
whose open or close lies outside [low, high], a quote whose bid is not below
its ask, an unknown aggressor side, a time beyond +-2^62 seconds, a symbol
longer than 31 bytes or holding a NUL.

The tick grid: ``tick`` is a number, a callable giving the tick at a price
(such as :data:`EQUITY_TICKS`, the sandbox's equity table), a mapping from
symbol to either, or None (no grid). A price within a millionth of a tick of
the grid is snapped onto it (that is only binary floating point). Any other
price off the grid is refused, unless ``off_grid="round"``: then it is
rounded to the nearest price of the grid (half a tick up). Rounding keeps a
bar consistent, since it never reorders prices.

:meth:`History.pack` lays everything out in one block of bytes (little
endian) that the native replay takes in one call:

=======  ======  ==========================================================
offset   size    field
=======  ======  ==========================================================
0        8       magic ``b"TVXHIST\\0"``
8        4       u32 layout version (1)
12       4       u32 number of series S
16       8       u64 size of the whole block in bytes
24       64 * S  series descriptors, see below
...              the columns of each series, in series order
=======  ======  ==========================================================

A series descriptor (64 bytes): u8 kind (1 bars, 2 trades, 3 quotes), 7
bytes zero, 32 bytes symbol (UTF-8, NUL padded, at most 31 bytes), i64 bar
interval in seconds (0 when unknown or not bars), u64 rows n, u64 offset of
the series' first column from the start of the block. The columns follow one
another, each n values of 8 bytes (the side column n bytes, zero-padded to a
multiple of 8):

* bars:   time i64, open f64, high f64, low f64, close f64, volume i64
* trades: time i64, price f64, volume i64, side i8 (1 buyer aggressed,
  -1 seller aggressed, 0 unknown)
* quotes: time i64, bid f64, bid_volume i64, ask f64, ask_volume i64

The replay steps through all series together in time order; at the same
second, series in their order in the block, rows in their order
(:meth:`History.events` gives that order).
"""

from __future__ import annotations

import csv
import datetime as _dt
import heapq
import math
import os
import re
import struct
import sys
from array import array
from bisect import bisect_right
from decimal import Decimal
from typing import Any, Callable, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

__all__ = [
    "HistoryError",
    "Series",
    "History",
    "bars",
    "trades",
    "quotes",
    "tick_table",
    "EQUITY_TICKS",
    "to_utc_seconds",
    "BARS",
    "TRADES",
    "QUOTES",
]

BARS, TRADES, QUOTES = 1, 2, 3
_KIND_NAMES = {BARS: "bars", TRADES: "trades", QUOTES: "quotes"}

# Columns of each kind, in row and layout order: (name, typecode).
_COLUMNS: Dict[int, Tuple[Tuple[str, str], ...]] = {
    BARS: (("time", "q"), ("open", "d"), ("high", "d"), ("low", "d"), ("close", "d"), ("volume", "q")),
    TRADES: (("time", "q"), ("price", "d"), ("volume", "q"), ("side", "b")),
    QUOTES: (("time", "q"), ("bid", "d"), ("bid_volume", "q"), ("ask", "d"), ("ask_volume", "q")),
}
# Fields of a row given as a sequence, by default.
_ROW_ORDER = {
    BARS: ("time", "open", "high", "low", "close", "volume"),
    TRADES: ("time", "price", "volume", "side"),
    QUOTES: ("time", "bid", "ask", "bid_volume", "ask_volume"),
}
# Fields a row may leave out, and their value then.
_OPTIONAL: Dict[int, Dict[str, Any]] = {
    BARS: {"volume": 0},
    TRADES: {"side": 0},
    QUOTES: {"bid_volume": 0, "ask_volume": 0},
}
_TIME_NAMES = ("time", "", "date", "datetime", "timestamp", "ts", "unnamed: 0")
_MAGIC = b"TVXHIST\0"
_HEADER = struct.Struct("<8sIIQ")
_DESCRIPTOR = struct.Struct("<B7x32sqQQ")
_SIDES = {"": 0, "B": 1, "BUY": 1, "S": -1, "SELL": -1, "1": 1, "-1": -1, "0": 0}

Tick = Union[float, Callable[[float], float]]
TickSpec = Union[None, Tick, Mapping[str, Tick]]


class HistoryError(ValueError):
    """Bad history input; ``row`` and ``field`` say where."""

    def __init__(self, where: str, field: str, problem: str) -> None:
        super().__init__("%s, field %r: %s" % (where, field, problem))
        self.where, self.field, self.problem = where, field, problem


# ---------------------------------------------------------------- tick grids


def tick_table(steps: Sequence[Tuple[float, float]], top: float) -> Callable[[float], float]:
    """A tick ladder: ``steps`` are (bound, tick) with the tick applying below
    the bound, ``top`` above the last bound. Each bound must lie on the grids
    of both sides, so that rounding within a band never leaves the grid."""
    bounds = [float(b) for b, _ in steps]
    ticks = [float(t) for _, t in steps] + [float(top)]
    if bounds != sorted(bounds) or any(t <= 0 for t in ticks):
        raise ValueError("tick table: bounds must increase and ticks be positive")
    for i, b in enumerate(bounds):
        for t in (ticks[i], ticks[i + 1]):
            if abs(b / t - round(b / t)) > 1e-9:
                raise ValueError("tick table: bound %g is not a multiple of tick %g" % (b, t))

    def tick(price: float) -> float:
        return ticks[bisect_right(bounds, price)]

    tick.__doc__ = (
        "Tick at a price: " + ", ".join("%g below %g" % (t, b) for b, t in zip(bounds, ticks)) + ", %g above" % top
    )
    return tick


#: The sandbox's equity tick table (see the README): 0.01 below 2, 0.02 below
#: 5, 0.05 below 10, 0.10 below 25, 0.25 below 100, 0.50 below 200, 1 below
#: 400, 2 from 400.
EQUITY_TICKS = tick_table([(2, 0.01), (5, 0.02), (10, 0.05), (25, 0.1), (100, 0.25), (200, 0.5), (400, 1)], 2)

_SNAP = 1e-6  # of a tick: closer than this is representation error, not an off-grid price


def _decimals(t: float) -> int:
    exp = Decimal(repr(t)).normalize().as_tuple().exponent
    return max(0, -int(exp))


class _Grid:
    def __init__(self, tick: Tick) -> None:
        if callable(tick):
            self.tick: Callable[[float], float] = tick
        else:
            step = float(tick)
            if not step > 0:
                raise ValueError("tick must be positive, got %r" % (tick,))

            def fixed(_price: float) -> float:
                return step

            self.tick = fixed
        self._places: Dict[float, int] = {}

    def _at(self, n: int, t: float) -> float:
        places = self._places.get(t)
        if places is None:
            places = self._places[t] = _decimals(t)
        return round(n * t, places)

    def snap(self, price: float) -> Optional[float]:
        """The grid price that ``price`` only misrepresents, or None."""
        t = self.tick(price)
        k = price / t
        n = round(k)
        if abs(k - n) <= _SNAP:
            return self._at(n, t)
        return None

    def nearest(self, price: float) -> float:
        """The grid price nearest ``price``, half a tick going up."""
        on = self.snap(price)
        if on is not None:
            return on
        t = self.tick(price)
        n = math.floor(price / t)
        down, up = self._at(n, t), self._at(n + 1, t)
        for p in (down, up):
            if self.snap(p) != p:
                raise ValueError(
                    "tick grid: %r lies between %r and %r, which are not both on the grid" % (price, down, up)
                )
        return down if price - down < up - price else up


# ---------------------------------------------------------------- times

_FRACTION = re.compile(r"(\d:\d\d)[.,]\d+")
_EPOCH = _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)


def to_utc_seconds(value: Any) -> int:
    """Whole seconds since 1970 (UTC) of a datetime, date, ISO text, number
    or numpy datetime64; naive times are UTC, fractions are truncated."""
    if isinstance(value, bool):
        raise ValueError("a time, not a truth value")
    if isinstance(value, (int, float)):
        if not math.isfinite(value):
            raise ValueError("not a finite number of seconds")
        return math.floor(value)
    if isinstance(value, str):
        text = value.strip()
        if not text:
            raise ValueError("empty")
        try:
            return math.floor(float(text))
        except ValueError:
            pass
        if text.endswith(("Z", "z")):
            text = text[:-1] + "+00:00"
        text = _FRACTION.sub(r"\1", text)  # whole seconds only, and 3.9 parses 3 or 6 digits alone
        try:
            value = _dt.datetime.fromisoformat(text.replace(" ", "T", 1) if len(text) > 10 else text)
        except ValueError:
            try:
                value = _dt.date.fromisoformat(text)
            except ValueError:
                raise ValueError("not an ISO date or time: %r" % value) from None
    if isinstance(value, _dt.datetime):
        if value.tzinfo is None:
            value = value.replace(tzinfo=_dt.timezone.utc)
        delta: _dt.timedelta = value - _EPOCH
        return int(delta.days) * 86400 + int(delta.seconds)
    if isinstance(value, _dt.date):
        return (value - _dt.date(1970, 1, 1)).days * 86400
    if type(value).__name__ == "datetime64":  # numpy, without importing it
        return int(value.astype("datetime64[s]").astype("int64"))
    raise ValueError("not a time: %r" % (value,))


# ---------------------------------------------------------------- one series


class Series:
    """One instrument's history of one kind, in columns (``array`` objects).

    ``columns[name]`` for each column of the kind; ``len(series)`` rows;
    ``series.row(i)`` a dict of row ``i``.
    """

    def __init__(self, kind: int, symbol: str, columns: Dict[str, array[Any]], interval: int = 0) -> None:
        if kind not in _COLUMNS:
            raise ValueError("unknown kind %r" % kind)
        if len(symbol.encode()) > 31 or not symbol or "\0" in symbol:
            raise ValueError("symbol %r: 1 to 31 bytes, no NUL" % symbol)
        self.kind, self.symbol, self.columns, self.interval = kind, symbol, columns, int(interval)
        lengths = {len(c) for c in columns.values()}
        if set(columns) != {n for n, _ in _COLUMNS[kind]} or len(lengths) > 1:
            raise ValueError(
                "columns of %s must be %s, of one length" % (_KIND_NAMES[kind], [n for n, _ in _COLUMNS[kind]])
            )

    def __len__(self) -> int:
        return len(self.columns["time"])

    def __repr__(self) -> str:
        return "Series(%s %s, %d rows)" % (_KIND_NAMES[self.kind], self.symbol, len(self))

    @property
    def kind_name(self) -> str:
        return _KIND_NAMES[self.kind]

    def row(self, i: int) -> Dict[str, Any]:
        return {name: self.columns[name][i] for name, _ in _COLUMNS[self.kind]}

    def __iter__(self) -> Iterator[Dict[str, Any]]:
        return (self.row(i) for i in range(len(self)))

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Series) and (self.kind, self.symbol, self.interval, self.columns) == (
            other.kind,
            other.symbol,
            other.interval,
            other.columns,
        )


class History:
    """Series of one or more instruments; ``+`` joins two histories."""

    def __init__(self, series: Iterable[Series] = ()) -> None:
        self.series: List[Series] = []
        for s in series:
            self._add(s)

    def _add(self, s: Series) -> None:
        if self.get(s.symbol, s.kind) is not None:
            raise ValueError("%s of %s given twice" % (s.kind_name, s.symbol))
        self.series.append(s)

    def __add__(self, other: History) -> History:
        return History(self.series + other.series)

    def __len__(self) -> int:
        return len(self.series)

    def __repr__(self) -> str:
        return "History(%r)" % self.series

    def __eq__(self, other: object) -> bool:
        return isinstance(other, History) and self.series == other.series

    def get(self, symbol: str, kind: int) -> Optional[Series]:
        for s in self.series:
            if s.symbol == symbol and s.kind == kind:
                return s
        return None

    def __getitem__(self, symbol: str) -> Series:
        """The symbol's series (bars, else trades, else quotes)."""
        for kind in (BARS, TRADES, QUOTES):
            s = self.get(symbol, kind)
            if s is not None:
                return s
        raise KeyError(symbol)

    @property
    def symbols(self) -> List[str]:
        return list(dict.fromkeys(s.symbol for s in self.series))

    def events(self) -> Iterator[Tuple[int, int, int]]:
        """(time, series index, row) of every row in replay order."""

        def one(k: int, s: Series) -> Iterator[Tuple[int, int, int]]:
            return ((t, k, i) for i, t in enumerate(s.columns["time"]))

        return heapq.merge(*(one(k, s) for k, s in enumerate(self.series)))

    def pack(self) -> bytes:
        """The block of bytes laid out as the module's docstring says."""
        at = _HEADER.size + _DESCRIPTOR.size * len(self.series)
        heads, bodies = [], []
        for s in self.series:
            heads.append(_DESCRIPTOR.pack(s.kind, s.symbol.encode(), s.interval, len(s), at))
            for name, _ in _COLUMNS[s.kind]:
                data = _le(s.columns[name]).tobytes()
                data += bytes(-len(data) % 8)
                bodies.append(data)
                at += len(data)
        return _HEADER.pack(_MAGIC, 1, len(self.series), at) + b"".join(heads) + b"".join(bodies)

    @staticmethod
    def unpack(blob: bytes) -> History:
        """The history a block from :meth:`pack` holds."""
        bad = ValueError("not a history block of layout 1 (magic, version, size or a series out of bounds)")
        if len(blob) < _HEADER.size:
            raise bad
        magic, version, count, size = _HEADER.unpack_from(blob, 0)
        if magic != _MAGIC or version != 1 or size != len(blob) or _HEADER.size + count * _DESCRIPTOR.size > size:
            raise bad
        out = []
        for k in range(count):
            kind, sym, interval, n, at = _DESCRIPTOR.unpack_from(blob, _HEADER.size + k * _DESCRIPTOR.size)
            if kind not in _COLUMNS:
                raise bad
            cols = {}
            for name, code in _COLUMNS[kind]:
                col: array[Any] = array(code)
                width = n * col.itemsize
                if at + width > size:
                    raise bad
                col.frombytes(blob[at : at + width])
                cols[name] = _le(col)
                at += width + (-width % 8)
            out.append(Series(kind, sym.rstrip(b"\0").decode(), cols, interval))
        return History(out)


def _le(col: array[Any]) -> array[Any]:
    if sys.byteorder == "little":
        return col
    col = array(col.typecode, col)
    col.byteswap()
    return col


# ---------------------------------------------------------------- loading


def bars(
    source: Any,
    *,
    symbol: Optional[str] = None,
    tick: TickSpec = None,
    interval: Optional[int] = None,
    off_grid: str = "refuse",
    columns: Optional[Sequence[str]] = None,
) -> History:
    """Bars (time, open, high, low, close[, volume]) of one instrument, or of
    several when the rows carry a ``symbol`` field and ``symbol`` is None.
    ``interval`` (seconds) defaults to the smallest gap between bars."""
    return _load(BARS, source, symbol, tick, off_grid, columns, interval)


def trades(
    source: Any,
    *,
    symbol: Optional[str] = None,
    tick: TickSpec = None,
    off_grid: str = "refuse",
    columns: Optional[Sequence[str]] = None,
) -> History:
    """Trades (time, price, volume[, side]): side is the aggressor, "BUY"/"B"/1,
    "SELL"/"S"/-1, or empty/0 when unknown."""
    return _load(TRADES, source, symbol, tick, off_grid, columns, None)


def quotes(
    source: Any,
    *,
    symbol: Optional[str] = None,
    tick: TickSpec = None,
    off_grid: str = "refuse",
    columns: Optional[Sequence[str]] = None,
) -> History:
    """Best bid and ask (time, bid, ask[, bid_volume, ask_volume])."""
    return _load(QUOTES, source, symbol, tick, off_grid, columns, None)


Row = Tuple[str, Mapping[str, Any]]  # (where, fields by lower-case name)


def _rows(kind: int, source: Any, columns: Optional[Sequence[str]]) -> Iterator[Row]:
    if isinstance(source, (str, bytes, os.PathLike)):
        yield from _csv_rows(source)
    elif _is_frame(source):
        yield from _frame_rows(source)
    else:
        order = [c.lower() for c in columns] if columns is not None else list(_ROW_ORDER[kind])
        for i, row in enumerate(source, 1):
            where = "row %d" % i
            if isinstance(row, Mapping):
                yield where, {str(k).lower(): v for k, v in row.items()}
            elif isinstance(row, (str, bytes)) or not isinstance(row, Sequence):
                raise HistoryError(where, "*", "a row must be a mapping or a sequence, got %s" % type(row).__name__)
            else:
                if not len(order) - len(_OPTIONAL[kind]) <= len(row) <= len(order):
                    raise HistoryError(where, "*", "%d values, expected %s" % (len(row), order))
                yield where, dict(zip(order, row))


def _is_frame(source: Any) -> bool:
    return type(source).__module__.startswith("pandas") and hasattr(source, "itertuples")


def _csv_rows(path: Any) -> Iterator[Row]:
    with open(path, newline="", encoding="utf-8-sig") as f:
        reader = csv.reader(f)
        header = next(reader, None)
        if header is None:
            return
        names = [h.strip().lower() for h in header]
        for row in reader:
            if not row:
                continue
            yield "line %d" % reader.line_num, dict(zip(names, row))


def _frame_rows(frame: Any) -> Iterator[Row]:
    names = [str(c).lower() for c in frame.columns]
    # A time index (as in most price frames) stands in for a missing time column.
    use_index = not any(n in _TIME_NAMES for n in names)
    for i, values in enumerate(frame.itertuples(index=True, name=None)):
        fields = dict(zip(names, values[1:]))
        if use_index:
            fields["time"] = values[0]
        yield "row %d (index %s)" % (i + 1, values[0]), fields


def _number(where: str, name: str, value: Any) -> float:
    if isinstance(value, str):
        value = value.strip()
        if not value:
            raise HistoryError(where, name, "missing")
    if value is None or isinstance(value, bool):
        raise HistoryError(where, name, "missing" if value is None else "a number, not a truth value")
    try:
        x = float(value)
    except (TypeError, ValueError):
        raise HistoryError(where, name, "not a number: %r" % (value,)) from None
    if not math.isfinite(x):
        raise HistoryError(where, name, "not a finite number: %r" % (value,))
    return x


def _volume(where: str, name: str, value: Any, positive: bool) -> int:
    x = _number(where, name, value)
    if x < 0 or (positive and x == 0):
        raise HistoryError(where, name, "volume must be %s, got %r" % ("positive" if positive else ">= 0", value))
    if x != int(x) or x >= 2**63:
        raise HistoryError(where, name, "volume must be a whole number below 2^63, got %r" % (value,))
    return int(x)


class _Builder:
    """Validates the rows of one series and appends them to its columns."""

    def __init__(self, kind: int, symbol: str, tick: Optional[Tick], off_grid: str) -> None:
        self.kind, self.symbol = kind, symbol
        self.grid = _Grid(tick) if tick is not None else None
        self.round = off_grid == "round"
        self.cols: Dict[str, array[Any]] = {name: array(code) for name, code in _COLUMNS[kind]}
        self.last = None  # type: Optional[int]

    def price(self, where: str, name: str, value: Any) -> float:
        x = _number(where, name, value)
        if x <= 0:
            raise HistoryError(where, name, "price must be positive, got %r" % (value,))
        if self.grid is None:
            return x
        on = self.grid.snap(x)
        if on is not None:
            return on
        if not self.round:
            raise HistoryError(
                where, name, "price %r is off the tick grid (tick %g there)" % (value, self.grid.tick(x))
            )
        r = self.grid.nearest(x)
        if r <= 0:
            raise HistoryError(where, name, "price %r rounds to zero on the tick grid" % (value,))
        return r

    def time(self, where: str, fields: Mapping[str, Any]) -> int:
        for name in _TIME_NAMES:
            if name in fields:
                try:
                    t = to_utc_seconds(fields[name])
                except (ValueError, TypeError, AttributeError, OverflowError) as e:  # NaT, say
                    raise HistoryError(where, name or "time", "not a time: %r (%s)" % (fields[name], e)) from None
                if not -(2**62) < t < 2**62:
                    raise HistoryError(where, name or "time", "out of range: %r" % (fields[name],))
                if self.last is not None and (t < self.last or (t == self.last and self.kind == BARS)):
                    raise HistoryError(
                        where,
                        name or "time",
                        "times out of order: %d after %d (%s)"
                        % (
                            t,
                            self.last,
                            "bars must strictly increase" if self.kind == BARS else "times must not decrease",
                        ),
                    )
                self.last = t
                return t
        raise HistoryError(where, "time", "missing")

    def add(self, where: str, f: Mapping[str, Any]) -> None:
        t = self.time(where, f)
        get = f.get
        c = self.cols
        if self.kind == BARS:
            o, h, l, cl = (self.price(where, n, get(n)) for n in ("open", "high", "low", "close"))
            if h < l:
                raise HistoryError(where, "high", "high %r below low %r" % (h, l))
            for name, x in (("open", o), ("close", cl)):
                if not l <= x <= h:
                    raise HistoryError(where, name, "%s %r outside [low %r, high %r]" % (name, x, l, h))
            v = _volume(where, "volume", get("volume", 0), False)
            for name, x in (("time", t), ("open", o), ("high", h), ("low", l), ("close", cl), ("volume", v)):
                c[name].append(x)
        elif self.kind == TRADES:
            p = self.price(where, "price", get("price"))
            v = _volume(where, "volume", get("volume"), True)
            raw = get("side", 0)
            if isinstance(raw, (int, float)) and not isinstance(raw, bool):
                side = int(raw) if raw in (-1, 0, 1) else None
            else:
                side = _SIDES.get(str(raw if raw is not None else "").strip().upper())
            if side is None:
                raise HistoryError(where, "side", "aggressor side must be BUY/B/1, SELL/S/-1 or empty, got %r" % (raw,))
            for name, x in (("time", t), ("price", p), ("volume", v), ("side", side)):
                c[name].append(x)
        else:
            b, a = self.price(where, "bid", get("bid")), self.price(where, "ask", get("ask"))
            if not b < a:
                raise HistoryError(where, "ask", "bid %r not below ask %r" % (b, a))
            bv = _volume(where, "bid_volume", get("bid_volume", 0), False)
            av = _volume(where, "ask_volume", get("ask_volume", 0), False)
            for name, x in (("time", t), ("bid", b), ("bid_volume", bv), ("ask", a), ("ask_volume", av)):
                c[name].append(x)


def _tick_for(tick: TickSpec, symbol: str) -> Optional[Tick]:
    if isinstance(tick, Mapping):
        return tick.get(symbol)
    return tick


def _frame_fast(kind: int, frame: Any, symbol: str, tick: Optional[Tick]) -> Optional[Dict[str, array[Any]]]:
    """The columns of a DataFrame whose every row is valid and on the grid,
    checked all at once; None when a row needs the row-by-row path (which
    then refuses it naming row and field, or rounds it) or a column is of a
    form only that path reads (texts, booleans, times before 1970)."""
    import numpy as np

    names = {str(c).lower(): c for c in frame.columns}
    if len(names) != len(frame.columns) or not len(frame):
        return None
    tname = next((n for n in _TIME_NAMES if n in names), None)
    when = frame.index if tname is None else frame[names[tname]]
    kind_of = getattr(when, "dtype", np.dtype("O")).kind
    if kind_of == "M":
        if tname is None:
            if getattr(when, "tz", None) is not None:
                when = when.tz_convert("UTC").tz_localize(None)
        elif getattr(when.dt, "tz", None) is not None:
            when = when.dt.tz_convert("UTC").dt.tz_localize(None)
        raw = when.to_numpy(dtype="datetime64[ns]")
        if np.isnat(raw).any() or (raw < np.datetime64(0, "ns")).any():
            return None
        times = raw.astype("datetime64[s]").astype(np.int64)
    elif kind_of in "iuf" and tname is not None:
        t = when.to_numpy(dtype=np.float64)
        if not np.isfinite(t).all() or (np.abs(t) >= 2.0**62).any() or (t < 0).any():
            return None
        times = np.floor(t).astype(np.int64) if kind_of == "f" else when.to_numpy(dtype=np.int64)
    else:
        return None
    steps = np.diff(times)
    if (steps <= 0).any() if kind == BARS else (steps < 0).any():
        return None
    grid = _Grid(tick) if tick is not None else None
    cols: Dict[str, Any] = {"time": times}
    for name, code in _COLUMNS[kind]:
        if name == "time":
            continue
        if name not in names:
            if name not in _OPTIONAL[kind]:
                return None
            cols[name] = np.zeros(len(frame), dtype=np.int8 if code == "b" else np.int64)
            continue
        col = frame[names[name]]
        if col.dtype.kind not in "iuf":
            return None
        x = col.to_numpy(dtype=np.float64)
        if not np.isfinite(x).all():
            return None
        if code == "d":
            if (x <= 0).any():
                return None
            if grid is not None:
                uniq, at = np.unique(x, return_inverse=True)
                snapped = [grid.snap(float(u)) for u in uniq]
                if any(v is None for v in snapped):
                    return None
                x = np.asarray(snapped, dtype=np.float64)[at]
            cols[name] = x
        elif name == "side":
            if not np.isin(x, (-1, 0, 1)).all():
                return None
            cols[name] = x.astype(np.int8)
        else:
            if (x < 0).any() or (kind == TRADES and (x == 0).any()) or (x != np.floor(x)).any() or (x >= 2.0**63).any():
                return None
            cols[name] = col.to_numpy(dtype=np.int64) if col.dtype.kind in "iu" else x.astype(np.int64)
    if kind == BARS:
        o, h, l, c = cols["open"], cols["high"], cols["low"], cols["close"]
        if (h < l).any() or (o < l).any() or (o > h).any() or (c < l).any() or (c > h).any():
            return None
    elif kind == QUOTES and not (cols["bid"] < cols["ask"]).all():
        return None
    out: Dict[str, array[Any]] = {}
    for name, code in _COLUMNS[kind]:
        a: array[Any] = array(code)
        a.frombytes(
            np.ascontiguousarray(cols[name], dtype={"q": np.int64, "d": np.float64, "b": np.int8}[code]).tobytes()
        )
        out[name] = a
    return out


def _load(
    kind: int,
    source: Any,
    symbol: Optional[str],
    tick: TickSpec,
    off_grid: str,
    columns: Optional[Sequence[str]],
    interval: Optional[int],
) -> History:
    if off_grid not in ("refuse", "round"):
        raise ValueError("off_grid must be 'refuse' or 'round', not %r" % (off_grid,))
    if symbol is not None and _is_frame(source) and 0 < len(symbol.encode()) <= 31 and "\0" not in symbol:
        fast = _frame_fast(kind, source, symbol, _tick_for(tick, symbol))
        if fast is not None:
            times = fast["time"]
            step = (
                0
                if kind != BARS
                else interval
                if interval is not None
                else min((y - x for x, y in zip(times, times[1:])), default=0)
            )
            return History([Series(kind, symbol, fast, step)])
    builders: Dict[str, _Builder] = {}
    for where, fields in _rows(kind, source, columns):
        sym = symbol
        if sym is None:
            raw = fields.get("symbol")
            if raw is None or not str(raw).strip():
                raise HistoryError(where, "symbol", "missing (give symbol=... or a symbol column)")
            sym = str(raw).strip()
        b = builders.get(sym)
        if b is None:
            if len(sym.encode()) > 31 or "\0" in sym:
                raise HistoryError(where, "symbol", "1 to 31 bytes without NUL: %r" % sym)
            b = builders[sym] = _Builder(kind, sym, _tick_for(tick, sym), off_grid)
        b.add(where, fields)
    if not builders and symbol is not None:
        builders[symbol] = _Builder(kind, symbol, None, off_grid)
    out = []
    for sym, b in builders.items():
        step = 0
        if kind == BARS:
            times = b.cols["time"]
            step = interval if interval is not None else min((y - x for x, y in zip(times, times[1:])), default=0)
        out.append(Series(kind, sym, b.cols, step))
    return History(out)
