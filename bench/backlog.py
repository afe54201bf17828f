"""Memory of the library's event backlog under load: 3,000 market-data
streams (bid/offer of the five equities) whose receiver is slower than the
market, on a 1 ms clock. The backlog is bounded, so the resident size levels
off instead of growing each second.

    .venv/bin/python bench/backlog.py [--seconds 5] [--streams 3000]
"""

import argparse
import time

import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from tavrolix_sandbox import broker


def rss_mb() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096 / 1e6


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=5)
    ap.add_argument("--streams", type=int, default=3000)
    a = ap.parse_args()
    sbx.use_broker()
    broker.reset(running=False, liquidity=True, activity=True)
    ctx = tv.login("inv001", "inv001-secret", "", "", False)
    symbols = ["ARVO", "BELNO", "CORIX", "DANTA", "EMBRA"]
    seen = [0]

    def slow(payload: str) -> None:
        seen[0] += 1
        time.sleep(0.0002)

    keys = [tv.subscribe_bid_offer(ctx, symbols[i % 5], slow) for i in range(a.streams)]
    broker.drain(30)
    start = rss_mb()
    broker.run(0.001)
    t0 = time.time()
    print("second  rss_MB  queued  delivered")
    while time.time() - t0 < a.seconds:
        time.sleep(1)
        s = broker.state()
        print(f"{time.time() - t0:6.1f}  {rss_mb():6.1f}  {s['events_queued']:6d}  {seen[0]}")
    broker.stop()
    t = time.time()
    ok = broker.drain(120)
    print(f"rss grew {rss_mb() - start:.1f} MB over {a.seconds:.0f} s; drain {time.time() - t:.1f} s ({ok})")
    for k in keys:
        tv.unsubscribe(ctx["channel_id"], k)


if __name__ == "__main__":
    main()
