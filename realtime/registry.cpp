#include "registry.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "../core/pycompat.h"
#include "../core/string_map.h"
#include "subscription_key.h"

namespace tvx::realtime {
namespace {

template <class V>
using Map = core::StringMap<V>;

struct Registry {
    std::mutex lock;
    std::condition_variable settled;  // a delivery ended
    Map<std::uint64_t> handles;
    Map<SubscriptionPtr> callbacks;
    Map<std::string> payloads;
    std::atomic<int> in_flight{0};  // deliveries that passed the gate and may touch Python
    // Threads waiting on `settled`: a finishing delivery takes the lock and
    // notifies only when there is one, so the common case costs no lock.
    std::atomic<int> waiters{0};
    std::atomic<bool> closing{false};
};

Registry& registry() {
    // Leaked: library threads may deliver during and after static destruction.
    static Registry* r = new Registry;
    return *r;
}

// Deliveries running on this thread (a callable's own calls nest inside).
thread_local int t_depth = 0;

// Runs one delivery that passed the gate (counted in `running` and
// `in_flight`), under the interpreter lock.
void run(Registry& r, std::string_view key, SubscriptionPtr s, std::string_view payload,
         const std::string_view* cache_key) noexcept {
    ++t_depth;
    const PyGILState_STATE gil = PyGILState_Ensure();
    // Checked again under the interpreter lock: an unsubscribe that ran while
    // this thread waited for it has the last word.
    const bool returned = !r.closing.load() && !s->removed.load(std::memory_order_acquire) &&
                          s->callable.call(payload, key);
    if (returned && cache_key) {
        std::lock_guard<std::mutex> g(r.lock);
        try {
            // The entry is nearly always there already: its buffer is reused.
            if (auto it = r.payloads.find(*cache_key); it != r.payloads.end()) it->second.assign(payload);
            else r.payloads.emplace(std::string(*cache_key), std::string(payload));
        } catch (...) {
        }
    }
    // Before `s` goes: shut_down, woken by this, still needs the interpreter
    // lock this thread holds until it has released `s`.
    s->running.fetch_sub(1);
    r.in_flight.fetch_sub(1);
    // Both sides are sequentially consistent: either the waiter's check sees
    // the counts down, or this sees the waiter and wakes it under the lock.
    if (r.waiters.load() > 0) {
        { std::lock_guard<std::mutex> g(r.lock); }
        r.settled.notify_all();
    }
    s.reset();  // may be the last owner of the callable: released under the interpreter lock
    --t_depth;
    PyGILState_Release(gil);
}

// The registry lock is held for these.
template <class V>
std::optional<V> find_in(const Map<V>& map, std::string_view key) {
    auto it = map.find(key);
    if (it == map.end()) return std::nullopt;
    return it->second;
}
template <class V>
void erase_from(Map<V>& map, std::string_view key) {
    if (auto it = map.find(key); it != map.end()) map.erase(it);
}

// Counts a delivery in before it may touch Python, unless the exit hook ran;
// the registry lock is held.
bool admit(Registry& r, Subscription& s) {
    if (r.closing.load()) return false;
    ++s.running;
    ++r.in_flight;
    return true;
}

// Takes `s` out of the callback registry; the registry lock is held.
SubscriptionPtr take(Map<SubscriptionPtr>::iterator it, Registry& r) {
    SubscriptionPtr s = std::move(it->second);
    r.callbacks.erase(it);
    s->removed.store(true, std::memory_order_release);
    return s;
}

// Leaves the registries with `s` removed; destroys it with the interpreter
// lock held and the registry lock free, since releasing a callable can run
// Python code that subscribes or unsubscribes.
void retire(Registry& r, SubscriptionPtr s) {
    if (!s) return;
    if (t_depth == 0) {
        if (s->running.load() > 0) {
            // Deliveries waiting for the interpreter lock must get it to finish.
            pybind11::gil_scoped_release nogil;
            r.waiters.fetch_add(1);
            {
                std::unique_lock<std::mutex> lk(r.lock);
                r.settled.wait(lk, [&] { return s->running.load() == 0; });
            }  // the lock goes before the interpreter lock is taken back
            r.waiters.fetch_sub(1);
        }
    }
    s.reset();
}

void shut_down() {
    Registry& r = registry();
    {
        std::lock_guard<std::mutex> g(r.lock);
        r.closing.store(true);
    }
    {
        pybind11::gil_scoped_release nogil;
        r.waiters.fetch_add(1);
        {
            std::unique_lock<std::mutex> lk(r.lock);
            r.settled.wait(lk, [&] { return r.in_flight.load() <= t_depth; });
        }
        r.waiters.fetch_sub(1);
    }
    Map<SubscriptionPtr> released;
    {
        std::lock_guard<std::mutex> g(r.lock);
        released.swap(r.callbacks);
        for (auto& entry : released) entry.second->removed.store(true, std::memory_order_release);
    }
}

}  // namespace

std::string open(const SubscriptionPtr& s) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    std::string key = unique_key(&system_ticks, [&](const std::string& k) {
        return r.callbacks.count(k) != 0 || r.handles.count(k) != 0;
    });
    r.callbacks.emplace(key, s);
    return key;
}

void accept(const std::string& key, std::uint64_t handle) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    r.handles.insert_or_assign(key, handle);
}

void abandon(const std::string& key, const SubscriptionPtr& s) {
    Registry& r = registry();
    SubscriptionPtr gone;
    {
        std::lock_guard<std::mutex> g(r.lock);
        auto it = r.callbacks.find(key);
        if (it != r.callbacks.end() && it->second == s) gone = take(it, r);
    }
    retire(r, std::move(gone));
}

void close(std::string_view key) {
    Registry& r = registry();
    SubscriptionPtr gone;
    {
        std::lock_guard<std::mutex> g(r.lock);
        erase_from(r.handles, key);
        if (auto c = r.callbacks.find(key); c != r.callbacks.end()) gone = take(c, r);
    }
    retire(r, std::move(gone));
}

std::optional<std::uint64_t> handle_of(std::string_view key) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    return find_in(r.handles, key);
}

std::optional<std::string> cached(std::string_view cache_key) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    return find_in(r.payloads, cache_key);
}

void drop_cached(std::string_view cache_key) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    erase_from(r.payloads, cache_key);
}

void clear_payload_cache() {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    r.payloads.clear();
}

void deliver(std::string_view key, std::string_view payload, const std::string_view* cache_key) noexcept {
    Registry& r = registry();
    SubscriptionPtr s;
    {
        std::lock_guard<std::mutex> g(r.lock);
        if (compat::is_finalizing()) return;
        auto it = r.callbacks.find(key);
        if (it == r.callbacks.end() || it->second->callable.empty() || !admit(r, *it->second)) return;
        s = it->second;
    }
    run(r, key, std::move(s), payload, cache_key);
}

void replay(std::string_view key, const SubscriptionPtr& s, std::string_view payload) noexcept {
    Registry& r = registry();
    if (s->callable.empty()) return;
    {
        std::lock_guard<std::mutex> g(r.lock);
        if (!admit(r, *s)) return;
    }
    run(r, key, s, payload, nullptr);
}

void install_exit_hook() {
    pybind11::module_::import("atexit").attr("register")(pybind11::cpp_function(&shut_down));
}

}  // namespace tvx::realtime
