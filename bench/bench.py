"""Module against its floor (plain C API) and against the ctypes alternative,
over the same scripted results, in one run. Prints one table."""

import argparse
import functools
import gc
import json
import os
import statistics
import subprocess
import sys
import time

import common

HERE = os.path.dirname(os.path.abspath(__file__))
IMPLS = ("module", "floor", "alternative")


def rounds_of(fn_by_impl, rounds):
    """Times each implementation `rounds` times, interleaved so that noise from
    other processes falls on all of them alike; seconds per unit."""
    out = {k: [] for k in fn_by_impl}
    order = list(fn_by_impl)
    for r in range(rounds):
        for k in order[r % len(order) :] + order[: r % len(order)]:
            gc.collect()
            out[k].append(fn_by_impl[k]())
    return out


def time_one(fn, *args):
    def run():
        t0 = time.perf_counter_ns()
        r = fn(*args)
        t1 = time.perf_counter_ns()
        del r
        return (t1 - t0) * 1e-9

    return run


def time_loop(fn, args, n):
    def run():
        loop = range(n)
        t0 = time.perf_counter_ns()
        for _ in loop:
            fn(*args)
        t1 = time.perf_counter_ns()
        return (t1 - t0) * 1e-9 / n

    return run


class Row:
    def __init__(self, case, unit, scale, samples, better="lower", target=None, note=""):
        self.case, self.unit, self.scale, self.better, self.note = case, unit, scale, better, note
        self.samples = samples  # impl -> list of values
        self.target = target  # (text, predicate(row) -> bool)

    def best(self, impl):
        s = self.samples[impl]
        return min(s) if self.better == "lower" else max(s)

    def median(self, impl):
        return statistics.median(self.samples[impl])

    def ratio(self, impl):
        """This implementation's figure over the floor's (best of each)."""
        return self.best(impl) / self.best("floor")


def list_case(env, rounds):
    rows = []
    for case, name, account in (
        ("list: 10,000 equity orders (34 keys)", "get_investor_equity_orders", "E-1001"),
        ("list: 10,000 derivatives positions (43 keys)", "get_investor_derivatives_portfolios", "D-1001"),
    ):
        fns = {k: getattr(env.impls[k], name) for k in IMPLS}
        results = {k: f(env.ctx, account) for k, f in fns.items()}
        assert results["module"]["success"] and len(results["module"]["data"]) == common.LIST_RECORDS
        assert results["module"] == results["floor"] == results["alternative"], case
        assert [list(d) for d in results["module"]["data"][:3]] == [list(d) for d in results["floor"]["data"][:3]]
        del results
        s = rounds_of({k: time_one(f, env.ctx, account) for k, f in fns.items()}, rounds)
        rows.append(Row(case, "ms/call", 1e3, s, target=("<= 1.15x floor", lambda r: r.ratio("module") <= 1.15)))
    return rows


