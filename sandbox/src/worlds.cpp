// Worlds: their making and ending, the registry, each world's clock thread,
// and the library's fork handling (all of it, here).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <new>
#include <vector>

#include "events.h"
#include "faults.h"
#include "platform.h"
#include "world.h"

namespace tvx::sandbox {

// ------------------------------------------------------------------- clock
namespace {

void clock_loop(std::shared_ptr<Clock::State> c, std::weak_ptr<World> weak) {
    for (;;) {
        std::uint64_t generation;
        {
            std::unique_lock<std::mutex> lk(c->m);
            c->cv.wait(lk, [&] { return c->running || c->ended; });
            if (c->ended) return;
            generation = c->generation;
            const auto interval = std::chrono::milliseconds(c->interval_ms);
            if (c->cv.wait_for(lk, interval, [&] { return c->generation != generation || c->ended; })) continue;
        }
        std::shared_ptr<World> w = weak.lock();
        if (!w) return;
        std::lock_guard<std::mutex> g(w->lock);
        {
            // A reset or stop that came in meanwhile wins over this tick.
            std::lock_guard<std::mutex> lk(c->m);
            if (c->ended) return;
            if (c->generation != generation || !c->running) continue;
        }
        try {
            w->market.step(1);
            w->market.flush();
        } catch (const std::exception&) {
            // Out of memory mid-tick: the clock stops rather than take the process down.
            std::lock_guard<std::mutex> lk(c->m);
            c->running = false;
        }
    }
}

}  // namespace

bool Clock::running() const {
    std::lock_guard<std::mutex> lk(state_->m);
    return state_->running;
}

void Clock::configure(World& w, bool running, int interval_ms) {
    State& c = *state_;
    std::lock_guard<std::mutex> lk(c.m);
    if (c.ended) return;
    c.running = running;
    c.interval_ms = std::max(1, interval_ms);
    ++c.generation;
    if (running && !c.started) {
        std::thread(clock_loop, state_, w.weak_from_this()).detach();
        c.started = true;
    }
    c.cv.notify_all();
}

void Clock::end() {
    std::lock_guard<std::mutex> lk(state_->m);
    state_->ended = true;
    state_->running = false;
    state_->cv.notify_all();
}

void Clock::fork_child() {
    // The thread did not come along; the clock stands still in the child.
    State& c = *state_;
    c.running = c.started = false;
    ++c.generation;
    new (&c.cv) std::condition_variable;
    c.m.unlock();
}

// ------------------------------------------------------------------- world
World::World(std::uint64_t world_id, const json::Value& settings) : id(world_id), market(settings) {
    market.sessions.set_prefix(worlds::channel_prefix(id));
    market.replay = &replay;
}

World::~World() { end("the world was closed"); }

void World::end(const std::string& reason) {
    {
        std::lock_guard<std::mutex> g(lock);
        if (ended_) return;
        ended_ = true;
    }
    clock.end();
    replay_halt(*this);
    std::lock_guard<std::mutex> g(lock);
    market.streams.end(reason);
}

// ---------------------------------------------------------------- registry
namespace worlds {
namespace {

struct Registry {
    std::mutex m;
    std::map<std::uint64_t, std::shared_ptr<World>> worlds;
    std::uint64_t next_id = 1;
};

Registry& registry() {
    static Registry* r = new Registry;  // library threads may still call in after static destruction
    return *r;
}

void fork_prepare();
void fork_parent();
void fork_child();

// A new world, started (its clock configured): built outside every lock.
std::shared_ptr<World> make(std::uint64_t id, const json::Value& settings, std::string& error) {
    auto w = std::make_shared<World>(id, settings);
    error = w->market.build_error;
    if (!error.empty()) return nullptr;
    std::lock_guard<std::mutex> g(w->lock);
    w->clock.configure(*w, w->market.options.running, w->market.options.interval_ms);
    return w;
}

std::shared_ptr<World> default_world() {
    Registry& r = registry();
    {
        std::lock_guard<std::mutex> g(r.m);
        auto it = r.worlds.find(kDefault);
        if (it != r.worlds.end()) return it->second;
    }
    std::string error;
    // The default world as it stands before anyone resets it: an hour of history, the clock running.
    std::shared_ptr<World> w = make(kDefault, json::Value{}, error);
    std::lock_guard<std::mutex> g(r.m);
    auto [it, fresh] = r.worlds.emplace(kDefault, w);
    if (!fresh) {
        // Another thread made it meanwhile; ours goes quietly.
        w->end("the world was closed");
    }
    return it->second;
}

std::uint64_t parse_id(const char* digits, const char** end) {
    std::uint64_t id = 0;
    const char* p = digits;
    while (*p >= '0' && *p <= '9' && p - digits < 19) id = id * 10 + static_cast<std::uint64_t>(*p++ - '0');
    *end = p;
    return id;
}

// Fork: the forking thread takes the registry's lock, then every world's
// lock, its clock's and its delivery worker's, in the order the library
// always takes them, so the child never inherits one held by a thread it
// does not have. The child gets every world as it stood (logins included),
// with no clock running, no replay thread, no streams and no queued events.
std::vector<std::shared_ptr<World>>* g_forking = nullptr;

void fork_prepare() {
    scripted_fork_prepare();
    Registry& r = registry();
    r.m.lock();
    auto* all = new std::vector<std::shared_ptr<World>>;
    for (auto& [id, w] : r.worlds) all->push_back(w);
    for (auto& w : *all) {
        w->lock.lock();
        w->clock.fork_prepare();
        w->market.streams.fork_prepare();
    }
    g_forking = all;
}

void fork_parent() {
    std::vector<std::shared_ptr<World>>* all = g_forking;
    g_forking = nullptr;
    for (auto it = all->rbegin(); it != all->rend(); ++it) {
        (*it)->market.streams.fork_parent();
        (*it)->clock.fork_parent();
        (*it)->lock.unlock();
    }
    delete all;
    registry().m.unlock();
    scripted_fork_parent();
}

void fork_child() {
    std::vector<std::shared_ptr<World>>* all = g_forking;
    g_forking = nullptr;
    for (auto it = all->rbegin(); it != all->rend(); ++it) {
        World& w = **it;
        w.market.streams.fork_child();
        replay_after_fork_in_child(w);
        w.clock.fork_child();
        w.market.options.running = false;
        w.lock.unlock();
    }
    delete all;
    registry().m.unlock();
    scripted_fork_child();
}

// The one set of fork handlers of the library, in place from its load.
[[maybe_unused]] const bool g_fork_handlers = (platform::at_fork(fork_prepare, fork_parent, fork_child), true);

}  // namespace

std::string channel_prefix(std::uint64_t id) { return id == kDefault ? "sbx-" : "sbx" + std::to_string(id) + "-"; }

std::shared_ptr<World> find(std::uint64_t id) {
    fault::point();
    if (id == kDefault) return default_world();
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.m);
    auto it = r.worlds.find(id);
    return it == r.worlds.end() ? nullptr : it->second;
}

std::shared_ptr<World> of_channel(const char* channel) {
    // "sbx-..." is the default world's, "sbx<id>-..." world id's.
    if (channel && std::strncmp(channel, "sbx", 3) == 0 && channel[3] >= '1' && channel[3] <= '9') {
        const char* end;
        const std::uint64_t id = parse_id(channel + 3, &end);
        return *end == '-' ? find(id) : nullptr;
    }
    return find(kDefault);
}

std::shared_ptr<World> of_login(const char* text3) {
    constexpr const char* kTag = "world:";
    if (!text3 || std::strncmp(text3, kTag, std::strlen(kTag)) != 0) return find(kDefault);
    const char* digits = text3 + std::strlen(kTag);
    const char* end;
    const std::uint64_t id = parse_id(digits, &end);
    if (end == digits || *end) return nullptr;
    return find(id);
}

std::string create(const json::Value& settings, std::uint64_t& id) {
    Registry& r = registry();
    {
        std::lock_guard<std::mutex> g(r.m);
        id = r.next_id++;
    }
    std::string error;
    std::shared_ptr<World> w = make(id, settings, error);
    if (!w) return error;
    std::lock_guard<std::mutex> g(r.m);
    r.worlds.emplace(id, std::move(w));
    return "";
}

std::string reset(std::uint64_t id, const json::Value& settings) {
    if (!find(id)) return "no world " + std::to_string(id) + " (it was closed)";
    std::string error;
    std::shared_ptr<World> fresh = make(id, settings, error);
    if (!fresh) return error;
    std::shared_ptr<World> old;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> g(r.m);
        auto it = r.worlds.find(id);
        if (it == r.worlds.end()) {
            fresh->end("the world was closed");
            return "no world " + std::to_string(id) + " (it was closed)";
        }
        old = std::exchange(it->second, fresh);
    }
    old->end("the world was reset");
    return "";
}

bool close(std::uint64_t id) {
    if (id == kDefault) return false;
    std::shared_ptr<World> old;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> g(r.m);
        auto it = r.worlds.find(id);
        if (it == r.worlds.end()) return false;
        old = std::move(it->second);
        r.worlds.erase(it);
    }
    old->end("the world was closed");
    return true;
}

std::size_t count() {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.m);
    return r.worlds.size();
}

}  // namespace worlds
}  // namespace tvx::sandbox
