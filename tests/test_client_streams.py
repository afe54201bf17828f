"""The client's streams over scripted events from native threads: iteration,
async iteration, back-pressure, closing, errors and waiting for an order."""

import asyncio
import collections
import gc
import json
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest
import tavrolix
import tavrolix_open_api as tv
from wire import login_image
from wire_orders import EQUITY_ORDER, KINDS
from wire_realtime import event, subscribe_result, unsubscribe_result


@pytest.fixture
def client(scripted):
    scripted.queue(13, login_image(b"CH-1"))
    c = tavrolix.connect("app", "secret", pin="1")
    scripted.stand(48, unsubscribe_result())
    yield c
    c.close()


def open_stream(scripted, make, op, handle=9):
    scripted.queue(op, subscribe_result(1, handle))
    stream = make()
    sub = [s for s in scripted.subscriptions() if s.key == stream.key.encode()][-1]
    return stream, sub.receiver


def in_thread(fn, *args):
    t = threading.Thread(target=fn, args=args, daemon=True)
    t.start()
    return t


def update(order_no, status, n=0):
    return json.dumps({"event": "NEW", "event_time": "t", "order_no": order_no, "status": status, "n": n})


def test_iteration_parses_every_event_and_leaving_the_with_unsubscribes(scripted, client):
    stream, receiver = open_stream(scripted, lambda: client.price_info("ARVO", timeout=5), 47, handle=41)
    with stream:
        assert tv.is_subscribe(stream.key)
        scripted.send(receiver, event(stream.key, json.dumps({"symbol": "ARVO", "last": 45.5})), threads=3, repeat=40)
        got = [next(stream) for _ in range(120)]
        assert got == [{"symbol": "ARVO", "last": 45.5}] * 120 and stream.dropped == 0
        scripted.post(receiver, event(stream.key, '{"last": 1}'))
        scripted.flush()
    assert scripted.last_call(48).value(2) == 41 and not tv.is_subscribe(stream.key) and stream.closed
    assert list(stream) == [{"last": 1}]  # what was queued can still be read; then the iteration ends
    with pytest.raises(tavrolix.StreamClosed):
        stream.get(timeout=0)


def test_market_data_drops_the_oldest_and_counts_it(scripted, client):
    stream, receiver = open_stream(scripted, lambda: client.bid_offer("ARVO", maxsize=8), 43)
    for n in range(50):
        scripted.post(receiver, event(stream.key, str(n)))
    scripted.flush()
    assert (stream.pending(), stream.dropped) == (8, 42)
    assert [stream.get(timeout=1) for _ in range(8)] == list(range(42, 50))
    with pytest.raises(TimeoutError):
        stream.get(timeout=0.05)
    stream.close()


def test_order_updates_are_never_dropped_the_library_thread_waits_for_room(scripted, client):
    stream, receiver = open_stream(scripted, lambda: client.equity("E-1").order_updates(maxsize=3, timeout=10), 46)
    for n in range(60):
        scripted.post(receiver, event(stream.key, update("EQ%d" % (n % 4), "OPEN", n)))
    flushed = in_thread(scripted.flush)
    seen, most = [], 0
    while len(seen) < 60:
        most = max(most, stream.pending())
        seen.append(next(stream)["n"])
        time.sleep(0.001 if len(seen) < 10 else 0)
    flushed.join(10)
    assert seen == list(range(60)) and stream.dropped == 0 and most <= 3 and not flushed.is_alive()
    # many threads at once: every event arrives, none twice
    sender = in_thread(scripted.send, receiver, event(stream.key, update("EQ1", "OPEN")), 4, 50)
    assert sum(1 for _ in range(200) if next(stream)["order_no"] == "EQ1") == 200
    sender.join(10)
    stream.close()


