// The replay's control surface: load a history, step through it in lockstep
// or let it run at a speed, read where it stands.
//
// Lockstep: after each event that caused deliveries, the stepping thread lets
// go of the broker's lock and delivers them itself (the event worker stands
// aside), so every callable has returned, and whatever it ordered has been
// handled at the event's time, before the next event. Events that nobody
// watches cost no hand-over at all.
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform.h"
#include "replay.h"
#include "world.h"

using namespace tvx::sandbox;

namespace {

// Applies up to `n` events, and none past `until`; the number applied.
std::uint64_t run_steps_or_throw(World& w, std::uint64_t n, std::int64_t until, std::uint64_t& done);

// Nothing may unwind into the caller's frames (ctypes, a C host): out of
// memory ends the steps where it struck.
std::uint64_t run_steps(World& w, std::uint64_t n, std::int64_t until) {
    std::uint64_t done = 0;
    try {
        return run_steps_or_throw(w, n, until, done);
    } catch (...) {
        return done;
    }
}

std::uint64_t run_steps_or_throw(World& w, std::uint64_t n, std::int64_t until, std::uint64_t& done) {
    std::lock_guard<std::recursive_mutex> one(w.driver.stepping);
    std::shared_ptr<WorkQueue<Delivery>> worker;
    {
        std::lock_guard<std::mutex> g(w.lock);
        worker = w.market.streams.worker();
    }
    if (!worker) return 0;  // the world ended
    struct Hosting {
        WorkQueue<Delivery>& q;
        explicit Hosting(WorkQueue<Delivery>& queue) : q(queue) { q.host(); }
        ~Hosting() { q.unhost(); }
    } hosting(*worker);
    BrokerState& b = w.market;
    Replay& r = w.replay;
    for (;;) {
        bool more = true;
        {
            std::lock_guard<std::mutex> g(w.lock);
            if (w.ended()) return done;
            while (done < n) {
                if (!r.has_next() || r.next_time() > until) {
                    more = false;
                    break;
                }
                r.apply_next(b);
                ++done;
                if (b.streams.noted()) break;
            }
            if (!more && until != INT64_MAX) r.advance(b, until);
            b.flush();
        }
        worker->run_here();
        if (!more || done >= n) return done;
    }
}

void run_loop(std::shared_ptr<World> w, double speed) {
    ReplayDriver& run = w->driver;
    using clock = std::chrono::steady_clock;
    for (;;) {
        std::int64_t gap = 0;
        {
            std::lock_guard<std::mutex> g(w->lock);
            const std::int64_t next = w->replay.next_time();
            if (next == INT64_MAX || w->ended()) break;
            gap = next - w->market.now;
        }
        if (speed > 0 && gap > 0) {
            std::unique_lock<std::mutex> lk(run.m);
            const auto wait = std::chrono::duration<double>(static_cast<double>(gap) / speed);
            run.cv.wait_until(lk, clock::now() + std::chrono::duration_cast<clock::duration>(wait),
                              [&] { return run.stop; });
        }
        {
            std::lock_guard<std::mutex> lk(run.m);
            if (run.stop) break;
        }
        if (run_steps(*w, 1, INT64_MAX) == 0) break;
    }
    std::lock_guard<std::mutex> lk(run.m);
    run.running = false;
    run.thread = {};
    run.cv.notify_all();
}

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

std::string no_world(std::uint64_t id) { return "no world " + std::to_string(id) + " (it was closed, or never made)"; }

}  // namespace

// Loads a packed history block (copied) into the world and starts the
// replay: the clock goes to its first event. Null on success, else what was
// wrong (valid until this thread calls again).
TVX_EXPORT const char* tvx_world_replay_load(std::uint64_t id, const std::uint8_t* block, std::uint64_t size) {
    return guarded([&]() -> std::string {
        std::shared_ptr<World> w = worlds::find(id);
        if (!w) return no_world(id);
        w->driver.halt();
        std::lock_guard<std::recursive_mutex> one(w->driver.stepping);
        std::lock_guard<std::mutex> g(w->lock);
        if (w->ended()) return no_world(id);
        if (w->clock.running()) {
            w->market.options.running = false;
            w->clock.configure(*w, false, w->market.options.interval_ms);
        }
        std::string error;
        try {
            error = w->replay.load(w->market, block, size);
        } catch (const std::bad_alloc&) {
            error = "out of memory while loading the history";
        }
        w->market.flush();
        return error;
    });
}

