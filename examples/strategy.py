"""A small trend-following loop: two moving averages of ARVO's last price,
long 1,000 shares while the fast one is above the slow one, flat otherwise.

    .venv/bin/python examples/strategy.py [seconds] [--fast]

Prices arrive on a price-information stream; the loop trades with immediate
(IOC) limit orders at the best offer or bid, follows its fills through the
order stream, and prints the result at the end. ``--fast`` makes the sandbox
clock tick every 20 ms instead of every 250 ms, for a livelier market.
"""

import sys
import time
from typing import Optional

import tavrolix
from tavrolix import Side, Validity
from tavrolix.payloads import BidOffer

ACCOUNT, SYMBOL, PIN, LOT = "E-1001", "ARVO", "000000", 1000
FAST, SLOW = 0.3, 0.05  # smoothing of the two moving averages
BAND = 0.002  # how far apart they must be, relative, before the loop acts


def main(seconds: float, fast_clock: bool) -> None:
    if fast_clock:
        from tavrolix_sandbox import broker

        broker.run(0.02)
    client = tavrolix.connect("inv001", "inv001-secret", pin=PIN)
    shares = client.equity(ACCOUNT)
    held_at_start = int({p["symbol"]: p for p in shares.portfolio()}[SYMBOL]["actual_volume"])
    fast: Optional[float] = None
    slow: Optional[float] = None
    extra = 0  # shares held beyond the starting position
    working: Optional[str] = None  # the order in the market, if any; one at a time
    book: Optional[BidOffer] = None
    end = time.monotonic() + seconds
    with (
        client,
        client.price_info(SYMBOL, timeout=0.5) as prices,
        client.bid_offer(SYMBOL) as books,
        shares.order_updates() as fills,
    ):
        try:
            while time.monotonic() < end:
                try:
                    info = prices.get(timeout=0.5)
                except TimeoutError:
                    continue
                last = info["last"]
                if last is None:
                    continue
                fast = last if fast is None else fast + FAST * (last - fast)
                slow = last if slow is None else slow + SLOW * (last - slow)
                latest = books.drain()
                book = latest[-1] if latest else book
                for update in fills.drain():
                    if update["event"] == "MATCH":
                        extra += update["match_volume"] if update["side"] == "BUY" else -update["match_volume"]
                    if update["order_no"] == working and update["status"] in tavrolix.FINAL_STATUSES:
                        working = None
                gap = (fast - slow) / slow
                want = LOT if gap > BAND else 0 if gap < -BAND else extra
                if working is None and want != extra and book and book["ask_price"] and book["bid_price"]:
                    side, price = (
                        (Side.BUY, book["ask_price"][0]) if want > extra else (Side.SELL, book["bid_price"][0])
                    )
                    try:
                        working = shares.place(
                            SYMBOL, side, abs(want - extra), price=price, validity=Validity.IOC, bypass_warning=True
                        )
                        outcome = working
                    except tavrolix.Refused as e:
                        outcome = e.message
                    print(
                        "%s %s %d at %.2f (fast %.3f, slow %.3f): %s"
                        % (info["time"], side, abs(want - extra), price, fast, slow, outcome)
                    )
        finally:
            if extra > 0:
                shares.sell(SYMBOL, extra, validity=Validity.IOC, bypass_warning=True)  # MARKET: no price
    trades = [t for t in shares.trades() if t["symbol"] == SYMBOL]
    position = {p["symbol"]: p for p in shares.portfolio()}[SYMBOL]
    fees = sum(t["brokerage_fee"] + t["trading_fee"] + t["clearing_fee"] for t in trades)
    print(
        "%d trades, position %d (started with %d), realized %.2f, fees %.2f"
        % (len(trades), position["actual_volume"], held_at_start, position["realize_profit"], fees)
    )


if __name__ == "__main__":
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    main(float(args[0]) if args else 30.0, "--fast" in sys.argv)
