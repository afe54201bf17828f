// Order queries and order actions. Parameters aN are the function's N-th
// argument (the context dictionary being the first), as the request records
// name their fields.
#pragma once
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "batch_args.h"

namespace tvx::orders {
namespace py = pybind11;

using Str = const std::string&;

// Queries.
py::dict get_investor_derivatives_order(const py::dict& context, Str account_no, std::int32_t order_no);
py::dict get_investor_derivatives_orders(const py::dict& context, Str account_no);
py::dict get_marketrep_derivatives_order(const py::dict& context, std::int32_t order_no);
py::dict get_marketrep_derivatives_orders(const py::dict& context);
py::dict get_marketrep_derivatives_orders_by_account_no(const py::dict& context, Str account_no);
py::dict get_investor_equity_order(const py::dict& context, Str account_no, Str order_no);
py::dict get_investor_equity_orders(const py::dict& context, Str account_no);
py::dict get_marketrep_equity_order(const py::dict& context, Str order_no);
py::dict get_marketrep_equity_orders(const py::dict& context);
py::dict get_marketrep_equity_orders_by_account_no(const py::dict& context, Str account_no);

// Placement and the trade report.
py::dict place_investor_derivatives_order(const py::dict& context, Str account_no, Str a3, double a4, std::int32_t a5,
                                          Str a6, Str a7, Str a8, Str a9, Str a10, Str a11, Str a12, double a13,
                                          bool a14);
py::dict place_marketrep_derivatives_order(const py::dict& context, Str account_no, Str a3, double a4, std::int32_t a5,
                                           Str a6, Str a7, Str a8, Str a9, Str a10, Str a11, double a12, bool a13);
py::dict place_investor_equity_order(const py::dict& context, Str account_no, Str a3, double a4, std::int32_t a5,
                                     Str a6, Str a7, Str a8, Str a9, Str a10, Str a11, bool a12, std::int32_t a13,
                                     bool a14);
py::dict place_marketrep_equity_order(const py::dict& context, Str account_no, Str a3, double a4, std::int32_t a5,
                                      Str a6, Str a7, Str a8, Str a9, Str a10, bool a11, std::int32_t a12, bool a13);
py::dict place_marketrep_derivatives_trade_report(const py::dict& context, Str a2, Str a3, double a4, std::int32_t a5,
                                                  Str a6, Str a7, Str a8, Str a9);

// Cancellation.
py::dict cancel_investor_derivatives_order(const py::dict& context, Str account_no, std::int32_t order_no, Str a4);
py::dict cancel_investor_equity_order(const py::dict& context, Str account_no, Str order_no, Str a4);
py::dict cancel_marketrep_derivatives_order(const py::dict& context, Str account_no, std::int32_t order_no);
py::dict cancel_marketrep_equity_order(const py::dict& context, Str account_no, Str order_no);
py::dict cancel_investor_derivatives_orders(const py::dict& context, Str account_no, const OrderNumbers& order_nos,
                                            Str a4);
py::dict cancel_investor_equity_orders(const py::dict& context, Str account_no, const OrderTexts& order_nos, Str a4);
py::dict cancel_marketrep_derivatives_orders(const py::dict& context, Str account_no, const OrderNumbers& order_nos);
py::dict cancel_marketrep_equity_orders(const py::dict& context, Str account_no, const OrderTexts& order_nos);

// Change.
py::dict change_investor_derivatives_order(const py::dict& context, Str account_no, std::int32_t order_no, double a4,
                                           std::int32_t a5, Str a6, Str a7, Str a8);
py::dict change_marketrep_derivatives_order(const py::dict& context, Str account_no, std::int32_t order_no, Str a4,
                                            double a5, std::int32_t a6, Str a7, Str a8);
py::dict change_investor_equity_order(const py::dict& context, Str account_no, Str order_no, double a4, std::int32_t a5,
                                      Str a6, Str a7, std::int32_t a8, Str a9, bool a10);
py::dict change_marketrep_equity_order(const py::dict& context, Str account_no, Str order_no, Str a4, double a5,
                                       std::int32_t a6, std::int32_t a7, Str a8, Str a9, bool a10, bool a11);

}  // namespace tvx::orders
