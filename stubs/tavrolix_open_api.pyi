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
        app_id: the application id; the sandbox checks it against its seeded users (``inv001``, ``mkt001``, ...).
        app_secret: the application's secret (``inv001-secret``, ...).
        login_text3: passed to the library unchanged; the sandbox ignores it.
        login_text4: passed to the library unchanged; the sandbox ignores it.
        enable_queue: stored as ``configuration["enable_queue"]`` and passed with every later call.

    Result: the context dictionary (``channel_id`` and ``configuration``); a new login also forgets the cached
        bid/offer and price payloads.

    Errors: ``RuntimeError`` with the library's message when the login is refused (the sandbox: "login refused:
        unknown application id or wrong secret").
    """

def unsubscribe(channel_id: str, subscription_key: str, /) -> None:
    """End a realtime subscription.

    Parameters:
        channel_id: the channel the subscription was made on, ``context["channel_id"]``.
        subscription_key: the key a subscribe function returned.

    Result: None; the key is no longer active, whether or not it was, and the sandbox drops the events still
        queued for it. Waits for nothing: once it returns no new call of the callable starts, while a call
        already running on another thread may still finish.

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
    """Balances and margins of one of the investor's derivatives accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account, e.g. ``"D-1001"``.

    Result: the envelope; ``data`` is the account.

    Errors: refused with 404 for an account that is not the investor's.
    """

