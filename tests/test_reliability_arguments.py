"""Hostile arguments: values that a cast would silently change, sequences that
lie or change while read, a context whose item access runs code, arguments
mutated during the call."""

import warnings

import numpy as np
import pytest
import tavrolix_open_api as tv
from catalog import FUNCTIONS, result_image
from wire import config_of, login_image, record_list

DERIVATIVES = [("cancel_investor_derivatives_orders", 2, ("note",)), ("cancel_marketrep_derivatives_orders", 6, ())]
EQUITY = [("cancel_investor_equity_orders", 4, ("note",)), ("cancel_marketrep_equity_orders", 8, ())]

EXACT = [  # (argument, what the library receives)
    (np.array([7, -(2**31), 2**31 - 1], dtype=np.int64), [7, -(2**31), 2**31 - 1]),
    (np.array([0, 2**31 - 1], dtype=np.uint64), [0, 2**31 - 1]),
    (np.array([3.0, -0.0, -(2.0**31)], dtype=np.float32), [3, 0, -(2**31)]),
    (np.array([5.0], dtype=np.longdouble), [5]),
    (np.array([True, False]), [1, 0]),
    (np.array([1, 2], dtype=">i4"), [1, 2]),
    ([True, 2.0, np.int16(-3), 2**31 - 1], [1, 2, -3, 2**31 - 1]),
    (np.array([4, 5.0], dtype=object), [4, 5]),
]
INEXACT = [  # (argument, index named, value shown)
    (np.array([1, 2**32 + 1], dtype=np.int64), "1", "4294967297"),
    (np.array([2**63 + 1], dtype=np.uint64), "0", "9223372036854775809"),
    ([1.0, 2.9], "1", "2.9"),
    ([float("nan")], "0", "nan"),
    ([float("inf")], "0", "inf"),
    (np.array([2.0**31]), "0", "2147483648.0"),
    (np.array([[1, 2], [3, -(2**31) - 1]]), "(1, 1)", "-2147483649"),
    ([1, 2**70], "1", str(2**70)),
    (np.array([1, 2.5], dtype=object), "1", "2.5"),
    (np.array([1 + 0j]), "0", "(1+0j)"),
    (["7"], "0", "'7'"),
]


@pytest.mark.parametrize("name, op, extra", DERIVATIVES)
def test_batch_numbers_must_be_exact_32_bit_integers(ctx, scripted, name, op, extra):
    for given, items in EXACT:
        scripted.queue(op, record_list(None, 0))
        getattr(tv, name)(ctx, "A-1", given, *extra)
        assert scripted.last_call(op).value(2) == items, given
    before = scripted.call_count(op)
    for given, index, shown in INEXACT:
        with pytest.raises(ValueError) as refused:
            getattr(tv, name)(ctx, "A-1", given, *extra)
        assert str(refused.value) == f"order number at index {index} is not a 32-bit integer: {shown}", given
    assert scripted.call_count(op) == before


class Changing(dict):
    """A context whose item access changes `victim` first."""

    def __init__(self, data, victim, change):
        super().__init__(data)
        self.victim, self.change = victim, change

    def __getitem__(self, key):
        if key == "channel_id":
            self.change(self.victim)
        return super().__getitem__(key)


def resize(a):
    a.resize(1 << 16, refcheck=False)  # new memory; the old block is freed
    a[:] = 77


def retype(a):
    with warnings.catch_warnings():  # deprecated from NumPy 2.5, and still done to us
        warnings.simplefilter("ignore", DeprecationWarning)
        a.dtype = np.int64  # the same bytes, read as half as many int64


@pytest.mark.parametrize("name, op, extra", DERIVATIVES)
def test_array_changed_by_the_context_is_read_after_the_change(ctx, scripted, name, op, extra):
    for given, change, items in (([1, 2, 3], resize, [77] * (1 << 16)), ([5, 0, 2**31 - 1, 0], retype, [5, 2**31 - 1])):
        context = Changing(ctx, np.array(given, dtype=np.int32), change)
        scripted.queue(op, record_list(None, 0))
        getattr(tv, name)(context, "A-1", context.victim, *extra)
        call = scripted.last_call(op)
        assert call.value(2) == items
        assert call.value(3) == len(items)
    context = Changing(ctx, np.array([5, 1], dtype=np.int32), retype)  # now 2**32 + 5
    with pytest.raises(ValueError, match="index 0 is not a 32-bit integer: 4294967301"):
        getattr(tv, name)(context, "A-1", context.victim, *extra)


def sequence(base, **methods):
    return type("Hostile", (base,), methods)


LYING = sequence(list, __len__=lambda self: 2**62)
FAILING = sequence(list, __getitem__=lambda self, i: 1 / 0)
SHRINKING = sequence(list, __getitem__=lambda self, i: (list.__getitem__(self, i), self.clear())[0])
GROWING = sequence(list, __getitem__=lambda self, i: (self.append("extra"), list.__getitem__(self, i))[1])
NEGATIVE = sequence(object, __len__=lambda self: -1, __getitem__=lambda self, i: "x")
# A str subclass: its own bytes, not whatever str() or encode() would say.
SHIFTY = sequence(str, __str__=lambda self: 1 / 0, encode=lambda self, *a: 1 / 0)


