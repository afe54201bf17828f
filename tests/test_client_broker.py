"""The tavrolix client against the sandbox broker: an order's life through
the client and its order stream, the refusals of the broker's documented
codes as exception classes, and who may do what. Prices are chosen inside the
documented limits; nothing depends on where the market trades."""

import asyncio

import pytest
import tavrolix
from broker_markets import quiet_market
from tavrolix_sandbox import broker

pytestmark = pytest.mark.usefixtures("broker_world")
PIN = "000000"


@pytest.fixture
def clients():
    quiet_market()
    inv1 = tavrolix.connect("inv001", "inv001-secret", pin=PIN)
    inv2 = tavrolix.connect("inv002", "inv002-secret", pin=PIN)
    rep = tavrolix.connect("mkt001", "mkt001-secret", market_rep=True)
    yield inv1, inv2, rep
    for c in (inv1, inv2, rep):
        c.close()


def test_an_equity_order_placed_changed_filled_and_followed(clients):
    inv1, inv2, rep = clients
    buyer, seller = inv1.equity("E-1001"), inv2.equity("E-2001")
    with buyer.order_updates(timeout=10) as updates:
        bid = buyer.buy("DANTA", 300, price=3.40)
        assert isinstance(bid, str) and buyer.order(bid)["price_type"] == "LIMIT"
        assert [o["order_no"] for o in buyer.orders(open_only=True, symbol="DANTA")] == [bid]
        assert buyer.orders(symbol="ARVO") == [] and buyer.orders(status="MATCHED") == []
        buyer.change(bid, price=3.52)
        assert buyer.order(bid)["price"] == pytest.approx(3.52) and buyer.order(bid)["vol"] == 300
        with pytest.raises(tavrolix.BadRequest) as info:
            buyer.change(bid)  # nothing to change
        assert (info.value.status, info.value.code) == (400, "NO_CHANGE")

        ask = seller.sell("DANTA", 100, price=3.52, validity=tavrolix.Validity.IOC)
        assert updates.wait(bid, "PARTIAL", timeout=10)["matched"] == 100
        seller.sell("DANTA", 200, price=3.52)
        final = updates.wait(bid, timeout=10)
        assert (final["status"], final["matched"], final["balance"]) == ("MATCHED", 300, 0)
        events = [next(updates)["event"] for _ in range(4)]
        assert events == ["NEW", "CHANGE", "MATCH", "MATCH"]
        assert seller.order(ask)["status"] == "MATCHED"
    assert [p["symbol"] for p in buyer.portfolio() if p["symbol"] == "DANTA"] == ["DANTA"]
    assert sum(t["qty"] for t in buyer.trades() if t["order_no"] == bid) == 300
    # the market representative sees the investor's orders, by account and across the broker
    assert bid in [o["order_no"] for o in rep.equity("E-1001").orders(symbol="DANTA")]
    assert rep.equity_order(bid)["status"] == "MATCHED" and bid in [o["order_no"] for o in rep.equity_orders()]


@pytest.mark.parametrize(
    "request_, cls, status, code",
    [
        (lambda s: s.sell("ARVO", 1_000_000, price=45.25), tavrolix.InsufficientPosition, 422, "INSUFFICIENT_POSITION"),
        (lambda s: s.buy("CORIX", 100_000, price=231), tavrolix.InsufficientFunds, 422, "INSUFFICIENT_FUNDS"),
        (lambda s: s.buy("ARVO", 100, price=45.253), tavrolix.BadRequest, 400, "BAD_PRICE"),
        (lambda s: s.buy("ARVO", 100, price=37.0), tavrolix.BadRequest, 422, "PRICE_WARNING"),
        (lambda s: s.buy("NOPE", 100, price=10.0), tavrolix.BadRequest, 400, "UNKNOWN_SYMBOL"),
        (lambda s: s.buy("ARVO", 100, price=45.25, validity="WEEK"), tavrolix.BadRequest, 400, "BAD_VALIDITY"),
        (lambda s: s.cancel("EQ99999999"), tavrolix.NotFound, 404, "ORDER_NOT_FOUND"),
        (lambda s: s.order("EQ99999999"), tavrolix.NotFound, 404, None),
        (
            lambda s: s.client.equity("E-1001", pin="999999").buy("ARVO", 100, price=45.25),
            tavrolix.AuthenticationError,
            401,
            "WRONG_PIN",
        ),
        (lambda s: s.client.equity("E-2001").info(), tavrolix.NotFound, 404, None),  # another investor's account
    ],
)
def test_broker_refusals_raise_their_kind(clients, request_, cls, status, code):
    shares = clients[0].equity("E-1001")
    with pytest.raises(tavrolix.Refused) as info:
        request_(shares)
    e = info.value
    assert (type(e), e.status) == (cls, status) and (code is None or e.code == code), e
    assert e.envelope is not None and e.envelope["success"] is False and e.message == e.envelope["message"]


