"""Watch the sandbox market for a few seconds: price information and the
order book of one share, and its one-minute candles.

Run with ``.venv/bin/python examples/realtime.py`` after ``bash scripts/setup.sh``.
"""
import json
import threading
import time
from typing import Any, Callable, Dict, List

import tavrolix_open_api as tv

SYMBOL = "ARVO"

ctx = tv.login("inv001", "inv001-secret", "", "", False)
channel = ctx["channel_id"]
if channel is None:
    raise SystemExit("the login gave no channel")
lock = threading.Lock()
received: Dict[str, List[Dict[str, Any]]] = {"info": [], "book": [], "candle": []}


def keep(stream: str) -> Callable[[str], None]:
    def receive(payload: str) -> None:  # on the library's event thread
        with lock:
            received[stream].append(json.loads(payload))
    return receive


keys = [tv.subscribe_price_info(ctx, SYMBOL, keep("info")),
        tv.subscribe_bid_offer(ctx, SYMBOL, keep("book")),
        tv.subscribe_candlestick(ctx, SYMBOL, "1m", keep("candle"))]
print("subscribed:", all(tv.is_subscribe(k) for k in keys))

time.sleep(3)
for key in keys:
    tv.unsubscribe(channel, key)
print("after unsubscribe:", any(tv.is_subscribe(k) for k in keys))

with lock:
    if received["info"]:
        last = received["info"][-1]
        print("%s last %s, change %s%%, volume %s" % (SYMBOL, last["last"], last["percent_change"],
                                                     last["total_volume"]))
    if received["book"]:
        book = received["book"][-1]
        print("best bid %s x %s, best offer %s x %s" % (book["bid_price"][:1], book["bid_volume"][:1],
                                                       book["ask_price"][:1], book["ask_volume"][:1]))
    if received["candle"]:
        c = received["candle"][-1]
        print("candle %s: open %s high %s low %s close %s" % (c["time"], c["open"], c["high"], c["low"], c["close"]))
    print("events:", {k: len(v) for k, v in received.items()})

history = tv.get_candlesticks(ctx, SYMBOL, "1m", 5, False, "", "")
print("history:", history["success"], history["message"], history["data"]["close"])
