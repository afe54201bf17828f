"""What a user without the module would write: ctypes structures over the
library's records and plain Python to turn them into the same dictionaries."""

import ctypes
from ctypes import c_char_p, c_double, c_int32, c_int64, c_uint8, c_uint64, c_void_p


class Config(ctypes.Structure):
    _fields_ = [
        ("reserved0", c_uint64),
        ("channel_id", c_char_p),
        ("reserved1", c_uint64),
        ("enable_queue", c_uint8),
        ("daemon_type", c_char_p),
        ("max_torelation", c_int32),
    ]


class RecordList(ctypes.Structure):
    _fields_ = [
        ("items", c_void_p),
        ("count", c_int64),
        ("unread", c_uint64),
        ("success", c_uint8),
        ("status_code", c_int32),
        ("message", c_char_p),
        ("internal_error", c_char_p),
    ]


class EquityOrder(ctypes.Structure):
    _fields_ = [
        ("can_cancel", c_uint8),
        ("can_change_account", c_uint8),
        ("account_no", c_char_p),
        ("balance", c_int32),
        ("cancel_id", c_char_p),
        ("cancel_time", c_char_p),
        ("cancelled", c_int32),
        ("counter_party_member", c_char_p),
        ("enter_id", c_char_p),
        ("entry_time", c_char_p),
        ("iceberg_vol", c_int32),
        ("matched", c_int32),
        ("nvdr_flag", c_char_p),
        ("order_no", c_char_p),
        ("order_type", c_char_p),
        ("price", c_double),
        ("price_type", c_char_p),
        ("reject_code", c_int32),
        ("reject_reason", c_char_p),
        ("set_order_no", c_char_p),
        ("show_order_status", c_char_p),
        ("show_order_status_meaning", c_char_p),
        ("side", c_char_p),
        ("status", c_char_p),
        ("symbol", c_char_p),
        ("trade_date", c_char_p),
        ("trade_report_type", c_char_p),
        ("trade_time", c_char_p),
        ("validity", c_char_p),
        ("version", c_int32),
        ("vol", c_int32),
        ("can_change_price_vol", c_uint8),
        ("can_change_trustee_id", c_uint8),
        ("trade_report", c_uint8),
    ]


class DerivativesPosition(ctypes.Structure):
    _fields_ = [
        ("has_long_position", c_uint8),
        ("account_no", c_char_p),
        ("actual_long_position", c_int32),
        ("actual_short_position", c_int32),
        ("as_of_date_xrt", c_char_p),
        ("available_long_position", c_int32),
        ("available_short_position", c_int32),
        ("avg_xrt_long", c_double),
        ("avg_xrt_long_cost", c_double),
        ("avg_xrt_short", c_double),
        ("avg_xrt_short_cost", c_double),
        ("broker_id", c_char_p),
        ("close_long_position", c_int32),
        ("close_short_position", c_int32),
        ("currency", c_char_p),
        ("current_xrt", c_double),
        ("last_trading_date", c_char_p),
        ("long_avg_cost", c_double),
        ("long_avg_price", c_double),
        ("market_price", c_double),
        ("multiplier", c_double),
        ("open_long_position", c_int32),
        ("open_short_position", c_int32),
        ("realized_pl", c_double),
        ("realized_pl_by_cost", c_double),
        ("realized_pl_by_cost_currency", c_double),
        ("realized_pl_currency", c_double),
        ("security_type", c_char_p),
        ("short_avg_cost", c_double),
        ("short_avg_price", c_double),
        ("start_long_cost", c_double),
        ("start_long_position", c_int32),
        ("start_long_price", c_double),
        ("start_short_cost", c_double),
        ("start_short_position", c_int32),
        ("start_short_price", c_double),
        ("start_xrt_long", c_double),
        ("start_xrt_long_cost", c_double),
        ("start_xrt_short", c_double),
        ("start_xrt_short_cost", c_double),
        ("symbol", c_char_p),
        ("underlying", c_char_p),
        ("has_short_position", c_uint8),
    ]


