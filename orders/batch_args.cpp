#include "batch_args.h"

#include <climits>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

namespace tvx::orders {
namespace {
using py::detail::npy_api;

// NumPy's conversion of `src` to `descr` (null: its own type) with `flags`;
// null when NumPy refuses, except that running out of memory is raised.
py::object from_any(PyObject* src, py::object descr, int flags) {
    PyObject* a = npy_api::get().PyArray_FromAny_(src, descr.release().ptr(), 0, 0,
                                                  flags | npy_api::NPY_ARRAY_ENSUREARRAY_, nullptr);
    if (!a) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw py::error_already_set();
        PyErr_Clear();
    }
    return py::reinterpret_steal<py::object>(a);
}

constexpr int kContiguous = npy_api::NPY_ARRAY_C_CONTIGUOUS_ | npy_api::NPY_ARRAY_ALIGNED_;

// The values of `a` as consecutive T, widened exactly by NumPy.
template <class T>
py::array_t<T> widened(const py::array& a) {
    py::object w = from_any(a.ptr(), py::dtype::of<T>(), kContiguous);
    if (!w) throw py::value_error("order numbers could not be read");
    return py::reinterpret_steal<py::array_t<T>>(w.release());
}

template <class T>
bool whole_int32(T v) {
    return v >= static_cast<T>(INT32_MIN) && v <= static_cast<T>(INT32_MAX) && std::trunc(v) == v;
}

enum class Item { Exact, Inexact, Other };

// An item of an object array: a Python integer or a whole float is a number;
// anything else is left to NumPy's own cast.
Item int32_object(PyObject* o, std::int32_t& out) {
    if (PyFloat_Check(o)) {
        const double v = PyFloat_AS_DOUBLE(o);
        if (!whole_int32(v)) return Item::Inexact;
        out = static_cast<std::int32_t>(v);
        return Item::Exact;
    }
    if (!PyIndex_Check(o)) return Item::Other;
    PyObject* i = PyNumber_Index(o);
    if (!i) throw py::error_already_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(i, &overflow);
    Py_DECREF(i);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow || v < INT32_MIN || v > INT32_MAX) return Item::Inexact;
    out = static_cast<std::int32_t>(v);
    return Item::Exact;
}

// Whether NumPy's cast to int32 takes `a` at all (its warnings silenced: the
// values are refused anyway).
bool casts_to_int32(const py::array& a) {
    const py::object warnings = py::module_::import("warnings");
    const py::object guard = warnings.attr("catch_warnings")();
    guard.attr("__enter__")();
    bool casts = false;
    try {
        warnings.attr("simplefilter")("ignore");
        casts = static_cast<bool>(from_any(a.ptr(), py::dtype::of<std::int32_t>(), npy_api::NPY_ARRAY_FORCECAST_));
    } catch (...) {
        guard.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    guard.attr("__exit__")(py::none(), py::none(), py::none());
    return casts;
}

constexpr py::ssize_t kAllGood = -1;
constexpr py::ssize_t kOther = -2;  // not numbers: the first item, if NumPy casts them at all

// C-order position of the first value of `a` that is not exactly a 32-bit
// integer, kOther, or kAllGood.
py::ssize_t first_inexact(const py::array& a) {
    const py::dtype t = a.dtype();
    const py::ssize_t n = a.size();
    switch (t.kind()) {
        case 'b':
            return kAllGood;
        case 'i': {
            const auto w = widened<long long>(a);
            const long long* v = w.data();
            for (py::ssize_t i = 0; i < n; ++i)
                if (v[i] < INT32_MIN || v[i] > INT32_MAX) return i;
            return kAllGood;
        }
        case 'u': {
            const auto w = widened<unsigned long long>(a);
            const unsigned long long* v = w.data();
            for (py::ssize_t i = 0; i < n; ++i)
                if (v[i] > static_cast<unsigned long long>(INT32_MAX)) return i;
            return kAllGood;
        }
        case 'f': {
            // float64 holds every narrower float exactly; wider ones stay wide.
            if (t.itemsize() <= 8) {
                const auto w = widened<double>(a);
                for (py::ssize_t i = 0; i < n; ++i)
                    if (!whole_int32(w.data()[i])) return i;
            } else {
                const auto w = widened<long double>(a);
                for (py::ssize_t i = 0; i < n; ++i)
                    if (!whole_int32(w.data()[i])) return i;
            }
            return kAllGood;
        }
        default:  // text, complex, dates, records: not numbers
            return n > 0 ? kOther : kAllGood;
    }
}

[[noreturn]] void refuse(const py::array& a, py::ssize_t at, py::object item = {}) {
    std::string where = std::to_string(at);
    if (a.ndim() > 1) {  // the array's own index of the C-order position
        where.clear();
        py::ssize_t rest = at;
        for (py::ssize_t d = a.ndim() - 1; d >= 0; --d) {
            where = std::to_string(rest % a.shape(d)) + (where.empty() ? "" : ", ") + where;
            rest /= a.shape(d);
        }
        where = "(" + where + ")";
    }
    if (!item) item = a.attr("reshape")(-1)[py::slice(at, at + 1, 1)].attr("tolist")()[py::int_(0)];
    throw py::value_error("order number at index " + where +
                          " is not a 32-bit integer: " + py::repr(item).cast<std::string>());
}

// An object array's items, checked one by one into a new int32 array of the
// same shape: a second conversion could see other values, as an item's
// conversion runs Python code. Null when an item is not an integer.
py::object object_numbers(const py::array& a) {
    const py::list items = a.attr("reshape")(-1).attr("tolist")();  // ours: nothing else can change it
    std::vector<py::ssize_t> shape(a.shape(), a.shape() + a.ndim());
    py::array_t<std::int32_t> out(shape);
    std::int32_t* v = out.mutable_data();
    for (py::ssize_t i = 0; i < static_cast<py::ssize_t>(items.size()); ++i) {
        const Item k = int32_object(PyList_GET_ITEM(items.ptr(), i), v[i]);
        if (k == Item::Other && !casts_to_int32(a)) return {};
        if (k != Item::Exact) refuse(a, i, items[static_cast<std::size_t>(i)]);
    }
    return out;
}

}  // namespace

