"""The replay keeps the exchange's rules: a print's volume is shared, IOC and
FOK are immediate, a MARKET buy never spends more than it held, the replayed
clock opens and closes the session, the live clock stays out of a loaded
history, nothing outlives its day unseen, history's own symbols have no band,
and what the records cannot hold is refused at load."""

import time

import pytest
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from tavrolix_sandbox import broker
from tavrolix_sandbox import fills as F
from tavrolix_sandbox import history as H

T0 = 1772445600  # 2026-03-02T10:00:00Z, a Monday
DAY = 86400
SESSION = {"open": "09:00", "close": "16:00"}


@pytest.fixture(autouse=True)
def quiet_world():
    sbx.use_broker()
    broker.reset(running=False, liquidity=False, activity=False)
    yield
    broker.reset(running=False)


def login(user="inv001"):
    return tv.login(user, user + "-secret", "", "", False)


def place(ctx, side, volume, price=0.0, kind="LIMIT", validity="DAY", symbol="ARVO", account="E-1001"):
    return tv.place_investor_equity_order(
        ctx, account, symbol, price, volume, side, "000000", kind, validity, "", "", False, 0, True
    )


def placed(r):
    assert r["success"], r
    return r["data"]["order_no"]


def orders(ctx, account="E-1001"):
    return {o["order_no"]: o for o in tv.get_investor_equity_orders(ctx, account)["data"]}


def fills_by_order(ctx, account="E-1001"):
    out = {}
    for t in tv.get_investor_equity_trades(ctx, account)["data"]:
        out[t["order_no"]] = out.get(t["order_no"], 0) + t["qty"]
    return out


def tape(prints, quote_volume=300):
    q = H.quotes(
        [{"time": T0, "bid": 45.0, "bid_volume": quote_volume, "ask": 45.25, "ask_volume": 200}],
        symbol="ARVO",
        tick=H.EQUITY_TICKS,
    )
    return q + H.trades(prints, symbol="ARVO", tick=H.EQUITY_TICKS)


# ------------------------------------------------------------ 1. a print is shared
PRINTS = [(T0 + 1, 45.0, 100, -1), (T0 + 2, 45.0, 350, -1), (T0 + 3, 45.0, 100, 0), (T0 + 4, 45.0, 40, 1)]


@pytest.mark.parametrize("pieces", [[300], [100, 100, 100], [100, 200, 100]])
def test_a_print_is_shared_in_time_priority_and_splitting_an_order_gains_nothing(pieces):
    h = tape(PRINTS)
    broker.replay(h)
    broker.replay_step(1)  # the quote: 300 bid at 45.00
    ctx = login()
    numbers = [placed(place(ctx, "BUY", n, 45.0)) for n in pieces]
    broker.replay_step(10)
    got = fills_by_order(ctx)
    # The reference, with the same orders queued behind the same 300.
    queues = [F.QueuedOrder("BUY", 45.0, n, 300) for n in pieces]
    want = [0] * len(pieces)
    for row in h.series[1]:
        for k, n in enumerate(F.share_print(queues, row["price"], row["volume"], row["side"])):
            want[k] += n
    assert [got.get(no, 0) for no in numbers] == want
    # 300 ahead, then 100 + 350 + 100 by sellers or unknown: 250 left for us, however split.
    assert sum(want) == 250
    assert want[0] == min(pieces[0], 250)  # time priority: the first order first


def test_three_orders_on_one_print_share_its_volume_in_the_reference_too():
    queues = [F.QueuedOrder("BUY", 45.0, 100) for _ in range(3)]
    assert F.share_print(queues, 45.0, 100, 0) == [100, 0, 0]
    assert F.share_print(queues, 45.0, 150, -1) == [0, 100, 50]
    # Through the level: everything left fills.
    assert F.share_print(queues, 44.75, 1, -1) == [0, 0, 50]
    run = F.run_trades(
        H.trades([(T0, 45.25, 10, 0), (T0 + 1, 45.0, 100, 0)], symbol="ARVO", tick=H.EQUITY_TICKS),
        lambda ctx: [ctx.buy(100, 45.0) for _ in range(3)] if ctx.i == 0 else None,
        cash=100000,
    )
    assert sum(t["qty"] for t in run.trades) == 100


# ------------------------------------------------------------ 2. IOC and FOK are immediate
def test_market_ioc_and_fok_on_a_replayed_instrument_end_at_once():
    broker.replay(tape(PRINTS))
    broker.replay_step(1)
    ctx = login()
    ioc = placed(place(ctx, "BUY", 100, kind="MARKET", validity="IOC"))
    fok = placed(place(ctx, "BUY", 100, kind="MARKET", validity="FOK"))
    day = placed(place(ctx, "BUY", 100, kind="MARKET"))
    now = orders(ctx)
    assert (now[ioc]["status"], now[fok]["status"]) == ("EXPIRED", "EXPIRED")
    assert now[day]["status"] == "OPEN"
    broker.replay_step(10)
    got = fills_by_order(ctx)
    assert ioc not in got and fok not in got and got[day] == 100


