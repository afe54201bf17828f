#include "convert.h"

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "pycompat.h"

namespace tvx::core {

RecordTable::RecordTable(std::size_t size, std::initializer_list<Field> list) : record_size(size), count(list.size()) {
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

// Texts that repeat within one result (accounts, sides, statuses, symbols)
// are decoded once and the one immutable str is shared by every record that
// carries them. Per text field a small table keyed by a cheap hash of the
// bytes, every hit confirmed by a full compare; a field whose texts seldom
// repeat (order numbers, times) stops looking after a trial. Only decoded
// texts are kept, so invalid UTF-8 fails on every occurrence.
class TextReuse {
   public:
    explicit TextReuse(std::size_t fields)
        : fields_(new Field[fields]()), slots_(new Slot[fields * kSlots]()), count_(fields) {}
    TextReuse(const TextReuse&) = delete;
    TextReuse& operator=(const TextReuse&) = delete;
    ~TextReuse() {
        for (std::size_t i = 0; i < count_ * kSlots; ++i) Py_XDECREF(slots_[i].str);
    }

    // New reference, or null with the decoding error set. `t` is not null.
    PyObject* get(std::size_t field, wire::text t) {
        const std::size_t n = std::strlen(t);
        Field& f = fields_[field];
        // Empty and one-byte texts come from the interpreter's own singletons.
        if (f.off || n <= 1) return PyUnicode_DecodeUTF8(t, static_cast<Py_ssize_t>(n), nullptr);
        if (++f.looks == kTrial && f.hits * 4 < kTrial) f.off = true;
        const std::uint64_t h = hash(t, n);
        const unsigned at = static_cast<unsigned>(h >> 58);  // kSlots == 64
        Slot* s = slots_.get() + field * kSlots;
        for (unsigned probe : {at, at ^ 1u}) {
            const Slot& c = s[probe];
            if (c.str && c.hash == h && c.size == n && (c.bytes == t || std::memcmp(c.bytes, t, n) == 0)) {
                ++f.hits;
                Py_INCREF(c.str);
                return c.str;
            }
        }
        PyObject* v = PyUnicode_DecodeUTF8(t, static_cast<Py_ssize_t>(n), nullptr);
        if (!v) return nullptr;
        // The newest text takes the first slot; the one it displaces moves to the second.
        Py_XDECREF(s[at ^ 1u].str);
        s[at ^ 1u] = s[at];
        Py_INCREF(v);
        s[at] = Slot{t, n, h, v};
        return v;
    }

   private:
    static constexpr unsigned kSlots = 64;
    static constexpr std::uint32_t kTrial = 64;

    struct Slot {
        const char* bytes;  // the library's text, valid while the result is converted
        std::size_t size;
        std::uint64_t hash;
        PyObject* str;
    };
    struct Field {
        std::uint32_t looks = 0, hits = 0;
        bool off = false;
    };

    static std::uint64_t hash(const char* t, std::size_t n) {
        std::uint64_t a = 0, b = 0;
        if (n >= 8) {
            std::memcpy(&a, t, 8);
            std::memcpy(&b, t + n - 8, 8);
        } else if (n >= 4) {
            std::uint32_t x, y;
            std::memcpy(&x, t, 4);
            std::memcpy(&y, t + n - 4, 4);
            a = x;
            b = y;
        } else {
            a = static_cast<unsigned char>(t[0]) | static_cast<std::uint64_t>(static_cast<unsigned char>(t[1])) << 8 |
                static_cast<std::uint64_t>(static_cast<unsigned char>(t[n - 1])) << 16;
        }
        std::uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ ((b + n) * 0xC2B2AE3D27D4EB4Full);
        return h ^ (h >> 31) * 0x94D049BB133111EBull;
    }

    std::unique_ptr<Field[]> fields_;
    std::unique_ptr<Slot[]> slots_;  // kSlots per field, one block
    std::size_t count_;
};

struct RecordTable::Plan {
    struct Step {
        Kind kind;
        std::uint32_t offset;
        std::uint32_t text_slot;
        const RecordTable* nested;
    };
    std::unique_ptr<Step[]> steps;
    std::unique_ptr<PyObject*[]> keys;
    std::size_t texts = 0;
    bool containers = false;  // some value is a dict or list, which the collector must see
    // The keys in order, each its own value: every record's dict is a copy
    // whose entries are then overwritten in place, instead of being inserted
    // one key at a time. Null when this interpreter's dicts are not laid out
    // as expected; the loop then inserts.
    PyObject* shape = nullptr;
};

const RecordTable::Plan& RecordTable::plan() const {
    if (plan_) return *plan_;
    auto p = std::make_unique<Plan>();
    p->steps.reset(new Plan::Step[count]);
    p->keys.reset(new PyObject*[count]);
    for (std::size_t i = 0; i < count; ++i) {
        const Field& f = fields[i];
        p->keys[i] = intern(f.key);
        p->steps[i] =
            Plan::Step{f.kind, f.offset, f.kind == Kind::Text ? static_cast<std::uint32_t>(p->texts++) : 0, f.nested};
        p->containers = p->containers || (f.kind != Kind::Text && f.kind != Kind::Int32 && f.kind != Kind::Double &&
                                          f.kind != Kind::Flag);
    }
    if (compat::kDictShape && count > 0) {
        PyObject* shape = compat::dict_presized(static_cast<Py_ssize_t>(count));
        if (!shape) py::pybind11_fail("Could not allocate dict object!");
        for (std::size_t i = 0; i < count; ++i)
            if (PyDict_SetItem(shape, p->keys[i], p->keys[i]) != 0) {
                Py_DECREF(shape);
                throw py::error_already_set();
            }
        PyObject* copy = PyDict_Copy(shape);
        if (!copy) PyErr_Clear();
        const bool usable = copy && !PyObject_GC_IsTracked(shape) && !PyObject_GC_IsTracked(copy) &&
                            compat::dict_has_shape(shape, p->keys.get(), count) &&
                            compat::dict_has_shape(copy, p->keys.get(), count);
        Py_XDECREF(copy);
        if (usable)
            p->shape = shape;  // kept for the life of the process, like the keys
        else
            Py_DECREF(shape);
    }
    plan_ = p.release();
    return *plan_;
}

namespace {

// A library that gives a count without items broke its contract; one
// comparison keeps that from being read as an array at address zero.
void check_items(const void* items, std::int64_t count) {
    if (!items && count > 0)
        throw std::runtime_error("Internal Error: the library gave " + std::to_string(count) +
                                 " items but no address for them");
}

PyObject* int32_item(std::int32_t v) { return PyLong_FromLong(v); }
PyObject* double_item(double v) { return PyFloat_FromDouble(v); }

// A list of `count` packed elements in array order (none for zero or less).
template <class T>
PyObject* packed_list(const void* elements, std::int64_t count, PyObject* (*make)(T)) {
    check_items(elements, count);
    const Py_ssize_t n = count > 0 ? static_cast<Py_ssize_t>(count) : 0;
    PyObject* l = PyList_New(n);
    if (!l) py::pybind11_fail("Could not allocate list object!");
    const char* items = static_cast<const char*>(elements);
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

// A column's elements; none when `read` is false.
template <class T>
PyObject* column_item(const char* at, bool read, PyObject* (*make)(T)) {
    wire::Column<T> c;
    std::memcpy(&c, at, sizeof c);
    return packed_list(c.items, read ? c.count : 0, make);
}

}  // namespace

py::list int32_list(const std::int32_t* items, std::int64_t count) {
    PyObject* l = packed_list(items, count, int32_item);
    if (!l) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(l);
}

py::dict RecordTable::build(const char* base, Columns columns, TextReuse* reuse) const {
    const Plan& p = plan();
    const Plan::Step* steps = p.steps.get();
    // New reference, or null with the Python error set.
    auto item = [&](const Plan::Step& s) -> PyObject* {
        const char* at = base + s.offset;
        switch (s.kind) {
            case Kind::Text: {
                wire::text t;
                std::memcpy(&t, at, sizeof t);
                if (t && reuse) return reuse->get(s.text_slot, t);
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
                return s.nested->build(base, columns, nullptr).release().ptr();
            case Kind::Int32Column:
                return column_item<std::int32_t>(at, columns == Columns::Read, int32_item);
            case Kind::DoubleColumn:
                return column_item<double>(at, columns == Columns::Read, double_item);
        }
        return nullptr;
    };

    if (p.shape) {
        PyObject* d = PyDict_Copy(p.shape);
        if (!d) py::pybind11_fail("Could not allocate dict object!");
        auto result = py::reinterpret_steal<py::dict>(d);
        compat::DictEntry* e = compat::dict_entries(d);
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* v = item(steps[i]);
            if (!v) throw py::error_already_set();
            PyObject* placeholder = e[i].value;
            e[i].value = v;
            Py_DECREF(placeholder);
        }
        if (p.containers) PyObject_GC_Track(d);
        return result;
    }

    PyObject* d = compat::dict_presized(static_cast<Py_ssize_t>(count));
    if (!d) py::pybind11_fail("Could not allocate dict object!");
    auto result = py::reinterpret_steal<py::dict>(d);
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* v = item(steps[i]);
        if (!v) throw py::error_already_set();
        const int rc = PyDict_SetItem(d, p.keys[i], v);
        Py_DECREF(v);
        if (rc != 0) throw py::error_already_set();
    }
    return result;
}

py::dict RecordTable::convert(const void* record, Columns columns) const {
    return build(static_cast<const char*>(record), columns, nullptr);
}

namespace {
constexpr Py_ssize_t kShareFrom = 8;
}

py::list RecordTable::convert_array(const void* items, std::int64_t n) const {
    check_items(items, n);
    const Py_ssize_t len = n > 0 ? static_cast<Py_ssize_t>(n) : 0;
    PyObject* l = PyList_New(len);
    if (!l) py::pybind11_fail("Could not allocate list object!");
    auto result = py::reinterpret_steal<py::list>(l);
    const Plan& p = plan();
    // Sharing pays once texts repeat often enough to repay its tables.
    std::unique_ptr<TextReuse> reuse;
    if (len >= kShareFrom && p.texts > 0) reuse = std::make_unique<TextReuse>(p.texts);
    const char* base = static_cast<const char*>(items);
    for (Py_ssize_t i = 0; i < len; ++i)
        PyList_SET_ITEM(
            l, i, build(base + static_cast<std::size_t>(i) * record_size, Columns::Read, reuse.get()).release().ptr());
    return result;
}

}  // namespace tvx::core
