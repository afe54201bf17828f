#include "context.h"

#include <atomic>
#include <string>
#include <string_view>

#include "../backend/operations.h"
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

const ContextKeys& context_keys() {
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
// acceptance rules and error texts. `ran` is set when the cast may have run
// Python code.
bool as_bool(const py::object& o, bool& ran) {
    bool v;
    if (exact_bool(o.ptr(), v)) return v;
    ran = true;
    return py::cast<bool>(o);
}

std::int32_t as_int32(const py::object& o, bool& ran) {
    std::int32_t v;
    if (exact_int32(o.ptr(), v)) return v;
    ran = true;
    return py::cast<std::int32_t>(o);
}

// The bytes of a str (UTF-8) or bytes value, valid while `o` lives; `spare`
// holds them for the other types pybind11 accepts.
std::string_view as_bytes(const py::object& o, std::string& spare, bool& ran) {
    if (PyUnicode_Check(o.ptr())) {
        Py_ssize_t n = 0;
        if (const char* s = PyUnicode_AsUTF8AndSize(o.ptr(), &n)) return {s, static_cast<std::size_t>(n)};
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw py::error_already_set();
        PyErr_Clear();
    } else if (PyBytes_Check(o.ptr())) {
        return {PyBytes_AS_STRING(o.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(o.ptr()))};
    }
    ran = true;
    spare = py::cast<std::string>(o);
    return spare;
}

// `configuration`, fetched again for every lookup as callers may rely on (a
// mapping that changes it from its own item access). Only where no Python
// code can have run since the last fetch (an exact dict holding an exact
// dict, values of the exact built-in types) is the last one reused.
class Configuration {
   public:
    explicit Configuration(const py::dict& context) : context_(context.ptr()) {}

    py::object operator[](PyObject* key) {
        if (ran || !reusable_) {
            conf_ = get(context_, context_keys().configuration);
            reusable_ = PyDict_CheckExact(context_) && PyDict_CheckExact(conf_.ptr());
            ran = false;
        }
        return get(conf_.ptr(), key);
    }
    // Whether a conversion since the last lookup may have run Python code.
    bool ran = false;

   private:
    PyObject* context_;
    py::object conf_;
    bool reusable_ = false;
};

std::atomic<LoginHook> login_hook{nullptr};

}  // namespace

void on_login(LoginHook hook) { login_hook.store(hook); }

wire::ConnectionConfig build_config(const py::dict& context) {
    const ContextKeys& k = context_keys();
    wire::ConnectionConfig cfg{};
    Configuration conf(context);
    bool& ran = conf.ran;
    const bool enable_queue = as_bool(conf[k.enable_queue], ran);
    const auto max_torelation = as_int32(conf[k.max_torelation], ran);
    (void)as_int32(conf[k.rate_limit], ran);
    std::string spare_channel, spare_daemon;
    const py::object channel_obj = get(context.ptr(), k.channel_id);
    const std::string_view channel = as_bytes(channel_obj, spare_channel, ran);
    const py::object daemon_obj = conf[k.daemon_type];
    const std::string_view daemon = as_bytes(daemon_obj, spare_daemon, ran);
    cfg.channel_id = text_copy(channel);
    cfg.enable_queue = enable_queue ? 1 : 0;
    cfg.daemon_type = text_copy(daemon);
    cfg.max_torelation = max_torelation;
    return cfg;
}

py::dict login(const std::string& a1, const std::string& a2, const std::string& a3, const std::string& a4,
               bool enable_queue) {
    const char* daemon = text_copy(kDaemonType);
    const wire::LoginResult r = op::login(daemon, text_copy(a1), text_copy(a2), text_copy(a3), text_copy(a4),
                                          text_copy(kVersion), text_copy(kPlatform), enable_queue, 2);
    if (r.internal_error) raise_internal(r.internal_error);
    if (!r.success) raise_refused(r.message);

    if (const LoginHook hook = login_hook.load()) hook();

    const ContextKeys& k = context_keys();
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
