"""History loading for the replay: every source gives the same columns, bad
rows are refused naming row and field, the tick grid is kept, and the packed
block reads back by its documented byte offsets."""

import datetime as dt
import struct
import warnings

import numpy as np
import pytest
from hypothesis import given, note, settings
from hypothesis import strategies as st
from tavrolix_sandbox import history as H

GOOD_BARS = [  # time, open, high, low, close, volume
    ("2026-03-02", 45.25, 46.0, 44.5, 45.75, 1200),
    ("2026-03-03", 45.75, 45.75, 43.0, 43.5, 0),
    ("2026-03-04", 43.75, 47.0, 43.75, 47.0, 900),
]
DAY = 86400
T0 = 1772409600  # 2026-03-02T00:00:00Z


def test_every_source_and_time_form_gives_the_same_history(tmp_path):
    want = H.bars(GOOD_BARS, symbol="ARVO", tick=H.EQUITY_TICKS)
    s = want["ARVO"]
    assert list(s.columns["time"]) == [T0, T0 + DAY, T0 + 2 * DAY] and s.interval == DAY
    assert list(s.columns["volume"]) == [1200, 0, 900] and s.columns["volume"].typecode == "q"

    csv = tmp_path / "arvo.csv"  # names in any case, after a byte-order mark
    csv.write_text("\ufeffDate,Open,HIGH,low,Close,Volume\n" + "".join("%s,%r,%r,%r,%r,%d\n" % r for r in GOOD_BARS))
    dicts = [dict(zip(("Date", "open", "high", "low", "close", "volume"), r)) for r in GOOD_BARS]
    forms = [  # the same three times, written every way a user might
        [
            dt.datetime(2026, 3, 2),
            dt.date(2026, 3, 3),
            dt.datetime(2026, 3, 4, 7, tzinfo=dt.timezone(dt.timedelta(hours=7))),
        ],
        ["2026-03-02T00:00:00Z", "2026-03-03 00:00:00", "2026-03-04T00:00:00.9+00:00"],
        [T0, float(T0 + DAY) + 0.99, str(T0 + 2 * DAY)],
        [np.datetime64("2026-03-02"), np.datetime64("2026-03-03T00:00:00.5"), "2026-03-04T00:00:00,123"],
    ]
    assert [H.to_utc_seconds(x) for x in (-0.5, dt.datetime(1969, 12, 31, 23, 59, 59), "1970-01-01T07:00+07:00")] == [
        -1,
        -1,
        0,
    ]
    loaded = [
        H.bars(str(csv), symbol="ARVO", tick=H.EQUITY_TICKS),
        H.bars(dicts, symbol="ARVO", tick=H.EQUITY_TICKS),
        H.bars(iter(GOOD_BARS), symbol="ARVO", tick=H.EQUITY_TICKS),
    ]
    loaded += [
        H.bars([(t,) + r[1:] for t, r in zip(ts, GOOD_BARS)], symbol="ARVO", tick=H.EQUITY_TICKS) for ts in forms
    ]
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(
        [r[1:] for r in GOOD_BARS],
        columns=["Open", "High", "Low", "Close", "Volume"],
        index=pd.to_datetime([r[0] for r in GOOD_BARS]),
    )
    loaded.append(H.bars(frame, symbol="ARVO", tick=H.EQUITY_TICKS))
    loaded.append(H.bars(frame.reset_index().rename(columns={"index": "time"}), symbol="ARVO", tick=H.EQUITY_TICKS))
    for n, got in enumerate(loaded):
        assert got == want, n


