// Everything here depends on the interpreter's version: the fast paths that
// read or write CPython's own objects, and the few private functions whose
// names or homes changed between releases. Each is chosen by PY_VERSION_HEX
// at compile time; a release whose internals are not known here gets the
// public C API (or no fast path), never a guess.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace tvx::compat {

// ---- Dictionaries filled from a per-table shape -----------------------------
//
// A record table keeps one dict holding its keys in order (each its own value).
// Every record's dict is a copy whose value slots are then overwritten in place.
// Only used after dict_has_shape() has checked a live dict against the layout.

#if PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x030B0000
// 3.9, 3.10 (Objects/dict-common.h): a header, dk_size indices of 1, 2, 4 or
// 8 bytes, then {hash, key, value} entries in insertion order.
inline constexpr bool kDictShape = true;
struct DictKeys {
    Py_ssize_t refcnt, size;
    void* lookup;
    Py_ssize_t usable, nentries;
};
struct DictEntry {
    Py_hash_t hash;
    PyObject* key;
    PyObject* value;
};
inline DictEntry* dict_entries(PyObject* d) {
    auto* k = reinterpret_cast<DictKeys*>(reinterpret_cast<PyDictObject*>(d)->ma_keys);
    const Py_ssize_t size = k->size;
    const Py_ssize_t width = size <= 0xff ? 1 : size <= 0xffff ? 2 : size <= 0xffffffffLL ? 4 : 8;
    return reinterpret_cast<DictEntry*>(reinterpret_cast<char*>(k) + sizeof(DictKeys) + size * width);
}
inline bool dict_keys_as_expected(PyObject* d, std::size_t n) {
    auto* k = reinterpret_cast<DictKeys*>(reinterpret_cast<PyDictObject*>(d)->ma_keys);
    return k->refcnt == 1 && k->nentries == static_cast<Py_ssize_t>(n) && k->size >= k->nentries &&
           (k->size & (k->size - 1)) == 0;
}
inline bool dict_entry_is(const DictEntry& e, PyObject* key) {
    return e.key == key && e.value == key && e.hash == PyObject_Hash(key);
}
#elif PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
// 3.11 to 3.13 (Include/internal/pycore_dict.h): a header, 2**dk_log2_index_bytes
// bytes of indices, then the entries; a table whose keys are all str is of
// the "unicode" kind, whose entries are {key, value}.
inline constexpr bool kDictShape = true;
struct DictKeys {
    Py_ssize_t refcnt;
    std::uint8_t log2_size, log2_index_bytes, kind;
    std::uint32_t version;
    Py_ssize_t usable, nentries;
};
struct DictEntry {
    PyObject* key;
    PyObject* value;
};
inline constexpr std::uint8_t kUnicodeKeys = 1;
inline DictEntry* dict_entries(PyObject* d) {
    auto* k = reinterpret_cast<DictKeys*>(reinterpret_cast<PyDictObject*>(d)->ma_keys);
    return reinterpret_cast<DictEntry*>(reinterpret_cast<char*>(k) + sizeof(DictKeys) +
                                        (std::size_t{1} << k->log2_index_bytes));
}
inline bool dict_keys_as_expected(PyObject* d, std::size_t n) {
    auto* k = reinterpret_cast<DictKeys*>(reinterpret_cast<PyDictObject*>(d)->ma_keys);
    return k->refcnt == 1 && k->kind == kUnicodeKeys && k->nentries == static_cast<Py_ssize_t>(n) &&
           k->log2_size < 8 * sizeof(Py_ssize_t) && (Py_ssize_t{1} << k->log2_size) >= k->nentries &&
           k->log2_index_bytes >= k->log2_size;
}
inline bool dict_entry_is(const DictEntry& e, PyObject* key) { return e.key == key && e.value == key; }
#else
inline constexpr bool kDictShape = false;
struct DictEntry {
    PyObject* value;
};
inline DictEntry* dict_entries(PyObject*) { return nullptr; }
inline bool dict_keys_as_expected(PyObject*, std::size_t) { return false; }
inline bool dict_entry_is(const DictEntry&, PyObject*) { return false; }
#endif

