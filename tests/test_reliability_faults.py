"""Internal errors injected at random points of a long scenario."""

import collections
import gc
import random
import tracemalloc

import tavrolix_open_api as tv
from catalog import FUNCTIONS, result_image
from reliability.scenario import arguments

SUBSCRIBE = {name for name, _, _ in FUNCTIONS if name.startswith("subscribe_")}
WITH_INTERNAL_ERROR = {op for _, op, _ in FUNCTIONS if op and op not in (43, 44, 45, 46, 47)}


def run(scripted, ctx, steps, rng, live, gone, counts):
    prepared = {}
    names = [f for f in FUNCTIONS if f[1] and f[0] not in ("login", "unsubscribe")]
    for _ in range(steps):
        if live and rng.random() < 0.15:
            name, op, kinds = "unsubscribe", 48, "ss"
        else:
            name, op, kinds = rng.choice(names)
        path = rng.choices(["success", "refusal", "internal"], [5, 2, 2])[0]
        if path == "internal" and op not in WITH_INTERNAL_ERROR:
            path = "refusal"
        image = prepared.get((op, path)) or prepared.setdefault((op, path), result_image(op, path))
        scripted.queue(op, image)
        args = arguments(kinds, ctx)
        key = None
        if name == "unsubscribe":
            key = rng.choice(sorted(live))
            args = ["CH-1", key]
        counts[path] += 1
        try:
            result = getattr(tv, name)(*args)
        except RuntimeError as e:
            if path == "internal":
                assert str(e) == "Internal Error: boom", (name, e)
            else:
                assert name in SUBSCRIBE and str(e) == "refused", (name, path, e)
            result = e
        else:
            assert path != "internal", (name, "internal error not raised")
        if name in SUBSCRIBE and isinstance(result, str):
            live.add(result)
            counts["subscribed"] += 1
            while result in gone:  # a later clock reading may spell an ended key again
                gone.remove(result)
        if name == "unsubscribe" and path != "internal":
            live.discard(key)
            gone.append(key)
        if rng.random() < 0.05:
            assert all(tv.is_subscribe(k) for k in live)
            assert not any(tv.is_subscribe(k) for k in gone)


def test_internal_errors_at_random_points_keep_the_registries_consistent(scripted, ctx):
    scripted.set_recording(False)
    rng = random.Random(20261208)
    # Bounded bookkeeping, so that the memory measured is the module's.
    live, gone = set(), collections.deque(maxlen=64)
    counts = {"success": 0, "refusal": 0, "internal": 0, "subscribed": 0}
    tracemalloc.start()
    try:
        # Warmed up under tracing: the pool, interned keys, registry buckets and
        # the interpreter's own caches (which newer versions fill lazily).
        run(scripted, ctx, 3000, rng, live, gone, counts)
        for key in sorted(live):
            scripted.queue(48, result_image(48, "success"))
            tv.unsubscribe("CH-1", key)
        live.clear()
        gc.collect()
        base, _ = tracemalloc.get_traced_memory()
        run(scripted, ctx, 20000, rng, live, gone, counts)
        last = sorted(live)
        for key in last:
            scripted.queue(48, result_image(48, "success"))
            tv.unsubscribe("CH-1", key)
        live.clear()
        gc.collect()
        grown, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
        scripted.set_recording(True)
    assert not any(tv.is_subscribe(k) for k in last)
    assert counts["internal"] > 3000 and counts["subscribed"] > 500, counts
    assert grown - base < 16 * 1024, grown - base