@pytest.mark.parametrize("name, op, extra", EQUITY)
def test_hostile_sequences_of_order_numbers_do_not_match(ctx, scripted, name, op, extra):
    before = scripted.call_count(op)
    for bad in (
        LYING(["E1"]),
        FAILING(["E1"]),
        SHRINKING(["E1", "E2"]),
        NEGATIVE(),
        ["E1", 2],
        ["\ud800"],
        "E1",
        b"E1",
    ):
        with pytest.raises(TypeError, match=r"incompatible function arguments.*\n.*arg2: List\[str\]"):
            getattr(tv, name)(ctx, "A-1", bad, *extra)
    assert scripted.call_count(op) == before
    # Read up to the length taken first; the items' own bytes, however they
    # were made.
    for given, items in ((GROWING(["E1", "E2"]), [b"E1", b"E2"]), ([SHIFTY("E3"), bytearray(b"E4")], [b"E3", b"E4"])):
        scripted.queue(op, record_list(None, 0))
        getattr(tv, name)(ctx, "A-1", given, *extra)
        assert scripted.last_call(op).value(2) == items


class Recording(dict):
    def __init__(self, data, log):
        super().__init__(data)
        self.log = log

    def __getitem__(self, key):
        self.log.append(key)
        return super().__getitem__(key)


def test_configuration_is_fetched_again_for_every_lookup(ctx, scripted):
    outer, inner = [], []
    conf = Recording(ctx["configuration"], inner)
    context = Recording({"channel_id": "CH-1", "configuration": conf}, outer)
    scripted.queue(19, result_image(19, "refusal"))
    tv.get_investor_equity_account_info(context, "A-1")
    assert outer == ["configuration", "configuration", "configuration", "channel_id", "configuration"]
    assert inner == ["enable_queue", "max_torelation", "rate_limit", "daemon_type"]


@pytest.mark.parametrize("exact_outer", [True, False])
def test_a_configuration_replaced_between_lookups_is_seen(ctx, scripted, exact_outer):
    later = {"enable_queue": False, "daemon_type": "LATER", "max_torelation": 9, "rate_limit": 0}
    context = {"channel_id": "CH-1"} if exact_outer else Recording({"channel_id": "CH-1"}, [])

    class Replacing:  # a value whose conversion replaces the configuration
        def __index__(self):
            context["configuration"] = later
            return 0

    first = {"enable_queue": True, "daemon_type": "FIRST", "max_torelation": Replacing(), "rate_limit": 0}
    context["configuration"] = first
    scripted.queue(19, result_image(19, "refusal"))
    tv.get_investor_equity_account_info(context, "A-1")
    cfg = config_of(scripted.last_call(19))
    # enable_queue and max_torelation from the first, the rest from the second
    assert (cfg["enable_queue"], cfg["max_torelation"], cfg["daemon_type"]) == (1, 0, b"LATER")


class Endless:
    """A sequence of valid texts whose length is beyond any batch; counts what is read."""

    def __init__(self, length):
        self.length, self.read = length, 0

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        self.read += 1
        if self.read > 1000:  # an unfixed module would go on until memory runs out
            raise IndexError(i)
        return "E1"


@pytest.mark.parametrize("name, op, extra", EQUITY)
def test_a_length_beyond_the_librarys_count_is_refused_before_any_item_is_read(ctx, scripted, name, op, extra):
    before = scripted.call_count(op)
    for length in (2**62, 2**31):
        seq = Endless(length)
        with pytest.raises(TypeError, match=r"incompatible function arguments.*\n.*arg2: List\[str\]"):
            getattr(tv, name)(ctx, "A-1", seq, *extra)
        assert seq.read == 0, length
    says_five = sequence(list, __len__=lambda self: 5)(["E1", "E2"])
    with pytest.raises(TypeError, match="incompatible function arguments"):
        getattr(tv, name)(ctx, "A-1", says_five, *extra)
    assert scripted.call_count(op) == before


SAMPLE = {"s": "acct", "i": 1, "f": 1.5, "b": True, "L": ["E1", "E2"], "A": np.array([1], np.int32)}


def test_a_text_holding_a_nul_is_refused_naming_it_before_the_library_is_called(ctx, scripted):
    got = []
    for name, op, kinds in FUNCTIONS:
        fn = getattr(tv, name)
        plain = [ctx if k == "d" else got.append if k == "C" else SAMPLE[k] for k in kinds]
        for i, k in enumerate(kinds):
            if k not in "sL":
                continue
            for text in ("acct\0tail", b"ac\0", "\0"):
                args = list(plain)
                args[i] = text if k == "s" else ["E1", text]
                before = scripted.call_count(op) if op else 0
                # Both roads into the function: the short one and pybind11's dispatcher.
                for call in (fn, lambda *a, fn=fn: type(fn).__call__(fn, *a)):
                    with pytest.raises(ValueError) as e:
                        call(*args)
                    said = str(e.value)
                    assert said.startswith("%s(): argument %d (arg%d)" % (name, i + 1, i)) and "NUL" in said, said
                    assert ("item 1" in said) == (k == "L"), said
                if op:
                    assert scripted.call_count(op) == before, (name, i)
    assert got == []
    # The secret is matched whole: the login with a NUL never reaches the library,
    # the one without passes every byte.
    with pytest.raises(ValueError, match=r"login\(\): argument 2 \(arg1\)"):
        tv.login("inv001", "inv001-secret\x00anything", "", "", False)
    scripted.queue(13, login_image(b"CH-2"))
    tv.login("inv001", "inv001-secret", "", "", False)
    assert scripted.last_call(13).value(2) == b"inv001-secret"
