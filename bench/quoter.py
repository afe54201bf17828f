"""A naive quoter against the sandbox's simulated market: is it too easy to win?

    .venv/bin/python bench/quoter.py [--seeds 20] [--seconds 3600] [--symbol ARVO|T50H26] [--informed-chance 0]

Each second (the clock stepped by hand) the quoter cancels its quotes, reads
the best bid and offer of the others, and posts one tick inside the spread on
each side; when only one price lies inside (the provider's usual two-tick
spread) it posts there on the side that brings it back towards its starting
holding. It has 200,000 of cash. Shares: 1,000 a quote, 2,000 held at the
start (at the reference price), between none and 4,000 held. Futures: one
contract a quote, flat at the start, between 4 short and 4 long. The hour's
P&L after fees is the change of cash plus the change of holding valued at the
final fair price (the starting shares' own price move is left out). The
market is a new instrument with the named one's parameters, alone in the
world. One simulated hour per seed; prints each seed's P&L, the mean, the
standard deviation and the t-statistic of the mean.
"""

import argparse
import json
import math
import statistics

import tavrolix_open_api as tv
from tavrolix_sandbox import broker

PIN, CASH = "0", 200_000.0
REFERENCE = {"ARVO": 45.25, "BELNO": 12.30, "CORIX": 231.0, "DANTA": 3.52, "EMBRA": 88.75}
LP_SIZE = {"ARVO": 20, "BELNO": 50, "CORIX": 10, "DANTA": 10, "EMBRA": 10}
FUTURES = {"T50H26": (0.1, 200.0)}  # tick, multiplier


class Shares:
    """1,000 shares a quote, starting with 2,000 held and holding 0 to 4,000."""

    account, size, start, low, high = "E-Q1", 1000, 2000, 0, 4000

    def __init__(self, template):
        # A new instrument made with the named one's parameters.
        self.template, self.symbol = template, "Q" + template

    def instrument(self):
        return {
            "symbol": self.symbol,
            "market": "equity",
            "price": REFERENCE[self.template],
            "lp_size": LP_SIZE[self.template],
        }

    def world(self):
        return dict(
            equity_accounts=[{"account_no": self.account, "owner": "q", "type": "CASH_BALANCE", "cash": CASH}],
            positions=[
                {
                    "account_no": self.account,
                    "symbol": self.symbol,
                    "volume": self.start,
                    "price": REFERENCE[self.template],
                }
            ],
        )

    def tick(self, price):
        return equity_tick(price)

    def account_of(self, st):
        """(cash, holding, value of the holding at the fair price)."""
        acc = st["equity_accounts"][self.account]
        pos = acc["positions"].get(self.symbol)
        held = int(pos["volume"]) if pos else 0
        return float(acc["cash"]), held, held * st["instruments"][self.symbol]["fair"]

    def place(self, ctx, side, price):
        return tv.place_investor_equity_order(
            ctx, self.account, self.symbol, price, self.size, side, PIN, "LIMIT", "DAY", "", "", False, 0, True
        )

    def cancel(self, ctx, no):
        tv.cancel_investor_equity_order(ctx, self.account, no, PIN)

    def subscribe(self, ctx, f):
        return tv.subscribe_equity_order(ctx, self.account, f)


class Futures(Shares):
    """One contract a quote, starting flat and holding -4 to 4."""

    account, size, start, low, high = "D-Q1", 1, 0, -4, 4

    def instrument(self):
        tick, mult = FUTURES[self.template]
        return {
            "symbol": self.symbol,
            "market": "derivatives",
            "price": 1000.0,
            "tick": tick,
            "multiplier": mult,
            "im": 12000,
            "limit": 0.1,
            "underlying": "T50",
        }

    def world(self):
        return dict(derivatives_accounts=[{"account_no": self.account, "owner": "q", "cash": CASH}])

    def tick(self, price):
        return FUTURES[self.template][0]

    def account_of(self, st):
        acc = st["derivatives_accounts"][self.account]
        pos = acc["positions"].get(self.symbol, {"long": 0, "short": 0, "long_avg": 0, "short_avg": 0})
        fair, mult = st["instruments"][self.symbol]["fair"], FUTURES[self.template][1]
        open_pnl = (pos["long"] * (fair - pos["long_avg"]) + pos["short"] * (pos["short_avg"] - fair)) * mult
        return float(acc["cash"]), pos["long"] - pos["short"], open_pnl

    def place(self, ctx, side, price):
        return tv.place_investor_derivatives_order(
            ctx, self.account, self.symbol, price, self.size, side, "AUTO", PIN, "LIMIT", "DAY", "", "", 0.0, True
        )

    def cancel(self, ctx, no):
        tv.cancel_investor_derivatives_order(ctx, self.account, no, PIN)

    def subscribe(self, ctx, f):
        return tv.subscribe_derivatives_order(ctx, self.account, f)


