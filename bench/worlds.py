"""What a world costs: making and dropping one with the default listing (the
README's users, accounts and instruments, no history), and the same with a
login and a stream open when it ends (its last event handed on).

    python bench/worlds.py [--quick]

Figures are the median of many rounds in wall time (a world's making is all
on the calling thread; its end lets its threads go without waiting).
"""

import statistics
import sys
import time

import tavrolix_open_api as tv
from tavrolix_sandbox import World


def once(streamed):
    t0 = time.perf_counter()
    w = World(seed=1)
    if streamed:
        ctx = w.login("inv001", "inv001-secret")
        tv.subscribe_bid_offer(ctx, "ARVO", lambda payload: None)
    w.close()
    return time.perf_counter() - t0


def main():
    rounds = 50 if "--quick" in sys.argv else 500
    for streamed in (False, True):
        for _ in range(10):
            once(streamed)  # warm
        ms = statistics.median(once(streamed) for _ in range(rounds)) * 1000
        label = "with a login and a stream" if streamed else "default listing"
        print("make and drop a world, %-26s %.3f ms (median of %d)" % (label, ms, rounds))


if __name__ == "__main__":
    main()
