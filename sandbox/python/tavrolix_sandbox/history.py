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
names its row and field as for any other source. A CSV file goes through
pandas the same way when pandas is installed; without pandas it is read with
the csv module and checked a column at a time (a text column such as the
side is read once per distinct text), falling back to the row path in the
same way. Column names are matched without regard to case.

The time is the column named time, date, datetime, timestamp or ts (or the
one ``time_column=`` names); a DataFrame may instead carry it as a datetime
index or an index of such a name. An unnamed column or row numbers are never
taken for the time: without a time column the load is refused, listing the
columns seen. Times may be datetimes, dates, ISO texts ("2026-03-02",
"2026-03-02T10:00:05", "...+07:00"), or numbers: seconds since 1970, or the
unit ``time_unit=`` gives ("s", "ms", "us", "ns", or "yyyymmdd"). All become
whole UTC seconds (fractions are truncated; texts and datetimes without an
offset are UTC). A number that as seconds falls outside 1900 to 2200 (epoch
milliseconds, say) or that spells a YYYYMMDD date is refused with a hint,
unless ``time_unit`` says how to read it.

Refused, with a :class:`HistoryError` naming the row and the field:
times out of order (bars of one instrument must strictly increase, trades and
quotes may repeat a second but not go back), missing or non-numeric values,
NaN or infinite prices, prices at or below zero, negative or fractional
volumes (a trade of no volume too), a bar whose high is below its low or
whose open or close lies outside [low, high], a quote whose bid is not below
its ask, an unknown aggressor side, a time beyond +-2^62 seconds, a price
above 1e11, a CSV row with more or fewer fields than its header, a symbol
longer than 31 bytes or holding a NUL. Fractional bar volumes are refused
unless ``round_volume=True``.

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
import io
import itertools
import math
import operator
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
# Names a time column goes by. An unnamed column (a frame's row numbers
# written by to_csv) is never taken for one: name it, or give time_column=.
_TIME_NAMES = ("time", "date", "datetime", "timestamp", "ts")
_TIME_UNITS = {"s": 1, "ms": 1000, "us": 1000_000, "ns": 1000_000_000}
# Numbers taken as seconds must fall between these (1900-01-01 and
# 2200-01-01): epoch milliseconds read as seconds land in year 55,000.
_EARLIEST, _LATEST = -2208988800, 7258118400
# The highest price the replay holds.
MAX_PRICE = 1e11
_MAGIC = b"TVXHIST\0"
_HEADER = struct.Struct("<8sIIQ")
_DESCRIPTOR = struct.Struct("<B7x32sqQQ")
_SIDES = {"": 0, "B": 1, "BUY": 1, "S": -1, "SELL": -1, "1": 1, "-1": -1, "0": 0}

Tick = Union[float, Callable[[float], float]]
TickSetting = Union[None, Tick, Mapping[str, Tick]]


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
    if isinstance(value, bool) or type(value).__name__ in ("bool_", "bool"):
        raise ValueError("a time, not a truth value")
    if not isinstance(value, (int, float)) and hasattr(value, "__index__") and not isinstance(value, str):
        value = operator.index(value)  # numpy integers
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


def _yyyymmdd(n: Union[int, float]) -> Optional[int]:
    """Seconds of the date that the number ``n`` spells as YYYYMMDD, or None."""
    if not 19000101 <= n <= 22001231 or n != int(n):
        return None
    y, md = divmod(int(n), 10000)
    m, d = divmod(md, 100)
    try:
        return (_dt.date(y, m, d) - _dt.date(1970, 1, 1)).days * 86400
    except ValueError:
        return None


_NUMERIC = re.compile(
    r"[+-]?(?:[0-9_]+\.?[0-9_]*|\.[0-9_]+)(?:[eE][+-]?[0-9_]+)?|[+-]?(?:nan|inf|infinity)", re.I
).fullmatch


def _as_number(value: Any) -> Optional[Union[int, float]]:
    """The number a time value is (int, float, numpy number, or a text of one); None for any other form."""
    if isinstance(value, bool) or type(value).__name__ in ("bool_", "bool"):
        return None
    if isinstance(value, (int, float)):
        return value
    if isinstance(value, str):
        text = value.strip()
        if not _NUMERIC(text):  # an ISO text, say: no exception raised per row to learn it
            return None
        try:
            return int(text)
        except ValueError:
            pass
        try:
            return float(text)
        except ValueError:
            return None
    if hasattr(value, "__index__"):
        try:
            return operator.index(value)
        except TypeError:
            return None
    return None


