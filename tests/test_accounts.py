"""The four account-information functions, from records laid out by offset."""

import pytest
import tavrolix_open_api as tv
from tavrolix_sandbox import Layout
from wire import single

# (offset in the result, key) of the derivatives account result.
DERIVATIVES = [
    (8, "credit_line"),
    (16, "excess_equity"),
    (24, "cash_balance"),
    (32, "equity"),
    (40, "total_mr"),
    (48, "total_mm"),
    (64, "call_force_margin"),
]

# (offset in the record, kind, key) of the equity account record, in record order.
EQUITY = (
    [(0, "t", "account_type")]
    + [
        (o, "d", k)
        for o, k in [
            (8, "actual_cash_balance"),
            (16, "actual_margin_loan"),
            (24, "additional_data"),
            (32, "asset"),
            (40, "available_cash_balance"),
            (48, "available_margin_loan"),
            (56, "buy_mr"),
            (64, "call_amount"),
            (72, "call_margin"),
        ]
    ]
    + [
        (80, "b", "can_buy"),
        (81, "b", "can_sell"),
        (88, "d", "cash_balance"),
        (96, "t", "client_type"),
        (104, "d", "cm_adjust"),
        (112, "d", "collateral"),
        (120, "b", "credit_balance"),
        (128, "d", "credit_limit"),
        (136, "t", "customer_type"),
    ]
    + [
        (o, "d", k)
        for o, k in [
            (144, "equity_balance"),
            (152, "excess_equity"),
            (160, "fm_adjust"),
            (168, "force_amount"),
            (176, "force_margin"),
            (184, "im_adjust"),
            (192, "initial_cash_balance"),
            (200, "initial_credit_limit"),
            (208, "initial_line_available"),
            (216, "liabilities"),
            (224, "line_avail_50"),
            (232, "line_avail_60"),
            (240, "line_avail_70"),
            (248, "line_avail_80"),
            (256, "line_available"),
            (264, "long_market_value"),
            (272, "margin_cm"),
            (280, "margin_fm"),
            (288, "margin_im"),
            (296, "mr"),
        ]
    ]
    + [(304, "t", "mtm_realtime")]
    + [
        (o, "d", k)
        for o, k in [
            (312, "net_settlement_line"),
            (320, "percent_mm"),
            (328, "purchasing_power"),
            (336, "value_force_sale"),
        ]
    ]
)

CASH_KEYS = [
    "account_type",
    "additional_data",
    "can_buy",
    "can_sell",
    "cash_balance",
    "client_type",
    "credit_balance",
    "credit_limit",
    "customer_type",
    "initial_cash_balance",
    "initial_credit_limit",
    "initial_line_available",
    "line_available",
    "net_settlement_line",
]

DERIVATIVES_FUNCTIONS = [
    (tv.get_investor_derivatives_account_info, 14),
    (tv.get_marketrep_derivatives_account_info, 24),
]
EQUITY_FUNCTIONS = [(tv.get_investor_equity_account_info, 19), (tv.get_marketrep_equity_account_info, 30)]


def derivatives_result(flag=b"Y"):
    img = Layout(88).u8(0, 1).i32(4, 200)
    for i, (off, _) in enumerate(DERIVATIVES):
        img.f64(off, 1000.25 * (i + 1) * (-1) ** i)
    return img.text(56, flag).text(72, b"ignored")


def equity_record(account_type=b"CREDIT_BALANCE", can_buy=1, can_sell=0, credit_balance=7):
    rec = Layout(344)
    for i, (off, kind, key) in enumerate(EQUITY):
        if kind == "d":
            rec.f64(off, i + 0.5)
        elif kind == "t":
            rec.text(off, key.upper().encode())
    rec.text(0, account_type).u8(80, can_buy).u8(81, can_sell).u8(120, credit_balance)
    return rec


def expected_equity(rec_type=b"CREDIT_BALANCE", can_buy=True, can_sell=False):
    out = {}
    for i, (_off, kind, key) in enumerate(EQUITY):
        out[key] = {"d": i + 0.5, "t": key.upper()}.get(kind)
    out.update(
        account_type=None if rec_type is None else rec_type.decode(),
        can_buy=can_buy,
        can_sell=can_sell,
        credit_balance=True,
    )
    return out


