"""Four Python threads calling random functions while four native threads
stream events (run in a child process; prints a JSON summary)."""

import faulthandler
import json
import os
import random
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from catalog import FUNCTIONS, RESULT_SIZE, result_image

from reliability.scenario import arguments, context


class Stream:
    """What one subscription's callable received, and how much had arrived
    when its unsubscribe returned.

    Every other stream's callable is the builtin `append` of its list, which
    runs whole under the interpreter lock: whatever arrives after the mark is
    a call that started after unsubscribe returned. A Python callable may be
    switched out before its first line and finish later, so its streams are
    not counted late (only lost or duplicated)."""

    def __init__(self, exact):
        self.payloads = []
        self.exact = exact
        self.stopped_at = None
        self.callable = self.payloads.append if exact else self.receive

    def receive(self, payload):
        self.payloads.append(payload)

    def stop(self):
        self.stopped_at = len(self.payloads)

    @property
    def late(self):
        return len(self.payloads) - self.stopped_at if self.exact and self.stopped_at is not None else 0


def worker(seed, deadline, streams, lock, errors, calls, reused):
    rng = random.Random(seed)
    ctx = context()
    mine = []
    plain = [f for f in FUNCTIONS if f[0] not in ("login", "unsubscribe") and not f[0].startswith("subscribe_")]
    subscribes = [f for f in FUNCTIONS if f[0].startswith("subscribe_")]
    n = 0
    try:
        while time.monotonic() < deadline:
            r = rng.random()
            if r < 0.05 or (r < 0.1 and not mine):
                name, _, kinds = rng.choice(subscribes)
                stream = Stream(exact=n % 2 == 0)
                args = arguments(kinds, ctx)
                args[-1] = stream.callable
                key = getattr(tv, name)(*args)
                with lock:
                    if key in streams:
                        # The clock spelled an ended key again; the stream's per-key
                        # count then covers two subscriptions.
                        reused.add(key)
                    streams[key] = stream
                mine.append((key, stream))
            elif r < 0.08 and mine:
                key, stream = mine.pop(rng.randrange(len(mine)))
                tv.unsubscribe("CH-1", key)
                # After unsubscribe returned, nothing more may arrive. This
                # stream, not streams[key]: another thread may have been given
                # the ended key again meanwhile.
                stream.stop()
            else:
                name, _, kinds = rng.choice(plain)
                try:
                    getattr(tv, name)(*arguments(kinds, ctx))
                except RuntimeError:
                    pass
            n += 1
    except BaseException as e:  # pragma: no cover - reported to the parent
        errors.append(repr(e))
    calls.append(n)


def main(seconds):
    faulthandler.dump_traceback_later(seconds + 60, exit=True)  # watchdog: a hang dumps stacks and fails
    sbx.use_scripted()
    sbx.set_recording(False)
    for op in RESULT_SIZE:
        sbx.stand(op, result_image(op, "success"))
    streams, lock, errors, calls, reused = {}, threading.Lock(), [], [], set()
    sbx.stream_start(4, 200)
    deadline = time.monotonic() + seconds
    threads = [
        threading.Thread(target=worker, args=(i, deadline, streams, lock, errors, calls, reused)) for i in range(4)
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    sent = sbx.stream_stop()
    faulthandler.cancel_dump_traceback_later()
    live = {k: s for k, s in streams.items() if s.stopped_at is None}
    lost = dup = late = 0
    for key, s in streams.items():
        numbers = [p.split("|", 1)[1] for p in s.payloads]
        dup += len(numbers) - len(set(numbers))
        late += s.late
        if key in live and key not in reused:
            lost += sent.get(key.encode(), 0) - len(s.payloads)
    print(
        json.dumps(
            {
                "seconds": seconds,
                "calls": sum(calls),
                "subscriptions": len(streams),
                "live": len(live),
                "events_sent": sum(sent.values()),
                "events_received": sum(len(s.payloads) for s in streams.values()),
                "lost": lost,
                "duplicates": dup,
                "late": late,
                "reused_keys": len(reused),
                "errors": errors,
            }
        )
    )


if __name__ == "__main__":
    main(float(sys.argv[1]))
