// Streams: the realtime subscriptions, and the events an operation caused
// turned into payloads when the operation ends (flush). The components report
// what happened as typed events (a book changed, a trade printed, an order
// changed) carrying the picture at that moment; nothing is formatted unless
// someone watches. Delivery runs on the library's one event worker, holding
// no broker lock: a receiver takes the interpreter lock, whose holder may be
// waiting for the broker.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "event_sink.h"
#include "sandbox.h"
#include "work_queue.h"

namespace tvx::sandbox {

struct Subscription {
    std::uint64_t handle;
    Topic topic;
    std::string key, subject, subject2, channel, user, cache_key;
    wire::EventReceiver receiver;
};

// One delivery: a payload for one subscription.
struct Delivery {
    std::uint64_t handle = 0;
    wire::EventReceiver receiver = nullptr;
    bool cache = false;
    bool last = false;  // the stream's final event (its world ended): delivered though the stream is gone
    std::string key, cache_key, payload;
    bool market = false;  // a market picture: a newer one may stand in for it (see kBacklog)
};

// The event backlog's bound: once this many deliveries wait, a subscription
// that still has a market picture waiting is behind, and its new picture
// replaces the newest one waiting instead of queueing (it gets the newest
// picture, later). Order events are never merged or dropped.
inline constexpr std::size_t kBacklog = 16384;

// What the delivery worker needs of the streams, shared with it: a worker
// may outlive its world while it hands on the last events.
struct Outlet {
    std::mutex m;
    std::set<std::uint64_t> live;  // subscriptions still open
};

// Which pictures a flush delivers: every one (the default), or only the last
// of each instrument and topic (conflate).
enum class StreamMode { Every, Conflate };

// A handle no world has given before: handles name one subscription in the process.
std::uint64_t new_handle();

class Streams final : public EventSink {
   public:
    Streams();
    ~Streams();
    Streams(const Streams&) = delete;
    Streams& operator=(const Streams&) = delete;

    // Subscriptions.
    void add(Subscription s);
    // The subscription, or null.
    const Subscription* find(std::uint64_t handle) const;
    // Removes it; the cache key the module should forget (the last reader of
    // a cached topic left), or "".
    std::string remove(std::uint64_t handle);
    bool alive(std::uint64_t handle) const { return subs_.count(handle) > 0; }
    bool watched(Topic t, const std::string& subject) const override;
    std::size_t count() const { return subs_.size(); }
    // Ends every stream: each gets, after the events already queued for it,
    // one last payload {"end": reason}; nothing follows. The worker goes once it has
    // handed them on, without anyone waiting for it.
    void end(const std::string& reason);
    bool ended() const { return ended_; }

    // An event of the current operation: its picture, captured now by
    // `make`, becomes a payload at flush (per second subject for candles).
    // Callers note only what someone watches (see watched).
    void note(Topic t, const std::string& subject, int conflate_key, Maker make) override;

    // Hands everything noted since the last flush to the worker, in order.
    void flush();
    // Whether the current operation noted anything.
    bool noted() const { return !noted_.empty(); }
    // The current picture for a newcomer, delivered after its subscribe returns.
    void first_event(const Subscription& s, std::string payload);

    StreamMode mode = StreamMode::Every;

    // The worker (one per world).
    // Null once the streams ended.
    std::shared_ptr<WorkQueue<Delivery>> worker() const { return worker_; }
    bool drain(int timeout_ms);
    std::uint64_t delivered();
    std::size_t queued();

    // Fork: hold the worker's lock across fork; the child starts with no
    // worker, nothing queued and no subscription (its streams are the
    // parent's).
    void fork_prepare();
    void fork_parent();
    void fork_child();

   private:
    struct Noted {
        Topic topic;
        std::string subject;
        int conflate_key;
        Maker make;
    };
    std::shared_ptr<Outlet> outlet_;
    std::shared_ptr<WorkQueue<Delivery>> worker_;
    bool ended_ = false;
    std::map<std::uint64_t, Subscription> subs_;
    std::map<std::pair<Topic, std::string>, int> watching_;
    std::vector<Noted> noted_;
};

}  // namespace tvx::sandbox
