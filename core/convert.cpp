#include "convert.h"

#include <cstring>
#include <memory>

namespace tvx::core {

RecordTable::RecordTable(std::size_t size, std::initializer_list<Field> list)
    : record_size(size), count(list.size()) {
    // The tables are process-long statics; the copy lives as long as they do.
    Field* copy = new Field[list.size()];
    std::copy(list.begin(), list.end(), copy);
    fields = copy;
}

PyObject* intern(const char* key) {
    PyObject* k = PyUnicode_InternFromString(key);
    if (!k) py::pybind11_fail("Could not allocate string object!");
    return k;  // the reference is kept for the life of the process
}

PyObject* const* RecordTable::interned() const {
    if (!keys) {
        auto made = std::make_unique<PyObject*[]>(count);
        for (std::size_t i = 0; i < count; ++i) made[i] = intern(fields[i].key);
        keys = made.release();
    }
    return keys;
}

PyObject* text_item(wire::text t) {
    if (!t) {
        Py_INCREF(Py_None);
        return Py_None;
    }
    return PyUnicode_DecodeUTF8(t, static_cast<Py_ssize_t>(std::strlen(t)), nullptr);
}

py::object text_or_none(wire::text t) {
    PyObject* v = text_item(t);
    if (!v) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(v);
}

py::str decode(wire::text t) {
    PyObject* v = PyUnicode_DecodeUTF8(t, static_cast<Py_ssize_t>(std::strlen(t)), nullptr);
    if (!v) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(v);
}

py::str text_or_empty(wire::text t) { return decode(t ? t : ""); }

namespace {

PyObject* int32_item(std::int32_t v) { return PyLong_FromLong(v); }
PyObject* double_item(double v) { return PyFloat_FromDouble(v); }

// A list of the column's elements in array order; none when `read` is false
// or the count is zero or less.
template <class T>
PyObject* column_item(const char* at, bool read, PyObject* (*make)(T)) {
    wire::Column<T> c;
    std::memcpy(&c, at, sizeof c);
    const Py_ssize_t n = read && c.count > 0 ? static_cast<Py_ssize_t>(c.count) : 0;
    PyObject* l = PyList_New(n);
    if (!l) py::pybind11_fail("Could not allocate list object!");
    const char* items = reinterpret_cast<const char*>(c.items);
    for (Py_ssize_t i = 0; i < n; ++i) {
        T v;
        std::memcpy(&v, items + static_cast<std::size_t>(i) * sizeof(T), sizeof v);
        PyObject* e = make(v);
        if (!e) {
            Py_DECREF(l);
            return nullptr;
        }
        PyList_SET_ITEM(l, i, e);
    }
    return l;
}

PyObject* item(const Field& f, const char* base, Columns columns) {
    const char* at = base + f.offset;
    switch (f.kind) {
        case Kind::Text: {
            wire::text t;
            std::memcpy(&t, at, sizeof t);
            return text_item(t);
        }
        case Kind::Int32: {
            std::int32_t v;
            std::memcpy(&v, at, sizeof v);
            return int32_item(v);
        }
        case Kind::Double: {
            double v;
            std::memcpy(&v, at, sizeof v);
            return double_item(v);
        }
        case Kind::Flag:
            return PyBool_FromLong(*reinterpret_cast<const unsigned char*>(at) != 0);
        case Kind::Nested:
            return f.nested->convert(base, columns).release().ptr();
        case Kind::Int32Column:
            return column_item<std::int32_t>(at, columns == Columns::Read, int32_item);
        case Kind::DoubleColumn:
            return column_item<double>(at, columns == Columns::Read, double_item);
    }
    return nullptr;
}

}  // namespace

py::dict RecordTable::convert(const void* record, Columns columns) const {
    PyObject* const* k = interned();
    PyObject* d = _PyDict_NewPresized(static_cast<Py_ssize_t>(count));
    if (!d) py::pybind11_fail("Could not allocate dict object!");
    auto result = py::reinterpret_steal<py::dict>(d);
    const char* base = static_cast<const char*>(record);
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* v = item(fields[i], base, columns);
        if (!v) throw py::error_already_set();
        const int rc = PyDict_SetItem(d, k[i], v);
        Py_DECREF(v);
        if (rc != 0) throw py::error_already_set();
    }
    return result;
}

py::list RecordTable::convert_array(const void* items, std::int64_t n) const {
    const Py_ssize_t len = n > 0 ? static_cast<Py_ssize_t>(n) : 0;
    PyObject* l = PyList_New(len);
    if (!l) py::pybind11_fail("Could not allocate list object!");
    auto result = py::reinterpret_steal<py::list>(l);
    const char* base = static_cast<const char*>(items);
    for (Py_ssize_t i = 0; i < len; ++i)
        PyList_SET_ITEM(l, i, convert(base + static_cast<std::size_t>(i) * record_size).release().ptr());
    return result;
}

}  // namespace tvx::core
