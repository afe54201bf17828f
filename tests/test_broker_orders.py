"""The sandbox broker's orders, end to end through the module: books with
price-time priority, fills, cancels, changes, refusals, stop orders, trade
reports, and who sees what."""

import pytest
import tavrolix_open_api as tv
from broker_markets import Derivatives, Equity, each_market, fill_state, login, placed, quiet_market
from tavrolix_sandbox import broker

pytestmark = pytest.mark.usefixtures("broker_world")


@pytest.fixture
def two():
    """Two investors of broker TVX in a market where only customers trade."""
    quiet_market()
    return login("inv001"), login("inv002")


def book(symbol):
    levels = broker.state()["instruments"][symbol]
    return [(l["price"], l["volume"]) for l in levels["bids"]], [(l["price"], l["volume"]) for l in levels["asks"]]


@each_market
def test_partial_fill_then_fill(two, mk):
    a, b = two
    buyer, seller = mk.account["inv001"], mk.account["inv002"]
    first = placed(mk.place(b, seller, "SELL", mk.price, 3 * mk.lot))
    assert fill_state(mk, mk.order(b, seller, first)["data"]) == ("OPEN", 0, 0, 3 * mk.lot)
    assert book(mk.symbol) == ([], [(mk.price, 3 * mk.lot)])

    bid = placed(mk.place(a, buyer, "BUY", mk.price, 5 * mk.lot))
    assert fill_state(mk, mk.order(a, buyer, bid)["data"]) == ("PARTIAL", 3 * mk.lot, 0, 2 * mk.lot)
    assert fill_state(mk, mk.order(b, seller, first)["data"]) == ("MATCHED", 3 * mk.lot, 0, 0)
    assert book(mk.symbol) == ([(mk.price, 2 * mk.lot)], [])

    second = placed(mk.place(b, seller, "SELL", mk.price - mk.tick, 2 * mk.lot))
    # The resting buyer's price, not the newcomer's.
    assert fill_state(mk, mk.order(a, buyer, bid)["data"]) == ("MATCHED", 5 * mk.lot, 0, 0)
    assert fill_state(mk, mk.order(b, seller, second)["data"]) == ("MATCHED", 2 * mk.lot, 0, 0)
    assert [t["px"] for t in mk.trades(a, buyer)["data"]] == [mk.price, mk.price]
    assert sum(t["qty"] for t in mk.trades(b, seller)["data"]) == 5 * mk.lot
    assert book(mk.symbol) == ([], [])


@each_market
def test_price_then_time_priority(two, mk):
    a, b = two
    seller = mk.account["inv002"]
    early = placed(mk.place(b, seller, "SELL", mk.price, mk.lot))
    late = placed(mk.place(b, seller, "SELL", mk.price, mk.lot))
    better = placed(mk.place(b, seller, "SELL", mk.price - mk.tick, mk.lot))
    placed(mk.place(a, mk.account["inv001"], "BUY", mk.price, 2 * mk.lot))
    status = {no: mk.order(b, seller, no)["data"]["status"] for no in (early, late, better)}
    assert status == {better: "MATCHED", early: "MATCHED", late: "OPEN"}


@each_market
def test_cancel_single(two, mk):
    a, b = two
    buyer, seller = mk.account["inv001"], mk.account["inv002"]
    resting = placed(mk.place(a, buyer, "BUY", mk.price, 4 * mk.lot))
    placed(mk.place(b, seller, "SELL", mk.price, mk.lot))
    env = mk.cancel(a, buyer, resting)
    assert (env["success"], env["status_code"], env["data"]) == (True, 200, {})
    assert str(resting) in env["message"]
    order = mk.order(a, buyer, resting)["data"]
    assert fill_state(mk, order) == ("CANCELLED", mk.lot, 3 * mk.lot, 0)
    assert book(mk.symbol) == ([], [])
    again = mk.cancel(a, buyer, resting)
    assert (again["success"], again["status_code"]) == (False, 409)
    assert again["message"].startswith("ORDER_NOT_CANCELLABLE")
    assert mk.cancel(a, buyer, mk.unknown_order)["status_code"] == 404
    assert mk.cancel(b, seller, resting)["status_code"] == 404  # not an order of that account
    assert mk.cancel(a, buyer, resting, pin="123456")["message"].startswith("WRONG_PIN")


