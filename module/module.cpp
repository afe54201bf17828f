// Entry point and the module's function table, in registration order.
#include <pybind11/pybind11.h>

#include "../core/context.h"
#include "../marketdata/candlesticks.h"
#include "../queries/account_info.h"
#include "../queries/portfolios.h"
#include "../queries/trades.h"

namespace py = pybind11;
using namespace tvx;

PYBIND11_MODULE(tavrolix_open_api, m) {
    m.doc() = "pybind11 tavrolix_open_api";
    m.def("login", &core::login);
    m.def("get_investor_derivatives_account_info", &queries::get_investor_derivatives_account_info);
    m.def("get_investor_derivatives_portfolios", &queries::get_investor_derivatives_portfolios);
    m.def("get_investor_derivatives_trades", &queries::get_investor_derivatives_trades);
    m.def("get_investor_equity_account_info", &queries::get_investor_equity_account_info);
    m.def("get_investor_equity_portfolios", &queries::get_investor_equity_portfolios);
    m.def("get_investor_equity_trades", &queries::get_investor_equity_trades);
    m.def("get_marketrep_derivatives_account_info", &queries::get_marketrep_derivatives_account_info);
    m.def("get_marketrep_derivatives_portfolios", &queries::get_marketrep_derivatives_portfolios);
    m.def("get_marketrep_derivatives_trades", &queries::get_marketrep_derivatives_trades);
    m.def("get_marketrep_equity_account_info", &queries::get_marketrep_equity_account_info);
    m.def("get_marketrep_equity_portfolios", &queries::get_marketrep_equity_portfolios);
    m.def("get_marketrep_equity_trades", &queries::get_marketrep_equity_trades);
    m.def("get_candlesticks", &marketdata::get_candlesticks);
}
