#include <cstdint>
#include <limits>
#include <string>

#include "../backend/operations.h"
#include "../core/frame.h"
#include "orders.h"

namespace tvx::orders {
namespace {
using namespace tvx::core;
using wire::DerivativesOrderActionError;
using wire::EquityOrderActionError;

const RecordTable derivatives_error_response{sizeof(DerivativesOrderActionError), {
    TVX_FIELD(DerivativesOrderActionError, code),
    TVX_FIELD(DerivativesOrderActionError, message),
}};
const RecordTable derivatives_action_error{sizeof(DerivativesOrderActionError), {
    TVX_NESTED("error_response", derivatives_error_response),
    TVX_FIELD(DerivativesOrderActionError, http_status),
    TVX_FIELD(DerivativesOrderActionError, http_status_code),
    TVX_FIELD(DerivativesOrderActionError, order_no),
}};

const RecordTable equity_error_response{sizeof(EquityOrderActionError), {
    TVX_FIELD(EquityOrderActionError, code),
    TVX_FIELD(EquityOrderActionError, message),
}};
const RecordTable equity_action_error{sizeof(EquityOrderActionError), {
    TVX_NESTED("error_response", equity_error_response),
    TVX_FIELD(EquityOrderActionError, http_status),
    TVX_FIELD(EquityOrderActionError, http_status_code),
    TVX_FIELD(EquityOrderActionError, order_no),
}};

// The library takes the count as a signed 32-bit value; a larger batch would
// arrive truncated.
std::int32_t batch_count(std::size_t n) {
    constexpr auto limit = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    if (n > limit)
        throw py::value_error("a batch cancel takes at most " + std::to_string(limit) + " order numbers, got " +
                              std::to_string(n));
    return static_cast<std::int32_t>(n);
}

// Derivatives order numbers as count consecutive int32 values, exported from
// their array until the object ends. A contiguous int32 array is used in place;
// any other layout is copied into one first.
class NumberBatch {
   public:
    explicit NumberBatch(const OrderNumbers& numbers)
        : count_(batch_count(static_cast<std::size_t>(numbers.size()))),
          array_(numbers.flags() & py::array::c_style ? py::array(numbers) : py::array(Contiguous(numbers))),
          view_(array_.request()) {}

    const std::int32_t* items() const { return static_cast<const std::int32_t*>(view_.ptr); }
    std::int32_t count() const { return count_; }

   private:
    using Contiguous = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;
    std::int32_t count_;
    py::array array_;
    py::buffer_info view_;
};

// Equity order numbers as pointers to the converted items' own bytes; an empty
// batch is a null address.
class TextBatch {
   public:
    explicit TextBatch(const OrderTexts& numbers) : count_(batch_count(numbers.size())) {
        pointers_.reserve(numbers.size());
        for (const std::string& n : numbers) pointers_.push_back(n.c_str());
    }

    const wire::text* items() const { return pointers_.empty() ? nullptr : pointers_.data(); }
    std::int32_t count() const { return count_; }

   private:
    std::int32_t count_;
    std::vector<wire::text> pointers_;
};

}  // namespace

py::dict cancel_investor_derivatives_order(const py::dict& context, Str account_no, std::int32_t order_no, Str a4) {
    wire::InvestorTextRecord extra{};
    put(extra.arg4, a4);
    return status_envelope(core::call_library(context, op::cancel_investor_derivatives_order, account_no, order_no, &extra));
}

py::dict cancel_investor_equity_order(const py::dict& context, Str account_no, Str order_no, Str a4) {
    wire::InvestorTextRecord extra{};
    put(extra.arg4, a4);
    return status_envelope(core::call_library(context, op::cancel_investor_equity_order, account_no, order_no, &extra));
}

py::dict cancel_marketrep_derivatives_order(const py::dict& context, Str account_no, std::int32_t order_no) {
    return status_envelope(core::call_library(context, op::cancel_marketrep_derivatives_order, account_no, order_no));
}

py::dict cancel_marketrep_equity_order(const py::dict& context, Str account_no, Str order_no) {
    return status_envelope(core::call_library(context, op::cancel_marketrep_equity_order, account_no, order_no));
}

py::dict cancel_investor_derivatives_orders(const py::dict& context, Str account_no, const OrderNumbers& order_nos,
                                            Str a4) {
    const NumberBatch batch(order_nos);
    return list_envelope(core::call_library(context, op::cancel_investor_derivatives_orders, account_no, batch.items(),
                                batch.count(), a4),
                         derivatives_action_error);
}

py::dict cancel_investor_equity_orders(const py::dict& context, Str account_no, const OrderTexts& order_nos, Str a4) {
    const TextBatch batch(order_nos);
    return list_envelope(core::call_library(context, op::cancel_investor_equity_orders, account_no, batch.items(), batch.count(),
                                a4),
                         equity_action_error);
}

py::dict cancel_marketrep_derivatives_orders(const py::dict& context, Str account_no, const OrderNumbers& order_nos) {
    const NumberBatch batch(order_nos);
    return list_envelope(core::call_library(context, op::cancel_marketrep_derivatives_orders, account_no, batch.items(),
                                batch.count()),
                         derivatives_action_error);
}

py::dict cancel_marketrep_equity_orders(const py::dict& context, Str account_no, const OrderTexts& order_nos) {
    const TextBatch batch(order_nos);
    return list_envelope(core::call_library(context, op::cancel_marketrep_equity_orders, account_no, batch.items(),
                                batch.count()),
                         equity_action_error);
}

}  // namespace tvx::orders
