// The Python callable a subscription delivers its payloads to.
#pragma once
#include <pybind11/pybind11.h>

#include <string_view>
#include <utility>

namespace tvx::realtime {

// A strong reference to a Python callable, or nothing (Python's None).
// Copies are made only where the interpreter lock is held. Destruction drops
// the reference only on a thread that holds the lock already (elsewhere it is
// left behind): waiting for the lock there could end the thread inside a
// destructor. Owners that may hold the last reference give it up with
// release() instead.
class Callable {
   public:
    Callable() noexcept = default;
    explicit Callable(PyObject* fn) noexcept : fn_(fn) { Py_XINCREF(fn_); }
    Callable(const Callable& o) noexcept : fn_(o.fn_) { Py_XINCREF(fn_); }
    Callable(Callable&& o) noexcept : fn_(std::exchange(o.fn_, nullptr)) {}
    Callable& operator=(Callable o) noexcept {
        std::swap(fn_, o.fn_);
        return *this;
    }
    ~Callable();

    bool empty() const noexcept { return fn_ == nullptr; }
    PyObject* get() const noexcept { return fn_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(fn_, nullptr); }

    // Calls the callable with the payload decoded as UTF-8 (strictly). The
    // caller holds the interpreter lock. A decoding error or an exception of
    // the callable goes to sys.unraisablehook and leaves no error set; the
    // result says whether the callable returned normally. Not noexcept: a
    // finalizing interpreter may end the thread inside.
    bool call(std::string_view payload, std::string_view key) const;

   private:
    void report(std::string_view key) const;

    PyObject* fn_ = nullptr;
};

}  // namespace tvx::realtime

namespace pybind11::detail {

template <>
struct type_caster<tvx::realtime::Callable> {
    PYBIND11_TYPE_CASTER(tvx::realtime::Callable, const_name("Callable[[str], None]"));

    bool load(handle src, bool) {
        if (src.is_none()) {
            value = tvx::realtime::Callable();
            return true;
        }
        if (!PyCallable_Check(src.ptr())) return false;
        value = tvx::realtime::Callable(src.ptr());
        return true;
    }

    static handle cast(const tvx::realtime::Callable& c, return_value_policy, handle) {
        return handle(c.empty() ? Py_None : c.get()).inc_ref();
    }
};

}  // namespace pybind11::detail
