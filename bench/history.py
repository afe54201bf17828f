"""Loading history: a CSV of bars and one of trades (a text side column)
through the loaders, against pandas.read_csv plus the DataFrame path.

    python bench/history.py [--rows 500000] [--repeat 3]

Prints seconds (best of --repeat) and microseconds a row for:
  pandas+frame   pandas.read_csv(path) then history.bars/trades(frame)
  csv            history.bars/trades(path), the loader's own road
  csv no pandas  the same with pandas hidden (what a machine without pandas
                 gets: the csv module, column by column)
  csv rows       the same with the row-by-row road forced (what every file
                 whose columns cannot be taken whole gets)
and the ratio csv / (pandas+frame), which the loader keeps within 1.5.
"""

import argparse
import datetime as dt
import os
import sys
import tempfile
import time

from tavrolix_sandbox import history as H

T0 = dt.datetime(2026, 3, 2, 10, 0, 0)


def write(path, n, kind):
    with open(path, "w") as f:
        if kind == "bars":
            f.write("time,open,high,low,close,volume\n")
            for i in range(n):
                t = (T0 + dt.timedelta(minutes=i)).isoformat()
                p = 45.0 + (i % 40) * 0.25
                f.write("%s,%.2f,%.2f,%.2f,%.2f,%d\n" % (t, p, p + 0.5, p - 0.25, p + 0.25, 100 + i % 900))
        else:
            f.write("time,price,volume,side\n")
            for i in range(n):
                t = (T0 + dt.timedelta(seconds=i)).isoformat()
                f.write("%s,%.2f,%d,%s\n" % (t, 45.0 + (i % 40) * 0.25, 1 + i % 300, ("BUY", "SELL", "")[i % 3]))


def without_pandas(load, path):
    """The load as on a machine without pandas: its import fails."""
    kept = sys.modules.get("pandas")
    sys.modules["pandas"] = None  # type: ignore[assignment]
    try:
        return load(path, symbol="ARVO")
    finally:
        if kept is None:
            del sys.modules["pandas"]
        else:
            sys.modules["pandas"] = kept


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - start)
    return min(times), out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=500_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--skip-rows-road", action="store_true", help="leave out the (slow) row-by-row road")
    args = ap.parse_args()
    try:
        import pandas as pd
    except ImportError:
        pd = None
    print("python %s, pandas %s, %d rows" % (sys.version.split()[0], pd.__version__ if pd else "none", args.rows))
    with tempfile.TemporaryDirectory() as tmp:
        for kind, load in (("bars", H.bars), ("trades", H.trades)):
            path = os.path.join(tmp, kind + ".csv")
            write(path, args.rows, kind)
            figures = {}
            if pd is not None:
                figures["pandas+frame"] = best(
                    lambda load=load, path=path: load(pd.read_csv(path), symbol="ARVO"), args.repeat
                )
            figures["csv"] = best(lambda load=load, path=path: load(path, symbol="ARVO"), args.repeat)
            figures["csv no pandas"] = best(lambda load=load, path=path: without_pandas(load, path), args.repeat)
            if not args.skip_rows_road:
                keep = H._read_csv, H._csv_fast
                H._read_csv = H._csv_fast = lambda *a: None
                try:
                    figures["csv rows"] = best(lambda load=load, path=path: load(path, symbol="ARVO"), 1)
                finally:
                    H._read_csv, H._csv_fast = keep
            outs = [out for _, out in figures.values()]
            assert all(o == outs[0] for o in outs), "the roads disagree"
            for name, (secs, _) in figures.items():
                print("%-7s %-14s %7.3f s  %6.2f us/row" % (kind, name, secs, secs / args.rows * 1e6))
            if "pandas+frame" in figures:
                print("%-7s csv / (pandas+frame) = %.2f" % (kind, figures["csv"][0] / figures["pandas+frame"][0]))
                print(
                    "%-7s csv no pandas / (pandas+frame) = %.2f"
                    % (kind, figures["csv no pandas"][0] / figures["pandas+frame"][0])
                )


if __name__ == "__main__":
    main()
