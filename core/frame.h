// The frame every query and order action runs: configuration from the context
// dictionary, text copies of the arguments, one library call, the internal
// error check, then the result envelope.
#pragma once
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <type_traits>

#include "../backend/records.h"
#include "context.h"
#include "convert.h"
#include "text_pool.h"

namespace tvx::core {
namespace py = pybind11;

[[noreturn]] void raise_internal(wire::text error);
// A refusal that is raised rather than returned (login, subscriptions).
[[noreturn]] void raise_refused(wire::text message);

// Library arguments from native arguments: strings become text copies,
// everything else passes unchanged.
inline wire::text library_arg(const std::string& s) { return text_copy(s); }
template <class T>
    requires(!std::is_same_v<std::remove_cvref_t<T>, std::string>)
inline T library_arg(T v) {
    return v;
}

// Request record fields from native arguments. The field type must be the
// argument's own type, so a record that disagrees with its function's
// signature does not compile.
inline void put(wire::text& field, const std::string& s) { field = text_copy(s); }
inline void put(double& field, double v) { field = v; }
inline void put(std::int32_t& field, std::int32_t v) { field = v; }
inline void put(wire::flag& field, bool v) { field = v ? 1 : 0; }
template <class F, class V>
void put(F& field, const V& v) = delete;

// Calls `op` with the configuration and the arguments; returns the result
// record once it is known not to carry an internal error. call_configured
// takes a configuration built beforehand.
template <class Op, class... A>
auto call_configured(const wire::ConnectionConfig& cfg, Op& op, const A&... args) {
    auto r = op(&cfg, library_arg(args)...);
    if (r.internal_error) raise_internal(r.internal_error);
    return r;
}
template <class Op, class... A>
auto call_library(const py::dict& context, Op& op, const A&... args) {
    const wire::ConnectionConfig cfg = build_config(context);
    return call_configured(cfg, op, args...);
}

// The envelope: success, status_code, data, message, in that order.
py::dict envelope(bool success, std::int32_t status_code, py::object data, py::object message);

// Which message the envelope carries: by default "" on success and the
// library's text on failure ("" for none); for some results the library's
// word stands whatever the outcome (None for none).
enum class Message { OnFailure, Always };

// The envelope of result `r` around `data`.
template <class R>
py::dict envelope_of(const R& r, py::object data, Message rule = Message::OnFailure) {
    const bool ok = r.success != 0;
    py::object message = rule == Message::Always ? text_or_none(r.message)
                         : ok                    ? py::str("")
                                                 : text_or_empty(r.message);
    return envelope(ok, r.status_code, std::move(data), std::move(message));
}

// One record inside the result.
template <class R>
py::dict record_envelope(const R& r, const RecordTable& table) {
    return envelope_of(r, r.success ? py::object(table.convert(&r.record)) : py::object(py::dict()));
}

// A list of records.
template <class Item>
py::dict list_envelope(const wire::RecordList<Item>& r, const RecordTable& table) {
    return envelope_of(r, r.success ? py::object(table.convert_array(r.items, r.count)) : py::object(py::list()));
}

// A payload that lies in the result record itself (the table's offsets are
// the result's own).
template <class R>
py::dict result_envelope(const R& r, const RecordTable& table) {
    return envelope_of(r, r.success ? py::object(table.convert(&r)) : py::object(py::dict()));
}

// Verdict only: empty data, the library's message whatever the outcome.
inline py::dict status_envelope(const wire::StatusResult& r) { return envelope_of(r, py::dict(), Message::Always); }

}  // namespace tvx::core
