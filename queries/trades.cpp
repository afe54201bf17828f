#include "trades.h"

#include "../backend/operations.h"
#include "../core/frame.h"

namespace tvx::queries {
namespace {
using namespace tvx::core;
using wire::DerivativesTrade;
using wire::EquityTrade;

const RecordTable derivatives_trade{sizeof(DerivativesTrade),
                                    {
                                        TVX_FIELD(DerivativesTrade, account_no),
                                        TVX_FIELD(DerivativesTrade, broker_id),
                                        TVX_FIELD(DerivativesTrade, currency),
                                        TVX_FIELD(DerivativesTrade, deal_no),
                                        TVX_FIELD(DerivativesTrade, entry_id),
                                        TVX_FIELD(DerivativesTrade, ledger_date),
                                        TVX_FIELD(DerivativesTrade, ledger_seq),
                                        TVX_FIELD(DerivativesTrade, ledger_time),
                                        TVX_FIELD(DerivativesTrade, multiplier),
                                        TVX_FIELD(DerivativesTrade, open_close),
                                        TVX_FIELD(DerivativesTrade, order_no),
                                        TVX_FIELD(DerivativesTrade, px),
                                        TVX_FIELD(DerivativesTrade, qty),
                                        TVX_FIELD(DerivativesTrade, rectified_qty),
                                        TVX_FIELD(DerivativesTrade, ref_ledger_date),
                                        TVX_FIELD(DerivativesTrade, ref_ledger_seq),
                                        TVX_FIELD(DerivativesTrade, reject_code),
                                        TVX_FIELD(DerivativesTrade, reject_reason),
                                        TVX_FIELD(DerivativesTrade, side),
                                        TVX_FIELD(DerivativesTrade, status),
                                        TVX_FIELD(DerivativesTrade, symbol),
                                        TVX_FIELD(DerivativesTrade, trade_date),
                                        TVX_FIELD(DerivativesTrade, trade_no),
                                        TVX_FIELD(DerivativesTrade, trade_time),
                                        TVX_FIELD(DerivativesTrade, trade_type),
                                    }};

const RecordTable equity_trade{sizeof(EquityTrade),
                               {
                                   TVX_FIELD(EquityTrade, account_no),
                                   TVX_FIELD(EquityTrade, broker_id),
                                   TVX_FIELD(EquityTrade, brokerage_fee),
                                   TVX_FIELD(EquityTrade, clearing_fee),
                                   TVX_FIELD(EquityTrade, deal_no),
                                   TVX_FIELD(EquityTrade, entry_id),
                                   TVX_FIELD(EquityTrade, order_no),
                                   TVX_FIELD(EquityTrade, px),
                                   TVX_FIELD(EquityTrade, qty),
                                   TVX_FIELD(EquityTrade, side),
                                   TVX_FIELD(EquityTrade, symbol),
                                   TVX_FIELD(EquityTrade, trade_date),
                                   TVX_FIELD(EquityTrade, trade_no),
                                   TVX_FIELD(EquityTrade, trade_time),
                                   TVX_FIELD(EquityTrade, trading_fee),
                                   TVX_FIELD(EquityTrade, trustee_id),
                               }};

}  // namespace

py::dict get_investor_derivatives_trades(const py::dict& context, const std::string& account_no) {
    return list_envelope(call_library(context, op::get_investor_derivatives_trades, account_no), derivatives_trade);
}

py::dict get_marketrep_derivatives_trades(const py::dict& context, const std::string& account_no) {
    return list_envelope(call_library(context, op::get_marketrep_derivatives_trades, account_no), derivatives_trade);
}

py::dict get_investor_equity_trades(const py::dict& context, const std::string& account_no) {
    return list_envelope(call_library(context, op::get_investor_equity_trades, account_no), equity_trade);
}

py::dict get_marketrep_equity_trades(const py::dict& context, const std::string& account_no) {
    return list_envelope(call_library(context, op::get_marketrep_equity_trades, account_no), equity_trade);
}

}  // namespace tvx::queries
