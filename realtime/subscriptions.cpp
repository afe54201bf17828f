#include "subscriptions.h"

#include <stdexcept>

#include "../backend/operations.h"
#include "../backend/topics.h"
#include "../core/context.h"
#include "../core/frame.h"
#include "../core/text_pool.h"
#include "registry.h"

namespace tvx::realtime {
namespace {
using core::text_copy;

// The receivers the library calls, on any thread. No error unwinds into the
// library's frames; only a thread's forced exit (a finalizing interpreter
// ends a thread that asks for its lock) goes through, as it must.
void receive(const wire::EventRecord* event, bool caching) {
    if (!event || !event->subscription_key) return;
    try {
        // The record and its texts stay put for the whole call, so the bytes
        // are read in place; what outlives the call (a cached payload) is copied.
        const std::string_view key(event->subscription_key);
        const std::string_view payload(event->payload ? event->payload : "");
        if (caching && event->cache && event->cache_key) {
            const std::string_view cache_key(event->cache_key);
            deliver(key, payload, &cache_key);
        } else {
            deliver(key, payload, nullptr);
        }
    } catch (const std::exception&) {
        // Not catch (...): that would also stop a thread's forced unwinding.
    }
}

void caching_receiver(const wire::EventRecord* event) { receive(event, true); }
void plain_receiver(const wire::EventRecord* event) { receive(event, false); }

template <class Op, class... Subjects>
std::string subscribe(const py::dict& context, Op& op, const char* topic, bool caching, Callable callable,
                      const Subjects&... subjects) {
    wire::ConnectionConfig cfg;
    try {
        cfg = core::build_config(context);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_MemoryError)) throw;  // as everywhere else
        throw std::runtime_error(e.what());
    }
    const char* daemon = text_copy(core::kDaemonType);
    const char* topic_text = text_copy(topic);
    const char* subject_texts[] = {text_copy(subjects)...};
    const std::string cache_key = caching ? std::string(topic) + "," + subject_texts[0] : std::string();

    auto s = std::make_shared<Subscription>(std::move(callable));
    const std::string key = open(s);
    const char* key_text;
    try {
        key_text = text_copy(key);
    } catch (...) {
        abandon(key, s);
        release(s);
        throw;
    }

    const wire::EventReceiver receiver = caching ? &caching_receiver : &plain_receiver;
    const wire::SubscribeResult r = [&] {
        if constexpr (sizeof...(Subjects) == 1)
            return op(daemon, cfg.channel_id, topic_text, subject_texts[0], receiver, key_text);
        else
            return op(daemon, cfg.channel_id, topic_text, subject_texts[0], subject_texts[1], receiver, key_text);
    }();
    if (!r.success) {
        abandon(key, s);
        release(s);
        core::raise_refused(r.error);
    }
    accept(key, r.handle);
    if (caching)
        if (auto payload = cached(cache_key)) replay(key, s, *payload);
    release(s);  // the callable may have ended its own subscription meanwhile
    return key;
}

}  // namespace

std::string subscribe_bid_offer(const py::dict& context, const std::string& subject, Callable callable) {
    return subscribe(context, op::subscribe_bid_offer, wire::topic::kBidOffer, true, std::move(callable), subject);
}

std::string subscribe_price_info(const py::dict& context, const std::string& subject, Callable callable) {
    return subscribe(context, op::subscribe_price_info, wire::topic::kInfo, true, std::move(callable), subject);
}

std::string subscribe_candlestick(const py::dict& context, const std::string& subject, const std::string& subject2,
                                  Callable callable) {
    return subscribe(context, op::subscribe_candlestick, wire::topic::kCandle, false, std::move(callable), subject,
                     subject2);
}

std::string subscribe_derivatives_order(const py::dict& context, const std::string& subject, Callable callable) {
    return subscribe(context, op::subscribe_derivatives_order, wire::topic::kDerivativesOrder, false,
                     std::move(callable), subject);
}

std::string subscribe_equity_order(const py::dict& context, const std::string& subject, Callable callable) {
    return subscribe(context, op::subscribe_equity_order, wire::topic::kEquityOrder, false, std::move(callable),
                     subject);
}

void unsubscribe(const std::string& channel, const std::string& key) {
    const char* daemon = text_copy(core::kDaemonType);
    const char* channel_text = text_copy(channel);
    const std::uint64_t handle = handle_of(key).value_or(0);
    const wire::UnsubscribeResult r = op::unsubscribe(daemon, channel_text, handle);
    if (r.internal_error) core::raise_internal(r.internal_error);
    close(key, r.remove_cache ? r.cache_key : nullptr);
}

bool is_subscribe(const std::string& key) { return handle_of(key).has_value(); }

}  // namespace tvx::realtime
