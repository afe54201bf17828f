"""Is there a free lunch in the simulated market? Three simple rules, each an
hour per seed on ARVO from account E-1001 after reset(seed=s,
history_minutes=30), the clock stepped by hand one second at a time:

- quoter: one bid and one ask of 500 around an exponential average (weight
  0.05) of the shown mid, one tick inside the others' spread when it can
  (never crossing), skewed by -inventory/1,000 x 2 ticks, re-priced every
  second with change; a side is pulled at +-1,000 shares of inventory.
- momentum: every 30 s, buys 500 at market when the shown mid rose over the
  last 30 s, sells 500 when it fell (inventory within +-1,000).
- reversion: every 30 s, sells 500 at market when the shown mid is half a tick
  or more above its exponential average (weight 0.05), buys when as far below.

P&L after fees: change of cash plus the change of holding valued at the final
fair price. Prints each rule's mean an hour, its standard deviation, the
t-statistic of the mean over the seeds and the fills an hour.

    .venv/bin/python bench/market.py [--seeds 301-320] [--seconds 3600] [--rules quoter,momentum,reversion]
"""

import argparse
import json
import math
import statistics

import tavrolix_open_api as tv
from tavrolix_sandbox import broker

PIN, ACCOUNT, SYMBOL, SIZE, LIMIT = "000000", "E-1001", "ARVO", 500, 1000


def tick_at(price):
    for bound, tick in ((2, 0.01), (5, 0.02), (10, 0.05), (25, 0.10), (100, 0.25), (200, 0.50), (400, 1.0)):
        if price < bound:
            return tick
    return 2.0


def others(prices, volumes, mine):
    """Best price of a side not counting the rule's own resting volume."""
    for price, volume in zip(prices, volumes):
        if volume > mine.get(price, 0):
            return price
    return None


def holding(ctx):
    for p in tv.get_investor_equity_portfolios(ctx, ACCOUNT)["data"]:
        if p["symbol"] == SYMBOL:
            return int(p["actual_volume"])
    return 0


def cash_of(ctx):
    return float(tv.get_investor_equity_account_info(ctx, ACCOUNT)["data"]["cash_balance"])


def snap(x, tick):
    return round(round(x / tick) * tick, 2)


class Rule:
    def __init__(self, ctx):
        self.ctx, self.ema, self.mids, self.fills = ctx, None, [], 0

    def seen(self, mid):
        self.ema = mid if self.ema is None else 0.95 * self.ema + 0.05 * mid
        self.mids.append(mid)

    def market(self, side):
        env = tv.place_investor_equity_order(
            self.ctx, ACCOUNT, SYMBOL, 0.0, SIZE, side, PIN, "MARKET", "IOC", "", "", False, 0, True
        )
        return env["success"]


class Quoter(Rule):
    def __init__(self, ctx):
        super().__init__(ctx)
        self.orders = {"BUY": None, "SELL": None}

    def act(self, inv, bid, ask, tick):
        center = self.ema - inv / 1000 * 2 * tick
        want = {
            "BUY": min(bid + tick if bid + tick < ask else bid, snap(center - tick / 2 - 1e-9, tick)),
            "SELL": max(ask - tick if ask - tick > bid else ask, snap(center + tick / 2 + 1e-9, tick)),
        }
        want["BUY"] = min(want["BUY"], ask - tick)
        want["SELL"] = max(want["SELL"], bid + tick)
        for side in ("BUY", "SELL"):
            no = self.orders[side]
            pull = inv >= LIMIT if side == "BUY" else inv <= -LIMIT
            live = no and tv.get_investor_equity_order(self.ctx, ACCOUNT, no)["data"]["status"] in ("OPEN", "PARTIAL")
            if pull or want[side] <= 0:
                if live:
                    tv.cancel_investor_equity_order(self.ctx, ACCOUNT, no, PIN)
                self.orders[side] = None
                continue
            if live:
                env = tv.change_investor_equity_order(self.ctx, ACCOUNT, no, want[side], 0, PIN, "", 0, "", True)
                if env["success"] or "NO_CHANGE" in env.get("message", ""):
                    continue
            env = tv.place_investor_equity_order(
                self.ctx, ACCOUNT, SYMBOL, want[side], SIZE, side, PIN, "LIMIT", "DAY", "", "", False, 0, True
            )
            self.orders[side] = env["data"]["order_no"] if env["success"] else None

    def close(self):
        for no in self.orders.values():
            if no:
                tv.cancel_investor_equity_order(self.ctx, ACCOUNT, no, PIN)


