"""A first session against the sandbox broker with the tavrolix client: log
in, read the accounts, watch the book, place an order and follow its updates,
then read the portfolio, the trades and the candlesticks. The same first
request through the raw module is shown once, beside the client's.

Run with ``bash scripts/quickstart.sh`` (or ``.venv/bin/python examples/quickstart.py``).
"""

import time

import tavrolix
import tavrolix_open_api as tv

ACCOUNT, FUTURES_ACCOUNT, SYMBOL, PIN = "E-1001", "D-1001", "ARVO", "000000"

# Seeded sandbox users: application id and secret; the PIN confirms order actions.
client = tavrolix.connect("inv001", "inv001-secret", pin=PIN)
print("logged in on channel", client.channel)

# The raw module: positional arguments and an envelope to check...
envelope = tv.get_investor_equity_account_info(client.context, ACCOUNT)
if not envelope["success"]:
    raise SystemExit("refused: %s" % envelope["message"])
# ...the client: the data itself, and a refusal would raise tavrolix.Refused.
shares = client.equity(ACCOUNT)
equity = shares.info()
assert equity == envelope["data"]
print(
    "%s (%s): cash %.2f, buying power %.2f"
    % (ACCOUNT, equity["account_type"], equity["cash_balance"], equity["line_available"])
)
futures = client.derivatives(FUTURES_ACCOUNT).info()
print(
    "%s: equity %.2f, excess equity %.2f, margin call flag %s"
    % (FUTURES_ACCOUNT, futures["equity"], futures["excess_equity"], futures["call_force_flag"])
)

# The book of ARVO: the first picture arrives at once.
with client.bid_offer(SYMBOL, timeout=10) as books:
    book = next(books)
print(
    "%s bids %s, offers %s"
    % (
        SYMBOL,
        list(zip(book["bid_price"], book["bid_volume"]))[:3],
        list(zip(book["ask_price"], book["ask_volume"]))[:3],
    )
)

# Every change of the account's orders, read as an iterator.
with shares.order_updates(timeout=10) as updates:
    price = book["ask_price"][0]
    order_no = shares.buy(SYMBOL, 300, price=price)  # LIMIT (a price is given), DAY
    print("placed order", order_no, "to buy 300", SYMBOL, "at", price)
    try:
        for update in updates:
            if update["order_no"] != order_no:
                continue
            line = "  %s: %s, matched %d of %d" % (update["event"], update["status"], update["matched"], update["vol"])
            if update["event"] == "MATCH":
                line += " (%d at %.2f)" % (update["match_volume"], update["match_price"])
            print(line)
            if update["status"] in tavrolix.FINAL_STATUSES:
                break
    except TimeoutError:
        # The market moved away before our price was reached: take the order back.
        shares.cancel(order_no)
        print("  still queuing; cancelled:", updates.wait(order_no, timeout=10)["status"])

for p in shares.portfolio():
    print(
        "holding %-6s %7d @ %8.4f, market %.2f, profit %10.2f"
        % (p["symbol"], p["actual_volume"], p["average_price"], p["market_price"], p["profit"])
    )
for t in shares.trades():
    print(
        "trade %s %s %s %d @ %.2f, fees %.2f"
        % (
            t["trade_no"],
            t["side"],
            t["symbol"],
            t["qty"],
            t["px"],
            t["brokerage_fee"] + t["trading_fee"] + t["clearing_fee"],
        )
    )

candles = client.candlesticks(SYMBOL, tavrolix.Interval.M5, count=6)
print("last %d five-minute candles of %s:" % (len(candles), SYMBOL))
for t, *row in zip(candles.time, candles.open, candles.high, candles.low, candles.close, candles.volume):
    print("  %s  O %.2f H %.2f L %.2f C %.2f V %d" % (time.strftime("%H:%M", time.gmtime(t)), *row))

try:
    shares.sell(SYMBOL, 10_000_000, price=price)
except tavrolix.InsufficientPosition as e:
    print("oversized sale refused:", e.code)
try:
    tavrolix.connect("inv001", "wrong")
except tavrolix.AuthenticationError as e:
    print("wrong secret refused:", e.message)
client.close()
print("done")
