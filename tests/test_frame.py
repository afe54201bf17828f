"""The result envelope and the field-to-item rules, through the derivatives account query."""

import pytest
import tavrolix_open_api as tv
from tavrolix_sandbox import Layout
from wire import single

OP = 14


def account(**texts):
    rec = Layout(80)
    for i, off in enumerate(range(0, 48, 8)):
        rec.f64(off, float(i))
    rec.text(48, texts.get("flag", b"Y")).f64(56, 6.5)
    return rec


def test_envelope_on_success_ignores_the_library_message(scripted, ctx):
    scripted.queue(OP, single(88, account(), 72, status=201, message=b"filled anyway"))
    env = tv.get_investor_derivatives_account_info(ctx, "D-1")
    assert list(env) == ["success", "status_code", "data", "message"]
    assert env["success"] is True and env["status_code"] == 201 and env["message"] == ""


@pytest.mark.parametrize("success", [2, 255])
def test_any_nonzero_success_byte_is_true(scripted, ctx, success):
    scripted.queue(OP, single(88, account(), 72, success=success))
    assert tv.get_investor_derivatives_account_info(ctx, "D-1")["success"] is True


def test_envelope_on_failure(scripted, ctx):
    scripted.queue(OP, single(88, account(), 72, success=0, status=-404, message="Konto nicht gefunden: ü"))
    env = tv.get_investor_derivatives_account_info(ctx, "D-1")
    assert env == {"success": False, "status_code": -404, "data": {}, "message": "Konto nicht gefunden: ü"}
    assert type(env["data"]) is dict


def test_failure_without_message_gives_empty_text(scripted, ctx):
    scripted.queue(OP, single(88, account(), 72, success=0, message=None))
    assert tv.get_investor_derivatives_account_info(ctx, "D-1")["message"] == ""


@pytest.mark.parametrize("success", [0, 1])
def test_internal_error_even_with_success(scripted, ctx, success):
    scripted.queue(OP, single(88, account(), 72, success=success, error=b"queue full"))
    with pytest.raises(RuntimeError) as e:
        tv.get_investor_derivatives_account_info(ctx, "D-1")
    assert str(e.value) == "Internal Error: queue full"


def test_bytes_argument_passes_unchanged(scripted, ctx):
    scripted.queue(OP, single(88, account(), 72))
    tv.get_investor_derivatives_account_info(ctx, b"\xffraw")
    assert scripted.last_call(OP).value(1) == b"\xffraw"


@pytest.mark.parametrize("where", ["field", "message"])
def test_invalid_utf8_raises(scripted, ctx, where):
    if where == "field":
        scripted.queue(OP, single(88, account(flag=b"\xc3\x28"), 72))
    else:
        scripted.queue(OP, single(88, account(), 72, success=0, message=b"bad \xff"))
    with pytest.raises(UnicodeDecodeError):
        tv.get_investor_derivatives_account_info(ctx, "D-1")


@pytest.mark.parametrize("text,expected", [(None, None), (b"", ""), (b"ab\0cd", "ab"), ("€".encode(), "€")])
def test_text_items(scripted, ctx, text, expected):
    scripted.queue(OP, single(88, account(flag=text), 72))
    assert tv.get_investor_derivatives_account_info(ctx, "D-1")["data"]["call_force_flag"] == expected
