"""The sandbox broker's cost against the history of an account: placements per
second and account information per call with 0, 10,000 and 100,000 orders of
history (half of them cancelled, half resting), through the module.

    bash bench/run.sh --broker            # or: python bench/broker.py [--quick]

Each figure is the best of several rounds, in CPU time of the calling thread
(the figures hold on a shared machine); the history is built between the
measurements with the market quiet (no liquidity provider, no participants),
so only the account's own orders are in play.
"""

import sys
import time

import tavrolix_open_api as tv
from tavrolix_sandbox import broker

ACCOUNT, PIN = "E-9", "0"


def setup():
    broker.reset(
        seed=1,
        running=False,
        liquidity=False,
        activity=False,
        default_world=False,
        users=[{"id": "b", "secret": "s", "pin": PIN}],
        equity_accounts=[{"account_no": ACCOUNT, "owner": "b", "type": "CASH_BALANCE", "cash": 1e13}],
    )
    return tv.login("b", "s", "", "", False)


def place(ctx, price):
    env = tv.place_investor_equity_order(
        ctx, ACCOUNT, "BELNO", price, 100, "BUY", PIN, "LIMIT", "DAY", "", "", False, 0, True
    )
    if not env["success"]:
        raise RuntimeError(env["message"])
    return env["data"]["order_no"]


def grow(ctx, n):
    """Adds n orders of history: every other one cancelled, the rest resting."""
    for k in range(n):
        no = place(ctx, 9.0 + (k % 20) * 0.1)
        if k % 2:
            tv.cancel_investor_equity_order(ctx, ACCOUNT, no, PIN)


def rate(fn, n, rounds):
    best = float("inf")
    for _ in range(rounds):
        t = time.thread_time()
        fn(n)
        best = min(best, time.thread_time() - t)
    return best / n


def measure(quick=False):
    rounds = 3 if quick else 5
    n = 500 if quick else 2000
    ctx = setup()
    rows, history = [], 0
    for target in (0, 10_000, 100_000):
        grow(ctx, target - history)
        history = target

        def placements(m):
            for k in range(m):
                place(ctx, 9.0 + (k % 20) * 0.1)

        def infos(m):
            for _ in range(m):
                tv.get_investor_equity_account_info(ctx, ACCOUNT)

        per_place = rate(placements, n, rounds)
        history += n * rounds
        per_info = rate(infos, n, rounds)
        rows.append((target, 1 / per_place, per_info * 1e6))
    return rows


def main():
    rows = measure("--quick" in sys.argv)
    print("%-10s %16s %22s" % ("history", "placements/s", "account info us/call"))
    for history, per_s, us in rows:
        print("%-10d %16.0f %22.2f" % (history, per_s, us))
    base = rows[0]
    print(
        "at 100k: placements %.2fx, account info %.2fx of a fresh account (target within 1.25x)"
        % (base[1] / rows[-1][1], rows[-1][2] / base[2])
    )


if __name__ == "__main__":
    main()