def _check_unit(time_unit: Optional[str]) -> None:
    if time_unit is not None and time_unit not in _TIME_UNITS and time_unit != "yyyymmdd":
        raise ValueError("time_unit must be one of %s or 'yyyymmdd', not %r" % (sorted(_TIME_UNITS), time_unit))


def _seconds_of_number(num: Union[int, float], unit: Optional[str]) -> Tuple[Optional[int], str]:
    """Whole UTC seconds of a numeric time in ``unit`` (None: seconds), or None and why not."""
    if isinstance(num, float) and not math.isfinite(num):
        return None, "not a finite number"
    if unit == "yyyymmdd":
        t = _yyyymmdd(num)
        return (t, "") if t is not None else (None, "not a date written YYYYMMDD")
    f = _TIME_UNITS[unit or "s"]
    t = num // f if isinstance(num, int) else math.floor(num / f)
    if not _EARLIEST <= t < _LATEST:
        hint = ""
        for name, g in _TIME_UNITS.items():
            if g > f and _EARLIEST <= num / g < _LATEST:
                hint = "; it reads as a time in %s: pass time_unit=%r" % (name, name)
                break
        return None, "out of range: %r %s since 1970 is not between 1900 and 2200%s" % (num, unit or "s", hint)
    if unit is None and _yyyymmdd(num) is not None:
        return None, (
            "%r looks like a date written YYYYMMDD, not seconds since 1970: pass time_unit='yyyymmdd' "
            "(or time_unit='s' if it really is seconds)" % (num,)
        )
    return int(t), ""


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

    def first_price(self, symbol: str) -> float:
        """The price ``symbol`` first trades at in this history (its earliest open, trade or bid)."""
        rows = [s for s in self.series if s.symbol == symbol and len(s)]
        if not rows:
            raise HistoryError(
                "history", symbol, "no rows: a symbol the broker does not know yet needs at least one to start from"
            )
        first = min(rows, key=lambda s: s.columns["time"][0]).row(0)
        price = first.get("open", first.get("price", first.get("bid")))
        assert price is not None  # every kind of row has one of them
        return float(price)

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
        heads: List[bytes] = []
        bodies: List[Any] = []
        for s in self.series:
            heads.append(_DESCRIPTOR.pack(s.kind, s.symbol.encode(), s.interval, len(s), at))
            for name, _ in _COLUMNS[s.kind]:
                # the columns themselves, joined once: a history of millions of rows is copied once, not three times
                col = _le(s.columns[name])
                width = len(col) * col.itemsize
                bodies.append(col)
                if width % 8:
                    bodies.append(bytes(-width % 8))
                at += width + (-width % 8)
        return b"".join([_HEADER.pack(_MAGIC, 1, len(self.series), at), *heads, *bodies])

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
    tick: TickSetting = None,
    interval: Optional[int] = None,
    off_grid: str = "refuse",
    columns: Optional[Sequence[str]] = None,
    time_column: Optional[str] = None,
    time_unit: Optional[str] = None,
    round_volume: bool = False,
) -> History:
    """Bars (time, open, high, low, close[, volume]) of one instrument, or of
    several when the rows carry a ``symbol`` field and ``symbol`` is None.
    ``interval`` (seconds) defaults to the smallest gap between bars.
    ``round_volume=True`` rounds fractional volumes (a coin's) to the nearest
    whole unit, halves to even; by default they are refused."""
    return _load(BARS, source, symbol, tick, off_grid, columns, interval, time_column, time_unit, round_volume)


def trades(
    source: Any,
    *,
    symbol: Optional[str] = None,
    tick: TickSetting = None,
    off_grid: str = "refuse",
    columns: Optional[Sequence[str]] = None,
    time_column: Optional[str] = None,
    time_unit: Optional[str] = None,
) -> History:
    """Trades (time, price, volume[, side]): side is the aggressor, "BUY"/"B"/1,
    "SELL"/"S"/-1, or empty (a frame's missing value too)/0 when unknown."""
    return _load(TRADES, source, symbol, tick, off_grid, columns, None, time_column, time_unit, False)


