#pragma once
#include <pybind11/pybind11.h>

#include <string>

namespace tvx::queries {
namespace py = pybind11;

py::dict get_investor_derivatives_portfolios(const py::dict& context, const std::string& account_no);
py::dict get_marketrep_derivatives_portfolios(const py::dict& context, const std::string& account_no);
py::dict get_investor_equity_portfolios(const py::dict& context, const std::string& account_no);
py::dict get_marketrep_equity_portfolios(const py::dict& context, const std::string& account_no);

}  // namespace tvx::queries