def get_investor_derivatives_order(context: Context, account_no: str, order_no: int, /) -> Result[DerivativesOrder]:
    """One derivatives order of one of the investor's accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.
        order_no: the order number (the sandbox numbers them 1000001, 1000002, ...).

    Result: the envelope; ``data`` is the order.

    Errors: refused with 404 for an unknown order or an account that is not the investor's.
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
    symbol: str,
    price: float,
    volume: int,
    side: str,
    position: str,
    pin: str,
    price_type: str,
    validity: str,
    trigger_condition: str,
    trigger_symbol: str,
    trigger_price: float,
    bypass_warning: bool,
    /,
) -> Result[PlacedDerivativesOrder]:
    """Place a derivatives order for one of the investor's accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.
        symbol: the series, e.g. ``"T50H26"``.
        price: the limit price, on the tick grid and within the day's limits; ignored for ``MARKET``.
        volume: the number of contracts.
        side: ``BUY`` or ``SELL`` (also ``LONG`` or ``SHORT``).
        position: ``OPEN``, ``CLOSE`` (needs as many opposite contracts not being closed already), or ``AUTO`` or
            "" (closes what it can, opens the rest).
        pin: the investor's PIN (``000000`` for the seeded investors).
        price_type: ``LIMIT`` or ``MARKET`` (takes what the book offers up to the day's limit, the rest expires).
        validity: ``DAY`` or "" (rests in the book until matched or cancelled), ``IOC`` or ``FOK``.
        trigger_condition: ``LAST_PAID_OR_HIGHER`` or ``LAST_PAID_OR_LOWER`` for a stop order, which waits as
            ``PENDING`` until a trade of the trigger symbol meets it; "" for none.
        trigger_symbol: the symbol whose trades trigger a stop order; "" for the order's own.
        trigger_price: the price the trigger condition compares the last trade with.
        bypass_warning: allow a limit price further from the last price than half the daily band.

    Result: the envelope; ``data["order_no"]`` is the new order's number.

    Errors: refused with "CODE: text": 400 ``UNKNOWN_SYMBOL``, ``BAD_PRICE``, ``BAD_VOLUME``, ``BAD_SIDE``,
        ``BAD_PRICE_TYPE``, ``BAD_VALIDITY``, ``BAD_POSITION``, ``BAD_TRIGGER``; 422 ``PRICE_LIMIT``,
        ``PRICE_WARNING``, ``INSUFFICIENT_FUNDS`` (margin), ``INSUFFICIENT_POSITION``; 401 ``WRONG_PIN``; 403
        ``NOT_ALLOWED``; 404 for an account that is not the investor's.
    """

def cancel_investor_derivatives_orders(
    context: Context, account_no: str, order_nos: OrderNumbers, pin: str, /
) -> ListResult[DerivativesOrderActionError]:
    """Cancel several derivatives orders of one of the investor's accounts in one request.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.
        order_nos: the order numbers.
        pin: the investor's PIN.

    Result: the envelope; ``data`` lists an order action error for each order that could not be cancelled
        (``ORDER_NOT_FOUND`` 404, ``ORDER_NOT_CANCELLABLE`` 409); the others are cancelled.

    Errors: refused with 401 ``WRONG_PIN``, or 404 for an account that is not the investor's.
        ``ValueError`` naming the first order number that is not exactly a 32-bit integer (out of range, a
        fraction, NaN, text), before the library is called.
    """

def cancel_investor_derivatives_order(context: Context, account_no: str, order_no: int, pin: str, /) -> Reply[NoData]:
    """Cancel one derivatives order of one of the investor's accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.
        order_no: the order number.
        pin: the investor's PIN.

    Result: the envelope; ``data`` is ``{}``, ``message`` the library's text (or None).

    Errors: refused with 404 ``ORDER_NOT_FOUND``, 409 ``ORDER_NOT_CANCELLABLE`` or 401 ``WRONG_PIN``.
    """

def change_investor_derivatives_order(
    context: Context,
    account_no: str,
    order_no: int,
    new_price: float,
    new_volume: int,
    pin: str,
    new_price_type: str,
    new_validity: str,
    /,
) -> Reply[NoData]:
    """Change one derivatives order of one of the investor's accounts; 0 or "" keeps a value.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.
        order_no: the order number.
        new_price: the new limit price.
        new_volume: the order's new whole volume, above what is matched; lowering it keeps the queue place.
        pin: the investor's PIN.
        new_price_type: ``LIMIT`` or ``MARKET``.
        new_validity: ``DAY``, ``IOC`` or ``FOK``.

    Result: the envelope; ``data`` is ``{}``, ``message`` the library's text (or None).

    Errors: refused with 400 ``NO_CHANGE`` or a placement code, 404 ``ORDER_NOT_FOUND``, 409
        ``ORDER_NOT_CHANGEABLE``, 401 ``WRONG_PIN``.
    """

def get_investor_derivatives_portfolios(context: Context, account_no: str, /) -> ListResult[DerivativesPosition]:
    """The positions of one of the investor's derivatives accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.

    Result: the envelope; ``data`` lists the positions, valued at each series' last trade.

    Errors: refused with 404 for an account that is not the investor's.
    """

def get_investor_derivatives_trades(context: Context, account_no: str, /) -> ListResult[DerivativesTrade]:
    """The trades of one of the investor's derivatives accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.

    Result: the envelope; ``data`` lists the trades, one per fill and side (``open_close`` CLOSE then OPEN for a
        fill that does both).

    Errors: refused with 404 for an account that is not the investor's.
    """

def get_investor_equity_account_info(context: Context, account_no: str, /) -> Result[EquityAccount]:
    """Balances and limits of one of the investor's equity accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account, e.g. ``"E-1001"``.

    Result: the envelope; ``data`` is the account, with 41 keys for a "CREDIT_BALANCE" account and 14 otherwise.

    Errors: refused with 404 for an account that is not the investor's.
    """

def get_investor_equity_order(context: Context, account_no: str, order_no: str, /) -> Result[EquityOrder]:
    """One equity order of one of the investor's accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.
        order_no: the order number (the sandbox numbers them ``EQ00000001``, ...).

    Result: the envelope; ``data`` is the order.

    Errors: refused with 404 for an unknown order or an account that is not the investor's.
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
    symbol: str,
    price: float,
    volume: int,
    side: str,
    pin: str,
    price_type: str,
    validity: str,
    trustee_id: str,
    order_type: str,
    nvdr: bool,
    iceberg_volume: int,
    bypass_warning: bool,
    /,
) -> Result[PlacedEquityOrder]:
    """Place an equity order for one of the investor's accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.
        symbol: the share, e.g. ``"ARVO"``.
        price: the limit price, on the tick grid and within the day's limits; ignored for ``MARKET``.
        volume: the number of shares, a multiple of the lot (100).
        side: ``BUY`` or ``SELL``.
        pin: the investor's PIN (``000000`` for the seeded investors).
        price_type: ``LIMIT`` or ``MARKET`` (takes what the book offers up to the day's limit, the rest expires).
        validity: ``DAY`` or "" (rests in the book until matched or cancelled), ``IOC`` or ``FOK``.
        trustee_id: any text; "" gives "1".
        order_type: ``NORMAL`` or "".
        nvdr: an NVDR order (``nvdr_flag`` "Y").
        iceberg_volume: 0, or a multiple of the lot up to the volume: how much shows in the book at a time.
        bypass_warning: allow a limit price further from the last price than half the daily band.

    Result: the envelope; ``data["order_no"]`` is the new order's number.

    Errors: refused with "CODE: text": 400 ``UNKNOWN_SYMBOL``, ``BAD_PRICE``, ``BAD_VOLUME``, ``BAD_SIDE``,
        ``BAD_PRICE_TYPE``, ``BAD_VALIDITY``, ``BAD_ORDER_TYPE``, ``BAD_ICEBERG``; 422 ``PRICE_LIMIT``,
        ``PRICE_WARNING``, ``INSUFFICIENT_FUNDS``, ``INSUFFICIENT_POSITION`` (shares); 401 ``WRONG_PIN``; 403
        ``NOT_ALLOWED``; 404 for an account that is not the investor's.
    """