@settings(max_examples=60, deadline=None)
@given(st.data())
def test_frames_checked_whole_agree_with_the_row_path(data):
    """A DataFrame is checked with numpy all at once; any row that path does not
    pass must be one the row-by-row path refuses, and what it passes must load
    the same columns."""
    pd = pytest.importorskip("pandas")
    n, bars = data.draw(st.integers(1, 6)), data.draw(st.booleans())
    grid = st.sampled_from([44.75, 45.0, 45.25, 45.5])
    steps = data.draw(st.lists(st.sampled_from([1, 1, 60, 0, -1]), min_size=n, max_size=n))
    seconds = [T0 + sum(steps[: i + 1]) for i in range(n)]
    form = data.draw(st.sampled_from(["int", "float", "datetime", "zoned", "index"]))
    when = {
        "int": seconds,
        "float": [x + 0.5 for x in seconds],
        "datetime": pd.to_datetime(seconds, unit="s"),
        "index": pd.to_datetime(seconds, unit="s"),
        "zoned": pd.to_datetime(seconds, unit="s", utc=True).tz_convert("Asia/Bangkok"),
    }[form]
    cols = {"volume": [data.draw(st.integers(1, 10**9)) for _ in range(n)]}
    if bars:
        oc = [(data.draw(grid), data.draw(grid)) for _ in range(n)]
        cols.update(
            open=[o for o, _ in oc],
            close=[c for _, c in oc],
            high=[max(o, c) + data.draw(st.sampled_from([0, 0.25])) for o, c in oc],
            low=[min(o, c) - data.draw(st.sampled_from([0, 0.25])) for o, c in oc],
        )
    else:
        cols.update(
            price=[data.draw(grid) for _ in range(n)], side=[data.draw(st.sampled_from([-1, 0, 1])) for _ in range(n)]
        )
    frame = pd.DataFrame(cols, index=when if form == "index" else None)
    if form != "index":
        frame.insert(0, "time", when)
    if data.draw(st.booleans()):  # one bad cell
        col = data.draw(st.sampled_from(sorted(cols)))
        bad = [45.1, 0.0, -1.0, float("nan"), float("inf")] + ([2.5, 0.0] if col == "volume" else [2.0])
        frame[col] = frame[col].astype(float)
        frame.loc[frame.index[data.draw(st.integers(0, n - 1))], col] = data.draw(st.sampled_from(bad))
    fast = H._frame_fast(H.BARS if bars else H.TRADES, frame, "X", H.EQUITY_TICKS)
    rows = [fields for _, fields in H._frame_rows(frame)]
    try:
        slow = (H.bars if bars else H.trades)(rows, symbol="X", tick=H.EQUITY_TICKS)["X"].columns
    except H.HistoryError:
        slow = None
    assert fast == slow
    if fast is not None:
        assert (H.bars if bars else H.trades)(frame, symbol="X", tick=H.EQUITY_TICKS)["X"].columns == fast


def _bad(kind, rows, **kw):
    with pytest.raises(H.HistoryError) as e:
        load = {"bars": H.bars, "trades": H.trades, "quotes": H.quotes}[kind]
        named = isinstance(rows, list) and isinstance(rows[0], dict) and "symbol" in rows[0]
        load(rows, symbol=None if named else "ARVO", **kw)
    return e.value


BAR = ("2026-03-02", 45.25, 46.0, 44.5, 45.75, 100)
NEXT = "2026-03-03"