def quotes(
    source: Any,
    *,
    symbol: Optional[str] = None,
    tick: TickSetting = None,
    off_grid: str = "refuse",
    columns: Optional[Sequence[str]] = None,
    time_column: Optional[str] = None,
    time_unit: Optional[str] = None,
) -> History:
    """Best bid and ask (time, bid, ask[, bid_volume, ask_volume])."""
    return _load(QUOTES, source, symbol, tick, off_grid, columns, None, time_column, time_unit, False)


Row = Tuple[str, Mapping[str, Any]]  # (where, fields by lower-case name)


def _pick_time(names: Sequence[str], time_column: Optional[str]) -> Optional[str]:
    """The time column among ``names`` (lower case): the one named, else the first of the usual names."""
    if time_column is not None:
        want = time_column.strip().lower()
        return want if want in names else None
    return next((n for n in _TIME_NAMES if n in names), None)


def _no_time(where: str, seen: Sequence[Any], time_column: Optional[str], extra: str = "") -> HistoryError:
    if time_column is not None:
        problem = "no column named %r among the columns %s%s" % (time_column, list(seen), extra)
    else:
        problem = (
            "no time column among the columns %s%s: name it one of %s, or give time_column= "
            "(an unnamed column is never taken for the time)" % (list(seen), extra, list(_TIME_NAMES))
        )
    return HistoryError(where, "time", problem)


def _is_frame(source: Any) -> bool:
    return type(source).__module__.startswith("pandas") and hasattr(source, "itertuples")


def _csv_header(path: Any) -> List[str]:
    with open(path, newline="", encoding="utf-8-sig") as f:
        return next(csv.reader(f), [])


def _csv_rows(path: Any, width: int) -> Iterator[Row]:
    with open(path, newline="", encoding="utf-8-sig") as f:
        reader = csv.reader(f)
        header = next(reader, None)
        if header is None:
            return
        names = [h.strip().lower() for h in header]
        for row in reader:
            if not row:
                continue
            if len(row) != width:
                raise HistoryError(
                    "line %d" % reader.line_num, "*", "%d fields where the header has %d" % (len(row), width)
                )
            yield "line %d" % reader.line_num, dict(zip(names, row))


def _frame_time(frame: Any, time_column: Optional[str]) -> Tuple[Optional[Any], bool]:
    """(label of the frame's time column, or None for its index; True when there is a time at all)."""
    labels = {str(c).strip().lower(): c for c in frame.columns}
    name = _pick_time(list(labels), time_column)
    if name is not None:
        return labels[name], True
    index = frame.index
    index_name = None if index.name is None else str(index.name).strip().lower()
    if time_column is not None:
        return None, index_name == time_column.strip().lower()
    # A named time index, or one of datetimes; never plain row numbers.
    return None, index_name in _TIME_NAMES or getattr(index.dtype, "kind", "") == "M"


def _frame_rows(frame: Any, time_column: Optional[str] = None) -> Iterator[Row]:
    names = [str(c).strip().lower() for c in frame.columns]
    use_index = _frame_time(frame, time_column)[0] is None
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


def _volume(where: str, name: str, value: Any, positive: bool, rounding: bool = False) -> int:
    x = _number(where, name, value)
    if rounding and x == x and abs(x) < 2**63:
        x = float(round(x))
    if x < 0 or (positive and x == 0):
        raise HistoryError(where, name, "volume must be %s, got %r" % ("positive" if positive else ">= 0", value))
    if x != int(x) or x >= 2**63:
        hint = " (round_volume=True rounds bar volumes)" if x != int(x) and not positive else ""
        raise HistoryError(where, name, "volume must be a whole number below 2^63, got %r%s" % (value, hint))
    return int(x)


