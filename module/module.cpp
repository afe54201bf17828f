// Entry point and the module's function table, in registration order.
#include <pybind11/pybind11.h>

#include "../core/context.h"
#include "../queries/account_info.h"
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
    m.def("get_investor_equity_account_info", &queries::get_investor_equity_account_info);
    m.def("get_marketrep_derivatives_account_info", &queries::get_marketrep_derivatives_account_info);
    m.def("get_marketrep_equity_account_info", &queries::get_marketrep_equity_account_info);
    m.def("subscribe_bid_offer", &realtime::subscribe_bid_offer);
    m.def("subscribe_price_info", &realtime::subscribe_price_info);
    m.def("subscribe_candlestick", &realtime::subscribe_candlestick);
    m.def("subscribe_derivatives_order", &realtime::subscribe_derivatives_order);
    m.def("subscribe_equity_order", &realtime::subscribe_equity_order);
    realtime::install_exit_hook();
}
