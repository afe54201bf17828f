"""A small trend-following loop: two moving averages of ARVO's last price,
long 1,000 shares while the fast one is above the slow one, flat otherwise.

    .venv/bin/python examples/strategy.py [seconds] [--fast]

Prices arrive as price-information events; the loop trades with immediate
(IOC) limit orders at the best offer or bid, follows its fills through the
order stream, and prints the result at the end. ``--fast`` makes the sandbox
clock tick every 20 ms instead of every 250 ms, for a livelier market.
"""
import json
import queue
import sys
import time
from typing import Any, Dict

import tavrolix_open_api as tv

ACCOUNT, SYMBOL, PIN, LOT = "E-1001", "ARVO", "000000", 1000
FAST, SLOW = 0.3, 0.05  # smoothing of the two moving averages
BAND = 0.002  # how far apart they must be, relative, before the loop acts


def main(seconds: float, fast_clock: bool) -> None:
    if fast_clock:
        from tavrolix_sandbox import broker
        broker.run(0.02)
    ctx = tv.login("inv001", "inv001-secret", "", "", False)
    channel = ctx["channel_id"]
    if channel is None:
        raise SystemExit("the login gave no channel")
    prices: "queue.Queue[Dict[str, Any]]" = queue.Queue()
    fills: "queue.Queue[Dict[str, Any]]" = queue.Queue()
    book: Dict[str, Any] = {}
    keys = [
        tv.subscribe_price_info(ctx, SYMBOL, lambda p: prices.put(json.loads(p))),
        tv.subscribe_bid_offer(ctx, SYMBOL, lambda p: book.update(json.loads(p))),
        tv.subscribe_equity_order(ctx, ACCOUNT, lambda p: fills.put(json.loads(p))),
    ]
    start = {p["symbol"]: p for p in tv.get_investor_equity_portfolios(ctx, ACCOUNT)["data"]}[SYMBOL]
    held_at_start = int(start["actual_volume"])
    fast = slow = None
    extra = 0  # shares held beyond the starting position
    working = None  # the order in the market, if any; one at a time
    end = time.monotonic() + seconds
    try:
        while time.monotonic() < end:
            try:
                info = prices.get(timeout=0.5)
            except queue.Empty:
                continue
            if info["last"] is None:
                continue
            last = info["last"]
            fast = last if fast is None else fast + FAST * (last - fast)
            slow = last if slow is None else slow + SLOW * (last - slow)
            while not fills.empty():
                update = fills.get()
                if update["event"] == "MATCH":
                    extra += update["match_volume"] if update["side"] == "BUY" else -update["match_volume"]
                if update["order_no"] == working and update["status"] not in ("OPEN", "PARTIAL"):
                    working = None
            gap = (fast - slow) / slow
            want = LOT if gap > BAND else 0 if gap < -BAND else extra
            if working is None and want != extra and book.get("ask_price") and book.get("bid_price"):
                side, price = ("BUY", book["ask_price"][0]) if want > extra else ("SELL", book["bid_price"][0])
                env = tv.place_investor_equity_order(ctx, ACCOUNT, SYMBOL, price, abs(want - extra), side, PIN,
                                                     "LIMIT", "IOC", "", "", False, 0, True)
                if env["success"]:
                    working = env["data"]["order_no"]
                print("%s %s %d at %.2f (fast %.3f, slow %.3f): %s" % (
                    info["time"], side, abs(want - extra), price, fast, slow,
                    working if env["success"] else env["message"]))
    finally:
        if extra > 0:
            tv.place_investor_equity_order(ctx, ACCOUNT, SYMBOL, 0.0, extra, "SELL", PIN, "MARKET", "IOC", "", "",
                                           False, 0, True)
        for key in keys:
            tv.unsubscribe(channel, key)
    trades = [t for t in tv.get_investor_equity_trades(ctx, ACCOUNT)["data"] if t["symbol"] == SYMBOL]
    position = {p["symbol"]: p for p in tv.get_investor_equity_portfolios(ctx, ACCOUNT)["data"]}[SYMBOL]
    fees = sum(t["brokerage_fee"] + t["trading_fee"] + t["clearing_fee"] for t in trades)
    print("%d trades, position %d (started with %d), realized %.2f, fees %.2f" % (
        len(trades), position["actual_volume"], held_at_start, position["realize_profit"], fees))


if __name__ == "__main__":
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    main(float(args[0]) if args else 30.0, "--fast" in sys.argv)
