#include "context.h"

#include <stdexcept>

#include "../backend/operations.h"
#include "../realtime/registry.h"
#include "convert.h"
#include "text_pool.h"

namespace tvx::core {
namespace {

struct ContextKeys {
    PyObject* channel_id = intern("channel_id");
    PyObject* configuration = intern("configuration");
    PyObject* enable_queue = intern("enable_queue");
    PyObject* daemon_type = intern("daemon_type");
    PyObject* max_torelation = intern("max_torelation");
    PyObject* rate_limit = intern("rate_limit");
};

const ContextKeys& keys() {
    static const ContextKeys* k = new ContextKeys;  // interned for the process
    return *k;
}

// Item access, so `configuration` may be any mapping and dict subclasses keep
// their own lookup.
py::object get(PyObject* mapping, PyObject* key) {
    PyObject* v = PyObject_GetItem(mapping, key);
    if (!v) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(v);
}

py::object configuration(const py::dict& context) { return get(context.ptr(), keys().configuration); }

}  // namespace

wire::ConnectionConfig build_config(const py::dict& context) {
    const ContextKeys& k = keys();
    wire::ConnectionConfig cfg{};
    const bool enable_queue = py::cast<bool>(get(configuration(context).ptr(), k.enable_queue));
    const auto max_torelation = py::cast<std::int32_t>(get(configuration(context).ptr(), k.max_torelation));
    (void)py::cast<std::int32_t>(get(configuration(context).ptr(), k.rate_limit));
    const auto channel = py::cast<std::string>(get(context.ptr(), k.channel_id));
    const auto daemon = py::cast<std::string>(get(configuration(context).ptr(), k.daemon_type));
    cfg.channel_id = text_copy(channel);
    cfg.enable_queue = enable_queue ? 1 : 0;
    cfg.daemon_type = text_copy(daemon);
    cfg.max_torelation = max_torelation;
    return cfg;
}

py::dict login(const std::string& a1, const std::string& a2, const std::string& a3,
               const std::string& a4, bool enable_queue) {
    const char* daemon = text_copy(kDaemonType);
    const wire::LoginResult r = op::login(daemon, text_copy(a1), text_copy(a2), text_copy(a3), text_copy(a4),
                                          text_copy(kVersion), text_copy(kPlatform), enable_queue, 2);
    if (r.internal_error) throw std::runtime_error(std::string("Internal Error: ") + r.internal_error);
    if (!r.success) throw std::runtime_error(r.message ? r.message : "Unknown exception");

    realtime::clear_payload_cache();

    const ContextKeys& k = keys();
    py::dict outer;
    py::dict config;
    config[k.enable_queue] = py::bool_(enable_queue);
    config[k.daemon_type] = decode(daemon);
    config[k.max_torelation] = py::int_(0);
    config[k.rate_limit] = py::int_(0);
    outer[k.channel_id] = text_or_none(r.channel_id);
    outer[k.configuration] = config;
    return outer;
}

}  // namespace tvx::core
