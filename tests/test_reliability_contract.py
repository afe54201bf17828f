"""Results that break the library's contract, and library texts that are not
UTF-8: each raises a Python error that says what happened, never a crash or an
empty message."""

import pytest
import tavrolix_open_api as tv
from catalog import FUNCTIONS, ITEM_SIZE, result_image
from reliability.scenario import arguments
from wire import record_list
from wire_positions import CANDLE_COLUMNS, candlestick_image

LISTS = [(name, op, kinds) for name, op, kinds in FUNCTIONS if op in ITEM_SIZE]
SUBSCRIBE = [(name, op, kinds) for name, op, kinds in FUNCTIONS if name.startswith("subscribe_")]
INTERNAL = [(name, op, kinds) for name, op, kinds in FUNCTIONS if op and op not in (43, 44, 45, 46, 47)]


@pytest.mark.parametrize("name, op, kinds", LISTS + [("get_candlesticks", 37, column) for column in CANDLE_COLUMNS])
def test_a_count_without_items_is_an_internal_error(ctx, scripted, name, op, kinds):
    if op == 37:  # one column at a null address, the others sound
        columns = {c: ([1, 2], None) for c in CANDLE_COLUMNS}
        columns[kinds] = ([], 3)
        scripted.queue(op, candlestick_image(columns))
        kinds = "dssibss"
    else:
        scripted.queue(op, record_list(None, 3))
    with pytest.raises(RuntimeError, match=r"^Internal Error: .*\b3 items\b"):
        getattr(tv, name)(*arguments(kinds, ctx))
    # A count of zero or less at a null address is the empty list, as ever.
    scripted.queue(op, candlestick_image({}) if op == 37 else record_list(None, -1))
    env = getattr(tv, name)(*arguments(kinds, ctx))
    data = [env["data"][c] for c in CANDLE_COLUMNS] if op == 37 else [env["data"]]
    assert env["success"] and data == [[]] * len(data)


BAD = b"caf\xe9 \xff\xfe end"
SHOWN = "caf\\xe9 \\xff\\xfe end"


@pytest.mark.parametrize("name, op, kinds", SUBSCRIBE + INTERNAL)
def test_texts_that_are_not_utf8_stay_visible_in_the_error(ctx, scripted, name, op, kinds):
    if name.startswith("subscribe_"):
        img, expected = result_image(op, "refusal").text(16, BAD), SHOWN
    else:
        img = result_image(op, "internal")
        at = next(off for off, target, _ in img.refs if target == b"boom")
        img, expected = img.text(at, BAD), "Internal Error: " + SHOWN
    scripted.queue(op, img)
    args = ["CH-1", "no-such-key"] if name == "unsubscribe" else arguments(kinds, ctx)
    with pytest.raises(RuntimeError) as raised:
        getattr(tv, name)(*args)
    assert str(raised.value) == expected
    if name == "login":  # a refused login's own message, likewise
        scripted.queue(13, result_image(13, "refusal").text(56, BAD))
        with pytest.raises(RuntimeError, match=r"^caf\\xe9 \\xff\\xfe end$"):
            tv.login(*arguments(kinds, ctx))
