"""Instructions per call, counted by valgrind (callgrind): steady where wall
clock figures are not, on a shared machine. Each figure is the difference
between a run of 2n and a run of n units of work, divided by n, so start-up
and set-up cancel out. Lists are 1,000 records here (per record figures
scale). Run through `bash bench/run.sh --instructions`."""

import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
IMPLS = ("module", "floor", "alternative")
# case: (units in the short run, unit)
CASES = {
    "list-orders": (2, "call, 1,000 equity orders"),
    "list-positions": (2, "call, 1,000 positions"),
    "frame": (2000, "refused single-order query"),
    "events": (5000, "event, one emitting thread"),
}


def work(impl, case, n):
    import common

    common.LIST_RECORDS = 1000
    env = common.setup(memory=case in ("frame", "events"))
    api, ctx = env.impls[impl], env.ctx
    if case == "list-orders":
        for _ in range(n):
            api.get_investor_equity_orders(ctx, "E-1001")
    elif case == "list-positions":
        for _ in range(n):
            api.get_investor_derivatives_portfolios(ctx, "D-1001")
    elif case == "frame":
        for _ in range(n):
            api.get_investor_equity_order(ctx, "E-1001", "EQ-1")
    else:
        seen = []

        def callable_(payload, now=time.perf_counter_ns, add=seen.append):
            add(now() - int(payload))

        emitters, _ = common.event_emitters(env, callable_)
        emitters[impl](1, n, 0)
        assert len(seen) == n


def count(impl, case, n):
    env = dict(os.environ, PYTHONHASHSEED="0")
    proc = subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            "--callgrind-out-file=/dev/null",
            sys.executable,
            os.path.abspath(__file__),
            "work",
            impl,
            case,
            str(n),
        ],
        capture_output=True,
        text=True,
        env=env,
    )
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr[-2000:])
    return int(re.search(r"Collected : (\d+)", proc.stderr).group(1))


def main():
    if not shutil.which("valgrind"):
        print("valgrind is not installed")
        return
    t0 = time.time()
    jobs = [(impl, case, n * k) for case, (n, _) in CASES.items() for impl in IMPLS for k in (1, 2)]
    # Two at a time: the machine has two cores.
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(2) as pool:
        counts = dict(zip(jobs, pool.map(lambda j: count(*j), jobs)))
    rows = []
    for case, (n, unit) in CASES.items():
        per = {impl: (counts[(impl, case, 2 * n)] - counts[(impl, case, n)]) / n for impl in IMPLS}
        rows.append(
            [case, "instructions per " + unit]
            + ["%.0f" % per[i] for i in IMPLS]
            + ["%.2fx" % (per["module"] / per["floor"]), "%.2fx" % (per["alternative"] / per["floor"])]
        )
    head = ["case", "unit", "module", "floor", "alternative", "module/floor", "alt/floor"]
    widths = [max(len(str(c)) for c in col) for col in zip(head, *rows)]
    print(" | ".join(h.ljust(w) for h, w in zip(head, widths)))
    print("-+-".join("-" * w for w in widths))
    for r in rows:
        print(" | ".join(str(c).ljust(w) for c, w in zip(r, widths)))
    print("callgrind, 2n minus n units; %.0f s" % (time.time() - t0))


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "work":
        work(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        main()
