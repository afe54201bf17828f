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

// Both markets' error records begin alike, so one nested table reads either.
static_assert(offsetof(DerivativesOrderActionError, code) == offsetof(EquityOrderActionError, code) &&
              offsetof(DerivativesOrderActionError, message) == offsetof(EquityOrderActionError, message));
const RecordTable error_response{sizeof(DerivativesOrderActionError),
                                 {
                                     TVX_FIELD(DerivativesOrderActionError, code),
                                     TVX_FIELD(DerivativesOrderActionError, message),
                                 }};
template <class E>
const RecordTable action_error{sizeof(E),
                               {
                                   TVX_NESTED("error_response", error_response),
                                   TVX_FIELD(E, http_status),
                                   TVX_FIELD(E, http_status_code),
                                   TVX_FIELD(E, order_no),
                               }};

// Derivatives order numbers as count consecutive int32 values, read from the
// argument's own array (the caller's, when it already was C-contiguous int32).
// Taken only after the context has been read: a context whose item access
// resizes or retypes the caller's array would otherwise leave us its old
// memory. Conversion again, for an array that no longer is int32 in order.
class NumberBatch {
   public:
    explicit NumberBatch(const OrderNumbers& numbers) : array_(numbers.array) {
        using py::detail::npy_api;
        const auto* a = py::detail::array_proxy(array_.ptr());
        constexpr int in_order = npy_api::NPY_ARRAY_C_CONTIGUOUS_ | npy_api::NPY_ARRAY_ALIGNED_;
        if ((a->flags & in_order) != in_order ||
            !npy_api::get().PyArray_EquivTypes_(a->descr, py::dtype::of<std::int32_t>().ptr())) {
            OrderNumbers again;
            if (!load_order_numbers(array_.ptr(), again))
                throw py::value_error("the order numbers changed during the call");
            array_ = std::move(again.array);
        }
        const auto view = py::reinterpret_borrow<py::array_t<std::int32_t>>(array_);
        count_ = batch_count(static_cast<std::size_t>(view.size()));
        items_ = view.data();
    }

    const std::int32_t* items() const { return items_; }
    std::int32_t count() const { return count_; }

   private:
    py::object array_;
    std::int32_t count_;
    const std::int32_t* items_;
};

// Equity order numbers as pointers to the converted items' own bytes, which
// live for the call as the batch array itself does; an empty
// batch is a null address.
class TextBatch {
   public:
    explicit TextBatch(const OrderTexts& numbers) : count_(batch_count(numbers.items.size())) {
        pointers_.reserve(numbers.items.size());
        for (const std::string& n : numbers.items) pointers_.push_back(n.c_str());
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
    return status_envelope(
        core::call_library(context, op::cancel_investor_derivatives_order, account_no, order_no, &extra));
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
    // The context first: reading it may run Python code (see NumberBatch).
    const wire::ConnectionConfig cfg = build_config(context);
    const NumberBatch batch(order_nos);
    return list_envelope(core::call_configured(cfg, op::cancel_investor_derivatives_orders, account_no, batch.items(),
                                               batch.count(), a4),
                         action_error<DerivativesOrderActionError>);
}

py::dict cancel_investor_equity_orders(const py::dict& context, Str account_no, const OrderTexts& order_nos, Str a4) {
    const TextBatch batch(order_nos);
    return list_envelope(
        core::call_library(context, op::cancel_investor_equity_orders, account_no, batch.items(), batch.count(), a4),
        action_error<EquityOrderActionError>);
}

py::dict cancel_marketrep_derivatives_orders(const py::dict& context, Str account_no, const OrderNumbers& order_nos) {
    // The context first: reading it may run Python code (see NumberBatch).
    const wire::ConnectionConfig cfg = build_config(context);
    const NumberBatch batch(order_nos);
    return list_envelope(
        core::call_configured(cfg, op::cancel_marketrep_derivatives_orders, account_no, batch.items(), batch.count()),
        action_error<DerivativesOrderActionError>);
}

py::dict cancel_marketrep_equity_orders(const py::dict& context, Str account_no, const OrderTexts& order_nos) {
    const TextBatch batch(order_nos);
    return list_envelope(
        core::call_library(context, op::cancel_marketrep_equity_orders, account_no, batch.items(), batch.count()),
        action_error<EquityOrderActionError>);
}

}  // namespace tvx::orders
