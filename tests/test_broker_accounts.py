"""The sandbox broker: seeded users, login, account information."""

import pytest
import tavrolix_open_api as tv


@pytest.fixture
def investor():
    return tv.login("inv001", "inv001-secret", "", "", False)


@pytest.fixture
def marketrep():
    return tv.login("mkt001", "mkt001-secret", "", "", False)


@pytest.mark.parametrize("user,secret", [("inv001", "wrong"), ("nobody", "x"), ("inv001", "")])
def test_wrong_credentials_are_refused(user, secret):
    with pytest.raises(RuntimeError, match="login refused"):
        tv.login(user, secret, "", "", False)


def test_each_login_gets_its_own_channel(investor):
    again = tv.login("inv001", "inv001-secret", "", "", True)
    assert investor["channel_id"] != again["channel_id"]
    assert tv.get_investor_derivatives_account_info(again, "D-1001")["success"]
    assert tv.get_investor_derivatives_account_info(investor, "D-1001")["success"]


def test_investor_reads_own_accounts(investor):
    d = tv.get_investor_derivatives_account_info(investor, "D-1001")
    assert d["success"] and d["data"]["cash_balance"] > 0
    credit = tv.get_investor_equity_account_info(investor, "E-1002")["data"]
    cash = tv.get_investor_equity_account_info(investor, "E-1001")["data"]
    assert credit["account_type"] == "CREDIT_BALANCE" and len(credit) == 41 and credit["credit_balance"]
    assert cash["account_type"] != "CREDIT_BALANCE" and len(cash) == 14


def test_investor_cannot_read_other_accounts(investor):
    for fn, account in (
        (tv.get_investor_derivatives_account_info, "D-2001"),
        (tv.get_investor_equity_account_info, "E-2001"),
        (tv.get_investor_equity_account_info, "E-9999"),
    ):
        env = fn(investor, account)
        assert (env["success"], env["status_code"], env["data"]) == (False, 404, {})
        assert account in env["message"]


def test_marketrep_reads_every_account_of_the_broker(marketrep):
    for account in ("D-1001", "D-2001"):
        assert tv.get_marketrep_derivatives_account_info(marketrep, account)["success"]
    for account in ("E-1001", "E-1002", "E-2001"):
        assert tv.get_marketrep_equity_account_info(marketrep, account)["success"]


def test_functions_of_the_other_user_kind_are_refused(investor, marketrep):
    assert tv.get_marketrep_equity_account_info(investor, "E-1001")["status_code"] == 403
    assert tv.get_investor_equity_account_info(marketrep, "E-1001")["status_code"] == 403


def test_unknown_channel_is_refused(investor):
    investor["channel_id"] = "sbx-forged"
    env = tv.get_investor_derivatives_account_info(investor, "D-1001")
    assert (env["success"], env["status_code"]) == (False, 401)
