"""login: the nine arguments, refusals, the context dictionary."""

import pytest
import tavrolix_open_api as tv
from wire import login_image


def test_library_receives_the_nine_arguments(scripted):
    scripted.queue(13, login_image(b"CH-9"))
    tv.login("app-id", b"secret", "", "x", False)
    call = scripted.last_call(13)
    assert call.kinds() == ["text"] * 7 + ["bool", "i32"]
    assert [call.value(i) for i in range(7)] == [
        b"STAND_ALONE",
        b"app-id",
        b"secret",
        b"",
        b"x",
        b"0.4.0",
        b"python_x64",
    ]
    assert call.value(7) == 0 and call.value(8) == 2


@pytest.mark.parametrize("flag,expected", [(True, 1), (False, 0), (None, 0), (2.5, 1), (0, 0)])
def test_enable_queue_argument_and_its_truth(scripted, flag, expected):
    scripted.queue(13, login_image())
    ctx = tv.login("a", "b", "c", "d", flag)
    assert scripted.last_call(13).value(7) == expected
    assert ctx["configuration"]["enable_queue"] is bool(expected)


def test_context_dictionary(scripted):
    scripted.queue(13, login_image("канал-1"))
    ctx = tv.login("a", "b", "c", "d", True)
    assert list(ctx) == ["channel_id", "configuration"]
    assert ctx["channel_id"] == "канал-1"
    conf = ctx["configuration"]
    assert list(conf.items()) == [
        ("enable_queue", True),
        ("daemon_type", "STAND_ALONE"),
        ("max_torelation", 0),
        ("rate_limit", 0),
    ]
    assert type(conf["enable_queue"]) is bool and type(conf["max_torelation"]) is int


def test_null_channel_gives_none(scripted):
    scripted.queue(13, login_image(None))
    assert tv.login("a", "b", "c", "d", False)["channel_id"] is None


def test_refused_login_raises_the_library_message_unchanged(scripted):
    scripted.queue(13, login_image(success=0, message=b"Invalid credentials (code 17)"))
    with pytest.raises(RuntimeError) as e:
        tv.login("a", "b", "c", "d", False)
    assert str(e.value) == "Invalid credentials (code 17)"


def test_refused_login_without_message(scripted):
    scripted.queue(13, login_image(success=0, message=None))
    with pytest.raises(RuntimeError, match=r"^Unknown exception$"):
        tv.login("a", "b", "c", "d", False)


@pytest.mark.parametrize("success", [0, 1])
def test_internal_error_wins_over_success(scripted, success):
    scripted.queue(13, login_image(success=success, error=b"socket closed"))
    with pytest.raises(RuntimeError) as e:
        tv.login("a", "b", "c", "d", False)
    assert str(e.value) == "Internal Error: socket closed"


def test_each_login_makes_an_independent_context(scripted):
    scripted.queue(13, login_image(b"A"))
    scripted.queue(13, login_image(b"B"))
    first = tv.login("a", "b", "c", "d", False)
    second = tv.login("a", "b", "c", "d", True)
    first["configuration"]["max_torelation"] = 9
    assert second["configuration"]["max_torelation"] == 0
    assert (first["channel_id"], second["channel_id"]) == ("A", "B")


def test_channel_text_not_utf8_raises(scripted):
    scripted.queue(13, login_image(b"\xff\xfe"))
    with pytest.raises(UnicodeDecodeError):
        tv.login("a", "b", "c", "d", False)
