"""Place, change and cancel an equity order at the sandbox broker, following
it on the account's order stream.

Run with ``.venv/bin/python examples/orders.py`` after ``bash scripts/setup.sh``.
"""
import json
import queue
from typing import List

import tavrolix_open_api as tv

ACCOUNT, PIN = "E-1001", "000000"  # a seeded investor account and its PIN

ctx = tv.login("inv001", "inv001-secret", "", "", False)
channel = ctx["channel_id"]
if channel is None:
    raise SystemExit("the login gave no channel")
events: "queue.Queue[str]" = queue.Queue()  # the callable runs on the library's thread
key = tv.subscribe_equity_order(ctx, ACCOUNT, events.put)

# A limit buy below the market rests in the book.
placed = tv.place_investor_equity_order(ctx, ACCOUNT, "ARVO", 40.00, 100, "BUY", PIN, "LIMIT", "DAY",
                                        "", "", False, 0, False)
if not placed["success"]:
    raise SystemExit("refused: %s %s" % (placed["status_code"], placed["message"]))
order_no = placed["data"]["order_no"]
if order_no is None:
    raise SystemExit("the broker gave no order number")
print("placed", order_no)

order = tv.get_investor_equity_order(ctx, ACCOUNT, order_no)
if order["success"]:
    print("status %s, %d of %d matched" % (order["data"]["status"], order["data"]["matched"], order["data"]["vol"]))

# 0 and "" keep a value: only the price changes.
changed = tv.change_investor_equity_order(ctx, ACCOUNT, order_no, 40.50, 0, PIN, "", 0, "", False)
print("change:", changed["success"], changed["message"])

cancelled = tv.cancel_investor_equity_order(ctx, ACCOUNT, order_no, PIN)
print("cancel:", cancelled["success"], cancelled["message"])

refused = tv.cancel_investor_equity_order(ctx, ACCOUNT, order_no, PIN)
print("cancel again:", refused["status_code"], refused["message"])

seen: List[str] = []
while len(seen) < 3:
    try:
        payload = json.loads(events.get(timeout=5))
    except queue.Empty:
        break
    seen.append(payload["event"])
    print("stream: %s %s price %s" % (payload["event"], payload["order_no"], payload["price"]))
tv.unsubscribe(channel, key)
