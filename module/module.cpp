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

PYBIND11_MODULE(tavrolix_open_api, m) {
    m.doc() = "pybind11 tavrolix_open_api";
    module::def<&core::login>(m, "login");
    module::def<&realtime::unsubscribe>(m, "unsubscribe");
    module::def<&realtime::is_subscribe>(m, "is_subscribe");
    module::def<&queries::get_investor_derivatives_account_info>(m, "get_investor_derivatives_account_info");
    module::def<&orders::get_investor_derivatives_order>(m, "get_investor_derivatives_order");
    module::def<&orders::get_investor_derivatives_orders>(m, "get_investor_derivatives_orders");
    module::def<&orders::place_investor_derivatives_order>(m, "place_investor_derivatives_order");
    module::def<&orders::cancel_investor_derivatives_orders>(m, "cancel_investor_derivatives_orders");
    module::def<&orders::cancel_investor_derivatives_order>(m, "cancel_investor_derivatives_order");
    module::def<&orders::change_investor_derivatives_order>(m, "change_investor_derivatives_order");
    module::def<&queries::get_investor_derivatives_portfolios>(m, "get_investor_derivatives_portfolios");
    module::def<&queries::get_investor_derivatives_trades>(m, "get_investor_derivatives_trades");
    module::def<&queries::get_investor_equity_account_info>(m, "get_investor_equity_account_info");
    module::def<&orders::get_investor_equity_order>(m, "get_investor_equity_order");
    module::def<&orders::get_investor_equity_orders>(m, "get_investor_equity_orders");
    module::def<&orders::place_investor_equity_order>(m, "place_investor_equity_order");
    module::def<&orders::cancel_investor_equity_orders>(m, "cancel_investor_equity_orders");
    module::def<&orders::cancel_investor_equity_order>(m, "cancel_investor_equity_order");
    module::def<&orders::change_investor_equity_order>(m, "change_investor_equity_order");
    module::def<&queries::get_investor_equity_portfolios>(m, "get_investor_equity_portfolios");
    module::def<&queries::get_investor_equity_trades>(m, "get_investor_equity_trades");
    module::def<&queries::get_marketrep_derivatives_account_info>(m, "get_marketrep_derivatives_account_info");
    module::def<&orders::get_marketrep_derivatives_order>(m, "get_marketrep_derivatives_order");
    module::def<&orders::get_marketrep_derivatives_orders>(m, "get_marketrep_derivatives_orders");
    module::def<&orders::get_marketrep_derivatives_orders_by_account_no>(m, "get_marketrep_derivatives_orders_by_account_no");
    module::def<&orders::place_marketrep_derivatives_order>(m, "place_marketrep_derivatives_order");
    module::def<&orders::cancel_marketrep_derivatives_orders>(m, "cancel_marketrep_derivatives_orders");
    module::def<&orders::cancel_marketrep_derivatives_order>(m, "cancel_marketrep_derivatives_order");
    module::def<&orders::change_marketrep_derivatives_order>(m, "change_marketrep_derivatives_order");
    module::def<&queries::get_marketrep_derivatives_portfolios>(m, "get_marketrep_derivatives_portfolios");
    module::def<&queries::get_marketrep_derivatives_trades>(m, "get_marketrep_derivatives_trades");
    module::def<&orders::place_marketrep_derivatives_trade_report>(m, "place_marketrep_derivatives_trade_report");
    module::def<&queries::get_marketrep_equity_account_info>(m, "get_marketrep_equity_account_info");
    module::def<&orders::get_marketrep_equity_order>(m, "get_marketrep_equity_order");
    module::def<&orders::get_marketrep_equity_orders>(m, "get_marketrep_equity_orders");
    module::def<&orders::get_marketrep_equity_orders_by_account_no>(m, "get_marketrep_equity_orders_by_account_no");
    module::def<&orders::place_marketrep_equity_order>(m, "place_marketrep_equity_order");
    module::def<&orders::cancel_marketrep_equity_orders>(m, "cancel_marketrep_equity_orders");
    module::def<&orders::cancel_marketrep_equity_order>(m, "cancel_marketrep_equity_order");
    module::def<&orders::change_marketrep_equity_order>(m, "change_marketrep_equity_order");
    module::def<&queries::get_marketrep_equity_portfolios>(m, "get_marketrep_equity_portfolios");
    module::def<&queries::get_marketrep_equity_trades>(m, "get_marketrep_equity_trades");
    module::def<&realtime::subscribe_bid_offer>(m, "subscribe_bid_offer");
    module::def<&realtime::subscribe_price_info>(m, "subscribe_price_info");
    module::def<&realtime::subscribe_candlestick>(m, "subscribe_candlestick");
    module::def<&realtime::subscribe_derivatives_order>(m, "subscribe_derivatives_order");
    module::def<&realtime::subscribe_equity_order>(m, "subscribe_equity_order");
    module::def<&marketdata::get_candlesticks>(m, "get_candlesticks");
    realtime::install_exit_hook();
}