@pytest.mark.parametrize("fn,op", DERIVATIVES_FUNCTIONS)
def test_derivatives_account(scripted, ctx, fn, op):
    scripted.queue(op, derivatives_result())
    env = fn(ctx, "D-42")
    assert scripted.last_call(op).value(1) == b"D-42"
    data = env["data"]
    assert list(data) == [
        "call_force_flag",
        "call_force_margin",
        "cash_balance",
        "credit_line",
        "equity",
        "excess_equity",
        "total_mm",
        "total_mr",
    ]
    expected = {key: 1000.25 * (i + 1) * (-1) ** i for i, (_, key) in enumerate(DERIVATIVES)}
    expected["call_force_flag"] = "Y"
    assert data == expected
    assert all(type(v) is float for k, v in data.items() if k != "call_force_flag")
    assert env["message"] == ""


@pytest.mark.parametrize("fn,op", DERIVATIVES_FUNCTIONS)
def test_derivatives_null_flag(scripted, ctx, fn, op):
    scripted.queue(op, derivatives_result(flag=None))
    assert fn(ctx, "D-1")["data"]["call_force_flag"] is None


@pytest.mark.parametrize("fn,op", EQUITY_FUNCTIONS)
def test_credit_balance_account_has_41_keys(scripted, ctx, fn, op):
    scripted.queue(op, single(368, equity_record(), 352))
    env = fn(ctx, "E-1")
    assert scripted.last_call(op).value(1) == b"E-1"
    data = env["data"]
    expected = expected_equity()
    for key in ("initial_cash_balance", "initial_credit_limit", "initial_line_available"):
        del expected[key]
    assert list(data) == list(expected)
    assert len(data) == 41
    assert data == expected
    assert type(data["additional_data"]) is float and type(data["mtm_realtime"]) is str
    assert type(data["credit_balance"]) is bool


@pytest.mark.parametrize("fn,op", EQUITY_FUNCTIONS)
@pytest.mark.parametrize(
    "account_type", [b"CASH", b"CREDIT_BALANCE ", b"credit_balance", b"CREDIT_BALANC", b"XCREDIT_BALANCE", b"", None]
)
def test_other_accounts_have_14_keys(scripted, ctx, fn, op, account_type):
    scripted.queue(op, single(368, equity_record(account_type, can_buy=0, can_sell=3), 352))
    data = fn(ctx, "E-1")["data"]
    assert list(data) == CASH_KEYS
    full = expected_equity(account_type, can_buy=False, can_sell=True)
    assert data == {k: full[k] for k in CASH_KEYS}


@pytest.mark.parametrize("fn,op", EQUITY_FUNCTIONS)
def test_null_texts_in_equity_account(scripted, ctx, fn, op):
    rec = equity_record().text(96, None).text(136, None).text(304, None)
    scripted.queue(op, single(368, rec, 352))
    data = fn(ctx, "E-1")["data"]
    assert data["client_type"] is None and data["customer_type"] is None and data["mtm_realtime"] is None


@pytest.mark.parametrize("fns", [DERIVATIVES_FUNCTIONS, EQUITY_FUNCTIONS])
def test_refusal_has_empty_data(scripted, ctx, fns):
    for fn, op in fns:
        size, msg = (88, 72) if op in (14, 24) else (368, 352)
        scripted.queue(op, single(size, None, msg, success=0, status=404, message=b"unknown account"))
        assert fn(ctx, "X") == {"success": False, "status_code": 404, "data": {}, "message": "unknown account"}


def test_investor_and_marketrep_variants_agree(scripted, ctx):
    for fns, image in (
        (DERIVATIVES_FUNCTIONS, derivatives_result),
        (EQUITY_FUNCTIONS, lambda: single(368, equity_record(), 352)),
    ):
        results = []
        for fn, op in fns:
            scripted.queue(op, image())
            results.append(fn(ctx, "A"))
        assert results[0] == results[1]
