"""Every order function: the operation it calls, where each argument lands, and
the envelope it builds from each outcome."""

import pytest
import tavrolix_open_api as tv
from wire import config_of
from wire_orders import FIELD_KIND, FUNCTIONS, KINDS, field, plain_args, text_bytes

NAMES = sorted(FUNCTIONS)


def arguments(types, style):
    """Arguments 2 onward. distinct: every value its own; edge: empty strings,
    floats given as ints, 32-bit limits, the other truth value; none: None for
    every bool."""
    out = []
    for pos, t in enumerate(types, start=2):
        if t == "s":
            out.append("" if style == "edge" else "\u00e4%d" % pos)
        elif t == "i":
            out.append((2**31 - 1 if pos % 2 else -(2**31)) if style == "edge" else -(100000 + pos))
        elif t == "f":
            out.append(pos if style == "edge" else pos + 0.25)
        elif t == "b":
            out.append(None if style == "none" else (pos % 2 == 0) != (style == "edge"))
        elif t == "A":
            out.append([pos, -pos])
        else:
            out.append(["o%d" % pos, b"", "\u00e9"])
    return out


def expected(t, v):
    if t == "s":
        return v.encode()
    if t == "f":
        return float(v)
    if t == "b":
        return 1 if v else 0
    return v


@pytest.mark.parametrize("style", ["distinct", "edge", "none"])
@pytest.mark.parametrize("name", NAMES)
def test_arguments_reach_the_library_at_their_places(ctx, scripted, name, style):
    op, types, library_args, kind = FUNCTIONS[name]
    scripted.queue(op, KINDS[kind].image(1, 200, None, None))
    args = arguments(types, style)
    getattr(tv, name)(ctx, *args)

    call = scripted.last_call(op)
    assert [c.op for c in scripted.calls()] == [op]
    assert config_of(call)["channel_id"] == b"CH-1"
    seen, index = set(), 1
    for entry in library_args:
        if entry[0] == "record":
            _, size, fields = entry
            assert len(call.value(index)) == size
            for pos, offset in fields.items():
                t = types[pos - 2]
                assert field(call, index, offset, FIELD_KIND[t]) == expected(t, args[pos - 2]), (pos, offset)
                seen.add(pos)
            index += 1
            continue
        what, pos = entry
        v = args[pos - 2]
        seen.add(pos)
        if what == "text":
            assert call.value(index) == text_bytes(v)
        elif what == "i32":
            assert call.value(index) == v
        else:  # an order-number batch, then its count
            want = list(v) if what == "i32_array" else [text_bytes(s) for s in v]
            assert call.value(index) == want
            assert call.value(index + 1) == len(want)
            index += 1
        index += 1
    assert len(call.args) == index
    assert seen == set(range(2, len(types) + 2))


@pytest.mark.parametrize(
    "investor, marketrep, extra_pos, extra_at",
    [
        ("place_investor_derivatives_order", "place_marketrep_derivatives_order", 8, 8),
        ("place_investor_equity_order", "place_marketrep_equity_order", 7, 16),
    ],
)
def test_investor_placement_is_the_marketrep_one_with_one_more_text(
    ctx, scripted, investor, marketrep, extra_pos, extra_at
):
    iop, itypes, _, kind = FUNCTIONS[investor]
    mop, mtypes, (_, (_, _, mfields)), _ = FUNCTIONS[marketrep]
    args = arguments(itypes, "distinct")
    for op in (iop, mop):
        scripted.queue(op, KINDS[kind].image(1, 200, None, None))
    getattr(tv, investor)(ctx, *args)
    getattr(tv, marketrep)(ctx, *(args[: extra_pos - 2] + args[extra_pos - 1 :]))
    icall, mcall = scripted.last_call(iop), scripted.last_call(mop)
    assert icall.value(1) == mcall.value(1)
    assert field(icall, 2, extra_at, "text") == args[extra_pos - 2].encode()
    for offset, t in ((off, mtypes[pos - 2]) for pos, off in mfields.items()):
        shifted = offset + 8 if offset >= extra_at else offset
        assert field(mcall, 2, offset, FIELD_KIND[t]) == field(icall, 2, shifted, FIELD_KIND[t])


@pytest.mark.parametrize(
    "success, message", [(1, "word from the library \u00fc"), (0, "refused \u00fc"), (1, None), (0, None)]
)
@pytest.mark.parametrize("name", NAMES)
def test_envelope(ctx, scripted, name, success, message):
    op, types, _, kind = FUNCTIONS[name]
    k = KINDS[kind]
    scripted.queue(op, k.image(success, 201 if success else -409, message, None))
    env = getattr(tv, name)(ctx, *plain_args(types))

    assert list(env) == ["success", "status_code", "data", "message"]
    assert env["success"] is bool(success)
    assert env["status_code"] == (201 if success else -409)
    assert env["data"] == (k.data() if success else k.empty)
    assert type(env["data"]) is type(k.empty)
    if k.verdict:
        assert env["message"] == message
    else:  # the library's message only explains a refusal
        assert env["message"] == ("" if success or message is None else message)


@pytest.mark.parametrize("success", [1, 0])
@pytest.mark.parametrize("name", NAMES)
def test_internal_error_raises(ctx, scripted, name, success):
    op, types, _, kind = FUNCTIONS[name]
    scripted.queue(op, KINDS[kind].image(success, 200, "m", "lost the line \u00e5"))
    with pytest.raises(RuntimeError, match=r"^Internal Error: lost the line \u00e5$"):
        getattr(tv, name)(ctx, *plain_args(types))


@pytest.mark.parametrize("name", NAMES)
def test_broker_refuses_order_operations_of_unknown_channels(name):
    # The default mode: the broker knows no channel "CH-1".
    context = {
        "channel_id": "CH-1",
        "configuration": {"enable_queue": False, "daemon_type": "STAND_ALONE", "max_torelation": 0, "rate_limit": 0},
    }
    env = getattr(tv, name)(context, *plain_args(FUNCTIONS[name][1]))
    assert env["success"] is False
    assert env["status_code"] == 401
    assert "not logged in" in env["message"]


@pytest.mark.parametrize(
    "name, op, offset, kind",
    [("change_investor_derivatives_order", 9, 16, "f64"), ("change_marketrep_derivatives_order", 11, 0, "text")],
)
def test_argument_four_of_a_derivatives_change(ctx, scripted, name, op, offset, kind):
    args = plain_args(FUNCTIONS[name][1])
    args[2] = 4.5 if kind == "f64" else "fourth"
    scripted.queue(op, KINDS["status"].image(1, 200, None, None))
    getattr(tv, name)(ctx, *args)
    assert field(scripted.last_call(op), 3, offset, kind) == text_bytes(args[2])
