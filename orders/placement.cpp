#include "../backend/operations.h"
#include "../core/frame.h"
#include "orders.h"

namespace tvx::orders {
namespace {
using namespace tvx::core;
using wire::DerivativesOrderNoResult;
using wire::EquityOrderNoResult;

const RecordTable derivatives_order_no{sizeof(DerivativesOrderNoResult), {
    TVX_FIELD(DerivativesOrderNoResult, order_no),
}};
const RecordTable equity_order_no{sizeof(EquityOrderNoResult), {
    TVX_FIELD(EquityOrderNoResult, order_no),
}};

py::list int32_list(const std::int32_t* items, std::int64_t count) {
    const Py_ssize_t n = count > 0 ? static_cast<Py_ssize_t>(count) : 0;
    PyObject* l = PyList_New(n);
    if (!l) py::pybind11_fail("Could not allocate list object!");
    auto list = py::reinterpret_steal<py::list>(l);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = PyLong_FromLong(items[i]);
        if (!v) throw py::error_already_set();
        PyList_SET_ITEM(l, i, v);
    }
    return list;
}

}  // namespace

py::dict place_investor_derivatives_order(const py::dict& context, Str account_no, Str a3, double a4,
                                          std::int32_t a5, Str a6, Str a7, Str a8, Str a9, Str a10, Str a11,
                                          Str a12, double a13, bool a14) {
    wire::InvestorDerivativesPlaceRequest r{};
    put(r.arg3, a3), put(r.arg4, a4), put(r.arg5, a5), put(r.arg6, a6), put(r.arg7, a7), put(r.arg8, a8);
    put(r.arg9, a9), put(r.arg10, a10), put(r.arg11, a11), put(r.arg12, a12), put(r.arg13, a13), put(r.arg14, a14);
    return result_envelope(core::call_library(context, op::place_investor_derivatives_order, account_no, &r),
                           derivatives_order_no);
}

py::dict place_marketrep_derivatives_order(const py::dict& context, Str account_no, Str a3, double a4,
                                           std::int32_t a5, Str a6, Str a7, Str a8, Str a9, Str a10, Str a11,
                                           double a12, bool a13) {
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
    return result_envelope(core::call_library(context, op::place_investor_equity_order, account_no, &r), equity_order_no);
}

py::dict place_marketrep_equity_order(const py::dict& context, Str account_no, Str a3, double a4, std::int32_t a5,
                                      Str a6, Str a7, Str a8, Str a9, Str a10, bool a11, std::int32_t a12,
                                      bool a13) {
    wire::MarketrepEquityPlaceRequest r{};
    put(r.arg3, a3), put(r.arg4, a4), put(r.arg5, a5), put(r.arg6, a6), put(r.arg7, a7), put(r.arg8, a8);
    put(r.arg9, a9), put(r.arg10, a10), put(r.arg11, a11), put(r.arg12, a12), put(r.arg13, a13);
    return result_envelope(core::call_library(context, op::place_marketrep_equity_order, account_no, &r), equity_order_no);
}

py::dict place_marketrep_derivatives_trade_report(const py::dict& context, Str a2, Str a3, double a4,
                                                  std::int32_t a5, Str a6, Str a7, Str a8, Str a9) {
    wire::TradeReportRequest r{};
    put(r.arg2, a2), put(r.arg3, a3), put(r.arg4, a4), put(r.arg5, a5);
    put(r.arg6, a6), put(r.arg7, a7), put(r.arg8, a8), put(r.arg9, a9);
    const auto result = core::call_library(context, op::place_marketrep_derivatives_trade_report, &r);
    const bool ok = result.success != 0;
    py::list data = ok ? int32_list(result.items, result.count) : py::list();
    // The library's word on the report is passed on whatever the outcome.
    return envelope(ok, result.status_code, std::move(data), text_or_none(result.message));
}

}  // namespace tvx::orders
