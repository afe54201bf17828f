"""Realtime subscriptions as iterators and async iterators.

The library calls a stream's sink on its own threads; the sink appends the
payload to the stream's bounded queue, and wakes a consumer only when one has
run out of events and waits: a thread blocked in ``next()`` or a task awaiting
``__anext__`` (woken through ``loop.call_soon_threadsafe``, so the event loop
is only ever touched from its own thread). After a quiet spell the first event
wakes it at once; while events keep coming it is woken per batch (_BATCH,
_GATHER), and takes the waiting events one after another with no hand-over
between threads. Back-pressure: a market-data stream drops its
oldest payload when the queue is full and counts it in ``dropped``; an order
stream never drops: a full queue holds the delivering library thread until the
consumer makes room."""

import asyncio
import atexit
import json
import math
import sys
import threading
import time
import weakref
from collections import deque
from functools import partial
from itertools import count, islice
from typing import Any, Callable, Deque, Dict, Generic, Iterator, List, Optional, Tuple, TypeVar

import tavrolix_open_api as _tv

from .enums import FINAL_STATUSES, fold
from .errors import OrderEnded, refusal

__all__ = ["Stream", "OrderStream", "StreamClosed"]

T = TypeVar("T")  # what the stream yields
O = TypeVar("O")  # the order record an order stream waits for
N = TypeVar("N", int, str)  # its order numbers

_Self = TypeVar("_Self", bound="Stream[Any]")
_loads = json.loads
# The decoder's own scanner, which json.loads reaches through two Python-level
# calls and two regular expressions; _parse keeps loads' answers exactly.
_scan: Callable[[str, int], Tuple[Any, int]] = json.JSONDecoder().scan_once  # type: ignore[attr-defined]


class StreamClosed(Exception):
    """The stream was closed while waiting on it, or its world ended (the reason is the message)."""


def _release(fut: "asyncio.Future[None]") -> None:
    if not fut.done():
        fut.set_result(None)


_TIMEOUT_MAX = threading.TIMEOUT_MAX
# A reader that is in a burst of events is woken once this many wait (or the
# queue is half full), not for the first: each wake hands the interpreter lock
# over twice, which costs more than reading many events. How long it lets them
# gather at most, when the burst ends short of that: seconds.
_BATCH = 256
_GATHER = 0.0002
_monotonic = time.monotonic
_get_ident = threading.get_ident
_new_lock = threading.Lock
# The library's last word to a subscription whose world ended: {"end": "<reason>"}.
# A prefix test first: it runs for every event, on the delivering thread.
_END_PREFIXES = ('{"end"', '{ "end"')


def _deadline(timeout: Optional[float]) -> Optional[float]:
    """When a wait of ``timeout`` seconds ends; None for ever (None or infinity)."""
    if timeout is None:
        return None
    timeout = float(timeout)
    if timeout != timeout:
        raise ValueError("timeout is NaN")
    if timeout == math.inf:
        return None
    return _monotonic() + timeout


def _parse(payload: str) -> Any:
    """json.loads(payload), by the shortest way for a payload that is one JSON value and nothing else."""
    try:
        obj, end = _scan(payload, 0)
    except (StopIteration, ValueError):  # loads says why, in its own words
        return _loads(payload)
    if end != len(payload):
        return _loads(payload)
    return obj


def _end_reason(payload: str) -> Optional[str]:
    try:
        obj = _loads(payload)
    except ValueError:
        return None
    if type(obj) is not dict or len(obj) != 1:
        return None
    return str(obj["end"])


def _is_library_thread(ident: int) -> bool:
    # A thread Python did not start (the library's own) is never a stream's reader.
    t = threading._active.get(ident)  # type: ignore[attr-defined]
    return t is None or isinstance(t, threading._DummyThread)


_open_sinks: "weakref.WeakSet[_Sink]" = weakref.WeakSet()


@atexit.register
def _release_all() -> None:
    # A library thread held on a full order queue would keep the interpreter
    # from exiting: nobody reads any more, so every sink lets go.
    for sink in list(_open_sinks):
        sink.close()


