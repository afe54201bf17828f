"""Order records, order-action requests and results, by byte offset."""

import struct
from typing import Any, ClassVar, Dict, List, Optional, Sequence, Tuple

from tavrolix_sandbox import Call, Layout
from wire import Text, put, record_list, single, status_only

# (key, offset, kind) in dictionary key order.
Fields = List[Tuple[str, int, str]]

DERIVATIVES_ORDER: Fields = [
    ("account_no", 0, "text"),
    ("balance_qty", 8, "i32"),
    ("cancel_qty", 12, "i32"),
    ("entry_date", 16, "text"),
    ("entry_id", 24, "text"),
    ("entry_time", 32, "text"),
    ("is_stop_order_not_activate", 40, "text"),
    ("match_qty", 48, "i32"),
    ("order_no", 52, "i32"),
    ("position", 56, "text"),
    ("price", 64, "f64"),
    ("price_type", 72, "text"),
    ("qty", 80, "i32"),
    ("reject_code", 84, "i32"),
    ("reject_reason", 88, "text"),
    ("show_status", 96, "text"),
    ("side", 104, "text"),
    ("status", 112, "text"),
    ("status_meaning", 120, "text"),
    ("symbol", 128, "text"),
    ("tfx_order_no", 136, "text"),
    ("trigger_condition", 144, "text"),
    ("trigger_price", 152, "f64"),
    ("trigger_symbol", 160, "text"),
    ("validity", 168, "text"),
    ("version", 176, "i32"),
]

EQUITY_ORDER: Fields = [
    ("can_cancel", 0, "flag"),
    ("can_change_account", 1, "flag"),
    ("account_no", 8, "text"),
    ("balance", 16, "i32"),
    ("cancel_id", 24, "text"),
    ("cancel_time", 32, "text"),
    ("cancelled", 40, "i32"),
    ("counter_party_member", 48, "text"),
    ("enter_id", 56, "text"),
    ("entry_time", 64, "text"),
    ("iceberg_vol", 72, "i32"),
    ("matched", 76, "i32"),
    ("nvdr_flag", 80, "text"),
    ("order_no", 88, "text"),
    ("order_type", 96, "text"),
    ("price", 104, "f64"),
    ("price_type", 112, "text"),
    ("reject_code", 120, "i32"),
    ("reject_reason", 128, "text"),
    ("set_order_no", 136, "text"),
    ("show_order_status", 144, "text"),
    ("show_order_status_meaning", 152, "text"),
    ("side", 160, "text"),
    ("status", 168, "text"),
    ("symbol", 176, "text"),
    ("trade_date", 184, "text"),
    ("trade_report_type", 192, "text"),
    ("trade_time", 200, "text"),
    ("validity", 208, "text"),
    ("version", 216, "i32"),
    ("vol", 220, "i32"),
    ("can_change_price_vol", 224, "flag"),
    ("can_change_trustee_id", 225, "flag"),
    ("trade_report", 226, "flag"),
]

# Order action errors: code and message go under error_response.
DERIVATIVES_ACTION_ERROR: Fields = [
    ("code", 0, "text"),
    ("message", 8, "text"),
    ("http_status", 16, "text"),
    ("http_status_code", 24, "i32"),
    ("order_no", 28, "i32"),
]
EQUITY_ACTION_ERROR: Fields = [
    ("code", 0, "text"),
    ("message", 8, "text"),
    ("http_status", 16, "text"),
    ("http_status_code", 24, "i32"),
    ("order_no", 32, "text"),
]

SIZES = {
    id(DERIVATIVES_ORDER): 184,
    id(EQUITY_ORDER): 232,
    id(DERIVATIVES_ACTION_ERROR): 32,
    id(EQUITY_ACTION_ERROR): 40,
}


def sample(fields: Fields, seed: int = 0, texts: Any = "distinct") -> Dict[str, Any]:
    """Distinct values per key; texts "distinct", or all None, or all ""."""
    out: Dict[str, Any] = {}
    for i, (key, _, kind) in enumerate(fields):
        if kind == "text":
            out[key] = "%s-%d\u00e9" % (key, seed) if texts == "distinct" else texts
        elif kind == "i32":
            out[key] = -(1000 * seed + 17 * i + 3) if i % 2 else 2147483000 - i - seed
        elif kind == "f64":
            out[key] = -(seed + i + 0.125)
        else:
            out[key] = (i + seed) % 2 == 0
    return out


def lay(fields: Fields, values: Dict[str, Any]) -> Layout:
    img = Layout(SIZES[id(fields)])
    for key, off, kind in fields:
        put(img, off, kind, values[key], flag_byte=0x80)  # any non-zero byte is true
    return img


def records(fields: Fields, values: Sequence[Dict[str, Any]]) -> Layout:
    return Layout.array([lay(fields, v) for v in values])


