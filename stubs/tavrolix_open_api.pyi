"""Binding of the Tavrolix Trading interface library (TavrolixInterfacePY).

Every function takes its arguments by position only. The dictionary types below
exist for type checkers only: import them under ``typing.TYPE_CHECKING`` (or in
string annotations), never at run time.
"""
from typing import Callable, Generic, List, Literal, Optional, Sequence, TypedDict, TypeVar, Union, type_check_only

import numpy
import numpy.typing

_T = TypeVar("_T")

# ---------------------------------------------------------------- context

@type_check_only
class Configuration(TypedDict):
    """Settings of the context dictionary, read afresh on every call."""

    enable_queue: bool
    daemon_type: str
    max_torelation: int
    rate_limit: int

@type_check_only
class Context(TypedDict):
    """What ``login`` returns and every query, order action and subscription takes first."""

    channel_id: Optional[str]
    configuration: Configuration

# --------------------------------------------------------------- envelopes

@type_check_only
class NoData(TypedDict):
    """The empty ``data`` dictionary of a refused request or of a verdict."""

@type_check_only
class Accepted(TypedDict, Generic[_T]):
    """A request the library carried out: ``message`` is ""."""

    success: Literal[True]
    status_code: int
    data: _T
    message: str

@type_check_only
class Refused(TypedDict, Generic[_T]):
    """A request the library refused: empty ``data``, the library's status and message."""

    success: Literal[False]
    status_code: int
    data: _T
    message: str

@type_check_only
class Reply(TypedDict, Generic[_T]):
    """A result whose ``message`` is the library's text whatever the outcome (None when it gives none)."""

    success: bool
    status_code: int
    data: _T
    message: Optional[str]

# One record: ``data`` is the record when accepted, ``{}`` when refused.
Result = Union[Accepted[_T], Refused[NoData]]
# Many records: ``data`` is a list, empty when refused.
ListResult = Union[Accepted[List[_T]], Refused[List[_T]]]

# Derivatives order numbers of a batch cancel: a NumPy array of 32-bit
# integers is passed in place, anything else is converted to one first.
OrderNumbers = Union[numpy.typing.NDArray[numpy.int32], Sequence[int]]

# ---------------------------------------------------------------- accounts

@type_check_only
class DerivativesAccount(TypedDict):
    call_force_flag: Optional[str]
    call_force_margin: float
    cash_balance: float
    credit_line: float
    equity: float
    excess_equity: float
    total_mm: float
    total_mr: float

@type_check_only
class CreditBalanceAccount(TypedDict):
    """An equity account of type "CREDIT_BALANCE": 41 keys."""

    account_type: Literal["CREDIT_BALANCE"]
    actual_cash_balance: float
    actual_margin_loan: float
    additional_data: float
    asset: float
    available_cash_balance: float
    available_margin_loan: float
    buy_mr: float
    call_amount: float
    call_margin: float
    can_buy: bool
    can_sell: bool
    cash_balance: float
    client_type: Optional[str]
    cm_adjust: float
    collateral: float
    credit_balance: bool
    credit_limit: float
    customer_type: Optional[str]
    equity_balance: float
    excess_equity: float
    fm_adjust: float
    force_amount: float
    force_margin: float
    im_adjust: float
    liabilities: float
    line_avail_50: float
    line_avail_60: float
    line_avail_70: float
    line_avail_80: float
    line_available: float
    long_market_value: float
    margin_cm: float
    margin_fm: float
    margin_im: float
    mr: float
    mtm_realtime: Optional[str]
    net_settlement_line: float
    percent_mm: float
    purchasing_power: float
    value_force_sale: float

@type_check_only
class StandardEquityAccount(TypedDict):
    """An equity account of any other type: 14 keys."""

    account_type: Optional[str]
    additional_data: float
    can_buy: bool
    can_sell: bool
    cash_balance: float
    client_type: Optional[str]
    credit_balance: bool
    credit_limit: float
    customer_type: Optional[str]
    initial_cash_balance: float
    initial_credit_limit: float
    initial_line_available: float
    line_available: float
    net_settlement_line: float

