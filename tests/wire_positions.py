"""Position, trade and candlestick records laid out by byte offset."""

import struct
from typing import Any, Dict, List, Optional, Sequence, Tuple

from tavrolix_sandbox import Call, Layout
from wire import put

# (offset, kind, key); kinds: t text, i signed 32-bit, d double, b flag.
Fields = List[Tuple[int, str, str]]

DERIVATIVES_POSITION: Fields = [
    (0, "b", "has_long_position"),
    (8, "t", "account_no"),
    (16, "i", "actual_long_position"),
    (20, "i", "actual_short_position"),
    (24, "t", "as_of_date_xrt"),
    (32, "i", "available_long_position"),
    (36, "i", "available_short_position"),
    (40, "d", "avg_xrt_long"),
    (48, "d", "avg_xrt_long_cost"),
    (56, "d", "avg_xrt_short"),
    (64, "d", "avg_xrt_short_cost"),
    (72, "t", "broker_id"),
    (80, "i", "close_long_position"),
    (84, "i", "close_short_position"),
    (88, "t", "currency"),
    (96, "d", "current_xrt"),
    (104, "t", "last_trading_date"),
    (112, "d", "long_avg_cost"),
    (120, "d", "long_avg_price"),
    (128, "d", "market_price"),
    (136, "d", "multiplier"),
    (144, "i", "open_long_position"),
    (148, "i", "open_short_position"),
    (152, "d", "realized_pl"),
    (160, "d", "realized_pl_by_cost"),
    (168, "d", "realized_pl_by_cost_currency"),
    (176, "d", "realized_pl_currency"),
    (184, "t", "security_type"),
    (192, "d", "short_avg_cost"),
    (200, "d", "short_avg_price"),
    (208, "d", "start_long_cost"),
    (216, "i", "start_long_position"),
    (224, "d", "start_long_price"),
    (232, "d", "start_short_cost"),
    (240, "i", "start_short_position"),
    (248, "d", "start_short_price"),
    (256, "d", "start_xrt_long"),
    (264, "d", "start_xrt_long_cost"),
    (272, "d", "start_xrt_short"),
    (280, "d", "start_xrt_short_cost"),
    (288, "t", "symbol"),
    (296, "t", "underlying"),
    (304, "b", "has_short_position"),
]
DERIVATIVES_POSITION_KEYS = [
    "account_no",
    "actual_long_position",
    "actual_short_position",
    "as_of_date_xrt",
    "available_long_position",
    "available_short_position",
    "avg_xrt_long",
    "avg_xrt_long_cost",
    "avg_xrt_short",
    "avg_xrt_short_cost",
    "broker_id",
    "close_long_position",
    "close_short_position",
    "currency",
    "current_xrt",
    "has_long_position",
    "has_short_position",
    "last_trading_date",
    "long_avg_cost",
    "long_avg_price",
    "market_price",
    "multiplier",
    "open_long_position",
    "open_short_position",
    "realized_pl",
    "realized_pl_by_cost",
    "realized_pl_by_cost_currency",
    "realized_pl_currency",
    "security_type",
    "short_avg_cost",
    "short_avg_price",
    "start_long_cost",
    "start_long_position",
    "start_long_price",
    "start_short_cost",
    "start_short_position",
    "start_short_price",
    "start_xrt_long",
    "start_xrt_long_cost",
    "start_xrt_short",
    "start_xrt_short_cost",
    "symbol",
    "underlying",
]

EQUITY_POSITION: Fields = [
    (0, "d", "actual_volume"),
    (8, "d", "amount"),
    (16, "d", "average_price"),
    (24, "d", "commission_rate"),
    (32, "d", "current_volume"),
    (40, "t", "flag"),
    (48, "d", "liabilities"),
    (56, "d", "margin_rate"),
    (64, "d", "market_price"),
    (72, "d", "market_value"),
    (80, "t", "nvdr_flag"),
    (88, "d", "percent_profit"),
    (96, "t", "port_flag"),
    (104, "d", "profit"),
    (112, "d", "realize_profit"),
    (120, "b", "show_n_a"),
    (128, "d", "start_price"),
    (136, "d", "start_volume"),
    (144, "t", "symbol"),
    (152, "d", "vat_rate"),
]

