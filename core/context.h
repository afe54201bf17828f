#pragma once
#include <pybind11/pybind11.h>

#include <string>

#include "../backend/records.h"

namespace tvx::core {
namespace py = pybind11;

inline constexpr const char* kDaemonType = "STAND_ALONE";
inline constexpr const char* kVersion = "0.4.0";
inline constexpr const char* kPlatform = "python_x64";

// The connection configuration for one call, read afresh from the context
// dictionary. Errors of the dictionary's content surface as Python errors.
wire::ConnectionConfig build_config(const py::dict& context);

// Called by every successful login, after the library accepted it and before
// the context dictionary is built. The realtime part registers the emptying
// of its payload cache here, so the core knows nothing of it.
using LoginHook = void (*)();
void on_login(LoginHook hook);

py::dict login(const std::string& a1, const std::string& a2, const std::string& a3, const std::string& a4,
               bool enable_queue);

}  // namespace tvx::core