@pytest.mark.parametrize(
    "kind, rows, where, field, words",
    [
        ("bars", [BAR, BAR], "row 2", "time", "strictly increase"),
        ("bars", [BAR, (NEXT, 45.25, 44.0, 44.5, 44.5, 1)], "row 2", "high", "below low"),
        ("bars", [(NEXT, 46.5, 46.0, 44.5, 45.0, 1)], "row 1", "open", "outside"),
        ("bars", [(NEXT, 45.0, 46.0, 44.5, 44.25, 1)], "row 1", "close", "outside"),
        ("bars", [(NEXT, 45.0, 46.0, 44.5, 45.0, -5)], "row 1", "volume", ">= 0"),
        ("bars", [(NEXT, 45.0, 46.0, 44.5, 45.0, 2.5)], "row 1", "volume", "whole"),
        ("bars", [(NEXT, 45.1, 46.0, 44.5, 45.0, 1)], "row 1", "open", "off the tick grid"),
        ("trades", [(NEXT, 0.004, 1)], "row 1", "price", "rounds to zero"),
        ("bars", [(NEXT, float("nan"), 46.0, 44.5, 45.0, 1)], "row 1", "open", "finite"),
        ("bars", [(NEXT, 0.0, 46.0, 0.0, 45.0, 1)], "row 1", "open", "positive"),
        ("bars", [{"time": NEXT, "open": 45.0, "high": 46.0, "close": 45.0}], "row 1", "low", "missing"),
        ("bars", [("2026-02-30", 45.0, 46.0, 44.5, 45.0, 1)], "row 1", "time", "ISO"),
        ("bars", [(NEXT, 45.0)], "row 1", "*", "values"),
        ("bars", [42], "row 1", "*", "mapping or a sequence"),
        ("trades", [(NEXT, 45.0, 10), ("2026-03-02T23:59:59", 45.0, 10)], "row 2", "time", "must not decrease"),
        ("trades", [(NEXT, 45.0, 0)], "row 1", "volume", "positive"),
        ("trades", [(1e19, 45.0, 1)], "row 1", "time", "out of range"),
        ("trades", [{"symbol": "A\0B", "time": NEXT, "price": 45.0, "volume": 1}], "row 1", "symbol", "NUL"),
        ("trades", [(NEXT, 45.0, 10, "up")], "row 1", "side", "aggressor"),
        ("trades", [(NEXT, 45.0, 10, True)], "row 1", "side", "aggressor"),
        ("quotes", [(NEXT, 45.0, 45.0)], "row 1", "ask", "not below"),
        ("quotes", [(NEXT, 45.0, 45.25, -1, 10)], "row 1", "bid_volume", ">= 0"),
    ],
)
def test_bad_rows_are_refused_naming_row_and_field(kind, rows, where, field, words):
    e = _bad(kind, rows, tick=H.EQUITY_TICKS, off_grid="round" if "rounds" in words else "refuse")
    assert (e.where, e.field) == (where, field) and words in str(e), str(e)
    assert where in str(e) and repr(field) in str(e)


def test_csv_and_frame_errors_point_at_the_file_line_and_the_frame_row(tmp_path):
    path = tmp_path / "t.csv"
    path.write_text("time,price,volume\n2026-03-02,45.0,10\n\n2026-03-02,45.0,-3\n")
    e = _bad("trades", str(path))
    assert (e.where, e.field) == ("line 4", "volume")
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(
        {"price": [45.0, 45.0], "volume": [1, 1]}, index=pd.to_datetime(["2026-03-02 10:00", "2026-03-02 09:00"])
    )
    e = _bad("trades", frame)
    assert e.where.startswith("row 2 (index 2026-03-02 09:00") and e.field == "time"
    frame.index = pd.to_datetime(["2026-03-02 10:00", None])
    assert "not a time: NaT" in str(_bad("trades", frame))


