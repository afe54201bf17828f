#pragma once
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

namespace tvx::marketdata {
namespace py = pybind11;

// The four texts, the number and the flag travel to the library unread, in
// one request record.
py::dict get_candlesticks(const py::dict& context, const std::string& text1, const std::string& text2,
                          std::int32_t number, bool flag, const std::string& text3, const std::string& text4);

}  // namespace tvx::marketdata
