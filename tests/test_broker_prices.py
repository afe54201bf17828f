"""Prices held exactly at any range, through the module: FX at five decimals
in and out of orders, trades and cash; a tick of 0.00001 kept as given; a
coin replayed from 5 to 94,000 at 0.01 with orders resting across the range;
and what the broker cannot hold refused, naming the limit."""

import pytest
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from broker_markets import PIN, login
from tavrolix_sandbox import broker
from tavrolix_sandbox import history as H

T0 = 1772445600  # 2026-03-02T10:00:00Z
FX = {"symbol": "EURX", "price": 1.17453, "tick": 0.00001, "lot": 1000, "limit": 0.05}


@pytest.fixture(autouse=True)
def quiet_world():
    sbx.use_broker()
    broker.reset(
        running=False,
        liquidity=False,
        activity=False,
        instruments=[FX],
        positions=[{"account_no": "E-2001", "symbol": "EURX", "volume": 10000, "price": 1.17}],
    )
    yield
    broker.reset(running=False)


def place(ctx, account, side, price, volume, symbol="EURX", kind="LIMIT"):
    return tv.place_investor_equity_order(
        ctx, account, symbol, price, volume, side, PIN, kind, "DAY", "", "", False, 0, True
    )


def test_fx_at_five_decimals_is_held_exactly_from_order_to_trade_and_cash():
    a, b = login("inv001"), login("inv002")
    cash = [
        tv.get_investor_equity_account_info(c, n)["data"]["cash_balance"] for c, n in ((a, "E-1001"), (b, "E-2001"))
    ]
    sold = place(b, "E-2001", "SELL", 1.17453, 3000)
    bought = place(a, "E-1001", "BUY", 1.17461, 5000)
    assert sold["success"] and bought["success"], (sold, bought)
    order = tv.get_investor_equity_order(a, "E-1001", bought["data"]["order_no"])["data"]
    assert (order["price"], order["matched"], order["balance"]) == (1.17461, 3000, 2000)
    (trade,) = tv.get_investor_equity_trades(a, "E-1001")["data"]
    assert (trade["px"], trade["qty"]) == (1.17453, 3000)
    # 3,523.59 to the cent, fees on it each rounded half up.
    fees = [round(3523.59 * r + 1e-9, 2) for r in (0.0015, 0.00005, 0.00001)]
    assert [trade["brokerage_fee"], trade["trading_fee"], trade["clearing_fee"]] == fees
    after = tv.get_investor_equity_account_info(a, "E-1001")["data"]["cash_balance"]
    assert round((cash[0] - after) * 100) == round((3523.59 + sum(fees)) * 100)
    book = broker.state()["instruments"]["EURX"]
    assert book["bids"][0]["price"] == 1.17461 and book["fair"] == 1.17453
    # The tick is 0.00001, not the equity table and not 0.0001.
    env = place(a, "E-1001", "BUY", 1.174615, 1000)
    assert not env["success"] and "tick 0.00001" in env["message"], env
    changed = tv.change_investor_equity_order(
        a, "E-1001", bought["data"]["order_no"], 1.17457, 0, PIN, "", 0, "", False
    )
    assert changed["success"], changed
    order = tv.get_investor_equity_order(a, "E-1001", bought["data"]["order_no"])["data"]
    assert order["price"] == 1.17457


def test_what_cannot_be_held_is_refused_naming_the_limit():
    ctx = login("inv001")
    env = place(ctx, "E-1001", "BUY", 1.174531, 1000)  # a sixth decimal: off this tick
    assert not env["success"] and "BAD_PRICE" in env["message"]
    broker.seed(instruments=[{"symbol": "FINE", "price": 0.00000012, "tick": 0.00000001, "lot": 1}])
    assert broker.state()["instruments"]["FINE"]["fair"] == 0.00000012
    env = place(ctx, "E-1001", "BUY", 0.000000121, 1, symbol="FINE")
    assert not env["success"] and "more than 8 decimals" in env["message"], env
    env = place(ctx, "E-1001", "BUY", 1e8, 1, symbol="FINE")
    assert not env["success"] and "90000000" in env["message"], env
    for bad, words in (
        ({"price": 1e8, "tick": 1}, "90000000"),
        ({"price": 12.5, "tick": 1e-9}, "tick 1e-09 has more than 8 decimals"),
        ({"price": 1.0000000001, "tick": 0.01}, "more than 8 decimals"),
    ):
        with pytest.raises(ValueError, match=words):
            broker.seed(instruments=[dict(bad, symbol="NOPE")])
    # A history row beyond the limit is refused by the replay, naming it.
    with pytest.raises(ValueError, match="90000000"):
        broker.replay(H.trades([(T0, 9e7 + 1, 1, 0)], symbol="BIG", tick=1))


def test_a_coin_travels_from_5_to_94000_at_a_cent_through_the_replay():
    # Daily bars: up 18% a day from 5 to 94,000, then down to 10,000. Each day
    # a buy rests 2% under the close and a sale 2% over it.
    closes, c = [], 5.0
    while c < 94000:
        closes.append(round(c, 2))
        c *= 1.18
    closes.append(94000.0)
    while closes[-1] > 10000:
        closes.append(round(closes[-1] * 0.85, 2))
    rows = []
    for i, close in enumerate(closes):
        prev = closes[i - 1] if i else close
        rows.append(
            (T0 + i * 86400, prev, round(max(prev, close) * 1.03, 2), round(min(prev, close) * 0.97, 2), close, 10**6)
        )
    broker.replay(H.bars(rows, symbol="COIN", tick=0.01))
    ctx = login("inv001")
    broker.seed(equity_accounts=[{"account_no": "E-1001", "cash": 1e12}])
    placed = []
    while broker.replay_step(1):
        last = broker.state()["instruments"]["COIN"]["last"]
        for side, k in (("BUY", 0.98), ("SELL", 1.02)):
            price = round(last * k, 2)
            env = place(ctx, "E-1001", side, price, 1, symbol="COIN")
            if env["success"]:
                placed.append(price)
    fills = [t["px"] for t in tv.get_investor_equity_trades(ctx, "E-1001")["data"] if t["symbol"] == "COIN"]
    assert min(placed) < 10 and max(placed) > 90000
    assert fills and min(fills) < 10 and max(fills) > 90000
    assert all(round(p * 100) / 100 == p for p in fills)
