"""Realtime subscriptions as iterators and async iterators.

The library calls a stream's sink on its own threads; the sink puts the payload
in the stream's bounded queue and wakes the consumer, a thread blocked in
``next()`` or a task awaiting ``__anext__`` (woken through
``loop.call_soon_threadsafe``, so the event loop is only ever touched from its
own thread). Back-pressure: a market-data stream drops its oldest payload when
the queue is full and counts it in ``dropped``; an order stream never drops: a
full queue holds the delivering library thread until the consumer makes room.
"""

import asyncio
import atexit
import json
import math
import sys
import threading
import time
import weakref
from collections import deque
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
_pause = time.sleep


class StreamClosed(Exception):
    """The stream was closed while waiting on it, or its world ended (the reason is the message)."""


def _release(fut: "asyncio.Future[None]") -> None:
    if not fut.done():
        fut.set_result(None)


_TIMEOUT_MAX = threading.TIMEOUT_MAX
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
    """The callable the module holds: the queue and everything the library's threads touch.

    It holds nothing of the stream object, so a stream nobody refers to any more
    is collected (and unsubscribes) although the module still holds its sink."""

    # Slots: every event reads a dozen of these on the delivering thread.
    __slots__ = (
        "lock",
        "queue",
        "ready",
        "maxsize",
        "block",
        "numbered",
        "seq",
        "dropped",
        "closed",
        "end",
        "sleepers",
        "reader",
        "writable",
        "writers",
        "changed",
        "watchers",
        "latest",
        "tasks",
        "__weakref__",
    )

    def __init__(self, maxsize: int, block: bool, numbered: bool) -> None:
        if maxsize < 1:
            raise ValueError("maxsize must be at least 1")
        # Re-entrant: a stream collected by the garbage collector inside a
        # delivery to its own sink closes that sink while the lock is held.
        self.lock = threading.RLock()
        self.queue: Deque[Any] = deque()  # filled by the library's threads
        self.ready: Deque[Any] = deque()  # taken from the queue in one go by the consumer
        self.maxsize = maxsize  # bounds both together
        self.block = block
        # Order streams number their items (seq, payload) so that ``wait`` can
        # tell the newest update of an order; payloads are parsed by the reader.
        self.numbered = numbered
        self.seq = 0
        self.dropped = 0
        self.closed = False
        self.end: Optional[str] = None  # why the library ended the stream (its world ended)
        # Each sleeping reader thread waits on a plain lock of its own that an
        # event releases: cheaper than a condition on every event when the
        # reader keeps up, and every reader is woken by close.
        self.sleepers: Deque[Any] = deque()
        self.reader: Optional[int] = None  # the thread that read last
        self.writable = threading.Condition(self.lock)
        self.writers = 0  # library threads waiting for room
        self.changed = threading.Condition(self.lock)
        self.watchers = 0  # threads in OrderStream.wait
        self.latest: Dict[Any, Tuple[int, Any]] = {}  # order number -> (seq, update) the reader parsed
        self.tasks: List[Tuple[asyncio.AbstractEventLoop, asyncio.Future[None]]] = []
        _open_sinks.add(self)

    def __call__(self, payload: str) -> None:
        if payload.startswith(_END_PREFIXES):
            reason = _end_reason(payload)
            if reason is not None:
                self.close(reason)
                return
        item: Any = payload
        with self.lock:
            if self.closed:
                return
            if len(self.queue) + len(self.ready) >= self.maxsize:
                if self.block:
                    if self._may_wait():
                        self.writers += 1
                        try:
                            while len(self.queue) + len(self.ready) >= self.maxsize and not self.closed:
                                self.writable.wait()
                        finally:
                            self.writers -= 1
                        if self.closed:
                            return
                    # else: kept beyond the bound rather than waiting for itself
                else:
                    try:
                        self.ready.popleft()
                    except IndexError:
                        self.queue.popleft()
                    self.dropped += 1
            if self.numbered:
                self.seq += 1
                item = (self.seq, payload)
            self.queue.append(item)
            if self.watchers:
                self.changed.notify_all()
            if self.sleepers:
                self.sleepers.popleft().release()
            if not self.tasks:
                return
            tasks, self.tasks = self.tasks, []
        for loop, fut in tasks:
            try:
                loop.call_soon_threadsafe(_release, fut)
            except RuntimeError:  # its loop is closed: nobody waits any more
                pass

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

    def refill(self) -> bool:
        """With the lock held and ``ready`` drained: move the queue to ``ready``; False when it is empty."""
        self.reader = _get_ident()
        if self.writers:
            self.writable.notify_all()
        q = self.queue
        if not q:
            return False
        if self.ready:  # another consumer thread is still reading
            self.ready.extend(q)
            q.clear()
        else:
            self.queue, self.ready = self.ready, q
        return True

    def get(self, timeout: Optional[float]) -> Any:
        """The oldest item; None once closed and empty; TimeoutError after ``timeout`` seconds."""
        deadline = _deadline(timeout)
        spun = False
        while True:
            try:
                return self.ready.popleft()
            except IndexError:
                pass
            waiter = None
            with self.lock:
                if self.refill():
                    continue
                if self.closed:
                    return None
                if not spun:
                    spun = True
                else:
                    spun = False
                    waiter = _new_lock()
                    waiter.acquire()
                    self.sleepers.append(waiter)
            if waiter is None:
                # Before sleeping, let the delivering threads run once: events
                # coming back to back are then taken in one go instead of
                # waking this thread for each.
                _pause(0)
                continue
            if deadline is None:
                waiter.acquire()
                continue
            remaining = deadline - _monotonic()
            if remaining > 0 and waiter.acquire(timeout=min(remaining, _TIMEOUT_MAX)):
                continue
            with self.lock:
                try:
                    self.sleepers.remove(waiter)
                except ValueError:  # released just as the wait timed out
                    pass
                if self.queue or self.ready or self.closed:
                    continue
            if deadline - _monotonic() > 0:  # a wait longer than the platform's longest
                continue
            raise TimeoutError("no event within %s s" % timeout)

    def why(self) -> str:
        return self.end if self.end is not None else "stream closed"

    def close(self, end: Optional[str] = None) -> None:
        with self.lock:
            if end is not None and not self.closed:
                self.end = end
            self.closed = True
            while self.sleepers:
                self.sleepers.popleft().release()
            self.writable.notify_all()
            self.changed.notify_all()
            tasks, self.tasks = self.tasks, []
        for loop, fut in tasks:
            try:
                loop.call_soon_threadsafe(_release, fut)
            except RuntimeError:
                pass


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
            self.key: str = subscribe(sink)
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
        return len(self._sink.queue) + len(self._sink.ready)

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
        return _loads(item)  # type: ignore[no-any-return]

    def get(self, timeout: Optional[float] = None) -> T:
        """The next event, waiting up to ``timeout`` seconds (None: for ever); StreamClosed once closed and empty."""
        item = self._sink.get(timeout)
        if item is None:
            raise StreamClosed(self._sink.why())
        return self._item(item)

    def drain(self) -> List[T]:
        """Every event received and not read yet, without waiting (the newest last)."""
        sink = self._sink
        with sink.lock:
            sink.ready.extend(sink.queue)
            sink.queue.clear()
            items = list(sink.ready)
            sink.ready.clear()
            if sink.writers:
                sink.writable.notify_all()
        out: List[T] = []
        for i, item in enumerate(items):
            try:
                out.append(self._item(item))
            except BaseException:
                with sink.lock:  # the rest stays to be read after this error
                    sink.ready.extendleft(reversed(items[i + 1 :]))
                raise
        return out

    def __iter__(self) -> Iterator[T]:
        return self

    def __next__(self) -> T:
        try:  # an event already taken from the queue: no waiting to prepare
            item = self._sink.ready.popleft()
        except IndexError:
            item = self._sink.get(self.timeout)
            if item is None:
                raise StopIteration from None
        return self._item(item)

    def __aiter__(self) -> "Stream[T]":
        return self

    async def __anext__(self) -> T:
        sink = self._sink
        spun = False
        while True:
            try:
                item = sink.ready.popleft()
                break
            except IndexError:
                pass
            timeout = self.timeout
            if timeout is not None and _deadline(timeout) is None:
                timeout = None  # infinity: no limit
            with sink.lock:
                if sink.refill():
                    continue
                if sink.closed:
                    raise StopAsyncIteration
                if spun:
                    loop = asyncio.get_running_loop()
                    fut: asyncio.Future[None] = loop.create_future()
                    entry = (loop, fut)
                    sink.tasks.append(entry)
            if not spun:
                # As get() does: the delivering threads run once before this
                # task parks, so events coming back to back are taken in one
                # go rather than each waking the loop.
                spun = True
                _pause(0)
                continue
            spun = False
            try:
                if timeout is None:
                    await fut
                else:
                    await asyncio.wait_for(fut, min(timeout, _TIMEOUT_MAX))
            except asyncio.TimeoutError:
                raise TimeoutError("no event within %s s" % self.timeout) from None
            finally:
                # A wait that ended any way (event, timeout, cancellation) leaves no entry behind.
                with sink.lock:
                    try:
                        sink.tasks.remove(entry)
                    except ValueError:  # taken by the event that released it
                        pass
        return self._item(item)

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
        update = _loads(payload)
        number = update.get("order_no") if type(update) is dict else None
        if number is not None:
            if type(number) is str:
                number = fold(number)
            sink = self._sink
            with sink.lock:
                known = sink.latest.get(number)
                if known is None or known[0] < seq:
                    sink.latest[number] = (seq, update)
                if sink.watchers:
                    sink.changed.notify_all()
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
                with sink.lock:
                    known = sink.latest.get(key)
                    fresh = []  # events not read yet, newest first (the queue's are newer than ready's)
                    for part in (sink.queue, sink.ready):
                        for item in reversed(part):
                            if item[0] <= scanned:
                                break
                            fresh.append(item)
                    top, closed = sink.seq, sink.closed
                if known is not None and known[0] > best:
                    best, state = known
                for seq, payload in fresh:
                    if seq <= best:
                        break
                    try:
                        update = _loads(payload)
                    except ValueError:  # the reader meets it in its place
                        continue
                    if type(update) is dict and _same_number(update.get("order_no"), key):
                        best, state = seq, update
                        break
                scanned = max(scanned, top)
                if state is None:  # older than any event: the stream's updates win
                    state = self._fetch(order_no)
                    continue
                status = state.get("status")
                folded = fold(status) if isinstance(status, str) else status
                if folded in wanted:
                    return state  # type: ignore[no-any-return]
                if folded in final:
                    raise OrderEnded(state)
                if closed:
                    raise StreamClosed(sink.why())
                remaining = None if deadline is None else deadline - _monotonic()
                if remaining is not None and remaining <= 0:
                    raise TimeoutError("order %s still %s after %s s" % (order_no, status, timeout))
                with sink.lock:
                    latest = sink.latest.get(key)
                    if sink.seq == top and not sink.closed and (latest is None or latest[0] <= best):
                        sink.changed.wait(None if remaining is None else min(remaining, _TIMEOUT_MAX))
        finally:
            with sink.lock:
                sink.watchers -= 1
