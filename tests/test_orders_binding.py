"""How the order functions take their Python arguments."""

import os
import subprocess
import sys

import pytest
import tavrolix_open_api as tv
from wire_orders import FUNCTIONS, plain_args

NAMES = sorted(FUNCTIONS)
SIGNATURE_TYPE = {
    "s": "str",
    "i": "int",
    "f": "float",
    "b": "bool",
    "A": "numpy.ndarray[numpy.int32]",
    "L": "List[str]",
}


def positions(type_letter):
    return [(name, i) for name in NAMES for i, t in enumerate(FUNCTIONS[name][1]) if t == type_letter]


def refused(ctx, scripted, name, index, value):
    op, types, _, _ = FUNCTIONS[name]
    args = plain_args(types)
    args[index] = value
    before = scripted.call_count(op)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        getattr(tv, name)(ctx, *args)
    assert scripted.call_count(op) == before


@pytest.mark.parametrize("value", [1.5, 2.0, 2**31, -(2**31) - 1, "1", None])
@pytest.mark.parametrize("name, index", positions("i"))
def test_int_parameter_refuses(ctx, scripted, name, index, value):
    refused(ctx, scripted, name, index, value)


@pytest.mark.parametrize("value", ["yes", [True]])
@pytest.mark.parametrize("name, index", positions("b"))
def test_bool_parameter_refuses(ctx, scripted, name, index, value):
    refused(ctx, scripted, name, index, value)


@pytest.mark.parametrize("name", NAMES)
def test_keyword_arguments_are_refused(ctx, scripted, name):
    op, types, _, _ = FUNCTIONS[name]
    args = [ctx] + plain_args(types)
    before = scripted.call_count(op)
    with pytest.raises(TypeError):
        getattr(tv, name)(*args[:-1], **{"arg%d" % (len(args) - 1): args[-1]})
    assert scripted.call_count(op) == before


@pytest.mark.parametrize("name", NAMES)
def test_doc_is_the_signature_line(name):
    types = ["dict"] + [SIGNATURE_TYPE[t] for t in FUNCTIONS[name][1]]
    params = ", ".join("arg%d: %s" % (i, t) for i, t in enumerate(types))
    assert getattr(tv, name).__doc__ == "%s(%s) -> dict\n" % (name, params)


def test_numpy_is_imported_only_to_convert_an_array():
    script = "\n".join(
        [
            "import sys, tavrolix_open_api as tv",
            "assert 'numpy' not in sys.modules, 'on import'",
            "ctx = {'channel_id': 'c', 'configuration': {'enable_queue': 0, 'daemon_type': 'd',",
            "       'max_torelation': 0, 'rate_limit': 0}}",
            "tv.cancel_marketrep_equity_orders(ctx, 'A', ['1'])",
            "tv.cancel_marketrep_derivatives_order(ctx, 'A', 1)",
            "assert 'numpy' not in sys.modules, 'without an array'",
            "tv.cancel_marketrep_derivatives_orders(ctx, 'A', [1])",
            "assert 'numpy' in sys.modules, 'after an array'",
        ]
    )
    done = subprocess.run([sys.executable, "-c", script], env=dict(os.environ), capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def test_registered_in_table_order():
    table = [n for n in vars(tv) if n in FUNCTIONS]
    assert table == [
        "get_investor_derivatives_order",
        "get_investor_derivatives_orders",
        "place_investor_derivatives_order",
        "cancel_investor_derivatives_orders",
        "cancel_investor_derivatives_order",
        "change_investor_derivatives_order",
        "get_investor_equity_order",
        "get_investor_equity_orders",
        "place_investor_equity_order",
        "cancel_investor_equity_orders",
        "cancel_investor_equity_order",
        "change_investor_equity_order",
        "get_marketrep_derivatives_order",
        "get_marketrep_derivatives_orders",
        "get_marketrep_derivatives_orders_by_account_no",
        "place_marketrep_derivatives_order",
        "cancel_marketrep_derivatives_orders",
        "cancel_marketrep_derivatives_order",
        "change_marketrep_derivatives_order",
        "place_marketrep_derivatives_trade_report",
        "get_marketrep_equity_order",
        "get_marketrep_equity_orders",
        "get_marketrep_equity_orders_by_account_no",
        "place_marketrep_equity_order",
        "cancel_marketrep_equity_orders",
        "cancel_marketrep_equity_order",
        "change_marketrep_equity_order",
    ]
