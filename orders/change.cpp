#include "../backend/operations.h"
#include "../core/frame.h"
#include "orders.h"

namespace tvx::orders {
using namespace tvx::core;

py::dict change_investor_derivatives_order(const py::dict& context, Str account_no, std::int32_t order_no, double a4,
                                           std::int32_t a5, Str a6, Str a7, Str a8) {
    wire::InvestorDerivativesChangeRequest r{};
    put(r.arg4, a4), put(r.arg5, a5), put(r.arg6, a6), put(r.arg7, a7), put(r.arg8, a8);
    return status_envelope(
        core::call_library(context, op::change_investor_derivatives_order, account_no, order_no, &r));
}

py::dict change_marketrep_derivatives_order(const py::dict& context, Str account_no, std::int32_t order_no, Str a4,
                                            double a5, std::int32_t a6, Str a7, Str a8) {
    wire::MarketrepDerivativesChangeRequest r{};
    put(r.arg4, a4), put(r.arg5, a5), put(r.arg6, a6), put(r.arg7, a7), put(r.arg8, a8);
    return status_envelope(
        core::call_library(context, op::change_marketrep_derivatives_order, account_no, order_no, &r));
}

py::dict change_investor_equity_order(const py::dict& context, Str account_no, Str order_no, double a4, std::int32_t a5,
                                      Str a6, Str a7, std::int32_t a8, Str a9, bool a10) {
    wire::InvestorEquityChangeRequest r{};
    put(r.arg4, a4), put(r.arg5, a5), put(r.arg6, a6), put(r.arg7, a7), put(r.arg8, a8), put(r.arg9, a9);
    put(r.arg10, a10);
    return status_envelope(core::call_library(context, op::change_investor_equity_order, account_no, order_no, &r));
}

py::dict change_marketrep_equity_order(const py::dict& context, Str account_no, Str order_no, Str a4, double a5,
                                       std::int32_t a6, std::int32_t a7, Str a8, Str a9, bool a10, bool a11) {
    wire::MarketrepEquityChangeRequest r{};
    put(r.arg4, a4), put(r.arg5, a5), put(r.arg6, a6), put(r.arg7, a7), put(r.arg8, a8), put(r.arg9, a9);
    put(r.arg10, a10), put(r.arg11, a11);
    return status_envelope(core::call_library(context, op::change_marketrep_equity_order, account_no, order_no, &r));
}

}  // namespace tvx::orders