def equity_tick(price):
    for bound, tick in ((2, 0.01), (5, 0.02), (10, 0.05), (25, 0.10), (100, 0.25), (200, 0.50), (400, 1.0)):
        if price < bound:
            return tick
    return 2.0


def one_hour(seed, seconds, q, informed):
    """The quoter's P&L after fees over `seconds` of one seeded market."""
    instrument = q.instrument()
    if informed is not None:
        instrument["informed_chance"] = informed
    broker.reset(
        seed=seed,
        running=False,
        default_world=False,
        instruments=[instrument],
        users=[{"id": "q", "secret": "s", "pin": PIN}],
        **q.world(),
    )
    ctx = tv.login("q", "s", "", "", False)
    cash0, held, value0 = q.account_of(broker.state())
    # The book and the fills come on the streams; drain() after each call
    # makes them current, as a running clock's quoter would see them.
    book, fills = {}, [held]

    def on_fill(payload):
        e = json.loads(payload)
        if e["event"] == "MATCH":
            fills[0] += e["match_volume"] if e["side"] == "BUY" else -e["match_volume"]

    keys = [tv.subscribe_bid_offer(ctx, q.symbol, lambda p: book.update(json.loads(p))), q.subscribe(ctx, on_fill)]
    working = []
    for _ in range(seconds):
        for no in working:
            q.cancel(ctx, no)
        working = []
        broker.drain()
        held = fills[0]
        if book.get("bid_price") and book.get("ask_price"):
            bid, ask = book["bid_price"][0], book["ask_price"][0]
            buy, sell = round(bid + q.tick(bid), 2), round(ask - q.tick(ask - q.tick(bid)), 2)
            orders = []
            if buy < sell:
                orders = [("BUY", buy), ("SELL", sell)]
            elif buy == sell:
                orders = [("BUY", buy)] if held <= q.start else [("SELL", sell)]
            for side, price in orders:
                if (side == "BUY" and held + q.size > q.high) or (side == "SELL" and held - q.size < q.low):
                    continue
                env = q.place(ctx, side, price)
                if env["success"]:
                    working.append(env["data"]["order_no"])
        broker.step(1)
    for no in working:
        q.cancel(ctx, no)
    broker.drain()
    for key in keys:
        tv.unsubscribe(ctx["channel_id"], key)
    st = broker.state()
    cash, held, value = q.account_of(st)
    if isinstance(q, Futures):
        return cash - cash0 + value - value0
    # Shares: the starting holding's own price move is not the quoter's doing.
    return cash - cash0 + (held - q.start) * st["instruments"][q.symbol]["fair"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seeds", type=int, default=20)
    ap.add_argument("--seconds", type=int, default=3600)
    ap.add_argument("--symbol", default="ARVO", choices=sorted(LP_SIZE) + sorted(FUTURES))
    ap.add_argument("--informed-chance", type=float, default=None, help="0 switches the informed takers off")
    args = ap.parse_args()
    q = (Futures if args.symbol in FUTURES else Shares)(args.symbol)
    pnls = []
    for seed in range(1, args.seeds + 1):
        pnl = one_hour(seed, args.seconds, q, args.informed_chance)
        pnls.append(pnl)
        print("seed %2d  P&L %12.2f" % (seed, pnl), flush=True)
    mean = statistics.mean(pnls)
    sd = statistics.stdev(pnls) if len(pnls) > 1 else float("nan")
    t = mean / (sd / math.sqrt(len(pnls))) if sd and sd == sd else float("nan")
    print("mean %.2f  stdev %.2f  t %.2f  (%d seeds of %d s)" % (mean, sd, t, len(pnls), args.seconds))


if __name__ == "__main__":
    main()