@each_market
def test_batch_cancel_lists_only_failures(two, mk):
    a, b = two
    buyer, seller = mk.account["inv001"], mk.account["inv002"]
    open_one = placed(mk.place(a, buyer, "BUY", mk.price - mk.tick, mk.lot))
    open_two = placed(mk.place(a, buyer, "BUY", mk.price - 2 * mk.tick, mk.lot))
    filled = placed(mk.place(a, buyer, "BUY", mk.price, mk.lot))
    placed(mk.place(b, seller, "SELL", mk.price, mk.lot))
    others = placed(mk.place(b, seller, "SELL", mk.price + mk.tick, mk.lot))
    env = mk.cancel_many(a, buyer, [open_one, filled, mk.unknown_order, others, open_two])
    assert (env["success"], env["status_code"], env["message"]) == (True, 200, "")
    failures = {
        e["order_no"]: (e["http_status_code"], e["http_status"], e["error_response"]["code"]) for e in env["data"]
    }
    assert failures == {
        filled: (409, "409 Conflict", "ORDER_NOT_CANCELLABLE"),
        mk.unknown_order: (404, "404 Not Found", "ORDER_NOT_FOUND"),
        others: (404, "404 Not Found", "ORDER_NOT_FOUND"),
    }
    assert all(e["error_response"]["message"] for e in env["data"])
    assert [mk.order(a, buyer, no)["data"]["status"] for no in (open_one, open_two)] == ["CANCELLED"] * 2
    assert mk.order(b, seller, others)["data"]["status"] == "OPEN"
    assert mk.cancel_many(a, buyer, [])["data"] == []


@each_market
def test_change_price_and_volume(two, mk):
    a, b = two
    buyer, seller = mk.account["inv001"], mk.account["inv002"]
    first = placed(mk.place(a, buyer, "BUY", mk.price - mk.tick, 3 * mk.lot))
    second = placed(mk.place(a, buyer, "BUY", mk.price - mk.tick, 3 * mk.lot))
    # A lower volume keeps the queue place; a higher one goes to the back.
    assert mk.change(a, buyer, first, 0.0, 2 * mk.lot)["success"]
    assert mk.change(a, buyer, second, 0.0, 4 * mk.lot)["success"]
    placed(mk.place(b, seller, "SELL", mk.price - mk.tick, mk.lot))
    one, two_ = mk.order(a, buyer, first)["data"], mk.order(a, buyer, second)["data"]
    assert (one[mk.keys["qty"]], one[mk.keys["matched"]], one["version"]) == (2 * mk.lot, mk.lot, 2)
    assert (two_[mk.keys["qty"]], two_[mk.keys["matched"]], two_["version"]) == (4 * mk.lot, 0, 2)
    # A new price crossing the book matches at once.
    placed(mk.place(b, seller, "SELL", mk.price + mk.tick, 5 * mk.lot))
    env = mk.change(a, buyer, second, mk.price + mk.tick, 0)
    assert (env["success"], env["data"]) == (True, {}) and env["message"]
    changed = mk.order(a, buyer, second)["data"]
    assert (changed["price"], changed["status"], changed["version"]) == (mk.price + mk.tick, "MATCHED", 3)
    refused = [
        mk.change(a, buyer, first, 0.0, mk.lot),
        mk.change(a, buyer, first, 0.0, 0),
        mk.change(a, buyer, second, mk.price, 0),
        mk.change(a, buyer, mk.unknown_order, mk.price, 0),
    ]
    assert [(e["success"], e["status_code"], e["message"].split(":")[0]) for e in refused] == [
        (False, 400, "BAD_VOLUME"),
        (False, 400, "NO_CHANGE"),
        (False, 409, "ORDER_NOT_CHANGEABLE"),
        (False, 404, "ORDER_NOT_FOUND"),
    ]


