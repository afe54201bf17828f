// Field-to-item rules and record tables.
//
// A record converter is data: a table of (key, field) entries in the order the
// dictionary receives its keys, read by one loop. Keys are interned once per
// process on first use.
#pragma once
#include <pybind11/pybind11.h>

#include <cstddef>
#include <climits>
#include <cstdint>
#include <initializer_list>
#include <type_traits>

#include "../backend/records.h"

namespace tvx::core {
namespace py = pybind11;

// Int32Column, DoubleColumn: a wire::Column of packed elements, becoming a list.
enum class Kind : std::uint8_t { Text, Int32, Double, Flag, Nested, Int32Column, DoubleColumn };

struct RecordTable;

struct Field {
    const char* key;
    Kind kind;
    std::uint32_t offset;
    const RecordTable* nested;  // Kind::Nested: a dictionary built from the same record
};

template <class T>
constexpr Kind kind_of() {
    if constexpr (std::is_same_v<T, wire::text>)
        return Kind::Text;
    else if constexpr (std::is_same_v<T, std::int32_t>)
        return Kind::Int32;
    else if constexpr (std::is_same_v<T, double>)
        return Kind::Double;
    else if constexpr (std::is_same_v<T, wire::flag>)
        return Kind::Flag;
    else if constexpr (std::is_same_v<T, wire::Column<std::int32_t>>)
        return Kind::Int32Column;
    else if constexpr (std::is_same_v<T, wire::Column<double>>)
        return Kind::DoubleColumn;
    else
        static_assert(sizeof(T) == 0, "field type without an item rule");
}

// TVX_FIELD(Record, member): the member's name is its key.
#define TVX_FIELD(R, m) \
    ::tvx::core::Field { #m, ::tvx::core::kind_of<decltype(R::m)>(), offsetof(R, m), nullptr }
#define TVX_NESTED(key, table) \
    ::tvx::core::Field { key, ::tvx::core::Kind::Nested, 0, &(table) }

// Whether column fields are read, or come out as empty lists (a refused
// request's columns are not to be trusted).
enum class Columns : std::uint8_t { Read, Empty };

class TextReuse;

struct RecordTable {
    RecordTable(std::size_t record_size, std::initializer_list<Field> fields);
    RecordTable(const RecordTable&) = delete;
    RecordTable& operator=(const RecordTable&) = delete;

    std::size_t record_size;
    const Field* fields;
    std::size_t count;

    // New dictionary for the record at `record`; throws error_already_set.
    py::dict convert(const void* record, Columns columns = Columns::Read) const;
    // New list of converted items, `count` <= 0 meaning none.
    py::list convert_array(const void* items, std::int64_t count) const;

    struct Plan;

   private:
    // How the loop reads the table, made on first use under the interpreter lock.
    mutable const Plan* plan_ = nullptr;
    const Plan& plan() const;
    py::dict build(const char* record, Columns columns, TextReuse* reuse) const;
};

// Item rules for single values.
PyObject* text_item(wire::text t);  // new reference: str, or None for null; null on error
py::object text_or_none(wire::text t);
py::str text_or_empty(wire::text t);
py::str decode(wire::text t);  // non-null text

// Short paths for the exact built-in types: true with the value, false for
// anything the general conversion must decide (other types, out of range).
inline bool exact_int32(PyObject* o, std::int32_t& out) {
    if (!PyLong_CheckExact(o)) return false;
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(o, &overflow);
    if (overflow || v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<std::int32_t>(v);
    return true;
}
inline bool exact_bool(PyObject* o, bool& out) {
    if (o != Py_True && o != Py_False) return false;
    out = o == Py_True;
    return true;
}

// A list of `count` int32 values (none for zero or less).
py::list int32_list(const std::int32_t* items, std::int64_t count);

// An interned key string for the life of the process.
PyObject* intern(const char* key);

}  // namespace tvx::core