assert ctypes.sizeof(Config) == 48 and ctypes.sizeof(RecordList) == 48
assert ctypes.sizeof(EquityOrder) == 232 and ctypes.sizeof(DerivativesPosition) == 312


class EquityOrderResult(ctypes.Structure):
    _fields_ = [
        ("success", c_uint8),
        ("status_code", c_int32),
        ("order", EquityOrder),
        ("message", c_char_p),
        ("internal_error", c_char_p),
    ]


assert ctypes.sizeof(EquityOrderResult) == 256


def _s(b):
    return None if b is None else b.decode()


def equity_order_dict(o):
    return {
        "can_cancel": o.can_cancel != 0,
        "can_change_account": o.can_change_account != 0,
        "account_no": _s(o.account_no),
        "balance": o.balance,
        "cancel_id": _s(o.cancel_id),
        "cancel_time": _s(o.cancel_time),
        "cancelled": o.cancelled,
        "counter_party_member": _s(o.counter_party_member),
        "enter_id": _s(o.enter_id),
        "entry_time": _s(o.entry_time),
        "iceberg_vol": o.iceberg_vol,
        "matched": o.matched,
        "nvdr_flag": _s(o.nvdr_flag),
        "order_no": _s(o.order_no),
        "order_type": _s(o.order_type),
        "price": o.price,
        "price_type": _s(o.price_type),
        "reject_code": o.reject_code,
        "reject_reason": _s(o.reject_reason),
        "set_order_no": _s(o.set_order_no),
        "show_order_status": _s(o.show_order_status),
        "show_order_status_meaning": _s(o.show_order_status_meaning),
        "side": _s(o.side),
        "status": _s(o.status),
        "symbol": _s(o.symbol),
        "trade_date": _s(o.trade_date),
        "trade_report_type": _s(o.trade_report_type),
        "trade_time": _s(o.trade_time),
        "validity": _s(o.validity),
        "version": o.version,
        "vol": o.vol,
        "can_change_price_vol": o.can_change_price_vol != 0,
        "can_change_trustee_id": o.can_change_trustee_id != 0,
        "trade_report": o.trade_report != 0,
    }


def derivatives_position_dict(p):
    return {
        "account_no": _s(p.account_no),
        "actual_long_position": p.actual_long_position,
        "actual_short_position": p.actual_short_position,
        "as_of_date_xrt": _s(p.as_of_date_xrt),
        "available_long_position": p.available_long_position,
        "available_short_position": p.available_short_position,
        "avg_xrt_long": p.avg_xrt_long,
        "avg_xrt_long_cost": p.avg_xrt_long_cost,
        "avg_xrt_short": p.avg_xrt_short,
        "avg_xrt_short_cost": p.avg_xrt_short_cost,
        "broker_id": _s(p.broker_id),
        "close_long_position": p.close_long_position,
        "close_short_position": p.close_short_position,
        "currency": _s(p.currency),
        "current_xrt": p.current_xrt,
        "has_long_position": p.has_long_position != 0,
        "has_short_position": p.has_short_position != 0,
        "last_trading_date": _s(p.last_trading_date),
        "long_avg_cost": p.long_avg_cost,
        "long_avg_price": p.long_avg_price,
        "market_price": p.market_price,
        "multiplier": p.multiplier,
        "open_long_position": p.open_long_position,
        "open_short_position": p.open_short_position,
        "realized_pl": p.realized_pl,
        "realized_pl_by_cost": p.realized_pl_by_cost,
        "realized_pl_by_cost_currency": p.realized_pl_by_cost_currency,
        "realized_pl_currency": p.realized_pl_currency,
        "security_type": _s(p.security_type),
        "short_avg_cost": p.short_avg_cost,
        "short_avg_price": p.short_avg_price,
        "start_long_cost": p.start_long_cost,
        "start_long_position": p.start_long_position,
        "start_long_price": p.start_long_price,
        "start_short_cost": p.start_short_cost,
        "start_short_position": p.start_short_position,
        "start_short_price": p.start_short_price,
        "start_xrt_long": p.start_xrt_long,
        "start_xrt_long_cost": p.start_xrt_long_cost,
        "start_xrt_short": p.start_xrt_short,
        "start_xrt_short_cost": p.start_xrt_short_cost,
        "symbol": _s(p.symbol),
        "underlying": _s(p.underlying),
    }


