#include "registry.h"

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include <chrono>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "../core/context.h"
#include "../core/pycompat.h"
#include "../core/string_map.h"
#include "subscription_key.h"

namespace tvx::realtime {
namespace {

template <class V>
using Map = core::StringMap<V>;

// A payload-cache entry. An emptied entry stays, without its payload, to
// remember when it was emptied: a delivery that arrived before must not fill
// it again. Such entries are as many as the cache keys the library has named,
// and a login forgets them all.
struct Cached {
    std::string payload;
    std::uint64_t emptied = 0;  // Registry::empties when last emptied
    bool present = false;
};

struct Registry {
    std::mutex lock;
    std::condition_variable settled;  // a delivery ended while someone waits
    Map<std::uint64_t> handles;
    Map<SubscriptionPtr> callbacks;
    Map<Cached> payloads;
    // Emptyings of the cache so far (one entry, or all at a login); a
    // delivery notes the count when it arrives.
    std::atomic<std::uint64_t> empties{0};
    std::uint64_t emptied_all = 0;  // `empties` at the last login
    // Subscriptions a forked child found; released once Python runs again.
    std::vector<SubscriptionPtr> inherited;
    // Changes of the callback registry so far: a thread's remembered lookup
    // (LastFound) holds while this has not moved.
    std::atomic<std::uint64_t> generation{1};
    // Threads waiting on `settled`: a finishing delivery takes the lock and
    // notifies only when there is one, so the common case costs no lock.
    std::atomic<int> waiters{0};
    std::atomic<bool> closing{false};
    // Written by every delivery on every thread: on a cache line of its own,
    // away from what those deliveries only read.
    alignas(64) std::atomic<int> in_flight{0};  // deliveries that passed the gate and may touch Python
    char own_line[64 - sizeof(std::atomic<int>)] = {};
};

Registry& registry() {
    // Leaked: library threads may deliver during and after static destruction.
    static Registry* r = new Registry;
    return *r;
}

// The last subscription this thread found, while the callback registry has
// not changed since: a thread delivering one stream's events skips the lock
// and the hashing. Only a position in the registry is kept, never an owner.
struct LastFound {
    std::uint64_t generation = 0;
    const SubscriptionPtr* slot = nullptr;
    std::size_t length = 0;
    char key[32] = {};
};

// What a thread keeps of its deliveries; one thread-local block, reached once a delivery.
struct ThreadDeliveries {
    int depth = 0;  // deliveries running on this thread (a callable's own calls nest inside)
    LastFound last;
};
thread_local ThreadDeliveries t_mine;

// One delivery past the gate. The destructor also runs when a finalizing
// interpreter ends the thread, so the count stays true.
struct Flight {
    Registry& r;
    ThreadDeliveries& mine;
    Flight(Registry& reg, ThreadDeliveries& m) : r(reg), mine(m) {
        r.in_flight.fetch_add(1);
        ++mine.depth;
    }
    ~Flight() {
        --mine.depth;
        r.in_flight.fetch_sub(1);
        // Both sides are sequentially consistent: either the waiter's check
        // sees the count down, or this sees the waiter and wakes it.
        if (r.waiters.load() > 0) {
            {
                std::lock_guard<std::mutex> g(r.lock);
            }
            r.settled.notify_all();
        }
    }
};

// The registry lock is held.
void empty_entry(Registry& r, std::string_view cache_key) {
    auto it = r.payloads.find(cache_key);
    if (it == r.payloads.end()) it = r.payloads.emplace(std::string(cache_key), Cached{}).first;
    it->second.payload = std::string();
    it->second.present = false;
    it->second.emptied = ++r.empties;
}

// Caches a delivery's payload, unless its subscription ended or the entry was
// emptied since the delivery arrived: either would bring back a payload the
// library has withdrawn.
void store(Registry& r, const Subscription& s, std::string_view cache_key, std::string_view payload,
           std::uint64_t arrived) {
    std::lock_guard<std::mutex> g(r.lock);
    if (s.removed.load(std::memory_order_relaxed) || r.emptied_all > arrived) return;
    auto it = r.payloads.find(cache_key);
    try {
        if (it == r.payloads.end())
            it = r.payloads.emplace(std::string(cache_key), Cached{}).first;
        else if (it->second.emptied > arrived)
            return;
        // The entry is nearly always there already: its buffer is reused.
        it->second.payload.assign(payload);
        it->second.present = true;
    } catch (const std::bad_alloc&) {
        // Better no payload than an older one.
        if (it != r.payloads.end()) it->second.present = false;
    }
}

// A thread Python has not seen gets a fresh thread state for each event.
// CPython (3.9 at least) takes its thread-state list lock in a forked child
// before re-creating it, so a fork while a thread makes or discards its state
// (which takes that lock) hangs the child. A fork waits for these steps to
// end and holds new ones back; neither waits for the interpreter lock.
// Where the interpreter itself holds that list lock across fork(), waiting
// for a step would deadlock with it, and is not needed.
std::atomic<int> g_state_steps{0};
std::atomic<bool> g_forking{false};

struct StateStep {
    StateStep() {
        if constexpr (compat::fork_guards_thread_states) return;
        while (g_state_steps.fetch_add(1), g_forking.load()) {
            g_state_steps.fetch_sub(1);
            while (g_forking.load()) std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    }
    ~StateStep() {
        if constexpr (!compat::fork_guards_thread_states) g_state_steps.fetch_sub(1);
    }
};

// The registry's entry for `key`, or null. The interpreter lock is held, as
// it is by everything that changes the callback registry, so a remembered
// position is read while nothing can move it.
SubscriptionPtr lookup(Registry& r, std::string_view key, LastFound& last) {
    const std::uint64_t now = r.generation.load(std::memory_order_acquire);
    if (!compat::free_threaded && last.generation == now && last.length == key.size() &&
        std::memcmp(last.key, key.data(), key.size()) == 0)
        return *last.slot;
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.callbacks.find(key);
    if (it == r.callbacks.end()) return nullptr;
    if (key.size() <= sizeof last.key) {
        last.generation = r.generation.load(std::memory_order_relaxed);
        last.slot = &it->second;
        last.length = key.size();
        std::memcpy(last.key, key.data(), key.size());
    }
    return it->second;
}

// An event delivered: counted in (Flight) before `closing` is checked, so
// that shut_down, which sets `closing` before it reads the count, either
// waits for this delivery or is seen here. The subscription is looked up
// under the interpreter lock: the lock every change of the registry holds
// too, so the registry's own lock is never contended, and once unsubscribe
// has returned no call of its callable starts. `given`: a subscription
// already in hand (a cached payload replayed at subscription).
void run(Registry& r, std::string_view key, const SubscriptionPtr* given, std::string_view payload,
         const std::string_view* cache_key) {
    ThreadDeliveries& mine = t_mine;
    Flight flight(r, mine);
    // A finalizing interpreter ends a thread that asks for its lock: past
    // this check the thread may ask.
    if (r.closing.load() || compat::is_finalizing()) return;
    // The payload cache's emptyings when the event arrived: what is emptied
    // from now on must not be filled again by this event.
    const std::uint64_t arrived = r.empties.load();
    PyThreadState* fresh = nullptr;
    PyGILState_STATE gil{};
    if (PyGILState_GetThisThreadState() == nullptr) {
        {
            StateStep step;
            fresh = PyThreadState_New(PyInterpreterState_Main());
        }
        if (!fresh) return;  // out of memory: the event is dropped
        PyEval_RestoreThread(fresh);
    } else {
        gil = PyGILState_Ensure();
    }
    SubscriptionPtr s = given ? *given : lookup(r, key, mine.last);
    const bool returned =
        s && !r.closing.load() && !s->removed.load(std::memory_order_acquire) && s->callable.call(payload, key);
    if (returned && cache_key) store(r, *s, *cache_key, payload, arrived);
    release(s);
    if (fresh) {
        PyThreadState_Clear(fresh);  // may run Python code: outside the step
        StateStep step;
        PyThreadState_DeleteCurrent();
    } else {
        PyGILState_Release(gil);
    }
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

// Takes `s` out of the callback registry; the registry lock is held.
SubscriptionPtr take(Map<SubscriptionPtr>::iterator it, Registry& r) {
    SubscriptionPtr s = std::move(it->second);
    r.callbacks.erase(it);
    r.generation.fetch_add(1, std::memory_order_release);
    s->removed.store(true, std::memory_order_release);
    return s;
}

// Deliveries already running at exit get this long to finish; a callable
// blocked for good must not keep the process from ending.
constexpr auto kExitGrace = std::chrono::seconds(1);

void shut_down() {
    using clock = std::chrono::steady_clock;
    Registry& r = registry();
    {
        std::lock_guard<std::mutex> g(r.lock);
        r.closing.store(true);
    }
    const auto deadline = clock::now() + kExitGrace;
    std::optional<pybind11::error_already_set> interrupted;
    while (r.in_flight.load() > t_mine.depth && clock::now() < deadline) {
        {
            // Deliveries waiting for the interpreter lock must get it to finish.
            pybind11::gil_scoped_release nogil;
            r.waiters.fetch_add(1);
            {
                std::unique_lock<std::mutex> lk(r.lock);
                r.settled.wait_until(lk, std::min(deadline, clock::now() + std::chrono::milliseconds(20)),
                                     [&] { return r.in_flight.load() <= t_mine.depth; });
            }
            r.waiters.fetch_sub(1);
        }
        if (PyErr_CheckSignals() != 0) {  // Ctrl-C
            interrupted.emplace();
            break;
        }
    }
    std::vector<SubscriptionPtr> released;
    {
        std::lock_guard<std::mutex> g(r.lock);
        for (auto& entry : r.callbacks) {
            entry.second->removed.store(true, std::memory_order_release);
            released.push_back(std::move(entry.second));
        }
        r.callbacks.clear();
        r.generation.fetch_add(1, std::memory_order_release);
    }
    for (SubscriptionPtr& s : released) release(s);
    if (interrupted) throw *interrupted;
}

#if !defined(_WIN32)
// fork(): the registry lock is taken across it, so the child's copy is
// consistent and free.
void before_fork() {
    g_forking.store(true);
    while (g_state_steps.load() > 0) std::this_thread::yield();
    registry().lock.lock();
}
void after_fork_in_parent() {
    registry().lock.unlock();
    g_forking.store(false);
}
void after_fork_in_child() {
    g_state_steps.store(0);  // a step backing out at the fork stayed behind
    g_forking.store(false);
    Registry& r = registry();
    // The library's threads did not come along, and with them the streams:
    // the child starts without subscriptions or cached payloads. Python is not
    // ready yet, so the callables are released later (release_inherited).
    for (auto& entry : r.callbacks) {
        entry.second->removed.store(true, std::memory_order_relaxed);
        r.inherited.push_back(std::move(entry.second));
    }
    r.callbacks.clear();
    r.generation.fetch_add(1, std::memory_order_release);
    r.handles.clear();
    r.payloads.clear();
    r.emptied_all = ++r.empties;
    // Only this thread's deliveries still run; any waiter stayed behind.
    r.in_flight.store(t_mine.depth);
    r.waiters.store(0);
    new (&r.settled) std::condition_variable;
    r.lock.unlock();
}

void release_inherited() {
    Registry& r = registry();
    std::vector<SubscriptionPtr> gone;
    {
        std::lock_guard<std::mutex> g(r.lock);
        gone.swap(r.inherited);
    }
    for (SubscriptionPtr& s : gone) release(s);
}
#endif

}  // namespace

void release(SubscriptionPtr& s) {
    if (!s) return;
    // Exact under the interpreter lock: copies are made only from the
    // callback registry, and a subscription out of it gets no new owner.
    if (s.use_count() == 1) {
        PyObject* fn = s->callable.release();
        s.reset();
        Py_XDECREF(fn);
    } else {
        s.reset();
    }
}

std::string open(const SubscriptionPtr& s) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    std::string key = unique_key(
        &system_ticks, [&](const std::string& k) { return r.callbacks.count(k) != 0 || r.handles.count(k) != 0; });
    r.callbacks.emplace(key, s);
    r.generation.fetch_add(1, std::memory_order_release);  // an insertion may move every entry
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
    release(gone);
}

void close(std::string_view key, const char* emptied_cache_key) {
    Registry& r = registry();
    SubscriptionPtr gone;
    {
        std::lock_guard<std::mutex> g(r.lock);
        if (emptied_cache_key) empty_entry(r, emptied_cache_key);
        erase_from(r.handles, key);
        if (auto c = r.callbacks.find(key); c != r.callbacks.end()) gone = take(c, r);
    }
    release(gone);
}

std::optional<std::uint64_t> handle_of(std::string_view key) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    return find_in(r.handles, key);
}

std::optional<std::string> cached(std::string_view cache_key) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.payloads.find(cache_key);
    if (it == r.payloads.end() || !it->second.present) return std::nullopt;
    return it->second.payload;
}

void clear_payload_cache() {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    r.payloads.clear();
    r.emptied_all = ++r.empties;
}

void deliver(std::string_view key, std::string_view payload, const std::string_view* cache_key) {
    run(registry(), key, nullptr, payload, cache_key);
}

void replay(std::string_view key, const SubscriptionPtr& s, std::string_view payload) {
    if (s->callable.empty()) return;
    run(registry(), key, &s, payload, nullptr);
}

void install_process_hooks() {
    namespace py = pybind11;
    core::on_login(&clear_payload_cache);
    py::module_::import("atexit").attr("register")(py::cpp_function(&shut_down));
#if !defined(_WIN32)
    pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
    py::module_::import("os").attr("register_at_fork")(py::arg("after_in_child") =
                                                           py::cpp_function(&release_inherited));
#endif
}

}  // namespace tvx::realtime
