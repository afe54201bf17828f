// Streams: subscriptions, the typed events of an operation made into
// payloads at flush, and their delivery on the one event worker.
#include "streams.h"

#include <algorithm>
#include <mutex>
#include <set>

#include "broker_state.h"
#include "platform.h"

namespace tvx::sandbox {

const char* topic_name(Topic t) {
    switch (t) {
        case Topic::BidOffer:
            return "bidofferv1";
        case Topic::Info:
            return "infov1";
        case Topic::Candle:
            return "cdlv1";
        case Topic::DerivativesOrder:
            return "orderdvv1";
        case Topic::EquityOrder:
            return "ordereqv1";
    }
    return "";
}

void Streams::add(Subscription s) {
    ++watching_[{s.topic, s.subject}];
    const std::uint64_t h = s.handle;
    subs_[h] = std::move(s);
}

const Subscription* Streams::find(std::uint64_t handle) const {
    auto it = subs_.find(handle);
    return it == subs_.end() ? nullptr : &it->second;
}

std::string Streams::remove(std::uint64_t handle) {
    auto it = subs_.find(handle);
    if (it == subs_.end()) return "";
    const std::string cache_key = it->second.cache_key;
    auto w = watching_.find({it->second.topic, it->second.subject});
    if (w != watching_.end() && --w->second == 0) watching_.erase(w);
    subs_.erase(it);
    if (cache_key.empty()) return "";
    for (const auto& [h, s] : subs_)
        if (s.cache_key == cache_key) return "";  // others still read that payload
    return cache_key;
}

bool Streams::watched(Topic t, const std::string& subject) const { return watching_.count({t, subject}) > 0; }

void Streams::clear() {
    subs_.clear();
    watching_.clear();
    noted_.clear();
    event_worker().let_go();
}

void Streams::note(Topic t, const std::string& subject, int conflate_key, Maker make) {
    const bool market = t == Topic::BidOffer || t == Topic::Info || t == Topic::Candle;
    if (mode == StreamMode::Conflate && market)
        for (Noted& n : noted_)
            if (n.topic == t && n.conflate_key == conflate_key && n.subject == subject) {
                n.make = std::move(make);  // the newer picture replaces the older in place
                return;
            }
    noted_.push_back(Noted{t, subject, conflate_key, std::move(make)});
}

void Streams::flush() {
    if (noted_.empty()) return;
    std::vector<Delivery> out;
    for (Noted& n : noted_) {
        std::map<std::string, std::string> made;  // by second subject
        for (const auto& [h, s] : subs_) {
            if (s.topic != n.topic || s.subject != n.subject) continue;
            auto it = made.find(s.subject2);
            if (it == made.end()) it = made.emplace(s.subject2, n.make(s.subject2)).first;
            if (it->second.empty()) continue;
            out.push_back(
                Delivery{h, s.receiver, !s.cache_key.empty(), s.key, s.cache_key, it->second, is_market(s.topic)});
        }
    }
    noted_.clear();
    event_worker().push_all(std::move(out));
}

void Streams::first_event(const Subscription& s, std::string payload) {
    if (payload.empty()) return;
    event_worker().push(Delivery{s.handle, s.receiver, !s.cache_key.empty(), s.key, s.cache_key, std::move(payload),
                                 is_market(s.topic)});
}

// ------------------------------------------------------------------ worker
namespace {

struct Call {
    const Delivery* d;
    wire::EventRecord* rec;
};

void deliver(Delivery& d) {
    BrokerState& b = broker();
    {
        std::lock_guard<std::mutex> g(b.lock);
        if (!b.streams.alive(d.handle)) return;  // unsubscribed while queued
    }
    wire::EventRecord rec{};
    rec.cache = d.cache ? 1 : 0;
    rec.subscription_key = d.key.c_str();
    rec.cache_key = d.cache ? d.cache_key.c_str() : nullptr;
    rec.payload = d.payload.c_str();
    Call c{&d, &rec};
    // The receiver reports a failed callback by throwing; the stream goes on.
    platform::call_catching(
        [](void* p) {
            auto* c = static_cast<Call*>(p);
            c->d->receiver(c->rec);
        },
        &c);
}

}  // namespace

WorkQueue<Delivery>& event_worker() {
    // Keyed by subscription: one whose receiver blocks holds back only itself.
    static auto* q = new WorkQueue<Delivery>(  // the worker outlives static destruction
        deliver, WorkQueue<Delivery>::Policy{[](const Delivery& d) { return d.handle; },
                                             [](const Delivery& d) { return d.market; }, kBacklog});
    return *q;
}

bool Streams::drain(int timeout_ms) { return event_worker().drain(timeout_ms); }
void Streams::drop_queued() { event_worker().clear(); }
std::uint64_t Streams::delivered() { return event_worker().handled(); }
std::size_t Streams::queued() { return event_worker().pending(); }

void Streams::fork_prepare() { event_worker().lock_for_fork(); }
void Streams::fork_parent() { event_worker().unlock_in_parent(); }
void Streams::fork_child() {
    event_worker().reset_in_child();
    subs_.clear();
    watching_.clear();
    noted_.clear();
}

}  // namespace tvx::sandbox