def action_error_dict(values: Dict[str, Any]) -> Dict[str, Any]:
    return {
        "error_response": {"code": values["code"], "message": values["message"]},
        "http_status": values["http_status"],
        "http_status_code": values["http_status_code"],
        "order_no": values["order_no"],
    }


def order_no_result(
    equity: bool, order_no: Any, success: int = 1, status: int = 200, message: Text = None, error: Text = None
) -> Layout:
    img = Layout(32).u8(0, success).i32(4, status)
    if equity:
        img.text(8, order_no)
    else:
        img.i32(8, order_no)
    return img.text(16, message).text(24, error)


# ------------------------------------------------------------- result kinds
class Kind:
    """How one result record is laid out, and the data it converts to."""

    def __init__(self, verdict: bool, empty: Any) -> None:
        self.verdict = verdict  # message read on success too, None for null
        self.empty = empty

    def image(self, success: int, status: int, message: Text, error: Text) -> Layout:
        raise NotImplementedError

    def data(self) -> Any:
        raise NotImplementedError


class SingleOrder(Kind):
    def __init__(self, fields: Fields, size: int) -> None:
        super().__init__(False, {})
        self.fields, self.size = fields, size

    def image(self, success, status, message, error):
        return single(
            self.size, lay(self.fields, sample(self.fields, 1)), self.size - 16, success, status, message, error
        )

    def data(self):
        return sample(self.fields, 1)


class RecordList(Kind):
    def __init__(self, fields: Fields, convert=dict) -> None:
        super().__init__(False, [])
        self.fields, self.convert = fields, convert

    def values(self):
        return [sample(self.fields, s) for s in (2, 3)]

    def image(self, success, status, message, error):
        return record_list(records(self.fields, self.values()), 2, success, status, message, error)

    def data(self):
        return [self.convert(v) for v in self.values()]


class OrderNo(Kind):
    def __init__(self, equity: bool) -> None:
        super().__init__(False, {})
        self.equity = equity
        self.value = "EQ-77\u00e9" if equity else -2000000077

    def image(self, success, status, message, error):
        return order_no_result(self.equity, self.value, success, status, message, error)

    def data(self):
        return {"order_no": self.value}


class TradeReport(Kind):
    values: ClassVar[List[int]] = [5, -6, 2147483647]

    def __init__(self) -> None:
        super().__init__(True, [])

    def image(self, success, status, message, error):
        return record_list(Layout.of("i", self.values), 3, success, status, message, error)

    def data(self):
        return list(self.values)


class Status(Kind):
    def __init__(self) -> None:
        super().__init__(True, {})

    def image(self, success, status, message, error):
        return status_only(success, status, message, error)

    def data(self):
        return {}


KINDS = {
    "d_order": SingleOrder(DERIVATIVES_ORDER, 208),
    "e_order": SingleOrder(EQUITY_ORDER, 256),
    "d_orders": RecordList(DERIVATIVES_ORDER),
    "e_orders": RecordList(EQUITY_ORDER),
    "d_order_no": OrderNo(False),
    "e_order_no": OrderNo(True),
    "trade_report": TradeReport(),
    "status": Status(),
    "d_batch": RecordList(DERIVATIVES_ACTION_ERROR, action_error_dict),
    "e_batch": RecordList(EQUITY_ACTION_ERROR, action_error_dict),
}


# -------------------------------------------------------------- functions
def rec(size: int, fields: Dict[int, int]) -> Tuple[str, int, Dict[int, int]]:
    """A request record passed by address: {argument position: offset}."""
    return ("record", size, fields)


PLACE_INVESTOR_DERIVATIVES = rec(
    96, {14: 0, 8: 8, 7: 16, 4: 24, 9: 32, 6: 40, 11: 48, 13: 56, 12: 64, 3: 72, 10: 80, 5: 88}
)
PLACE_MARKETREP_DERIVATIVES = rec(88, {13: 0, 7: 8, 4: 16, 8: 24, 6: 32, 10: 40, 12: 48, 11: 56, 3: 64, 9: 72, 5: 80})
PLACE_INVESTOR_EQUITY = rec(88, {14: 0, 12: 1, 10: 8, 7: 16, 4: 24, 8: 32, 13: 40, 6: 48, 3: 56, 11: 64, 9: 72, 5: 80})
PLACE_MARKETREP_EQUITY = rec(80, {13: 0, 11: 1, 9: 8, 4: 16, 7: 24, 12: 32, 6: 40, 3: 48, 10: 56, 8: 64, 5: 72})
INVESTOR_TEXT = rec(8, {4: 0})

