"""The broker's books balance: after a scripted scenario against the moving
market, the trades explain every position, price, realized profit and cash
change that the module reports."""

import random
from collections import defaultdict

import pytest
import tavrolix_open_api as tv
from broker_markets import Derivatives, Equity, login
from tavrolix_sandbox import broker

pytestmark = pytest.mark.usefixtures("broker_world")

TRADERS = [("inv001", "E-1001", "D-1001"), ("inv002", "E-2001", "D-2001")]
EQUITIES = ["ARVO", "BELNO", "DANTA"]
FUTURES = ["T50H26", "ARVOH26"]


def quoted_prices(symbol):
    levels = broker.state()["instruments"][symbol]
    return [l["price"] for l in levels["bids"][:3] + levels["asks"][:3]]


def snapshot(ctx, eq_account, dv_account):
    return {
        "cash": (
            tv.get_investor_equity_account_info(ctx, eq_account)["data"]["cash_balance"],
            tv.get_investor_derivatives_account_info(ctx, dv_account)["data"]["cash_balance"],
        ),
        "equity": {p["symbol"]: p for p in tv.get_investor_equity_portfolios(ctx, eq_account)["data"]},
        "derivatives": {p["symbol"]: p for p in tv.get_investor_derivatives_portfolios(ctx, dv_account)["data"]},
    }


def run_scenario(seed, rounds=40):
    """Both investors place, change and cancel orders around the quotes while
    the clock is stepped by hand; returns what the module reports."""
    broker.reset(seed=seed, running=False, history_minutes=5)
    rng = random.Random(seed)
    people = [(login(user), eq, dv) for user, eq, dv in TRADERS]
    start = [snapshot(*p) for p in people]
    open_orders = defaultdict(list)
    for _ in range(rounds):
        for ctx, eq, dv in people:
            action = rng.random()
            if action < 0.45:
                symbol = rng.choice(EQUITIES)
                env = Equity.place(
                    ctx,
                    eq,
                    rng.choice(["BUY", "SELL"]),
                    rng.choice(quoted_prices(symbol)),
                    100 * rng.randint(1, 30),
                    symbol=symbol,
                    validity=rng.choice(["DAY", "DAY", "IOC"]),
                )
                if env["success"]:
                    open_orders[eq].append(env["data"]["order_no"])
            elif action < 0.8:
                symbol = rng.choice(FUTURES)
                env = Derivatives.place(
                    ctx,
                    dv,
                    rng.choice(["LONG", "SHORT"]),
                    rng.choice(quoted_prices(symbol)),
                    rng.randint(1, 3),
                    symbol=symbol,
                    position=rng.choice(["AUTO", "OPEN"]),
                )
                if env["success"]:
                    open_orders[dv].append(env["data"]["order_no"])
            elif action < 0.9 and open_orders[eq]:
                Equity.cancel(ctx, eq, rng.choice(open_orders[eq]))
            elif open_orders[dv]:
                no = rng.choice(open_orders[dv])
                order = Derivatives.order(ctx, dv, no)["data"]
                Derivatives.change(ctx, dv, no, 0.0, order["qty"] + 1)
        broker.step(rng.randint(1, 15))
    end = []
    for ctx, eq, dv in people:
        end.append(
            dict(
                snapshot(ctx, eq, dv),
                equity_trades=Equity.trades(ctx, eq)["data"],
                derivatives_trades=Derivatives.trades(ctx, dv)["data"],
                equity_orders=Equity.orders(ctx, eq)["data"],
                derivatives_orders=Derivatives.orders(ctx, dv)["data"],
                equity_info=tv.get_investor_equity_account_info(ctx, eq)["data"],
                derivatives_info=tv.get_investor_derivatives_account_info(ctx, dv)["data"],
            )
        )
    return start, end


@pytest.fixture(scope="module")
def scenario():
    return run_scenario(seed=4242)


# Money is kept exactly and handed out rounded to the cent: each figure may be
# up to half a cent from the recomputation in floating point, a difference of
# two such figures up to a cent. Cash and realized P&L are recomputed in
# integers and compared exactly.
approx = lambda v: pytest.approx(v, rel=1e-9, abs=0.0101)
UNITS, CENT = 10**8, 10**6  # prices and money are kept in units of 1e-8


def units(price):
    return round(price * UNITS)


def half_away(a, b):
    """a / b rounded half away from zero."""
    return (abs(a) * 2 + b) // (2 * b) * (1 if a >= 0 else -1)