# ------------------------------------------------------------ 3. a MARKET buy within its hold
def test_a_market_buy_of_a_cash_account_never_overdraws_it_on_a_gap():
    broker.seed(equity_accounts=[{"account_no": "E-3001", "cash": 10000}])
    bars = H.bars(
        [("2026-03-02", 100.0, 101.0, 99.0, 100.0, 1000), ("2026-03-03", 130.0, 131.0, 129.0, 130.0, 1000)],
        symbol="XGAP",
        tick=0.01,
    )
    broker.replay(bars)
    broker.replay_step(1)
    ctx = login("inv003")
    no = placed(place(ctx, "BUY", 99, kind="MARKET", symbol="XGAP", account="E-3001"))
    broker.replay_step(1)  # opens at 130: what the hold (99 at 100) covers is 76
    account = tv.get_investor_equity_account_info(ctx, "E-3001")["data"]
    assert fills_by_order(ctx, "E-3001") == {no: 76}
    assert account["cash_balance"] >= 0 and account["line_available"] >= 0
    assert orders(ctx, "E-3001")[no]["status"] == "EXPIRED"
    ref = F.run_bars(bars, lambda c: c.buy(99) if c.i == 0 else None, cash=10000)
    assert [(t["qty"], t["px"]) for t in ref.trades] == [(76, 130.0)]


# ------------------------------------------------------------ 4. the session follows the replayed clock
def test_the_replayed_clock_opens_and_closes_the_session():
    broker.reset(running=False, liquidity=False, activity=False, session=SESSION, start="2026-03-01T20:00")
    ctx = login()
    assert place(ctx, "BUY", 100, 45.0)["message"].startswith("MARKET_CLOSED")
    rows = [(T0, 45.0, 10, 0), (T0 + 6 * 3600 + 1800, 45.25, 10, 0), (T0 + DAY - 1800, 45.5, 10, 0)]
    broker.replay(H.trades(rows, symbol="ARVO", tick=H.EQUITY_TICKS))  # Monday 10:00, 16:30, Tuesday 09:30
    assert broker.state()["session_open"]
    day_order = placed(place(ctx, "BUY", 100, 44.0))
    broker.replay_step(2)  # past the close
    assert orders(ctx)[day_order]["status"] == "EXPIRED"
    assert place(ctx, "BUY", 100, 45.0)["message"].startswith("MARKET_CLOSED")
    broker.replay_step(1)  # Tuesday's open came first
    placed(place(ctx, "BUY", 100, 44.0))


def test_a_replayed_midnight_starts_the_day_from_the_last_price_as_an_open_does():
    rows = [(T0, 45.0, 100, 0), (T0 + 60, 45.5, 100, 0), (T0 + DAY, 46.0, 10, 0)]
    quote = [(T0 + DAY - 60, 45.25, 45.75, 5, 5)]  # Tuesday 09:59: the day began, nothing traded
    broker.replay(H.trades(rows, symbol="ARVO", tick=H.EQUITY_TICKS) + H.quotes(quote, symbol="ARVO"))

    def arvo():
        a = broker.state()["instruments"]["ARVO"]
        return a["last"], a["volume"], a["reference"], a["candles"]

    broker.replay_step(2)
    assert arvo() == (45.5, 200, 45.0, 2)
    ceiling = broker.state()["instruments"]["ARVO"]["ceiling"]
    broker.replay_step(1)
    assert arvo() == (None, 0, 45.5, 2)
    assert broker.state()["instruments"]["ARVO"]["ceiling"] > ceiling
    broker.replay_step(1)
    assert arvo() == (46.0, 10, 45.5, 3)


# ------------------------------------------------------------ 5. the live clock stays out
def test_the_live_clock_is_refused_while_a_history_is_loaded():
    broker.replay(tape(PRINTS))
    before = broker.state()["time"]
    with pytest.raises(ValueError, match="history is loaded"):
        broker.step(60)
    with pytest.raises(ValueError, match="history is loaded"):
        broker.run(0.01)
    assert broker.state()["time"] == before and not broker.state()["running"]
    broker.replay_step(2)
    assert [t["time"] for t in broker.state()["tape"] if t["symbol"] == "ARVO"][-1:] == [T0 + 1]
    broker.reset(running=False)
    broker.step(1)  # a new world has the live clock back


