"""Texts handed to the library are pooled: same bytes, same stable pointer."""

import tavrolix_open_api as tv
from wire import single

OP = 14


def test_repeated_calls_reuse_the_same_texts(scripted, ctx):
    scripted.stand(OP, single(88, None, 72, success=0, message=b"refused"))
    fn = tv.get_investor_derivatives_account_info
    fn(ctx, "D-1")
    first = scripted.last_call(OP)
    scripted.set_recording(False)
    try:
        for _ in range(100_000):
            fn(ctx, "D-1")
    finally:
        scripted.set_recording(True)
    fn(ctx, "D-1")
    last = scripted.last_call(OP)
    assert last.ptr(1) == first.ptr(1)
    assert last.arg(0)["texts"] == first.arg(0)["texts"]  # channel and daemon type: same pointers


def test_pool_keys_on_the_bytes(scripted, ctx):
    scripted.stand(OP, single(88, None, 72, success=0, message=b"refused"))
    fn = tv.get_investor_derivatives_account_info
    ptrs = []
    for arg in ("D-1", b"D-1", "D-2", ""):
        fn(ctx, arg)
        ptrs.append(scripted.last_call(OP).ptr(1))
    assert ptrs[0] == ptrs[1]
    assert len({ptrs[0], ptrs[2], ptrs[3]}) == 3
    assert scripted.last_call(OP).value(1) == b""
