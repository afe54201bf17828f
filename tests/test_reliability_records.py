"""Random result records within the contract, for every operation, checked
against an independent decoding of the same values."""

import math
import os
import struct

import pytest
import tavrolix_open_api as tv
import wire_orders as wo
import wire_positions as wp
from catalog import FUNCTIONS
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from tavrolix_sandbox import Layout
from test_accounts import CASH_KEYS
from test_accounts import EQUITY as EQUITY_ACCOUNT


# Layouts as (offset, kind, key), kinds t text, i int32, d double, b flag.
def _from_orders(fields):
    return [(off, {"text": "t", "i32": "i", "f64": "d", "flag": "b"}[kind], key) for key, off, kind in fields]


DERIVATIVES_ACCOUNT = [
    (48, "t", "call_force_flag"),
    (56, "d", "call_force_margin"),
    (16, "d", "cash_balance"),
    (0, "d", "credit_line"),
    (24, "d", "equity"),
    (8, "d", "excess_equity"),
    (40, "d", "total_mm"),
    (32, "d", "total_mr"),
]  # key order, offsets in the record
POSITION_ORDER = {key: i for i, key in enumerate(wp.DERIVATIVES_POSITION_KEYS)}
ITEMS = {  # operation -> (item size, fields in key order, nested error record?)
    **{op: (184, _from_orders(wo.DERIVATIVES_ORDER), False) for op in (16, 26, 27)},
    **{op: (232, _from_orders(wo.EQUITY_ORDER), False) for op in (21, 32, 33)},
    **{op: (312, sorted(wp.DERIVATIVES_POSITION, key=lambda f: POSITION_ORDER[f[2]]), False) for op in (17, 28)},
    **{op: (160, wp.EQUITY_POSITION, False) for op in (22, 34)},
    **{op: (192, wp.DERIVATIVES_TRADE, False) for op in (18, 29)},
    **{op: (128, wp.EQUITY_TRADE, False) for op in (23, 35)},
    **{op: (32, _from_orders(wo.DERIVATIVES_ACTION_ERROR), True) for op in (2, 6)},
    **{op: (40, _from_orders(wo.EQUITY_ACTION_ERROR), True) for op in (4, 8)},
}
SINGLE = {
    14: (88, DERIVATIVES_ACCOUNT, 72),
    24: (88, DERIVATIVES_ACCOUNT, 72),
    15: (208, _from_orders(wo.DERIVATIVES_ORDER), 192),
    25: (208, _from_orders(wo.DERIVATIVES_ORDER), 192),
    20: (256, _from_orders(wo.EQUITY_ORDER), 240),
    31: (256, _from_orders(wo.EQUITY_ORDER), 240),
}
EQUITY_ACCOUNT_OPS = (19, 30)
STATUS_ONLY = (1, 3, 5, 7, 9, 10, 11, 12)
ORDER_NO = {38: "i", 40: "i", 39: "t", 42: "t"}
CANDLE_COLUMNS = [("time", "i"), ("open", "d"), ("high", "d"), ("low", "d"), ("close", "d"), ("volume", "i")]

FUNCTION_OF = {op: name for name, op, _ in FUNCTIONS}
KINDS_OF = {op: kinds for _, op, kinds in FUNCTIONS}


class Invalid(Exception):
    """The module must raise UnicodeDecodeError for this value."""


texts = st.one_of(
    st.none(),
    st.just(b""),
    st.text(max_size=12).map(lambda s: s.encode("utf-8", "surrogatepass")),
    st.sampled_from([b"\xff", b"\xc3\x28", b"ok\xe2\x82", b"\xed\xa0\x80", b"cut\0\xff", b"\xf0\x9d\x84\x9e"]),
    st.binary(max_size=6),
)
i32 = st.integers(-(2**31), 2**31 - 1)
f64 = st.floats(allow_nan=True, allow_infinity=True)
flags = st.integers(0, 255)
VALUE = {"t": texts, "i": i32, "d": f64, "b": flags}


def decode(raw):
    if raw is None:
        return None
    raw = raw.split(b"\0", 1)[0]
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        raise Invalid from None


def item_value(kind, v):
    return {"t": decode, "i": int, "d": float, "b": lambda b: b != 0}[kind](v)


def put(img, off, kind, v):
    {"t": img.text, "i": img.i32, "d": img.f64, "b": img.u8}[kind](off, v)


