"""The tavrolix client over scripted results: what each request puts on the
wire (read by byte offset), what it returns, and how refusals become
exceptions."""

import pytest
import tavrolix
import tavrolix_open_api as tv
from tavrolix import errors
from wire import login_image, record_list
from wire_orders import FIELD_KIND, FUNCTIONS, KINDS, field, order_no_result

PIN = "246810"


@pytest.fixture
def investor(scripted):
    scripted.queue(13, login_image(b"CH-1"))
    client = tavrolix.connect("app", "secret", pin=PIN, login_text3="t3", login_text4="t4", enable_queue=True)
    scripted.clear_calls()
    return client


@pytest.fixture
def rep(scripted):
    scripted.queue(13, login_image(b"CH-1"))
    client = tavrolix.connect("app", "secret", market_rep=True)
    scripted.clear_calls()
    return client


def received(scripted, name):
    """The module's positional arguments (after the context) as they reached the library."""
    op, types, lib_args, _ = FUNCTIONS[name]
    call = scripted.last_call(op)
    out, i = {}, 1
    for arg in lib_args:
        if arg[0] == "record":
            for pos, off in arg[2].items():
                out[pos] = field(call, i, off, FIELD_KIND[types[pos - 2]])
        else:
            out[arg[1]] = call.value(i)
            if arg[0].endswith("_array"):
                assert call.value(i + 1) == len(out[arg[1]])  # the count follows the array
                i += 1
        i += 1
    return [out[p] for p in sorted(out)]


def wire(*values):
    """Expected wire values: texts as bytes, flags as bytes 0/1, numbers as they are."""
    return [v.encode() if isinstance(v, str) else int(v) if isinstance(v, bool) else v for v in values]


