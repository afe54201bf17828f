"""Result images and request readers laid out by byte offset, independently of
the C++ record declarations."""

import struct
from typing import Any, Dict, Optional, Union

from tavrolix_sandbox import Call, Layout

Text = Union[None, bytes, str]


def login_image(channel: Text = b"CH-1", success: int = 1, message: Text = b"", error: Text = None) -> Layout:
    img = Layout(72).u8(0, success)
    img.text(16, channel).text(56, message).text(64, error)
    return img


def record_list(
    items: Optional[Layout], count: int, success: int = 1, status: int = 200, message: Text = None, error: Text = None
) -> Layout:
    img = Layout(48).pointer(0, items).i64(8, count).u64(16, 0xDEADBEEF)
    return img.u8(24, success).i32(28, status).text(32, message).text(40, error)


def single(
    size: int,
    record: Optional[Layout],
    message_at: int,
    success: int = 1,
    status: int = 200,
    message: Text = None,
    error: Text = None,
) -> Layout:
    """A one-record result: success at 0, status at 4, the record from 8."""
    img = Layout(size).u8(0, success).i32(4, status)
    if record is not None:
        img.buf[8 : 8 + len(record)] = record.buf
        img.refs.extend((8 + off, target, addend) for off, target, addend in record.refs)
    return img.text(message_at, message).text(message_at + 8, error)


def status_only(success: int = 1, status: int = 200, message: Text = None, error: Text = None) -> Layout:
    return Layout(24).u8(0, success).i32(4, status).text(8, message).text(16, error)


def config_of(call: Call, index: int = 0) -> Dict[str, Any]:
    """The connection configuration an operation received, field by field."""
    arg = call.arg(index)
    assert arg["kind"] == "record"
    raw = bytes.fromhex(arg["bytes"])
    assert len(raw) == 48
    texts = call.texts(index)
    return {
        "reserved0": struct.unpack_from("<Q", raw, 0)[0],
        "channel_id": texts[8],
        "channel_ptr": struct.unpack_from("<Q", raw, 8)[0],
        "reserved1": struct.unpack_from("<Q", raw, 16)[0],
        "enable_queue": raw[24],
        "daemon_type": texts[32],
        "max_torelation": struct.unpack_from("<i", raw, 40)[0],
    }


def put(img: Layout, offset: int, kind: str, value: Any, flag_byte: int = 1) -> None:
    """One field by its kind: text ("text"/"t"), int32 ("i32"/"i"), double
    ("f64"/"d"), else a flag, true written as `flag_byte`."""
    if kind in ("text", "t"):
        img.text(offset, value)
    elif kind in ("i32", "i"):
        img.i32(offset, value)
    elif kind in ("f64", "d"):
        img.f64(offset, value)
    else:
        img.u8(offset, flag_byte if value else 0)
