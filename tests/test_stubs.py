"""The installed type stub against the module: names, signatures, and the
dictionaries the functions really return from our library."""

import ast
import filecmp
import os
import re

import numpy
import pytest
import tavrolix_open_api as tv
from catalog import BY_NAME, FUNCTIONS, result_image
from stub_types import STUB_DIR, STUB_PACKAGE, STUB_PATH, Stub, split_top_level
from tavrolix_sandbox import Layout
from test_accounts import derivatives_result, equity_record
from wire import login_image, record_list, single, status_only
from wire_orders import FUNCTIONS as ORDER_FUNCTIONS
from wire_orders import KINDS
from wire_positions import (
    DERIVATIVES_POSITION,
    DERIVATIVES_TRADE,
    EQUITY_POSITION,
    EQUITY_TRADE,
    candlestick_image,
    record,
    sample,
)

STUB = Stub()
NAMES = [name for name, _, _ in FUNCTIONS]

# How pybind11 prints each parameter type, by the stub's spelling of it.
PYBIND_TYPE = {
    "Context": "dict",
    "str": "str",
    "int": "int",
    "float": "float",
    "bool": "bool",
    "List[str]": "List[str]",
    "OrderNumbers": "numpy.ndarray[numpy.int32]",
    "Callable[[str], None]": "Callable[[str], None]",
}
CATALOG_TYPE = {
    "d": "dict",
    "s": "str",
    "i": "int",
    "f": "float",
    "b": "bool",
    "L": "List[str]",
    "A": "numpy.ndarray[numpy.int32]",
    "C": "Callable[[str], None]",
}
ENVELOPES = ("Result", "ListResult", "Reply")


def stub_return(node):
    """The pybind11 result type the stub's return annotation stands for."""
    text = ast.unparse(node.returns)
    if text in ("str", "bool", "None"):
        return text
    if text == "Context" or text.split("[")[0] in ENVELOPES:
        return "dict"
    return "unknown: %s" % text


# ------------------------------------------------------------ installation
def test_stub_and_marker_are_installed_beside_the_module():
    assert os.path.isfile(os.path.join(STUB_DIR, "py.typed"))
    assert filecmp.cmp(STUB_PATH, STUB_PACKAGE, shallow=False)


def test_stub_declares_the_48_functions_in_registration_order():
    assert list(STUB.functions) == NAMES
    assert [k for k in vars(tv) if not k.startswith("__")] == NAMES


def test_only_texts_are_optional():
    # Null text pointers are the only source of None; a zeroed record cannot
    # show that an Optional number is too loose.
    wrapped = {
        ast.unparse(n.slice)
        for n in ast.walk(STUB.tree)
        if isinstance(n, ast.Subscript) and ast.unparse(n.value) == "Optional"
    }
    assert wrapped == {"str"}


def test_parameters_are_named():
    unnamed = {
        name: [a.arg for a in node.args.posonlyargs if re.fullmatch(r"(arg|a|p|x)_?\d*", a.arg)]
        for name, node in STUB.functions.items()
    }
    assert not {k: v for k, v in unnamed.items() if v}
    contexts = {
        name: node.args.posonlyargs[0].arg
        for name, node in STUB.functions.items()
        if ast.unparse(node.args.posonlyargs[0].annotation) == "Context"
    }
    assert set(contexts.values()) == {"context"} and len(contexts) == 45


# --------------------------------------------------------------- signatures
@pytest.mark.parametrize("name", NAMES)
def test_stub_signature_is_the_table_row(name):
    node = STUB.functions[name]
    args = node.args
    assert not (args.args or args.vararg or args.kwonlyargs or args.kwarg or args.defaults), (
        "%s: every parameter must be positional-only without a default" % name
    )
    types = [PYBIND_TYPE.get(ast.unparse(a.annotation), ast.unparse(a.annotation)) for a in args.posonlyargs]
    assert types == [CATALOG_TYPE[k] for k in BY_NAME[name][1]]


@pytest.mark.parametrize("name", NAMES)
def test_stub_signature_matches_the_pybind11_signature(name):
    fn = getattr(tv, name)
    line = fn.__doc__.strip().splitlines()[0]
    m = re.fullmatch(r"(\w+)\((.*)\) -> (.+)", line)
    assert m and m.group(1) == name, line
    runtime_types = [p.split(": ", 1)[1] for p in split_top_level(m.group(2))]
    node = STUB.functions[name]
    stub_types = [
        PYBIND_TYPE.get(ast.unparse(a.annotation), "unmapped " + ast.unparse(a.annotation))
        for a in node.args.posonlyargs
    ]
    assert stub_types == runtime_types
    assert stub_return(node) == m.group(3)


# ------------------------------------------------- values from our library
def plain_args(kinds, ctx):
    one = {
        "d": ctx,
        "s": "x",
        "i": 1,
        "f": 1.0,
        "b": True,
        "L": ["1"],
        "A": numpy.array([1], dtype=numpy.int32),
        "C": lambda payload: None,
    }
    return [one[k] for k in kinds]