// Whether `d` holds exactly `keys`, each its own value, as entries 0..n-1 of
// its own combined key table.
inline bool dict_has_shape(PyObject* d, PyObject* const* keys, std::size_t n) {
    if constexpr (!kDictShape) {
        return false;
    } else {
        auto* dict = reinterpret_cast<PyDictObject*>(d);
        if (!PyDict_CheckExact(d) || dict->ma_values || dict->ma_used != static_cast<Py_ssize_t>(n) ||
            !dict_keys_as_expected(d, n))
            return false;
        const DictEntry* e = dict_entries(d);
        for (std::size_t i = 0; i < n; ++i)
            if (!dict_entry_is(e[i], keys[i])) return false;
        return true;
    }
}

// A new empty dict with room for `n` items.
inline PyObject* dict_presized(Py_ssize_t n) {
#if PY_VERSION_HEX < 0x030E0000
    return _PyDict_NewPresized(n);
#else
    (void)n;
    return PyDict_New();
#endif
}

// ---- The vectorcall entry of a built-in function ----------------------------

// Sets the entry of a built-in function object (pybind11's functions are);
// false where that is not possible and calls keep their usual road.
inline bool set_vectorcall(PyObject* fn, vectorcallfunc entry) {
#if PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x030E0000
    if (!PyCFunction_Check(fn)) return false;
    reinterpret_cast<PyCFunctionObject*>(fn)->vectorcall = entry;
    return true;
#else
    (void)fn;
    (void)entry;
    return false;
#endif
}

// What the interpreter does for a callable without a vectorcall entry: pack
// the arguments into a tuple and a keyword dict and call tp_call.
inline PyObject* call_through_tp_call(PyObject* callable, PyObject* const* args, Py_ssize_t n, PyObject* kwnames) {
#if PY_VERSION_HEX < 0x030D0000
    return _PyObject_MakeTpCall(PyThreadState_Get(), callable, args, n, kwnames);
#else
    // Private since 3.13; the same steps through the public API.
    ternaryfunc call = Py_TYPE(callable)->tp_call;
    if (!call) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(callable)->tp_name);
        return nullptr;
    }
    PyObject* tuple = PyTuple_New(n);
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(tuple, i, args[i]);
    }
    PyObject* kwargs = nullptr;
    const Py_ssize_t nk = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nk > 0) {
        kwargs = PyDict_New();
        for (Py_ssize_t i = 0; kwargs && i < nk; ++i)
            if (PyDict_SetItem(kwargs, PyTuple_GET_ITEM(kwnames, i), args[n + i]) != 0) Py_CLEAR(kwargs);
        if (!kwargs) {
            Py_DECREF(tuple);
            return nullptr;
        }
    }
    PyObject* out = nullptr;
    if (Py_EnterRecursiveCall(" while calling a Python object") == 0) {
        out = call(callable, tuple, kwargs);
        Py_LeaveRecursiveCall();
    }
    Py_DECREF(tuple);
    Py_XDECREF(kwargs);
    return out;
#endif
}

// ---- Threads, finalization, unraisable errors -------------------------------

inline bool is_finalizing() {
#if PY_VERSION_HEX < 0x030D0000
    return _Py_IsFinalizing() != 0;
#else
    return Py_IsFinalizing() != 0;
#endif
}

// This thread's state, or null; never fails.
inline PyThreadState* thread_state_unchecked() {
#if PY_VERSION_HEX < 0x030D0000
    return _PyThreadState_UncheckedGet();
#else
    return PyThreadState_GetUnchecked();
#endif
}

// From 3.13 os.fork() holds the interpreter's thread-state list lock across
// fork() itself, so the child's list is whole and a thread making its state
// simply waits; before that, the module has to keep such steps out of a fork.
// Whether the interpreter runs without its global lock.
inline constexpr bool free_threaded =
#if defined(Py_GIL_DISABLED)
    true;
#else
    false;
#endif

inline constexpr bool fork_guards_thread_states =
#if PY_VERSION_HEX >= 0x030D0000
    true;
#else
    false;
#endif

// Hands the pending error to sys.unraisablehook with err_msg "Exception
// ignored " + `where`. Before 3.13 `object` goes along as the hook's object;
// 3.13 has no public call taking both, so the hook's object is None there.
inline void write_unraisable(const char* where, PyObject* object) {
#if PY_VERSION_HEX < 0x030D0000
    _PyErr_WriteUnraisableMsg(where, object);
#else
    (void)object;
    PyErr_FormatUnraisable("Exception ignored %s", where);
#endif
}

}  // namespace tvx::compat