def test_closing_releases_library_threads_held_on_a_full_queue(scripted, client):
    stream, receiver = open_stream(scripted, lambda: client.derivatives("D-1").order_updates(maxsize=1), 45)
    for n in range(5):
        scripted.post(receiver, event(stream.key, update(n, "OPEN")))
    flushed = in_thread(scripted.flush)
    until(lambda: stream._sink.writers == 1)  # the second item waits for room
    assert flushed.is_alive() and stream.pending() == 1  # held: never dropped
    closer = in_thread(stream.close)
    closer.join(10)
    flushed.join(10)
    assert not closer.is_alive() and not flushed.is_alive() and len(scripted.calls(48)) == 1


def test_async_iteration_is_woken_from_the_library_threads(scripted, client):
    stream, receiver = open_stream(scripted, lambda: client.candle_updates("ARVO", "1m", timeout=10), 44)

    async def consume():
        loop = asyncio.get_running_loop()
        # the consumer is already waiting when the native threads start
        loop.call_later(0.05, in_thread, scripted.send, receiver, event(stream.key, '{"close": 2.5}'), 2, 100)
        got = []
        async with stream:
            async for candle in stream:
                got.append(candle)
                if len(got) == 200:
                    break
        return got

    assert asyncio.run(consume()) == [{"close": 2.5}] * 200
    assert stream.closed and not tv.is_subscribe(stream.key)


def test_async_timeout_and_two_waiting_tasks(scripted, client):
    stream, receiver = open_stream(scripted, lambda: client.price_info("ARVO", timeout=0.05), 47)

    async def run():
        with pytest.raises(TimeoutError):
            await stream.__anext__()
        stream.timeout = 10
        tasks = [asyncio.ensure_future(stream.__anext__()) for _ in range(2)]
        await asyncio.sleep(0.05)
        in_thread(scripted.send, receiver, event(stream.key, "7"), 1, 2)
        return await asyncio.gather(*tasks)

    assert asyncio.run(run()) == [7, 7]
    stream.close()


def test_an_error_in_the_users_loop_propagates_and_still_unsubscribes(scripted, client, monkeypatch):
    hooked = []
    monkeypatch.setattr("sys.unraisablehook", hooked.append)
    stream, receiver = open_stream(scripted, lambda: client.price_info("ARVO", timeout=5), 47)
    scripted.post(receiver, event(stream.key, "1"))
    scripted.queue(48, unsubscribe_result(internal_error=b"gone"))  # and unsubscribing fails as well
    with pytest.raises(ZeroDivisionError), stream:
        for value in stream:
            value / 0
    assert len(scripted.calls(48)) == 1 and str(hooked[0].exc_value) == "Internal Error: gone"

    async def body(s):
        async with s:
            async for _ in s:
                raise KeyError("mine")

    stream, receiver = open_stream(scripted, lambda: client.price_info("ARVO", timeout=5), 47)
    scripted.post(receiver, event(stream.key, "1"))
    scripted.queue(48, unsubscribe_result())
    with pytest.raises(KeyError, match="mine"):
        asyncio.run(body(stream))
    assert len(scripted.calls(48)) == 2 and not tv.is_subscribe(stream.key)


def test_an_unreadable_order_update_is_raised_to_the_consumer_not_lost(scripted, client):
    stream, receiver = open_stream(scripted, lambda: client.equity("E-1").order_updates(timeout=5), 46)
    for payload in ("{not json", update("EQ1", "OPEN")):
        scripted.post(receiver, event(stream.key, payload))
    scripted.flush()
    with pytest.raises(json.JSONDecodeError):
        next(stream)
    assert next(stream)["order_no"] == "EQ1"
    stream.close()


def test_refused_subscription_raises_and_a_forgotten_stream_unsubscribes(scripted, client):
    scripted.queue(47, subscribe_result(0, error=b"UNKNOWN_SYMBOL: ZZZ"))
    with pytest.raises(tavrolix.Refused) as info:
        client.price_info("ZZZ")
    assert (type(info.value), info.value.status, info.value.code) == (tavrolix.Refused, 0, "UNKNOWN_SYMBOL")
    stream, _ = open_stream(scripted, lambda: client.price_info("ARVO"), 47)
    key = stream.key
    del stream
    gc.collect()
    assert len(scripted.calls(48)) == 1 and not tv.is_subscribe(key)