@st.composite
def records(draw, fields, size):
    values = {key: draw(VALUE[kind]) for off, kind, key in fields}
    img = Layout(size)
    for off, kind, key in fields:
        put(img, off, kind, values[key])
    return img, values


def expected_record(fields, values, nested=False):
    out = {key: item_value(kind, values[key]) for off, kind, key in fields}
    if nested:
        out = {"error_response": {"code": out.pop("code"), "message": out.pop("message")}, **out}
    return out


def same(a, b):
    """Equality that holds NaN equal to itself, bit for bit."""
    if isinstance(a, float) and isinstance(b, float):
        return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) and type(a[k]) is type(b[k]) for k in a)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


@st.composite
def envelopes(draw, status_message_always=False):
    return {
        "success": draw(st.sampled_from([0, 1, 1, 2, 255])),
        "status": draw(i32),
        "message": draw(texts),
        "error": draw(st.one_of(st.none(), st.none(), st.none(), st.just(b"boom"))),
    }


def frame_message(env):
    return "" if env["success"] else (decode(env["message"]) or "")


def args(kinds, ctx):
    sample = {"d": ctx, "s": "x", "i": 1, "f": 1.0, "b": True, "L": ["a"], "A": [1, 2], "C": None}
    return [sample[k] for k in kinds]


def outcome(scripted, ctx, op, image, build_expected):
    scripted.queue(op, image)
    try:
        expected = build_expected()
    except Invalid:
        expected = UnicodeDecodeError
    call = getattr(tv, FUNCTION_OF[op])
    if expected is UnicodeDecodeError or isinstance(expected, RuntimeError):
        with pytest.raises(type(expected) if isinstance(expected, Exception) else expected) as e:
            call(*args(KINDS_OF[op], ctx))
        if isinstance(expected, RuntimeError):
            assert str(e.value) == str(expected)
        scripted.reset()  # the image may not have been consumed if a decode error came first
        return
    got = call(*args(KINDS_OF[op], ctx))
    assert same(got, expected), (got, expected)


# Fewer examples under a sanitizer, where each costs several times more.
SETTINGS = settings(
    max_examples=15 if os.environ.get("TVX_SANITIZER") else 40,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=list(HealthCheck),
)


def head(img, env, success_at, status_at, message_at, error_at):
    img.u8(success_at, env["success"]).i32(status_at, env["status"])
    img.text(message_at, env["message"]).text(error_at, env["error"])


def internal(env):
    return RuntimeError("Internal Error: boom") if env["error"] else None


@pytest.mark.parametrize("op", sorted(ITEMS))
@SETTINGS
@given(data=st.data())
def test_record_lists(scripted, ctx, op, data):
    size, fields, nested = ITEMS[op]
    n = data.draw(st.integers(0, 4))
    recs = [data.draw(records(fields, size)) for _ in range(n)]
    count = data.draw(st.integers(-3, n))
    env = data.draw(envelopes())
    img = Layout(48).pointer(0, Layout.array([r for r, _ in recs]) if recs else None).i64(8, count)
    head(img, env, 24, 28, 32, 40)

    def expected():
        if internal(env):
            return internal(env)
        items = [expected_record(fields, v, nested) for _, v in recs[: max(count, 0)]] if env["success"] else []
        return {
            "success": env["success"] != 0,
            "status_code": env["status"],
            "data": items,
            "message": frame_message(env),
        }

    outcome(scripted, ctx, op, img, expected)


@pytest.mark.parametrize("op", sorted(SINGLE) + list(EQUITY_ACCOUNT_OPS))
@SETTINGS
@given(data=st.data())
def test_single_records(scripted, ctx, op, data):
    if op in EQUITY_ACCOUNT_OPS:
        size, fields, message_at = 368, EQUITY_ACCOUNT, 352
        fields = [(off, kind, key) for off, kind, key in fields]
    else:
        size, fields, message_at = SINGLE[op]
    rec, values = data.draw(
        records([(o, k if k in "tidb" else {"d": "d"}[k], key) for o, k, key in fields], size - 8 - 16)
    )
    if op in EQUITY_ACCOUNT_OPS and data.draw(st.booleans()):
        values["account_type"] = b"CREDIT_BALANCE"
        rec.text(0, values["account_type"])
    env = data.draw(envelopes())
    img = Layout(size)
    img.buf[8 : 8 + len(rec)] = rec.buf
    img.refs.extend((8 + off, t, a) for off, t, a in rec.refs)
    head(img, env, 0, 4, message_at, message_at + 8)

    def expected():
        if internal(env):
            return internal(env)
        data_ = {}
        if env["success"]:
            if op in EQUITY_ACCOUNT_OPS:
                credit = values["account_type"] is not None and values["account_type"] == b"CREDIT_BALANCE"
                keys = [k for _, _, k in EQUITY_ACCOUNT if not k.startswith("initial_")] if credit else CASH_KEYS
                full = {key: (kind, values[key]) for _, kind, key in EQUITY_ACCOUNT}
                data_ = {k: item_value(*full[k]) for k in keys}
            else:
                data_ = expected_record(fields, values)
        return {
            "success": env["success"] != 0,
            "status_code": env["status"],
            "data": data_,
            "message": frame_message(env),
        }

    outcome(scripted, ctx, op, img, expected)


