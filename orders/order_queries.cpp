#include "../backend/operations.h"
#include "../core/frame.h"
#include "orders.h"

namespace tvx::orders {
namespace {
using namespace tvx::core;
using wire::DerivativesOrder;
using wire::EquityOrder;

const RecordTable derivatives_order{sizeof(DerivativesOrder),
                                    {
                                        TVX_FIELD(DerivativesOrder, account_no),
                                        TVX_FIELD(DerivativesOrder, balance_qty),
                                        TVX_FIELD(DerivativesOrder, cancel_qty),
                                        TVX_FIELD(DerivativesOrder, entry_date),
                                        TVX_FIELD(DerivativesOrder, entry_id),
                                        TVX_FIELD(DerivativesOrder, entry_time),
                                        TVX_FIELD(DerivativesOrder, is_stop_order_not_activate),
                                        TVX_FIELD(DerivativesOrder, match_qty),
                                        TVX_FIELD(DerivativesOrder, order_no),
                                        TVX_FIELD(DerivativesOrder, position),
                                        TVX_FIELD(DerivativesOrder, price),
                                        TVX_FIELD(DerivativesOrder, price_type),
                                        TVX_FIELD(DerivativesOrder, qty),
                                        TVX_FIELD(DerivativesOrder, reject_code),
                                        TVX_FIELD(DerivativesOrder, reject_reason),
                                        TVX_FIELD(DerivativesOrder, show_status),
                                        TVX_FIELD(DerivativesOrder, side),
                                        TVX_FIELD(DerivativesOrder, status),
                                        TVX_FIELD(DerivativesOrder, status_meaning),
                                        TVX_FIELD(DerivativesOrder, symbol),
                                        TVX_FIELD(DerivativesOrder, tfx_order_no),
                                        TVX_FIELD(DerivativesOrder, trigger_condition),
                                        TVX_FIELD(DerivativesOrder, trigger_price),
                                        TVX_FIELD(DerivativesOrder, trigger_symbol),
                                        TVX_FIELD(DerivativesOrder, validity),
                                        TVX_FIELD(DerivativesOrder, version),
                                    }};

const RecordTable equity_order{sizeof(EquityOrder),
                               {
                                   TVX_FIELD(EquityOrder, can_cancel),
                                   TVX_FIELD(EquityOrder, can_change_account),
                                   TVX_FIELD(EquityOrder, account_no),
                                   TVX_FIELD(EquityOrder, balance),
                                   TVX_FIELD(EquityOrder, cancel_id),
                                   TVX_FIELD(EquityOrder, cancel_time),
                                   TVX_FIELD(EquityOrder, cancelled),
                                   TVX_FIELD(EquityOrder, counter_party_member),
                                   TVX_FIELD(EquityOrder, enter_id),
                                   TVX_FIELD(EquityOrder, entry_time),
                                   TVX_FIELD(EquityOrder, iceberg_vol),
                                   TVX_FIELD(EquityOrder, matched),
                                   TVX_FIELD(EquityOrder, nvdr_flag),
                                   TVX_FIELD(EquityOrder, order_no),
                                   TVX_FIELD(EquityOrder, order_type),
                                   TVX_FIELD(EquityOrder, price),
                                   TVX_FIELD(EquityOrder, price_type),
                                   TVX_FIELD(EquityOrder, reject_code),
                                   TVX_FIELD(EquityOrder, reject_reason),
                                   TVX_FIELD(EquityOrder, set_order_no),
                                   TVX_FIELD(EquityOrder, show_order_status),
                                   TVX_FIELD(EquityOrder, show_order_status_meaning),
                                   TVX_FIELD(EquityOrder, side),
                                   TVX_FIELD(EquityOrder, status),
                                   TVX_FIELD(EquityOrder, symbol),
                                   TVX_FIELD(EquityOrder, trade_date),
                                   TVX_FIELD(EquityOrder, trade_report_type),
                                   TVX_FIELD(EquityOrder, trade_time),
                                   TVX_FIELD(EquityOrder, validity),
                                   TVX_FIELD(EquityOrder, version),
                                   TVX_FIELD(EquityOrder, vol),
                                   TVX_FIELD(EquityOrder, can_change_price_vol),
                                   TVX_FIELD(EquityOrder, can_change_trustee_id),
                                   TVX_FIELD(EquityOrder, trade_report),
                               }};

}  // namespace

py::dict get_investor_derivatives_order(const py::dict& context, Str account_no, std::int32_t order_no) {
    return record_envelope(core::call_library(context, op::get_investor_derivatives_order, account_no, order_no),
                           derivatives_order);
}

py::dict get_investor_derivatives_orders(const py::dict& context, Str account_no) {
    return list_envelope(core::call_library(context, op::get_investor_derivatives_orders, account_no),
                         derivatives_order);
}

py::dict get_marketrep_derivatives_order(const py::dict& context, std::int32_t order_no) {
    return record_envelope(core::call_library(context, op::get_marketrep_derivatives_order, order_no),
                           derivatives_order);
}

py::dict get_marketrep_derivatives_orders(const py::dict& context) {
    return list_envelope(core::call_library(context, op::get_marketrep_derivatives_orders), derivatives_order);
}

py::dict get_marketrep_derivatives_orders_by_account_no(const py::dict& context, Str account_no) {
    return list_envelope(core::call_library(context, op::get_marketrep_derivatives_orders_by_account_no, account_no),
                         derivatives_order);
}

py::dict get_investor_equity_order(const py::dict& context, Str account_no, Str order_no) {
    return record_envelope(core::call_library(context, op::get_investor_equity_order, account_no, order_no),
                           equity_order);
}

py::dict get_investor_equity_orders(const py::dict& context, Str account_no) {
    return list_envelope(core::call_library(context, op::get_investor_equity_orders, account_no), equity_order);
}

py::dict get_marketrep_equity_order(const py::dict& context, Str order_no) {
    return record_envelope(core::call_library(context, op::get_marketrep_equity_order, order_no), equity_order);
}

py::dict get_marketrep_equity_orders(const py::dict& context) {
    return list_envelope(core::call_library(context, op::get_marketrep_equity_orders), equity_order);
}

py::dict get_marketrep_equity_orders_by_account_no(const py::dict& context, Str account_no) {
    return list_envelope(core::call_library(context, op::get_marketrep_equity_orders_by_account_no, account_no),
                         equity_order);
}

}  // namespace tvx::orders
