"""Control of the sandbox Trading interface library (libTavrolixInterfacePY).

The library runs in one of two modes:

* broker mode (the default): a simulated broker with seeded users and accounts;
* scripted mode: every operation returns the result image queued for it and
  records what it received, for tests.

Result images are laid out byte by byte with :class:`Layout`; pointers inside
them are relocations to texts or to further layouts (item arrays).
"""

from __future__ import annotations

import ctypes
import json
import os
import struct
import sys
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

__all__ = [
    "World",
    "Layout",
    "Call",
    "library",
    "use_broker",
    "use_scripted",
    "scripted",
    "reset",
    "queue",
    "stand",
    "calls",
    "last_call",
    "call_count",
    "clear_calls",
    "set_recording",
]

# On Windows the module's DLL sits beside it, and loading it again by that path
# gives the instance already loaded.
_LIB_NAME = "TavrolixInterfacePY.dll" if sys.platform == "win32" else "libTavrolixInterfacePY.so"
_lib: Optional[ctypes.CDLL] = None


def _loaded_path() -> Optional[str]:
    # The library the extension module was linked with, wherever it came from.
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                if line.rstrip().endswith(_LIB_NAME):
                    return line.split(None, 5)[5].strip()
    except OSError:
        pass
    return None


_IMAGE = [
    ctypes.c_char_p,
    ctypes.POINTER(ctypes.c_uint64),
    ctypes.c_uint64,
    ctypes.POINTER(ctypes.c_int64),
    ctypes.c_uint64,
]

# name: (argtypes, restype)
_SIGNATURES: Dict[str, Tuple[List[Any], Any]] = {
    "tvx_sandbox_set_mode": ([ctypes.c_int], None),
    "tvx_sandbox_mode": ([], ctypes.c_int),
    "tvx_sandbox_set_recording": ([ctypes.c_int], None),
    "tvx_sandbox_reset": ([], ctypes.c_char_p),
    "tvx_script_push": ([ctypes.c_int, ctypes.c_int] + _IMAGE, ctypes.c_int),
    "tvx_calls_json": ([ctypes.c_int], ctypes.c_char_p),
    "tvx_call_count": ([ctypes.c_int], ctypes.c_uint64),
    "tvx_calls_clear": ([], None),
    "tvx_event_send": ([ctypes.c_uint64] + _IMAGE + [ctypes.c_int, ctypes.c_int], ctypes.c_int),
    "tvx_event_post": ([ctypes.c_uint64] + _IMAGE, ctypes.c_int),
    "tvx_event_flush": ([], None),
    "tvx_event_at_subscribe": (_IMAGE, ctypes.c_int),
    "tvx_subscriptions_json": ([], ctypes.c_char_p),
    "tvx_stream_start": ([ctypes.c_int, ctypes.c_int], None),
    "tvx_stream_stop": ([], ctypes.c_char_p),
}


def _declare(lib: ctypes.CDLL, signatures: Dict[str, Tuple[List[Any], Any]]) -> None:
    for name, (argtypes, restype) in signatures.items():
        fn = getattr(lib, name)
        fn.argtypes = argtypes
        fn.restype = restype


def library() -> ctypes.CDLL:
    """The library instance the extension module uses (imports the module first)."""
    global _lib
    if _lib is None:
        import tavrolix_open_api  # noqa: F401  -- loads the library the module links

        path = _loaded_path() or os.path.join(os.path.dirname(os.path.dirname(__file__)), _LIB_NAME)
        lib = ctypes.CDLL(path)
        _declare(lib, _SIGNATURES)
        _lib = lib
    return _lib


def use_broker() -> None:
    library().tvx_sandbox_set_mode(0)


def use_scripted() -> None:
    library().tvx_sandbox_set_mode(1)


def scripted() -> bool:
    return bool(library().tvx_sandbox_mode() == 1)


def reset() -> None:
    """Forget queued and standing results and the call log."""
    error = library().tvx_sandbox_reset()
    if error:
        raise RuntimeError(error.decode())


def set_recording(on: bool) -> None:
    library().tvx_sandbox_set_recording(1 if on else 0)


# What a pointer field points at: a text (its bytes), a record, or the key
# handed to the subscribe operation.
Target = Union[bytes, "Layout", "_HandedKey"]