def _positions(fields, size):
    return record_list(Layout.array([record(fields, size, sample(fields, s)) for s in (1, 2)]), 2)


ORDER_KIND = {BY_NAME[name][0]: kind for name, (_, _, _, kind) in ORDER_FUNCTIONS.items()}
FILLED = {
    14: [derivatives_result()],
    24: [derivatives_result()],
    **{
        op: [
            single(368, equity_record(), 352),
            single(368, equity_record(b"CASH"), 352),
            single(368, equity_record(None), 352),
        ]
        for op in (19, 30)
    },
    **{op: [_positions(DERIVATIVES_POSITION, 312)] for op in (17, 28)},
    **{op: [_positions(EQUITY_POSITION, 160)] for op in (22, 34)},
    **{op: [_positions(DERIVATIVES_TRADE, 192)] for op in (18, 29)},
    **{op: [_positions(EQUITY_TRADE, 128)] for op in (23, 35)},
    37: [
        candlestick_image(
            {
                "time": ([1, -2], None),
                "open": ([1.5], None),
                "high": ([2.5, 3.0], None),
                "low": ([], None),
                "close": ([0.25], None),
                "volume": ([7, -8, 9], None),
            },
            last_sequence=-5,
            message=b"ok",
        ),
        candlestick_image({}, message=None),
    ],
}


def images(op):
    """Result images for every shape a call of `op` can return: all texts
    present, all texts null (zeroed records), refused."""
    if op in ORDER_KIND:
        kind = KINDS[ORDER_KIND[op]]
        out = [kind.image(1, 200, None, None), kind.image(1, 200, b"done", None), kind.image(0, 409, b"no", None)]
    else:
        out = list(FILLED.get(op, []))
        if op not in (43, 44, 45, 46, 47, 48):
            out.append(result_image(op, "refusal"))
    if op not in (1, 3, 5, 7, 9, 10, 11, 12):  # verdicts: no record to zero
        out.append(result_image(op, "success"))
    else:
        out.append(status_only(0, 404, None))
    return out


@pytest.mark.parametrize("name", NAMES)
def test_results_from_our_library_fit_the_stub(scripted, ctx, name):
    fn = getattr(tv, name)
    op, kinds = BY_NAME[name]
    returns = STUB.functions[name].returns
    if op == 0:
        STUB.check(fn(*plain_args(kinds, ctx)), returns, name)
        return
    for image in [login_image(b"CH-9"), login_image(None)] if op == 13 else images(op):
        scripted.queue(op, image)
        result = fn(*plain_args(kinds, ctx))
        STUB.check(result, returns, name)
        if op in (43, 44, 45, 46, 47):
            scripted.queue(48, result_image(48, "success"))
            tv.unsubscribe("CH-1", result)


def test_the_check_catches_a_wrong_stub():
    # The checker itself: each of these is a fault a stub could have.
    cases = [
        ({"order_no": None}, "PlacedDerivativesOrder"),  # None where int
        ({"order_no": 1, "extra": 2}, "PlacedDerivativesOrder"),  # a key too many
        ({"code": None}, "ErrorResponse"),  # a key missing
        ({"message": None, "code": None}, "ErrorResponse"),  # keys out of order
        ({"order_no": 1.0}, "PlacedDerivativesOrder"),  # float where int
        ({"order_no": True}, "PlacedDerivativesOrder"),  # bool where int
    ]
    for value, cls in cases:
        with pytest.raises(AssertionError):
            STUB.check(value, ast.Name(id=cls), cls)
    refused = {"success": False, "status_code": 404, "data": {"cash_balance": 1.0}, "message": "x"}
    with pytest.raises(AssertionError):
        STUB.check(refused, STUB.functions["get_investor_derivatives_account_info"].returns)
    accepted = {"success": True, "status_code": 200, "data": {}, "message": ""}
    with pytest.raises(AssertionError):
        STUB.check(accepted, STUB.functions["get_investor_derivatives_account_info"].returns)


