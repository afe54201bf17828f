"""Order records and order action error records as dictionaries."""

import pytest
import tavrolix_open_api as tv
from tavrolix_sandbox import Layout
from wire import record_list, single
from wire_orders import (
    DERIVATIVES_ACTION_ERROR,
    DERIVATIVES_ORDER,
    EQUITY_ACTION_ERROR,
    EQUITY_ORDER,
    FUNCTIONS,
    action_error_dict,
    lay,
    order_no_result,
    plain_args,
    records,
    sample,
)

# name, operation, arguments after the context
SINGLE = [
    ("get_investor_derivatives_order", 15, ("A-1", 5), DERIVATIVES_ORDER, 208),
    ("get_marketrep_derivatives_order", 25, (5,), DERIVATIVES_ORDER, 208),
    ("get_investor_equity_order", 20, ("A-1", "E5"), EQUITY_ORDER, 256),
    ("get_marketrep_equity_order", 31, ("E5",), EQUITY_ORDER, 256),
]
LISTS = [
    ("get_investor_derivatives_orders", 16, ("A-1",), DERIVATIVES_ORDER),
    ("get_marketrep_derivatives_orders", 26, (), DERIVATIVES_ORDER),
    ("get_marketrep_derivatives_orders_by_account_no", 27, ("A-1",), DERIVATIVES_ORDER),
    ("get_investor_equity_orders", 21, ("A-1",), EQUITY_ORDER),
    ("get_marketrep_equity_orders", 32, (), EQUITY_ORDER),
    ("get_marketrep_equity_orders_by_account_no", 33, ("A-1",), EQUITY_ORDER),
    ("cancel_marketrep_derivatives_orders", 6, ("A-1", [1]), DERIVATIVES_ACTION_ERROR),
    ("cancel_investor_derivatives_orders", 2, ("A-1", [1], ""), DERIVATIVES_ACTION_ERROR),
    ("cancel_marketrep_equity_orders", 8, ("A-1", ["1"]), EQUITY_ACTION_ERROR),
    ("cancel_investor_equity_orders", 4, ("A-1", ["1"], ""), EQUITY_ACTION_ERROR),
]
ERRORS = (DERIVATIVES_ACTION_ERROR, EQUITY_ACTION_ERROR)


def as_dict(fields, values):
    return action_error_dict(values) if fields in ERRORS else values


def typed(d):
    return [(k, type(v), v) for k, v in d.items()]


@pytest.mark.parametrize("texts", ["distinct", None, ""])
@pytest.mark.parametrize("name, op, args, fields, size", SINGLE)
def test_single_order_every_key(ctx, scripted, name, op, args, fields, size, texts):
    values = sample(fields, 4, texts)
    scripted.queue(op, single(size, lay(fields, values), size - 16, message="ignored"))
    data = getattr(tv, name)(ctx, *args)["data"]
    assert typed(data) == typed(values)  # keys in order, each value with its type


@pytest.mark.parametrize("texts", ["distinct", None, ""])
@pytest.mark.parametrize("name, op, args, fields", LISTS)
def test_records_in_library_order(ctx, scripted, name, op, args, fields, texts):
    values = [sample(fields, seed, texts) for seed in (7, 8, 9)]
    scripted.queue(op, record_list(records(fields, values), 3, message="ignored"))
    env = getattr(tv, name)(ctx, *args)
    assert [typed(d) for d in env["data"]] == [typed(as_dict(fields, v)) for v in values]
    assert env["message"] == ""


@pytest.mark.parametrize("count", [0, -1, -(2**40)])
@pytest.mark.parametrize("name, op, args, fields", LISTS)
def test_no_records_for_count_zero_or_less(ctx, scripted, name, op, args, fields, count):
    # A live item pointer, so reading any record would show up.
    scripted.queue(op, record_list(records(fields, [sample(fields)]), count))
    env = getattr(tv, name)(ctx, *args)
    assert (env["success"], env["data"], env["message"]) == (True, [], "")


@pytest.mark.parametrize("byte", [1, 0x7F, 0xFF])
def test_equity_flags_are_exact_bools(ctx, scripted, byte):
    for on in [off for _, off, kind in EQUITY_ORDER if kind == "flag"]:
        img = lay(EQUITY_ORDER, dict(sample(EQUITY_ORDER), **{k: False for k, _, t in EQUITY_ORDER if t == "flag"}))
        img.u8(on, byte)
        scripted.queue(31, single(256, img, 240))
        data = tv.get_marketrep_equity_order(ctx, "E")["data"]
        got = {k: data[k] for k, off, t in EQUITY_ORDER if t == "flag"}
        assert got == {k: off == on for k, off, t in EQUITY_ORDER if t == "flag"}


@pytest.mark.parametrize(
    "fields, op, name, args",
    [
        (DERIVATIVES_ACTION_ERROR, 6, "cancel_marketrep_derivatives_orders", ("A", [3])),
        (EQUITY_ACTION_ERROR, 4, "cancel_investor_equity_orders", ("A", ["3"], "x")),
    ],
)
def test_action_error_with_null_texts_keeps_nested_dict(ctx, scripted, fields, op, name, args):
    values = dict(sample(fields, texts=None), http_status_code=-500)
    if fields is DERIVATIVES_ACTION_ERROR:
        values["order_no"] = -3
    scripted.queue(op, record_list(records(fields, [values]), 1))
    (item,) = getattr(tv, name)(ctx, *args)["data"]
    assert list(item.items()) == [
        ("error_response", {"code": None, "message": None}),
        ("http_status", None),
        ("http_status_code", -500),
        ("order_no", values["order_no"]),
    ]
    assert list(item["error_response"]) == ["code", "message"]


@pytest.mark.parametrize(
    "name, op, value",
    [
        ("place_investor_equity_order", 39, None),
        ("place_marketrep_equity_order", 42, ""),
        ("place_marketrep_derivatives_order", 40, -1),
    ],
)
def test_placement_order_number(ctx, scripted, name, op, value):
    scripted.queue(op, order_no_result(isinstance(value, (str, type(None))), value))
    data = getattr(tv, name)(ctx, *plain_args(FUNCTIONS[name][1]))["data"]
    assert list(data.items()) == [("order_no", value)] and type(data["order_no"]) is type(value)


@pytest.mark.parametrize("count", [0, -3])
def test_trade_report_without_items(ctx, scripted, count):
    scripted.queue(41, record_list(Layout.of("i", [1, -2]), count))
    env = tv.place_marketrep_derivatives_trade_report(ctx, "a", "b", 1.0, 1, "c", "d", "e", "f")
    assert (env["success"], env["data"], env["message"]) == (True, [], None)