class _Sink:
    """What the library's threads touch: the queue, the wake-ups and the counters.

    It holds nothing of the stream object, so a stream nobody refers to any more
    is collected (and unsubscribes) although the module still holds its sink.

    An event costs the delivering thread an append and a look at ``wakers``;
    the reader pops without a lock. A reader is woken only when it has run out
    of events and said so (a waker in ``wakers``), and in a burst only once a
    batch waits (``batching``); while it is behind, the events wait in the
    queue to be taken in one go. Both sides follow one order, under the
    interpreter lock: a waiter registers, then looks at the queue; a producer
    appends, then looks at the waiters; one of them sees the other."""

    # Slots: every event reads some of these on the delivering thread.
    __slots__ = (
        "lock",
        "queue",
        "maxsize",
        "block",
        "numbered",
        "seq",
        "dropped",
        "closed",
        "end",
        "wakers",
        "batching",
        "batch",
        "reader",
        "writable",
        "writers",
        "watchers",
        "latest",
        "__weakref__",
    )

    def __init__(self, maxsize: int, block: bool, numbered: bool) -> None:
        if maxsize < 1:
            raise ValueError("maxsize must be at least 1")
        # Re-entrant: a stream collected by the garbage collector inside a
        # delivery to its own sink closes that sink while the lock is held.
        self.lock = threading.RLock()
        self.queue: Deque[Any] = deque()  # appended by the library's threads, popped by the readers
        self.maxsize = maxsize
        self.block = block
        # Order streams number their items (seq, payload) so that ``wait`` can
        # tell the newest update of an order; payloads are parsed by the reader.
        self.numbered = numbered
        self.seq = count(1)
        self.dropped = 0
        self.closed = False
        self.end: Optional[str] = None  # why the library ended the stream (its world ended)
        # Callables that wake one waiting reader thread, task or ``wait``;
        # every event and close call them all, each once.
        self.wakers: Deque[Callable[[], Any]] = deque()
        # Set by a reader whose last wait ended with events: the next wait
        # lets a batch gather (up to ``batch`` events or _GATHER seconds).
        # After a quiet spell the first event wakes it at once.
        self.batching = False
        self.batch = max(1, min(_BATCH, maxsize // 2))
        self.reader: Optional[int] = None  # the thread that last waited to read
        self.writable = threading.Condition(self.lock)
        self.writers = 0  # library threads waiting for room
        self.watchers = 0  # threads in OrderStream.wait
        self.latest: Dict[Any, Tuple[int, Any]] = {}  # order number -> (seq, update) the reader parsed
        _open_sinks.add(self)

    def callable(self) -> Callable[[str], None]:
        """What the module is given: a bound method, which it calls more cheaply than an instance."""
        return self._put_numbered if self.numbered else self._put

    def __call__(self, payload: str) -> None:
        self.callable()(payload)

    def _put(self, payload: str) -> None:
        q = self.queue
        if len(q) < self.maxsize and not self.closed and not payload.startswith(_END_PREFIXES):
            q.append(payload)
            if self.wakers and (not self.batching or len(q) >= self.batch or self.watchers):
                self.wake()
        else:
            self._put_slowly(payload)

    def _put_numbered(self, payload: str) -> None:
        q = self.queue
        if len(q) < self.maxsize and not self.closed and not payload.startswith(_END_PREFIXES):
            # Numbered and appended in one call into C, so numbers and queue
            # order agree across delivering threads without a lock.
            q.extend(zip(self.seq, (payload,)))
            if self.wakers and (not self.batching or len(q) >= self.batch or self.watchers):
                self.wake()
        else:
            self._put_slowly(payload)

    def _put_slowly(self, payload: str) -> None:
        """The end of the stream, a closed stream or a full queue."""
        if payload.startswith(_END_PREFIXES):
            reason = _end_reason(payload)
            if reason is not None:
                self.close(reason)
                return
        with self.lock:
            if self.closed:
                return
            q = self.queue
            if len(q) >= self.maxsize:
                if self.block:
                    if self._may_wait():
                        # Counted before looking at the queue: a reader pops,
                        # then looks at ``writers``; one of the two sees the other.
                        self.writers += 1
                        try:
                            while len(self.queue) >= self.maxsize and not self.closed:
                                self.writable.wait()
                        finally:
                            self.writers -= 1
                        if self.closed:
                            return
                    # else: kept beyond the bound rather than waiting for itself
                else:
                    try:
                        q.popleft()
                        self.dropped += 1
                    except IndexError:  # a reader took it meanwhile
                        pass
            if self.numbered:
                self.queue.extend(zip(self.seq, (payload,)))
            else:
                self.queue.append(payload)
        if self.wakers:
            self.wake()

    def wake(self) -> None:
        wakers = self.wakers
        while True:
            try:
                waker = wakers.popleft()
            except IndexError:
                return
            try:
                waker()
            except RuntimeError:  # a task's loop is closed: nobody waits there any more
                pass

    def room(self) -> None:
        """After a pop: let the delivering threads waiting for room go on."""
        with self.lock:
            self.reader = _get_ident()
            self.writable.notify_all()

    def _may_wait(self) -> bool:
        """Whether the delivering thread may wait for a reader to make room: not when it is
        a thread of the program (stepping the library itself) unless another thread reads."""
        me = _get_ident()
        reader = self.reader
        if reader == me:
            return False
        if _is_library_thread(me):
            return True
        # Another thread of the program reads: wait for it, while it lives.
        return reader is not None and reader in threading._active  # type: ignore[attr-defined]

    def take(self) -> Any:
        """The oldest item without waiting; IndexError when there is none."""
        item = self.queue.popleft()
        if self.writers:
            self.room()
        return item

    def get(self, timeout: Optional[float]) -> Any:
        """The oldest item; None once closed and empty; TimeoutError after ``timeout`` seconds."""
        deadline = _deadline(timeout)
        q = self.queue
        self.reader = _get_ident()
        while True:
            try:
                item = q.popleft()
            except IndexError:
                pass
            else:
                if self.writers:
                    self.room()
                return item
            if self.closed:
                if q:
                    continue
                return None
            waiter = _new_lock()
            waiter.acquire()
            release = waiter.release
            self.wakers.append(release)
            if q or self.closed:  # came while registering
                self._unregister(release)
                continue
            if deadline is None:
                wait = _GATHER if self.batching else -1.0  # -1: no limit
            else:
                wait = max(0.0, min(deadline - _monotonic(), _TIMEOUT_MAX))
                if self.batching:
                    wait = min(wait, _GATHER)
            woke = waiter.acquire(timeout=wait) if wait != 0 else False
            if not woke:
                self._unregister(release)
            self.batching = bool(q)
            if woke or q or self.closed or deadline is None or deadline - _monotonic() > 0:
                continue
            raise TimeoutError("no event within %s s" % timeout)

    def _unregister(self, waker: Callable[[], Any]) -> None:
        try:
            self.wakers.remove(waker)
        except ValueError:  # an event took it (and woke it) meanwhile
            pass

    def why(self) -> str:
        return self.end if self.end is not None else "stream closed"

    def close(self, end: Optional[str] = None) -> None:
        with self.lock:
            if end is not None and not self.closed:
                self.end = end
            self.closed = True
            self.writable.notify_all()
        self.wake()


class Stream(Generic[T]):
    """One subscription: a context manager, an iterator and an async iterator of its payloads.

    ``for event in stream`` blocks for each event (``TimeoutError`` after
    ``timeout`` seconds without one, when a timeout is set) and ends once the
    stream is closed and its queue is empty; ``async for`` does the same in an
    event loop. Leaving ``with``/``async with``, or ``close()``, unsubscribes;
    so does dropping the last reference to the stream. ``close()`` ends every
    blocked iteration, on every thread and task. When the stream's world ends
    the library says so in a last event; the stream then ends too, once the
    events before it are read (``end`` gives the reason). ``timeout`` None or
    infinity waits without limit.
    """

    def __init__(
        self,
        subscribe: Callable[[Callable[[str], None]], str],
        channel: str,
        *,
        maxsize: int,
        block: bool,
        timeout: Optional[float],
        numbered: bool = False,
    ) -> None:
        self._sink = sink = _Sink(maxsize, block, numbered)
        self._channel = channel
        self._closed = True
        self.timeout = timeout
        try:
            self.key: str = subscribe(sink.callable())
        except RuntimeError as e:
            sink.close()
            text = str(e)
            if text.startswith("Internal Error: "):
                raise
            raise refusal(0, text) from e
        self._closed = False

    @property
    def dropped(self) -> int:
        """Payloads dropped because the queue was full (market data only; order updates are never dropped)."""
        return self._sink.dropped

    @property
    def closed(self) -> bool:
        """True once closed, or once the library ended the stream because its world ended."""
        return self._closed or self._sink.end is not None

    @property
    def end(self) -> Optional[str]:
        """Why the library ended the stream (its world was reset, dropped or closed); None while it has not."""
        return self._sink.end

    def pending(self) -> int:
        """Events received and not read yet."""
        return len(self._sink.queue)

    def close(self) -> None:
        """Unsubscribe. Events already queued can still be read; nothing more arrives."""
        if self._closed:
            return
        self._closed = True
        # Producers blocked on a full queue return first: the library may wait
        # for the deliveries in progress before it ends the subscription.
        self._sink.close()
        _tv.unsubscribe(self._channel, self.key)

    def _item(self, item: Any) -> T:
        return _parse(item)  # type: ignore[no-any-return]

    def get(self, timeout: Optional[float] = None) -> T:
        """The next event, waiting up to ``timeout`` seconds (None: for ever); StreamClosed once closed and empty."""
        item = self._sink.get(timeout)
        if item is None:
            raise StreamClosed(self._sink.why())
        return self._item(item)

    def drain(self) -> List[T]:
        """Every event received and not read yet, without waiting (the newest last)."""
        sink = self._sink
        q = sink.queue
        items = []
        # One by one: the library's threads append meanwhile, without the lock.
        for _ in range(len(q)):
            try:
                items.append(q.popleft())
            except IndexError:  # another reader took the rest
                break
        if sink.writers:
            sink.room()
        out: List[T] = []
        for i, item in enumerate(items):
            try:
                out.append(self._item(item))
            except BaseException:
                q.extendleft(reversed(items[i + 1 :]))  # the rest stays to be read after this error
                raise
        return out

    def __iter__(self) -> Iterator[T]:
        return self

    def __next__(self) -> T:
        sink = self._sink
        try:
            item = sink.queue.popleft()  # sink.take(), written out
        except IndexError:
            item = sink.get(self.timeout)
            if item is None:
                raise StopIteration from None
        else:
            if sink.writers:
                sink.room()
        return self._item(item)

    def __aiter__(self) -> "Stream[T]":
        return self

    async def __anext__(self) -> T:
        sink = self._sink
        try:
            item = sink.queue.popleft()
        except IndexError:
            item = await self._wait_async(sink)
        else:
            if sink.writers:
                sink.room()
        return self._item(item)

    async def _wait_async(self, sink: _Sink) -> Any:
        deadline = _deadline(self.timeout)
        q = sink.queue
        while True:
            try:
                return sink.take()
            except IndexError:
                pass
            if sink.closed:
                if q:
                    continue
                raise StopAsyncIteration
            loop = asyncio.get_running_loop()
            fut: asyncio.Future[None] = loop.create_future()
            waker = partial(loop.call_soon_threadsafe, _release, fut)
            sink.wakers.append(waker)
            try:
                if q or sink.closed:  # came while registering
                    continue
                wait = None if deadline is None else min(deadline - _monotonic(), _TIMEOUT_MAX)
                if sink.batching:  # as in get(): let a batch gather
                    wait = _GATHER if wait is None else min(wait, _GATHER)
                if wait is None:
                    await fut
                elif wait > 0:
                    try:
                        await asyncio.wait_for(fut, wait)
                    except asyncio.TimeoutError:
                        pass
                sink.batching = bool(q)
                if fut.done() or q or sink.closed or deadline is None or deadline - _monotonic() > 0:
                    continue
                raise TimeoutError("no event within %s s" % self.timeout)
            finally:
                # A wait that ended any way (event, timeout, cancellation) leaves no entry behind.
                sink._unregister(waker)

    def __enter__(self: _Self) -> _Self:
        return self

    def __exit__(self, kind: Any, error: Any, tb: Any) -> None:
        self._leave(error)

    async def __aenter__(self: _Self) -> _Self:
        return self

    async def __aexit__(self, kind: Any, error: Any, tb: Any) -> None:
        self._leave(error)

    def _leave(self, error: Optional[BaseException]) -> None:
        if error is None:
            self.close()
            return
        # The error of the user's loop is the one that propagates; a failure to
        # unsubscribe now must not replace it.
        try:
            self.close()
        except Exception as e:
            sys.unraisablehook(_Unraisable(e, self))  # type: ignore[arg-type]

    def __del__(self) -> None:
        if not getattr(self, "_closed", True):
            try:
                self.close()
            except Exception:
                pass

    def __repr__(self) -> str:
        return "<%s %s%s>" % (type(self).__name__, getattr(self, "key", "?"), " closed" if self._closed else "")


class _Unraisable:
    def __init__(self, error: BaseException, obj: Any) -> None:
        self.exc_type = type(error)
        self.exc_value = error
        self.exc_traceback = error.__traceback__
        self.err_msg = "Exception ignored while unsubscribing after an error in the stream's loop"
        self.object = obj


_FINAL = frozenset(fold(s) for s in FINAL_STATUSES)


def _newest_first(queue: Deque[Tuple[int, str]], scanned: int) -> List[Tuple[int, str]]:
    """The numbered items of ``queue`` newer than ``scanned``, newest first (and maybe a few older).

    Each look is one call into C, which no other thread interrupts: the
    delivering threads append and the readers pop meanwhile."""
    n = 8
    while True:
        try:
            part = list(islice(reversed(queue), n))
        except RuntimeError:  # changed under a free-threaded build's iterator
            continue
        if len(part) < n or part[-1][0] <= scanned:
            return part
        n *= 4


def _same_number(number: Any, key: Any) -> bool:
    return bool((fold(number) if type(number) is str else number) == key)


class OrderStream(Stream[T], Generic[T, O, N]):
    """The order updates of one account; never drops an update. ``wait`` follows one order."""

    def __init__(
        self,
        subscribe: Callable[[Callable[[str], None]], str],
        channel: str,
        fetch: Callable[[N], O],
        *,
        maxsize: int,
        timeout: Optional[float],
    ) -> None:
        self._fetch: Callable[[N], O] = fetch
        super().__init__(subscribe, channel, maxsize=maxsize, block=True, timeout=timeout, numbered=True)

    def _item(self, item: Any) -> T:
        seq, payload = item
        update = _parse(payload)
        if type(update) is dict:
            number = update.get("order_no")
            if number is not None:
                if type(number) is str:
                    number = number.lower() if number.isascii() else fold(number)
                sink = self._sink
                latest = sink.latest
                with sink.lock:  # two readers may finish out of turn: the newer update stays
                    known = latest.get(number)
                    if known is None or known[0] < seq:
                        latest[number] = (seq, update)
                if sink.watchers:
                    sink.wake()
        return update  # type: ignore[no-any-return]

    def wait(self, order_no: N, *statuses: str, timeout: Optional[float] = None) -> O:
        """Wait until order ``order_no`` has one of ``statuses`` (default: any final status) and return it.

        The order's latest update on this stream counts, or, when the stream has
        seen none yet, the order as the account reports it now. Raises
        ``OrderEnded`` when the order ends in another final status,
        ``TimeoutError`` after ``timeout`` seconds, ``StreamClosed`` when the
        stream is closed meanwhile. Does not consume the events of the iterator.
        """
        # Statuses and order numbers match as the library matches them: without regard to ASCII case.
        wanted = frozenset(fold(s) for s in (statuses or FINAL_STATUSES))
        final = _FINAL
        key: Any = fold(order_no) if isinstance(order_no, str) else order_no
        sink = self._sink
        deadline = _deadline(timeout)
        best, state = -1, None  # the newest update found, by its number in the stream
        scanned = 0  # events up to this number looked at
        with sink.lock:
            sink.watchers += 1
        try:
            while True:
                # Registered before looking: an update that comes or is read
                # after the look wakes this wait.
                waiter = _new_lock()
                waiter.acquire()
                release = waiter.release
                sink.wakers.append(release)
                with sink.lock:
                    known = sink.latest.get(key)
                    closed = sink.closed
                fresh = _newest_first(sink.queue, scanned)
                top = fresh[0][0] if fresh else scanned
                if known is not None and known[0] > best:
                    best, state = known
                for seq, payload in fresh:
                    if seq <= best or seq <= scanned:
                        break
                    try:
                        update = _parse(payload)
                    except ValueError:  # the reader meets it in its place
                        continue
                    if type(update) is dict and _same_number(update.get("order_no"), key):
                        best, state = seq, update
                        break
                scanned = max(scanned, top)
                if state is None:  # older than any event: the stream's updates win
                    sink._unregister(release)
                    state = self._fetch(order_no)
                    continue
                status = state.get("status")
                folded = fold(status) if isinstance(status, str) else status
                if folded in wanted:
                    sink._unregister(release)
                    return state  # type: ignore[no-any-return]
                if folded in final:
                    sink._unregister(release)
                    raise OrderEnded(state)
                if closed:
                    sink._unregister(release)
                    raise StreamClosed(sink.why())
                remaining = None if deadline is None else deadline - _monotonic()
                if remaining is not None and remaining <= 0:
                    sink._unregister(release)
                    raise TimeoutError("order %s still %s after %s s" % (order_no, status, timeout))
                if remaining is None:
                    waiter.acquire()
                else:
                    waiter.acquire(timeout=min(remaining, _TIMEOUT_MAX))
                sink._unregister(release)
        finally:
            with sink.lock:
                sink.watchers -= 1