def test_broker_answers_fit_the_stub(broker_world):
    inv = tv.login("inv001", "inv001-secret", "", "", False)
    rep = tv.login("mkt001", "mkt001-secret", "", "", True)
    STUB.check(inv, STUB.functions["login"].returns, "login")
    # Read-only queries only: the broker's state is shared by the whole run.
    calls = [
        (name, ctx, args)
        for ctx, who in ((inv, "investor"), (rep, "marketrep"))
        for name, args in [
            ("get_%s_derivatives_account_info" % who, ["D-1001"]),
            ("get_%s_equity_account_info" % who, ["E-1001"]),
            ("get_%s_equity_account_info" % who, ["E-1002"]),
            ("get_%s_equity_account_info" % who, ["E-2001"]),
            ("get_%s_derivatives_portfolios" % who, ["D-1001"]),
            ("get_%s_equity_portfolios" % who, ["E-1001"]),
            ("get_%s_derivatives_trades" % who, ["D-1001"]),
            ("get_%s_equity_trades" % who, ["E-1001"]),
        ]
    ]
    calls += [
        ("get_investor_derivatives_orders", inv, ["D-1001"]),
        ("get_investor_equity_orders", inv, ["E-1001"]),
        ("get_investor_derivatives_order", inv, ["D-1001", 1]),
        ("get_investor_equity_order", inv, ["E-1001", "1"]),
        ("get_marketrep_derivatives_orders", rep, []),
        ("get_marketrep_equity_orders", rep, []),
        ("get_marketrep_derivatives_order", rep, [1]),
        ("get_marketrep_equity_order", rep, ["1"]),
        ("get_marketrep_derivatives_orders_by_account_no", rep, ["D-1001"]),
        ("get_marketrep_equity_orders_by_account_no", rep, ["E-1001"]),
        ("get_candlesticks", inv, ["ARVO", "1m", 5, False, "", ""]),
        ("get_candlesticks", inv, ["ARVO", "2d", 5, False, "", ""]),
    ]
    outcomes = set()
    for name, ctx, args in calls:
        result = getattr(tv, name)(ctx, *args)
        STUB.check(result, STUB.functions[name].returns, name)
        outcomes.add(result["success"])
    assert outcomes == {True, False}


def test_broker_order_actions_fit_the_stub(broker_world):
    pin = "000000"
    inv = tv.login("inv001", "inv001-secret", "", "", False)
    rep = tv.login("mkt001", "mkt001-secret", "", "", False)

    def call(name, ctx, *args, accepted=True):
        result = getattr(tv, name)(ctx, *args)
        STUB.check(result, STUB.functions[name].returns, name)
        assert result["success"] is accepted, (name, result)
        return result

    limit = ("LIMIT", "DAY")
    e_no = call(
        "place_investor_equity_order", inv, "E-1001", "ARVO", 40.0, 100, "BUY", pin, *limit, "", "", False, 0, False
    )["data"]["order_no"]
    d_no = call(
        "place_investor_derivatives_order",
        inv,
        "D-1001",
        "T50H26",
        970.0,
        1,
        "BUY",
        "OPEN",
        pin,
        *limit,
        "",
        "",
        0.0,
        False,
    )["data"]["order_no"]
    e_rep = call(
        "place_marketrep_equity_order", rep, "E-1001", "ARVO", 40.0, 100, "BUY", *limit, "", "", False, 0, False
    )["data"]["order_no"]
    d_rep = call(
        "place_marketrep_derivatives_order",
        rep,
        "D-1001",
        "T50H26",
        970.0,
        1,
        "BUY",
        "OPEN",
        *limit,
        "",
        "",
        0.0,
        False,
    )["data"]["order_no"]
    call(
        "place_investor_equity_order",
        inv,
        "E-1001",
        "NOPE",
        40.0,
        100,
        "BUY",
        pin,
        *limit,
        "",
        "",
        False,
        0,
        False,
        accepted=False,
    )
    call("get_investor_equity_order", inv, "E-1001", e_no)
    call("get_investor_derivatives_order", inv, "D-1001", d_no)
    call("get_marketrep_equity_order", rep, e_rep)
    call("get_marketrep_derivatives_order", rep, d_rep)
    call("get_investor_derivatives_order", inv, "D-1001", 1, accepted=False)
    call("change_investor_equity_order", inv, "E-1001", e_no, 40.5, 0, pin, "", 0, "", False)
    call("change_investor_derivatives_order", inv, "D-1001", d_no, 971.0, 0, pin, "", "")
    call("change_marketrep_equity_order", rep, "E-1001", e_rep, "", 40.25, 0, 0, "", "", False, False)
    call("change_marketrep_derivatives_order", rep, "D-1001", d_rep, "", 970.5, 0, "", "")
    call("change_marketrep_derivatives_order", rep, "D-1001", d_rep, "", 0.0, 0, "", "", accepted=False)
    call("cancel_investor_equity_order", inv, "E-1001", e_no, pin)
    call("cancel_investor_derivatives_order", inv, "D-1001", d_no, pin)
    call("cancel_marketrep_equity_order", rep, "E-1001", e_no, accepted=False)
    batches = [
        call("cancel_investor_equity_orders", inv, "E-1001", [e_no, "EQ99999999"], pin),
        call("cancel_investor_derivatives_orders", inv, "D-1001", numpy.array([d_no, 999], dtype=numpy.int32), pin),
        call("cancel_marketrep_equity_orders", rep, "E-1001", [e_rep, e_no]),
        call("cancel_marketrep_derivatives_orders", rep, "D-1001", [d_rep, d_no]),
    ]
    assert [len(b["data"]) for b in batches] == [2, 2, 1, 1]
    report = call(
        "place_marketrep_derivatives_trade_report", rep, "D-1001", "T50H26", 1000.0, 1, "BUY", "OPEN", "D-2001", "OPEN"
    )
    assert len(report["data"]) == 2