EquityAccount = Union[CreditBalanceAccount, StandardEquityAccount]

# ------------------------------------------------------------------ orders

@type_check_only
class DerivativesOrder(TypedDict):
    account_no: Optional[str]
    balance_qty: int
    cancel_qty: int
    entry_date: Optional[str]
    entry_id: Optional[str]
    entry_time: Optional[str]
    is_stop_order_not_activate: Optional[str]
    match_qty: int
    order_no: int
    position: Optional[str]
    price: float
    price_type: Optional[str]
    qty: int
    reject_code: int
    reject_reason: Optional[str]
    show_status: Optional[str]
    side: Optional[str]
    status: Optional[str]
    status_meaning: Optional[str]
    symbol: Optional[str]
    tfx_order_no: Optional[str]
    trigger_condition: Optional[str]
    trigger_price: float
    trigger_symbol: Optional[str]
    validity: Optional[str]
    version: int

@type_check_only
class EquityOrder(TypedDict):
    can_cancel: bool
    can_change_account: bool
    account_no: Optional[str]
    balance: int
    cancel_id: Optional[str]
    cancel_time: Optional[str]
    cancelled: int
    counter_party_member: Optional[str]
    enter_id: Optional[str]
    entry_time: Optional[str]
    iceberg_vol: int
    matched: int
    nvdr_flag: Optional[str]
    order_no: Optional[str]
    order_type: Optional[str]
    price: float
    price_type: Optional[str]
    reject_code: int
    reject_reason: Optional[str]
    set_order_no: Optional[str]
    show_order_status: Optional[str]
    show_order_status_meaning: Optional[str]
    side: Optional[str]
    status: Optional[str]
    symbol: Optional[str]
    trade_date: Optional[str]
    trade_report_type: Optional[str]
    trade_time: Optional[str]
    validity: Optional[str]
    version: int
    vol: int
    can_change_price_vol: bool
    can_change_trustee_id: bool
    trade_report: bool

@type_check_only
class PlacedDerivativesOrder(TypedDict):
    order_no: int

@type_check_only
class PlacedEquityOrder(TypedDict):
    order_no: Optional[str]

@type_check_only
class ErrorResponse(TypedDict):
    code: Optional[str]
    message: Optional[str]

@type_check_only
class DerivativesOrderActionError(TypedDict):
    """The library's answer about one order of a batch cancel."""

    error_response: ErrorResponse
    http_status: Optional[str]
    http_status_code: int
    order_no: int

@type_check_only
class EquityOrderActionError(TypedDict):
    """The library's answer about one order of a batch cancel."""

    error_response: ErrorResponse
    http_status: Optional[str]
    http_status_code: int
    order_no: Optional[str]

# --------------------------------------------------------------- positions

@type_check_only
class DerivativesPosition(TypedDict):
    account_no: Optional[str]
    actual_long_position: int
    actual_short_position: int
    as_of_date_xrt: Optional[str]
    available_long_position: int
    available_short_position: int
    avg_xrt_long: float
    avg_xrt_long_cost: float
    avg_xrt_short: float
    avg_xrt_short_cost: float
    broker_id: Optional[str]
    close_long_position: int
    close_short_position: int
    currency: Optional[str]
    current_xrt: float
    has_long_position: bool
    has_short_position: bool
    last_trading_date: Optional[str]
    long_avg_cost: float
    long_avg_price: float
    market_price: float
    multiplier: float
    open_long_position: int
    open_short_position: int
    realized_pl: float
    realized_pl_by_cost: float
    realized_pl_by_cost_currency: float
    realized_pl_currency: float
    security_type: Optional[str]
    short_avg_cost: float
    short_avg_price: float
    start_long_cost: float
    start_long_position: int
    start_long_price: float
    start_short_cost: float
    start_short_position: int
    start_short_price: float
    start_xrt_long: float
    start_xrt_long_cost: float
    start_xrt_short: float
    start_xrt_short_cost: float
    symbol: Optional[str]
    underlying: Optional[str]