@pytest.mark.parametrize("who", range(len(TRADERS)))
def test_equity_trades_explain_positions_and_cash(scenario, who):
    start, end = scenario[0][who], scenario[1][who]
    trades = end["equity_trades"]
    assert len(trades) >= 5, "the scenario should trade"
    cash = start["cash"][0]
    cash_cents = round(cash * 100)
    held = {s: [p["actual_volume"], p["average_price"], 0.0] for s, p in start["equity"].items()}
    for t in trades:
        volume, avg, realized = held.setdefault(t["symbol"], [0.0, 0.0, 0.0])
        value, fees = t["px"] * t["qty"], t["brokerage_fee"] + t["trading_fee"] + t["clearing_fee"]
        assert fees == pytest.approx(value * 0.00156, abs=0.02)
        value_cents, fee_cents = half_away(units(t["px"]) * t["qty"], CENT), round(fees * 100)
        cash_cents += -value_cents - fee_cents if t["side"] == "BUY" else value_cents - fee_cents
        if t["side"] == "BUY":
            cash -= value + fees
            held[t["symbol"]] = [volume + t["qty"], (avg * volume + value) / (volume + t["qty"]), realized]
        else:
            cash += value - fees
            left = volume - t["qty"]
            assert left >= 0, "never sells what it does not hold"
            held[t["symbol"]] = [left, avg if left else 0.0, realized + (t["px"] - avg) * t["qty"]]
    assert end["cash"][0] == approx(cash) and end["cash"][0] == cash_cents / 100
    assert set(end["equity"]) == set(held)
    for symbol, (volume, avg, realized) in held.items():
        p = end["equity"][symbol]
        assert (p["actual_volume"], p["average_price"], p["realize_profit"]) == (volume, approx(avg), approx(realized))
        assert p["market_value"] == approx(p["market_price"] * volume)
        assert p["profit"] == approx(p["market_value"] - p["amount"])
        assert p["amount"] == approx(avg * volume)


@pytest.mark.parametrize("who", range(len(TRADERS)))
def test_derivatives_trades_explain_positions_and_cash(scenario, who):
    start, end = scenario[0][who], scenario[1][who]
    trades = end["derivatives_trades"]
    assert len(trades) >= 5, "the scenario should trade"
    # Exactly as docs/sandbox.md states it: a position keeps the cost of what it
    # holds in units of 1e-8; closing q of v takes cost x q / v (rounded half
    # away from zero) off it; realized = (value - cost x q / v) x multiplier,
    # rounded once to the cent.
    cost_out = lambda cost, q, v: cost if q >= v else half_away(cost * q, v)
    cash_units = units(start["cash"][1])
    pos = {
        s: {
            "LONG": [p["actual_long_position"], units(p["long_avg_price"]) * p["actual_long_position"]],
            "SHORT": [p["actual_short_position"], units(p["short_avg_price"]) * p["actual_short_position"]],
            "realized": 0,
        }
        for s, p in start["derivatives"].items()
    }
    for t in sorted(trades, key=lambda t: t["ledger_seq"]):
        p = pos.setdefault(t["symbol"], {"LONG": [0, 0], "SHORT": [0, 0], "realized": 0})
        value = units(t["px"]) * t["qty"]
        if t["open_close"] == "OPEN":
            qty, cost = p[t["side"]]
            p[t["side"]] = [qty + t["qty"], cost + value]
        else:
            closed = "SHORT" if t["side"] == "LONG" else "LONG"
            qty, cost = p[closed]
            assert qty >= t["qty"], "never closes more than it holds"
            out = cost_out(cost, t["qty"], qty)
            exact = (value * qty - cost * t["qty"]) * int(t["multiplier"])
            realized = half_away(exact if closed == "LONG" else -exact, qty * CENT) * CENT
            p["realized"] += realized
            cash_units += realized
            p[closed] = [qty - t["qty"], cost - out]
    cash = cash_units / UNITS
    assert end["cash"][1] == half_away(cash_units, CENT) / 100
    for p in pos.values():
        p["realized"] /= UNITS
        for side in ("LONG", "SHORT"):
            p[side][1] = p[side][1] / p[side][0] / UNITS if p[side][0] else 0.0
    unrealized = 0.0
    for symbol, p in pos.items():
        r = end["derivatives"][symbol]
        assert (r["actual_long_position"], r["actual_short_position"]) == (p["LONG"][0], p["SHORT"][0])
        assert (r["long_avg_price"], r["short_avg_price"], r["realized_pl"]) == (
            approx(p["LONG"][1]),
            approx(p["SHORT"][1]),
            p["realized"],
        )
        assert (r["has_long_position"], r["has_short_position"]) == (p["LONG"][0] > 0, p["SHORT"][0] > 0)
        unrealized += (
            (r["market_price"] - p["LONG"][1]) * p["LONG"][0] + (p["SHORT"][1] - r["market_price"]) * p["SHORT"][0]
        ) * r["multiplier"]
    info = end["derivatives_info"]
    assert info["equity"] == approx(cash + unrealized)
    assert info["excess_equity"] == approx(info["equity"] - info["total_mr"])


