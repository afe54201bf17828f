// A shorter road from Python into the module's functions.
//
// pybind11 reaches a function through its dispatcher: the interpreter first
// packs the arguments into a tuple, the dispatcher then builds a call record
// (two heap vectors) and converts each argument. For calls whose arguments
// are all of the plain kinds below, given positionally and of the exact
// built-in types, a vectorcall entry on the same function object converts
// them directly and calls the same native function, translating exceptions
// as the dispatcher does. Every other call (keywords, other types, a value
// out of range, a wrong count) goes to pybind11's own call path unchanged,
// so acceptance rules, conversions and error texts stay pybind11's.
#pragma once
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>

#include "../core/convert.h"
#include "../core/pycompat.h"
#include "../orders/batch_args.h"

namespace tvx::module {
namespace py = pybind11;

// Arg<P>: one parameter of type P taken from an object, or refused.
template <class P>
struct Arg;

template <>
struct Arg<const py::dict&> {
    PyObject* o = nullptr;
    bool load(PyObject* a) {
        if (!PyDict_Check(a)) return false;
        o = a;
        return true;
    }
    py::dict get() const { return py::reinterpret_borrow<py::dict>(o); }
};

template <>
struct Arg<const std::string&> {
    std::string v;
    bool load(PyObject* a) {
        if (!PyUnicode_CheckExact(a)) return false;
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(a, &n);
        if (!s) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw py::error_already_set();
            PyErr_Clear();
            return false;
        }
        v.assign(s, static_cast<std::size_t>(n));
        return true;
    }
    const std::string& get() const { return v; }
};

template <>
struct Arg<std::int32_t> {
    std::int32_t v = 0;
    bool load(PyObject* a) { return core::exact_int32(a, v); }
    std::int32_t get() const { return v; }
};

template <>
struct Arg<double> {
    double v = 0;
    bool load(PyObject* a) {
        if (!PyFloat_CheckExact(a)) return false;
        v = PyFloat_AS_DOUBLE(a);
        return true;
    }
    double get() const { return v; }
};

template <>
struct Arg<bool> {
    bool v = false;
    bool load(PyObject* a) { return core::exact_bool(a, v); }
    bool get() const { return v; }
};

template <class P>
concept Plain = requires(Arg<P> a, PyObject* o) { a.load(o); };

// The result as pybind11 would return it (a new reference, or null with the
// error set).
inline PyObject* to_python(py::dict r) { return r.release().ptr(); }
inline PyObject* to_python(bool r) { return py::bool_(r).release().ptr(); }
inline PyObject* to_python(const std::string& r) {
    return PyUnicode_DecodeUTF8(r.data(), static_cast<Py_ssize_t>(r.size()), nullptr);
}

template <class R>
concept Returnable = requires(R r) { to_python(std::move(r)); } || std::is_void_v<R>;

// pybind11's own call path. Its string caster takes a str whose UTF-8 form
// cannot be made for a mismatch, so running out of memory there would read as
// a TypeError; made here first (the str keeps it), a failure is MemoryError.
inline PyObject* pybind11_call(PyObject* callable, PyObject* const* args, Py_ssize_t n, PyObject* kwnames) {
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_Check(args[i]) && !PyUnicode_AsUTF8AndSize(args[i], nullptr)) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
            PyErr_Clear();  // not encodable: the caster says so itself
        }
    // What the interpreter does for a function without a vectorcall entry.
    return compat::call_through_tp_call(callable, args, n, kwnames);
}

template <auto F, class R, class... P, std::size_t... I>
PyObject* call(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
               std::index_sequence<I...>) {
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    if (n == static_cast<Py_ssize_t>(sizeof...(P)) && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) {
        std::tuple<Arg<P>...> a;
        bool loaded = false;
        try {  // copies of the arguments may run out of memory
            loaded = (std::get<I>(a).load(args[I]) && ...);
        } catch (...) {
            py::detail::try_translate_exceptions();
            return nullptr;
        }
        if (loaded) {
            if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
            PyObject* out = nullptr;
            try {
                if constexpr (std::is_void_v<R>) {
                    F(std::get<I>(a).get()...);
                    out = py::none().release().ptr();
                } else {
                    out = to_python(F(std::get<I>(a).get()...));
                }
            } catch (py::error_already_set& e) {
                e.restore();
#ifdef __GLIBCXX__
            } catch (abi::__forced_unwind&) {
                Py_LeaveRecursiveCall();
                throw;
#endif
            } catch (...) {
                py::detail::try_translate_exceptions();
            }
            Py_LeaveRecursiveCall();
            return out;
        }
    }
    return pybind11_call(callable, args, n, kwnames);
}

template <auto F, class R, class... P>
vectorcallfunc entry_for(R (*)(P...)) {
    if constexpr ((Plain<P> && ...) && Returnable<R>) {
        return [](PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
            return call<F, R, P...>(callable, args, nargsf, kwnames, std::index_sequence_for<P...>{});
        };
    } else {
        return [](PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
            return pybind11_call(callable, args, PyVectorcall_NARGS(nargsf), kwnames);
        };
    }
}

// Texts reach the library up to their first NUL: one holding a NUL would
// arrive as another text (a secret matched on its prefix, an order for some
// other symbol), so it is refused, naming the argument as the signature does.
[[noreturn]] inline void refuse_nul(const char* function, std::size_t index, std::size_t at, const char* item) {
    throw py::value_error(std::string(function) + "(): argument " + std::to_string(index + 1) + " (arg" +
                          std::to_string(index) + ")" + item + " holds a NUL character at byte " + std::to_string(at) +
                          "; texts are passed to the library up to their first NUL");
}
template <class T>
void check_text(const char*, std::size_t, const T&) {}
inline void check_text(const char* function, std::size_t index, const std::string& s) {
    if (const void* nul = std::memchr(s.data(), 0, s.size()))
        refuse_nul(function, index, static_cast<std::size_t>(static_cast<const char*>(nul) - s.data()), "");
}
inline void check_text(const char* function, std::size_t index, const orders::OrderTexts& t) {
    for (std::size_t i = 0; i < t.items.size(); ++i) {
        const std::string& s = t.items[i];
        if (const void* nul = std::memchr(s.data(), 0, s.size()))
            refuse_nul(function, index, static_cast<std::size_t>(static_cast<const char*>(nul) - s.data()),
                       (", item " + std::to_string(i)).c_str());
    }
}

// F behind the text check of every argument, with F's own signature (so
// pybind11's signature line and acceptance rules stay those of F).
template <auto F>
struct Checked;
template <class R, class... P, R (*F)(P...)>
struct Checked<F> {
    static inline const char* name = "";
    static R call(P... a) {
        std::size_t i = 0;
        (check_text(name, i++, a), ...);
        return F(std::forward<P>(a)...);
    }
};

// m.def(name, F), with the short road where F's parameters allow it.
template <auto F>
void def(py::module_& m, const char* name) {
    constexpr auto checked = &Checked<F>::call;
    Checked<F>::name = name;
    m.def(name, checked);
    if (vectorcallfunc entry = entry_for<checked>(checked)) compat::set_vectorcall(m.attr(name).ptr(), entry);
}

}  // namespace tvx::module
