// Entry point and the module's function table, in registration order.
#include <pybind11/pybind11.h>

#include "../core/context.h"
#include "../marketdata/candlesticks.h"
#include "../orders/orders.h"
#include "../queries/account_info.h"
#include "../queries/portfolios.h"
#include "../queries/trades.h"
#include "../realtime/registry.h"
#include "../realtime/subscriptions.h"

namespace py = pybind11;
using namespace tvx;

PYBIND11_MODULE(tavrolix_open_api, m) {
    m.doc() = "pybind11 tavrolix_open_api";
    m.def("login", &core::login);
    m.def("unsubscribe", &realtime::unsubscribe);
    m.def("is_subscribe", &realtime::is_subscribe);
    m.def("get_investor_derivatives_account_info", &queries::get_investor_derivatives_account_info);
    m.def("get_investor_derivatives_order", &orders::get_investor_derivatives_order);
    m.def("get_investor_derivatives_orders", &orders::get_investor_derivatives_orders);
    m.def("place_investor_derivatives_order", &orders::place_investor_derivatives_order);
    m.def("cancel_investor_derivatives_orders", &orders::cancel_investor_derivatives_orders);
    m.def("cancel_investor_derivatives_order", &orders::cancel_investor_derivatives_order);
    m.def("change_investor_derivatives_order", &orders::change_investor_derivatives_order);
    m.def("get_investor_derivatives_portfolios", &queries::get_investor_derivatives_portfolios);
    m.def("get_investor_derivatives_trades", &queries::get_investor_derivatives_trades);
    m.def("get_investor_equity_account_info", &queries::get_investor_equity_account_info);
    m.def("get_investor_equity_order", &orders::get_investor_equity_order);
    m.def("get_investor_equity_orders", &orders::get_investor_equity_orders);
    m.def("place_investor_equity_order", &orders::place_investor_equity_order);
    m.def("cancel_investor_equity_orders", &orders::cancel_investor_equity_orders);
    m.def("cancel_investor_equity_order", &orders::cancel_investor_equity_order);
    m.def("change_investor_equity_order", &orders::change_investor_equity_order);
    m.def("get_investor_equity_portfolios", &queries::get_investor_equity_portfolios);
    m.def("get_investor_equity_trades", &queries::get_investor_equity_trades);
    m.def("get_marketrep_derivatives_account_info", &queries::get_marketrep_derivatives_account_info);
    m.def("get_marketrep_derivatives_order", &orders::get_marketrep_derivatives_order);
    m.def("get_marketrep_derivatives_orders", &orders::get_marketrep_derivatives_orders);
    m.def("get_marketrep_derivatives_orders_by_account_no", &orders::get_marketrep_derivatives_orders_by_account_no);
    m.def("place_marketrep_derivatives_order", &orders::place_marketrep_derivatives_order);
    m.def("cancel_marketrep_derivatives_orders", &orders::cancel_marketrep_derivatives_orders);
    m.def("cancel_marketrep_derivatives_order", &orders::cancel_marketrep_derivatives_order);
    m.def("change_marketrep_derivatives_order", &orders::change_marketrep_derivatives_order);
    m.def("get_marketrep_derivatives_portfolios", &queries::get_marketrep_derivatives_portfolios);
    m.def("get_marketrep_derivatives_trades", &queries::get_marketrep_derivatives_trades);
    m.def("place_marketrep_derivatives_trade_report", &orders::place_marketrep_derivatives_trade_report);
    m.def("get_marketrep_equity_account_info", &queries::get_marketrep_equity_account_info);
    m.def("get_marketrep_equity_order", &orders::get_marketrep_equity_order);
    m.def("get_marketrep_equity_orders", &orders::get_marketrep_equity_orders);
    m.def("get_marketrep_equity_orders_by_account_no", &orders::get_marketrep_equity_orders_by_account_no);
    m.def("place_marketrep_equity_order", &orders::place_marketrep_equity_order);
    m.def("cancel_marketrep_equity_orders", &orders::cancel_marketrep_equity_orders);
    m.def("cancel_marketrep_equity_order", &orders::cancel_marketrep_equity_order);
    m.def("change_marketrep_equity_order", &orders::change_marketrep_equity_order);
    m.def("get_marketrep_equity_portfolios", &queries::get_marketrep_equity_portfolios);
    m.def("get_marketrep_equity_trades", &queries::get_marketrep_equity_trades);
    m.def("subscribe_bid_offer", &realtime::subscribe_bid_offer);
    m.def("subscribe_price_info", &realtime::subscribe_price_info);
    m.def("subscribe_candlestick", &realtime::subscribe_candlestick);
    m.def("subscribe_derivatives_order", &realtime::subscribe_derivatives_order);
    m.def("subscribe_equity_order", &realtime::subscribe_equity_order);
    m.def("get_candlesticks", &marketdata::get_candlesticks);
    realtime::install_exit_hook();
}