@type_check_only
class EquityPosition(TypedDict):
    actual_volume: float
    amount: float
    average_price: float
    commission_rate: float
    current_volume: float
    flag: Optional[str]
    liabilities: float
    margin_rate: float
    market_price: float
    market_value: float
    nvdr_flag: Optional[str]
    percent_profit: float
    port_flag: Optional[str]
    profit: float
    realize_profit: float
    show_n_a: bool
    start_price: float
    start_volume: float
    symbol: Optional[str]
    vat_rate: float

# ------------------------------------------------------------------ trades

@type_check_only
class DerivativesTrade(TypedDict):
    account_no: Optional[str]
    broker_id: Optional[str]
    currency: Optional[str]
    deal_no: Optional[str]
    entry_id: Optional[str]
    ledger_date: Optional[str]
    ledger_seq: int
    ledger_time: Optional[str]
    multiplier: float
    open_close: Optional[str]
    order_no: int
    px: float
    qty: int
    rectified_qty: int
    ref_ledger_date: Optional[str]
    ref_ledger_seq: int
    reject_code: Optional[str]
    reject_reason: Optional[str]
    side: Optional[str]
    status: Optional[str]
    symbol: Optional[str]
    trade_date: Optional[str]
    trade_no: Optional[str]
    trade_time: Optional[str]
    trade_type: Optional[str]

@type_check_only
class EquityTrade(TypedDict):
    account_no: Optional[str]
    broker_id: Optional[str]
    brokerage_fee: float
    clearing_fee: float
    deal_no: Optional[str]
    entry_id: Optional[str]
    order_no: Optional[str]
    px: float
    qty: int
    side: Optional[str]
    symbol: Optional[str]
    trade_date: Optional[str]
    trade_no: Optional[str]
    trade_time: Optional[str]
    trading_fee: float
    trustee_id: Optional[str]

# ------------------------------------------------------------ candlesticks

@type_check_only
class Candlesticks(TypedDict):
    """Candlestick history by column; columns may differ in length."""

    last_sequence: int
    time: List[int]
    open: List[float]
    high: List[float]
    low: List[float]
    close: List[float]
    volume: List[int]

# --------------------------------------------------------------- functions

def login(app_id: str, app_secret: str, login_text3: str, login_text4: str, enable_queue: bool, /) -> Context:
    """Log in and return a new context dictionary.

    Parameters:
        app_id: the application id; the sandbox knows the users of its seeded table.
        app_secret: the application's secret.
        login_text3: passed to the library unchanged; the sandbox ignores it.
        login_text4: passed to the library unchanged; the sandbox ignores it.
        enable_queue: stored as ``configuration["enable_queue"]``.

    Result: the context dictionary (``channel_id`` and ``configuration``).

    Errors: ``RuntimeError`` with the library's message when the login is refused
        (the sandbox: an unknown application id or a wrong secret).
    """

def unsubscribe(channel_id: str, subscription_key: str, /) -> None:
    """End a realtime subscription.

    Parameters:
        channel_id: the channel the subscription was made on, ``context["channel_id"]``.
        subscription_key: the key a subscribe function returned.

    Result: None; the key is no longer active, whether or not it was.

    Errors: ``RuntimeError`` "Internal Error: ..." when the library fails.
    """

def is_subscribe(subscription_key: str, /) -> bool:
    """Whether a subscription key is active; asks nothing of the library.

    Parameters:
        subscription_key: the key a subscribe function returned.

    Result: True from a successful subscribe until its ``unsubscribe``.

    Errors: none.
    """

def get_investor_derivatives_account_info(context: Context, account_no: str, /) -> Result[DerivativesAccount]:
    """Balances and limits of one of the investor's derivatives accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.

    Result: the envelope; ``data`` is the account.

    Errors: refused with 404 for an account that is not the investor's.
    """

