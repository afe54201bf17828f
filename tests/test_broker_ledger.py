"""The broker's books to the cent. A seeded random run of a few hundred
actions of every kind (placements of every price type, validity and position
mode, icebergs, stop orders, changes, single and batch cancels, trade reports,
clock steps), then every trade replayed in integers by the rules docs/sandbox.md
states, recomputing cash, positions, average prices, realized P&L, fees, what
open orders hold back and the margins, compared exactly. And the cases that
floating point, fill-time AUTO, stop CLOSE orders and 32-bit volumes got
wrong."""

import random
from collections import defaultdict

import pytest
import tavrolix_open_api as tv
from broker_markets import PIN, Derivatives, Equity, login, placed, quiet_market
from tavrolix_sandbox import broker

pytestmark = pytest.mark.usefixtures("broker_world")

UNITS = 10**8  # money and prices are kept in units of 1e-8
CENT = UNITS // 100
PEOPLE = [("inv001", "E-1001", "D-1001"), ("inv002", "E-2001", "D-2001")]
EQUITIES, FUTURES = ["ARVO", "BELNO", "DANTA"], ["T50H26", "ARVOH26"]
RATES = [(15, 10000), (5, 100000), (1, 100000)]  # brokerage, trading, clearing
TERMS = {"T50H26": (200, 12000), "ARVOH26": (1000, 6800)}  # multiplier, initial margin


def units(x):
    return round(x * UNITS)


def div(a, b):
    """a / b rounded half away from zero."""
    q = (abs(a) * 2 + b) // (2 * b)
    return q if a >= 0 else -q


def cents(u):
    return div(u, CENT) / 100


def to_cent(num, den=1):
    """num / den units rounded once, half away from zero, to the cent (in units)."""
    return div(num, den * CENT) * CENT


def quotes(symbol):
    levels = broker.state()["instruments"][symbol]
    return [l["price"] for l in levels["bids"][:3] + levels["asks"][:3]]