class Layout:
    """A block of bytes with pointers to other blocks.

    ``text(offset, value)`` stores a pointer to a NUL-terminated copy of
    ``value`` (bytes as given, a str as UTF-8, None as a null pointer);
    ``pointer(offset, layout)`` stores a pointer to another layout, such as an
    item array built with :meth:`array`.
    """

    def __init__(self, size: int) -> None:
        self.buf = bytearray(size)
        self.refs: List[Tuple[int, Target, int]] = []

    def __len__(self) -> int:
        return len(self.buf)

    def put(self, fmt: str, offset: int, *values: Any) -> Layout:
        struct.pack_into("<" + fmt, self.buf, offset, *values)
        return self

    def u8(self, offset: int, value: int) -> Layout:
        return self.put("B", offset, value)

    def i32(self, offset: int, value: int) -> Layout:
        return self.put("i", offset, value)

    def i64(self, offset: int, value: int) -> Layout:
        return self.put("q", offset, value)

    def u64(self, offset: int, value: int) -> Layout:
        return self.put("Q", offset, value)

    def f64(self, offset: int, value: float) -> Layout:
        return self.put("d", offset, value)

    def text(self, offset: int, value: Union[bytes, str, None]) -> Layout:
        self._drop(offset)
        if value is not None:
            self.refs.append((offset, value.encode() if isinstance(value, str) else bytes(value), 0))
        else:
            self.u64(offset, 0)
        return self

    def pointer(self, offset: int, target: Optional[Layout], addend: int = 0) -> Layout:
        self._drop(offset)
        if target is None:
            self.u64(offset, 0)
        else:
            self.refs.append((offset, target, addend))
        return self

    def _drop(self, offset: int) -> None:
        self.refs = [r for r in self.refs if r[0] != offset]

    @staticmethod
    def array(items: Sequence[Layout]) -> Layout:
        """Items end to end in one block, their own pointers kept."""
        out = Layout(sum(len(i) for i in items))
        at = 0
        for item in items:
            out.buf[at : at + len(item)] = item.buf
            out.refs.extend((at + off, target, addend) for off, target, addend in item.refs)
            at += len(item)
        return out

    @staticmethod
    def of(fmt: str, values: Sequence[Any]) -> Layout:
        """A packed array of scalars, e.g. ``Layout.of("i", [1, 2])``."""
        data = struct.pack("<%d%s" % (len(values), fmt), *values)
        out = Layout(len(data))
        out.buf[:] = data
        return out

    def _flatten(self) -> Tuple[bytes, List[int], List[int]]:
        blobs: List[bytes] = []
        relocs: List[int] = []
        index: Dict[int, int] = {}

        def add(block: Layout) -> int:
            if id(block) in index:
                return index[id(block)]
            me = len(blobs)
            index[id(block)] = me
            blobs.append(bytes(block.buf))
            for offset, target, addend in block.refs:
                if isinstance(target, _HandedKey):
                    t, addend = -2, 0
                elif isinstance(target, Layout):
                    t = add(target)
                else:
                    t = len(blobs)
                    blobs.append(bytes(target) + b"\0")
                relocs.extend((me, offset, t, addend))
            return me

        add(self)
        return b"".join(blobs), [len(b) for b in blobs], relocs


def _marshal(image: Layout) -> Tuple[Any, ...]:
    """The (data, sizes, nblobs, relocs, nrelocs) arguments the library takes for an image."""
    data, sizes, relocs = image._flatten()
    size_arr = (ctypes.c_uint64 * len(sizes))(*sizes)
    reloc_arr = (ctypes.c_int64 * max(1, len(relocs)))(*relocs)
    return data, size_arr, len(sizes), reloc_arr, len(relocs) // 4


def _push(op: int, image: Layout, standing: bool) -> None:
    rc = library().tvx_script_push(op, 1 if standing else 0, *_marshal(image))
    if rc == -1:
        raise ValueError("no operation %d" % op)
    if rc == -2:
        raise ValueError("result image of operation %d has the wrong size (%d bytes)" % (op, len(image)))
    if rc != 0:
        raise ValueError("bad relocation in result of operation %d" % op)


def queue(op: int, image: Layout) -> None:
    """Result of the next call of operation ``op``."""
    _push(op, image, False)


def stand(op: int, image: Layout) -> None:
    """Result of every call of ``op`` once its queue is empty."""
    _push(op, image, True)


class Call:
    """One logged call: ``op`` and ``args`` as the library received them."""

    def __init__(self, raw: Dict[str, Any]) -> None:
        self.seq: int = raw["seq"]
        self.op: int = raw["op"]
        self.args: List[Dict[str, Any]] = raw["args"]

    def __repr__(self) -> str:
        return "Call(op=%d, args=%r)" % (self.op, self.args)

    def arg(self, i: int) -> Dict[str, Any]:
        return self.args[i]

    def kinds(self) -> List[str]:
        return [a["kind"] for a in self.args]

    def value(self, i: int) -> Any:
        """Scalar value, text bytes (None for null), or record bytes of argument ``i``."""
        a = self.args[i]
        if a["kind"] == "text":
            return _text(a["value"])
        if a["kind"] == "record":
            return bytes.fromhex(a["bytes"]) if "bytes" in a else None
        if a["kind"] in ("i32_array", "text_array"):
            items = a.get("items", [])
            return items if a["kind"] == "i32_array" else [_text(t) for t in items]
        return a["value"]

    def texts(self, i: int) -> Dict[int, Optional[bytes]]:
        """Texts that record argument ``i`` points to, by field offset."""
        return {int(k): _text(v) for k, v in self.args[i]["texts"].items()}

    def ptr(self, i: int) -> int:
        return int(self.args[i]["ptr"])


