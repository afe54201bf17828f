"""Processes for the realtime reliability tests, one scenario each:

    python streams.py SCENARIO

Scripted mode; the library's native threads deliver while the scenario runs.
A scenario prints "done" when it has reached its end; the test judges the
exit status, the output and how long the process took to end."""

import atexit
import concurrent.futures
import os
import queue
import sys
import threading
import time
import warnings

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from wire import login_image
from wire_realtime import TOPICS, event, subscribe_result, unsubscribe_result

BID, DERIV = TOPICS[0], TOPICS[3]


def setup():
    sbx.use_scripted()
    sbx.queue(13, login_image(b"CH-1"))
    ctx = tv.login("a", "b", "", "", False)
    for t in TOPICS:
        sbx.stand(t.op, subscribe_result(1, 1))
    sbx.stand(48, unsubscribe_result())
    sbx.set_recording(False)
    return ctx


def receiver():
    return sbx.subscriptions()[-1].receiver


def streams(ctx, callable_, n=10, threads=4):
    keys = [TOPICS[i % 5].subscribe(ctx, "S%d" % i, callable_) for i in range(n)]
    sbx.stream_start(threads, 0)
    return keys


def blocked_forever(ctx):
    """A subscription whose callable never returns once its event came."""
    entered, never = threading.Event(), threading.Event()

    def cb(payload):
        entered.set()
        never.wait()

    key = DERIV.subscribe(ctx, "blocked", cb)
    sbx.post(receiver(), event(key, "one"))
    entered.wait()
    return key


# ---------------------------------------------------------------- exit
def exit_unsubscribe_in_daemon_thread(ctx):
    # A daemon thread ends a stream whose callable is blocked, then the process ends.
    key = blocked_forever(ctx)
    streams(ctx, lambda p: time.sleep(0.001))
    t = threading.Thread(target=tv.unsubscribe, args=("CH-1", key), daemon=True)
    t.start()
    time.sleep(0.1)


def exit_daemon_churn(ctx):
    # Daemon threads subscribe and unsubscribe while slow callables run.
    streams(ctx, lambda p: time.sleep(0.002))

    def churn():
        while True:
            tv.unsubscribe("CH-1", DERIV.subscribe(ctx, "churn", lambda p: time.sleep(0.001)))

    for _ in range(3):
        threading.Thread(target=churn, daemon=True).start()
    time.sleep(0.3)


class GivesUpTheLockWhenCollected:
    """Collected while the interpreter finalizes, lets other threads have its lock."""

    def __del__(self, sleep=time.sleep):
        sleep(0.05)


def exit_hook_removed(ctx):
    # Without the exit hook, deliveries meet the finalizing interpreter.
    global collected_late
    collected_late = GivesUpTheLockWhenCollected()
    streams(ctx, lambda p: sum(range(20)))
    time.sleep(0.2)
    atexit._clear()


def exit_hook_removed_sleeping_callables(ctx):
    # Callables that give up the interpreter lock inside, while it finalizes.
    global collected_late
    collected_late = GivesUpTheLockWhenCollected()
    streams(ctx, lambda p: time.sleep(0.0005), n=20)
    blocked_forever(ctx)
    time.sleep(0.2)
    atexit._clear()


def exit_callable_blocked(ctx):
    # The exit hook must not wait for good for a callable that never returns.
    blocked_forever(ctx)
    streams(ctx, lambda p: None)
    time.sleep(0.1)


def exit_os_exit(ctx):
    streams(ctx, lambda p: time.sleep(0.0005))
    blocked_forever(ctx)
    time.sleep(0.1)
    print("done", flush=True)
    os._exit(0)


