// Events for tests. An event is a record image laid out by the test (blobs
// and pointer relocations, like scripted results) and handed to a receiver:
// from new native threads, from one long-lived native thread, or from the
// calling thread of the next subscribe operation. Streams are native threads
// that keep delivering to every accepted subscription until stopped.
#include "events.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "blobs.h"
#include "faults.h"
#include "json.h"
#include "work_queue.h"

namespace tvx::sandbox {
namespace {

// Hands the record to `receiver`, with `key` wherever the handed key goes.
void fire(const Image& img, wire::EventReceiver receiver, wire::text key) {
    if (img.handed_key_at.empty()) return receiver(reinterpret_cast<const wire::EventRecord*>(img.blobs[0].get()));
    auto copy = std::make_unique<std::max_align_t[]>(img.size / sizeof(std::max_align_t) + 1);
    std::memcpy(copy.get(), img.blobs[0].get(), img.size);
    for (std::size_t off : img.handed_key_at) std::memcpy(reinterpret_cast<char*>(copy.get()) + off, &key, sizeof key);
    receiver(reinterpret_cast<const wire::EventRecord*>(copy.get()));
}

// Returns null for a malformed event image.
ImagePtr make_event(const unsigned char* data, const std::uint64_t* sizes, std::uint64_t nblobs,
                    const std::int64_t* relocs, std::uint64_t nrelocs, bool handed_key_allowed) {
    if (nblobs == 0 || sizes[0] < sizeof(wire::EventRecord)) return nullptr;
    return make_image(data, sizes, nblobs, relocs, nrelocs, handed_key_allowed);
}

struct Accepted {
    int op;
    wire::EventReceiver receiver;
    std::string key;
    std::uint64_t handle;
};

// The long-lived delivery thread of posted events.
using Posted = std::pair<wire::EventReceiver, ImagePtr>;
WorkQueue<Posted>& pump() {
    static auto* q = new WorkQueue<Posted>([](Posted& p) { fire(*p.second, p.first, nullptr); });
    return *q;
}

struct StreamThreads {
    // A stream runs while the generation it started with is current: a stop
    // from inside a stream callable cannot join its own thread, so that
    // thread ends on its own once the callable returns.
    std::atomic<std::uint64_t> generation{0};
    std::atomic<bool> running{false};
    std::vector<std::thread> threads;
    std::atomic<std::uint64_t> seq{0};
    std::map<std::string, std::uint64_t> sent;  // under EventState::lock
};

struct EventState {
    std::mutex lock;
    std::vector<Accepted> accepted;
    std::deque<ImagePtr> at_subscribe;
    StreamThreads streams;
};

EventState& event_state_unchecked() {
    static EventState* s = new EventState;  // leaked: its threads run until the process ends
    return *s;
}

EventState& event_state() {
    fault::point();
    return event_state_unchecked();
}

void stream_loop(int pause_us, std::uint64_t generation) {
    EventState& s = event_state();
    auto live = [&] { return s.streams.running.load() && s.streams.generation.load() == generation; };
    // Subscriptions are only appended while streams run (reset stops them
    // first), so each round copies just the new ones.
    std::vector<Accepted> targets;
    std::vector<std::uint64_t> sent;  // by index in targets
    struct Tally {
        EventState& s;
        const std::vector<Accepted>& targets;
        const std::vector<std::uint64_t>& sent;
        ~Tally() {
            std::lock_guard<std::mutex> g(s.lock);
            for (std::size_t i = 0; i < sent.size(); ++i)
                if (sent[i]) s.streams.sent[targets[i].key] += sent[i];
        }
    } tally{s, targets, sent};
    std::string payload;
    char digits[24];
    while (live()) {
        {
            std::lock_guard<std::mutex> g(s.lock);
            if (s.accepted.size() > targets.size())
                targets.insert(targets.end(), s.accepted.begin() + static_cast<std::ptrdiff_t>(targets.size()),
                               s.accepted.end());
        }
        sent.resize(targets.size());
        for (std::size_t i = 0; i < targets.size(); ++i) {
            if (!live()) return;
            const Accepted& a = targets[i];
            const auto n = std::to_chars(digits, digits + sizeof digits, s.streams.seq.fetch_add(1)).ptr - digits;
            payload.assign(a.key).append(1, '|').append(digits, static_cast<std::size_t>(n));
            wire::EventRecord rec{};
            rec.subscription_key = a.key.c_str();
            rec.payload = payload.c_str();
            a.receiver(&rec);
            ++sent[i];
        }
        if (pause_us > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
        else
            std::this_thread::yield();
    }
}

void stop_streams() {
    EventState& s = event_state();
    s.streams.running.store(false);
    s.streams.generation.fetch_add(1);
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> g(s.lock);
        threads.swap(s.streams.threads);
    }
    for (std::thread& t : threads) {
        if (t.get_id() == std::this_thread::get_id())
            t.detach();  // called from one of its callables
        else
            t.join();
    }
}

void flush_pump() { pump().drain(-1); }

}  // namespace

// fork() while native threads deliver: the locks are held across it, so the
// child's copies are consistent and free. None of these threads exists in the
// child, which forgets them; a later start or post makes new ones.
void scripted_fork_prepare() {
    event_state_unchecked().lock.lock();
    pump().lock_for_fork();
}
void scripted_fork_parent() {
    pump().unlock_in_parent();
    event_state_unchecked().lock.unlock();
}
void scripted_fork_child() {
    EventState& s = event_state_unchecked();
    s.streams.running.store(false);
    new std::vector<std::thread>(std::move(s.streams.threads));  // left unjoined: not this process's threads
    s.streams.threads.clear();
    pump().reset_in_child();
    s.lock.unlock();
}

void scripted_subscription(int op, const wire::SubscribeResult& r, wire::EventReceiver receiver, wire::text key) {
    EventState& s = event_state();
    std::deque<ImagePtr> events;
    {
        std::lock_guard<std::mutex> g(s.lock);
        events.swap(s.at_subscribe);
    }
    for (const ImagePtr& img : events)
        if (receiver) fire(*img, receiver, key);
    if (!r.success || !receiver) return;
    std::lock_guard<std::mutex> g(s.lock);
    s.accepted.push_back(Accepted{op, receiver, key ? key : "", r.handle});
}

void reset_events() {
    stop_streams();
    flush_pump();
    EventState& s = event_state();
    std::lock_guard<std::mutex> g(s.lock);
    s.accepted.clear();
    s.at_subscribe.clear();
    s.streams.sent.clear();
}

}  // namespace tvx::sandbox