def cancel_investor_equity_orders(
    context: Context, account_no: str, order_nos: List[str], pin: str, /
) -> ListResult[EquityOrderActionError]:
    """Cancel several equity orders of one of the investor's accounts in one request.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.
        order_nos: the order numbers.
        pin: the investor's PIN.

    Result: the envelope; ``data`` lists an order action error for each order that could not be cancelled
        (``ORDER_NOT_FOUND`` 404, ``ORDER_NOT_CANCELLABLE`` 409); the others are cancelled.

    Errors: refused with 401 ``WRONG_PIN``, or 404 for an account that is not the investor's.
    """

def cancel_investor_equity_order(context: Context, account_no: str, order_no: str, pin: str, /) -> Reply[NoData]:
    """Cancel one equity order of one of the investor's accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.
        order_no: the order number.
        pin: the investor's PIN.

    Result: the envelope; ``data`` is ``{}``, ``message`` the library's text (or None).

    Errors: refused with 404 ``ORDER_NOT_FOUND``, 409 ``ORDER_NOT_CANCELLABLE`` or 401 ``WRONG_PIN``.
    """

def change_investor_equity_order(
    context: Context,
    account_no: str,
    order_no: str,
    new_price: float,
    new_volume: int,
    pin: str,
    new_trustee_id: str,
    new_iceberg_volume: int,
    new_price_type: str,
    bypass_warning: bool,
    /,
) -> Reply[NoData]:
    """Change one equity order of one of the investor's accounts; 0 or "" keeps a value.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.
        order_no: the order number.
        new_price: the new limit price.
        new_volume: the order's new whole volume, above what is matched; lowering it keeps the queue place.
        pin: the investor's PIN.
        new_trustee_id: the new trustee id.
        new_iceberg_volume: the new iceberg volume.
        new_price_type: ``LIMIT`` or ``MARKET``.
        bypass_warning: allow a limit price further from the last price than half the daily band.

    Result: the envelope; ``data`` is ``{}``, ``message`` the library's text (or None).

    Errors: refused with 400 ``NO_CHANGE`` or a placement code, 404 ``ORDER_NOT_FOUND``, 409
        ``ORDER_NOT_CHANGEABLE``, 401 ``WRONG_PIN``.
    """

def get_investor_equity_portfolios(context: Context, account_no: str, /) -> ListResult[EquityPosition]:
    """The positions of one of the investor's equity accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.

    Result: the envelope; ``data`` lists the positions, valued at each share's last trade.

    Errors: refused with 404 for an account that is not the investor's.
    """

def get_investor_equity_trades(context: Context, account_no: str, /) -> ListResult[EquityTrade]:
    """The trades of one of the investor's equity accounts.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.

    Result: the envelope; ``data`` lists the trades, one per fill, with their fees.

    Errors: refused with 404 for an account that is not the investor's.
    """

