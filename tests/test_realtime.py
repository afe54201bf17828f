"""Realtime subscriptions: what the subscribe operations receive, event
delivery through the two receivers, the payload cache and its replay,
refusals, unsubscribe and is_subscribe, subscription keys."""

import os
import re
import subprocess
import sys
import textwrap
import threading

import pytest
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from conftest import built_program
from wire import login_image
from wire_realtime import (
    BY_NAME,
    CACHING,
    PLAIN,
    TOPICS,
    event,
    receiver_of,
    subscribe_call,
    subscribe_result,
    unsubscribe_result,
)

HERE = os.path.dirname(os.path.abspath(__file__))
BID = BY_NAME["subscribe_bid_offer"]
INFO = BY_NAME["subscribe_price_info"]
CDL = BY_NAME["subscribe_candlestick"]


def name(t):
    return t.function


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


def subscribe(topic, ctx, subject, callable_, handle=1):
    sbx.queue(topic.op, subscribe_result(1, handle))
    return topic.subscribe(ctx, subject, callable_)


def unsubscribe(key, channel="CH-1", **result):
    sbx.queue(48, unsubscribe_result(**result))
    return tv.unsubscribe(channel, key)


@pytest.mark.parametrize("topic", TOPICS, ids=name)
def test_subscribe_and_unsubscribe_hand_the_library_their_arguments(ctx, scripted, topic):
    before = sbx.call_count(topic.op)
    scripted.queue(topic.op, subscribe_result(1, 0x8877665544332211))
    got = []
    key = topic.subscribe(ctx, "SET50", got.append, "5m")
    assert isinstance(key, str) and re.fullmatch(r"\d{6,14}", key)
    assert sbx.call_count(topic.op) == before + 1
    call = subscribe_call(sbx.last_call(topic.op))
    assert call.daemon_type == b"STAND_ALONE"
    assert call.channel == b"CH-1"
    assert call.topic == topic.name
    assert call.subjects == ((b"SET50", b"5m") if topic.subjects == 2 else (b"SET50",))
    assert call.key == key.encode()
    assert tv.is_subscribe(key)

    assert unsubscribe(key, channel="CH-7") is None
    u = sbx.last_call(48)
    assert u.kinds() == ["text", "text", "u64"]
    assert (u.value(0), u.value(1), u.value(2)) == (b"STAND_ALONE", b"CH-7", 0x8877665544332211)
    assert not tv.is_subscribe(key)
    scripted.send(call.receiver, event(key, "after unsubscribe"))
    assert got == []


@pytest.mark.parametrize("topic", TOPICS, ids=name)
def test_events_from_native_threads_reach_the_callable(ctx, scripted, topic):
    got = []
    key = subscribe(topic, ctx, "S", lambda p: got.append((p, threading.get_ident())) or 42)
    receiver = receiver_of(topic)
    main = threading.get_ident()

    scripted.send(receiver, event(key, "fresh thread \u00e9\u2713".encode()), threads=3, repeat=2)
    assert [p for p, _ in got] == ["fresh thread \u00e9\u2713"] * 6
    assert all(t != main for _, t in got)

    got.clear()
    scripted.post(receiver, event(key, "one"))
    scripted.post(receiver, event(key, "two"))
    scripted.flush()
    assert [p for p, _ in got] == ["one", "two"]
    assert got[0][1] == got[1][1] != main


@pytest.mark.parametrize("topic", TOPICS, ids=name)
def test_events_during_the_subscribe_operation_arrive_on_the_calling_thread(ctx, scripted, topic, unraisable):
    got = []
    scripted.at_subscribe(event(sbx.HANDED_KEY, "early"))
    scripted.at_subscribe(event(sbx.HANDED_KEY, b"\xc3("))  # invalid UTF-8
    scripted.at_subscribe(event(sbx.HANDED_KEY, "raise"))

    def cb(p):
        got.append((p, threading.get_ident()))
        if p == "raise":
            raise ValueError("inside the subscribe operation")

    key = subscribe(topic, ctx, "S", cb)
    # Returning normally means no Python error was left set by the failures.
    assert got == [("early", threading.get_ident()), ("raise", threading.get_ident())]
    assert [u.exc_type for u in unraisable] == [UnicodeDecodeError, ValueError]
    assert tv.is_subscribe(key)


