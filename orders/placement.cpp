#include "../backend/operations.h"
#include "../core/frame.h"
#include "orders.h"

namespace tvx::orders {
namespace {
using namespace tvx::core;
using wire::DerivativesOrderNoResult;
using wire::EquityOrderNoResult;

const RecordTable derivatives_order_no{sizeof(DerivativesOrderNoResult),
                                       {
                                           TVX_FIELD(DerivativesOrderNoResult, order_no),
                                       }};
const RecordTable equity_order_no{sizeof(EquityOrderNoResult),
                                  {
                                      TVX_FIELD(EquityOrderNoResult, order_no),
                                  }};

}  // namespace

py::dict place_investor_derivatives_order(const py::dict& context, Str account_no, Str a3, double a4, std::int32_t a5,
                                          Str a6, Str a7, Str a8, Str a9, Str a10, Str a11, Str a12, double a13,
                                          bool a14) {
    wire::InvestorDerivativesPlaceRequest r{};
    put(r.arg3, a3), put(r.arg4, a4), put(r.arg5, a5), put(r.arg6, a6), put(r.arg7, a7), put(r.arg8, a8);
    put(r.arg9, a9), put(r.arg10, a10), put(r.arg11, a11), put(r.arg12, a12), put(r.arg13, a13), put(r.arg14, a14);
    return result_envelope(core::call_library(context, op::place_investor_derivatives_order, account_no, &r),
                           derivatives_order_no);
}

py::dict place_marketrep_derivatives_order(const py::dict& context, Str account_no, Str a3, double a4, std::int32_t a5,
                                           Str a6, Str a7, Str a8, Str a9, Str a10, Str a11, double a12, bool a13) {
    wire::MarketrepDerivativesPlaceRequest r{};
    put(r.arg3, a3), put(r.arg4, a4), put(r.arg5, a5), put(r.arg6, a6), put(r.arg7, a7), put(r.arg8, a8);
    put(r.arg9, a9), put(r.arg10, a10), put(r.arg11, a11), put(r.arg12, a12), put(r.arg13, a13);
    return result_envelope(core::call_library(context, op::place_marketrep_derivatives_order, account_no, &r),
                           derivatives_order_no);
}

py::dict place_investor_equity_order(const py::dict& context, Str account_no, Str a3, double a4, std::int32_t a5,
                                     Str a6, Str a7, Str a8, Str a9, Str a10, Str a11, bool a12, std::int32_t a13,
                                     bool a14) {
    wire::InvestorEquityPlaceRequest r{};
    put(r.arg3, a3), put(r.arg4, a4), put(r.arg5, a5), put(r.arg6, a6), put(r.arg7, a7), put(r.arg8, a8);
    put(r.arg9, a9), put(r.arg10, a10), put(r.arg11, a11), put(r.arg12, a12), put(r.arg13, a13), put(r.arg14, a14);
    return result_envelope(core::call_library(context, op::place_investor_equity_order, account_no, &r),
                           equity_order_no);
}

py::dict place_marketrep_equity_order(const py::dict& context, Str account_no, Str a3, double a4, std::int32_t a5,
                                      Str a6, Str a7, Str a8, Str a9, Str a10, bool a11, std::int32_t a12, bool a13) {
    wire::MarketrepEquityPlaceRequest r{};
    put(r.arg3, a3), put(r.arg4, a4), put(r.arg5, a5), put(r.arg6, a6), put(r.arg7, a7), put(r.arg8, a8);
    put(r.arg9, a9), put(r.arg10, a10), put(r.arg11, a11), put(r.arg12, a12), put(r.arg13, a13);
    return result_envelope(core::call_library(context, op::place_marketrep_equity_order, account_no, &r),
                           equity_order_no);
}

py::dict place_marketrep_derivatives_trade_report(const py::dict& context, Str a2, Str a3, double a4, std::int32_t a5,
                                                  Str a6, Str a7, Str a8, Str a9) {
    wire::TradeReportRequest r{};
    put(r.arg2, a2), put(r.arg3, a3), put(r.arg4, a4), put(r.arg5, a5);
    put(r.arg6, a6), put(r.arg7, a7), put(r.arg8, a8), put(r.arg9, a9);
    const auto result = core::call_library(context, op::place_marketrep_derivatives_trade_report, &r);
    // The library's word on the report is passed on whatever the outcome.
    return envelope_of(result, result.success ? int32_list(result.items, result.count) : py::list(), Message::Always);
}

}  // namespace tvx::orders