def test_symbols_ticks_and_grid_policy_per_instrument():
    rows = [
        {"symbol": s, "time": T0 + i, "price": p, "volume": 1, "side": side}
        for i, (s, p, side) in enumerate(
            [("ARVO", 45.25, "B"), ("T50H26", 1000.3, "sell"), ("ARVO", 45.5, None), ("T50H26", 1000.1, -1.0)]
        )
    ]
    h = H.trades(rows, tick={"ARVO": H.EQUITY_TICKS, "T50H26": 0.1})
    assert h.symbols == ["ARVO", "T50H26"]
    assert list(h["T50H26"].columns["price"]) == [1000.3, 1000.1]
    assert list(h["ARVO"].columns["side"]) == [1, 0] and list(h["T50H26"].columns["side"]) == [-1, -1]
    assert [r[0] for r in h.events()] == [T0, T0 + 1, T0 + 2, T0 + 3]
    # 45.35 is off ARVO's grid of 0.25 (25 to 100): refused, or rounded when asked
    rows[0]["price"] = 45.35
    with pytest.raises(H.HistoryError, match=r"row 1, field 'price'.*off the tick grid \(tick 0.25"):
        H.trades(rows, tick={"ARVO": H.EQUITY_TICKS, "T50H26": 0.1})
    assert H.trades(rows, tick={"ARVO": H.EQUITY_TICKS}, off_grid="round")["ARVO"].columns["price"][0] == 45.25
    with pytest.raises(H.HistoryError, match="row 1, field 'symbol'"):
        H.trades([(T0, 45.0, 1)])
    with pytest.raises(ValueError, match="given twice"):
        H.trades(rows) + H.trades(rows)
    with pytest.raises(ValueError, match="not a multiple"):
        H.tick_table([(2, 0.01), (5.01, 0.02)], 0.05)


def test_equal_times_keep_their_order_across_series_in_events():
    a = H.trades([(T0, 45.0, 1), (T0, 45.25, 2), (T0 + 1, 45.5, 3)], symbol="A")
    b = H.quotes([(T0, 44.75, 45.0), (T0 + 1, 45.0, 45.25)], symbol="B")
    c = H.trades([(T0 - 1, 9.0, 1), (T0, 9.05, 1)], symbol="C")
    assert list((b + a + c).events()) == [
        (T0 - 1, 2, 0),
        (T0, 0, 0),
        (T0, 1, 0),
        (T0, 1, 1),
        (T0, 2, 1),
        (T0 + 1, 0, 1),
        (T0 + 1, 1, 2),
    ]


# ---------------------------------------------------------------- the grid


def _on_equity_grid(p):
    t = H.EQUITY_TICKS(p)
    return abs(p / t - round(p / t)) < 1e-9


@settings(max_examples=300, deadline=None)
@given(st.floats(0.005, 1500), st.floats(0.005, 1500))
def test_rounding_to_a_tick_ladder_is_nearest_monotone_and_idempotent(a, b):
    g = H._Grid(H.EQUITY_TICKS)
    ra, rb = g.nearest(a), g.nearest(b)
    assert _on_equity_grid(ra) and g.nearest(ra) == ra and g.snap(ra) == ra
    assert abs(ra - a) <= max(H.EQUITY_TICKS(a), H.EQUITY_TICKS(ra)) / 2 + 1e-9
    if a <= b:
        assert ra <= rb
    assert (g.snap(a) is not None) == _on_equity_grid(a)


# ---------------------------------------------------------------- the block