def test_none_and_unknown_keys_call_nothing_and_cache_nothing(ctx, scripted, unraisable):
    key = subscribe(BID, ctx, "NONE", None)
    assert tv.is_subscribe(key)
    receiver = receiver_of(BID)
    scripted.send(receiver, event(key, "to nobody", 1, "bidofferv1,NONE"))
    scripted.send(receiver, event("999999", "unknown key", 1, "bidofferv1,NONE"))
    scripted.send(receiver, event(None, "no key", 1, "bidofferv1,NONE"))
    assert unraisable == []

    got = []
    subscribe(BID, ctx, "NONE", got.append)
    assert got == []


@pytest.mark.parametrize(
    "payload, error, text",
    [
        ("raise", ValueError, "ValueError: boom raise"),
        (b"\xff\xfe", UnicodeDecodeError, "UnicodeDecodeError: 'utf-8' codec can't decode byte 0xff"),
    ],
    ids=["callable raises", "invalid utf-8"],
)
def test_failures_go_to_the_unraisable_hook_and_the_stream_goes_on(ctx, scripted, unraisable, payload, error, text):
    got = []

    def cb(p):
        got.append(p)
        if p == "raise":
            raise ValueError("boom " + p)

    key = subscribe(BID, ctx, "F", cb)
    receiver = receiver_of(BID)
    scripted.send(receiver, event(key, "good", 1, "bidofferv1,F"))
    scripted.send(receiver, event(key, payload, 1, "bidofferv1,F"))
    scripted.send(receiver, event(key, "after", 0))
    assert got == (["good", "raise", "after"] if payload == "raise" else ["good", "after"])
    assert len(unraisable) == 1
    u = unraisable[0]
    assert u.exc_type is error and isinstance(u.exc_value, error)
    assert text in u.err_msg and key in u.err_msg
    # From 3.13 no public call hands the hook both a message and an object.
    assert u.object is (cb if sys.version_info < (3, 13) else None)

    # The failed event did not replace the cached payload.
    replayed = []
    subscribe(BID, ctx, "F", replayed.append)
    assert replayed == ["good"]


@pytest.mark.parametrize("topic", CACHING, ids=name)
def test_cached_payload_is_replayed_once_at_subscribe(ctx, scripted, topic):
    key = subscribe(topic, ctx, "SYM", lambda p: None)
    receiver = receiver_of(topic)
    cache_key = topic.name + b",SYM"
    scripted.send(receiver, event(key, "first", 1, cache_key))
    scripted.send(receiver, event(key, "latest", 1, cache_key))
    scripted.send(receiver, event(key, "not cached", 0, cache_key))

    got = []
    main = threading.get_ident()
    new_key = subscribe(topic, ctx, "SYM", lambda p: got.append((p, threading.get_ident())))
    assert got == [("latest", main)]
    assert new_key != key

    other_topic = INFO if topic is BID else BID
    for t, subject in ((topic, "OTHER"), (other_topic, "SYM")):
        nothing = []
        subscribe(t, ctx, subject, nothing.append)
        assert nothing == []


@pytest.mark.parametrize("topic", PLAIN, ids=name)
def test_plain_topics_neither_cache_nor_replay(ctx, scripted, topic):
    key = subscribe(topic, ctx, "SYM", lambda p: None)
    scripted.send(receiver_of(topic), event(key, "via plain receiver", 1, "bidofferv1,SYM"))
    nothing = []
    subscribe(BID, ctx, "SYM", nothing.append)
    assert nothing == []

    # Even a payload cached under this topic's own name is never replayed.
    bid_key = subscribe(BID, ctx, "X", lambda p: None)
    scripted.send(receiver_of(BID), event(bid_key, "cached", 1, topic.name + b",SYM"))
    subscribe(topic, ctx, "SYM", nothing.append)
    assert nothing == []


def test_failing_replay_goes_to_the_unraisable_hook_and_returns_the_key(ctx, scripted, unraisable):
    key = subscribe(INFO, ctx, "R", lambda p: None)
    scripted.send(receiver_of(INFO), event(key, "cached", 1, "infov1,R"))

    calls = []

    def cb(p):
        calls.append(p)
        if len(calls) == 1:
            raise ValueError("replay refused")

    new_key = subscribe(INFO, ctx, "R", cb)
    assert calls == ["cached"]
    assert [u.exc_type for u in unraisable] == [ValueError]
    assert "ValueError: replay refused" in unraisable[0].err_msg
    assert tv.is_subscribe(new_key)
    scripted.send(receiver_of(INFO), event(new_key, "next"))
    assert calls == ["cached", "next"]


def test_login_empties_the_payload_cache(ctx, scripted):
    key = subscribe(INFO, ctx, "L", lambda p: None)
    scripted.send(receiver_of(INFO), event(key, "before login", 1, "infov1,L"))
    scripted.queue(13, login_image(b"CH-2"))
    ctx2 = tv.login("app", "secret", "", "", False)
    got = []
    subscribe(INFO, ctx2, "L", got.append)
    assert got == []
    assert tv.is_subscribe(key)  # only the cache is emptied