using namespace tvx::sandbox;

// Delivers the event image to `receiver` `repeat` times from each of
// `threads` new native threads, and returns once they have ended.
// Returns 0, or -3 for a malformed image.
TVX_EXPORT int tvx_event_send(std::uint64_t receiver, const unsigned char* data, const std::uint64_t* sizes,
                              std::uint64_t nblobs, const std::int64_t* relocs, std::uint64_t nrelocs, int threads,
                              int repeat) try {
    ImagePtr img = make_event(data, sizes, nblobs, relocs, nrelocs, false);
    if (!img || receiver == 0) return -3;
    const auto fn = reinterpret_cast<tvx::wire::EventReceiver>(receiver);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([=] {
            for (int i = 0; i < repeat; ++i) fire(*img, fn, nullptr);
        });
    for (std::thread& t : pool) t.join();
    return 0;
} catch (...) {
    return -4;
}

// Queues the event for the long-lived delivery thread.
TVX_EXPORT int tvx_event_post(std::uint64_t receiver, const unsigned char* data, const std::uint64_t* sizes,
                              std::uint64_t nblobs, const std::int64_t* relocs, std::uint64_t nrelocs) try {
    ImagePtr img = make_event(data, sizes, nblobs, relocs, nrelocs, false);
    if (!img || receiver == 0) return -3;
    pump().push(Posted(reinterpret_cast<tvx::wire::EventReceiver>(receiver), std::move(img)));
    return 0;
} catch (...) {
    return -4;
}

// Returns once the long-lived thread has delivered everything queued for it.
TVX_EXPORT void tvx_event_flush() {
    try {
        flush_pump();
    } catch (...) {
        // Nothing queued could be waited for.
    }
}

// Queues the event for the next subscribe operation, which delivers it on its
// calling thread to the receiver it was handed before it returns.
TVX_EXPORT int tvx_event_at_subscribe(const unsigned char* data, const std::uint64_t* sizes, std::uint64_t nblobs,
                                      const std::int64_t* relocs, std::uint64_t nrelocs) try {
    ImagePtr img = make_event(data, sizes, nblobs, relocs, nrelocs, true);
    if (!img) return -3;
    EventState& s = event_state();
    std::lock_guard<std::mutex> g(s.lock);
    s.at_subscribe.push_back(std::move(img));
    return 0;
} catch (...) {
    return -4;
}

// Every subscription accepted since the last reset, oldest first, as JSON,
// valid until this thread calls again.
TVX_EXPORT const char* tvx_subscriptions_json() try {
    thread_local std::string out;
    EventState& s = event_state();
    std::lock_guard<std::mutex> g(s.lock);
    json::Writer w;
    w.begin_array();
    for (const Accepted& a : s.accepted)
        w.begin_object()
            .field("op", a.op)
            .field("receiver", static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(a.receiver)))
            .field("handle", a.handle)
            .field("key", hex(a.key))
            .end_object();
    out = w.end_array().take();
    return out.c_str();
} catch (...) {
    return "{\"error\": \"the library failed inside (out of memory?)\"}";
}

// Starts `threads` stream threads. Each round a thread delivers one event to
// every accepted subscription, whatever has become of it since, with the
// payload "<key>|<n>" (n unique over all streams), then pauses.
TVX_EXPORT int tvx_stream_start(int threads, int pause_us) try {
    stop_streams();
    EventState& s = event_state();
    s.streams.running.store(true);
    std::lock_guard<std::mutex> g(s.lock);
    s.streams.sent.clear();
    const std::uint64_t generation = s.streams.generation.load();
    for (int t = 0; t < threads; ++t) s.streams.threads.emplace_back(stream_loop, pause_us, generation);
    return 0;
} catch (...) {
    return -4;
}

// Stops the streams and returns, as JSON {key hex: count}, how many events
// each key was sent (receiver calls that returned), valid until this thread
// calls again.
TVX_EXPORT const char* tvx_stream_stop() try {
    stop_streams();
    thread_local std::string out;
    EventState& s = event_state();
    std::lock_guard<std::mutex> g(s.lock);
    json::Writer w;
    w.begin_object();
    for (const auto& [key, n] : s.streams.sent) w.field(hex(key), n);
    out = w.end_object().take();
    return out.c_str();
} catch (...) {
    return "{\"error\": \"the library failed inside (out of memory?)\"}";
}