def get_investor_derivatives_order(context: Context, account_no: str, order_no: int, /) -> Result[DerivativesOrder]:
    """One derivatives order of one of the investor's accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.
        order_no: the order number.

    Result: the envelope; ``data`` is the order.

    Errors: refused with 404 for an account that is not the investor's.
    """

def get_investor_derivatives_orders(context: Context, account_no: str, /) -> ListResult[DerivativesOrder]:
    """All derivatives orders of one of the investor's accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.

    Result: the envelope; ``data`` lists the orders.

    Errors: refused with 404 for an account that is not the investor's.
    """

def place_investor_derivatives_order(
    context: Context,
    account_no: str,
    arg3: str,
    arg4: float,
    arg5: int,
    arg6: str,
    arg7: str,
    arg8: str,
    arg9: str,
    arg10: str,
    arg11: str,
    arg12: str,
    arg13: float,
    arg14: bool,
    /,
) -> Result[PlacedDerivativesOrder]:
    """Place a derivatives order for one of the investor's accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.
        arg3: passed to the library unchanged.
        arg4: passed to the library unchanged.
        arg5: passed to the library unchanged.
        arg6: passed to the library unchanged.
        arg7: passed to the library unchanged.
        arg8: passed to the library unchanged.
        arg9: passed to the library unchanged.
        arg10: passed to the library unchanged.
        arg11: passed to the library unchanged.
        arg12: passed to the library unchanged.
        arg13: passed to the library unchanged.
        arg14: passed to the library unchanged.

    Result: the envelope; ``data["order_no"]`` is the new order's number.

    Errors: refused with 404 for an account that is not the investor's.
    """

def cancel_investor_derivatives_orders(
    context: Context, account_no: str, order_nos: OrderNumbers, arg4: str, /
) -> ListResult[DerivativesOrderActionError]:
    """Cancel several derivatives orders of one of the investor's accounts in one request.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.
        order_nos: the order numbers.
        arg4: passed to the library unchanged.

    Result: the envelope; ``data`` lists the library's answer for each order it reports on.

    Errors: refused with 404 for an account that is not the investor's.
    """

def cancel_investor_derivatives_order(context: Context, account_no: str, order_no: int, arg4: str, /) -> Reply[NoData]:
    """Cancel one derivatives order of one of the investor's accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.
        order_no: the order number.
        arg4: passed to the library unchanged.

    Result: the envelope; ``data`` is ``{}``, ``message`` the library's text (or None).

    Errors: refused with 404 for an account that is not the investor's.
    """

def change_investor_derivatives_order(
    context: Context, account_no: str, order_no: int, arg4: float, arg5: int, arg6: str, arg7: str, arg8: str, /
) -> Reply[NoData]:
    """Change one derivatives order of one of the investor's accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.
        order_no: the order number.
        arg4: passed to the library unchanged.
        arg5: passed to the library unchanged.
        arg6: passed to the library unchanged.
        arg7: passed to the library unchanged.
        arg8: passed to the library unchanged.

    Result: the envelope; ``data`` is ``{}``, ``message`` the library's text (or None).

    Errors: refused with 404 for an account that is not the investor's.
    """

def get_investor_derivatives_portfolios(context: Context, account_no: str, /) -> ListResult[DerivativesPosition]:
    """The positions of one of the investor's derivatives accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.

    Result: the envelope; ``data`` lists the positions.

    Errors: refused with 404 for an account that is not the investor's.
    """

def get_investor_derivatives_trades(context: Context, account_no: str, /) -> ListResult[DerivativesTrade]:
    """The trades of one of the investor's derivatives accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.

    Result: the envelope; ``data`` lists the trades.

    Errors: refused with 404 for an account that is not the investor's.
    """

def get_investor_equity_account_info(context: Context, account_no: str, /) -> Result[EquityAccount]:
    """Balances and limits of one of the investor's equity accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.

    Result: the envelope; ``data`` is the account, with 41 keys for a "CREDIT_BALANCE" account and 14 otherwise.

    Errors: refused with 404 for an account that is not the investor's.
    """

