"""The simulated market does not hand out a free lunch: the provider keeps its
place in the queue when the price moves, the other participants take one
price at a time, and quotes the fair price has passed are taken at once."""

import pytest
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from broker_markets import Equity, login, placed
from tavrolix_sandbox import broker

TICK = 0.25  # ARVO's tick around 45


@pytest.fixture(autouse=True)
def world():
    sbx.use_broker()
    broker.reset(seed=7, running=False, activity=False)
    yield
    broker.reset(running=False)


def level(side, price):
    for lv in broker.state()["instruments"]["ARVO"][side]:
        if lv["price"] == price:
            return lv
    return None


def test_the_provider_keeps_its_place_ahead_of_a_customer_who_joined_later():
    fair = broker.state()["instruments"]["ARVO"]["fair"]
    ask = fair + TICK
    a = login("inv001")
    mine = placed(Equity.place(a, "E-1001", "SELL", ask, 500, symbol="ARVO"))
    ahead = level("asks", ask)["total"] - 500
    assert ahead > 0
    # The price ticks down: the provider's ask at `ask` is still on its ladder and keeps its place.
    broker.set_price("ARVO", fair - TICK)
    assert level("asks", ask)["total"] - level("asks", ask)["customers"] >= ahead
    broker.seed(equity_accounts=[{"account_no": "E-3001", "cash": 10**7}])
    placed(
        tv.place_investor_equity_order(
            login("inv003"), "E-3001", "ARVO", ask, ahead, "BUY", "000000", "LIMIT", "IOC", "", "", False, 0, True
        )
    )
    order = Equity.order(a, "E-1001", mine)["data"]
    assert (order["status"], order["matched"]) == ("OPEN", 0), "the queue ahead took the whole buy"


def test_participants_take_one_price_at_a_time():
    broker.reset(seed=7, running=False)
    a = login("inv001")
    fair = broker.state()["instruments"]["ARVO"]["fair"]
    # A customer's sale four ticks up: nobody sweeps the ladder to reach it;
    # it trades only once the fair price has come within a tick of it.
    price = fair + 4 * TICK
    far = placed(Equity.place(a, "E-1001", "SELL", price, 500, symbol="ARVO"))
    lowest = fair
    for _ in range(600):
        broker.step(1)
        now = broker.state()["instruments"]["ARVO"]["fair"]
        if Equity.order(a, "E-1001", far)["data"]["matched"]:
            assert now >= price - TICK, "taken while the price was %s" % now
            break
        lowest = min(lowest, now)
    trades = tv.get_investor_equity_trades(a, "E-1001")["data"]
    assert all(t["px"] == price for t in trades if t["symbol"] == "ARVO")