def frame_case(env, rounds, calls):
    args = (env.ctx, "E-1001", "EQ-1")
    fns = {k: env.impls[k].get_investor_equity_order for k in IMPLS}
    results = {k: f(*args) for k, f in fns.items()}
    assert results["module"] == {"success": False, "status_code": 404, "data": {}, "message": "order not found"}
    assert results["module"] == results["floor"] == results["alternative"]
    loops = {k: time_loop(f, args, calls if k != "alternative" else calls // 4) for k, f in fns.items()}
    s = rounds_of(loops, rounds)
    return [
        Row(
            "call frame: refused single-order query",
            "us/call",
            1e6,
            s,
            target=("<= 1.5x floor", lambda r: r.ratio("module") <= 1.5),
        )
    ]


def percentile(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(p / 100 * len(v)))]


def events_case(env, rounds, paced_events=30_000):
    latencies = []

    def callable_(payload, now=time.perf_counter_ns, add=latencies.append):
        add(now() - int(payload))

    emitters, end = common.event_emitters(env, callable_)

    def run(impl, threads, count, interval):
        latencies.clear()
        seconds = emitters[impl](threads, count, interval)
        assert seconds > 0 and len(latencies) == threads * count, (impl, len(latencies))
        return seconds, list(latencies)

    rows = []
    # One thread: short rounds, many of them; the best ones are those no other
    # process interrupted. Four threads on two cores: how the interpreter lock
    # passes between them swings a short round's rate by 2-3x either way, so
    # their rounds are long enough for that to average out.
    for threads, count in ((1, 20000), (4, 40000)):
        s = rounds_of({k: (lambda k=k, t=threads, c=count: t * c / run(k, t, c, 0)[0]) for k in IMPLS}, 2 * rounds)
        rows.append(
            Row(
                "events: rate, %d emitting thread%s" % (threads, "s" if threads > 1 else ""),
                "k events/s",
                1e-3,
                s,
                better="higher",
                target=(">= 0.9x floor", lambda r: r.ratio("module") >= 0.9),
            )
        )
    for threads in (1, 4):
        interval = 10_000 * threads  # 100,000 events/s in all
        count = paced_events // threads
        got = {k: [] for k in IMPLS}
        achieved = {k: [] for k in IMPLS}

        def paced(k, threads, count, interval, got, achieved):
            seconds, lat = run(k, threads, count, interval)
            got[k].append(lat)
            achieved[k].append(threads * count / seconds)
            return 0

        rounds_of(
            {k: functools.partial(paced, k, threads, count, interval, got, achieved) for k in IMPLS},
            max(3, rounds // 2),
        )
        rate = ", ".join("%s %.0fk/s" % (k, statistics.median(achieved[k]) / 1e3) for k in IMPLS)
        for p, target in ((50, None), (99, ("< 50 us", lambda r: r.best("module") < 50e3) if threads == 1 else None)):
            s = {k: [percentile(lat, p) for lat in got[k]] for k in IMPLS}
            rows.append(
                Row(
                    "events: latency p%d at 100k/s, %d thread%s" % (p, threads, "s" if threads > 1 else ""),
                    "us",
                    1e-3,
                    s,
                    target=target,
                    note="achieved: " + rate if p == 99 else "",
                )
            )
    end()
    return rows


def memory_case(total):
    s = {}
    for impl in IMPLS:
        proc = subprocess.run(
            [sys.executable, os.path.join(HERE, "memory.py"), impl, str(total)],
            capture_output=True,
            text=True,
            check=True,
        )
        marks = json.loads(proc.stdout)
        s[impl] = [marks["last"] - marks["first"]]
    return [
        Row(
            "memory: RSS after %s mixed calls - after 10,000" % format(total, ","),
            "KiB",
            1 / 1024,
            s,
            target=("< 1 MiB", lambda r: r.best("module") < 1024 * 1024),
            note="mix: refused order, 3 orders, 3 positions",
        )
    ]


def fmt(v, scale):
    x = v * scale
    return "%.3g" % x if abs(x) < 1000 else "%.0f" % x


def print_table(rows):
    head = [
        "case",
        "unit",
        "module min/med",
        "floor min/med",
        "alternative min/med",
        "module/floor",
        "alt/floor",
        "target",
        "met",
    ]
    lines = []
    for r in rows:
        cells = [r.case, r.unit]
        for impl in IMPLS:
            cells.append("%s / %s" % (fmt(r.best(impl), r.scale), fmt(r.median(impl), r.scale)))
        if r.unit == "KiB":
            cells += ["-", "-"]
        else:
            cells += ["%.2fx" % r.ratio("module"), "%.2fx" % r.ratio("alternative")]
        cells += [r.target[0] if r.target else "", ("yes" if r.target[1](r) else "NO") if r.target else ""]
        lines.append(cells)
    widths = [max(len(str(c)) for c in col) for col in zip(head, *lines)]
    print(" | ".join(h.ljust(w) for h, w in zip(head, widths)))
    print("-+-".join("-" * w for w in widths))
    for cells in lines:
        print(" | ".join(str(c).ljust(w) for c, w in zip(cells, widths)))
    for r in rows:
        if r.note:
            print("  %s: %s" % (r.case, r.note))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="fewer rounds and calls")
    ap.add_argument(
        "--smoke", action="store_true", help="one short round of each, to check the cases agree and run, not to measure"
    )
    ap.add_argument("--only", action="append", choices=["list", "frame", "events", "memory", "client"])
    a = ap.parse_args()
    only = set(a.only or ["list", "frame", "events", "memory"])
    if only == {"client"}:  # bench/client.py's case alone
        return
    size = 0 if a.smoke else 1 if a.quick else 2
    t0 = time.time()
    env = common.setup()
    rows = []
    if "list" in only:
        rows += list_case(env, (1, 7, 25)[size])
    if "frame" in only:
        rows += frame_case(env, (1, 5, 15)[size], (400, 4000, 20000)[size])
    if "events" in only:
        rows += events_case(env, (1, 3, 7)[size], paced_events=(3000, 30_000, 30_000)[size])
    if "memory" in only:
        rows += memory_case((20_000, 200_000, 1_000_000)[size])
    print_table(rows)
    print("min/med over repeated rounds; ratios from the minima; %.0f s" % (time.time() - t0))


if __name__ == "__main__":
    main()