class Momentum(Rule):
    def act(self, inv, bid, ask, tick):
        if len(self.mids) % 30 or len(self.mids) < 31:
            return
        move = self.mids[-1] - self.mids[-31]
        if move > 0 and inv + SIZE <= LIMIT:
            self.market("BUY")
        elif move < 0 and inv - SIZE >= -LIMIT:
            self.market("SELL")

    def close(self):
        pass


class Reversion(Rule):
    def act(self, inv, bid, ask, tick):
        if len(self.mids) % 30:
            return
        gap = self.mids[-1] - self.ema
        if gap >= tick / 2 and inv - SIZE >= -LIMIT:
            self.market("SELL")
        elif gap <= -tick / 2 and inv + SIZE <= LIMIT:
            self.market("BUY")

    def close(self):
        pass


RULES = {"quoter": Quoter, "momentum": Momentum, "reversion": Reversion}


def one_hour(seed, seconds, rule):
    broker.reset(seed=seed, running=False, history_minutes=30)
    ctx = tv.login("inv001", "inv001-secret", "", "", False)
    cash0, held0 = cash_of(ctx), holding(ctx)
    book = {}
    key = tv.subscribe_bid_offer(ctx, SYMBOL, lambda p: book.update(json.loads(p)))
    r = RULES[rule](ctx)
    for _ in range(seconds):
        broker.drain()
        mine = {"BUY": {}, "SELL": {}}
        for side, no in getattr(r, "orders", {}).items():
            if no:
                o = tv.get_investor_equity_order(ctx, ACCOUNT, no)["data"]
                if o["status"] in ("OPEN", "PARTIAL"):
                    mine[side][o["price"]] = o["balance"]
        bid = others(book.get("bid_price", []), book.get("bid_volume", []), mine["BUY"])
        ask = others(book.get("ask_price", []), book.get("ask_volume", []), mine["SELL"])
        if bid and ask:
            mid = (bid + ask) / 2
            r.seen(mid)
            r.act(holding(ctx) - held0, bid, ask, tick_at(mid))
        broker.step(1)
    r.close()
    broker.drain()
    tv.unsubscribe(ctx["channel_id"], key)
    fair = broker.state()["instruments"][SYMBOL]["fair"]
    trades = [t for t in tv.get_investor_equity_trades(ctx, ACCOUNT)["data"] if t["symbol"] == SYMBOL]
    return cash_of(ctx) - cash0 + (holding(ctx) - held0) * fair, len(trades)


def seeds(text):
    lo, _, hi = text.partition("-")
    return list(range(int(lo), int(hi or lo) + 1))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seeds", type=seeds, default=seeds("301-320"))
    ap.add_argument("--seconds", type=int, default=3600)
    ap.add_argument("--rules", default="quoter,momentum,reversion")
    args = ap.parse_args()
    hours = args.seconds / 3600
    for rule in args.rules.split(","):
        pnls, fills = [], []
        for seed in args.seeds:
            pnl, n = one_hour(seed, args.seconds, rule)
            pnls.append(pnl / hours)
            fills.append(n / hours)
        mean, sd = statistics.mean(pnls), statistics.stdev(pnls) if len(pnls) > 1 else float("nan")
        t = mean / (sd / math.sqrt(len(pnls))) if sd and sd == sd else float("nan")
        print(
            "%-9s mean %10.0f an hour  stdev %9.0f  t %6.2f  fills %6.1f an hour  (%d seeds of %d s)"
            % (rule, mean, sd, t, statistics.mean(fills), len(pnls), args.seconds),
            flush=True,
        )


if __name__ == "__main__":
    main()