@pytest.mark.parametrize("who", range(len(TRADERS)))
@pytest.mark.parametrize("market", ["equity", "derivatives"])
def test_orders_agree_with_their_trades(scenario, who, market):
    end = scenario[1][who]
    k = (Equity if market == "equity" else Derivatives).keys
    traded = defaultdict(int)
    for t in end[market + "_trades"]:
        traded[t["order_no"]] += t["qty"]
    for o in end[market + "_orders"]:
        assert o[k["qty"]] == o[k["matched"]] + o[k["cancelled"]] + o[k["balance"]]
        assert traded.pop(o["order_no"], 0) == o[k["matched"]]
        assert (o[k["balance"]] > 0) == (o["status"] in ("OPEN", "PARTIAL"))
    assert not traded, "every trade belongs to a listed order"


@pytest.mark.parametrize("who", range(len(TRADERS)))
def test_buying_power_holds_back_open_buys(scenario, who):
    end = scenario[1][who]
    info = end["equity_info"]
    held = sum(
        o["balance"] * o["price"] * 1.0016
        for o in end["equity_orders"]
        if o["side"] == "BUY" and o["status"] in ("OPEN", "PARTIAL")
    )
    assert info["line_available"] == approx(info["cash_balance"] + info["credit_limit"] - held)


def test_same_seed_same_trades(scenario):
    again = run_scenario(seed=4242)
    assert again[1] == scenario[1]


# ------------------------------------------------------------ derivatives positions
def deriv_position(ctx, account, symbol="T50H26"):
    return {p["symbol"]: p for p in tv.get_investor_derivatives_portfolios(ctx, account)["data"]}[symbol]


def test_auto_closes_first_and_close_orders_hold_their_contracts():
    from broker_markets import placed, quiet_market

    quiet_market()
    a, b = login("inv001"), login("inv002")
    # D-1001 starts long 2 @ 990: a resting CLOSE sale holds both contracts.
    held = placed(Derivatives.place(a, "D-1001", "SELL", 1010.0, 2, position="CLOSE"))
    assert deriv_position(a, "D-1001")["available_long_position"] == 0
    env = Derivatives.place(a, "D-1001", "SELL", 1011.0, 1, position="CLOSE")
    assert env["message"].startswith("INSUFFICIENT_POSITION")
    assert Derivatives.cancel(a, "D-1001", held)["success"]
    # AUTO: closes the two longs, opens one short with the third contract.
    placed(Derivatives.place(b, "D-2001", "BUY", 1010.0, 3, position="OPEN"))
    placed(Derivatives.place(a, "D-1001", "SELL", 1010.0, 3, position="AUTO"))
    p = deriv_position(a, "D-1001")
    assert (p["actual_long_position"], p["actual_short_position"], p["short_avg_price"]) == (0, 1, 1010.0)
    assert (p["close_long_position"], p["open_short_position"], p["realized_pl"]) == (2, 1, (1010.0 - 990.0) * 2 * 200)
    sides = [(t["open_close"], t["qty"]) for t in Derivatives.trades(a, "D-1001")["data"]]
    assert sides == [("CLOSE", 2), ("OPEN", 1)]
    info = tv.get_investor_derivatives_account_info(a, "D-1001")["data"]
    assert info["cash_balance"] == approx(500000 + 8000)
    assert info["total_mr"] == approx(12000)