@pytest.mark.parametrize(
    "mk, args, status, code",
    [
        (Equity, dict(symbol="NOPE"), 400, "UNKNOWN_SYMBOL"),
        (Equity, dict(symbol="T50H26"), 400, "UNKNOWN_SYMBOL"),
        (Equity, dict(price=3.53), 400, "BAD_PRICE"),
        (Equity, dict(price=0.0), 400, "BAD_PRICE"),
        (Equity, dict(volume=150), 400, "BAD_VOLUME"),
        (Equity, dict(volume=0), 400, "BAD_VOLUME"),
        (Equity, dict(price=4.60, bypass=True), 422, "PRICE_LIMIT"),
        (Equity, dict(price=4.20), 422, "PRICE_WARNING"),
        (Equity, dict(volume=400000), 422, "INSUFFICIENT_FUNDS"),
        (Equity, dict(side="SELL", symbol="EMBRA", price=88.75), 422, "INSUFFICIENT_POSITION"),
        (
            Equity,
            dict(side="SELL", volume=20000, symbol="BELNO", price=12.3, account="E-1002"),
            422,
            "INSUFFICIENT_POSITION",
        ),
        (Equity, dict(side="HOLD"), 400, "BAD_SIDE"),
        (Equity, dict(side="LONG"), 400, "BAD_SIDE"),
        (Equity, dict(price_type="STOP"), 400, "BAD_PRICE_TYPE"),
        (Equity, dict(validity="GTC"), 400, "BAD_VALIDITY"),
        (Equity, dict(iceberg=50), 400, "BAD_ICEBERG"),
        (Equity, dict(pin="999999"), 401, "WRONG_PIN"),
        (Derivatives, dict(symbol="DANTA"), 400, "UNKNOWN_SYMBOL"),
        (Derivatives, dict(price=1000.05), 400, "BAD_PRICE"),
        (Derivatives, dict(price=1200.0, bypass=True), 422, "PRICE_LIMIT"),
        (Derivatives, dict(price=1060.0), 422, "PRICE_WARNING"),
        (Derivatives, dict(volume=60), 422, "INSUFFICIENT_FUNDS"),
        (Derivatives, dict(side="SELL", position="CLOSE", volume=3), 422, "INSUFFICIENT_POSITION"),
        (Derivatives, dict(position="HEDGE"), 400, "BAD_POSITION"),
        (Derivatives, dict(trigger=("SOMETIMES", "", 990.0)), 400, "BAD_TRIGGER"),
        (Derivatives, dict(trigger=("LAST_PAID_OR_LOWER", "NOPE", 990.0)), 400, "BAD_TRIGGER"),
    ],
)
def test_refusals_name_their_reason(two, mk, args, status, code):
    a, _ = two
    args = dict(args)
    account = args.pop("account", mk.account["inv001"])
    call = dict(side="BUY", price=mk.price, volume=mk.lot)
    call.update(args)
    env = mk.place(a, account, call.pop("side"), call.pop("price"), call.pop("volume"), **call)
    assert (env["success"], env["status_code"], env["data"]) == (False, status, {})
    assert env["message"].startswith(code + ": ")
    assert mk.orders(a, account)["data"] == []


def test_bypass_warning_places_far_prices(two):
    a, _ = two
    assert placed(Equity.place(a, "E-1001", "BUY", 4.20, 100, bypass=True))
    assert placed(Derivatives.place(a, "D-1001", "BUY", 1060.0, 1, bypass=True))


@each_market
@pytest.mark.parametrize(
    "price_type, validity, resting, status, matched",
    [
        ("LIMIT", "IOC", 2, "EXPIRED", 2),
        ("LIMIT", "FOK", 2, "EXPIRED", 0),
        ("LIMIT", "FOK", 5, "MATCHED", 4),
        ("MARKET", "DAY", 2, "EXPIRED", 2),
        ("MARKET", "IOC", 5, "MATCHED", 4),
    ],
)
def test_immediate_orders_never_rest(two, mk, price_type, validity, resting, status, matched):
    a, b = two
    buyer, seller = mk.account["inv001"], mk.account["inv002"]
    placed(mk.place(b, seller, "SELL", mk.price, resting * mk.lot))
    no = placed(mk.place(a, buyer, "BUY", mk.price, 4 * mk.lot, price_type=price_type, validity=validity))
    order = mk.order(a, buyer, no)["data"]
    assert fill_state(mk, order) == (status, matched * mk.lot, (4 - matched) * mk.lot, 0)
    assert (order["reject_reason"] is None) == (status == "MATCHED")
    assert book(mk.symbol)[0] == []
    assert sum(t["qty"] for t in mk.trades(a, buyer)["data"]) == matched * mk.lot


def test_market_order_sweeps_levels_at_their_prices(two):
    a, b = two
    for price, volume in ((3.52, 100), (3.54, 200), (3.60, 300)):
        placed(Equity.place(b, "E-2001", "SELL", price, volume))
    placed(Equity.place(a, "E-1001", "BUY", 0.0, 400, price_type="MARKET"))
    assert [(t["px"], t["qty"]) for t in Equity.trades(a, "E-1001")["data"]] == [(3.52, 100), (3.54, 200), (3.60, 100)]
    assert book("DANTA") == ([], [(3.60, 200)])