def test_wait_follows_one_order_on_the_stream_or_asks_the_account_first(scripted, client):
    shares = client.equity("E-1")
    stream, receiver = open_stream(scripted, lambda: shares.order_updates(timeout=5), 46)

    def later(*events):
        time.sleep(0.05)
        for e in events:
            scripted.post(receiver, event(stream.key, e))
        scripted.flush()

    scripted.queue(20, KINDS["e_order"].image(0, 404, "ORDER_NOT_FOUND: not yet", None))
    with pytest.raises(tavrolix.NotFound):  # nothing seen yet, and the account does not know it either
        stream.wait("EQ1", timeout=1)
    from wire_orders import lay, sample, single  # from now on the account reports an open order

    scripted.stand(20, single(256, lay(EQUITY_ORDER, dict(sample(EQUITY_ORDER), status="OPEN")), 240))
    in_thread(
        later, update("EQ1", "OPEN"), update("EQ2", "CANCELLED"), update("EQ1", "PARTIAL"), update("EQ1", "MATCHED")
    )
    assert stream.wait("EQ1", "MATCHED", timeout=5)["status"] == "MATCHED"
    with pytest.raises(tavrolix.OrderEnded) as info:
        stream.wait("EQ2", "MATCHED", timeout=5)
    assert info.value.update["status"] == "CANCELLED"
    assert [next(stream)["status"] for _ in range(4)] == ["OPEN", "CANCELLED", "PARTIAL", "MATCHED"]
    assert stream.wait("EQ1", timeout=0)["status"] == "MATCHED"  # read already: the reader's record counts

    asked = len(scripted.calls(20))
    assert stream.wait("EQ9", "OPEN", timeout=1)["status"] == "OPEN"
    with pytest.raises(TimeoutError):
        stream.wait("EQ9", "MATCHED", timeout=0.05)
    closer = threading.Timer(0.05, stream.close)
    closer.start()
    with pytest.raises(tavrolix.StreamClosed):
        stream.wait("EQ9", "MATCHED", timeout=5)
    assert len(scripted.calls(20)) == asked + 3  # asked each time: the stream never saw it


def test_close_races_deliveries_and_held_threads_never_block_exit(scripted, client, monkeypatch, tmp_path):
    hooked = []
    monkeypatch.setattr("sys.unraisablehook", hooked.append)
    for op in (43, 46, 47):
        scripted.stand(op, subscribe_result(1, 3))
    streams = [client.bid_offer("A", maxsize=2), client.equity("E-1").order_updates(maxsize=2), client.price_info("B")]
    scripted.stream_start(3, pause_us=10)  # every subscription, from three native threads
    try:
        time.sleep(0.1)
        closers = [in_thread(s.close) for s in streams]  # two of them hold delivering threads
        for t in closers:
            t.join(10)
        assert not any(t.is_alive() for t in closers)
    finally:
        sent = scripted.stream_stop()
    assert sent and not hooked and all(s.closed for s in streams)

    # A process that ends with a library thread held on a full order queue still exits.
    script = tmp_path / "held.py"
    script.write_text(
        textwrap.dedent("""\
        import time
        import tavrolix, tavrolix_sandbox as sbx
        from wire import login_image
        from wire_realtime import event, subscribe_result, unsubscribe_result
        sbx.use_scripted()
        sbx.queue(13, login_image(b"CH-1"))
        client = tavrolix.connect("a", "b")
        sbx.stand(48, unsubscribe_result())
        sbx.queue(46, subscribe_result(1, 5))
        updates = client.equity("E-1").order_updates(maxsize=1)
        for n in range(5):
            sbx.post(sbx.subscriptions()[-1].receiver, event(updates.key, '{"order_no": %d}' % n))
        deadline = time.time() + 20
        while updates._sink.writers < 1 and time.time() < deadline:  # the second item waits for room
            time.sleep(0.001)
        print("held", updates.pending())
        """)
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, str(script)], env=env, capture_output=True, text=True, timeout=30)
    assert (proc.returncode, proc.stdout.strip()) == (0, "held 1"), proc.stderr


