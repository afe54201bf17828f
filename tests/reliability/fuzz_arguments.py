"""Random argument tuples for every function (run in a child process).

Every outcome must be a result or an exception of the documented kinds, and a
call whose arguments did not convert must not reach the library. Prints a JSON
summary on success; a crash shows as the child's exit status.
"""

import collections.abc
import json
import os
import sys

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from catalog import FUNCTIONS, RESULT_SIZE
from tavrolix_sandbox import Layout


class Hostile(Exception):
    pass


class BadIndex:
    def __index__(self):
        raise Hostile("__index__")

    def __int__(self):
        raise Hostile("__int__")


class BadBool:
    def __bool__(self):
        raise Hostile("__bool__")


class BadFloat:
    def __float__(self):
        raise Hostile("__float__")


class BadStr(str):
    def encode(self, *a, **k):
        raise Hostile("encode")


class Settings(collections.abc.Mapping):
    """A configuration mapping that may fail on lookup."""

    def __init__(self, d, fail):
        self.d, self.fail = d, fail

    def __getitem__(self, k):
        if k == self.fail:
            raise Hostile(k)
        return self.d[k]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)


class ContextSubclass(dict):
    pass


pieces = st.sampled_from(["", "a", "\0", "\ud800", "\udfff", "é", "€", "𝄞", "x" * 300, "CREDIT_BALANCE"])
texts = st.lists(pieces, max_size=5).map("".join) | st.text(max_size=20)
ints = st.integers(min_value=-(2**70), max_value=2**70) | st.sampled_from(
    [0, 1, -1, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1]
)
floats = st.floats(allow_nan=True, allow_infinity=True)
scalars = st.one_of(
    ints,
    floats,
    texts,
    st.binary(max_size=20),
    st.none(),
    st.booleans(),
    st.sampled_from(
        [
            BadIndex(),
            BadBool(),
            BadFloat(),
            BadStr("x"),
            np.bool_(True),
            np.int64(5),
            np.float32(2.5),
            object(),
            len,
            (lambda s: None),
        ]
    ),
)
arrays = st.one_of(
    st.lists(ints, max_size=6),
    st.lists(texts, max_size=4),
    st.lists(st.binary(max_size=5), max_size=4),
    st.tuples(texts, st.binary(max_size=3)),
    st.builds(lambda xs: np.array(xs, dtype=np.int64), st.lists(st.integers(-(2**40), 2**40), max_size=6)),
    st.builds(lambda xs: np.array(xs, dtype=np.int32)[::2], st.lists(st.integers(-(2**31), 2**31 - 1), max_size=8)),
    st.builds(lambda xs: np.array(xs, dtype=np.float64), st.lists(floats, max_size=4)),
    st.just(np.zeros((2, 3), dtype=np.int32).T),
    st.just(np.array([], dtype=np.int32)),
    st.just(np.array(["a", "b"])),
    st.just(np.array([object()], dtype=object)),
)


def base_context():
    return {
        "channel_id": "CH-1",
        "configuration": {"enable_queue": True, "daemon_type": "STAND_ALONE", "max_torelation": 0, "rate_limit": 0},
    }


@st.composite
def contexts(draw):
    ctx = base_context()
    conf = ctx["configuration"]
    if draw(st.integers(0, 3)) == 0:
        return ctx
    for key in draw(st.lists(st.sampled_from(list(conf) + ["channel_id", "configuration"]), max_size=2)):
        action = draw(st.sampled_from(["delete", "replace"]))
        holder = ctx if key in ("channel_id", "configuration") else conf
        if key not in holder:
            continue
        if action == "delete":
            del holder[key]
        else:
            holder[key] = draw(scalars)
    if "configuration" in ctx and isinstance(ctx["configuration"], dict):
        shape = draw(st.sampled_from(["dict", "mapping", "failing"]))
        if shape != "dict":
            fail = draw(st.sampled_from(list(conf) or ["x"])) if shape == "failing" else None
            ctx["configuration"] = Settings(ctx["configuration"], fail)
    return ContextSubclass(ctx) if draw(st.booleans()) else ctx


def args_for(kinds):
    # Mostly values of the right kind, so that many calls get as far as the library.
    good = {
        "d": contexts(),
        "s": texts | st.binary(max_size=8),
        "i": st.integers(-(2**31), 2**31 - 1),
        "f": floats | st.integers(-(2**53), 2**53),
        "b": st.booleans() | st.none() | ints | floats,
        "L": st.lists(texts | st.binary(max_size=5), max_size=4),
        "A": arrays,
        "C": st.sampled_from([None, print, (lambda s: None)]),
    }
    mixed = {k: st.one_of(v, v, v, v, scalars) for k, v in good.items()}
    right = st.tuples(*[good[k] for k in kinds])
    some_wrong = st.tuples(*[mixed[k] for k in kinds])
    other = st.lists(scalars | contexts(), max_size=len(kinds) + 2).map(tuple)
    return st.one_of(right, right, some_wrong, other)


# IndexError: item access on a numpy scalar standing in for `configuration` raises it, and
# errors of the caller's own objects pass through unchanged.
ALLOWED = (TypeError, ValueError, KeyError, IndexError, RuntimeError, Hostile)
summary = {"examples": 0, "converted": 0, "refused": 0, "raised": 0}


def check(name, op, args):
    fn = getattr(tv, name)
    before = sbx.call_count(op) if op else 0
    summary["examples"] += 1
    try:
        result = fn(*args)
    except ALLOWED as e:
        if isinstance(e, TypeError) and "incompatible function arguments" in str(e):
            summary["refused"] += 1
            if op:
                assert sbx.call_count(op) == before, (name, "library called although arguments did not convert")
        else:
            summary["raised"] += 1
        return
    summary["converted"] += 1
    assert isinstance(result, (dict, str, bool, type(None))), (name, type(result))
    if op:
        assert sbx.call_count(op) == before + 1, name


def fuzz(name, op, kinds, examples):
    @settings(
        max_examples=examples, deadline=None, derandomize=True, database=None, suppress_health_check=list(HealthCheck)
    )
    @given(args_for(kinds))
    def run(args):
        check(name, op, args)

    run()


def main(examples):
    sbx.use_scripted()
    sbx.set_recording(False)
    for op, size in RESULT_SIZE.items():
        # Refusals all round: every converted call gets an envelope or its documented error.
        sbx.stand(op, Layout(size))
    for name, op, kinds in FUNCTIONS:
        if hasattr(tv, name):
            fuzz(name, op, kinds, examples)
    print(json.dumps(summary))


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100)