E, D, S = "E-7", "D-7", tavrolix.Side
# (who, market, request, module function, arguments after the context as they must arrive)
REQUESTS = [
    (
        "inv",
        "equity",
        lambda a: a.buy("ARVO", 300, price=45.25),
        "place_investor_equity_order",
        wire(E, "ARVO", 45.25, 300, "BUY", PIN, "LIMIT", "DAY", "", "", False, 0, False),
    ),
    (
        "inv",
        "equity",
        lambda a: a.sell("ARVO", 100),
        "place_investor_equity_order",
        wire(E, "ARVO", 0.0, 100, "SELL", PIN, "MARKET", "DAY", "", "", False, 0, False),
    ),
    (
        "inv",
        "equity",
        lambda a: a.place(
            "BELNO",
            S.SELL,
            500,
            price=12,
            price_type="MARKET",
            validity="IOC",
            trustee_id="2",
            order_type="NORMAL",
            nvdr=True,
            iceberg_volume=100,
            bypass_warning=True,
        ),
        "place_investor_equity_order",
        wire(E, "BELNO", 12.0, 500, "SELL", PIN, "MARKET", "IOC", "2", "NORMAL", True, 100, True),
    ),
    (
        "rep",
        "equity",
        lambda a: a.place(
            "BELNO",
            "BUY",
            500,
            price=12.5,
            validity=tavrolix.Validity.FOK,
            trustee_id="3",
            order_type="NORMAL",
            nvdr=True,
            iceberg_volume=200,
            bypass_warning=True,
        ),
        "place_marketrep_equity_order",
        wire(E, "BELNO", 12.5, 500, "BUY", "LIMIT", "FOK", "3", "NORMAL", True, 200, True),
    ),
    (
        "inv",
        "derivatives",
        lambda a: a.buy("T50H26", 2, price=990.5),
        "place_investor_derivatives_order",
        wire(D, "T50H26", 990.5, 2, "BUY", "AUTO", PIN, "LIMIT", "DAY", "", "", 0.0, False),
    ),
    (
        "inv",
        "derivatives",
        lambda a: a.sell(
            "T50H26",
            1,
            position="CLOSE",
            validity="IOC",
            trigger_condition=tavrolix.TriggerCondition.LAST_PAID_OR_LOWER,
            trigger_symbol="T50M26",
            trigger_price=980.0,
            bypass_warning=True,
        ),
        "place_investor_derivatives_order",
        wire(D, "T50H26", 0.0, 1, "SELL", "CLOSE", PIN, "MARKET", "IOC", "LAST_PAID_OR_LOWER", "T50M26", 980.0, True),
    ),
    (
        "rep",
        "derivatives",
        lambda a: a.sell("T50H26", 3, price=1001.0, position="OPEN", trigger_price=5.0),
        "place_marketrep_derivatives_order",
        wire(D, "T50H26", 1001.0, 3, "SELL", "OPEN", "LIMIT", "DAY", "", "", 5.0, False),
    ),
    (
        "rep",
        "derivatives",
        lambda a: a.trade_report(
            "T50H26", "BUY", 4, price=999.5, counterparty_account_no="D-9", counterparty_position="CLOSE"
        ),
        "place_marketrep_derivatives_trade_report",
        wire(D, "T50H26", 999.5, 4, "BUY", "AUTO", "D-9", "CLOSE"),
    ),
    # change: what is not given stays (0 / ""), and each value in its own field
    (
        "inv",
        "equity",
        lambda a: a.change("EQ1", price=46.0),
        "change_investor_equity_order",
        wire(E, "EQ1", 46.0, 0, PIN, "", 0, "", False),
    ),
    (
        "inv",
        "equity",
        lambda a: a.change(
            "EQ1", volume=900, trustee_id="4", iceberg_volume=300, price_type="LIMIT", bypass_warning=True
        ),
        "change_investor_equity_order",
        wire(E, "EQ1", 0.0, 900, PIN, "4", 300, "LIMIT", True),
    ),
    (
        "rep",
        "equity",
        lambda a: a.change(
            "EQ1",
            price=47.0,
            volume=800,
            iceberg_volume=200,
            trustee_id="5",
            price_type="LIMIT",
            bypass_warning=True,
            new_account_no="E-8",
            nvdr=True,
        ),
        "change_marketrep_equity_order",
        wire(E, "EQ1", "E-8", 47.0, 800, 200, "5", "LIMIT", True, True),
    ),
    (
        "inv",
        "derivatives",
        lambda a: a.change(1000007, volume=5, price_type="LIMIT", validity="IOC"),
        "change_investor_derivatives_order",
        wire(D, 1000007, 0.0, 5, PIN, "LIMIT", "IOC"),
    ),
    (
        "rep",
        "derivatives",
        lambda a: a.change(1000007, price=995.0, validity="DAY", new_account_no="D-8"),
        "change_marketrep_derivatives_order",
        wire(D, 1000007, "D-8", 995.0, 0, "", "DAY"),
    ),
    # cancel one or many
    ("inv", "equity", lambda a: a.cancel("EQ1"), "cancel_investor_equity_order", wire(E, "EQ1", PIN)),
    (
        "inv",
        "equity",
        lambda a: a.cancel(["EQ1", "EQ2"]),
        "cancel_investor_equity_orders",
        [b"E-7", [b"EQ1", b"EQ2"], PIN.encode()],
    ),
    ("rep", "equity", lambda a: a.cancel(("EQ3",)), "cancel_marketrep_equity_orders", [b"E-7", [b"EQ3"]]),
    ("rep", "equity", lambda a: a.cancel("EQ3"), "cancel_marketrep_equity_order", wire(E, "EQ3")),
    ("inv", "derivatives", lambda a: a.cancel(1000001), "cancel_investor_derivatives_order", wire(D, 1000001, PIN)),
    (
        "inv",
        "derivatives",
        lambda a: a.cancel([1000001, 1000002]),
        "cancel_investor_derivatives_orders",
        [b"D-7", [1000001, 1000002], PIN.encode()],
    ),
    (
        "rep",
        "derivatives",
        lambda a: a.cancel(range(1000001, 1000004)),
        "cancel_marketrep_derivatives_orders",
        [b"D-7", [1000001, 1000002, 1000003]],
    ),
    ("rep", "derivatives", lambda a: a.cancel(1000003), "cancel_marketrep_derivatives_order", wire(D, 1000003)),
    # single-order and list queries
    ("inv", "equity", lambda a: a.order("EQ1"), "get_investor_equity_order", wire(E, "EQ1")),
    ("rep", "equity", lambda a: a.order("EQ1"), "get_marketrep_equity_order", wire("EQ1")),
    ("inv", "derivatives", lambda a: a.order(1000001), "get_investor_derivatives_order", wire(D, 1000001)),
    ("rep", "derivatives", lambda a: a.order(1000001), "get_marketrep_derivatives_order", wire(1000001)),
    ("inv", "equity", lambda a: a.orders(), "get_investor_equity_orders", wire(E)),
    ("rep", "equity", lambda a: a.orders(), "get_marketrep_equity_orders_by_account_no", wire(E)),
    ("inv", "derivatives", lambda a: a.orders(), "get_investor_derivatives_orders", wire(D)),
    ("rep", "derivatives", lambda a: a.orders(), "get_marketrep_derivatives_orders_by_account_no", wire(D)),
]


def account(client, market):
    return client.equity(E) if market == "equity" else client.derivatives(D)


def unwrapped(kind):
    data = KINDS[kind].data()
    return data["order_no"] if kind.endswith("order_no") else None if kind == "status" else data


