"""Realtime delivery under concurrency: many native threads delivering while
Python subscribes and unsubscribes, callables that unsubscribe themselves or
subscribe from their event, and a process that exits while streams run.
`bash scripts/sanitize.sh tsan` runs this file under ThreadSanitizer."""

import os
import subprocess
import sys
import textwrap
import threading
import time
import weakref
from collections import defaultdict

import pytest
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from wire_realtime import BY_NAME, TOPICS, event, receiver_of, subscribe_call, subscribe_result, unsubscribe_result

HERE = os.path.dirname(os.path.abspath(__file__))
BID = BY_NAME["subscribe_bid_offer"]
CDL = BY_NAME["subscribe_candlestick"]
DERIV = BY_NAME["subscribe_derivatives_order"]


@pytest.fixture
def standing(scripted):
    """Every subscription accepted with handle 9, every unsubscribe clean."""
    for t in TOPICS:
        scripted.stand(t.op, subscribe_result(1, 9))
    scripted.stand(48, unsubscribe_result())
    return scripted


def test_streams_while_python_subscribes_and_unsubscribes(ctx, standing, unraisable_free):
    got = defaultdict(list)  # subscription number -> payloads
    keys = {}
    at_unsubscribe = {}  # subscription number -> payloads it had when unsubscribe returned

    def callable_for(n):
        # A builtin never gives up the interpreter lock, so a call that has
        # started has also appended by the time unsubscribe can return.
        return got[n].append

    lock = threading.Lock()
    counter = iter(range(10**6))

    def subscribe_one():
        with lock:
            n = next(counter)
        keys[n] = TOPICS[n % len(TOPICS)].subscribe(ctx, "S%d" % n, callable_for(n))
        return n

    steady = [subscribe_one() for _ in range(5)]
    dropped, kept = [], []
    errors = []

    def churn(rounds):
        # Each round subscribes one; every other round ends the one before,
        # which has had events in flight meanwhile.
        try:
            previous = None
            for r in range(rounds):
                n = subscribe_one()
                if r % 2:
                    tv.unsubscribe("CH-1", keys[previous])
                    at_unsubscribe[previous] = len(got[previous])
                    dropped.append(previous)
                    kept.append(n)
                previous = n
                time.sleep(0.002)
            if rounds % 2:
                kept.append(previous)
        except BaseException as e:  # reported below, not lost on a worker thread
            errors.append(e)

    standing.stream_start(threads=6, pause_us=50)
    try:
        workers = [threading.Thread(target=churn, args=(30,)) for _ in range(2)]
        for w in workers:
            w.start()
        churn(30)
        for w in workers:
            w.join()
    finally:
        sent = standing.stream_stop()

    assert errors == []
    assert {n: len(got[n]) for n in dropped} == {n: at_unsubscribe[n] for n in dropped}, "a call after unsubscribe"
    assert len(set(keys.values())) == len(keys)
    for n, payloads in got.items():
        assert {p.split("|")[0] for p in payloads} <= {keys[n]}
        assert len(payloads) == len(set(payloads)), "an event was delivered twice"
    for n in steady + kept:
        assert len(got[n]) == sent.get(keys[n].encode(), 0), "live subscription %d lost events" % n
    for n in dropped:
        assert len(got[n]) <= sent.get(keys[n].encode(), 0)
    assert all(sent.get(keys[n].encode(), 0) > 0 for n in steady)
    assert all(tv.is_subscribe(keys[n]) for n in steady + kept)
    assert not any(tv.is_subscribe(keys[n]) for n in dropped)


def test_callable_that_unsubscribes_itself(ctx, standing):
    seen = []

    class OneShot:
        key = None

        def __call__(self, payload):
            seen.append(payload)
            tv.unsubscribe("CH-1", self.key)
            seen.append(tv.is_subscribe(self.key))
            self.last = payload  # still alive after its registry entry went

    standing.queue(DERIV.op, subscribe_result(1, 4242))
    cb = OneShot()
    key = cb.key = DERIV.subscribe(ctx, "ACC", cb)
    alive = weakref.ref(cb)
    del cb
    standing.send(receiver_of(DERIV), event(key, "once"), threads=1, repeat=3)
    assert seen == ["once", False]
    assert sbx.last_call(48).value(2) == 4242
    # The native thread dropped the last reference, under the interpreter lock.
    assert alive() is None