class _Builder:
    """Validates the rows of one series and appends them to its columns."""

    def __init__(
        self,
        kind: int,
        symbol: str,
        tick: Optional[Tick],
        off_grid: str,
        time_name: Optional[str] = None,
        time_column: Optional[str] = None,
        time_unit: Optional[str] = None,
        round_volume: bool = False,
    ) -> None:
        self.kind, self.symbol = kind, symbol
        self.grid = _Grid(tick) if tick is not None else None
        self.round = off_grid == "round"
        self.cols: Dict[str, array[Any]] = {name: array(code) for name, code in _COLUMNS[kind]}
        self.last = None  # type: Optional[int]
        # Where the time is: a name known for every row, else looked up per row.
        self.time_name = time_name
        self.time_column = None if time_column is None else time_column.strip().lower()
        self.unit = time_unit
        self.round_volume = round_volume

    def price(self, where: str, name: str, value: Any) -> float:
        x = _number(where, name, value)
        if x <= 0:
            raise HistoryError(where, name, "price must be positive, got %r" % (value,))
        if x > MAX_PRICE:
            raise HistoryError(where, name, "price %r is above %g, the highest the replay holds" % (value, MAX_PRICE))
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

    def _seconds(self, where: str, name: str, value: Any) -> int:
        num = _as_number(value)
        if num is not None:
            t, why = _seconds_of_number(num, self.unit)
            if t is None:
                raise HistoryError(where, name, "time %s" % why if why.startswith("out") else why)
            return t
        if self.unit == "yyyymmdd":
            raise HistoryError(where, name, "not a date written YYYYMMDD: %r" % (value,))
        try:
            t = to_utc_seconds(value)
        except (ValueError, TypeError, AttributeError, OverflowError) as e:  # NaT, say
            raise HistoryError(where, name, "not a time: %r (%s)" % (value, e)) from None
        if not -(2**62) < t < 2**62:
            raise HistoryError(where, name, "out of range: %r" % (value,))
        return t

    def time(self, where: str, fields: Mapping[str, Any]) -> int:
        name = self.time_name
        if name is None:
            name = _pick_time(list(fields), self.time_column)
            if name is None:
                raise _no_time(where, list(fields), self.time_column)
        elif name not in fields:
            raise HistoryError(where, name, "missing")
        t = self._seconds(where, name, fields[name])
        if self.last is not None and (t < self.last or (t == self.last and self.kind == BARS)):
            raise HistoryError(
                where,
                name,
                "times out of order: %d after %d (%s)"
                % (t, self.last, "bars must strictly increase" if self.kind == BARS else "times must not decrease"),
            )
        self.last = t
        return t

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
            v = _volume(where, "volume", get("volume", 0), False, self.round_volume)
            for name, x in (("time", t), ("open", o), ("high", h), ("low", l), ("close", cl), ("volume", v)):
                c[name].append(x)
        elif self.kind == TRADES:
            p = self.price(where, "price", get("price"))
            v = _volume(where, "volume", get("volume"), True)
            raw = get("side", 0)
            side = _side_of(raw)
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


def _side_of(raw: Any) -> Optional[int]:
    if isinstance(raw, float) and raw != raw:  # a frame's missing value: unknown, as an empty text
        return 0
    if isinstance(raw, (int, float)) and not isinstance(raw, bool):
        return int(raw) if raw in (-1, 0, 1) else None
    if isinstance(raw, bool):
        return None
    return _SIDES.get(str(raw if raw is not None else "").strip().upper())


def _tick_for(tick: TickSetting, symbol: str) -> Optional[Tick]:
    if isinstance(tick, Mapping):
        return tick.get(symbol)
    return tick


_ISO = re.compile(
    r"[0-9]{4}-[0-9]{2}-[0-9]{2}(?:[T ][0-9]{2}:[0-9]{2}(?::[0-9]{2}(?:\.[0-9]{1,9})?)?)?(?:Z|[+-][0-9]{2}:[0-9]{2})?"
)


def _iso_texts(texts: Any) -> bool:
    """Whether every text of the column is an ISO date or time the row path reads."""
    import numpy as np

    # A text matches the ISO pattern exactly when its shape (every digit
    # written 0) does; a column has few shapes, each checked once.
    try:
        raw = texts.to_numpy().astype("S")  # ASCII only, as the pattern
    except (UnicodeEncodeError, ValueError):
        return False
    width = raw.dtype.itemsize
    if not len(raw) or not width:
        return False
    grid = raw.view(np.uint8).reshape(len(raw), width).copy()
    grid[(grid >= ord("1")) & (grid <= ord("9"))] = ord("0")
    if (grid == grid[0]).all():  # the usual file: one shape throughout
        shapes = grid[:1].view("S%d" % width).ravel()
    else:
        shapes = np.unique(grid.view("S%d" % width).ravel())
    return len(shapes) <= 64 and all(_ISO.fullmatch(shape.decode()) for shape in shapes)


