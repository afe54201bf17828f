// Realtime subscriptions: the five subscribe functions, unsubscribe and
// is_subscribe.
#pragma once
#include <pybind11/pybind11.h>

#include <string>

#include "callable.h"

namespace tvx::realtime {
namespace py = pybind11;

std::string subscribe_bid_offer(const py::dict& context, const std::string& subject, Callable callable);
std::string subscribe_price_info(const py::dict& context, const std::string& subject, Callable callable);
std::string subscribe_candlestick(const py::dict& context, const std::string& subject, const std::string& subject2,
                                  Callable callable);
std::string subscribe_derivatives_order(const py::dict& context, const std::string& subject, Callable callable);
std::string subscribe_equity_order(const py::dict& context, const std::string& subject, Callable callable);

void unsubscribe(const std::string& channel, const std::string& key);
bool is_subscribe(const std::string& key);

}  // namespace tvx::realtime