def test_a_delivering_thread_follows_the_registry_as_it_grows_and_shrinks(ctx, standing):
    # One long-lived library thread delivers to the same key again and again
    # (it may remember where that key's callable is) while Python grows the
    # registry past several rehashes, then ends the key.
    got, others = [], []
    key = DERIV.subscribe(ctx, "A", got.append)
    receiver = receiver_of(DERIV)
    sbx.post(receiver, event(key, "1"))
    sbx.flush()
    keys = [DERIV.subscribe(ctx, "X%d" % i, others.append) for i in range(300)]
    sbx.post(receiver, event(key, "2"))
    sbx.post(receiver, event(keys[-1], "x"))
    sbx.post(receiver, event(key, "3"))
    sbx.flush()
    tv.unsubscribe("CH-1", key)
    sbx.post(receiver, event(key, "4"))
    sbx.post(receiver, event(keys[0], "y"))
    sbx.flush()
    for k in keys[:150]:
        tv.unsubscribe("CH-1", k)
    sbx.post(receiver, event(keys[0], "z"))
    sbx.post(receiver, event(keys[-1], "w"))
    sbx.flush()
    assert got == ["1", "2", "3"]
    assert others == ["x", "y", "w"]


def test_callable_that_subscribes_from_its_event(ctx, standing):
    # A payload cached beforehand is replayed inside the event, on the native thread.
    seed = BID.subscribe(ctx, "INNER", lambda p: None)
    standing.send(receiver_of(BID), event(seed, "cached", 1, "bidofferv1,INNER"))

    inner, made = [], []

    def outer(payload):
        made.append(CDL.subscribe(ctx, "I", inner.append, payload))
        made.append(BID.subscribe(ctx, "INNER", lambda p: inner.append((threading.get_ident(), p))))

    key = DERIV.subscribe(ctx, "O", outer)
    standing.post(receiver_of(DERIV), event(key, "1m"))
    standing.flush()
    assert len(made) == 2 and all(tv.is_subscribe(k) for k in made)
    assert subscribe_call(sbx.last_call(CDL.op)).subjects == (b"I", b"1m")
    assert len(inner) == 1 and inner[0][1] == "cached" and inner[0][0] != threading.get_ident()

    standing.send(receiver_of(CDL), event(made[0], "inner event"), threads=2)
    assert inner[1:] == ["inner event", "inner event"]


@pytest.fixture
def unraisable_free(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    yield
    assert seen == []


EXIT = textwrap.dedent("""
    import sys, threading, time
    sys.path.insert(0, %(tests)r)
    import tavrolix_open_api as tv
    import tavrolix_sandbox as sbx
    from wire import login_image
    from wire_realtime import TOPICS, event, subscribe_result, unsubscribe_result

    mode = sys.argv[1]
    sbx.use_scripted()
    sbx.queue(13, login_image(b"CH-1"))
    ctx = tv.login("a", "b", "", "", False)
    for t in TOPICS:
        sbx.stand(t.op, subscribe_result(1, 1))
    sbx.stand(48, unsubscribe_result())
    sbx.set_recording(False)

    made = []

    def cb(payload):
        if mode == "slow callables":
            time.sleep(0.002)
        elif mode == "callables subscribe" and len(made) < 200:
            made.append(TOPICS[4].subscribe(ctx, "again", cb))

    keys = [TOPICS[i %% 5].subscribe(ctx, "S%%d" %% i, cb) for i in range(10)]
    sbx.stream_start(4, 0)
    for i in range(200):
        sbx.post(sbx.subscriptions()[0].receiver, event(keys[0], "posted"))

    def churn():
        while True:
            k = TOPICS[2].subscribe(ctx, "churn", cb)
            tv.unsubscribe("CH-1", k)

    if mode == "python threads churn":
        for _ in range(2):
            threading.Thread(target=churn, daemon=True).start()
    time.sleep(0.2)
    print("exiting", flush=True)
    if mode == "sys.exit":
        sys.exit(0)
""")


@pytest.mark.parametrize(
    "mode", ["end of script", "sys.exit", "slow callables", "callables subscribe", "python threads churn"]
)
def test_process_exits_cleanly_while_streams_deliver(mode):
    run = subprocess.run(
        [sys.executable, "-c", EXIT % {"tests": HERE}, mode], capture_output=True, text=True, timeout=300
    )
    assert run.returncode == 0, run.stderr[-4000:]
    assert run.stdout == "exiting\n"
    assert run.stderr == ""