# name: (operation, parameter types after the context, library arguments after
# the configuration, result kind). Types: s str, i int, f float, b bool,
# A int32 array, L list of str. Library arguments: ("text"|"i32", position),
# a request record, or an order-number batch ("i32_array"|"text_array", position)
# with its count.
FUNCTIONS: Dict[str, Tuple[int, str, List[Any], str]] = {
    "get_investor_derivatives_order": (15, "si", [("text", 2), ("i32", 3)], "d_order"),
    "get_investor_derivatives_orders": (16, "s", [("text", 2)], "d_orders"),
    "place_investor_derivatives_order": (38, "ssfisssssssfb", [("text", 2), PLACE_INVESTOR_DERIVATIVES], "d_order_no"),
    "cancel_investor_derivatives_orders": (2, "sAs", [("text", 2), ("i32_array", 3), ("text", 4)], "d_batch"),
    "cancel_investor_derivatives_order": (1, "sis", [("text", 2), ("i32", 3), INVESTOR_TEXT], "status"),
    "change_investor_derivatives_order": (
        9,
        "sifisss",
        [("text", 2), ("i32", 3), rec(40, {6: 0, 7: 8, 4: 16, 5: 24, 8: 32})],
        "status",
    ),
    "get_investor_equity_order": (20, "ss", [("text", 2), ("text", 3)], "e_order"),
    "get_investor_equity_orders": (21, "s", [("text", 2)], "e_orders"),
    "place_investor_equity_order": (39, "ssfissssssbib", [("text", 2), PLACE_INVESTOR_EQUITY], "e_order_no"),
    "cancel_investor_equity_orders": (4, "sLs", [("text", 2), ("text_array", 3), ("text", 4)], "e_batch"),
    "cancel_investor_equity_order": (3, "sss", [("text", 2), ("text", 3), INVESTOR_TEXT], "status"),
    "change_investor_equity_order": (
        10,
        "ssfissisb",
        [("text", 2), ("text", 3), rec(48, {10: 0, 8: 4, 4: 8, 7: 16, 9: 24, 5: 32, 6: 40})],
        "status",
    ),
    "get_marketrep_derivatives_order": (25, "i", [("i32", 2)], "d_order"),
    "get_marketrep_derivatives_orders": (26, "", [], "d_orders"),
    "get_marketrep_derivatives_orders_by_account_no": (27, "s", [("text", 2)], "d_orders"),
    "place_marketrep_derivatives_order": (40, "ssfissssssfb", [("text", 2), PLACE_MARKETREP_DERIVATIVES], "d_order_no"),
    "cancel_marketrep_derivatives_orders": (6, "sA", [("text", 2), ("i32_array", 3)], "d_batch"),
    "cancel_marketrep_derivatives_order": (5, "si", [("text", 2), ("i32", 3)], "status"),
    "change_marketrep_derivatives_order": (
        11,
        "sisfiss",
        [("text", 2), ("i32", 3), rec(40, {4: 0, 7: 8, 5: 16, 8: 24, 6: 32})],
        "status",
    ),
    "place_marketrep_derivatives_trade_report": (
        41,
        "ssfissss",
        [rec(64, {8: 0, 3: 8, 6: 16, 4: 24, 9: 32, 2: 40, 7: 48, 5: 56})],
        "trade_report",
    ),
    "get_marketrep_equity_order": (31, "s", [("text", 2)], "e_order"),
    "get_marketrep_equity_orders": (32, "", [], "e_orders"),
    "get_marketrep_equity_orders_by_account_no": (33, "s", [("text", 2)], "e_orders"),
    "place_marketrep_equity_order": (42, "ssfisssssbib", [("text", 2), PLACE_MARKETREP_EQUITY], "e_order_no"),
    "cancel_marketrep_equity_orders": (8, "sL", [("text", 2), ("text_array", 3)], "e_batch"),
    "cancel_marketrep_equity_order": (7, "ss", [("text", 2), ("text", 3)], "status"),
    "change_marketrep_equity_order": (
        12,
        "sssfiissbb",
        [("text", 2), ("text", 3), rec(56, {11: 0, 4: 8, 7: 16, 5: 24, 8: 32, 9: 40, 6: 48, 10: 52})],
        "status",
    ),
}

FIELD_KIND = {"s": "text", "i": "i32", "f": "f64", "b": "flag"}


def plain_args(types: str) -> List[Any]:
    """Harmless arguments of the given types, positions 2 onward."""
    one = {"s": "x", "i": 1, "f": 1.0, "b": True, "A": [1], "L": ["1"]}
    return [one[t] for t in types]


def field(call: Call, index: int, offset: int, kind: str) -> Any:
    """A request record field by offset: text bytes (None for null), number or byte."""
    raw = call.value(index)
    if kind == "text":
        ptr = struct.unpack_from("<Q", raw, offset)[0]
        logged = call.arg(index)["texts"][str(offset)]
        assert (logged["ptr"] if logged else 0) == ptr
        return call.texts(index)[offset]
    if kind == "i32":
        return struct.unpack_from("<i", raw, offset)[0]
    if kind == "f64":
        return struct.unpack_from("<d", raw, offset)[0]
    return raw[offset]


def text_bytes(v: Optional[Any]) -> Optional[bytes]:
    return v.encode() if isinstance(v, str) else v
