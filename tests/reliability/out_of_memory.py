"""Every argument path of every function, called with one argument too large
for the memory left under an address-space limit: each call must raise
MemoryError. Run as a child process (an abort must not take the suite along);
prints one line per call that did not, then the number of calls and of
functions called."""

import os
import resource
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import numpy as np
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from catalog import FUNCTIONS, result_image

from reliability.scenario import arguments, context

SIZE = 32 << 20  # far above the allocator's mmap threshold: each copy maps new memory
PAGE = os.sysconf("SC_PAGE_SIZE")


def address_space():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * PAGE


def under_limit(margin, fn, args):
    """fn(*args) with only `margin` bytes of address space left; its outcome."""
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + margin, hard))
    try:
        fn(*args)
        return "returned"
    except MemoryError:
        return None
    except BaseException as e:
        return "%s: %s" % (type(e).__name__, str(e)[:80])
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))


ASCII = "x" * SIZE
BIG = {  # shared by every call: none of them may keep a copy
    "str": ASCII,
    "bytes": ASCII.encode(),
    "non-ASCII str": "\u00e9" * (SIZE // 2),  # its UTF-8 form is SIZE bytes, made on demand
}
ARRAYS = {
    "int64 array": np.arange(SIZE // 8, dtype=np.int64),
    "float64 array": np.arange(SIZE // 8, dtype=np.float64),
    "strided int32 array": np.arange(SIZE // 2, dtype=np.int32)[::2],
}
LOOKED_UP_ONLY = {("is_subscribe", 0), ("unsubscribe", 1)}  # a subscription key is never copied


def variants(name, kinds, ctx):
    """(what, margin, arguments): one large argument in each position."""
    for pos, kind in enumerate(kinds):
        if kind == "s":
            for what, value in BIG.items():
                # Half: the first copy fails. One and a half: the first copy
                # (the converted argument) succeeds and the text copy fails.
                margins = [SIZE // 2]
                if what != "non-ASCII str" and (name, pos) not in LOOKED_UP_ONLY:
                    margins.append(SIZE * 3 // 2)
                for margin in margins:
                    args = arguments(kinds, ctx)
                    args[pos] = value
                    yield "%s at %d, margin %d MiB" % (what, pos, margin >> 20), margin, args
        elif kind == "L":
            for what, value in BIG.items():
                args = arguments(kinds, ctx)
                args[pos] = ["o-1", value]
                yield "list of %s at %d" % (what, pos), SIZE // 2, args
        elif kind == "A":
            for what, value in ARRAYS.items():
                args = arguments(kinds, ctx)
                args[pos] = value
                yield what, SIZE // 8, args
        elif kind == "d":
            for key in ("channel_id", "daemon_type"):
                for what, value in BIG.items():
                    bad = context()
                    (bad if key == "channel_id" else bad["configuration"])[key] = value
                    args = arguments(kinds, ctx)
                    args[pos] = bad
                    yield "context %s as %s" % (key, what), SIZE // 2, args


def main():
    sbx.use_scripted()
    sbx.set_recording(False)
    ctx = context()
    images = {op: result_image(op, "success") for _, op, _ in FUNCTIONS if op}
    calls, failures, covered = 0, [], set()
    for name, op, kinds in FUNCTIONS:
        for what, margin, args in variants(name, kinds, ctx):
            sbx.reset()
            if op:
                sbx.queue(op, images[op])
            outcome = under_limit(margin, getattr(tv, name), args)
            calls += 1
            covered.add(name)
            if outcome:
                failures.append("%s, %s: %s" % (name, what, outcome))
            del args
    sbx.reset()
    for f in failures:
        print(f)
    print(calls, len(covered))


if __name__ == "__main__":
    main()