def test_derivatives_batch_cancel_returns_what_could_not_be_cancelled(clients):
    inv1, _, rep = clients
    futures = inv1.derivatives("D-1001")
    resting = [futures.buy("T50H26", 1, price=p) for p in (990.0, 990.5)]
    assert all(isinstance(n, int) for n in resting)
    stop = futures.sell(
        "T50H26",
        1,
        price=980.0,
        position="OPEN",
        trigger_condition=tavrolix.TriggerCondition.LAST_PAID_OR_LOWER,
        trigger_price=960.0,
    )
    assert futures.order(stop)["status"] == "PENDING"
    assert [o["order_no"] for o in futures.orders(open_only=True)] == resting + [stop]
    futures.cancel(resting[0])
    errors = futures.cancel([resting[0], resting[1], 999])
    assert sorted((e["order_no"], e["error_response"]["code"]) for e in errors) == [
        (999, "ORDER_NOT_FOUND"),
        (resting[0], "ORDER_NOT_CANCELLABLE"),
    ]
    assert futures.order(resting[1])["status"] == "CANCELLED"
    with pytest.raises(tavrolix.NotAllowed) as info:
        futures.cancel(resting[0])
    assert (info.value.status, info.value.code) == (409, "ORDER_NOT_CANCELLABLE")
    rep.derivatives("D-1001").change(stop, new_account_no="D-2001")
    assert rep.derivatives_order(stop)["account_no"] == "D-2001"


def test_async_order_updates_from_the_broker(clients):
    inv1 = clients[0]
    shares = inv1.equity("E-1001")

    async def run():
        async with shares.order_updates(timeout=10) as updates:
            number = shares.buy("ARVO", 100, price=44.0)
            shares.cancel(number)
            seen = []
            async for update in updates:
                seen.append((update["order_no"], update["event"], update["status"]))
                if update["status"] == "CANCELLED":
                    return number, seen

    number, seen = asyncio.run(run())
    assert seen == [(number, "NEW", "OPEN"), (number, "CANCEL", "CANCELLED")]


def test_who_may_log_in_and_what_a_wrong_kind_of_user_gets(clients):
    with pytest.raises(tavrolix.AuthenticationError) as info:
        tavrolix.connect("inv001", "wrong")
    assert info.value.status == 0 and "login refused" in info.value.message
    posing = tavrolix.connect("inv001", "inv001-secret", market_rep=True)  # an investor with rep functions
    with pytest.raises(tavrolix.NotAllowed) as refused:
        posing.equity_orders()
    assert refused.value.status == 403
    with pytest.raises(tavrolix.Refused):
        clients[0].price_info("NOPE")


def test_candlesticks_and_market_streams_from_the_broker():
    broker.reset(seed=5, running=False, history_minutes=30)
    client = tavrolix.connect("inv001", "inv001-secret")
    candles = client.candlesticks("ARVO", "5m", count=4)
    assert (
        0 < len(candles) <= 4
        and len({len(getattr(candles, c)) for c in ("time", "open", "high", "low", "close", "volume")}) == 1
    )
    assert candles.time == sorted(candles.time) and all(lo <= hi for lo, hi in zip(candles.low, candles.high))
    with pytest.raises(tavrolix.BadRequest):
        client.candlesticks("ARVO", "7m")
    with pytest.raises(tavrolix.NotFound) as info:  # the status decides: 400 for an order
        client.candlesticks("NOPE", "5m")
    assert info.value.code == "UNKNOWN_SYMBOL"
    with client.bid_offer("ARVO", timeout=10) as book:  # the current picture comes first
        first = next(book)
        assert first["symbol"] == "ARVO" and len(first["bid_price"]) == len(first["bid_volume"])
    client.close()
