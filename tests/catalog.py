"""The module's 48 functions: name, library operation, parameter kinds.

Kinds: d context dict, s str, i int, f float, b bool, L list of str,
A int32 array, C callable. Operation 0: no library call.
"""

FUNCTIONS = [
    ("login", 13, "ssssb"),
    ("unsubscribe", 48, "ss"),
    ("is_subscribe", 0, "s"),
    ("get_investor_derivatives_account_info", 14, "ds"),
    ("get_investor_derivatives_order", 15, "dsi"),
    ("get_investor_derivatives_orders", 16, "ds"),
    ("place_investor_derivatives_order", 38, "dssfisssssssfb"),
    ("cancel_investor_derivatives_orders", 2, "dsAs"),
    ("cancel_investor_derivatives_order", 1, "dsis"),
    ("change_investor_derivatives_order", 9, "dsifisss"),
    ("get_investor_derivatives_portfolios", 17, "ds"),
    ("get_investor_derivatives_trades", 18, "ds"),
    ("get_investor_equity_account_info", 19, "ds"),
    ("get_investor_equity_order", 20, "dss"),
    ("get_investor_equity_orders", 21, "ds"),
    ("place_investor_equity_order", 39, "dssfissssssbib"),
    ("cancel_investor_equity_orders", 4, "dsLs"),
    ("cancel_investor_equity_order", 3, "dsss"),
    ("change_investor_equity_order", 10, "dssfissisb"),
    ("get_investor_equity_portfolios", 22, "ds"),
    ("get_investor_equity_trades", 23, "ds"),
    ("get_marketrep_derivatives_account_info", 24, "ds"),
    ("get_marketrep_derivatives_order", 25, "di"),
    ("get_marketrep_derivatives_orders", 26, "d"),
    ("get_marketrep_derivatives_orders_by_account_no", 27, "ds"),
    ("place_marketrep_derivatives_order", 40, "dssfissssssfb"),
    ("cancel_marketrep_derivatives_orders", 6, "dsA"),
    ("cancel_marketrep_derivatives_order", 5, "dsi"),
    ("change_marketrep_derivatives_order", 11, "dsisfiss"),
    ("get_marketrep_derivatives_portfolios", 28, "ds"),
    ("get_marketrep_derivatives_trades", 29, "ds"),
    ("place_marketrep_derivatives_trade_report", 41, "dssfissss"),
    ("get_marketrep_equity_account_info", 30, "ds"),
    ("get_marketrep_equity_order", 31, "ds"),
    ("get_marketrep_equity_orders", 32, "d"),
    ("get_marketrep_equity_orders_by_account_no", 33, "ds"),
    ("place_marketrep_equity_order", 42, "dssfisssssbib"),
    ("cancel_marketrep_equity_orders", 8, "dsL"),
    ("cancel_marketrep_equity_order", 7, "dss"),
    ("change_marketrep_equity_order", 12, "dsssfiissbb"),
    ("get_marketrep_equity_portfolios", 34, "ds"),
    ("get_marketrep_equity_trades", 35, "ds"),
    ("subscribe_bid_offer", 43, "dsC"),
    ("subscribe_price_info", 47, "dsC"),
    ("subscribe_candlestick", 44, "dssC"),
    ("subscribe_derivatives_order", 45, "dsC"),
    ("subscribe_equity_order", 46, "dsC"),
    ("get_candlesticks", 37, "dssibss"),
]

BY_NAME = {name: (op, kinds) for name, op, kinds in FUNCTIONS}

# Result image size of each operation.
RESULT_SIZE = {
    13: 72,
    14: 88,
    24: 88,
    19: 368,
    30: 368,
    15: 208,
    25: 208,
    20: 256,
    31: 256,
    37: 176,
    38: 32,
    39: 32,
    40: 32,
    42: 32,
    43: 24,
    44: 24,
    45: 24,
    46: 24,
    47: 24,
    48: 24,
}
for _op in (1, 3, 5, 7, 9, 10, 11, 12):
    RESULT_SIZE[_op] = 24
for _op in (2, 4, 6, 8, 16, 17, 18, 21, 22, 23, 26, 27, 28, 29, 32, 33, 34, 35, 41):
    RESULT_SIZE[_op] = 48

# Size of one item of each list result.
ITEM_SIZE = {
    **{op: 184 for op in (16, 26, 27)},
    **{op: 232 for op in (21, 32, 33)},
    **{op: 312 for op in (17, 28)},
    **{op: 160 for op in (22, 34)},
    **{op: 192 for op in (18, 29)},
    **{op: 128 for op in (23, 35)},
    **{op: 32 for op in (2, 6)},
    **{op: 40 for op in (4, 8)},
    41: 4,
}


def result_image(op, path):
    """A result of operation `op` that succeeds ("success", with two items
    for lists), is refused ("refusal") or reports an internal error
    ("internal"). Texts are all present."""
    from tavrolix_sandbox import Layout

    size = RESULT_SIZE[op]
    img = Layout(size)
    ok = path == "success"
    if op in (43, 44, 45, 46, 47):  # subscription: success, handle, error text
        return img.u8(0, 1).u64(8, 7) if ok else img.text(16, b"refused")
    if op == 48:  # unsubscribe: cache flag, cache key, internal error
        return img.u8(0, 1).text(8, b"bidofferv1,X") if path != "internal" else img.text(16, b"boom")
    if op in ITEM_SIZE:
        success_at, message_at = 24, 32
        img.pointer(0, Layout(2 * ITEM_SIZE[op])).i64(8, 2)
    elif op == 37:
        success_at, message_at = 144, 160
    elif op == 13:
        success_at, message_at = 0, 56
        img.text(16, b"CH-1")
    else:
        success_at, message_at = 0, size - 16 if size in (88, 368, 208, 256) else {24: 8, 32: 16}[size]
    img.u8(success_at, 1 if ok else 0).text(message_at, b"message")
    if path == "internal":
        img.text(message_at + 8, b"boom")
    return img