def get_investor_equity_order(context: Context, account_no: str, order_no: str, /) -> Result[EquityOrder]:
    """One equity order of one of the investor's accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.
        order_no: the order number.

    Result: the envelope; ``data`` is the order.

    Errors: refused with 404 for an account that is not the investor's.
    """

def get_investor_equity_orders(context: Context, account_no: str, /) -> ListResult[EquityOrder]:
    """All equity orders of one of the investor's accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.

    Result: the envelope; ``data`` lists the orders.

    Errors: refused with 404 for an account that is not the investor's.
    """

def place_investor_equity_order(
    context: Context,
    account_no: str,
    arg3: str,
    arg4: float,
    arg5: int,
    arg6: str,
    arg7: str,
    arg8: str,
    arg9: str,
    arg10: str,
    arg11: str,
    arg12: bool,
    arg13: int,
    arg14: bool,
    /,
) -> Result[PlacedEquityOrder]:
    """Place an equity order for one of the investor's accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.
        arg3: passed to the library unchanged.
        arg4: passed to the library unchanged.
        arg5: passed to the library unchanged.
        arg6: passed to the library unchanged.
        arg7: passed to the library unchanged.
        arg8: passed to the library unchanged.
        arg9: passed to the library unchanged.
        arg10: passed to the library unchanged.
        arg11: passed to the library unchanged.
        arg12: passed to the library unchanged.
        arg13: passed to the library unchanged.
        arg14: passed to the library unchanged.

    Result: the envelope; ``data["order_no"]`` is the new order's number.

    Errors: refused with 404 for an account that is not the investor's.
    """

def cancel_investor_equity_orders(
    context: Context, account_no: str, order_nos: List[str], arg4: str, /
) -> ListResult[EquityOrderActionError]:
    """Cancel several equity orders of one of the investor's accounts in one request.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.
        order_nos: the order numbers.
        arg4: passed to the library unchanged.

    Result: the envelope; ``data`` lists the library's answer for each order it reports on.

    Errors: refused with 404 for an account that is not the investor's.
    """

def cancel_investor_equity_order(context: Context, account_no: str, order_no: str, arg4: str, /) -> Reply[NoData]:
    """Cancel one equity order of one of the investor's accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.
        order_no: the order number.
        arg4: passed to the library unchanged.

    Result: the envelope; ``data`` is ``{}``, ``message`` the library's text (or None).

    Errors: refused with 404 for an account that is not the investor's.
    """

def change_investor_equity_order(
    context: Context,
    account_no: str,
    order_no: str,
    arg4: float,
    arg5: int,
    arg6: str,
    arg7: str,
    arg8: int,
    arg9: str,
    arg10: bool,
    /,
) -> Reply[NoData]:
    """Change one equity order of one of the investor's accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.
        order_no: the order number.
        arg4: passed to the library unchanged.
        arg5: passed to the library unchanged.
        arg6: passed to the library unchanged.
        arg7: passed to the library unchanged.
        arg8: passed to the library unchanged.
        arg9: passed to the library unchanged.
        arg10: passed to the library unchanged.

    Result: the envelope; ``data`` is ``{}``, ``message`` the library's text (or None).

    Errors: refused with 404 for an account that is not the investor's.
    """

def get_investor_equity_portfolios(context: Context, account_no: str, /) -> ListResult[EquityPosition]:
    """The positions of one of the investor's equity accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.

    Result: the envelope; ``data`` lists the positions.

    Errors: refused with 404 for an account that is not the investor's.
    """

def get_investor_equity_trades(context: Context, account_no: str, /) -> ListResult[EquityTrade]:
    """The trades of one of the investor's equity accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.

    Result: the envelope; ``data`` lists the trades.

    Errors: refused with 404 for an account that is not the investor's.
    """

def get_marketrep_derivatives_account_info(context: Context, account_no: str, /) -> Result[DerivativesAccount]:
    """Balances and limits of any derivatives account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.

    Result: the envelope; ``data`` is the account.

    Errors: refused with 404 for an unknown account.
    """

