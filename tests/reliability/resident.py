"""Resident memory over a million mixed calls (run in a child process)."""

import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from catalog import result_image


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main(total):
    sbx.use_scripted()
    sbx.set_recording(False)
    for op, path in (
        (14, "success"),
        (16, "success"),
        (21, "refusal"),
        (5, "success"),
        (37, "success"),
        (3, "refusal"),
    ):
        sbx.stand(op, result_image(op, path))
    ctx = {
        "channel_id": "CH-1",
        "configuration": {"enable_queue": True, "daemon_type": "STAND_ALONE", "max_torelation": 0, "rate_limit": 0},
    }
    calls = [
        lambda: tv.get_investor_derivatives_account_info(ctx, "D-1"),
        lambda: tv.get_investor_derivatives_orders(ctx, "D-1"),
        lambda: tv.get_investor_equity_orders(ctx, "E-1"),
        lambda: tv.cancel_marketrep_derivatives_order(ctx, "D-1", 42),
        lambda: tv.get_candlesticks(ctx, "SYM", "1m", 10, True, "", ""),
        lambda: tv.cancel_investor_equity_order(ctx, "E-1", "O-1", "x"),
    ]
    marks = {}
    for i in range(total // len(calls)):
        for c in calls:
            c()
        done = (i + 1) * len(calls)
        if done >= 10_000 and "first" not in marks:
            marks["first"] = rss()
    marks["last"] = rss()
    marks["calls"] = (total // len(calls)) * len(calls)
    print(json.dumps(marks))


if __name__ == "__main__":
    main(int(sys.argv[1]))
