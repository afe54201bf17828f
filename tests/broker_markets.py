"""The two markets of the sandbox broker behind one interface, so that broker
tests can run the same case on equities and derivatives, through the module."""

from typing import ClassVar, Dict

import numpy as np
import pytest
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from tavrolix_sandbox import broker

PIN = "000000"


def login(user):
    return tv.login(user, user + "-secret", "", "", False)


class Equity:
    name = "equity"
    symbol, price, tick, lot = "DANTA", 3.52, 0.02, 100
    account: ClassVar[Dict[str, str]] = {"inv001": "E-1001", "inv002": "E-2001", "inv003": "E-3001"}
    keys: ClassVar[Dict[str, str]] = {
        "matched": "matched",
        "cancelled": "cancelled",
        "balance": "balance",
        "qty": "vol",
    }

    @staticmethod
    def place(
        ctx,
        account,
        side,
        price,
        volume,
        price_type="LIMIT",
        validity="DAY",
        symbol=None,
        iceberg=0,
        bypass=False,
        pin=PIN,
    ):
        return tv.place_investor_equity_order(
            ctx,
            account,
            symbol or Equity.symbol,
            price,
            volume,
            side,
            pin,
            price_type,
            validity,
            "",
            "",
            False,
            iceberg,
            bypass,
        )

    @staticmethod
    def place_marketrep(ctx, account, side, price, volume):
        return tv.place_marketrep_equity_order(
            ctx, account, Equity.symbol, price, volume, side, "LIMIT", "DAY", "", "", False, 0, False
        )

    order = staticmethod(lambda ctx, account, no: tv.get_investor_equity_order(ctx, account, no))
    orders = staticmethod(lambda ctx, account: tv.get_investor_equity_orders(ctx, account))
    marketrep_orders = staticmethod(lambda ctx: tv.get_marketrep_equity_orders(ctx))
    marketrep_order = staticmethod(lambda ctx, no: tv.get_marketrep_equity_order(ctx, no))
    cancel = staticmethod(lambda ctx, account, no, pin=PIN: tv.cancel_investor_equity_order(ctx, account, no, pin))
    cancel_many = staticmethod(lambda ctx, account, nos: tv.cancel_investor_equity_orders(ctx, account, list(nos), PIN))
    trades = staticmethod(lambda ctx, account: tv.get_investor_equity_trades(ctx, account))
    portfolios = staticmethod(lambda ctx, account: tv.get_investor_equity_portfolios(ctx, account))
    unknown_order = "EQ99999999"

    @staticmethod
    def change(ctx, account, no, price=0.0, volume=0):
        return tv.change_investor_equity_order(ctx, account, no, price, volume, PIN, "", 0, "", False)


class Derivatives:
    name = "derivatives"
    symbol, price, tick, lot = "T50H26", 1000.0, 0.1, 1
    account: ClassVar[Dict[str, str]] = {"inv001": "D-1001", "inv002": "D-2001", "inv003": "D-3001"}
    keys: ClassVar[Dict[str, str]] = {
        "matched": "match_qty",
        "cancelled": "cancel_qty",
        "balance": "balance_qty",
        "qty": "qty",
    }

    @staticmethod
    def place(
        ctx,
        account,
        side,
        price,
        volume,
        price_type="LIMIT",
        validity="DAY",
        symbol=None,
        position="AUTO",
        trigger=("", "", 0.0),
        bypass=False,
        pin=PIN,
    ):
        return tv.place_investor_derivatives_order(
            ctx,
            account,
            symbol or Derivatives.symbol,
            price,
            volume,
            side,
            position,
            pin,
            price_type,
            validity,
            *trigger,
            bypass,
        )

    @staticmethod
    def place_marketrep(ctx, account, side, price, volume):
        return tv.place_marketrep_derivatives_order(
            ctx, account, Derivatives.symbol, price, volume, side, "AUTO", "LIMIT", "DAY", "", "", 0.0, False
        )

    order = staticmethod(lambda ctx, account, no: tv.get_investor_derivatives_order(ctx, account, no))
    orders = staticmethod(lambda ctx, account: tv.get_investor_derivatives_orders(ctx, account))
    marketrep_orders = staticmethod(lambda ctx: tv.get_marketrep_derivatives_orders(ctx))
    marketrep_order = staticmethod(lambda ctx, no: tv.get_marketrep_derivatives_order(ctx, no))
    cancel = staticmethod(lambda ctx, account, no, pin=PIN: tv.cancel_investor_derivatives_order(ctx, account, no, pin))
    cancel_many = staticmethod(
        lambda ctx, account, nos: tv.cancel_investor_derivatives_orders(
            ctx, account, np.array(list(nos), dtype=np.int32), PIN
        )
    )
    trades = staticmethod(lambda ctx, account: tv.get_investor_derivatives_trades(ctx, account))
    portfolios = staticmethod(lambda ctx, account: tv.get_investor_derivatives_portfolios(ctx, account))
    unknown_order = 99999

    @staticmethod
    def change(ctx, account, no, price=0.0, volume=0):
        return tv.change_investor_derivatives_order(ctx, account, no, price, volume, PIN, "", "")


MARKETS = [Equity, Derivatives]
each_market = pytest.mark.parametrize("mk", MARKETS, ids=lambda m: m.name)


def quiet_market(seed=11, **kw):
    """A world where only customers trade, its clock stopped."""
    sbx.use_broker()
    broker.reset(seed=seed, running=False, liquidity=False, activity=False, **kw)


def placed(env):
    assert env["success"], env["message"]
    return env["data"]["order_no"]


def fill_state(mk, order):
    k = mk.keys
    return order["status"], order[k["matched"]], order[k["cancelled"]], order[k["balance"]]