def get_marketrep_derivatives_order(context: Context, order_no: int, /) -> Result[DerivativesOrder]:
    """One derivatives order of any account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        order_no: the order number.

    Result: the envelope; ``data`` is the order.

    Errors: refused with 404 for an unknown order.
    """

def get_marketrep_derivatives_orders(context: Context, /) -> ListResult[DerivativesOrder]:
    """All derivatives orders of the broker's accounts.

    Parameters:
        context: the context dictionary from ``login``.

    Result: the envelope; ``data`` lists the orders.

    Errors: none beyond the common ones.
    """

def get_marketrep_derivatives_orders_by_account_no(context: Context, account_no: str, /) -> ListResult[DerivativesOrder]:
    """All derivatives orders of one account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.

    Result: the envelope; ``data`` lists the orders.

    Errors: refused with 404 for an unknown account.
    """

def place_marketrep_derivatives_order(
    context: Context,
    account_no: str,
    arg3: str,
    arg4: float,
    arg5: int,
    arg6: str,
    arg7: str,
    arg8: str,
    arg9: str,
    arg10: str,
    arg11: str,
    arg12: float,
    arg13: bool,
    /,
) -> Result[PlacedDerivativesOrder]:
    """Place a derivatives order for any account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.
        arg3: passed to the library unchanged.
        arg4: passed to the library unchanged.
        arg5: passed to the library unchanged.
        arg6: passed to the library unchanged.
        arg7: passed to the library unchanged.
        arg8: passed to the library unchanged.
        arg9: passed to the library unchanged.
        arg10: passed to the library unchanged.
        arg11: passed to the library unchanged.
        arg12: passed to the library unchanged.
        arg13: passed to the library unchanged.

    Result: the envelope; ``data["order_no"]`` is the new order's number.

    Errors: refused with 404 for an unknown account.
    """

def cancel_marketrep_derivatives_orders(
    context: Context, account_no: str, order_nos: OrderNumbers, /
) -> ListResult[DerivativesOrderActionError]:
    """Cancel several derivatives orders of one account of the broker in one request.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.
        order_nos: the order numbers.

    Result: the envelope; ``data`` lists the library's answer for each order it reports on.

    Errors: refused with 404 for an unknown account.
    """

def cancel_marketrep_derivatives_order(context: Context, account_no: str, order_no: int, /) -> Reply[NoData]:
    """Cancel one derivatives order of one account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.
        order_no: the order number.

    Result: the envelope; ``data`` is ``{}``, ``message`` the library's text (or None).

    Errors: refused with 404 for an unknown account.
    """

def change_marketrep_derivatives_order(
    context: Context, account_no: str, order_no: int, arg4: str, arg5: float, arg6: int, arg7: str, arg8: str, /
) -> Reply[NoData]:
    """Change one derivatives order of one account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.
        order_no: the order number.
        arg4: passed to the library unchanged.
        arg5: passed to the library unchanged.
        arg6: passed to the library unchanged.
        arg7: passed to the library unchanged.
        arg8: passed to the library unchanged.

    Result: the envelope; ``data`` is ``{}``, ``message`` the library's text (or None).

    Errors: refused with 404 for an unknown account.
    """

def get_marketrep_derivatives_portfolios(context: Context, account_no: str, /) -> ListResult[DerivativesPosition]:
    """The positions of one derivatives account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.

    Result: the envelope; ``data`` lists the positions.

    Errors: refused with 404 for an unknown account.
    """

def get_marketrep_derivatives_trades(context: Context, account_no: str, /) -> ListResult[DerivativesTrade]:
    """The trades of one derivatives account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.

    Result: the envelope; ``data`` lists the trades.

    Errors: refused with 404 for an unknown account.
    """

