// A world: one independent sandbox (market, accounts, orders, streams) with
// its own lock, clock thread and replay. Worlds are values: "reset" makes a
// new one in the old one's place; several live side by side in one process,
// each reached through the logins made in it. The registry of worlds is the
// library's process-wide state (besides scripted mode and the per-thread
// results of the interface).
#pragma once
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "broker_state.h"
#include "json.h"
#include "replay.h"

namespace tvx::sandbox {

class World;

// The clock: one thread per running world, moving it a tick every interval.
class Clock {
   public:
    bool running() const;
    void configure(World& w, bool running, int interval_ms);
    // Ends the thread (it may be the caller: it then ends after this tick).
    void end();
    void fork_prepare() { state_->m.lock(); }
    void fork_parent() { state_->m.unlock(); }
    void fork_child();

    struct State {
        mutable std::mutex m;
        std::condition_variable cv;
        bool running = false, started = false, ended = false;
        int interval_ms = 250;
        std::uint64_t generation = 0;
    };

   private:
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// One stepper at a time; a callable stepping from inside a delivery is the
// same thread and goes on. Ownership can be taken away (a runner being
// stopped while its receiver blocks is not waited for).
struct Stepping {
    std::mutex m;
    std::condition_variable cv;
    std::thread::id owner;
    int depth = 0;
    std::uint64_t generation = 0;
};

// The free-running replay. Each run has its generation; a stop moves it on,
// and a runner of an older generation ends without touching anything more.
struct Runner {
    std::mutex m;
    std::condition_variable cv;
    bool running = false;
    bool applying = false;  // inside a step, under the world's lock (never for long)
    std::uint64_t generation = 0;
    std::thread::id thread;
};

struct ReplayDriver {
    Stepping stepping;
    Runner runner;
};

class World : public std::enable_shared_from_this<World> {
   public:
    World(std::uint64_t id, const json::Value& settings);
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    const std::uint64_t id;
    std::mutex lock;  // guards the market and the replay
    BrokerState market;
    Replay replay;
    ReplayDriver driver;
    Clock clock;

    // Stops the clock and the replay and ends every stream with `reason`.
    // The world answers nothing more; idempotent.
    void end(const std::string& reason);
    bool ended() const { return ended_; }

   private:
    bool ended_ = false;
};

// Stops the world's free-running replay (replay_control.cpp); waits only
// while the runner applies events. Its part of a forked child's start.
void replay_halt(World& w);
void replay_after_fork_in_child(World& w);

namespace worlds {

constexpr std::uint64_t kDefault = 0;

// The world of that id, or null. The default world always exists (made with
// the defaults on first use).
std::shared_ptr<World> find(std::uint64_t id);
// The world a channel (a login's) belongs to, or null.
std::shared_ptr<World> of_channel(const char* channel);
// The world a login's third text names ("world:<id>"; anything else the
// default), or null when it names none alive.
std::shared_ptr<World> of_login(const char* text3);
// A new world of the settings; "" or what was wrong (no world made then).
std::string create(const json::Value& settings, std::uint64_t& id);
// The world `id` made anew from the settings; the old one ends its streams
// ("the world was reset"). "" or what was wrong (the old world stays then).
std::string reset(std::uint64_t id, const json::Value& settings);
// Ends and forgets the world; false when there is none (the default world
// cannot be closed, only reset).
bool close(std::uint64_t id);
// How many worlds live.
std::size_t count();

// A channel of world `id`: the world's prefix and the sessions' own name.
std::string channel_prefix(std::uint64_t id);

}  // namespace worlds

// A world control entry point's error text, valid until this thread calls
// again; null for none.
const char* control_outcome(std::string error);

// `f()`'s error text ("" for none) as control_outcome gives it; whatever `f`
// throws becomes an error text: nothing throws through an entry point.
template <class F>
const char* guarded(F&& f) {
    try {
        return control_outcome(f());
    } catch (const std::bad_alloc&) {
        return control_outcome("out of memory");
    } catch (const std::exception& e) {
        return control_outcome(std::string("internal error: ") + e.what());
    } catch (...) {
        return control_outcome("internal error");
    }
}

// A state entry point's answer: `text` when there was no error, else
// {"error": error}, valid until this thread asks again.
const char* json_or_error(const char* error, const char* text);

inline std::string no_world(std::uint64_t id) {
    return "no world " + std::to_string(id) + " (it was closed, or never made)";
}

}  // namespace tvx::sandbox
