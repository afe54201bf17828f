#include "frame.h"

#include <stdexcept>

#include "pycompat.h"

namespace tvx::core {

namespace {
// The library's text may not be UTF-8; its invalid bytes are shown escaped
// rather than losing the whole message.
[[noreturn]] void raise_runtime(const std::string& text) {
    PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace");
    if (!s) throw py::error_already_set();
    PyErr_SetObject(PyExc_RuntimeError, s);
    Py_DECREF(s);
    throw py::error_already_set();
}
}  // namespace

void raise_internal(wire::text error) { raise_runtime(std::string("Internal Error: ") + error); }
void raise_refused(wire::text message) { raise_runtime(message ? message : "Unknown exception"); }

namespace {
struct EnvelopeKeys {
    PyObject* success = intern("success");
    PyObject* status_code = intern("status_code");
    PyObject* data = intern("data");
    PyObject* message = intern("message");
};
const EnvelopeKeys& envelope_keys() {
    static const EnvelopeKeys* k = new EnvelopeKeys;
    return *k;
}
void set(PyObject* d, PyObject* key, PyObject* value) {
    if (PyDict_SetItem(d, key, value) != 0) throw py::error_already_set();
}
}  // namespace

py::dict envelope(bool success, std::int32_t status_code, py::object data, py::object message) {
    const EnvelopeKeys& k = envelope_keys();
    PyObject* d = compat::dict_presized(4);
    if (!d) py::pybind11_fail("Could not allocate dict object!");
    auto env = py::reinterpret_steal<py::dict>(d);
    set(d, k.success, success ? Py_True : Py_False);
    auto code = py::reinterpret_steal<py::object>(PyLong_FromLong(status_code));
    if (!code) throw py::error_already_set();
    set(d, k.status_code, code.ptr());
    set(d, k.data, data.ptr());
    set(d, k.message, message.ptr());
    return env;
}

}  // namespace tvx::core
