"""Realtime records laid out by byte offset, independently of the C++ record
declarations: the event record, the subscribe and unsubscribe results, and
readers of what the subscribe operations received."""

from typing import Any, Dict, NamedTuple, Optional, Union

import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from tavrolix_sandbox import Call, Layout

Text = Union[None, bytes, str]
Key = Union[Text, object]  # or sbx.HANDED_KEY


class Topic(NamedTuple):
    function: str
    op: int
    name: bytes
    subjects: int
    caching: bool

    def subscribe(self, ctx: Dict[str, Any], subject: Text, callable_: Any, subject2: Text = "M1") -> str:
        fn = getattr(tv, self.function)
        if self.subjects == 2:
            return fn(ctx, subject, subject2, callable_)
        return fn(ctx, subject, callable_)


TOPICS = [
    Topic("subscribe_bid_offer", 43, b"bidofferv1", 1, True),
    Topic("subscribe_price_info", 47, b"infov1", 1, True),
    Topic("subscribe_candlestick", 44, b"cdlv1", 2, False),
    Topic("subscribe_derivatives_order", 45, b"orderdvv1", 1, False),
    Topic("subscribe_equity_order", 46, b"ordereqv1", 1, False),
]
CACHING = [t for t in TOPICS if t.caching]
PLAIN = [t for t in TOPICS if not t.caching]
BY_NAME = {t.function: t for t in TOPICS}


def event(key: Key, payload: Text, cache: int = 0, cache_key: Text = None) -> Layout:
    """Event record: cache flag at 0, subscription key at 8, cache key at 16,
    payload at 40; the bytes the receivers must not read are filled with junk."""
    img = Layout(48)
    img.buf[1:8] = b"\xa5" * 7
    img.buf[24:40] = b"\x5a" * 16
    img.u8(0, cache)
    if key is sbx.HANDED_KEY:
        sbx.handed_key(img, 8)
    else:
        img.text(8, key)
    return img.text(16, cache_key).text(40, payload)


def subscribe_result(success: int = 1, handle: int = 0, error: Text = None) -> Layout:
    return Layout(24).u8(0, success).u64(8, handle).text(16, error)


def unsubscribe_result(remove_cache: int = 0, cache_key: Text = None, internal_error: Text = None) -> Layout:
    return Layout(24).u8(0, remove_cache).text(8, cache_key).text(16, internal_error)


class SubscribeCall(NamedTuple):
    daemon_type: Optional[bytes]
    channel: Optional[bytes]
    topic: Optional[bytes]
    subjects: tuple
    receiver: int
    key: Optional[bytes]


def subscribe_call(call: Call) -> SubscribeCall:
    """What a subscribe operation received, checking the argument kinds."""
    n = len(call.args)
    assert n in (6, 7), call.kinds()
    assert call.kinds() == ["text"] * (n - 2) + ["receiver", "text"], call.kinds()
    return SubscribeCall(
        call.value(0),
        call.value(1),
        call.value(2),
        tuple(call.value(i) for i in range(3, n - 2)),
        call.value(n - 2),
        call.value(n - 1),
    )


def receiver_of(topic: Topic) -> int:
    """The receiver the last subscribe call of ``topic`` was handed."""
    return subscribe_call(sbx.last_call(topic.op)).receiver