std::int32_t batch_count(std::size_t n) {
    constexpr auto limit = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    if (n > limit)
        throw py::value_error("a batch cancel takes at most " + std::to_string(limit) + " order numbers, got " +
                              std::to_string(n));
    return static_cast<std::int32_t>(n);
}

bool load_order_numbers(PyObject* src, OrderNumbers& out) {
    npy_api& api = npy_api::get();  // imports NumPy on first use
    // Refused before any copy: a view of 2^31 items (a broadcast, a stride
    // trick) would otherwise be made contiguous first, gigabytes of it.
    if (api.PyArray_Check_(src)) batch_count(static_cast<std::size_t>(py::reinterpret_borrow<py::array>(src).size()));
    const py::dtype int32 = py::dtype::of<std::int32_t>();
    const bool int32_array =
        api.PyArray_Check_(src) && api.PyArray_EquivTypes_(py::detail::array_proxy(src)->descr, int32.ptr());
    if (!int32_array) {
        const py::object own = from_any(src, py::object(), 0);
        if (!own) return false;
        const auto a = py::reinterpret_borrow<py::array>(own);
        if (a.dtype().kind() == 'O') {
            out.array = object_numbers(a);
            return static_cast<bool>(out.array);
        }
        const py::ssize_t at = first_inexact(a);
        // What NumPy cannot turn into int32 at all stays a mismatch.
        if (at == kOther && !casts_to_int32(a)) return false;
        if (at != kAllGood) refuse(a, at == kOther ? 0 : at);
        src = own.ptr();
        out.array = from_any(src, int32, npy_api::NPY_ARRAY_C_CONTIGUOUS_ | npy_api::NPY_ARRAY_FORCECAST_);
        return static_cast<bool>(out.array);
    }
    out.array = from_any(src, int32, npy_api::NPY_ARRAY_C_CONTIGUOUS_);
    return static_cast<bool>(out.array);
}

bool load_order_texts(PyObject* src, OrderTexts& out) {
    if (!PySequence_Check(src) || PyUnicode_Check(src) || PyBytes_Check(src)) return false;
    out.items.clear();
    // Items are fetched by index up to the length, as for any sequence; a
    // sequence whose length or items fail, or that shrinks meanwhile, does
    // not match. The length only bounds the loop: it is not trusted for a
    // reservation.
    const Py_ssize_t n = PySequence_Size(src);
    if (n < 0) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw py::error_already_set();
        PyErr_Clear();
        return false;
    }
    // More than the library's 32-bit count can carry is refused before any
    // item is read: a length that lies (or a lazy sequence of 2^62 texts)
    // would otherwise be read until memory runs out.
    if (n > static_cast<Py_ssize_t>(std::numeric_limits<std::int32_t>::max())) return false;
    const bool plain = PyList_CheckExact(src) || PyTuple_CheckExact(src);
    if (plain) out.items.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* raw = PySequence_GetItem(src, i);
        if (!raw) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw py::error_already_set();
            PyErr_Clear();
            return false;
        }
        const auto item = py::reinterpret_steal<py::object>(raw);
        if (PyUnicode_Check(raw)) {
            Py_ssize_t size = 0;
            const char* s = PyUnicode_AsUTF8AndSize(raw, &size);
            if (!s) {
                if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw py::error_already_set();
                PyErr_Clear();
                return false;
            }
            out.items.emplace_back(s, static_cast<std::size_t>(size));
        } else if (PyBytes_Check(raw)) {
            out.items.emplace_back(PyBytes_AS_STRING(raw), static_cast<std::size_t>(PyBytes_GET_SIZE(raw)));
        } else if (PyByteArray_Check(raw)) {
            out.items.emplace_back(PyByteArray_AS_STRING(raw), static_cast<std::size_t>(PyByteArray_GET_SIZE(raw)));
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace tvx::orders