def test_a_stream_collected_during_a_delivery_to_its_own_sink_closes_it(scripted, client):
    class Collecting(collections.deque):  # the collector runs inside the delivery
        def append(self, item):
            super().append(item)
            gc.collect()

        def extend(self, items):
            super().extend(items)
            gc.collect()

    stream, receiver = open_stream(scripted, lambda: client.equity("E-1").order_updates(), 46)
    key, sink = stream.key, stream._sink
    stream.cycle = stream  # only the collector can free it
    sink.queue = Collecting()
    del stream
    scripted.post(receiver, event(key, update("EQ1", "OPEN")))
    flushed = in_thread(scripted.flush)
    flushed.join(10)
    assert not flushed.is_alive() and sink.closed and not tv.is_subscribe(key)


def until(condition, deadline=10.0):
    end = time.monotonic() + deadline
    while not condition():
        assert time.monotonic() < end, "condition not met in time"
        time.sleep(0.005)


def test_close_ends_every_blocked_reader_thread_and_task(scripted, client):
    stream, _receiver = open_stream(scripted, lambda: client.price_info("ARVO"), 47)
    ended = []
    readers = [in_thread(lambda: ended.append(list(stream))) for _ in range(3)]

    def get_until_closed():
        with pytest.raises(tavrolix.StreamClosed) as e:
            stream.get()
        ended.append(e)

    getter = in_thread(get_until_closed)

    async def task_reader():
        return [x async for x in stream]

    async def two_tasks():
        return list(await asyncio.gather(task_reader(), task_reader()))

    tasks = in_thread(lambda: ended.append(asyncio.run(two_tasks())))
    until(lambda: len(stream._sink.wakers) == 6)  # four threads, two tasks
    stream.close()
    for t in readers + [getter, tasks]:
        t.join(10)
        assert not t.is_alive()
    assert len(ended) == 5 and ended.count([]) == 3 and [[], []] in ended


def test_ended_async_waits_leave_no_entry_behind(scripted, client):
    stream, _receiver = open_stream(scripted, lambda: client.price_info("ARVO", timeout=0.001), 47)

    async def run():
        for _ in range(200):
            with pytest.raises(TimeoutError):
                await stream.__anext__()
        stream.timeout = None
        waiting = asyncio.ensure_future(stream.__anext__())
        await asyncio.sleep(0.01)
        waiting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiting

    asyncio.run(run())
    assert not stream._sink.wakers
    stream.close()


def test_an_infinite_or_huge_timeout_waits_without_limit(scripted, client):
    stream, receiver = open_stream(scripted, lambda: client.price_info("ARVO", timeout=float("inf")), 47)
    for n, take in enumerate(
        [lambda: next(stream), lambda: stream.get(timeout=float("inf")), lambda: stream.get(timeout=1e300)]
    ):
        threading.Timer(0.05, scripted.send, (receiver, event(stream.key, str(n)))).start()
        assert take() == n

    async def anext():
        return await stream.__anext__()

    threading.Timer(0.05, scripted.send, (receiver, event(stream.key, "3"))).start()
    assert asyncio.run(anext()) == 3
    stream.close()
    shares = client.equity("E-1")
    orders, receiver = open_stream(scripted, lambda: shares.order_updates(), 46)
    for n, timeout in enumerate((float("inf"), 1e300)):
        no = "EQ%d" % n
        orders._sink.latest[no.lower()] = (0, {"order_no": no, "status": "OPEN"})  # seen open already
        threading.Timer(0.05, scripted.send, (receiver, event(orders.key, update(no, "MATCHED")))).start()
        assert orders.wait(no, timeout=timeout)["status"] == "MATCHED"
    orders.close()