def _read_block(blob):
    """The block as the layout documents it, read by byte offsets."""
    magic, version, count, size = struct.unpack_from("<8sIIQ", blob, 0)
    assert (magic, version, size) == (b"TVXHIST\0", 1, len(blob))
    out = []
    names = {
        1: ["time", "open", "high", "low", "close", "volume"],
        2: ["time", "price", "volume", "side"],
        3: ["time", "bid", "bid_volume", "ask", "ask_volume"],
    }
    for k in range(count):
        d = 24 + 64 * k
        kind = blob[d]
        assert blob[d + 1 : d + 8] == bytes(7)
        symbol = blob[d + 8 : d + 40].rstrip(b"\0").decode()
        interval, n, at = struct.unpack_from("<qQQ", blob, d + 40)
        assert at % 8 == 0
        cols = {}
        for name in names[kind]:
            code = (
                "b"
                if name == "side"
                else "d"
                if name in ("open", "high", "low", "close", "price", "bid", "ask")
                else "q"
            )
            width = struct.calcsize(code)
            cols[name] = list(struct.unpack_from("<%d%s" % (n, code), blob, at))
            at += -(-n * width // 8) * 8
        out.append((kind, symbol, interval, cols))
    assert at == len(blob)
    return out


price = st.integers(1, 40000).map(lambda n: n / 100)


@settings(max_examples=60, deadline=None)
@given(
    st.lists(st.tuples(st.integers(0, 5), price, st.integers(1, 10**12), st.sampled_from(["", "B", "S"])), max_size=9),
    st.lists(st.tuples(st.integers(0, 5), price, price, st.integers(0, 99)), max_size=5),
)
def test_packed_block_reads_back_by_offsets_and_unpacks_equal(trade_rows, quote_rows):
    trade_rows = [(T0 + sum(r[0] for r in trade_rows[: i + 1]),) + r[1:] for i, r in enumerate(trade_rows)]
    quote_rows = [
        (T0 + sum(r[0] for r in quote_rows[: i + 1]), min(b, a), (round(max(b, a) * 100) + 1) / 100, 7, v)
        for i, (_, b, a, v) in enumerate(quote_rows)
    ]
    h = (
        H.trades(trade_rows, symbol="TRD")
        + H.quotes(quote_rows, symbol="Q" * 31, tick=0.01)
        + H.bars(GOOD_BARS, symbol="ARVO")
    )
    blob = h.pack()
    got = _read_block(blob)
    assert [(k, s, i) for k, s, i, _ in got] == [(2, "TRD", 0), (3, "Q" * 31, 0), (1, "ARVO", DAY)]
    assert got[0][3] == {
        "time": [r[0] for r in trade_rows],
        "price": [r[1] for r in trade_rows],
        "volume": [r[2] for r in trade_rows],
        "side": [{"": 0, "B": 1, "S": -1}[r[3]] for r in trade_rows],
    }
    assert got[1][3]["ask"] == [r[2] for r in quote_rows] and got[1][3]["bid_volume"] == [7] * len(quote_rows)
    assert got[2][3]["close"] == [r[4] for r in GOOD_BARS]
    assert H.History.unpack(blob) == h
    for broken in (
        blob[:-8],
        blob[:20],
        blob[:16] + struct.pack("<Q", len(blob) - 8) + blob[24:-8],
        blob[:24] + b"\x09" + blob[25:],
    ):
        with pytest.raises(ValueError, match="layout 1"):
            H.History.unpack(broken)


def test_the_time_is_a_named_column_never_an_unnamed_one_or_row_numbers(tmp_path):
    pd = pytest.importorskip("pandas")
    want = H.bars(GOOD_BARS, symbol="ARVO")
    frame = pd.DataFrame([r[1:] for r in GOOD_BARS], columns=["Open", "High", "Low", "Close", "Volume"])
    frame.insert(0, "Date", [r[0] for r in GOOD_BARS])
    written = tmp_path / "written.csv"
    frame.to_csv(written)  # header ",Date,Open,...": the row numbers come first, unnamed
    assert written.read_text().startswith(",Date,")
    assert H.bars(str(written), symbol="ARVO") == want

    def refused(source, **kw):
        with pytest.raises(H.HistoryError) as e:
            H.bars(source, symbol="ARVO", **kw)
        return str(e.value)

    plain = frame.drop(columns="Date")  # no time at all, row numbers as the index
    said = refused(plain)
    assert "no time column" in said and "RangeIndex" in said
    assert "['Open', 'High', 'Low', 'Close', 'Volume']" in said
    own = frame.rename(columns={"Date": "open_time"})
    assert "'open_time'" in refused(own) and H.bars(own, symbol="ARVO", time_column="open_time") == want
    assert "no column named 'when'" in refused(own, time_column="when")
    indexed = tmp_path / "indexed.csv"  # a datetime index written unnamed
    frame.set_index(pd.to_datetime(frame.pop("Date"))).rename_axis(None).to_csv(indexed)
    assert "['', 'Open'" in refused(str(indexed)) and "unnamed column is never" in refused(str(indexed))
    assert H.bars(str(indexed), symbol="ARVO", time_column="") == want
    assert "no time column among the columns ['open'" in refused(
        [{"open": 45.25, "high": 46.0, "low": 44.5, "close": 45.75}]
    )


@pytest.mark.parametrize("road", ["rows", "frame", "csv"])
def test_numeric_times_are_read_in_the_unit_given_and_implausible_ones_refused(road, tmp_path):
    def load(times, **kw):
        rows = [(t,) + r[1:] for t, r in zip(times, GOOD_BARS)]
        if road == "rows":
            return H.bars(rows, symbol="ARVO", **kw)
        pd = pytest.importorskip("pandas")
        frame = pd.DataFrame(rows, columns=["time", "open", "high", "low", "close", "volume"])
        if road == "frame":
            return H.bars(frame, symbol="ARVO", **kw)
        path = tmp_path / "t.csv"
        frame.to_csv(path, index=False)
        return H.bars(str(path), symbol="ARVO", **kw)

    want = [T0, T0 + DAY, T0 + 2 * DAY]
    ms = [t * 1000 + 999 for t in want]
    with pytest.raises(H.HistoryError, match=r"out of range.*time_unit='ms'") as e:
        load(ms)
    assert e.value.field == "time"
    assert list(load(ms, time_unit="ms")["ARVO"].columns["time"]) == want
    assert list(load([t * 10**9 for t in want], time_unit="ns")["ARVO"].columns["time"]) == want
    dates = [20260302, 20260303, 20260304]
    with pytest.raises(H.HistoryError, match=r"YYYYMMDD.*time_unit='yyyymmdd'"):
        load(dates)
    assert list(load(dates, time_unit="yyyymmdd")["ARVO"].columns["time"]) == want
    assert list(load(dates, time_unit="s")["ARVO"].columns["time"]) == dates  # said to be seconds: taken so
    if road == "rows":
        assert list(load([np.int64(t) for t in want])["ARVO"].columns["time"]) == want
        assert H.to_utc_seconds(np.int64(T0)) == T0 and H.to_utc_seconds(np.uint32(7)) == 7
        with pytest.raises(ValueError, match="time_unit"):
            load(want, time_unit="days")


def test_empty_huge_short_long_and_fractional_are_refused_clearly(tmp_path):
    from tavrolix_sandbox import broker

    empty = H.trades([], symbol="NEWSYM")
    with pytest.raises(H.HistoryError, match=r"NEWSYM.*no rows"):
        broker.replay(empty)
    huge = [(NEXT, 2e11, 1)]
    with pytest.raises(H.HistoryError, match=r"price 200000000000.0 is above 1e\+11"):
        H.trades(huge, symbol="ARVO")
    pd = pytest.importorskip("pandas")
    with pytest.raises(H.HistoryError, match="above"):
        H.trades(pd.DataFrame(huge, columns=["time", "price", "volume"]), symbol="ARVO")
    for body, fields in (("2026-03-03,45.0\n", 2), ("2026-03-03,45.0,10,1,9\n", 5)):
        path = tmp_path / "t.csv"
        path.write_text("time,price,volume,side\n2026-03-02,45.0,10,1\n" + body)
        e = _bad("trades", str(path))
        assert (e.where, e.field) == ("line 3", "*") and "%d fields where the header has 4" % fields in str(e)
    coin = [(NEXT, 45.0, 46.0, 44.5, 45.0, 2.5), ("2026-03-04", 45.0, 46.0, 44.5, 45.0, 3.5)]
    assert "round_volume=True" in str(_bad("bars", coin))
    rounded = H.bars(coin, symbol="ARVO", round_volume=True)
    assert list(rounded["ARVO"].columns["volume"]) == [2, 4]
    frame = pd.DataFrame(coin, columns=["time", "open", "high", "low", "close", "volume"])
    assert "round_volume=True" in str(_bad("bars", frame))
    frame["time"] = pd.to_datetime(frame["time"])
    assert H.bars(frame, symbol="ARVO", round_volume=True) == rounded


def test_a_csv_through_pandas_loads_as_the_rows_do_text_sides_and_iso_times_included(tmp_path):
    pytest.importorskip("pandas")
    rows = [
        ("2026-03-02T10:00:00Z", 45.25, 10, "BUY"),
        ("2026-03-02 10:00:00.75", 45.5, 5, "s"),
        ("2026-03-02T17:00:01+07:00", 45.5, 7, " Sell "),
        ("2026-03-02T10:00:02", 45.75, 1, "B"),
    ]
    path = tmp_path / "t.csv"
    path.write_text("Time,Price,Volume,Side\n" + "".join("%s,%r,%d,%s\n" % r for r in rows))
    got = H.trades(str(path), symbol="ARVO", tick=H.EQUITY_TICKS)
    assert got == H.trades(rows, symbol="ARVO", tick=H.EQUITY_TICKS)
    assert list(got["ARVO"].columns["side"]) == [1, -1, -1, 1]
    assert list(got["ARVO"].columns["time"]) == [T0 + 36000, T0 + 36000, T0 + 36001, T0 + 36002]


def test_pandas_reads_every_number_as_float_does_and_says_nothing_about_it(tmp_path):
    # A float column written by pandas' to_csv: 17 significant digits, where
    # an older pandas' default converter is an ulp off about one time in eight.
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(7)
    values = list(rng.uniform(0, 1e5, 4000)) + list(rng.uniform(0.5, 2, 1000).round(5))
    path = tmp_path / "p.csv"
    pd.DataFrame({"time": range(len(values)), "close": values}).to_csv(path, index=False)
    texts = path.read_text().split()[1:]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        frame = H._read_csv(str(path), ["time", "close"])
    assert frame is not None
    assert [v.hex() for v in frame["close"]] == [float(t.split(",")[1]).hex() for t in texts]


def _load_csv(kind, path, road, **kw):
    """The file through one road: "columns" (no pandas: the csv module, column by column) or "rows"."""
    with pytest.MonkeyPatch.context() as m:
        m.setattr(H, "_read_csv", lambda *a: None)  # as without pandas
        if road == "rows":
            m.setattr(H, "_csv_fast", lambda *a: None)
        try:
            return (H.bars if kind == "bars" else H.trades)(str(path), symbol="ARVO", **kw)
        except H.HistoryError as e:
            return str(e)


_CELLS = {  # text cells as files hold them: fine ones first, then bad ones
    "time": [
        "2026-03-02T10:00:0%d",
        "2026-03-02 10:00:0%d",
        "2026-03-02T17:00:0%d+07:00",
        "2026-03-02T10:00:0%dZ",
        "2026-03-02T10:00:0%d.75",
        "177244560%d",
        "2026-03-02",
        "",
        "2026-02-30T10:00:0%d",
        "2026-03-02T10:00:0%d ",
        "1772445600%d00",
        "2026030%d",
        " 2026-03-02",
        "x",
    ],
    "price": ["45.25", "45.5", "45.0", " 45.75", "4.5e1", "", "45.1", "nan", "inf", "0", "-45.0", "2e11", "abc"],
    "volume": ["10", "7", "10.0", " 3", "1_000", "", "0", "-1", "2.5", "9007199254740993", "1e30", "many"],
    "side": ["BUY", "s", " Sell ", "", "B", "-1", "1", "0", "up", "true"],
}


@settings(max_examples=120, deadline=None)
@given(st.data())
def test_a_csv_without_pandas_loads_column_by_column_exactly_as_row_by_row(tmp_path_factory, data):
    """The csv module's road reads whole columns; whatever it takes must load as
    the row path loads it, and whatever it cannot take goes to the row path,
    which refuses it with the same message (line and field)."""
    kind = data.draw(st.sampled_from(["bars", "trades"]))
    n = data.draw(st.integers(1, 5))
    columns = ["time", "open", "high", "low", "close", "volume"] if kind == "bars" else ["time", "price", "volume"]
    if kind == "trades" and data.draw(st.booleans()):
        columns.append("side")

    def cell(name, i):
        options = _CELLS["price" if name in ("open", "high", "low", "close") else name]
        good = data.draw(st.booleans()) or data.draw(st.booleans())  # mostly fine cells
        text = data.draw(st.sampled_from(options[: 5 if good else None]))
        return text % i if "%d" in text else text

    rows = [[cell(c, i) for c in columns] for i in range(n)]
    if kind == "bars" and data.draw(st.booleans()):  # consistent bars on the grid
        for i, r in enumerate(rows):
            r[1:5] = ["45.25", "46.0", "44.5", "45.75"] if i % 2 else ["45.5", "45.5", "45.5", "45.5"]
    head = [c.capitalize() if data.draw(st.booleans()) else c for c in columns]
    sep = data.draw(st.sampled_from(["\n", "\r\n"]))
    quoted = data.draw(st.booleans())
    lines = [",".join('"%s"' % v if quoted else v for v in r) for r in [head] + rows]
    if data.draw(st.booleans()):
        lines.insert(data.draw(st.integers(1, len(lines))), "")  # a blank line
    if data.draw(st.booleans()):  # a short or long row
        at = data.draw(st.integers(1, len(lines) - 1))
        lines[at] = lines[at] + ",9" if data.draw(st.booleans()) else lines[at].rsplit(",", 1)[0]
    path = tmp_path_factory.mktemp("csv") / "t.csv"
    path.write_bytes(("\ufeff" if data.draw(st.booleans()) else "").encode() + (sep.join(lines) + sep).encode())
    kw = data.draw(
        st.sampled_from(
            [{}, {"tick": H.EQUITY_TICKS}, {"tick": H.EQUITY_TICKS, "off_grid": "round"}, {"time_unit": "ms"}]
        )
    )
    if kind == "bars" and data.draw(st.booleans()):
        kw["round_volume"] = True
    note(path.read_text())
    assert _load_csv(kind, path, "columns", **kw) == _load_csv(kind, path, "rows", **kw)


def test_a_csv_without_pandas_takes_the_column_road_for_usual_files(tmp_path, monkeypatch):
    rows = [
        ("2026-03-02T10:00:00Z", 45.25, 10, "BUY"),
        ("2026-03-02 10:00:00.75", 45.5, 5, "s"),
        ("2026-03-02T17:00:01+07:00", 45.5, 7, " Sell "),
        ("2026-03-02T10:00:02", 45.75, 1, ""),
    ]
    path = tmp_path / "t.csv"
    path.write_text("Time,Price,Volume,Side\n" + "".join("%s,%r,%d,%s\n" % r for r in rows))
    calls = []
    real = H._csv_fast
    monkeypatch.setattr(H, "_csv_fast", lambda *a: calls.append(real(*a)) or calls[-1])
    monkeypatch.setattr(H, "_read_csv", lambda *a: None)
    got = H.trades(str(path), symbol="ARVO", tick=H.EQUITY_TICKS)
    assert calls and calls[0] is not None  # taken whole, not row by row
    assert got == H.trades(rows, symbol="ARVO", tick=H.EQUITY_TICKS)
    assert list(got["ARVO"].columns["side"]) == [1, -1, -1, 0]
    ms = tmp_path / "ms.csv"
    ms.write_text(
        "ts,open,high,low,close\n" + "".join("%d,45.0,45.0,45.0,45.0\n" % ((T0 + 60 * i) * 1000) for i in range(3))
    )
    assert list(H.bars(str(ms), symbol="ARVO", time_unit="ms")["ARVO"].columns["time"]) == [T0, T0 + 60, T0 + 120]
    assert calls[-1] is not None
    with pytest.raises(H.HistoryError, match=r"line 2, field 'ts'.*time_unit='ms'"):
        H.bars(str(ms), symbol="ARVO")
