#include "context.h"

#include <string>
#include <string_view>

#include "../backend/operations.h"
#include "../realtime/registry.h"
#include "convert.h"
#include "frame.h"
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

// Conversions of the configuration values. The common types take a short
// path; anything else goes through pybind11's casts, which keep their exact
// acceptance rules and error texts.
bool as_bool(const py::object& o) {
    bool v;
    return exact_bool(o.ptr(), v) ? v : py::cast<bool>(o);
}

std::int32_t as_int32(const py::object& o) {
    std::int32_t v;
    return exact_int32(o.ptr(), v) ? v : py::cast<std::int32_t>(o);
}

// The bytes of a str (UTF-8) or bytes value, valid while `o` lives; `spare`
// holds them for the other types pybind11 accepts.
std::string_view as_bytes(const py::object& o, std::string& spare) {
    if (PyUnicode_Check(o.ptr())) {
        Py_ssize_t n = 0;
        if (const char* s = PyUnicode_AsUTF8AndSize(o.ptr(), &n)) return {s, static_cast<std::size_t>(n)};
        PyErr_Clear();
    } else if (PyBytes_Check(o.ptr())) {
        return {PyBytes_AS_STRING(o.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(o.ptr()))};
    }
    spare = py::cast<std::string>(o);
    return spare;
}

}  // namespace

wire::ConnectionConfig build_config(const py::dict& context) {
    const ContextKeys& k = keys();
    wire::ConnectionConfig cfg{};
    const py::object conf = get(context.ptr(), k.configuration);
    const bool enable_queue = as_bool(get(conf.ptr(), k.enable_queue));
    const auto max_torelation = as_int32(get(conf.ptr(), k.max_torelation));
    (void)as_int32(get(conf.ptr(), k.rate_limit));
    std::string spare_channel, spare_daemon;
    const py::object channel_obj = get(context.ptr(), k.channel_id);
    const std::string_view channel = as_bytes(channel_obj, spare_channel);
    const py::object daemon_obj = get(conf.ptr(), k.daemon_type);
    const std::string_view daemon = as_bytes(daemon_obj, spare_daemon);
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
    if (r.internal_error) raise_internal(r.internal_error);
    if (!r.success) raise_refused(r.message);

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