def forced_thread_exit(ctx):
    # A finalizing interpreter ends a thread that asks for its lock with
    # pthread_exit, which unwinds the thread's stack; here the callable ends
    # its own thread so, at will.
    import ctypes

    libc = ctypes.CDLL(None)  # calls through it give up the interpreter lock
    libc.pthread_exit.argtypes = [ctypes.c_void_p]
    got = []

    def cb(payload):
        got.append(payload)
        if payload.startswith("end"):
            libc.pthread_exit(None)

    key = BID.subscribe(ctx, "F", cb)
    sbx.send(receiver(), event(key, "end", 1, "bidofferv1,F"), threads=2)
    sbx.send(receiver(), event(key, "after", 1, "bidofferv1,F"))
    assert got == ["end", "end", "after"], got
    first = []
    tv.unsubscribe("CH-1", BID.subscribe(ctx, "F", first.append))
    assert first == ["after"], first


# ---------------------------------------------------------------- unsubscribe never waits
def hang_full_queue(ctx):
    # The callable blocks on a full queue whose consumer is the unsubscribing thread.
    q = queue.Queue(maxsize=1)
    key = DERIV.subscribe(ctx, "q", q.put)
    for n in range(2):
        sbx.post(receiver(), event(key, str(n)))
    while not q.full():
        time.sleep(0.001)
    time.sleep(0.05)  # the second put is waiting
    tv.unsubscribe("CH-1", key)
    assert [q.get(), q.get()] == ["0", "1"]
    sbx.flush()


def hang_executor(ctx):
    # The callable has another thread end its own subscription, and waits for it.
    pool = concurrent.futures.ThreadPoolExecutor(1)
    keys = []

    def cb(payload):
        pool.submit(tv.unsubscribe, "CH-1", keys[0]).result()

    keys.append(DERIV.subscribe(ctx, "x", cb))
    sbx.post(receiver(), event(keys[0], "one"))
    sbx.flush()
    assert not tv.is_subscribe(keys[0])


def hang_shared_lock(ctx):
    # A lock held around unsubscribe that the callable also takes.
    lock, entered = threading.Lock(), threading.Event()

    def cb(payload):
        entered.set()
        with lock:
            pass

    key = DERIV.subscribe(ctx, "l", cb)
    with lock:
        sbx.post(receiver(), event(key, "one"))
        entered.wait()
        time.sleep(0.05)
        tv.unsubscribe("CH-1", key)
    sbx.flush()


# ---------------------------------------------------------------- fork
def fork_while_streaming(ctx):
    forks = int(os.environ.get("FORKS", "200"))
    parent_keys = streams(ctx, lambda p: None, n=10, threads=4)
    failed, hung = 0, 0
    # Newer interpreters warn of exactly the hazard this scenario exercises.
    warnings.simplefilter("ignore", DeprecationWarning)
    for _ in range(forks):
        pid = os.fork()
        if pid == 0:
            os._exit(child(ctx, parent_keys))
        deadline = time.monotonic() + 10
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                failed += os.waitstatus_to_exitcode(status) != 0
                break
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                hung += 1
                break
            time.sleep(0.001)
    after = sum(sbx.stream_stop().values())
    print("forks %d failed %d hung %d" % (forks, failed, hung))
    assert after > 0
    assert all(tv.is_subscribe(k) for k in parent_keys)


def child(ctx, parent_keys):
    """The child's run: no stream came along; the module works; a normal exit."""
    try:
        assert not any(tv.is_subscribe(k) for k in parent_keys)
        got = []
        key = DERIV.subscribe(ctx, "child", got.append)
        sbx.send(receiver(), event(key, "in the child"), threads=2)
        assert got == ["in the child"] * 2, got
        tv.unsubscribe("CH-1", key)
        assert not tv.is_subscribe(key)
        sys.stdout.flush()
    except BaseException as e:
        print("child:", repr(e), flush=True)
        return 3
    # The child ends like any process: its exit hook and finalization run.
    try:
        atexit._run_exitfuncs()
    except BaseException:
        return 4
    return 0


if __name__ == "__main__":
    scenario = globals()[sys.argv[1]]
    scenario(setup())
    print("done", flush=True)