DERIVATIVES_TRADE: Fields = [
    (0, "t", "account_no"),
    (8, "t", "broker_id"),
    (16, "t", "currency"),
    (24, "t", "deal_no"),
    (32, "t", "entry_id"),
    (40, "t", "ledger_date"),
    (48, "i", "ledger_seq"),
    (56, "t", "ledger_time"),
    (64, "d", "multiplier"),
    (72, "t", "open_close"),
    (80, "i", "order_no"),
    (88, "d", "px"),
    (96, "i", "qty"),
    (100, "i", "rectified_qty"),
    (104, "t", "ref_ledger_date"),
    (112, "i", "ref_ledger_seq"),
    (120, "t", "reject_code"),
    (128, "t", "reject_reason"),
    (136, "t", "side"),
    (144, "t", "status"),
    (152, "t", "symbol"),
    (160, "t", "trade_date"),
    (168, "t", "trade_no"),
    (176, "t", "trade_time"),
    (184, "t", "trade_type"),
]

EQUITY_TRADE: Fields = [
    (0, "t", "account_no"),
    (8, "t", "broker_id"),
    (16, "d", "brokerage_fee"),
    (24, "d", "clearing_fee"),
    (32, "t", "deal_no"),
    (40, "t", "entry_id"),
    (48, "t", "order_no"),
    (56, "d", "px"),
    (64, "i", "qty"),
    (72, "t", "side"),
    (80, "t", "symbol"),
    (88, "t", "trade_date"),
    (96, "t", "trade_no"),
    (104, "t", "trade_time"),
    (112, "d", "trading_fee"),
    (120, "t", "trustee_id"),
]

PY_TYPE = {"t": str, "i": int, "d": float, "b": bool}


def sample(fields: Fields, seed: int) -> Dict[str, Any]:
    """Distinct values for every field: ints of both signs and at the 32-bit
    limits, non-ASCII texts, flags alternating with the seed."""
    out: Dict[str, Any] = {}
    flags = 0
    for n, (_, kind, key) in enumerate(fields):
        sign = -1 if n % 2 else 1
        if kind == "t":
            out[key] = "%s-%d-\u00e9\u0e01" % (key, seed)
        elif kind == "i":
            out[key] = (2**31 - 1, -(2**31))[seed % 2] if n % 5 == 0 else sign * (seed * 100 + n) * 7919
        elif kind == "d":
            out[key] = sign * (seed * 100 + n + 0.1)
        else:
            out[key] = (flags + seed) % 2 == 0
            flags += 1
    return out


def record(fields: Fields, size: int, values: Dict[str, Any], flag_byte: int = 1) -> Layout:
    """One record; a true flag is written as `flag_byte` (any non-zero byte)."""
    rec = Layout(size)
    for offset, kind, key in fields:
        put(rec, offset, kind, values[key], flag_byte)
    return rec


def candlestick_image(
    columns: Dict[str, Tuple[Sequence[Any], Optional[int]]],
    success: int = 1,
    status: int = 200,
    last_sequence: int = 0,
    message: Any = None,
    error: Any = None,
) -> Layout:
    """The 176-byte result; each column given as (elements, count or None for their number)."""
    img = Layout(176)
    for index, name in enumerate(CANDLE_COLUMNS):
        elements, count = columns.get(name, ([], 0))
        at = index * 24
        fmt = "i" if name in ("time", "volume") else "d"
        img.pointer(at, Layout.of(fmt, elements) if elements else None)
        img.i64(at + 8, len(elements) if count is None else count).u64(at + 16, 0xFEEDFACE)
    img.u8(144, success).i32(148, status).i32(152, last_sequence)
    return img.text(160, message).text(168, error)


CANDLE_COLUMNS = ["time", "open", "high", "low", "close", "volume"]


def candlestick_request(call: Call, index: int = 1) -> Dict[str, Any]:
    """The 40-byte request record an operation received."""
    arg = call.arg(index)
    assert arg["kind"] == "record"
    raw = call.value(index)
    assert len(raw) == 40
    texts = call.texts(index)
    return {
        "text1": texts[0],
        "text2": texts[8],
        "text3": texts[24],
        "text4": texts[32],
        "number": struct.unpack_from("<i", raw, 16)[0],
        "flag": raw[20],
        "pointers": [struct.unpack_from("<Q", raw, off)[0] for off in (0, 8, 24, 32)],
    }