class Api:
    """The queries the benchmark needs, on a loaded library."""

    def __init__(self, lib):
        self.lib = lib
        for n, _record, restype in (
            (21, EquityOrder, RecordList),
            (17, DerivativesPosition, RecordList),
            (33, EquityOrder, RecordList),
            (28, DerivativesPosition, RecordList),
        ):
            f = getattr(lib, "TavrolixInterfacePY_%d" % n)
            f.argtypes, f.restype = [ctypes.POINTER(Config), c_char_p], restype
        f = lib.TavrolixInterfacePY_20
        f.argtypes, f.restype = [ctypes.POINTER(Config), c_char_p, c_char_p], EquityOrderResult

    @staticmethod
    def config(ctx):
        conf = ctx["configuration"]
        enable_queue = bool(conf["enable_queue"])
        max_torelation = int(conf["max_torelation"])
        int(ctx["configuration"]["rate_limit"])
        channel = ctx["channel_id"].encode()
        daemon = ctx["configuration"]["daemon_type"].encode()
        return Config(channel_id=channel, enable_queue=enable_queue, daemon_type=daemon, max_torelation=max_torelation)

    @staticmethod
    def envelope(r, data):
        if r.internal_error is not None:
            raise RuntimeError("Internal Error: " + r.internal_error.decode())
        message = "" if r.success else _s(r.message) or ""
        return {"success": r.success != 0, "status_code": r.status_code, "data": data, "message": message}

    def _list(self, fn, record, convert, ctx, account):
        cfg = self.config(ctx)
        r = fn(ctypes.byref(cfg), account.encode())
        data = []
        if r.internal_error is None and r.success and r.count > 0:
            items = (record * r.count).from_address(r.items)
            data = [convert(o) for o in items]
        return self.envelope(r, data)

    def get_investor_equity_orders(self, ctx, account):
        return self._list(self.lib.TavrolixInterfacePY_21, EquityOrder, equity_order_dict, ctx, account)

    def get_investor_derivatives_portfolios(self, ctx, account):
        return self._list(self.lib.TavrolixInterfacePY_17, DerivativesPosition, derivatives_position_dict, ctx, account)

    def get_marketrep_equity_orders_by_account_no(self, ctx, account):
        return self._list(self.lib.TavrolixInterfacePY_33, EquityOrder, equity_order_dict, ctx, account)

    def get_marketrep_derivatives_portfolios(self, ctx, account):
        return self._list(self.lib.TavrolixInterfacePY_28, DerivativesPosition, derivatives_position_dict, ctx, account)

    def get_investor_equity_order(self, ctx, account, order):
        cfg = self.config(ctx)
        r = self.lib.TavrolixInterfacePY_20(ctypes.byref(cfg), account.encode(), order.encode())
        data = {}
        if r.internal_error is None and r.success:
            data = equity_order_dict(r.order)
        return self.envelope(r, data)


class EventRecord(ctypes.Structure):
    _fields_ = [
        ("cache", c_uint8),
        ("subscription_key", c_char_p),
        ("cache_key", c_char_p),
        ("unread", ctypes.c_uint8 * 16),
        ("payload", c_char_p),
    ]


assert ctypes.sizeof(EventRecord) == 48

EVENT_RECEIVER = ctypes.CFUNCTYPE(None, ctypes.POINTER(EventRecord))


class Receiver:
    """An event receiver made with ctypes: looks the callable up by the
    event's subscription key and calls it with the decoded payload."""

    def __init__(self, lib, callables):
        self.callables = callables

        def receive(event):
            e = event.contents
            fn = self.callables.get(e.subscription_key)
            if fn is not None:
                fn(e.payload.decode())

        self.fn = EVENT_RECEIVER(receive)  # kept alive as long as the receiver
        self.address = ctypes.cast(self.fn, ctypes.c_void_p).value