@pytest.mark.parametrize(
    "who, market, request_, name, expected", REQUESTS, ids=["%s-%d" % (r[3], i) for i, r in enumerate(REQUESTS)]
)
def test_request_reaches_the_library_in_place_and_returns_the_unwrapped_data(
    scripted, investor, rep, who, market, request_, name, expected
):
    kind = FUNCTIONS[name][3]
    scripted.queue(FUNCTIONS[name][0], KINDS[kind].image(1, 200, "said on success", None))
    result = request_(account(investor if who == "inv" else rep, market))
    assert received(scripted, name) == expected
    assert result == unwrapped(kind)
    assert len(scripted.calls(FUNCTIONS[name][0])) == 1


@pytest.mark.parametrize(
    "status, message, cls, code",
    [
        (422, "INSUFFICIENT_FUNDS: cash 10", tavrolix.InsufficientFunds, "INSUFFICIENT_FUNDS"),
        (400, "INSUFFICIENT_POSITION: 0 held", tavrolix.InsufficientPosition, "INSUFFICIENT_POSITION"),  # code wins
        (422, "PRICE_WARNING: far", tavrolix.BadRequest, "PRICE_WARNING"),
        (401, "WRONG_PIN: no", tavrolix.AuthenticationError, "WRONG_PIN"),
        (403, "NOT_ALLOWED: no buying", tavrolix.NotAllowed, "NOT_ALLOWED"),
        (409, "ORDER_NOT_CHANGEABLE: done", tavrolix.NotAllowed, "ORDER_NOT_CHANGEABLE"),
        (404, "account not found", tavrolix.NotFound, None),
        (400, "NEW_CODE: later library", tavrolix.BadRequest, "NEW_CODE"),  # unknown code: by status
        (401, "channel expired", tavrolix.AuthenticationError, None),
        (503, "BUSY: try later", tavrolix.Refused, "BUSY"),  # unknown status: the base
        (500, None, tavrolix.Refused, None),
        (200, "lower: not a code", tavrolix.Refused, None),
    ],
)
@pytest.mark.parametrize(
    "name, request_",
    [
        ("place_investor_equity_order", lambda inv, rep: inv.equity(E).buy("ARVO", 100, price=45.0)),
        ("cancel_investor_derivatives_order", lambda inv, rep: inv.derivatives(D).cancel(5)),
        ("cancel_marketrep_equity_orders", lambda inv, rep: rep.equity(E).cancel(["EQ1"])),
        ("change_marketrep_derivatives_order", lambda inv, rep: rep.derivatives(D).change(5, volume=2)),
        ("get_investor_equity_orders", lambda inv, rep: inv.equity(E).orders(open_only=True)),
        ("get_marketrep_derivatives_order", lambda inv, rep: rep.derivatives_order(5)),
    ],
)
def test_refusal_raises_by_code_then_status_with_the_envelope(
    scripted, investor, rep, status, message, cls, code, name, request_
):
    op, _, _, kind = FUNCTIONS[name]
    if message is None and not KINDS[kind].verdict:
        pytest.skip("the module decodes this message unconditionally")
    scripted.queue(op, KINDS[kind].image(0, status, message, None))
    with pytest.raises(tavrolix.Refused) as info:
        request_(investor, rep)
    e = info.value
    assert type(e) is cls and (e.status, e.code, e.message) == (status, code, message or "")
    assert e.envelope == {"success": False, "status_code": status, "data": KINDS[kind].empty, "message": message}
    assert str(status) in str(e)


def test_internal_errors_stay_runtime_errors_and_a_missing_order_number_is_one(scripted, investor):
    shares = investor.equity(E)
    scripted.queue(39, order_no_result(True, "EQ1", error=b"link down"))
    with pytest.raises(RuntimeError, match=r"^Internal Error: link down$") as info:
        shares.buy("ARVO", 100)
    assert not isinstance(info.value, tavrolix.Refused)
    scripted.queue(39, order_no_result(True, None))  # accepted, but no number: the library broke its word
    with pytest.raises(RuntimeError, match="no order number"):
        shares.buy("ARVO", 100)
    scripted.queue(13, login_image(error=b"socket"))
    with pytest.raises(RuntimeError, match=r"^Internal Error: socket$"):
        tavrolix.connect("a", "b")


@pytest.mark.parametrize(
    "message, cls",
    [
        (b"login refused: wrong secret", tavrolix.AuthenticationError),
        (b"NOT_ALLOWED: app suspended", tavrolix.NotAllowed),
    ],
)
def test_refused_login_raises_a_refusal_without_status(scripted, message, cls):
    scripted.queue(13, login_image(success=0, message=message))
    with pytest.raises(cls) as info:
        tavrolix.connect("a", "b")
    assert (info.value.status, info.value.message, info.value.envelope) == (0, message.decode(), None)
    assert isinstance(info.value.__cause__, RuntimeError)


