// Streams: subscriptions, the typed events of an operation made into
// payloads at flush, and their delivery on the one event worker.
#include "streams.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <mutex>
#include <set>

#include "../../backend/topics.h"
#include "json.h"
#include "platform.h"

namespace tvx::sandbox {

const char* topic_name(Topic t) {
    switch (t) {
        case Topic::BidOffer:
            return wire::topic::kBidOffer;
        case Topic::Info:
            return wire::topic::kInfo;
        case Topic::Candle:
            return wire::topic::kCandle;
        case Topic::DerivativesOrder:
            return wire::topic::kDerivativesOrder;
        case Topic::EquityOrder:
            return wire::topic::kEquityOrder;
    }
    return "";
}

namespace {

struct Call {
    const Delivery* d;
    wire::EventRecord* rec;
};

void deliver(Outlet& outlet, Delivery& d) {
    if (!d.last) {
        std::lock_guard<std::mutex> g(outlet.m);
        if (!outlet.live.count(d.handle)) return;  // unsubscribed while queued
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

std::atomic<std::uint64_t> g_next_handle{1};

}  // namespace

std::uint64_t new_handle() { return g_next_handle.fetch_add(1, std::memory_order_relaxed); }

Streams::Streams() : outlet_(std::make_shared<Outlet>()) {
    // Keyed by subscription: one whose receiver blocks holds back only itself.
    worker_ = std::make_shared<WorkQueue<Delivery>>(
        [o = outlet_](Delivery& d) { deliver(*o, d); },
        WorkQueue<Delivery>::Policy{[](const Delivery& d) { return d.handle; },
                                    [](const Delivery& d) { return d.market; }, kBacklog});
}

Streams::~Streams() {
    if (!ended_) end("the world was closed");
}

void Streams::add(Subscription s) {
    {
        std::lock_guard<std::mutex> g(outlet_->m);
        outlet_->live.insert(s.handle);
    }
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
    {
        std::lock_guard<std::mutex> g(outlet_->m);
        outlet_->live.erase(handle);
    }
    auto w = watching_.find({it->second.topic, it->second.subject});
    if (w != watching_.end() && --w->second == 0) watching_.erase(w);
    subs_.erase(it);
    if (cache_key.empty()) return "";
    for (const auto& [h, s] : subs_)
        if (s.cache_key == cache_key) return "";  // others still read that payload
    return cache_key;
}

bool Streams::watched(Topic t, const std::string& subject) const { return watching_.count({t, subject}) > 0; }

void Streams::end(const std::string& reason) {
    if (ended_) return;
    ended_ = true;
    noted_.clear();
    std::vector<Delivery> last;
    const std::string payload = json::Writer().begin_object().field("end", reason).end_object().take();
    for (const auto& [h, s] : subs_)
        last.push_back(Delivery{h, s.receiver, !s.cache_key.empty(), true, s.key, s.cache_key, payload, false});
    subs_.clear();
    watching_.clear();
    worker_->push_all(std::move(last));
    WorkQueue<Delivery>::retire(std::move(worker_));
}

void Streams::note(Topic t, const std::string& subject, int conflate_key, Maker make) {
    if (mode == StreamMode::Conflate && is_market(t))
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
            out.push_back(Delivery{h, s.receiver, !s.cache_key.empty(), false, s.key, s.cache_key, it->second,
                                   is_market(s.topic)});
        }
    }
    noted_.clear();
    if (!ended_) worker_->push_all(std::move(out));
}

void Streams::first_event(const Subscription& s, std::string payload) {
    if (payload.empty() || ended_) return;
    {
        // Live before its first event is queued: the worker may hand it on at once.
        std::lock_guard<std::mutex> g(outlet_->m);
        outlet_->live.insert(s.handle);
    }
    worker_->push(Delivery{s.handle, s.receiver, !s.cache_key.empty(), false, s.key, s.cache_key, std::move(payload),
                           is_market(s.topic)});
}

bool Streams::drain(int timeout_ms) { return ended_ || worker_->drain(timeout_ms); }
std::uint64_t Streams::delivered() { return ended_ ? 0 : worker_->handled(); }
std::size_t Streams::queued() { return ended_ ? 0 : worker_->pending(); }

void Streams::fork_prepare() {
    if (!ended_) worker_->lock_for_fork();
}
void Streams::fork_parent() {
    if (!ended_) worker_->unlock_in_parent();
}
void Streams::fork_child() {
    if (!ended_) worker_->reset_in_child();
    {
        // No thread of the parent is here to hold it.
        new (&outlet_->m) std::mutex;
        outlet_->live.clear();
    }
    subs_.clear();
    watching_.clear();
    noted_.clear();
}

}  // namespace tvx::sandbox
