#include "portfolios.h"

#include "../backend/operations.h"
#include "../core/frame.h"

namespace tvx::queries {
namespace {
using namespace tvx::core;
using wire::DerivativesPosition;
using wire::EquityPosition;

// Keys in alphabetical order; the two flags sit at the ends of the record.
const RecordTable derivatives_position{sizeof(DerivativesPosition),
                                       {
                                           TVX_FIELD(DerivativesPosition, account_no),
                                           TVX_FIELD(DerivativesPosition, actual_long_position),
                                           TVX_FIELD(DerivativesPosition, actual_short_position),
                                           TVX_FIELD(DerivativesPosition, as_of_date_xrt),
                                           TVX_FIELD(DerivativesPosition, available_long_position),
                                           TVX_FIELD(DerivativesPosition, available_short_position),
                                           TVX_FIELD(DerivativesPosition, avg_xrt_long),
                                           TVX_FIELD(DerivativesPosition, avg_xrt_long_cost),
                                           TVX_FIELD(DerivativesPosition, avg_xrt_short),
                                           TVX_FIELD(DerivativesPosition, avg_xrt_short_cost),
                                           TVX_FIELD(DerivativesPosition, broker_id),
                                           TVX_FIELD(DerivativesPosition, close_long_position),
                                           TVX_FIELD(DerivativesPosition, close_short_position),
                                           TVX_FIELD(DerivativesPosition, currency),
                                           TVX_FIELD(DerivativesPosition, current_xrt),
                                           TVX_FIELD(DerivativesPosition, has_long_position),
                                           TVX_FIELD(DerivativesPosition, has_short_position),
                                           TVX_FIELD(DerivativesPosition, last_trading_date),
                                           TVX_FIELD(DerivativesPosition, long_avg_cost),
                                           TVX_FIELD(DerivativesPosition, long_avg_price),
                                           TVX_FIELD(DerivativesPosition, market_price),
                                           TVX_FIELD(DerivativesPosition, multiplier),
                                           TVX_FIELD(DerivativesPosition, open_long_position),
                                           TVX_FIELD(DerivativesPosition, open_short_position),
                                           TVX_FIELD(DerivativesPosition, realized_pl),
                                           TVX_FIELD(DerivativesPosition, realized_pl_by_cost),
                                           TVX_FIELD(DerivativesPosition, realized_pl_by_cost_currency),
                                           TVX_FIELD(DerivativesPosition, realized_pl_currency),
                                           TVX_FIELD(DerivativesPosition, security_type),
                                           TVX_FIELD(DerivativesPosition, short_avg_cost),
                                           TVX_FIELD(DerivativesPosition, short_avg_price),
                                           TVX_FIELD(DerivativesPosition, start_long_cost),
                                           TVX_FIELD(DerivativesPosition, start_long_position),
                                           TVX_FIELD(DerivativesPosition, start_long_price),
                                           TVX_FIELD(DerivativesPosition, start_short_cost),
                                           TVX_FIELD(DerivativesPosition, start_short_position),
                                           TVX_FIELD(DerivativesPosition, start_short_price),
                                           TVX_FIELD(DerivativesPosition, start_xrt_long),
                                           TVX_FIELD(DerivativesPosition, start_xrt_long_cost),
                                           TVX_FIELD(DerivativesPosition, start_xrt_short),
                                           TVX_FIELD(DerivativesPosition, start_xrt_short_cost),
                                           TVX_FIELD(DerivativesPosition, symbol),
                                           TVX_FIELD(DerivativesPosition, underlying),
                                       }};

const RecordTable equity_position{
    sizeof(EquityPosition),
    {
        TVX_FIELD(EquityPosition, actual_volume),  TVX_FIELD(EquityPosition, amount),
        TVX_FIELD(EquityPosition, average_price),  TVX_FIELD(EquityPosition, commission_rate),
        TVX_FIELD(EquityPosition, current_volume), TVX_FIELD(EquityPosition, flag),
        TVX_FIELD(EquityPosition, liabilities),    TVX_FIELD(EquityPosition, margin_rate),
        TVX_FIELD(EquityPosition, market_price),   TVX_FIELD(EquityPosition, market_value),
        TVX_FIELD(EquityPosition, nvdr_flag),      TVX_FIELD(EquityPosition, percent_profit),
        TVX_FIELD(EquityPosition, port_flag),      TVX_FIELD(EquityPosition, profit),
        TVX_FIELD(EquityPosition, realize_profit), TVX_FIELD(EquityPosition, show_n_a),
        TVX_FIELD(EquityPosition, start_price),    TVX_FIELD(EquityPosition, start_volume),
        TVX_FIELD(EquityPosition, symbol),         TVX_FIELD(EquityPosition, vat_rate),
    }};

}  // namespace

py::dict get_investor_derivatives_portfolios(const py::dict& context, const std::string& account_no) {
    return list_envelope(call_library(context, op::get_investor_derivatives_portfolios, account_no),
                         derivatives_position);
}

py::dict get_marketrep_derivatives_portfolios(const py::dict& context, const std::string& account_no) {
    return list_envelope(call_library(context, op::get_marketrep_derivatives_portfolios, account_no),
                         derivatives_position);
}

py::dict get_investor_equity_portfolios(const py::dict& context, const std::string& account_no) {
    return list_envelope(call_library(context, op::get_investor_equity_portfolios, account_no), equity_position);
}

py::dict get_marketrep_equity_portfolios(const py::dict& context, const std::string& account_no) {
    return list_envelope(call_library(context, op::get_marketrep_equity_portfolios, account_no), equity_position);
}

}  // namespace tvx::queries