def place_marketrep_derivatives_trade_report(
    context: Context, arg2: str, arg3: str, arg4: float, arg5: int, arg6: str, arg7: str, arg8: str, arg9: str, /
) -> Reply[List[int]]:
    """Report a derivatives trade agreed outside the order book.

    Parameters:
        context: the context dictionary from ``login``.
        arg2: passed to the library unchanged.
        arg3: passed to the library unchanged.
        arg4: passed to the library unchanged.
        arg5: passed to the library unchanged.
        arg6: passed to the library unchanged.
        arg7: passed to the library unchanged.
        arg8: passed to the library unchanged.
        arg9: passed to the library unchanged.

    Result: the envelope; ``data`` is the library's list of integers, ``message`` its text (or None).

    Errors: none beyond the common ones.
    """

def get_marketrep_equity_account_info(context: Context, account_no: str, /) -> Result[EquityAccount]:
    """Balances and limits of any equity account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.

    Result: the envelope; ``data`` is the account, with 41 keys for a "CREDIT_BALANCE" account and 14 otherwise.

    Errors: refused with 404 for an unknown account.
    """

def get_marketrep_equity_order(context: Context, order_no: str, /) -> Result[EquityOrder]:
    """One equity order of any account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        order_no: the order number.

    Result: the envelope; ``data`` is the order.

    Errors: refused with 404 for an unknown order.
    """

def get_marketrep_equity_orders(context: Context, /) -> ListResult[EquityOrder]:
    """All equity orders of the broker's accounts.

    Parameters:
        context: the context dictionary from ``login``.

    Result: the envelope; ``data`` lists the orders.

    Errors: none beyond the common ones.
    """

def get_marketrep_equity_orders_by_account_no(context: Context, account_no: str, /) -> ListResult[EquityOrder]:
    """All equity orders of one account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.

    Result: the envelope; ``data`` lists the orders.

    Errors: refused with 404 for an unknown account.
    """

def place_marketrep_equity_order(
    context: Context,
    account_no: str,
    arg3: str,
    arg4: float,
    arg5: int,
    arg6: str,
    arg7: str,
    arg8: str,
    arg9: str,
    arg10: str,
    arg11: bool,
    arg12: int,
    arg13: bool,
    /,
) -> Result[PlacedEquityOrder]:
    """Place an equity order for any account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.
        arg3: passed to the library unchanged.
        arg4: passed to the library unchanged.
        arg5: passed to the library unchanged.
        arg6: passed to the library unchanged.
        arg7: passed to the library unchanged.
        arg8: passed to the library unchanged.
        arg9: passed to the library unchanged.
        arg10: passed to the library unchanged.
        arg11: passed to the library unchanged.
        arg12: passed to the library unchanged.
        arg13: passed to the library unchanged.

    Result: the envelope; ``data["order_no"]`` is the new order's number.

    Errors: refused with 404 for an unknown account.
    """

def cancel_marketrep_equity_orders(
    context: Context, account_no: str, order_nos: List[str], /
) -> ListResult[EquityOrderActionError]:
    """Cancel several equity orders of one account of the broker in one request.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.
        order_nos: the order numbers.

    Result: the envelope; ``data`` lists the library's answer for each order it reports on.

    Errors: refused with 404 for an unknown account.
    """

def cancel_marketrep_equity_order(context: Context, account_no: str, order_no: str, /) -> Reply[NoData]:
    """Cancel one equity order of one account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.
        order_no: the order number.

    Result: the envelope; ``data`` is ``{}``, ``message`` the library's text (or None).

    Errors: refused with 404 for an unknown account.
    """

def change_marketrep_equity_order(
    context: Context,
    account_no: str,
    order_no: str,
    arg4: str,
    arg5: float,
    arg6: int,
    arg7: int,
    arg8: str,
    arg9: str,
    arg10: bool,
    arg11: bool,
    /,
) -> Reply[NoData]:
    """Change one equity order of one account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.
        order_no: the order number.
        arg4: passed to the library unchanged.
        arg5: passed to the library unchanged.
        arg6: passed to the library unchanged.
        arg7: passed to the library unchanged.
        arg8: passed to the library unchanged.
        arg9: passed to the library unchanged.
        arg10: passed to the library unchanged.
        arg11: passed to the library unchanged.

    Result: the envelope; ``data`` is ``{}``, ``message`` the library's text (or None).

    Errors: refused with 404 for an unknown account.
    """