def get_marketrep_derivatives_account_info(context: Context, account_no: str, /) -> Result[DerivativesAccount]:
    """Balances and margins of any derivatives account of the market representative's broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.

    Result: the envelope; ``data`` is the account.

    Errors: refused with 404 for an account of no client of the broker.
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

def get_marketrep_derivatives_orders_by_account_no(
    context: Context, account_no: str, /
) -> ListResult[DerivativesOrder]:
    """All derivatives orders of one account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.

    Result: the envelope; ``data`` lists the orders.

    Errors: refused with 404 for an account of no client of the broker.
    """

def place_marketrep_derivatives_order(
    context: Context,
    account_no: str,
    symbol: str,
    price: float,
    volume: int,
    side: str,
    position: str,
    price_type: str,
    validity: str,
    trigger_condition: str,
    trigger_symbol: str,
    trigger_price: float,
    bypass_warning: bool,
    /,
) -> Result[PlacedDerivativesOrder]:
    """Place a derivatives order for any account of the broker; no PIN.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.
        symbol: the series, e.g. ``"T50H26"``.
        price: the limit price, on the tick grid and within the day's limits; ignored for ``MARKET``.
        volume: the number of contracts.
        side: ``BUY`` or ``SELL`` (also ``LONG`` or ``SHORT``).
        position: ``OPEN``, ``CLOSE``, or ``AUTO`` or "" (closes what it can, opens the rest).
        price_type: ``LIMIT`` or ``MARKET``.
        validity: ``DAY`` or "", ``IOC`` or ``FOK``.
        trigger_condition: ``LAST_PAID_OR_HIGHER`` or ``LAST_PAID_OR_LOWER`` for a stop order; "" for none.
        trigger_symbol: the symbol whose trades trigger a stop order; "" for the order's own.
        trigger_price: the price the trigger condition compares the last trade with.
        bypass_warning: allow a limit price further from the last price than half the daily band.

    Result: the envelope; ``data["order_no"]`` is the new order's number.

    Errors: refused with "CODE: text" as for ``place_investor_derivatives_order`` (without ``WRONG_PIN``); 404 for
        an account of no client of the broker.
    """

def cancel_marketrep_derivatives_orders(
    context: Context, account_no: str, order_nos: OrderNumbers, /
) -> ListResult[DerivativesOrderActionError]:
    """Cancel several derivatives orders of one account of the broker in one request.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.
        order_nos: the order numbers.

    Result: the envelope; ``data`` lists an order action error for each order that could not be cancelled
        (``ORDER_NOT_FOUND`` 404, ``ORDER_NOT_CANCELLABLE`` 409); the others are cancelled.

    Errors: refused with 404 for an account of no client of the broker.
        ``ValueError`` naming the first order number that is not exactly a 32-bit integer (out of range, a
        fraction, NaN, text), before the library is called.
    """

def cancel_marketrep_derivatives_order(context: Context, account_no: str, order_no: int, /) -> Reply[NoData]:
    """Cancel one derivatives order of one account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.
        order_no: the order number.

    Result: the envelope; ``data`` is ``{}``, ``message`` the library's text (or None).

    Errors: refused with 404 ``ORDER_NOT_FOUND`` or 409 ``ORDER_NOT_CANCELLABLE``.
    """

def change_marketrep_derivatives_order(
    context: Context,
    account_no: str,
    order_no: int,
    new_account_no: str,
    new_price: float,
    new_volume: int,
    new_price_type: str,
    new_validity: str,
    /,
) -> Reply[NoData]:
    """Change one derivatives order of one account of the broker; 0 or "" keeps a value.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.
        order_no: the order number.
        new_account_no: the account to move the order to, while nothing of it is matched.
        new_price: the new limit price.
        new_volume: the order's new whole volume, above what is matched; lowering it keeps the queue place.
        new_price_type: ``LIMIT`` or ``MARKET``.
        new_validity: ``DAY``, ``IOC`` or ``FOK``.

    Result: the envelope; ``data`` is ``{}``, ``message`` the library's text (or None).

    Errors: refused with 400 ``NO_CHANGE`` or a placement code, 404 ``ORDER_NOT_FOUND`` or ``BAD_ACCOUNT``, 409
        ``ORDER_NOT_CHANGEABLE``.
    """

def get_marketrep_derivatives_portfolios(context: Context, account_no: str, /) -> ListResult[DerivativesPosition]:
    """The positions of one derivatives account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.

    Result: the envelope; ``data`` lists the positions, valued at each series' last trade.

    Errors: refused with 404 for an account of no client of the broker.
    """

def get_marketrep_derivatives_trades(context: Context, account_no: str, /) -> ListResult[DerivativesTrade]:
    """The trades of one derivatives account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.

    Result: the envelope; ``data`` lists the trades, one per fill and side.

    Errors: refused with 404 for an account of no client of the broker.
    """

def place_marketrep_derivatives_trade_report(
    context: Context,
    account_no: str,
    symbol: str,
    price: float,
    volume: int,
    side: str,
    position: str,
    counterparty_account_no: str,
    counterparty_position: str,
    /,
) -> Reply[List[int]]:
    """Book a derivatives trade agreed outside the order book.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the account of our side.
        symbol: the series.
        price: the agreed price, within the day's limits.
        volume: the number of contracts.
        side: our side's ``BUY`` or ``SELL``.
        position: our side's ``OPEN``, ``CLOSE``, or ``AUTO`` or "".
        counterparty_account_no: the other side's account; "" for one outside the broker (only our side is booked).
        counterparty_position: the other side's position, as ``position``.

    Result: the envelope; ``data`` lists the order numbers booked (ours, then the counter-party's), whose trades
        have ``trade_type`` "TRADE_REPORT"; ``message`` is the library's text (or None).

    Errors: refused with "CODE: text" as a placement is (margin and positions are checked the same way).
    """

def get_marketrep_equity_account_info(context: Context, account_no: str, /) -> Result[EquityAccount]:
    """Balances and limits of any equity account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.

    Result: the envelope; ``data`` is the account, with 41 keys for a "CREDIT_BALANCE" account and 14 otherwise.

    Errors: refused with 404 for an account of no client of the broker.
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

    Errors: refused with 404 for an account of no client of the broker.
    """

def place_marketrep_equity_order(
    context: Context,
    account_no: str,
    symbol: str,
    price: float,
    volume: int,
    side: str,
    price_type: str,
    validity: str,
    trustee_id: str,
    order_type: str,
    nvdr: bool,
    iceberg_volume: int,
    bypass_warning: bool,
    /,
) -> Result[PlacedEquityOrder]:
    """Place an equity order for any account of the broker; no PIN.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.
        symbol: the share, e.g. ``"ARVO"``.
        price: the limit price, on the tick grid and within the day's limits; ignored for ``MARKET``.
        volume: the number of shares, a multiple of the lot (100).
        side: ``BUY`` or ``SELL``.
        price_type: ``LIMIT`` or ``MARKET``.
        validity: ``DAY`` or "", ``IOC`` or ``FOK``.
        trustee_id: any text; "" gives "1".
        order_type: ``NORMAL`` or "".
        nvdr: an NVDR order (``nvdr_flag`` "Y").
        iceberg_volume: 0, or a multiple of the lot up to the volume: how much shows in the book at a time.
        bypass_warning: allow a limit price further from the last price than half the daily band.

    Result: the envelope; ``data["order_no"]`` is the new order's number.

    Errors: refused with "CODE: text" as for ``place_investor_equity_order`` (without ``WRONG_PIN``); 404 for an
        account of no client of the broker.
    """

def cancel_marketrep_equity_orders(
    context: Context, account_no: str, order_nos: List[str], /
) -> ListResult[EquityOrderActionError]:
    """Cancel several equity orders of one account of the broker in one request.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.
        order_nos: the order numbers.

    Result: the envelope; ``data`` lists an order action error for each order that could not be cancelled
        (``ORDER_NOT_FOUND`` 404, ``ORDER_NOT_CANCELLABLE`` 409); the others are cancelled.

    Errors: refused with 404 for an account of no client of the broker.
    """

def cancel_marketrep_equity_order(context: Context, account_no: str, order_no: str, /) -> Reply[NoData]:
    """Cancel one equity order of one account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.
        order_no: the order number.

    Result: the envelope; ``data`` is ``{}``, ``message`` the library's text (or None).

    Errors: refused with 404 ``ORDER_NOT_FOUND`` or 409 ``ORDER_NOT_CANCELLABLE``.
    """

def change_marketrep_equity_order(
    context: Context,
    account_no: str,
    order_no: str,
    new_account_no: str,
    new_price: float,
    new_volume: int,
    new_iceberg_volume: int,
    new_trustee_id: str,
    new_price_type: str,
    bypass_warning: bool,
    nvdr: bool,
    /,
) -> Reply[NoData]:
    """Change one equity order of one account of the broker; 0 or "" keeps a value.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.
        order_no: the order number.
        new_account_no: the account to move the order to, while nothing of it is matched.
        new_price: the new limit price.
        new_volume: the order's new whole volume, above what is matched; lowering it keeps the queue place.
        new_iceberg_volume: the new iceberg volume.
        new_trustee_id: the new trustee id.
        new_price_type: ``LIMIT`` or ``MARKET``.
        bypass_warning: allow a limit price further from the last price than half the daily band.
        nvdr: the order's NVDR flag; always applied.

    Result: the envelope; ``data`` is ``{}``, ``message`` the library's text (or None).

    Errors: refused with 400 ``NO_CHANGE`` or a placement code, 404 ``ORDER_NOT_FOUND`` or ``BAD_ACCOUNT``, 409
        ``ORDER_NOT_CHANGEABLE``.
    """

def get_marketrep_equity_portfolios(context: Context, account_no: str, /) -> ListResult[EquityPosition]:
    """The positions of one equity account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.

    Result: the envelope; ``data`` lists the positions, valued at each share's last trade.

    Errors: refused with 404 for an account of no client of the broker.
    """

def get_marketrep_equity_trades(context: Context, account_no: str, /) -> ListResult[EquityTrade]:
    """The trades of one equity account of the broker.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.

    Result: the envelope; ``data`` lists the trades, one per fill, with their fees.

    Errors: refused with 404 for an account of no client of the broker.
    """

def subscribe_bid_offer(context: Context, symbol: str, callback: Callable[[str], None], /) -> str:
    """Stream the order book's best bids and offers of one symbol.

    Parameters:
        context: the context dictionary from ``login``.
        symbol: the symbol.
        callback: called with each payload (JSON text, schema in docs/api.md) on the library's event thread, on
            every change of the book; first with the latest cached payload of the symbol, if any.

    Result: the subscription key.

    Errors: ``RuntimeError`` with the library's text when the subscription is refused (the sandbox: an unknown
        symbol or channel), and for an incomplete context dictionary.
    """

def subscribe_price_info(context: Context, symbol: str, callback: Callable[[str], None], /) -> str:
    """Stream the price information of one symbol.

    Parameters:
        context: the context dictionary from ``login``.
        symbol: the symbol.
        callback: called with each payload (JSON text, schema in docs/api.md) on the library's event thread, after
            every trade; first with the latest cached payload of the symbol, if any.

    Result: the subscription key.

    Errors: ``RuntimeError`` with the library's text when the subscription is refused (the sandbox: an unknown
        symbol or channel), and for an incomplete context dictionary.
    """

def subscribe_candlestick(context: Context, symbol: str, interval: str, callback: Callable[[str], None], /) -> str:
    """Stream the newest candle of one symbol at one interval.

    Parameters:
        context: the context dictionary from ``login``.
        symbol: the symbol.
        interval: one of ``1m 3m 5m 10m 15m 30m 60m 1d 1w``.
        callback: called with each payload (JSON text, schema in docs/api.md) on the library's event thread, after
            every trade.

    Result: the subscription key.

    Errors: ``RuntimeError`` with the library's text when the subscription is refused (the sandbox: an unknown
        symbol, interval or channel), and for an incomplete context dictionary.
    """

def subscribe_derivatives_order(context: Context, account_no: str, callback: Callable[[str], None], /) -> str:
    """Stream the changes of the derivatives orders of one account.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the derivatives account.
        callback: called with each payload (JSON text, schema in docs/api.md) on the library's event thread, on
            every change of one of the account's orders.

    Result: the subscription key.

    Errors: ``RuntimeError`` with the library's text when the subscription is refused (the sandbox: an unknown
        account, or one the user may not see), and for an incomplete context dictionary.
    """

def subscribe_equity_order(context: Context, account_no: str, callback: Callable[[str], None], /) -> str:
    """Stream the changes of the equity orders of one account.

    Parameters:
        context: the context dictionary from ``login``.
        account_no: the equity account.
        callback: called with each payload (JSON text, schema in docs/api.md) on the library's event thread, on
            every change of one of the account's orders.

    Result: the subscription key.

    Errors: ``RuntimeError`` with the library's text when the subscription is refused (the sandbox: an unknown
        account, or one the user may not see), and for an incomplete context dictionary.
    """

def get_candlesticks(
    context: Context, symbol: str, interval: str, count: int, normalized: bool, start: str, end: str, /
) -> Reply[Candlesticks]:
    """Candlestick history of one symbol, by column, built from the market's trades.

    Parameters:
        context: the context dictionary from ``login``.
        symbol: the symbol.
        interval: one of ``1m 3m 5m 10m 15m 30m 60m 1d 1w``.
        count: 1 to 1000: the most recent candles of the range.
        normalized: adjust for corporate actions; the sandbox has none, so it changes nothing.
        start: the earliest opening time: ``YYYY-MM-DD``, ``YYYY-MM-DDTHH:MM[:SS]`` (UTC) or seconds since 1970;
            "" for open-ended.
        end: the latest opening time, as ``start``; "" for the broker's clock.

    Result: the envelope; ``data`` holds ``last_sequence`` (the market's number of the last trade in the newest
        candle) and one list per column (empty when refused); ``time`` is each candle's opening second (days open at
        00:00 UTC, weeks on Mondays); ``message`` is the library's text on success too (how many candles came back).

    Errors: refused with 400 for a bad query, 404 for an unknown symbol.
    """