@pytest.mark.parametrize("op", STATUS_ONLY)
@SETTINGS
@given(env=envelopes())
def test_status_only(scripted, ctx, op, env):
    img = Layout(24)
    head(img, env, 0, 4, 8, 16)
    outcome(
        scripted,
        ctx,
        op,
        img,
        lambda: (
            internal(env)
            or {
                "success": env["success"] != 0,
                "status_code": env["status"],
                "data": {},
                "message": decode(env["message"]),
            }
        ),
    )


@pytest.mark.parametrize("op", sorted(ORDER_NO))
@SETTINGS
@given(env=envelopes(), number=st.data())
def test_order_numbers(scripted, ctx, op, env, number):
    kind = ORDER_NO[op]
    value = number.draw(VALUE[kind])
    img = Layout(32)
    put(img, 8, kind, value)
    head(img, env, 0, 4, 16, 24)
    outcome(
        scripted,
        ctx,
        op,
        img,
        lambda: (
            internal(env)
            or {
                "success": env["success"] != 0,
                "status_code": env["status"],
                "data": {"order_no": item_value(kind, value)} if env["success"] else {},
                "message": frame_message(env),
            }
        ),
    )


@SETTINGS
@given(env=envelopes(), values=st.lists(i32, max_size=6), data=st.data())
def test_trade_report(scripted, ctx, env, values, data):
    count = data.draw(st.integers(-3, len(values)))
    img = Layout(48).pointer(0, Layout.of("i", values) if values else None).i64(8, count)
    head(img, env, 24, 28, 32, 40)
    outcome(
        scripted,
        ctx,
        41,
        img,
        lambda: (
            internal(env)
            or {
                "success": env["success"] != 0,
                "status_code": env["status"],
                "data": values[: max(count, 0)] if env["success"] else [],
                "message": decode(env["message"]),
            }
        ),
    )


@SETTINGS
@given(env=envelopes(), last=i32, data=st.data())
def test_candlesticks(scripted, ctx, env, last, data):
    img = Layout(176).i32(152, last)
    columns = {}
    for i, (key, kind) in enumerate(CANDLE_COLUMNS):
        values = data.draw(st.lists(VALUE[kind], max_size=5))
        count = data.draw(st.integers(-2, len(values)))
        columns[key] = [item_value(kind, v) for v in values[: max(count, 0)]]
        img.pointer(24 * i, Layout.of(kind, values) if values else None).i64(24 * i + 8, count)
    head(img, env, 144, 148, 160, 168)
    outcome(
        scripted,
        ctx,
        37,
        img,
        lambda: (
            internal(env)
            or {
                "success": env["success"] != 0,
                "status_code": env["status"],
                "data": {"last_sequence": last, **(columns if env["success"] else {k: [] for k, _ in CANDLE_COLUMNS})},
                "message": decode(env["message"]),
            }
        ),
    )


@SETTINGS
@given(env=envelopes(), channel=texts)
def test_login(scripted, env, channel):
    img = Layout(72).text(16, channel)
    head(img, env, 0, 4, 56, 64)

    def expected():
        if internal(env):
            return internal(env)
        if not env["success"]:
            # A refusal's text is shown with its invalid bytes escaped, not lost.
            raw = env["message"]
            message = None if raw is None else raw.split(b"\0", 1)[0].decode("utf-8", "backslashreplace")
            return RuntimeError("Unknown exception" if message is None else message)
        return {
            "channel_id": decode(channel),
            "configuration": {"enable_queue": True, "daemon_type": "STAND_ALONE", "max_torelation": 0, "rate_limit": 0},
        }

    outcome(scripted, None, 13, img, expected)