// Applies up to `events` events; *applied says how many (0: the history is over).
TVX_EXPORT const char* tvx_world_replay_step(std::uint64_t id, std::uint64_t events, std::uint64_t* applied) {
    return guarded([&]() -> std::string {
        std::shared_ptr<World> w = worlds::find(id);
        if (!w) return no_world(id);
        const std::uint64_t n = run_steps(*w, events, INT64_MAX);
        if (applied) *applied = n;
        return "";
    });
}

// Applies every event up to and including second `t`, then moves the clock
// to `t`; *applied says how many.
TVX_EXPORT const char* tvx_world_replay_until(std::uint64_t id, std::int64_t t, std::uint64_t* applied) {
    return guarded([&]() -> std::string {
        if (t < kEarliestTime || t > kLatestTime)
            return "time " + std::to_string(t) + " outside the years 1 to 9999 (seconds since 1970)";
        std::shared_ptr<World> w = worlds::find(id);
        if (!w) return no_world(id);
        const std::uint64_t n = run_steps(*w, UINT64_MAX, t);
        if (applied) *applied = n;
        return "";
    });
}

// Runs the rest on a thread of the library, `speed` simulated seconds per
// second of real time (0 or less: as fast as it goes), lockstep kept.
TVX_EXPORT const char* tvx_world_replay_run(std::uint64_t id, double speed) {
    return guarded([&]() -> std::string {
        std::shared_ptr<World> w = worlds::find(id);
        if (!w) return no_world(id);
        {
            std::lock_guard<std::mutex> g(w->lock);
            if (w->ended()) return no_world(id);
            if (!w->replay.loaded()) return "no history loaded";
        }
        ReplayDriver& run = w->driver;
        std::lock_guard<std::mutex> lk(run.m);
        if (run.running) return "the replay is already running";
        try {
            std::thread t(run_loop, w, speed);
            run.running = true;
            run.stop = false;
            run.thread = t.get_id();
            t.detach();
        } catch (const std::system_error&) {
            return "no thread could be started for the replay";
        }
        return "";
    });
}

TVX_EXPORT const char* tvx_world_replay_stop(std::uint64_t id) {
    return guarded([&]() -> std::string {
        std::shared_ptr<World> w = worlds::find(id);
        if (!w) return no_world(id);
        w->driver.halt();
        return "";
    });
}

// Where the replay stands, as JSON in *out (valid until this thread calls again).
TVX_EXPORT const char* tvx_world_replay_state(std::uint64_t id, const char** out) {
    thread_local std::string kept;
    return guarded([&]() -> std::string {
        std::shared_ptr<World> w = worlds::find(id);
        if (!w) return no_world(id);
        bool running;
        {
            std::lock_guard<std::mutex> lk(w->driver.m);
            running = w->driver.running;
        }
        std::lock_guard<std::mutex> g(w->lock);
        kept = w->replay.state_json(w->market, running);
        if (out) *out = kept.c_str();
        return "";
    });
}

// ------------------------------------------------------- the default world
TVX_EXPORT const char* tvx_replay_load(const std::uint8_t* block, std::uint64_t size) {
    return tvx_world_replay_load(worlds::kDefault, block, size);
}
TVX_EXPORT std::uint64_t tvx_replay_step(std::uint64_t events) {
    std::uint64_t n = 0;
    return tvx_world_replay_step(worlds::kDefault, events, &n) ? 0 : n;
}
TVX_EXPORT std::uint64_t tvx_replay_until(std::int64_t t) {
    std::uint64_t n = 0;
    return tvx_world_replay_until(worlds::kDefault, t, &n) ? 0 : n;
}
TVX_EXPORT const char* tvx_replay_run(double speed) { return tvx_world_replay_run(worlds::kDefault, speed); }
TVX_EXPORT const char* tvx_replay_stop() { return tvx_world_replay_stop(worlds::kDefault); }
TVX_EXPORT const char* tvx_replay_state() {
    const char* out = nullptr;
    const char* error = tvx_world_replay_state(worlds::kDefault, &out);
    if (!error) return out;
    try {
        thread_local std::string kept;
        kept = json::Writer().begin_object().field("error", error).end_object().take();
        return kept.c_str();
    } catch (...) {
        return "{\"error\": \"out of memory\"}";
    }
}