@pytest.mark.parametrize(
    "result, kept",
    [
        (dict(remove_cache=1, cache_key=b"infov1,U"), False),
        (dict(remove_cache=1, cache_key=b"infov1,OTHER"), True),
        (dict(remove_cache=0, cache_key=b"infov1,U"), True),
    ],
    ids=["named entry removed", "other entry named", "flag not set"],
)
def test_unsubscribe_removes_the_cache_entry_the_library_names(ctx, scripted, result, kept):
    key = subscribe(INFO, ctx, "U", lambda p: None)
    scripted.send(receiver_of(INFO), event(key, "cached", 1, "infov1,U"))
    unsubscribe(key, **result)
    got = []
    subscribe(INFO, ctx, "U", got.append)
    assert got == (["cached"] if kept else [])


def test_unsubscribe_of_an_unknown_key_passes_handle_zero(ctx, scripted):
    assert unsubscribe("123456") is None
    assert sbx.last_call(48).value(2) == 0
    assert not tv.is_subscribe("123456")


def test_unsubscribe_internal_error_changes_nothing(ctx, scripted):
    got = []
    key = subscribe(INFO, ctx, "E", got.append, handle=5)
    scripted.send(receiver_of(INFO), event(key, "cached", 1, "infov1,E"))
    with pytest.raises(RuntimeError) as e:
        unsubscribe(key, remove_cache=1, cache_key=b"infov1,E", internal_error=b"link down")
    assert str(e.value) == "Internal Error: link down"
    assert tv.is_subscribe(key)
    scripted.send(receiver_of(INFO), event(key, "still live"))
    assert got == ["cached", "still live"]
    replayed = []
    subscribe(INFO, ctx, "E", replayed.append)
    assert replayed == ["cached"]

    with pytest.raises(RuntimeError, match=r"^Internal Error: link down$"):
        unsubscribe("424242", internal_error=b"link down")
    assert not tv.is_subscribe("424242")


@pytest.mark.parametrize(
    "error, text", [(b"no such symbol", "no such symbol"), (None, "Unknown exception")], ids=["library text", "no text"]
)
@pytest.mark.parametrize("topic", TOPICS, ids=name)
def test_refused_subscription_raises_and_forgets_its_callable(ctx, scripted, topic, error, text):
    got = []
    scripted.at_subscribe(event(sbx.HANDED_KEY, "during"))
    scripted.queue(topic.op, subscribe_result(0, 7, error))
    with pytest.raises(RuntimeError) as e:
        topic.subscribe(ctx, "S", got.append)
    assert str(e.value) == text
    call = subscribe_call(sbx.last_call(topic.op))
    key = call.key.decode()
    assert got == ["during"]  # the callable was registered before the library was asked
    assert not tv.is_subscribe(key)
    scripted.send(call.receiver, event(key, "after refusal"))
    assert got == ["during"]


def test_is_subscribe_calls_nothing(scripted):
    counts = [sbx.call_count(op) for op in range(1, 49)]
    assert tv.is_subscribe("000000") is False
    assert tv.is_subscribe("") is False
    assert tv.is_subscribe(b"12345600") is False
    assert [sbx.call_count(op) for op in range(1, 49)] == counts
    assert sbx.calls() == []


@pytest.mark.parametrize(
    "change, text",
    [
        (lambda c: c.pop("configuration"), "KeyError: 'configuration'"),
        (lambda c: c.update(channel_id=None), "Unable to cast"),
    ],
    ids=["no configuration", "channel None"],
)
@pytest.mark.parametrize("topic", TOPICS, ids=name)
def test_context_errors_raise_runtime_error_before_the_library(ctx, scripted, topic, change, text):
    change(ctx)
    before = sbx.call_count(topic.op)
    with pytest.raises(RuntimeError) as e:
        topic.subscribe(ctx, "S", lambda p: None)
    assert type(e.value) is RuntimeError
    assert text in str(e.value)
    assert sbx.call_count(topic.op) == before