def test_order_filters_and_a_batch_cancel_returns_per_order_errors_as_data(scripted, investor):
    from wire_orders import EQUITY_ACTION_ERROR, EQUITY_ORDER, records, sample

    orders = [
        dict(sample(EQUITY_ORDER, s), symbol=sym, status=st)
        for s, (sym, st) in enumerate(
            [("ARVO", "OPEN"), ("ARVO", "MATCHED"), ("BELNO", "PARTIAL"), ("ARVO", "PENDING"), ("BELNO", "CANCELLED")]
        )
    ]
    scripted.stand(21, record_list(records(EQUITY_ORDER, orders), len(orders)))
    shares = investor.equity(E)
    pick = lambda **kw: [o["order_no"] for o in shares.orders(**kw)]
    numbers = [o["order_no"] for o in orders]
    assert pick() == numbers
    assert pick(open_only=True) == [numbers[i] for i in (0, 2, 3)]
    assert pick(symbol="ARVO") == [numbers[i] for i in (0, 1, 3)]
    assert pick(symbol="ARVO", open_only=True, status=["MATCHED", tavrolix.OrderStatus.PENDING]) == [numbers[3]]
    assert pick(status="CANCELLED") == [numbers[4]]
    assert pick(open_only=True, status="CANCELLED") == []
    # matched as the library matches: without regard to ASCII case
    assert pick(symbol="arvo", status="open") == [numbers[0]]
    assert pick(symbol="Belno", open_only=True) == [numbers[2]]
    assert pick(status=["matched", "Cancelled"]) == [numbers[1], numbers[4]]
    # the plain list is the module's own, not a copy
    assert shares.orders() is not shares.orders() and type(shares.orders()[0]) is dict

    errs = [dict(sample(EQUITY_ACTION_ERROR, s), code="ORDER_NOT_FOUND", http_status_code=404) for s in (1, 2)]
    scripted.queue(4, record_list(records(EQUITY_ACTION_ERROR, errs), 2, message=b"ignored on success"))
    got = shares.cancel(["EQ1", "EQ2", "EQ3"])
    assert [(g["error_response"]["code"], g["http_status_code"], g["order_no"]) for g in got] == [
        ("ORDER_NOT_FOUND", 404, e["order_no"]) for e in errs
    ]


def test_candlesticks_come_as_the_module_columns(scripted, investor):
    from wire import Layout

    img = Layout(176)
    cols = [
        ("i", [100, 160, 220]),
        ("d", [1.0, 2.0, 3.0]),
        ("d", [2.0, 3.0, 4.0]),
        ("d", [0.5, 1.5, 2.5]),
        ("d", [1.5, 2.5, 3.5]),
        ("i", [10, 20, 30]),
    ]
    for i, (fmt, values) in enumerate(cols):
        img.pointer(24 * i, Layout.of(fmt, values)).i64(24 * i + 8, len(values))
    img.u8(144, 1).i32(148, 200).i32(152, 77).text(160, b"3 candles")
    scripted.queue(37, img)
    candles = investor.candlesticks("ARVO", tavrolix.Interval.M1, count=3, start=1_700_000_000, end="2026-03-02")
    call = scripted.last_call(37)
    assert call.texts(1) == {0: b"ARVO", 8: b"1m", 24: b"1700000000", 32: b"2026-03-02"}
    assert (len(candles), candles.last_sequence, candles.message, candles.close) == (
        3,
        77,
        "3 candles",
        [1.5, 2.5, 3.5],
    )
    pd = pytest.importorskip("pandas")
    frame = candles.to_frame()
    assert list(frame.columns) == ["open", "high", "low", "close", "volume"]
    assert frame.index[1] == pd.Timestamp(160, unit="s", tz="UTC") and frame["volume"].tolist() == [10, 20, 30]


def test_to_frame_refuses_ragged_columns_and_names_pandas_when_missing(monkeypatch):
    import sys

    data = {
        "last_sequence": 1,
        "time": [1, 2],
        "open": [1.0],
        "high": [1.0],
        "low": [1.0],
        "close": [1.0],
        "volume": [1],
    }
    candles = tavrolix.Candles(data, None)
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match="pip install pandas"):
        candles.to_frame()
    monkeypatch.undo()
    pytest.importorskip("pandas")
    with pytest.raises(ValueError, match="differ in length"):
        candles.to_frame()


def test_enums_are_their_texts_and_errors_pickle():
    import pickle

    assert tavrolix.Side.BUY == "BUY" and str(tavrolix.PriceType.MARKET) == "MARKET"
    assert "%s" % tavrolix.Interval.D1 == "1d" and tavrolix.OrderStatus.OPEN in tavrolix.OPEN_STATUSES
    e = errors.refusal(422, "INSUFFICIENT_FUNDS: x", {"success": False})
    back = pickle.loads(pickle.dumps(e))
    assert type(back) is tavrolix.InsufficientFunds and vars(back) == vars(e)
    assert tv.__name__ == "tavrolix_open_api"
