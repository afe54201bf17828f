"""Resident memory of one implementation over mixed calls, in its own process:
prints {"first": rss after 10,000 calls, "last": rss after all, "calls": n}."""

import json
import os
import sys

import common


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main(impl, total):
    env = common.setup(memory=True)
    api = env.impls[impl]
    ctx = env.ctx
    calls = (
        lambda: api.get_investor_equity_order(ctx, "E-1001", "EQ-1"),
        lambda: api.get_marketrep_equity_orders_by_account_no(ctx, "E-1001"),
        lambda: api.get_marketrep_derivatives_portfolios(ctx, "D-1001"),
    )
    marks = {}
    done = 0
    while done < total:
        for c in calls:
            c()
        done += len(calls)
        if done >= 10_000 and "first" not in marks:
            marks["first"] = rss()
    marks["last"] = rss()
    marks["calls"] = done
    print(json.dumps(marks))


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]))