def random_run(seed, actions):
    broker.reset(seed=seed, running=False, history_minutes=5)
    rng = random.Random(seed)
    people = [(login(u), eq, dv) for u, eq, dv in PEOPLE]
    rep = login("mkt001")
    start = {
        dv: {p["symbol"]: p for p in tv.get_investor_derivatives_portfolios(ctx, dv)["data"]} for ctx, _, dv in people
    }
    start.update(
        {eq: {p["symbol"]: p for p in tv.get_investor_equity_portfolios(ctx, eq)["data"]} for ctx, eq, _ in people}
    )
    cash = {
        a: info["data"]["cash_balance"]
        for ctx, eq, dv in people
        for a, info in (
            (eq, tv.get_investor_equity_account_info(ctx, eq)),
            (dv, tv.get_investor_derivatives_account_info(ctx, dv)),
        )
    }
    mine = defaultdict(list)
    kinds = defaultdict(int)
    for _ in range(actions):
        ctx, eq, dv = rng.choice(people)
        kind = rng.choice(["eq", "eq", "dv", "dv", "stop", "change", "cancel", "batch", "report", "step"])
        if kind == "eq":
            symbol = rng.choice(EQUITIES)
            ptype, validity = rng.choice([("LIMIT", "DAY"), ("LIMIT", "IOC"), ("LIMIT", "FOK"), ("MARKET", "IOC")])
            volume = 100 * rng.randint(1, 20)
            env = Equity.place(
                ctx,
                eq,
                rng.choice(["BUY", "SELL"]),
                rng.choice(quotes(symbol)),
                volume,
                price_type=ptype,
                validity=validity,
                symbol=symbol,
                iceberg=100 * rng.randint(1, volume // 100) if rng.random() < 0.2 else 0,
            )
        elif kind in ("dv", "stop"):
            symbol = rng.choice(FUTURES)
            price = rng.choice(quotes(symbol))
            trigger = ("", "", 0.0)
            if kind == "stop":
                trigger = (rng.choice(["LAST_PAID_OR_HIGHER", "LAST_PAID_OR_LOWER"]), "", price)
            env = Derivatives.place(
                ctx,
                dv,
                rng.choice(["LONG", "SHORT"]),
                price,
                rng.randint(1, 4),
                symbol=symbol,
                position=rng.choice(["AUTO", "OPEN", "CLOSE"]),
                trigger=trigger,
                bypass=True,
            )
        elif kind == "change" and mine[dv]:
            no = rng.choice(mine[dv])
            env = Derivatives.change(
                ctx, dv, no, 0.0, Derivatives.order(ctx, dv, no)["data"]["qty"] + rng.randint(-1, 2)
            )
        elif kind == "cancel" and mine[eq]:
            env = Equity.cancel(ctx, eq, rng.choice(mine[eq]))
        elif kind == "batch" and mine[dv]:
            env = Derivatives.cancel_many(ctx, dv, rng.sample(mine[dv], min(3, len(mine[dv]))))
        elif kind == "report":
            symbol = rng.choice(FUTURES)
            env = tv.place_marketrep_derivatives_trade_report(
                rep,
                "D-1001",
                symbol,
                rng.choice(quotes(symbol)),
                rng.randint(1, 3),
                rng.choice(["LONG", "SHORT"]),
                "AUTO",
                "D-2001",
                "AUTO",
            )
        else:
            broker.step(rng.randint(1, 20))
            kinds["step"] += 1
            continue
        kinds[kind] += 1
        if env["success"] and kind in ("eq", "dv", "stop"):
            mine[eq if kind == "eq" else dv].append(env["data"]["order_no"])
    return people, start, cash, kinds


def check_equity(ctx, account, start, cash):
    info = tv.get_investor_equity_account_info(ctx, account)["data"]
    trades = Equity.trades(ctx, account)["data"]
    cash_u = units(cash)
    held = {
        s: [int(p["actual_volume"]), units(p["start_price"]) * int(p["actual_volume"]), 0] for s, p in start.items()
    }
    for t in trades:
        value = units(t["px"]) * t["qty"]
        fees = [div(value * n, d * CENT) for n, d in RATES]
        assert [t["brokerage_fee"], t["trading_fee"], t["clearing_fee"]] == [f / 100 for f in fees]
        volume, cost, realized = held.setdefault(t["symbol"], [0, 0, 0])
        if t["side"] == "BUY":
            cash_u -= to_cent(value) + sum(fees) * CENT
            held[t["symbol"]] = [volume + t["qty"], cost + value, realized]
        else:
            out = cost if t["qty"] >= volume else div(cost * t["qty"], volume)
            cash_u += to_cent(value) - sum(fees) * CENT
            gain = to_cent(value * volume - cost * t["qty"], volume)
            held[t["symbol"]] = [volume - t["qty"], cost - out, realized + gain]
    assert info["cash_balance"] == cents(cash_u)
    orders = [o for o in Equity.orders(ctx, account)["data"] if o["status"] in ("OPEN", "PARTIAL")]
    buys = sum(units(o["price"]) * o["balance"] for o in orders if o["side"] == "BUY")
    assert info["line_available"] == cents(cash_u + units(info["credit_limit"]) - div(buys * 10016, 10000))
    positions = {p["symbol"]: p for p in tv.get_investor_equity_portfolios(ctx, account)["data"]}
    for symbol, (volume, cost, realized) in held.items():
        p = positions[symbol]
        selling = sum(o["balance"] for o in orders if o["side"] == "SELL" and o["symbol"] == symbol)
        assert (p["actual_volume"], p["current_volume"]) == (volume, volume - selling)
        assert (p["amount"], p["realize_profit"]) == (cents(cost), cents(realized))
        assert p["average_price"] == pytest.approx(cost / volume / UNITS if volume else 0, rel=1e-12)
    return len(trades)


def check_derivatives(ctx, account, start, cash):
    info = tv.get_investor_derivatives_account_info(ctx, account)["data"]
    trades = Derivatives.trades(ctx, account)["data"]
    cash_u = units(cash)
    pos = defaultdict(lambda: {"LONG": [0, 0], "SHORT": [0, 0], "realized": 0})
    for s, p in start.items():
        pos[s]["LONG"] = [p["actual_long_position"], units(p["long_avg_price"]) * p["actual_long_position"]]
        pos[s]["SHORT"] = [p["actual_short_position"], units(p["short_avg_price"]) * p["actual_short_position"]]
    for t in sorted(trades, key=lambda t: t["ledger_seq"]):
        p, value = pos[t["symbol"]], units(t["px"]) * t["qty"]
        if t["open_close"] == "OPEN":
            qty, cost = p[t["side"]]
            p[t["side"]] = [qty + t["qty"], cost + value]
        else:
            closed = "SHORT" if t["side"] == "LONG" else "LONG"
            qty, cost = p[closed]
            assert qty >= t["qty"], "never closes more than it holds"
            out = cost if t["qty"] >= qty else div(cost * t["qty"], qty)
            # Multiplied while exact, rounded once to the cent.
            exact = (value * qty - cost * t["qty"]) * TERMS[t["symbol"]][0]
            realized = to_cent(exact if closed == "LONG" else -exact, qty)
            p["realized"] += realized
            cash_u += realized
            p[closed] = [qty - t["qty"], cost - out]
    assert info["cash_balance"] == cents(cash_u)
    orders = [o for o in Derivatives.orders(ctx, account)["data"] if o["status"] in ("OPEN", "PARTIAL", "PENDING")]
    positions = {p["symbol"]: p for p in tv.get_investor_derivatives_portfolios(ctx, account)["data"]}
    unrealized = mr = mm = 0
    for symbol in set(pos) | {o["symbol"] for o in orders}:
        p, (mult, im) = pos[symbol], TERMS[symbol]
        mine = [o for o in orders if o["symbol"] == symbol]
        reserved = {
            side: sum(o["balance_qty"] for o in mine if o["side"] == side and o["position"] == "CLOSE")
            for side in ("LONG", "SHORT")
        }
        held = p["LONG"][0] + p["SHORT"][0]
        opening = 0
        for side, opposite in (("LONG", "SHORT"), ("SHORT", "LONG")):
            active = [o for o in mine if o["side"] == side and o["status"] != "PENDING"]
            closable = max(0, p[opposite][0] - reserved[side])
            opening += sum(o["balance_qty"] for o in active if o["position"] == "OPEN")
            opening += max(0, sum(o["balance_qty"] for o in active if o["position"] == "AUTO") - closable)
        mr += im * UNITS * (held + opening)
        mm += div(im * UNITS * 7, 10) * held
        if symbol in positions:
            r = positions[symbol]
            mark = units(r["market_price"])
            unrealized += (mark * p["LONG"][0] - p["LONG"][1] + p["SHORT"][1] - mark * p["SHORT"][0]) * mult
            assert (r["actual_long_position"], r["actual_short_position"]) == (p["LONG"][0], p["SHORT"][0])
            assert (r["available_long_position"], r["available_short_position"]) == (
                p["LONG"][0] - reserved["SHORT"],
                p["SHORT"][0] - reserved["LONG"],
            )
            assert r["realized_pl"] == cents(p["realized"])
            for side, key in (("LONG", "long_avg_price"), ("SHORT", "short_avg_price")):
                qty, cost = p[side]
                assert r[key] == pytest.approx(cost / qty / UNITS if qty else 0, rel=1e-12)
        else:
            assert held == 0 and p["realized"] == 0
    equity = cash_u + unrealized
    assert (info["equity"], info["total_mr"], info["total_mm"]) == (cents(equity), cents(mr), cents(mm))
    assert info["excess_equity"] == cents(equity - mr)
    flag = "F" if equity * 2 < mm else "C" if equity < mm else "N"
    assert (info["call_force_flag"], info["call_force_margin"]) == (flag, 0 if flag == "N" else cents(mr - equity))
    return len(trades)


@pytest.mark.parametrize("seed", [7, 31])
def test_a_random_run_balances_to_the_cent(seed):
    people, start, cash, kinds = random_run(seed, 300)
    assert all(kinds[k] > 0 for k in ("eq", "dv", "stop", "change", "cancel", "batch", "report", "step")), kinds
    traded = 0
    for ctx, eq, dv in people:
        traded += check_equity(ctx, eq, start[eq], cash[eq])
        traded += check_derivatives(ctx, dv, start[dv], cash[dv])
    assert traded > 50


def test_fees_on_exact_ties_round_half_up_and_cash_is_exact():
    quiet_market(
        default_world=False,
        users=[{"id": "u", "secret": "s", "pin": PIN}, {"id": "v", "secret": "s", "pin": PIN}],
        equity_accounts=[
            {"account_no": "E-A", "owner": "u", "cash": 446599.54},
            {"account_no": "E-B", "owner": "v", "cash": 0},
        ],
        positions=[{"account_no": "E-B", "symbol": "BELNO", "volume": 100000, "price": 12.0}],
    )
    a, b = tv.login("u", "s", "", "", False), tv.login("v", "s", "", "", False)
    # 0.15% of 5,550 is 8.325: 8.33. 0.15% of 1,170 is 1.755: 1.76.
    for symbol, price, volume, fee in (("BELNO", 11.10, 500, 8.33), ("BELNO", 11.70, 100, 1.76)):
        placed(Equity.place(b, "E-B", "SELL", price, volume, symbol=symbol, bypass=True))
        placed(Equity.place(a, "E-A", "BUY", price, volume, symbol=symbol, bypass=True, pin=PIN))
        trade = Equity.trades(a, "E-A")["data"][-1]
        assert trade["brokerage_fee"] == fee
    info = tv.get_investor_equity_account_info(a, "E-A")["data"]
    spent = sum(
        t["px"] * t["qty"] + t["brokerage_fee"] + t["trading_fee"] + t["clearing_fee"]
        for t in Equity.trades(a, "E-A")["data"]
    )
    assert info["cash_balance"] == round(446599.54 - spent, 2)
    assert repr(info["cash_balance"]) == repr(round(info["cash_balance"], 2))


def test_auto_decides_at_fill_time_and_stop_close_reserves():
    # A resting SELL AUTO placed while flat, then a BUY of 1: the SELL closes it.
    quiet_market(
        default_world=False,
        users=[{"id": "u", "secret": "s", "pin": PIN}, {"id": "v", "secret": "s", "pin": PIN}],
        derivatives_accounts=[
            {"account_no": "D-A", "owner": "u", "cash": 1e6},
            {"account_no": "D-B", "owner": "v", "cash": 1e6},
        ],
    )
    a, b = tv.login("u", "s", "", "", False), tv.login("v", "s", "", "", False)
    placed(Derivatives.place(a, "D-A", "SHORT", 1001.0, 1, position="AUTO"))
    placed(Derivatives.place(b, "D-B", "SHORT", 1000.0, 1, position="OPEN"))
    placed(Derivatives.place(a, "D-A", "LONG", 1000.0, 1, position="AUTO"))
    placed(Derivatives.place(b, "D-B", "LONG", 1001.0, 1, position="OPEN"))
    (p,) = Derivatives.portfolios(a, "D-A")["data"]
    assert (p["actual_long_position"], p["actual_short_position"]) == (0, 0)
    assert [t["open_close"] for t in Derivatives.trades(a, "D-A")["data"]] == ["OPEN", "CLOSE"]
    assert tv.get_investor_derivatives_account_info(a, "D-A")["data"]["total_mr"] == 0
    # A pending stop CLOSE holds its contracts: another CLOSE for them is refused.
    placed(Derivatives.place(b, "D-B", "SHORT", 1000.0, 2, position="OPEN"))
    placed(Derivatives.place(a, "D-A", "LONG", 1000.0, 2, position="OPEN"))
    placed(
        Derivatives.place(
            a, "D-A", "SHORT", 990.0, 2, position="CLOSE", trigger=("LAST_PAID_OR_LOWER", "", 995.0), bypass=True
        )
    )
    env = Derivatives.place(a, "D-A", "SHORT", 1000.0, 1, position="CLOSE")
    assert (env["success"], env["message"].split(":")[0]) == (False, "INSUFFICIENT_POSITION")
    (p,) = Derivatives.portfolios(a, "D-A")["data"]
    assert (p["actual_long_position"], p["available_long_position"]) == (2, 0)


@pytest.mark.parametrize("volume", [2**31 - 1, 2**30 + 1])
def test_volumes_at_the_int32_edge_are_refused_not_wrapped(volume):
    with pytest.raises(ValueError, match="cash"):
        quiet_market(
            default_world=False,
            users=[{"id": "u", "secret": "s"}],
            equity_accounts=[{"account_no": "E-A", "owner": "u", "cash": 1e15}],
        )
    quiet_market(
        default_world=False,
        users=[{"id": "r", "secret": "s", "role": "marketrep"}, {"id": "u", "secret": "s"}],
        derivatives_accounts=[
            {"account_no": "D-A", "owner": "u", "cash": 1e13},
            {"account_no": "D-B", "owner": "u", "cash": 1e13},
        ],
        equity_accounts=[{"account_no": "E-A", "owner": "u", "cash": 1e13}],
    )
    rep, u = tv.login("r", "s", "", "", False), tv.login("u", "s", "", "", False)
    report = lambda: tv.place_marketrep_derivatives_trade_report(
        rep, "D-A", "T50H26", 1000.0, volume, "LONG", "OPEN", "D-B", "OPEN"
    )
    outcomes = [report(), report()]
    assert outcomes[1]["success"] is False and outcomes[1]["message"].startswith("BAD_VOLUME")
    for p in Derivatives.portfolios(u, "D-A")["data"]:
        assert 0 <= p["actual_long_position"] <= 2**31 - 1 and p["actual_short_position"] == 0
    info = tv.get_investor_derivatives_account_info(u, "D-A")["data"]
    assert info["total_mr"] >= 0 and info["equity"] > 0
    env = Equity.place(u, "E-A", "BUY", 12.3, volume - volume % 100, symbol="BELNO")
    assert env["success"] or env["message"].split(":")[0] in ("BAD_VOLUME", "INSUFFICIENT_FUNDS")


def test_a_band_across_tick_steps_takes_orders_on_every_step():
    # 22 +-30% spans the 0.10 step below 25 and the 0.25 step above it.
    quiet_market(instruments=[{"symbol": "TWENTY", "market": "equity", "price": 22.0}])
    a = login("inv001")
    for price in (15.5, 24.9, 25.25, 28.5):
        placed(Equity.place(a, "E-1001", "BUY", price, 100, symbol="TWENTY", bypass=True))
    assert [l["price"] for l in broker.state()["instruments"]["TWENTY"]["bids"]] == [28.5, 25.25, 24.9, 15.5]
    env = Equity.place(a, "E-1001", "BUY", 25.1, 100, symbol="TWENTY", bypass=True)
    assert env["message"].startswith("BAD_PRICE")