@pytest.mark.parametrize("price, flag", [(995.0, "N"), (985.0, "C"), (960.0, "F")])
def test_margin_call_follows_the_market(price, flag):
    broker.reset(
        seed=1,
        running=False,
        activity=False,
        default_world=False,
        users=[{"id": "u1", "secret": "s1", "pin": "4321"}],
        derivatives_accounts=[{"account_no": "D-9", "owner": "u1", "cash": 30000}],
        positions=[{"account_no": "D-9", "symbol": "T50H26", "long": 3, "long_price": 1000.0}],
    )
    ctx = tv.login("u1", "s1", "", "", False)
    broker.set_price("T50H26", price)
    # A customer trade at that price marks the position.
    broker.seed(
        users=[{"id": "u2", "secret": "s2", "pin": ""}],
        derivatives_accounts=[{"account_no": "D-8", "owner": "u2", "cash": 1e6}],
    )
    other = tv.login("u2", "s2", "", "", False)
    ask = broker.state()["instruments"]["T50H26"]["asks"][0]["price"]
    placed_env = Derivatives.place(other, "D-8", "BUY", ask, 1, pin="", bypass=True)
    assert placed_env["success"], placed_env["message"]
    info = tv.get_investor_derivatives_account_info(ctx, "D-9")["data"]
    unrealized = (ask - 1000.0) * 3 * 200
    assert info["equity"] == approx(30000 + unrealized)
    assert (info["total_mr"], info["total_mm"]) == (approx(36000), approx(3 * 12000 * 0.7))
    assert info["call_force_flag"] == flag
    assert info["call_force_margin"] == (approx(0) if flag == "N" else approx(36000 - info["equity"]))
    assert Derivatives.place(ctx, "D-9", "BUY", ask, 1, pin="0000")["message"].startswith("WRONG_PIN")


def test_equity_orders_hold_back_buying_power_until_cancelled():
    from broker_markets import placed, quiet_market

    quiet_market()
    a = login("inv001")
    before = tv.get_investor_equity_account_info(a, "E-1001")["data"]["line_available"]
    no = placed(Equity.place(a, "E-1001", "BUY", 3.50, 10000))
    during = tv.get_investor_equity_account_info(a, "E-1001")["data"]["line_available"]
    assert during == approx(before - 3.50 * 10000 * 1.0016)
    sell = placed(Equity.place(a, "E-1001", "SELL", 12.50, 15000, symbol="BELNO"))
    belno = {p["symbol"]: p for p in Equity.portfolios(a, "E-1001")["data"]}["BELNO"]
    assert (belno["actual_volume"], belno["current_volume"]) == (20000, 5000)
    assert Equity.place(a, "E-1001", "SELL", 12.50, 5100, symbol="BELNO")["message"].startswith("INSUFFICIENT_POSITION")
    Equity.cancel(a, "E-1001", no)
    Equity.cancel(a, "E-1001", sell)
    assert tv.get_investor_equity_account_info(a, "E-1001")["data"]["line_available"] == approx(before)


def test_seeded_world_is_what_login_and_queries_see():
    broker.reset(
        seed=2,
        running=False,
        default_world=False,
        users=[
            {"id": "trader", "secret": "pw", "pin": "1111"},
            {"id": "desk", "secret": "pw2", "role": "marketrep", "broker": "TVX"},
        ],
        equity_accounts=[
            {"account_no": "E-77", "owner": "trader", "type": "CREDIT_BALANCE", "cash": 5e5, "credit_limit": 1e6}
        ],
        positions=[{"account_no": "E-77", "symbol": "EMBRA", "volume": 2000, "price": 80.0}],
    )
    with pytest.raises(RuntimeError, match="login refused"):
        login("inv001")
    ctx = tv.login("trader", "pw", "", "", False)
    info = tv.get_investor_equity_account_info(ctx, "E-77")["data"]
    assert (info["account_type"], info["cash_balance"], info["credit_limit"], len(info)) == (
        "CREDIT_BALANCE",
        5e5,
        1e6,
        41,
    )
    (p,) = Equity.portfolios(ctx, "E-77")["data"]
    assert (p["symbol"], p["actual_volume"], p["average_price"], p["start_volume"]) == ("EMBRA", 2000, 80.0, 2000)
    desk = tv.login("desk", "pw2", "", "", False)
    assert tv.get_marketrep_equity_account_info(desk, "E-77")["success"]
    with pytest.raises(ValueError, match="unknown symbol"):
        broker.seed(positions=[{"account_no": "E-77", "symbol": "NOPE", "volume": 1}])
    with pytest.raises(ValueError, match="no known owner"):
        broker.seed(equity_accounts=[{"account_no": "E-78", "owner": "ghost"}])
