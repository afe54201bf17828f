#include "broker_realtime.h"

#include <map>
#include <mutex>
#include <string>

#include "broker_state.h"

namespace tvx::sandbox {
namespace {

struct Stream {
    std::string channel, topic, subject, subject2, key;
    EventReceiver receiver;
    bool caching;
};

struct Streams {
    std::mutex lock;
    std::map<std::uint64_t, Stream> by_handle;
    std::uint64_t next_handle = 1;
};

Streams& streams() {
    static Streams* s = new Streams;
    return *s;
}

std::string str(text t) { return t ? t : ""; }

SubscribeResult open(text channel, text topic, text subject, text subject2, EventReceiver receiver, text key,
                     bool caching) {
    {
        BrokerState& b = broker();
        std::lock_guard<std::mutex> g(b.lock);
        if (!channel || !b.sessions.count(channel)) return refusal<SubscribeResult>(401, "not logged in: unknown channel");
    }
    if (!receiver || !key) return refusal<SubscribeResult>(400, "subscription without a receiver or a key");
    Streams& s = streams();
    std::lock_guard<std::mutex> g(s.lock);
    SubscribeResult r{};
    r.success = 1;
    r.handle = s.next_handle++;
    s.by_handle[r.handle] = Stream{str(channel), str(topic), str(subject), str(subject2), str(key), receiver, caching};
    return r;
}

}  // namespace

SubscribeResult Broker<43, SubscribeResult>::call(text, text channel, text topic, text subject, EventReceiver receiver,
                                                  text key) {
    return open(channel, topic, subject, nullptr, receiver, key, true);
}
SubscribeResult Broker<44, SubscribeResult>::call(text, text channel, text topic, text subject, text subject2,
                                                  EventReceiver receiver, text key) {
    return open(channel, topic, subject, subject2, receiver, key, false);
}
SubscribeResult Broker<45, SubscribeResult>::call(text, text channel, text topic, text subject, EventReceiver receiver,
                                                  text key) {
    return open(channel, topic, subject, nullptr, receiver, key, false);
}
SubscribeResult Broker<46, SubscribeResult>::call(text, text channel, text topic, text subject, EventReceiver receiver,
                                                  text key) {
    return open(channel, topic, subject, nullptr, receiver, key, false);
}
SubscribeResult Broker<47, SubscribeResult>::call(text, text channel, text topic, text subject, EventReceiver receiver,
                                                  text key) {
    return open(channel, topic, subject, nullptr, receiver, key, true);
}

// Ends the stream of `handle`; an unknown handle (0 included) is no error.
// When the last stream of a cached topic and subject ends, its cache entry
// is named for removal.
UnsubscribeResult Broker<48, UnsubscribeResult>::call(text, text, std::uint64_t handle) {
    Arena arena(48);
    Streams& s = streams();
    std::lock_guard<std::mutex> g(s.lock);
    UnsubscribeResult r{};
    auto it = s.by_handle.find(handle);
    if (it == s.by_handle.end()) return r;
    const Stream gone = std::move(it->second);
    s.by_handle.erase(it);
    if (!gone.caching) return r;
    for (const auto& [h, other] : s.by_handle)
        if (other.caching && other.topic == gone.topic && other.subject == gone.subject) return r;
    r.remove_cache = 1;
    r.cache_key = arena.keep(gone.topic + "," + gone.subject);
    return r;
}

}  // namespace tvx::sandbox