def _fast_times(when: Any, unit: Optional[str]) -> Optional[Any]:
    """int64 UTC seconds of a time column or index checked whole, or None for the row path."""
    import numpy as np

    kind_of = getattr(when, "dtype", np.dtype("O")).kind
    if kind_of == "O" and unit is None:
        # Texts of ISO dates and times, as the row path reads them; any other text goes there.
        import pandas as pd

        texts = pd.Series(when)
        if pd.api.types.infer_dtype(texts, skipna=False) != "string":
            return None
        if not _iso_texts(texts):
            texts = texts.str.strip()  # blanks around the texts, or texts of another form
            if not _iso_texts(texts):
                return None
        try:
            when = pd.to_datetime(texts, utc=True, format="ISO8601")
        except (ValueError, TypeError):
            return None
        kind_of = "M"
    if kind_of == "M":
        if hasattr(when, "dt"):  # a column
            if getattr(when.dt, "tz", None) is not None:
                when = when.dt.tz_convert("UTC").dt.tz_localize(None)
        elif getattr(when, "tz", None) is not None:  # an index
            when = when.tz_convert("UTC").tz_localize(None)
        raw = when.to_numpy(dtype="datetime64[ns]")
        if np.isnat(raw).any() or (raw < np.datetime64(0, "ns")).any():
            return None
        return raw.astype("datetime64[s]").astype(np.int64)
    if kind_of not in "iuf" or unit == "yyyymmdd":
        return None
    f = _TIME_UNITS[unit or "s"]
    t = when.to_numpy(dtype=np.float64)
    if not np.isfinite(t).all() or (t < 0).any():
        return None
    if kind_of == "f":
        times = np.floor(t / f).astype(np.int64)
    else:
        if (t >= 2.0**63).any():
            return None
        times = when.to_numpy(dtype=np.int64) // f
    if (times >= _LATEST).any():
        return None
    if unit is None:  # numbers that spell YYYYMMDD dates go to the row path, which refuses them
        maybe = (t >= 19000101) & (t <= 22001231) & (t == np.floor(t))
        if maybe.any():
            v = t[maybe].astype(np.int64)
            m, d = (v // 100) % 100, v % 100
            if ((m >= 1) & (m <= 12) & (d >= 1) & (d <= 31)).any():
                return None
    return times


def _frame_fast(
    kind: int,
    frame: Any,
    symbol: str,
    tick: Optional[Tick],
    tcol: Optional[Any] = None,
    unit: Optional[str] = None,
    round_volume: bool = False,
    _resolve: bool = True,
) -> Optional[Dict[str, array[Any]]]:
    """The columns of a DataFrame whose every row is valid and on the grid,
    checked all at once; None when a row needs the row-by-row path (which
    then refuses it naming row and field, or rounds it) or a column is of a
    form only that path reads (times before 1970, unusual texts)."""
    import numpy as np

    names = {str(c).strip().lower(): c for c in frame.columns}
    if len(names) != len(frame.columns) or not len(frame):
        return None
    if _resolve and tcol is None:
        tcol, found = _frame_time(frame, None)
        if not found:
            return None
    when = frame.index if tcol is None else frame[tcol]
    times = _fast_times(when, unit)
    if times is None:
        return None
    steps = np.diff(times)
    if (steps <= 0).any() if kind == BARS else (steps < 0).any():
        return None
    grid = _Grid(tick) if tick is not None else None
    cols: Dict[str, Any] = {"time": times}
    tname = None if tcol is None else str(tcol).strip().lower()
    for name, code in _COLUMNS[kind]:
        if name == "time":
            continue
        if name not in names or name == tname:
            if name not in _OPTIONAL[kind]:
                return None
            cols[name] = np.zeros(len(frame), dtype=np.int8 if code == "b" else np.int64)
            continue
        col = frame[names[name]]
        if name == "side" and col.dtype.kind == "O":
            # Texts of sides: each distinct text read once, so as fast as numbers.
            import pandas as pd

            codes, distinct = pd.factorize(col)  # a missing side (-1) is unknown
            sides = [_side_of(v) for v in distinct] + [0]
            if any(v is None for v in sides):
                return None
            cols[name] = np.asarray(sides, dtype=np.int8)[codes]
            continue
        if name == "side" and col.dtype.kind == "f":
            x = np.nan_to_num(col.to_numpy(dtype=np.float64), nan=0.0, posinf=2.0, neginf=2.0)
            if not np.isin(x, (-1, 0, 1)).all():
                return None
            cols[name] = x.astype(np.int8)
            continue
        if col.dtype.kind not in "iuf":
            return None
        x = col.to_numpy(dtype=np.float64)
        if not np.isfinite(x).all():
            return None
        if code == "d":
            if (x <= 0).any() or (x > MAX_PRICE).any():
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
            if round_volume and col.dtype.kind == "f":
                x = np.rint(x)
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


def _version(text: str) -> Tuple[int, int]:
    """A version text's major and minor numbers ("3.1.0rc1" gives (3, 1))."""
    m = re.match(r"(\d+)\.(\d+)", text)
    return (int(m.group(1)), int(m.group(2))) if m else (0, 0)


def _read_csv(path: Any, header: List[str]) -> Optional[Any]:
    """The file as a DataFrame through pandas when it is installed (the fast road), else None."""
    try:
        import pandas as pd
    except ImportError:
        return None
    # Every value as Python's own float() reads it, so both roads agree to the
    # bit: before pandas 3.1 the default converter is off by an ulp at times;
    # from 3.1 every converter is exact and the option is deprecated.
    exact = {"float_precision": "round_trip"} if _version(pd.__version__) < (3, 1) else {}
    try:
        frame = pd.read_csv(path, encoding="utf-8-sig", **exact)
    except Exception:  # a short or long row, say: the row path names it
        return None
    if list(frame.columns) != header:  # names pandas made unique or filled in
        return None
    return frame


def _step(kind: int, times: Any, interval: Optional[int]) -> int:
    if kind != BARS:
        return 0
    if interval is not None:
        return interval
    return min(map(operator.sub, times[1:], times), default=0)


# The CSV road without pandas: the csv module's rows turned into columns, each
# converted by one call over the whole column and checked with min/max and
# comparisons over whole columns; texts (sides, the date and time of day of
# ISO times) are read once per distinct text. Any column it cannot take whole
# (an empty or odd value, a time of a form it does not know) sends the file
# to the row path, which then names the line and field, or reads that form.

_ISO_DAY = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}").fullmatch
_ISO_CLOCK = re.compile(r"[T ]([0-9]{2}):([0-9]{2})").fullmatch
_ISO_REST = re.compile(r"(?::[0-9]{2}(?:[.,][0-9]+)?)?(?:[Zz]|[+-][0-9]{2}:[0-9]{2})?").fullmatch
_MAX_EXACT = 2**53  # integers beyond this read differently through float (as the row path reads them)
# An ISO time as three parts, each with few distinct texts in a file: the
# day, the hour and minute, and the rest (seconds, fraction, offset).
_day_part = operator.itemgetter(slice(0, 10))
_clock_part = operator.itemgetter(slice(10, 16))
_rest_part = operator.itemgetter(slice(16, None))