def test_a_stream_whose_world_ended_ends_after_its_events(scripted, client):
    reason = "the world was reset"
    stream, receiver = open_stream(scripted, lambda: client.price_info("ARVO"), 47)
    got = []
    reader = in_thread(lambda: got.extend(stream))  # no timeout: only the end can end it
    scripted.send(receiver, event(stream.key, '{"last": 1}'))
    scripted.send(receiver, event(stream.key, json.dumps({"end": reason})))
    scripted.send(receiver, event(stream.key, '{"last": 2}'))  # nothing after the end is kept
    reader.join(10)
    assert not reader.is_alive() and got == [{"last": 1}]
    assert stream.closed and stream.end == reason
    with pytest.raises(tavrolix.StreamClosed, match=reason):
        stream.get(timeout=0)
    # an object with more keys, or an "end" that is not an object, is an ordinary event
    other, receiver = open_stream(scripted, lambda: client.price_info("ARVO"), 47)
    scripted.send(receiver, event(other.key, '{"end": "x", "last": 3}'))
    scripted.send(receiver, event(other.key, '"end"'))
    assert [other.get(timeout=5), other.get(timeout=5)] == [{"end": "x", "last": 3}, "end"] and not other.closed
    other.close()

    shares = client.equity("E-1")
    orders, receiver = open_stream(scripted, lambda: shares.order_updates(), 46)
    orders._sink.latest["eq1"] = (0, {"order_no": "EQ1", "status": "OPEN"})
    threading.Timer(0.05, scripted.send, (receiver, event(orders.key, '{ "end" : "the world was closed" }'))).start()
    with pytest.raises(tavrolix.StreamClosed, match="the world was closed"):
        orders.wait("EQ1", timeout=10)

    async def drain(s):
        return [x async for x in s]

    candles, receiver = open_stream(scripted, lambda: client.candle_updates("ARVO", "1m"), 44)
    scripted.send(receiver, event(candles.key, '{"close": 2.5}'))
    scripted.send(receiver, event(candles.key, json.dumps({"end": reason})))
    assert asyncio.run(drain(candles)) == [{"close": 2.5}]
    for s in (stream, orders, candles):
        s.close()  # unsubscribes still
    assert not any(tv.is_subscribe(s.key) for s in (stream, orders, candles))


def test_wait_matches_statuses_and_order_numbers_without_regard_to_case(scripted, client):
    shares = client.equity("E-1")
    stream, receiver = open_stream(scripted, lambda: shares.order_updates(timeout=5), 46)
    scripted.send(receiver, event(stream.key, update("EQ00000003", "MATCHED")))
    until(lambda: stream.pending() == 1)
    assert stream.wait("eq00000003", timeout=1)["status"] == "MATCHED"
    assert stream.wait("EQ00000003", "matched", timeout=1)["status"] == "MATCHED"
    scripted.send(receiver, event(stream.key, update("eq7", "Cancelled")))
    with pytest.raises(tavrolix.OrderEnded):
        stream.wait("EQ7", "matched", timeout=1)
    assert [next(stream)["order_no"] for _ in range(2)] == ["EQ00000003", "eq7"]
    assert stream.wait("Eq7", "CANCELLED", timeout=0)["status"] == "Cancelled"  # the reader's record
    stream.close()


def test_a_sink_delivering_on_its_own_readers_thread_never_waits_for_itself(scripted, client):
    shares = client.equity("E-1")

    def lockstep(started_reading):
        stream, _ = open_stream(scripted, lambda: shares.order_updates(maxsize=2, timeout=5), 46)
        if started_reading:
            stream._sink(update("EQ0", "OPEN"))
            assert next(stream)["order_no"] == "EQ0"
        for n in range(1, 6):  # the library stepping on this thread delivers here
            stream._sink(update("EQ%d" % n, "OPEN"))
        got = [next(stream)["order_no"] for _ in range(5)]
        stream.close()
        return got

    for started in (False, True):
        out = []
        t = in_thread(lambda out=out, started=started: out.append(lockstep(started)))
        t.join(10)
        assert not t.is_alive() and out == [["EQ1", "EQ2", "EQ3", "EQ4", "EQ5"]], started

    # a reader that has gone is not waited for by a thread of the program either
    stream, _ = open_stream(scripted, lambda: shares.order_updates(maxsize=2, timeout=5), 46)
    stream._sink(update("EQ0", "OPEN"))
    gone = in_thread(lambda: next(stream))
    gone.join(10)

    def deliver():
        for n in range(1, 6):
            stream._sink(update("EQ%d" % n, "OPEN"))

    stepping = in_thread(deliver)
    stepping.join(10)
    assert not stepping.is_alive() and [next(stream)["order_no"] for _ in range(5)] == ["EQ%d" % n for n in range(1, 6)]
    stream.close()