def get_marketrep_equity_portfolios(context: Context, account_no: str, /) -> ListResult[EquityPosition]:
    """The positions of one equity account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.

    Result: the envelope; ``data`` lists the positions.

    Errors: refused with 404 for an unknown account.
    """

def get_marketrep_equity_trades(context: Context, account_no: str, /) -> ListResult[EquityTrade]:
    """The trades of one equity account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.

    Result: the envelope; ``data`` lists the trades.

    Errors: refused with 404 for an unknown account.
    """

def subscribe_bid_offer(context: Context, symbol: str, callback: Callable[[str], None], /) -> str:
    """Stream the bid/offer quotes of one symbol.

    Parameters:
        context: the context dictionary from ``login``.
        symbol: the symbol.
        callback: called with each payload, a JSON text, on the library's threads; first with the latest cached
            payload of the symbol, if any.

    Result: the subscription key.

    Errors: ``RuntimeError`` with the library's text when the subscription is refused, and for an incomplete
        context dictionary.
    """

def subscribe_price_info(context: Context, symbol: str, callback: Callable[[str], None], /) -> str:
    """Stream the price information of one symbol.

    Parameters:
        context: the context dictionary from ``login``.
        symbol: the symbol.
        callback: called with each payload, a JSON text, on the library's threads; first with the latest cached
            payload of the symbol, if any.

    Result: the subscription key.

    Errors: ``RuntimeError`` with the library's text when the subscription is refused, and for an incomplete
        context dictionary.
    """

def subscribe_candlestick(context: Context, symbol: str, interval: str, callback: Callable[[str], None], /) -> str:
    """Stream the candlesticks of one symbol at one interval.

    Parameters:
        context: the context dictionary from ``login``.
        symbol: the symbol.
        interval: the candle interval.
        callback: called with each payload, a JSON text, on the library's threads.

    Result: the subscription key.

    Errors: ``RuntimeError`` with the library's text when the subscription is refused, and for an incomplete
        context dictionary.
    """

def subscribe_derivatives_order(context: Context, account_no: str, callback: Callable[[str], None], /) -> str:
    """Stream the updates of the derivatives orders of one account.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.
        callback: called with each payload, a JSON text, on the library's threads.

    Result: the subscription key.

    Errors: ``RuntimeError`` with the library's text when the subscription is refused, and for an incomplete
        context dictionary.
    """

def subscribe_equity_order(context: Context, account_no: str, callback: Callable[[str], None], /) -> str:
    """Stream the updates of the equity orders of one account.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.
        callback: called with each payload, a JSON text, on the library's threads.

    Result: the subscription key.

    Errors: ``RuntimeError`` with the library's text when the subscription is refused, and for an incomplete
        context dictionary.
    """

def get_candlesticks(
    context: Context, symbol: str, interval: str, count: int, normalized: bool, start: str, end: str, /
) -> Reply[Candlesticks]:
    """Candlestick history of one symbol, by column.

    Parameters:
        context: the context dictionary from ``login``.
        symbol: any symbol; the sandbox makes up a history for it.
        interval: one of ``1m 3m 5m 10m 15m 30m 60m 1d 1w``.
        count: 1 to 1000: the last candles of the range.
        normalized: adjust for corporate actions; the sandbox has none, so it changes nothing.
        start: ``YYYY-MM-DD``, ``YYYY-MM-DDTHH:MM`` or ``YYYY-MM-DDTHH:MM:SS`` (UTC), or "" for open-ended.
        end: as ``start``; "" means the sandbox's fixed "now", 2024-06-28T10:00:00Z.

    Result: the envelope; ``data`` holds ``last_sequence`` and one list per column (empty lists when refused);
        ``time`` is the candle's opening time in seconds since 1970, ``last_sequence`` the last candle's number of
        intervals since then; ``message`` is the library's text (or None) on success too.

    Errors: refused with 400 for a bad query.
    """