# ------------------------------------------------------------ 6. nothing outlives its day unseen
def test_stop_orders_of_any_validity_end_at_the_close_with_their_event():
    broker.reset(running=False, liquidity=False, activity=False, session=SESSION, start="2026-03-02T15:59")
    ctx = login()
    stops = []
    for validity in ("IOC", "FOK"):
        r = tv.place_investor_derivatives_order(
            ctx, "D-1001", "T50H26", 0.0, 1, "SHORT", "CLOSE", "000000", "MARKET", validity,
            "LAST_PAID_OR_LOWER", "T50H26", 500.0, True,
        )  # fmt: skip
        assert r["success"], r
        stops.append(r["data"]["order_no"])
    seen = []
    key = tv.subscribe_derivatives_order(ctx, "D-1001", seen.append)
    broker.step(120)  # 16:01: closed
    mine = {o["order_no"]: o for o in tv.get_investor_derivatives_orders(ctx, "D-1001")["data"]}
    assert all(mine[n]["status"] == "EXPIRED" for n in stops)
    broker.step(17 * 3600)  # Tuesday 09:01: open
    listed = tv.get_investor_derivatives_orders(ctx, "D-1001")["data"]
    assert not [o for o in listed if o["status"] == "PENDING"]
    r = tv.place_investor_derivatives_order(
        ctx, "D-1001", "T50H26", 1000.0, 2, "SHORT", "CLOSE", "000000", "LIMIT", "DAY", "", "", 0.0, True
    )
    assert r["success"], r  # the two contracts are no longer held by orders nobody sees
    assert broker.drain()
    tv.unsubscribe(ctx["channel_id"], key)
    ends = [p for p in seen if '"EXPIRE"' in p]
    assert len(ends) == 2 and all("the session closed" in p for p in ends)


# ------------------------------------------------------------ 7. no band on history's own symbols
def test_a_symbol_defined_from_history_has_no_band_unless_asked():
    rows = [("2026-03-02", 100.0, 101.0, 99.0, 100.0, 1000), ("2026-03-03", 119.0, 125.0, 118.0, 124.0, 1000)]
    broker.replay(H.bars(rows, symbol="XCOIN", tick=0.01))
    broker.replay_step(2)
    ctx = login()
    placed(place(ctx, "BUY", 1, 150.0, symbol="XCOIN"))  # 21% above the close: no band, no warning
    placed(place(ctx, "BUY", 1, 40.0, symbol="XCOIN"))
    broker.reset(running=False, liquidity=False, activity=False)
    broker.replay(
        H.bars(rows, symbol="XCOIN", tick=0.01), instruments=[{"symbol": "XCOIN", "tick": 0.01, "lot": 1, "limit": 0.1}]
    )
    broker.replay_step(2)
    assert place(login(), "BUY", 1, 150.0, symbol="XCOIN")["message"].startswith("PRICE_LIMIT")


def test_a_market_buy_without_a_band_holds_at_the_last_price():
    rows = [("2026-03-02", 100.0, 101.0, 99.0, 100.0, 1000), ("2026-03-03", 100.0, 101.0, 99.0, 100.0, 1000)]
    broker.replay(H.bars(rows, symbol="XCOIN", tick=0.01))
    broker.replay_step(1)
    ctx = login("inv003")
    before = tv.get_investor_equity_account_info(ctx, "E-3001")["data"]["line_available"]
    placed(place(ctx, "BUY", 100, kind="MARKET", symbol="XCOIN", account="E-3001"))
    after = tv.get_investor_equity_account_info(ctx, "E-3001")["data"]["line_available"]
    assert 10000 <= before - after <= 10000 * 1.0016 + 0.01


# ------------------------------------------------------------ 8, 9. speed and times at the edges
def test_a_tiny_speed_waits_and_a_bad_one_is_refused():
    rows = [(T0 + 60 * i, 45.0, 10, 0) for i in range(5)]
    broker.replay(H.trades(rows, symbol="ARVO", tick=H.EQUITY_TICKS))
    broker.replay_run(1e-12)
    deadline = time.time() + 0.5
    while broker.replay_state()["done"] < 5 and time.time() < deadline:
        time.sleep(0.01)
    assert broker.replay_state()["done"] <= 1 and broker.replay_state()["running"]
    broker.replay_stop()
    assert not broker.replay_state()["running"]
    with pytest.raises(ValueError):
        broker.replay_run(float("nan"))


@pytest.mark.parametrize("t", [2**31, 4102444800, -(2**31), -(2**31) + 86400])  # 2038, 2100, 1901
def test_times_the_records_cannot_hold_are_refused_at_load(t):
    blob = H.trades([(t, 45.0, 10, 0)], symbol="ARVO", tick=H.EQUITY_TICKS).pack()
    with pytest.raises(ValueError, match="outside what the records hold"):
        broker.replay(blob)
    assert not broker.replay_state()["loaded"]


def test_the_last_time_the_records_hold_is_replayed_into_a_candle():
    last = 2**31 - 1
    broker.replay(H.trades([(last - 60, 45.0, 10, 0), (last, 45.25, 10, 0)], symbol="ARVO", tick=H.EQUITY_TICKS))
    broker.replay_step(2)
    d = tv.get_candlesticks(login(), "ARVO", "1m", 10, False, "", "")["data"]
    assert d["time"][-1] == last - last % 60 and d["close"][-1] == 45.25
