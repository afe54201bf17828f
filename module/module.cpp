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
#include "fast_call.h"

namespace py = pybind11;
using namespace tvx;

// The function's own name is its Python name.
#define TVX_DEF(ns, f) module::def<&ns::f>(m, #f)

PYBIND11_MODULE(tavrolix_open_api, m) {
    m.doc() = "pybind11 tavrolix_open_api";
    TVX_DEF(core, login);
    TVX_DEF(realtime, unsubscribe);
    TVX_DEF(realtime, is_subscribe);
    TVX_DEF(queries, get_investor_derivatives_account_info);
    TVX_DEF(orders, get_investor_derivatives_order);
    TVX_DEF(orders, get_investor_derivatives_orders);
    TVX_DEF(orders, place_investor_derivatives_order);
    TVX_DEF(orders, cancel_investor_derivatives_orders);
    TVX_DEF(orders, cancel_investor_derivatives_order);
    TVX_DEF(orders, change_investor_derivatives_order);
    TVX_DEF(queries, get_investor_derivatives_portfolios);
    TVX_DEF(queries, get_investor_derivatives_trades);
    TVX_DEF(queries, get_investor_equity_account_info);
    TVX_DEF(orders, get_investor_equity_order);
    TVX_DEF(orders, get_investor_equity_orders);
    TVX_DEF(orders, place_investor_equity_order);
    TVX_DEF(orders, cancel_investor_equity_orders);
    TVX_DEF(orders, cancel_investor_equity_order);
    TVX_DEF(orders, change_investor_equity_order);
    TVX_DEF(queries, get_investor_equity_portfolios);
    TVX_DEF(queries, get_investor_equity_trades);
    TVX_DEF(queries, get_marketrep_derivatives_account_info);
    TVX_DEF(orders, get_marketrep_derivatives_order);
    TVX_DEF(orders, get_marketrep_derivatives_orders);
    TVX_DEF(orders, get_marketrep_derivatives_orders_by_account_no);
    TVX_DEF(orders, place_marketrep_derivatives_order);
    TVX_DEF(orders, cancel_marketrep_derivatives_orders);
    TVX_DEF(orders, cancel_marketrep_derivatives_order);
    TVX_DEF(orders, change_marketrep_derivatives_order);
    TVX_DEF(queries, get_marketrep_derivatives_portfolios);
    TVX_DEF(queries, get_marketrep_derivatives_trades);
    TVX_DEF(orders, place_marketrep_derivatives_trade_report);
    TVX_DEF(queries, get_marketrep_equity_account_info);
    TVX_DEF(orders, get_marketrep_equity_order);
    TVX_DEF(orders, get_marketrep_equity_orders);
    TVX_DEF(orders, get_marketrep_equity_orders_by_account_no);
    TVX_DEF(orders, place_marketrep_equity_order);
    TVX_DEF(orders, cancel_marketrep_equity_orders);
    TVX_DEF(orders, cancel_marketrep_equity_order);
    TVX_DEF(orders, change_marketrep_equity_order);
    TVX_DEF(queries, get_marketrep_equity_portfolios);
    TVX_DEF(queries, get_marketrep_equity_trades);
    TVX_DEF(realtime, subscribe_bid_offer);
    TVX_DEF(realtime, subscribe_price_info);
    TVX_DEF(realtime, subscribe_candlestick);
    TVX_DEF(realtime, subscribe_derivatives_order);
    TVX_DEF(realtime, subscribe_equity_order);
    TVX_DEF(marketdata, get_candlesticks);
    realtime::install_process_hooks();
}