def _clock_seconds(clock: str) -> Optional[int]:
    if not clock:
        return 0
    m = _ISO_CLOCK(clock)
    if m is None or int(m[1]) > 23 or int(m[2]) > 59:
        return None
    return int(m[1]) * 3600 + int(m[2]) * 60


def _csv_columns(path: Any, width: int) -> Optional[List[Sequence[str]]]:
    with open(path, newline="", encoding="utf-8-sig") as f:
        text = f.read()
    if '"' in text or "\r" in text or "\0" in text:
        # Quoted fields or other line ends: as the csv module reads them.
        try:
            rows = list(csv.reader(io.StringIO(text, newline="")))[1:]
        except csv.Error:  # the row path reports it
            return None
        rows = [r for r in rows if r]  # blank lines are skipped, as the row path does
        if not rows or set(map(len, rows)) != {width}:
            return None
        return list(zip(*rows))
    # Plain fields, one line a row: split the whole text at once.
    lines = text.split("\n")[1:]
    if lines and not lines[-1]:
        lines.pop()
    if "" in lines:
        lines = [line for line in lines if line]
    if not lines or set(map(str.count, lines, itertools.repeat(","))) != {width - 1}:
        return None
    fields = ",".join(lines).split(",")
    return [fields[i::width] for i in range(width)]


