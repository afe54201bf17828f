"""Place, change and cancel an equity order at the sandbox broker with the
tavrolix client, following it on the account's order stream.

Run with ``.venv/bin/python examples/orders.py`` after ``bash scripts/setup.sh``.
"""

import tavrolix
from tavrolix import OrderStatus

ACCOUNT, PIN = "E-1001", "000000"  # a seeded investor account and its PIN

client = tavrolix.connect("inv001", "inv001-secret", pin=PIN)
shares = client.equity(ACCOUNT)
with shares.order_updates(timeout=5) as updates:
    # A limit buy below the market rests in the book.
    order_no = shares.buy("ARVO", 100, price=40.00)
    print("placed", order_no)
    order = shares.order(order_no)
    print("status %s, %d of %d matched" % (order["status"], order["matched"], order["vol"]))
    print("open orders of ARVO:", [o["order_no"] for o in shares.orders(open_only=True, symbol="ARVO")])

    shares.change(order_no, price=40.50)  # only the price changes
    shares.cancel(order_no)
    print("final:", updates.wait(order_no, OrderStatus.CANCELLED)["status"])
    try:
        shares.cancel(order_no)
    except tavrolix.NotAllowed as e:
        print("cancel again:", e.status, e.code)
    # Several at once: the orders that could not be cancelled come back as data.
    for error in shares.cancel([order_no, "EQ99999999"]):
        print("not cancelled:", error["order_no"], error["error_response"]["code"])
    for update in updates.drain():
        print("stream: %s %s price %s" % (update["event"], update["order_no"], update["price"]))
client.close()
