// The order-number arguments of the batch cancels, with their own casters.
//
// Derivatives numbers: anything NumPy can turn into an array, as long as every
// value is exactly a 32-bit integer; a value that a cast to int32 would change
// (out of range, a fraction, NaN) is refused with ValueError instead of
// cancelling some other order. Equity numbers: any sequence of str or bytes
// that is not itself a str or bytes; a sequence that lies about its length,
// fails on an item or changes while read does not match.
#pragma once
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tvx::orders {
namespace py = pybind11;

struct OrderNumbers {
    // A C-contiguous int32 array: the caller's own when it already was one.
    py::object array;
};

struct OrderTexts {
    std::vector<std::string> items;
};

// Loads `src`; false when it does not match. Throws ValueError for a value
// that is not exactly a 32-bit integer, and MemoryError when a copy fails.
bool load_order_numbers(PyObject* src, OrderNumbers& out);

// The library takes a batch's count as a signed 32-bit value; a larger batch
// would arrive truncated: ValueError.
std::int32_t batch_count(std::size_t n);
bool load_order_texts(PyObject* src, OrderTexts& out);

}  // namespace tvx::orders

namespace pybind11::detail {

template <>
struct type_caster<tvx::orders::OrderNumbers> {
    PYBIND11_TYPE_CASTER(tvx::orders::OrderNumbers, const_name("numpy.ndarray[numpy.int32]"));
    bool load(handle src, bool) { return tvx::orders::load_order_numbers(src.ptr(), value); }
};

template <>
struct type_caster<tvx::orders::OrderTexts> {
    PYBIND11_TYPE_CASTER(tvx::orders::OrderTexts, const_name("List[str]"));
    bool load(handle src, bool) { return tvx::orders::load_order_texts(src.ptr(), value); }
};

}  // namespace pybind11::detail
