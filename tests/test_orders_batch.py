"""Batch cancels: what the library receives as the order-number list."""

import tracemalloc

import numpy as np
import pytest
import tavrolix_open_api as tv
from wire import record_list

DERIVATIVES = [("cancel_investor_derivatives_orders", 2, ("note",)), ("cancel_marketrep_derivatives_orders", 6, ())]
EQUITY = [("cancel_investor_equity_orders", 4, ("note",)), ("cancel_marketrep_equity_orders", 8, ())]

GRID = np.arange(12, dtype=np.int32).reshape(3, 4) - 5
CONVERSIONS = [
    ("list", lambda: [5, -6, 2**31 - 1], [5, -6, 2**31 - 1]),
    ("single int", lambda: 9, [9]),
    ("int64 array", lambda: np.array([7, -8], dtype=np.int64), [7, -8]),
    ("float list", lambda: [1.0, 2.0], [1, 2]),
    ("2-d C order", lambda: GRID.copy(), GRID.ravel().tolist()),
    ("2-d Fortran order", lambda: np.asfortranarray(GRID), GRID.ravel().tolist()),
    ("strided view", lambda: np.arange(10, dtype=np.int32)[::3], [0, 3, 6, 9]),
    ("reversed view", lambda: np.arange(4, dtype=np.int32)[::-1], [3, 2, 1, 0]),
    ("column view", lambda: GRID[:, 1], GRID[:, 1].tolist()),
    ("empty list", lambda: [], []),
    ("empty array", lambda: np.zeros(0, dtype=np.int32), []),
]


@pytest.mark.parametrize("case, make, items", CONVERSIONS, ids=[c[0] for c in CONVERSIONS])
@pytest.mark.parametrize("name, op, extra", DERIVATIVES)
def test_derivatives_numbers_arrive_as_consecutive_int32(ctx, scripted, name, op, extra, case, make, items):
    scripted.queue(op, record_list(None, 0))
    arg = make()
    getattr(tv, name)(ctx, "A-1", arg, *extra)
    call = scripted.last_call(op)
    assert call.value(2) == items
    assert call.value(3) == len(items)
    if isinstance(arg, np.ndarray) and arg.dtype == np.int32 and not arg.flags.c_contiguous:
        assert call.ptr(2) != arg.ctypes.data  # a copy laid end to end


@pytest.mark.parametrize("writeable", [True, False])
@pytest.mark.parametrize("name, op, extra", DERIVATIVES)
def test_contiguous_int32_array_is_passed_in_place(ctx, scripted, name, op, extra, writeable):
    arr = np.array([11, -12, 13], dtype=np.int32)[1:]
    arr.flags.writeable = writeable
    scripted.queue(op, record_list(None, 0))
    getattr(tv, name)(ctx, "A-1", arr, *extra)
    call = scripted.last_call(op)
    assert call.ptr(2) == arr.ctypes.data
    assert call.value(2) == [-12, 13]


@pytest.mark.parametrize("name, op, extra", DERIVATIVES)
def test_batch_too_large_for_a_32_bit_count_is_refused(ctx, scripted, name, op, extra):
    huge = np.broadcast_to(np.int32(1), (2**31,))  # no memory behind it
    before = scripted.call_count(op)
    tracemalloc.start()  # NumPy's buffers are traced too
    try:
        with pytest.raises(ValueError, match="2147483648"):
            getattr(tv, name)(ctx, "A-1", huge, *extra)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert scripted.call_count(op) == before
    assert peak < 2**20  # refused before the view was made contiguous (8 GiB)


@pytest.mark.parametrize("bad", [None, "abc", [[1], [2, 3]], object()])
@pytest.mark.parametrize("name, op, extra", DERIVATIVES)
def test_derivatives_numbers_numpy_cannot_convert(ctx, scripted, name, op, extra, bad):
    before = scripted.call_count(op)
    with pytest.raises(TypeError):
        getattr(tv, name)(ctx, "A-1", bad, *extra)
    assert scripted.call_count(op) == before


@pytest.mark.parametrize(
    "given, items",
    [
        (["E1", b"E2", "\u00e9", ""], [b"E1", b"E2", "\u00e9".encode(), b""]),
        (("T1", "T2"), [b"T1", b"T2"]),
    ],
)
@pytest.mark.parametrize("name, op, extra", EQUITY)
def test_equity_numbers_arrive_as_text_pointers(ctx, scripted, name, op, extra, given, items):
    scripted.queue(op, record_list(None, 0))
    getattr(tv, name)(ctx, "A-1", given, *extra)
    call = scripted.last_call(op)
    assert call.value(2) == items
    assert call.value(3) == len(items)
    assert call.ptr(2) != 0


@pytest.mark.parametrize("name, op, extra", EQUITY)
def test_empty_equity_batch_is_a_null_address(ctx, scripted, name, op, extra):
    scripted.queue(op, record_list(None, 0))
    getattr(tv, name)(ctx, "A-1", [], *extra)
    call = scripted.last_call(op)
    assert (call.ptr(2), call.value(3)) == (0, 0)


@pytest.mark.parametrize("bad", ["E1", b"E1", [1, 2], ["E1", None]])
@pytest.mark.parametrize("name, op, extra", EQUITY)
def test_equity_numbers_must_be_a_sequence_of_strings(ctx, scripted, name, op, extra, bad):
    before = scripted.call_count(op)
    with pytest.raises(TypeError):
        getattr(tv, name)(ctx, "A-1", bad, *extra)
    assert scripted.call_count(op) == before
