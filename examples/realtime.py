"""Watch the sandbox market for a few seconds with the tavrolix client: price
information, the order book and one-minute candles of one share, read in an
asyncio event loop.

Run with ``.venv/bin/python examples/realtime.py`` after ``bash scripts/setup.sh``.
"""

import asyncio
from typing import List, TypeVar

import tavrolix
from tavrolix.payloads import BidOffer, Candle, PriceInfo

SYMBOL = "ARVO"
T = TypeVar("T")


async def collect(stream: "tavrolix.Stream[T]", into: List[T]) -> None:
    async with stream:  # leaving it, also by cancellation, unsubscribes
        async for event in stream:
            into.append(event)


async def main(client: tavrolix.Investor, seconds: float) -> None:
    infos: List[PriceInfo] = []
    books: List[BidOffer] = []
    candles: List[Candle] = []
    streams = (client.price_info(SYMBOL), client.bid_offer(SYMBOL), client.candle_updates(SYMBOL, "1m"))
    tasks = [
        asyncio.ensure_future(collect(streams[0], infos)),
        asyncio.ensure_future(collect(streams[1], books)),
        asyncio.ensure_future(collect(streams[2], candles)),
    ]
    await asyncio.sleep(seconds)
    for task in tasks:
        task.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)
    print("closed:", all(s.closed for s in streams), "dropped:", sum(s.dropped for s in streams))
    if infos:
        last = infos[-1]
        print(
            "%s last %s, change %s%%, volume %s" % (SYMBOL, last["last"], last["percent_change"], last["total_volume"])
        )
    if books:
        print("best bid/offer:", books[-1]["bid_price"][:1], books[-1]["ask_price"][:1])
    if candles:
        c = candles[-1]
        print("candle %s: open %s high %s low %s close %s" % (c["time"], c["open"], c["high"], c["low"], c["close"]))
    print("events:", {"info": len(infos), "book": len(books), "candle": len(candles)})


client = tavrolix.connect("inv001", "inv001-secret")
asyncio.run(main(client, 3.0))
history = client.candlesticks(SYMBOL, "1m", count=5)
print("history:", history.message, history.close)