def _csv_times(col: Sequence[str], unit: Optional[str]) -> Optional[array[Any]]:
    try:
        numbers: Optional[array[Any]] = array("q", map(int, col))
    except (ValueError, OverflowError):
        numbers = None
    if numbers is not None:
        if unit == "yyyymmdd":
            days = {n: _yyyymmdd(n) for n in set(numbers)}
            if None in days.values():
                return None
            return array("q", map(days.__getitem__, numbers))
        f = _TIME_UNITS[unit or "s"]
        times = numbers if f == 1 else array("q", [n // f for n in numbers])
        if min(times) < _EARLIEST or max(times) >= _LATEST:
            return None
        # Seconds that may spell YYYYMMDD dates: the row path decides.
        if (
            unit is None
            and min(times) <= 22001231
            and max(times) >= 19000101
            and any(19000101 <= n <= 22001231 for n in times)
        ):
            return None
        return times
    if unit == "yyyymmdd":
        return None
    # ISO dates and times: each part read once per distinct text. The parts'
    # seconds add up to the whole's, offset included.
    parts = []
    try:
        for part, seconds in (
            (_day_part, lambda d: to_utc_seconds(d) if _ISO_DAY(d) else None),
            (_clock_part, _clock_seconds),
            (_rest_part, lambda r: to_utc_seconds("1970-01-01T00:00" + r) if _ISO_REST(r) else None),
        ):
            texts = list(map(part, col))
            known = {t: seconds(t) for t in set(texts)}
            if None in known.values():
                return None
            parts.append(map(known.__getitem__, texts))
    except (ValueError, OverflowError):
        return None
    return array("q", map(operator.add, map(operator.add, parts[0], parts[1]), parts[2]))


def _csv_prices(col: Sequence[str], name: str, b: _Builder) -> Optional[array[Any]]:
    try:
        x = array("d", map(float, col))
    except ValueError:
        return None
    if not math.isfinite(sum(x)) or min(x) <= 0 or max(x) > MAX_PRICE:
        return None
    if b.grid is None:
        return x
    try:
        on = {u: b.price("", name, u) for u in set(x)}
    except (HistoryError, ValueError):
        return None
    if all(k == v for k, v in on.items()):
        return x
    return array("d", map(on.__getitem__, x))


def _csv_volumes(col: Sequence[str], positive: bool, rounding: bool) -> Optional[array[Any]]:
    try:
        v = array("q", map(int, col))
    except (ValueError, OverflowError):
        try:
            x = array("d", map(float, col))
        except ValueError:
            return None
        if not math.isfinite(sum(x)) or max(x) >= _MAX_EXACT:
            return None
        if rounding:
            v = array("q", map(round, x))
        elif all(map(float.is_integer, x)):
            v = array("q", map(int, x))
        else:
            return None
    if (min(v) <= 0 if positive else min(v) < 0) or max(v) >= _MAX_EXACT:
        return None
    return v


def _csv_fast(
    kind: int,
    path: Any,
    header: List[str],
    symbol: str,
    tick: Optional[Tick],
    time_name: str,
    unit: Optional[str],
    round_volume: bool,
    off_grid: str,
) -> Optional[Dict[str, array[Any]]]:
    """The columns of a CSV file whose every row is valid, read column by column without pandas; None when
    a row needs the row path."""
    names = [h.strip().lower() for h in header]
    cols = _csv_columns(path, len(header))
    if cols is None:
        return None
    n = len(cols[0])
    times = _csv_times(cols[names.index(time_name)], unit)
    if times is None:
        return None
    later = times[1:]
    if not all(map(operator.lt if kind == BARS else operator.le, times, later)):
        return None
    b = _Builder(kind, symbol, tick, off_grid)
    out: Dict[str, array[Any]] = {"time": times}
    for name, code in _COLUMNS[kind]:
        if name == "time":
            continue
        if name == time_name:
            return None
        if name not in names:
            if name not in _OPTIONAL[kind]:
                return None
            out[name] = array(code, bytes(n * array(code).itemsize))
            continue
        col = cols[names.index(name)]
        got: Optional[array[Any]]
        if code == "d":
            got = _csv_prices(col, name, b)
        elif name == "side":
            sides = {s: _side_of(s) for s in set(col)}
            got = None if None in sides.values() else array("b", map(sides.__getitem__, col))
        else:
            got = _csv_volumes(col, kind == TRADES, round_volume and kind == BARS)
        if got is None:
            return None
        out[name] = got
    lt = operator.lt
    if kind == BARS:
        o, h, l, c = out["open"], out["high"], out["low"], out["close"]
        if any(map(lt, h, l)) or any(map(lt, o, l)) or any(map(lt, h, o)) or any(map(lt, c, l)) or any(map(lt, h, c)):
            return None
    elif kind == QUOTES and not all(map(lt, out["bid"], out["ask"])):
        return None
    return out


def _load(
    kind: int,
    source: Any,
    symbol: Optional[str],
    tick: TickSetting,
    off_grid: str,
    columns: Optional[Sequence[str]],
    interval: Optional[int],
    time_column: Optional[str] = None,
    time_unit: Optional[str] = None,
    round_volume: bool = False,
) -> History:
    if off_grid not in ("refuse", "round"):
        raise ValueError("off_grid must be 'refuse' or 'round', not %r" % (off_grid,))
    _check_unit(time_unit)
    one = symbol is not None and 0 < len(symbol.encode()) <= 31 and "\0" not in symbol
    time_name: Optional[str] = None  # known for every row of a file or frame
    rows: Iterable[Row]
    if isinstance(source, (str, bytes, os.PathLike)):
        header = _csv_header(source)
        names = [h.strip().lower() for h in header]
        if header:
            time_name = _pick_time(names, time_column)
            if time_name is None:
                raise _no_time("header", header, time_column)
        if one and header and time_name is not None and len(set(names)) == len(names):
            frame = _read_csv(source, header)
            if frame is not None:
                assert symbol is not None
                fast = _frame_fast(
                    kind,
                    frame,
                    symbol,
                    _tick_for(tick, symbol),
                    header[names.index(time_name)],
                    time_unit,
                    round_volume,
                    False,
                )
                if fast is not None:
                    return History([Series(kind, symbol, fast, _step(kind, fast["time"], interval))])
            assert symbol is not None
            fast = _csv_fast(
                kind, source, header, symbol, _tick_for(tick, symbol), time_name, time_unit, round_volume, off_grid
            )
            if fast is not None:
                return History([Series(kind, symbol, fast, _step(kind, fast["time"], interval))])
        rows = _csv_rows(source, len(header))
    elif _is_frame(source):
        tcol, found = _frame_time(source, time_column)
        if not found:
            index = source.index
            raise _no_time(
                "frame",
                [str(c) for c in source.columns],
                time_column,
                " and an index %s%s"
                % (type(index).__name__, "" if index.name is None else " named %r" % (index.name,)),
            )
        time_name = "time" if tcol is None else str(tcol).strip().lower()
        if one:
            assert symbol is not None
            fast = _frame_fast(kind, source, symbol, _tick_for(tick, symbol), tcol, time_unit, round_volume, False)
            if fast is not None:
                return History([Series(kind, symbol, fast, _step(kind, fast["time"], interval))])
        rows = _frame_rows(source, time_column)
    else:
        rows = _sequence_rows(kind, source, columns)
    builders: Dict[str, _Builder] = {}
    for where, fields in rows:
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
            b = builders[sym] = _Builder(
                kind, sym, _tick_for(tick, sym), off_grid, time_name, time_column, time_unit, round_volume
            )
        b.add(where, fields)
    if not builders and symbol is not None:
        builders[symbol] = _Builder(kind, symbol, None, off_grid)
    return History([Series(kind, sym, b.cols, _step(kind, b.cols["time"], interval)) for sym, b in builders.items()])


def _sequence_rows(kind: int, source: Any, columns: Optional[Sequence[str]]) -> Iterator[Row]:
    order = [c.lower() for c in columns] if columns is not None else list(_ROW_ORDER[kind])
    for i, row in enumerate(source, 1):
        where = "row %d" % i
        if isinstance(row, Mapping):
            yield where, {str(k).strip().lower(): v for k, v in row.items()}
        elif isinstance(row, (str, bytes)) or not isinstance(row, Sequence):
            raise HistoryError(where, "*", "a row must be a mapping or a sequence, got %s" % type(row).__name__)
        else:
            if not len(order) - len(_OPTIONAL[kind]) <= len(row) <= len(order):
                raise HistoryError(where, "*", "%d values, expected %s" % (len(row), order))
            yield where, dict(zip(order, row))
