"""Record lists whose texts repeat: one str may stand for every occurrence of
the same text within a result, and every record's dictionary is an ordinary,
independent dict. None of this may change a value, a type, a key order or an
error."""

import gc
import sys

import pytest
import tavrolix_open_api as tv
from wire import record_list
from wire_orders import EQUITY_ACTION_ERROR, EQUITY_ORDER, action_error_dict, records, sample

OP = 21  # get_investor_equity_orders
N = 300


def orders(texts_of):
    """N equity orders; texts_of(i, key) gives record i's text for `key`
    (None for a null pointer); other values from sample()."""
    values = []
    for i in range(N):
        v = sample(EQUITY_ORDER, i)
        for key, _, kind in EQUITY_ORDER:
            if kind == "text":
                v[key] = texts_of(i, key)
        values.append(v)
    return values


def query(ctx, scripted, values):
    scripted.queue(OP, record_list(records(EQUITY_ORDER, values), len(values)))
    return tv.get_investor_equity_orders(ctx, "A-1")["data"]


def typed(d):
    return [(k, type(v), v) for k, v in d.items()]


def test_repeating_texts_keep_their_values(ctx, scripted):
    sides, symbols = ["B", "S"], ["SYM%d" % i for i in range(7)] + ["\u0e01\u0e02\u0e03", "caf\u00e9-long-name"]

    def texts(i, key):
        if key == "side":
            return sides[i % 2]
        if key == "symbol":
            return symbols[i % len(symbols)]
        if key == "order_no":
            return "EQ%08d" % i  # never repeats
        if key == "status":
            return None if i % 5 == 0 else "Open"  # None between repeats stays None
        return "%s-%d" % (key, i % 3)

    values = orders(texts)
    data = query(ctx, scripted, values)
    assert [typed(d) for d in data] == [typed(v) for v in values]
    assert [list(d) for d in data] == [[k for k, _, _ in EQUITY_ORDER]] * N


def test_texts_alike_at_both_ends_are_told_apart(ctx, scripted):
    # Same length, same first and last eight bytes: only the middle differs.
    middles = ["%03d" % m for m in range(150)]

    def texts(i, key):
        if key == "symbol":
            return "ABCDEFGH" + middles[(i * 7) % len(middles)] + "STUVWXYZ"
        if key == "account_no":
            return "A" * (1 + i % 20)  # prefixes of each other
        if key == "side":
            return ["ab", "ba", "abc", "acb"][i % 4]  # short texts
        return "x" * (i % 9)

    values = orders(texts)
    data = query(ctx, scripted, values)
    assert [typed(d) for d in data] == [typed(v) for v in values]


def test_many_distinct_texts_in_one_field(ctx, scripted):
    values = orders(lambda i, key: "%s/%d" % (key, (i * 37) % 211))
    assert [typed(d) for d in query(ctx, scripted, values)] == [typed(v) for v in values]


@pytest.mark.parametrize("bad_at", [1, 40, 150, N - 1])
@pytest.mark.parametrize("key", ["side", "order_no"])
def test_invalid_utf8_in_a_repeated_text_still_raises(ctx, scripted, bad_at, key):
    # "side" repeats (shared); "order_no" never repeats (sharing gives up on it).
    def texts(i, k):
        if k == key:
            if i == bad_at:
                return b"B\xff"
            return "B\u00e9" if key == "side" else "EQ%08d" % i
        return "T"

    values = orders(texts)
    with pytest.raises(UnicodeDecodeError):
        query(ctx, scripted, values)


def test_the_same_invalid_text_raises_on_every_call(ctx, scripted):
    values = orders(lambda i, key: b"\xc3(" if key == "symbol" and i >= 10 else "ok-%d" % (i % 2))
    for _ in range(3):
        with pytest.raises(UnicodeDecodeError):
            query(ctx, scripted, values)
    values = orders(lambda i, key: "ok-%d" % (i % 2))
    assert [typed(d) for d in query(ctx, scripted, values)] == [typed(v) for v in values]


def test_results_are_independent_ordinary_dicts(ctx, scripted):
    values = orders(lambda i, key: "%s-%d" % (key, i % 2))
    first = query(ctx, scripted, values)
    second = query(ctx, scripted, values)
    first[0]["side"] = "changed"
    del first[1]["symbol"]
    first[2]["extra"] = 1
    assert second == [dict(v) for v in values]
    assert first[3] == values[3] and first[0]["symbol"] == values[0]["symbol"]
    assert list(first[2])[-1] == "extra" and "symbol" not in first[1]
    assert all(type(d) is dict for d in first)
    copied = dict(first[4])
    assert copied == first[4] and list(copied) == list(first[4])
    # Values are texts, numbers and flags only: no reason for the collector to track them.
    assert not any(gc.is_tracked(d) for d in second)


def test_dicts_holding_dicts_are_tracked(ctx, scripted):
    values = [sample(EQUITY_ACTION_ERROR, s) for s in range(5)]
    scripted.queue(8, record_list(records(EQUITY_ACTION_ERROR, values), 5))
    data = tv.cancel_marketrep_equity_orders(ctx, "A-1", ["1"])["data"]
    assert data == [action_error_dict(v) for v in values]
    assert all(gc.is_tracked(d) for d in data)
    # A cycle through such a dict is collected.
    data[0]["self"] = data[0]
    del data
    assert gc.collect() >= 1


def test_no_reference_left_on_keys_or_none(ctx, scripted):
    values = orders(lambda i, key: None if i % 2 else "%s-%d" % (key, i % 3))
    bad = orders(lambda i, k: b"\xff" if k == "symbol" and i == 7 else "t")
    key = next(iter(query(ctx, scripted, values)[0]))  # the interned key object
    for image in (values, values, bad):
        scripted.queue(OP, record_list(records(EQUITY_ORDER, image), len(image)))
    gc.collect()
    before = sys.getrefcount(key), sys.getrefcount(None)
    tv.get_investor_equity_orders(ctx, "A-1")
    tv.get_investor_equity_orders(ctx, "A-1")
    try:
        tv.get_investor_equity_orders(ctx, "A-1")
    except UnicodeDecodeError:
        pass
    else:
        raise AssertionError("no UnicodeDecodeError")
    gc.collect()
    assert (sys.getrefcount(key), sys.getrefcount(None)) == before
