"""Every registered function through success, refusal and internal-error
results, `rounds` times: the workload of the leak checks."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from catalog import FUNCTIONS, result_image

PATHS = ("success", "refusal", "internal")


def context():
    return {
        "channel_id": "CH-1",
        "configuration": {"enable_queue": True, "daemon_type": "STAND_ALONE", "max_torelation": 0, "rate_limit": 0},
    }


def arguments(kinds, ctx):
    sample = {
        "d": ctx,
        "s": "acct",
        "i": 7,
        "f": 1.5,
        "b": True,
        "L": ["o-1", "o-2"],
        "A": [1, 2, 3],
        "C": lambda payload: None,
    }
    return [sample[k] for k in kinds]


def images():
    return {(op, path): result_image(op, path) for _, op, _ in FUNCTIONS if op for path in PATHS}


def run(rounds, prepared=None):
    prepared = prepared or images()
    ctx = context()
    calls = 0
    for _ in range(rounds):
        for name, op, kinds in FUNCTIONS:
            fn = getattr(tv, name, None)
            if fn is None:
                continue
            for path in PATHS if op else ("none",):
                if op:
                    sbx.queue(op, prepared[(op, path)])
                try:
                    result = fn(*arguments(kinds, ctx))
                except RuntimeError:
                    result = None
                calls += 1
                if name.startswith("subscribe_") and isinstance(result, str):
                    sbx.queue(48, prepared[(48, "success")])
                    tv.unsubscribe("CH-1", result)
                    calls += 1
    return calls


if __name__ == "__main__":
    sbx.use_scripted()
    sbx.set_recording(False)
    print(run(int(sys.argv[1]) if len(sys.argv) > 1 else 3))
    sbx.reset()
