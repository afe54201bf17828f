"""Portfolio and trade lists: records laid out by offset, read back as dictionaries."""

import pytest
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from catalog import FUNCTIONS
from wire import config_of, record_list
from wire_positions import (
    DERIVATIVES_POSITION,
    DERIVATIVES_POSITION_KEYS,
    DERIVATIVES_TRADE,
    EQUITY_POSITION,
    EQUITY_TRADE,
    PY_TYPE,
    record,
    sample,
)


class Query:
    def __init__(self, name, op, fields, size, keys=None):
        self.name, self.op, self.fields, self.size = name, op, fields, size
        self.keys = keys or [key for _, _, key in fields]
        self.fn = getattr(tv, name)

    def __repr__(self):
        return self.name

    def record(self, values, flag_byte=1):
        return record(self.fields, self.size, values, flag_byte)

    def texts(self):
        return [key for _, kind, key in self.fields if kind == "t"]


QUERIES = [
    Query("get_investor_derivatives_portfolios", 17, DERIVATIVES_POSITION, 312, DERIVATIVES_POSITION_KEYS),
    Query("get_marketrep_derivatives_portfolios", 28, DERIVATIVES_POSITION, 312, DERIVATIVES_POSITION_KEYS),
    Query("get_investor_equity_portfolios", 22, EQUITY_POSITION, 160),
    Query("get_marketrep_equity_portfolios", 34, EQUITY_POSITION, 160),
    Query("get_investor_derivatives_trades", 18, DERIVATIVES_TRADE, 192),
    Query("get_marketrep_derivatives_trades", 29, DERIVATIVES_TRADE, 192),
    Query("get_investor_equity_trades", 23, EQUITY_TRADE, 128),
    Query("get_marketrep_equity_trades", 35, EQUITY_TRADE, 128),
]
each_query = pytest.mark.parametrize("q", QUERIES, ids=repr)


@each_query
def test_every_field_in_library_order(ctx, scripted, q):
    values = [sample(q.fields, seed) for seed in (1, 2, 3)]
    items = sbx.Layout.array([q.record(v, flag_byte=2 if seed == 2 else 1) for seed, v in enumerate(values)])
    scripted.queue(q.op, record_list(items, 3, message=b"not read on success"))
    env = q.fn(ctx, "ACC-1")
    assert list(env) == ["success", "status_code", "data", "message"]
    assert (env["success"], env["status_code"], env["message"]) == (True, 200, "")
    assert env["data"] == values
    kinds = {key: kind for _, kind, key in q.fields}
    for item in env["data"]:
        assert list(item) == q.keys
        assert {k: type(v) for k, v in item.items()} == {k: PY_TYPE[kinds[k]] for k in q.keys}


@each_query
@pytest.mark.parametrize("count", [0, -1, -(2**63)])
def test_no_records_for_count_zero_or_less(ctx, scripted, q, count):
    scripted.queue(q.op, record_list(q.record(sample(q.fields, 1)), count, message=b"x"))
    assert q.fn(ctx, "ACC-1") == {"success": True, "status_code": 200, "data": [], "message": ""}


@each_query
@pytest.mark.parametrize("text, expected", [(None, None), (b"", "")])
def test_null_and_empty_texts(ctx, scripted, q, text, expected):
    values = dict(sample(q.fields, 4), **{key: text for key in q.texts()})
    scripted.queue(q.op, record_list(q.record(values), 1))
    (item,) = q.fn(ctx, "ACC-1")["data"]
    assert {key: item[key] for key in q.texts()} == {key: expected for key in q.texts()}


def _bad_text_record(q):
    return q.record(dict(sample(q.fields, 5), **{q.texts()[-1]: b"ok\xff\xfe"}))


@each_query
def test_refusal_reads_no_record(ctx, scripted, q):
    scripted.queue(
        q.op, record_list(_bad_text_record(q), 1, success=0, status=404, message="account unknown \u00e9".encode())
    )
    assert q.fn(ctx, "ACC-1") == {"success": False, "status_code": 404, "data": [], "message": "account unknown \u00e9"}