def _text(t: Optional[Dict[str, Any]]) -> Optional[bytes]:
    return None if t is None else bytes.fromhex(t["hex"])


def calls(op: int = 0) -> List[Call]:
    """Logged calls, oldest first (of ``op`` only when given)."""
    return [Call(c) for c in json.loads(library().tvx_calls_json(op))]


def last_call(op: int = 0) -> Call:
    log = calls(op)
    if not log:
        raise LookupError("operation %d was not called" % op)
    return log[-1]


def call_count(op: int) -> int:
    """Calls of ``op`` in either mode since the library was loaded."""
    return int(library().tvx_call_count(op))


def clear_calls() -> None:
    library().tvx_calls_clear()


# --------------------------------------------------------------- realtime events
#
# Event records are laid out by the caller with :class:`Layout`, like result
# images, and handed to a receiver: ``send`` from new native threads, ``post``
# from one long-lived native thread, ``at_subscribe`` from the calling thread of
# the next subscribe operation. Streams deliver to every accepted subscription
# from native threads until stopped.


class _HandedKey:
    def __repr__(self) -> str:
        return "HANDED_KEY"


#: Pointer target (``layout.refs.append((offset, HANDED_KEY, 0))`` or
#: :func:`handed_key`) meaning "the key handed to the subscribe operation";
#: only in events queued with :func:`at_subscribe`.
HANDED_KEY = _HandedKey()


def handed_key(image: Layout, offset: int) -> Layout:
    """Points ``offset`` of ``image`` at the key the subscribe operation was handed."""
    image._drop(offset)
    image.refs.append((offset, HANDED_KEY, 0))
    return image


class Subscription:
    """A subscription the library accepted: operation, receiver, key and handle."""

    def __init__(self, raw: Dict[str, Any]) -> None:
        self.op: int = raw["op"]
        self.receiver: int = raw["receiver"]
        self.handle: int = raw["handle"]
        self.key: bytes = bytes.fromhex(raw["key"])

    def __repr__(self) -> str:
        return "Subscription(op=%d, key=%r, handle=%d)" % (self.op, self.key, self.handle)


def _check(rc: int) -> None:
    if rc != 0:
        raise ValueError("malformed event image (too short, bad relocation, or a handed key outside at_subscribe)")


def send(receiver: int, image: Layout, threads: int = 1, repeat: int = 1) -> None:
    """Delivers the event ``repeat`` times from each of ``threads`` new native
    threads; returns when they have ended."""
    _check(library().tvx_event_send(receiver, *_marshal(image), threads, repeat))


def post(receiver: int, image: Layout) -> None:
    """Queues the event for the library's long-lived delivery thread."""
    _check(library().tvx_event_post(receiver, *_marshal(image)))


def flush() -> None:
    """Returns once the long-lived thread has delivered everything posted."""
    library().tvx_event_flush()


def at_subscribe(image: Layout) -> None:
    """The next subscribe operation delivers the event on its calling thread,
    to the receiver it was handed, before it returns."""
    _check(library().tvx_event_at_subscribe(*_marshal(image)))


def subscriptions() -> List[Subscription]:
    """Subscriptions accepted in scripted mode since the last reset, oldest first."""
    return [Subscription(s) for s in json.loads(library().tvx_subscriptions_json())]


def stream_start(threads: int, pause_us: int = 100) -> None:
    """Starts ``threads`` native threads that each round deliver one event to
    every accepted subscription (unsubscribed ones included), payload
    ``"<key>|<n>"`` with ``n`` unique, then pause ``pause_us`` microseconds."""
    library().tvx_stream_start(threads, pause_us)


def stream_stop() -> Dict[bytes, int]:
    """Stops the streams; returns the number of events sent to each key."""
    raw = json.loads(library().tvx_stream_stop())
    return {bytes.fromhex(k): v for k, v in raw.items()}


__all__ += [
    "HANDED_KEY",
    "handed_key",
    "Subscription",
    "send",
    "post",
    "flush",
    "at_subscribe",
    "subscriptions",
    "stream_start",
    "stream_stop",
]


# Last: the broker's module reads the helpers above.
from .broker import World  # noqa: E402
