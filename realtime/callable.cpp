#include "callable.h"

#include <string>

#include "../core/pycompat.h"

namespace tvx::realtime {
namespace {

// True when this thread may take the interpreter lock without being ended by
// a finalizing interpreter.
bool may_take_lock() {
    if (!Py_IsInitialized()) return false;
    if (!compat::is_finalizing()) return true;
    PyThreadState* mine = PyGILState_GetThisThreadState();
    return mine && mine == compat::thread_state_unchecked();
}

}  // namespace

Callable::~Callable() {
    if (!fn_) return;
    // Past finalization the reference is left behind: releasing it then
    // would run Python code in a dead interpreter.
    if (!may_take_lock()) return;
    const PyGILState_STATE gil = PyGILState_Ensure();
    Py_DECREF(fn_);
    PyGILState_Release(gil);
}

bool Callable::call(std::string_view payload, std::string_view key) const noexcept {
    if (!fn_) return false;
    PyObject* text = PyUnicode_DecodeUTF8(payload.data(), static_cast<Py_ssize_t>(payload.size()), "strict");
    PyObject* result = text ? PyObject_CallOneArg(fn_, text) : nullptr;
    Py_XDECREF(text);
    if (result) {
        Py_DECREF(result);
        return true;
    }
    report(key);
    return false;
}

void Callable::report(std::string_view key) const noexcept {
    try {
        std::string what;
        {
            pybind11::error_already_set e;
            what = e.what();
            e.restore();
        }
        while (!what.empty() && (what.back() == '\n' || what.back() == ' ')) what.pop_back();
        const std::string where = "in the callable of subscription " + std::string(key) + " (" + what + ")";
        compat::write_unraisable(where.c_str(), fn_);
    } catch (...) {
    }
    PyErr_Clear();
}

}  // namespace tvx::realtime