def test_iceberg_shows_a_slice_and_requeues_it(two):
    a, b = two
    ice = placed(Equity.place(b, "E-2001", "SELL", 3.52, 1000, iceberg=300))
    plain = placed(Equity.place(b, "E-2001", "SELL", 3.52, 200))
    assert book("DANTA")[1] == [(3.52, 500)]
    placed(Equity.place(a, "E-1001", "BUY", 3.52, 400))
    # 300 from the iceberg's first slice, then the plain order, queued ahead of its second slice.
    assert Equity.order(b, "E-2001", ice)["data"]["matched"] == 300
    assert Equity.order(b, "E-2001", plain)["data"]["matched"] == 100
    assert book("DANTA")[1] == [(3.52, 400)]


def test_stop_order_waits_for_its_trigger(two):
    a, b = two
    stop = placed(Derivatives.place(a, "D-1001", "BUY", 1003.0, 1, trigger=("LAST_PAID_OR_HIGHER", "", 1002.0)))
    pending = Derivatives.order(a, "D-1001", stop)["data"]
    assert (pending["status"], pending["is_stop_order_not_activate"], pending["tfx_order_no"]) == ("PENDING", "Y", None)
    assert (pending["trigger_condition"], pending["trigger_symbol"], pending["trigger_price"]) == (
        "LAST_PAID_OR_HIGHER",
        "T50H26",
        1002.0,
    )
    placed(Derivatives.place(b, "D-2001", "SELL", 1001.0, 1))
    placed(Derivatives.place(a, "D-1001", "BUY", 1001.0, 1))  # last 1001: not yet
    assert Derivatives.order(a, "D-1001", stop)["data"]["status"] == "PENDING"
    placed(Derivatives.place(b, "D-2001", "SELL", 1002.0, 2))
    placed(Derivatives.place(a, "D-1001", "BUY", 1002.0, 1))  # last 1002: the stop enters and takes the rest
    active = Derivatives.order(a, "D-1001", stop)["data"]
    assert (active["status"], active["is_stop_order_not_activate"], active["match_qty"]) == ("MATCHED", "N", 1)
    assert active["tfx_order_no"]
    assert [t["px"] for t in Derivatives.trades(a, "D-1001")["data"] if t["order_no"] == stop] == [1002.0]


def test_stop_order_refused_at_trigger_without_margin(two):
    a, b = two
    broker.seed(
        derivatives_accounts=[{"account_no": "D-1001", "owner": "inv001", "cash": 20000, "credit_line": 0}],
        positions=[{"account_no": "D-1001", "symbol": "T50H26", "long": 0}],
    )
    stop = placed(Derivatives.place(a, "D-1001", "BUY", 1001.0, 1, trigger=("LAST_PAID_OR_HIGHER", "", 1000.0)))
    # Margin taken by another order in the meantime.
    placed(Derivatives.place(a, "D-1001", "BUY", 990.0, 1))
    placed(Derivatives.place(b, "D-2001", "SELL", 1000.0, 1))
    placed(Derivatives.place(b, "D-2001", "BUY", 1000.0, 1))
    order = Derivatives.order(a, "D-1001", stop)["data"]
    assert (order["status"], order["reject_code"]) == ("REJECTED", 2001)
    assert order["reject_reason"].startswith("INSUFFICIENT_FUNDS")


def test_trade_report_books_both_sides():
    quiet_market()
    rep = login("mkt001")
    env = tv.place_marketrep_derivatives_trade_report(
        rep, "D-1001", "T50H26", 1004.5, 2, "SHORT", "CLOSE", "D-2001", "OPEN"
    )
    assert (env["success"], env["status_code"]) == (True, 200)
    ours, theirs = env["data"]
    for account, no, side, open_close in (("D-1001", ours, "SHORT", "CLOSE"), ("D-2001", theirs, "LONG", "OPEN")):
        order = tv.get_marketrep_derivatives_order(rep, no)["data"]
        assert (order["account_no"], order["side"], order["status"], order["match_qty"]) == (
            account,
            side,
            "MATCHED",
            2,
        )
        (trade,) = [t for t in tv.get_marketrep_derivatives_trades(rep, account)["data"] if t["order_no"] == no]
        assert (trade["trade_type"], trade["open_close"], trade["px"], trade["qty"]) == (
            "TRADE_REPORT",
            open_close,
            1004.5,
            2,
        )
    (long,) = tv.get_marketrep_derivatives_portfolios(rep, "D-1001")["data"]
    assert (long["actual_long_position"], long["realized_pl"]) == (0, (1004.5 - 990.0) * 2 * 200)
    # Off the book: no price, no candle.
    assert broker.state()["instruments"]["T50H26"]["last"] is None
    external = tv.place_marketrep_derivatives_trade_report(rep, "D-2001", "T50H26", 1000.0, 1, "LONG", "AUTO", "", "")
    assert len(external["data"]) == 1
    refused = [
        tv.place_marketrep_derivatives_trade_report(rep, "D-1001", "T50H26", 1004.5, 1, "SHORT", "CLOSE", "D-3001", ""),
        tv.place_marketrep_derivatives_trade_report(rep, "D-1001", "ARVO", 45.0, 1, "SHORT", "", "", ""),
        tv.place_marketrep_derivatives_trade_report(rep, "D-1001", "T50H26", 1004.5, 9, "SHORT", "CLOSE", "", ""),
    ]
    assert [(e["success"], e["status_code"]) for e in refused] == [(False, 404), (False, 400), (False, 422)]


