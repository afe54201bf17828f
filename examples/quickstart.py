"""A first session against the sandbox broker: log in, read the accounts,
watch the market, place an order and watch its updates arrive, then read the
portfolio, the trades and the candlesticks.

Run with ``bash scripts/quickstart.sh`` (or ``.venv/bin/python examples/quickstart.py``).
"""
import json
import queue
import threading
import time
from typing import Any, Dict

import tavrolix_open_api as tv

ACCOUNT, FUTURES_ACCOUNT, SYMBOL, PIN = "E-1001", "D-1001", "ARVO", "000000"

# Seeded sandbox users: application id and secret are the first two texts.
ctx = tv.login("inv001", "inv001-secret", "", "", False)
channel = ctx["channel_id"]
if channel is None:
    raise SystemExit("the login gave no channel")
print("logged in on channel", channel)

# A refused request would come back with success False and empty data.
equity_info = tv.get_investor_equity_account_info(ctx, ACCOUNT)
futures_info = tv.get_investor_derivatives_account_info(ctx, FUTURES_ACCOUNT)
if not (equity_info["success"] and futures_info["success"]):
    raise SystemExit("account information refused: %s %s" % (equity_info["message"], futures_info["message"]))
equity = equity_info["data"]
print("%s (%s): cash %.2f, buying power %.2f" % (ACCOUNT, equity["account_type"], equity["cash_balance"],
                                                 equity["line_available"]))
futures = futures_info["data"]
print("%s: equity %.2f, excess equity %.2f, margin call flag %s" % (FUTURES_ACCOUNT, futures["equity"],
                                                                    futures["excess_equity"], futures["call_force_flag"]))

# The book of ARVO, as it changes. The first picture arrives at once.
book: Dict[str, Any] = {}
have_book = threading.Event()


def on_book(payload: str) -> None:
    book.update(json.loads(payload))
    have_book.set()


book_key = tv.subscribe_bid_offer(ctx, SYMBOL, on_book)
if not have_book.wait(10):
    raise SystemExit("no bid/offer picture arrived")
print("%s bids %s, offers %s" % (SYMBOL, list(zip(book["bid_price"], book["bid_volume"]))[:3],
                                 list(zip(book["ask_price"], book["ask_volume"]))[:3]))

# Every change of the account's orders, on the library's thread.
updates: "queue.Queue[Dict[str, Any]]" = queue.Queue()
orders_key = tv.subscribe_equity_order(ctx, ACCOUNT, lambda payload: updates.put(json.loads(payload)))

price = book["ask_price"][0]
placed = tv.place_investor_equity_order(ctx, ACCOUNT, SYMBOL, price, 300, "BUY", PIN, "LIMIT", "DAY", "", "",
                                        False, 0, False)
if not placed["success"]:
    raise SystemExit("order refused: " + placed["message"])
order_no = placed["data"]["order_no"]
if order_no is None:
    raise SystemExit("the broker gave no order number")
print("placed order", order_no, "to buy 300", SYMBOL, "at", price)

final = None
try:
    while final is None:
        update = updates.get(timeout=10)
        if update["order_no"] != order_no:
            continue
        line = "  %s: %s, matched %d of %d" % (update["event"], update["status"], update["matched"], update["vol"])
        if update["event"] == "MATCH":
            line += " (%d at %.2f)" % (update["match_volume"], update["match_price"])
        print(line)
        if update["status"] not in ("OPEN", "PARTIAL"):
            final = update["status"]
except queue.Empty:
    # The market moved away before our price was reached: take the order back.
    print("  still queuing; cancelling:", tv.cancel_investor_equity_order(ctx, ACCOUNT, order_no, PIN)["message"])

tv.unsubscribe(channel, orders_key)
tv.unsubscribe(channel, book_key)

for p in tv.get_investor_equity_portfolios(ctx, ACCOUNT)["data"]:
    print("holding %-6s %7d @ %8.4f, market %.2f, profit %10.2f" % (p["symbol"], p["actual_volume"],
                                                                    p["average_price"], p["market_price"], p["profit"]))
for t in tv.get_investor_equity_trades(ctx, ACCOUNT)["data"]:
    print("trade %s %s %s %d @ %.2f, fees %.2f" % (t["trade_no"], t["side"], t["symbol"], t["qty"], t["px"],
                                                   t["brokerage_fee"] + t["trading_fee"] + t["clearing_fee"]))

candles = tv.get_candlesticks(ctx, SYMBOL, "5m", 6, False, "", "")["data"]
print("last %d five-minute candles of %s:" % (len(candles["time"]), SYMBOL))
for t, *row in zip(candles["time"], candles["open"], candles["high"], candles["low"], candles["close"],
                   candles["volume"]):
    print("  %s  O %.2f H %.2f L %.2f C %.2f V %d" % (time.strftime("%H:%M", time.gmtime(t)), *row))

try:
    tv.login("inv001", "wrong", "", "", False)
except RuntimeError as e:
    print("wrong secret refused:", e)
print("done")
