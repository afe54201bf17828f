"""Order records and order action error records as dictionaries."""
import pytest

import tavrolix_open_api as tv
from tavrolix_sandbox import Layout
from wire import record_list, single
from wire_orders import (DERIVATIVES_ACTION_ERROR, DERIVATIVES_ORDER, EQUITY_ACTION_ERROR, EQUITY_ORDER,
                         action_error_dict, lay, records, sample)

# name, operation, arguments after the context
SINGLE = [("get_investor_derivatives_order", 15, ("A-1", 5), DERIVATIVES_ORDER, 208),
          ("get_marketrep_derivatives_order", 25, (5,), DERIVATIVES_ORDER, 208),
          ("get_investor_equity_order", 20, ("A-1", "E5"), EQUITY_ORDER, 256),
          ("get_marketrep_equity_order", 31, ("E5",), EQUITY_ORDER, 256)]
LISTS = [("get_investor_derivatives_orders", 16, ("A-1",), DERIVATIVES_ORDER),
         ("get_marketrep_derivatives_orders", 26, (), DERIVATIVES_ORDER),
         ("get_marketrep_derivatives_orders_by_account_no", 27, ("A-1",), DERIVATIVES_ORDER),
         ("get_investor_equity_orders", 21, ("A-1",), EQUITY_ORDER),
         ("get_marketrep_equity_orders", 32, (), EQUITY_ORDER),
         ("get_marketrep_equity_orders_by_account_no", 33, ("A-1",), EQUITY_ORDER),
         ("cancel_marketrep_derivatives_orders", 6, ("A-1", [1]), DERIVATIVES_ACTION_ERROR),
         ("cancel_investor_derivatives_orders", 2, ("A-1", [1], ""), DERIVATIVES_ACTION_ERROR),
         ("cancel_marketrep_equity_orders", 8, ("A-1", ["1"]), EQUITY_ACTION_ERROR),
         ("cancel_investor_equity_orders", 4, ("A-1", ["1"], ""), EQUITY_ACTION_ERROR)]
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


@pytest.mark.parametrize("count", [0, -1, -2**40])
@pytest.mark.parametrize("name, op, args, fields", LISTS)
def test_no_records_for_count_zero_or_less(ctx, scripted, name, op, args, fields, count):
    # A live item pointer, so reading any record would show up.
    scripted.queue(op, record_list(records(fields, [sample(fields)]), count))
    env = getattr(tv, name)(ctx, *args)
    assert (env["success"], env["data"], env["message"]) == (True, [], "")


def test_order_keys_run_in_record_order(ctx, scripted):
    scripted.queue(15, single(208, lay(DERIVATIVES_ORDER, sample(DERIVATIVES_ORDER)), 192))
    scripted.queue(20, single(256, lay(EQUITY_ORDER, sample(EQUITY_ORDER)), 240))
    d = tv.get_investor_derivatives_order(ctx, "A", 1)["data"]
    e = tv.get_investor_equity_order(ctx, "A", "1")["data"]
    assert len(d) == 26 and list(d)[0] == "account_no" and list(d)[-1] == "version"
    assert len(e) == 34 and list(e)[:3] == ["can_cancel", "can_change_account", "account_no"]
    assert list(e)[-4:] == ["vol", "can_change_price_vol", "can_change_trustee_id", "trade_report"]
    assert isinstance(d["is_stop_order_not_activate"], str) and isinstance(e["order_no"], str)


@pytest.mark.parametrize("byte", [1, 0x7F, 0xFF])
def test_equity_flags_are_exact_bools(ctx, scripted, byte):
    flags = [off for _, off, kind in EQUITY_ORDER if kind == "flag"]
    for on in flags:
        img = lay(EQUITY_ORDER, dict(sample(EQUITY_ORDER), **{k: False for k, _, t in EQUITY_ORDER if t == "flag"}))
        img.u8(on, byte)
        scripted.queue(31, single(256, img, 240))
        data = tv.get_marketrep_equity_order(ctx, "E")["data"]
        got = {k: data[k] for k, off, t in EQUITY_ORDER if t == "flag"}
        assert got == {k: off == on for k, off, t in EQUITY_ORDER if t == "flag"}


@pytest.mark.parametrize("fields, op, name, args", [
    (DERIVATIVES_ACTION_ERROR, 6, "cancel_marketrep_derivatives_orders", ("A", [3])),
    (EQUITY_ACTION_ERROR, 4, "cancel_investor_equity_orders", ("A", ["3"], "x")),
])
def test_action_error_with_null_texts_keeps_nested_dict(ctx, scripted, fields, op, name, args):
    values = dict(sample(fields, texts=None), http_status_code=-500)
    if fields is DERIVATIVES_ACTION_ERROR:
        values["order_no"] = -3
    scripted.queue(op, record_list(records(fields, [values]), 1))
    (item,) = getattr(tv, name)(ctx, *args)["data"]
    assert list(item.items()) == [("error_response", {"code": None, "message": None}), ("http_status", None),
                                  ("http_status_code", -500), ("order_no", values["order_no"])]
    assert list(item["error_response"]) == ["code", "message"]


@pytest.mark.parametrize("name, op, args, size, at", [
    ("get_investor_equity_order", 20, ("A", "1"), 256, 8 + 88),
    ("get_marketrep_derivatives_order", 25, (1,), 208, 8 + 0),
])
def test_text_that_is_not_utf8_raises(ctx, scripted, name, op, args, size, at):
    scripted.queue(op, single(size, None, size - 16).text(at, b"\xff\xfe"))
    with pytest.raises(UnicodeDecodeError):
        getattr(tv, name)(ctx, *args)


def test_placement_order_numbers(ctx, scripted):
    from wire_orders import order_no_result
    scripted.queue(39, order_no_result(True, None))
    scripted.queue(42, order_no_result(True, ""))
    scripted.queue(38, order_no_result(False, -1))
    assert tv.place_investor_equity_order(ctx, *["x"] * 2, 1.0, 1, *["x"] * 6, True, 1, True)["data"] == \
        {"order_no": None}
    assert tv.place_marketrep_equity_order(ctx, *["x"] * 2, 1.0, 1, *["x"] * 5, True, 1, True)["data"] == \
        {"order_no": ""}
    env = tv.place_investor_derivatives_order(ctx, *["x"] * 2, 1.0, 1, *["x"] * 7, 1.0, True)
    assert type(env["data"]["order_no"]) is int and env["data"] == {"order_no": -1}


def test_trade_report_items_only_on_success(ctx, scripted):
    ints = Layout.of("i", [1, -2])
    scripted.queue(41, record_list(ints, 2, success=0, message="no"))
    scripted.queue(41, record_list(ints, 0))
    args = ("a", "b", 1.0, 1, "c", "d", "e", "f")
    assert tv.place_marketrep_derivatives_trade_report(ctx, *args)["data"] == []
    assert tv.place_marketrep_derivatives_trade_report(ctx, *args)["data"] == []