def test_payloads_read_exactly_as_json_loads_reads_them(scripted, client):
    stream, receiver = open_stream(scripted, lambda: client.price_info("ARVO", timeout=5), 47)
    texts = [
        '{"a": 1}',
        ' {"a": 1}',
        '{"a": 1}\n',
        '{"n": NaN, "big": 1e400, "int": 123456789012345678901234567890, "f": 45.00001}',
        '"\\ud800"',
        "[1, 2]",
        "7",
        '{"a": 1}{"b": 2}',
        '{"a": }',
        "",
    ]
    for text in texts:
        scripted.send(receiver, event(stream.key, text))
    until(lambda: stream.pending() == len(texts))
    for text in texts:
        try:
            expected = json.loads(text)
        except ValueError as e:  # the same error, in the same words, at its place in the stream
            with pytest.raises(type(e)) as got:
                next(stream)
            assert str(got.value) == str(e)
            continue
        assert repr(next(stream)) == repr(expected)
    stream.close()


def test_concurrent_deliveries_keep_each_threads_order_and_wait_sees_the_newest(scripted, client):
    shares = client.equity("E-1")
    stream, receiver = open_stream(scripted, lambda: shares.order_updates(maxsize=4, timeout=10), 46)
    per_thread = 150

    def deliver(t):
        for n in range(per_thread):
            status = "MATCHED" if n == per_thread - 1 else "OPEN"
            scripted.send(receiver, event(stream.key, update("EQ%d" % t, status, n)))

    senders = [in_thread(deliver, t) for t in range(3)]
    seen = [[], []]
    total = 3 * per_thread
    done = threading.Event()

    def read(box):
        while not done.is_set():
            try:
                box.append(stream.get(timeout=0.2))
            except TimeoutError:
                pass
            if len(seen[0]) + len(seen[1]) >= total:
                done.set()

    readers = [in_thread(read, box) for box in seen]
    for t in senders + readers:
        t.join(60)
        assert not t.is_alive(), "a delivery or a reader was never woken"
    for t in range(3):
        mine = [[u["n"] for u in box if u["order_no"] == "EQ%d" % t] for box in seen]
        assert sorted(mine[0] + mine[1]) == list(range(per_thread))  # each once
        assert all(m == sorted(m) for m in mine)  # in the order its thread sent them
        assert stream.wait("eq%d" % t, "matched", timeout=0)["n"] == per_thread - 1
    stream.close()


def test_a_burst_is_read_whole_and_its_tail_comes_without_waiting_for_more(scripted, client):
    stream, receiver = open_stream(scripted, lambda: client.price_info("ARVO"), 47)  # no timeout
    for size in (1, 300, 7, 1000):  # alone, past a batch, short of one, past the queue's half
        got: list = []
        reader = in_thread(lambda got=got, size=size: got.extend(next(stream) for _ in range(size)))
        scripted.send(receiver, event(stream.key, '{"last": 1}'), repeat=size)
        reader.join(10)  # a tail left for a next batch that never comes would hang here
        assert not reader.is_alive() and got == [{"last": 1}] * size

    async def burst(size):
        return [await stream.__anext__() for _ in range(size)]

    for size in (5, 700):
        sender = in_thread(lambda size=size: scripted.send(receiver, event(stream.key, '{"last": 2}'), repeat=size))
        assert asyncio.run(asyncio.wait_for(burst(size), 10)) == [{"last": 2}] * size
        sender.join()
    assert stream.dropped == 0
    stream.close()
