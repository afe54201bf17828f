#include "callable.h"

#include <string>

#include "../core/pycompat.h"

namespace tvx::realtime {

Callable::~Callable() {
    if (!fn_) return;
    PyThreadState* mine = compat::thread_state_unchecked();
    if (mine && Py_IsInitialized() && mine == PyGILState_GetThisThreadState()) Py_DECREF(fn_);
}

bool Callable::call(std::string_view payload, std::string_view key) const {
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

void Callable::report(std::string_view key) const {
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
    } catch (const std::exception&) {
        // Not catch (...): the hook runs Python code, during which a
        // finalizing interpreter may end this thread by unwinding it.
    }
    PyErr_Clear();
}

}  // namespace tvx::realtime
