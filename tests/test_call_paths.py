"""Two roads into each function: the usual call (positional arguments of the
plain built-in types take a shorter road) and the function type's own
__call__, which always goes through pybind11's dispatcher. Whatever the
arguments, both give the same result or the same error, and the library
receives the same arguments."""

import types

import numpy as np
import pytest
import tavrolix_open_api as tv
from catalog import FUNCTIONS, result_image

# Subscribe functions return clock-derived keys, so two calls never agree;
# they take a callable, which keeps them on the dispatcher road anyway.
CALLS = [(name, op, kinds) for name, op, kinds in FUNCTIONS if op and "C" not in kinds]


class Dict(dict):
    pass


class Str(str):
    pass


def context(**changes):
    conf = {"enable_queue": True, "daemon_type": "STAND_ALONE", "max_torelation": 0, "rate_limit": 0}
    conf.update(changes)
    return {"channel_id": "CH-1", "configuration": conf}


def plain(kinds):
    sample = {
        "d": context(),
        "s": "acct\u00e9",
        "i": -7,
        "f": 1.5,
        "b": True,
        "L": ["o-1", "o-2"],
        "A": np.array([1, 2, 3], dtype=np.int32),
        "C": lambda payload: None,
    }
    return [sample[k] for k in kinds]


def variants(kinds):
    """Argument lists around the plain one: every kind of departure once."""
    base = plain(kinds)
    yield "plain", base, {}
    for i, k in enumerate(kinds):
        others = {
            "d": [Dict(context()), {}, context(max_torelation=2.0), context(enable_queue="yes"), None, [1]],
            "s": [Str("acct"), b"acct", bytearray(b"acct"), "a\0b", "\ud800", 5, None],
            "i": [True, np.int32(3), 2**31, -(2**31) - 1, 2**31 - 1, 1.0, "1", None],
            "f": [2, True, np.float64(2.5), float("nan"), "1.0", None],
            "b": [1, 0, None, np.bool_(True), 2.0, "x"],
        }.get(k, [])
        for j, v in enumerate(others):
            args = list(base)
            args[i] = v
            yield "%d:%s:%d" % (i, k, j), args, {}
    yield "short", base[:-1], {}
    yield "long", base + [1], {}
    yield "keyword", base[:-1], {"arg%d" % (len(base) - 1): base[-1]}


def received(scripted, op):
    """The arguments the library received, less the addresses of records,
    arrays and array items, which live on the stack or for one call only
    (pooled texts keep theirs)."""

    def plain(a):
        out = {k: v for k, v in a.items() if not (k == "ptr" and a["kind"] != "text")}
        if a["kind"] == "text_array":
            out["items"] = [t if t is None else t["hex"] for t in a["items"]]
        return out

    return [[plain(a) for a in c.args] for c in scripted.calls(op)]


def outcome(fn, args, kwargs):
    try:
        return "ok", fn(*args, **kwargs)
    except Exception as e:  # the type and text are what is compared
        return type(e), str(e)


@pytest.mark.parametrize("name, op, kinds", CALLS)
def test_both_roads_agree(scripted, name, op, kinds):
    fn = getattr(tv, name)
    dispatch = type(fn).__call__
    for path in ("success", "refusal", "internal"):
        scripted.stand(op, result_image(op, path))
        for label, args, kwargs in variants(kinds):
            scripted.clear_calls()
            short = outcome(fn, args, kwargs)
            short_calls = received(scripted, op)
            scripted.clear_calls()
            usual = outcome(lambda *a, **k: dispatch(fn, *a, **k), args, kwargs)
            usual_calls = received(scripted, op)
            assert short == usual, (name, path, label)
            assert short_calls == usual_calls, (name, path, label)


def test_function_objects_are_unchanged():
    for name, _, _ in FUNCTIONS:
        fn = getattr(tv, name)
        assert type(fn) is types.BuiltinFunctionType
        assert fn.__name__ == name and fn.__module__ == "tavrolix_open_api"
        assert fn.__doc__.startswith(name + "(")


def test_calls_through_other_call_forms(scripted):
    scripted.stand(20, result_image(20, "refusal"))
    fn = tv.get_investor_equity_order
    expected = fn(context(), "A", "O")
    assert expected["success"] is False
    import functools

    assert functools.partial(fn, context())("A", "O") == expected
    assert fn(*(context(), "A", "O")) == expected
    assert list(map(fn, [context()], ["A"], ["O"])) == [expected]