def test_who_sees_which_orders():
    quiet_market()
    a, b, c = login("inv001"), login("inv002"), login("inv003")
    rep, other_rep = login("mkt001"), login("mkt002")
    mine = placed(Equity.place(a, "E-1001", "BUY", 3.50, 100))
    theirs = placed(Equity.place(b, "E-2001", "SELL", 3.60, 100))
    far = placed(Equity.place(c, "E-3001", "BUY", 3.40, 100))
    by_rep = placed(Equity.place_marketrep(rep, "E-2001", "SELL", 3.62, 100))
    assert [o["order_no"] for o in tv.get_marketrep_equity_orders(rep)["data"]] == [mine, theirs, by_rep]
    assert [o["order_no"] for o in tv.get_marketrep_equity_orders(other_rep)["data"]] == [far]
    assert [o["order_no"] for o in tv.get_marketrep_equity_orders_by_account_no(rep, "E-2001")["data"]] == [
        theirs,
        by_rep,
    ]
    assert tv.get_marketrep_equity_order(rep, by_rep)["data"]["enter_id"] == "mkt001"
    assert tv.get_marketrep_equity_order(other_rep, mine)["status_code"] == 404
    assert tv.get_investor_equity_order(b, "E-2001", mine)["status_code"] == 404
    assert tv.get_investor_equity_orders(b, "E-1001")["status_code"] == 404
    assert Equity.place_marketrep(other_rep, "E-1001", "BUY", 3.50, 100)["status_code"] == 404
    assert tv.cancel_marketrep_equity_order(rep, "E-2001", theirs)["success"]
    d = placed(Derivatives.place_marketrep(rep, "D-2001", "SELL", 1000.0, 1))
    assert [o["order_no"] for o in tv.get_marketrep_derivatives_orders_by_account_no(rep, "D-2001")["data"]] == [d]
    assert tv.get_marketrep_derivatives_orders(other_rep)["data"] == []
    assert tv.get_investor_derivatives_order(a, "D-1001", d)["status_code"] == 404


def test_marketrep_moves_an_unmatched_order_to_another_account():
    quiet_market()
    rep = login("mkt001")
    no = placed(Derivatives.place_marketrep(rep, "D-1001", "BUY", 999.0, 1))
    env = tv.change_marketrep_derivatives_order(rep, "D-1001", no, "D-2001", 0.0, 0, "", "")
    assert env["success"], env["message"]
    assert tv.get_marketrep_derivatives_order(rep, no)["data"]["account_no"] == "D-2001"
    assert [o["order_no"] for o in tv.get_marketrep_derivatives_orders_by_account_no(rep, "D-2001")["data"]] == [no]
    assert tv.get_marketrep_derivatives_orders_by_account_no(rep, "D-1001")["data"] == []
    assert not tv.change_marketrep_derivatives_order(rep, "D-2001", no, "D-3001", 0.0, 0, "", "")["success"]


def test_liquidity_provider_quotes_around_the_price_and_fills_crossed_orders():
    broker.reset(seed=5, running=False, activity=False)
    a = login("inv001")
    bids, asks = book("ARVO")
    assert len(bids) == len(asks) == 5 and bids[0][0] < 45.25 < asks[0][0]
    resting = placed(Equity.place(a, "E-1001", "BUY", 44.50, 300, symbol="ARVO"))
    broker.set_price("ARVO", 44.00)
    order = Equity.order(a, "E-1001", resting)["data"]
    assert (order["status"], order["matched"]) == ("MATCHED", 300)
    assert [t["px"] for t in Equity.trades(a, "E-1001")["data"]] == [44.50]
    bids, asks = book("ARVO")
    assert bids[0][0] < 44.00 < asks[0][0]
