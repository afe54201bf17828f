"""Candlestick history: the request record, the six columns and the envelope."""

import pytest
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from wire import config_of
from wire_positions import CANDLE_COLUMNS, candlestick_image, candlestick_request

KEYS = ["last_sequence"] + CANDLE_COLUMNS


def _query(ctx, flag=True):
    return tv.get_candlesticks(ctx, "SET50", "1d", 30, flag, "2024-01-02", "2024-02-01")


@pytest.mark.parametrize("flag, byte", [(True, 1), (False, 0), (None, 0), (2.5, 1)])
def test_request_record(ctx, scripted, flag, byte):
    ctx["configuration"]["enable_queue"] = False
    scripted.queue(37, candlestick_image({}))
    tv.get_candlesticks(ctx, "S50\u00e9", b"1m\xff", -(2**31), flag, "", "CUT")
    (call,) = scripted.calls()
    assert call.op == 37 and call.kinds() == ["record", "record"]
    cfg = config_of(call)
    assert (cfg["channel_id"], cfg["daemon_type"], cfg["enable_queue"]) == (b"CH-1", b"STAND_ALONE", 0)
    req = candlestick_request(call)
    assert (req["text1"], req["text2"], req["text3"], req["text4"]) == ("S50\u00e9".encode(), b"1m\xff", b"", b"CUT")
    assert (req["number"], req["flag"]) == (-(2**31), byte)
    assert all(req["pointers"])


@pytest.mark.parametrize("message, expected", [(b"done \xc3\xa9", "done \u00e9"), (None, None), (b"", "")])
def test_columns_each_of_their_own_count(ctx, scripted, message, expected):
    scripted.queue(
        37,
        candlestick_image(
            {
                "time": ([-(2**31), 0, 1717000000, 2**31 - 1], None),
                "open": ([1.5, -2.25], None),
                "high": ([9.0, 8.0], 0),
                "low": ([7.0], -1),
                "close": ([0.1, 0.2, 0.3, 0.4], 2),
                "volume": ([-5, 6, -(2**31)], None),
            },
            last_sequence=-9,
            message=message,
        ),
    )
    env = _query(ctx)
    assert (env["success"], env["status_code"], env["message"]) == (True, 200, expected)
    data = env["data"]
    assert list(data) == KEYS
    assert data == {
        "last_sequence": -9,
        "time": [-(2**31), 0, 1717000000, 2**31 - 1],
        "open": [1.5, -2.25],
        "high": [],
        "low": [],
        "close": [0.1, 0.2],
        "volume": [-5, 6, -(2**31)],
    }
    types = {k: {type(v) for v in data[k]} for k in CANDLE_COLUMNS}
    assert types == {"time": {int}, "open": {float}, "high": set(), "low": set(), "close": {float}, "volume": {int}}


@pytest.mark.parametrize("message, expected", [(b"no such symbol", "no such symbol"), (None, None)])
def test_refusal_keeps_every_key(ctx, scripted, message, expected):
    full = {name: ([1, 2] if name in ("time", "volume") else [1.0, 2.0], None) for name in CANDLE_COLUMNS}
    scripted.queue(37, candlestick_image(full, success=0, status=404, last_sequence=42, message=message))
    env = _query(ctx)
    assert list(env) == ["success", "status_code", "data", "message"]
    assert env == {
        "success": False,
        "status_code": 404,
        "message": expected,
        "data": dict({"last_sequence": 42}, **{name: [] for name in CANDLE_COLUMNS}),
    }
    assert list(env["data"]) == KEYS


def test_internal_error_before_anything_is_read(ctx, scripted):
    scripted.queue(37, candlestick_image({"time": ([1], None)}, message=b"\xff", error=b"feed gone"))
    with pytest.raises(RuntimeError, match=r"^Internal Error: feed gone$"):
        _query(ctx)


@pytest.mark.parametrize("success", [1, 0])
def test_invalid_utf8_message(ctx, scripted, success):
    scripted.queue(37, candlestick_image({"open": ([1.0], None)}, success=success, message=b"bad \xc3("))
    with pytest.raises(UnicodeDecodeError):
        _query(ctx)


# --- the sandbox broker's answers to bad queries (its history: test_broker_market) ---


@pytest.fixture
def investor():
    sbx.use_broker()
    return tv.login("inv001", "inv001-secret", "", "", False)


@pytest.mark.parametrize(
    "symbol, interval, number, start, end, status",
    [
        ("", "1d", 5, "", "", 400),
        ("ARVO", "2h", 5, "", "", 400),
        ("ARVO", "1d", 0, "", "", 400),
        ("ARVO", "1d", 1001, "", "", 400),
        ("ARVO", "1d", 5, "2024-13-01", "", 400),
        ("ARVO", "1d", 5, "", "10 March", 400),
    ],
)
def test_broker_refuses_bad_queries(investor, symbol, interval, number, start, end, status):
    env = tv.get_candlesticks(investor, symbol, interval, number, False, start, end)
    assert (env["success"], env["status_code"]) == (False, status)
    assert env["data"] == dict({"last_sequence": 0}, **{c: [] for c in CANDLE_COLUMNS})
    assert env["message"]


def test_broker_refuses_unknown_channel(investor):
    env = tv.get_candlesticks(dict(investor, channel_id="sbx-nobody-0"), "ARVO", "1d", 5, False, "", "")
    assert (env["success"], env["status_code"]) == (False, 401)