def test_function_table_places_and_signatures():
    names = [n for n, v in vars(tv).items() if callable(v) and not n.startswith("_")]
    assert names[:3] == ["login", "unsubscribe", "is_subscribe"]
    mine = [
        "subscribe_bid_offer",
        "subscribe_price_info",
        "subscribe_candlestick",
        "subscribe_derivatives_order",
        "subscribe_equity_order",
    ]
    assert [n for n in names if n in mine] == mine
    after = names[names.index(mine[-1]) + 1 :]
    assert after in ([], ["get_candlesticks"])
    cb = "Callable[[str], None]"
    assert tv.unsubscribe.__doc__.strip() == "unsubscribe(arg0: str, arg1: str) -> None"
    assert tv.is_subscribe.__doc__.strip() == "is_subscribe(arg0: str) -> bool"
    assert tv.subscribe_bid_offer.__doc__.strip() == "subscribe_bid_offer(arg0: dict, arg1: str, arg2: %s) -> str" % cb
    assert (
        tv.subscribe_candlestick.__doc__.strip()
        == "subscribe_candlestick(arg0: dict, arg1: str, arg2: str, arg3: %s) -> str" % cb
    )


@pytest.mark.parametrize("bad", ["not callable", 3], ids=["str", "int"])
def test_callable_parameter_refuses_non_callables(scripted, bad):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        tv.subscribe_bid_offer({}, "S", bad)
    assert sbx.calls() == []


def test_subscription_key_generator():
    run = subprocess.run([built_program("test_subscription_key")], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr


FROZEN = textwrap.dedent("""
    import sys
    sys.path.insert(0, %(tests)r)
    import tavrolix_open_api as tv
    import tavrolix_sandbox as sbx
    from wire import login_image
    from wire_realtime import BY_NAME, event, receiver_of, subscribe_result, unsubscribe_result

    sbx.use_scripted()
    sbx.queue(13, login_image(b"CH-1"))
    ctx = tv.login("a", "b", "", "", False)
    got = {"a": [], "b": [], "c": []}
    bid, cdl = BY_NAME["subscribe_bid_offer"], BY_NAME["subscribe_candlestick"]
    sbx.queue(43, subscribe_result(1, 1))
    a = tv.subscribe_bid_offer(ctx, "S", got["a"].append)
    sbx.queue(44, subscribe_result(1, 2))
    b = tv.subscribe_candlestick(ctx, "S", "1m", got["b"].append)
    for key, topic in ((a, bid), (b, cdl), (a, bid)):
        sbx.send(receiver_of(topic), event(key, "for " + key))
    sbx.queue(48, unsubscribe_result())
    tv.unsubscribe("CH-1", a)
    sbx.queue(43, subscribe_result(1, 3))
    c = tv.subscribe_bid_offer(ctx, "S", got["c"].append)
    sbx.send(receiver_of(bid), event(c, "for " + c))
    print(repr((a, b, c, got)))
""")


def test_subscriptions_in_one_tick_get_their_own_keys():
    lib = built_program("frozen_clock", "tests", "frozen_clock.so")
    env = dict(os.environ)
    # After whatever is preloaded already: a sanitizer runtime must stay first.
    env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), str(lib)]))
    # 1 h 2 min 3 s 4 ms 5 us 6 ticks past a seven-hour boundary of 2023.
    env["TVX_FROZEN_SECONDS"] = str(7 * 3600 * 66800 + 3723)
    env["TVX_FROZEN_NANOSECONDS"] = str(4005600)
    run = subprocess.run(
        [sys.executable, "-c", FROZEN % {"tests": HERE}], env=env, capture_output=True, text=True, timeout=120
    )
    assert run.returncode == 0, run.stderr
    a, b, c, got = eval(run.stdout)
    assert (a, b) == ("12345600", "12345700")
    assert c == "12345600"  # free again once unsubscribed
    assert got == {"a": ["for 12345600", "for 12345600"], "b": ["for 12345700"], "c": ["for 12345600"]}


def test_broker_mode_accepts_subscriptions():
    sbx.use_broker()
    ctx = tv.login("inv001", "inv001-secret", "", "", False)
    subjects = {b"orderdvv1": "D-1001", b"ordereqv1": "E-1001"}
    keys = [t.subscribe(ctx, subjects.get(t.name, "ARVO"), lambda p: None, "1m") for t in TOPICS]
    assert len(set(keys)) == len(keys)
    assert all(tv.is_subscribe(k) for k in keys)
    for k in keys:
        tv.unsubscribe(ctx["channel_id"], k)
    assert not any(tv.is_subscribe(k) for k in keys)

    stranger = dict(ctx, channel_id="no-such-channel")
    with pytest.raises(RuntimeError, match=r"^not logged in: unknown channel$"):
        tv.subscribe_price_info(stranger, "ARVO", None)
    with pytest.raises(RuntimeError, match=r"^unknown symbol: PTT$"):
        tv.subscribe_price_info(ctx, "PTT", None)