@each_query
def test_internal_error_before_any_record(ctx, scripted, q):
    scripted.queue(q.op, record_list(_bad_text_record(q), 1, error=b"link down"))
    with pytest.raises(RuntimeError, match=r"^Internal Error: link down$"):
        q.fn(ctx, "ACC-1")


@each_query
@pytest.mark.parametrize("where", ["field", "message"])
def test_invalid_utf8_raises(ctx, scripted, q, where):
    if where == "field":
        scripted.queue(q.op, record_list(_bad_text_record(q), 1))
    else:
        scripted.queue(q.op, record_list(None, 0, success=0, status=500, message=b"bad \xc3("))
    with pytest.raises(UnicodeDecodeError):
        q.fn(ctx, "ACC-1")


@each_query
@pytest.mark.parametrize(
    "account, sent",
    [
        ("D-1001", b"D-1001"),
        ("Acc\u00e9", "Acc\u00e9".encode()),
        (b"RAW\xff", b"RAW\xff"),
    ],
)
def test_operation_and_arguments(ctx, scripted, q, account, sent):
    ctx["configuration"]["max_torelation"] = -7
    scripted.queue(q.op, record_list(None, 0))
    q.fn(ctx, account)
    (call,) = scripted.calls()
    assert call.op == q.op and call.kinds() == ["record", "text"]
    assert call.value(1) == sent
    cfg = config_of(call)
    assert (cfg["channel_id"], cfg["daemon_type"], cfg["enable_queue"], cfg["max_torelation"]) == (
        b"CH-1",
        b"STAND_ALONE",
        1,
        -7,
    )


MINE = [q.name for q in QUERIES] + ["get_candlesticks"]
TABLE_ORDER = [name for name, _, _ in FUNCTIONS]


def test_registered_in_table_order():
    registered = [name for name in vars(tv) if not name.startswith("__")]
    assert set(MINE) <= set(registered)
    assert registered == [name for name in TABLE_ORDER if name in registered]


@pytest.mark.parametrize("name", MINE)
def test_signature(name):
    params = (
        "arg0: dict, arg1: str"
        if name != "get_candlesticks"
        else "arg0: dict, arg1: str, arg2: str, arg3: int, arg4: bool, arg5: str, arg6: str"
    )
    assert getattr(tv, name).__doc__.strip() == "%s(%s) -> dict" % (name, params)


# --- the sandbox broker -------------------------------------------------------------


def _login(user):
    sbx.use_broker()
    return tv.login(user, user + "-secret", "", "", False)


@each_query
def test_broker_answers_own_and_refuses_others(q):
    derivatives = "derivatives" in q.name
    own, other = ("D-1001", "D-2001") if derivatives else ("E-1001", "E-2001")
    if "investor" in q.name:
        ctx = _login("inv001")
        cases = [(own, True, 200), (other, False, 404), ("NO-SUCH", False, 404)]
    else:
        ctx = _login("mkt001")
        cases = [(own, True, 200), (other, True, 200), ("NO-SUCH", False, 404)]
    for account, success, status in cases:
        env = q.fn(ctx, account)
        assert (env["success"], env["status_code"]) == (success, status), account
        assert isinstance(env["data"], list) and (success or env["data"] == [])
        assert (env["message"] == "") == success


@each_query
def test_broker_refuses_wrong_user_kind_and_unknown_channel(q):
    wrong = _login("mkt001" if "investor" in q.name else "inv001")
    account = "D-1001" if "derivatives" in q.name else "E-1001"
    assert q.fn(wrong, account)["status_code"] == 403
    stale = dict(wrong, channel_id="sbx-nobody-0")
    env = q.fn(stale, account)
    assert (env["success"], env["status_code"], env["data"]) == (False, 401, [])
