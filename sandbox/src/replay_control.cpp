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
#include <cmath>
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

// One stepper at a time; a callable stepping from inside a delivery is the
// same thread and goes on. Ownership can be taken away (revoke): a runner
// being stopped while its receiver blocks is not waited for, and finds on
// its return that it may step no more.

class Stepper {
   public:
    explicit Stepper(World& w) : w_(w) {
        Stepping& s = w_.driver.stepping;
        std::unique_lock<std::mutex> lk(s.m);
        const auto me = std::this_thread::get_id();
        if (s.owner != me) {
            s.cv.wait(lk, [&] { return s.owner == std::thread::id(); });
            s.owner = me;
            s.depth = 0;
            ++s.generation;
        }
        ++s.depth;
        generation_ = s.generation;
    }
    ~Stepper() {
        Stepping& s = w_.driver.stepping;
        std::lock_guard<std::mutex> lk(s.m);
        if (!valid_locked() || --s.depth > 0) return;
        s.owner = std::thread::id();
        s.cv.notify_all();
    }
    Stepper(const Stepper&) = delete;
    Stepper& operator=(const Stepper&) = delete;
    bool valid() const {
        std::lock_guard<std::mutex> lk(w_.driver.stepping.m);
        return valid_locked();
    }

   private:
    bool valid_locked() const {
        const Stepping& s = w_.driver.stepping;
        return s.owner == std::this_thread::get_id() && s.generation == generation_;
    }
    World& w_;
    std::uint64_t generation_;
};

// Takes the stepping away from thread `t`.
void revoke_stepping(World& w, std::thread::id t) {
    Stepping& s = w.driver.stepping;
    std::lock_guard<std::mutex> lk(s.m);
    if (s.owner != t || t == std::thread::id()) return;
    s.owner = std::thread::id();
    s.depth = 0;
    ++s.generation;
    s.cv.notify_all();
}

// Whether run `generation` is still the current one; as it goes, whether it
// is applying events now.
bool runner_current(World& w, std::uint64_t generation, bool applying) {
    Runner& run = w.driver.runner;
    std::lock_guard<std::mutex> lk(run.m);
    if (run.generation != generation) return false;
    run.applying = applying;
    if (!applying) run.cv.notify_all();
    return true;
}

// Applies up to `n` events, and none past `until`; the number applied. A
// runner passes its generation (0: a lockstep caller).
std::uint64_t run_steps_or_throw(World& w, std::uint64_t n, std::int64_t until, std::uint64_t run, std::uint64_t& done);

// Nothing may unwind into the caller's frames (ctypes, a C host): out of
// memory ends the steps where it struck.
std::uint64_t run_steps(World& w, std::uint64_t n, std::int64_t until, std::uint64_t run = 0) {
    std::uint64_t done = 0;
    try {
        return run_steps_or_throw(w, n, until, run, done);
    } catch (...) {
        if (run) runner_current(w, run, false);
        return done;
    }
}

std::uint64_t run_steps_or_throw(World& w, std::uint64_t n, std::int64_t until, std::uint64_t run,
                                 std::uint64_t& done) {
    if (run && !runner_current(w, run, false)) return 0;
    Stepper stepper(w);
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
            // A stop, reset or load came in while this thread was delivering.
            if (w.ended() || !stepper.valid() || (run && !runner_current(w, run, true))) return done;
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
            if (run) runner_current(w, run, false);
        }
        worker->run_here();
        if (!more || done >= n) return done;
    }
}

// Waits `seconds` of real time (however many) unless run `generation` stops.
void runner_wait(World& w, double seconds, std::uint64_t generation) {
    using clock = std::chrono::steady_clock;
    Runner& run = w.driver.runner;
    const auto start = clock::now();
    std::unique_lock<std::mutex> lk(run.m);
    while (run.generation == generation) {
        const double waited = std::chrono::duration<double>(clock::now() - start).count();
        if (!(waited < seconds)) return;
        // A slice a duration surely holds: gap / speed may not fit one.
        const double slice = std::min(seconds - waited, 3600.0);
        run.cv.wait_for(lk, std::chrono::duration<double>(slice));
    }
}

void run_loop(std::shared_ptr<World> w, double speed, std::uint64_t generation) {
    Runner& run = w->driver.runner;
    for (;;) {
        std::int64_t gap = 0;
        {
            std::lock_guard<std::mutex> g(w->lock);
            if (!runner_current(*w, generation, false)) return;
            const std::int64_t next = w->replay.next_time();
            if (next == INT64_MAX || w->ended()) break;
            gap = next - w->market.now;
        }
        if (speed > 0 && gap > 0) runner_wait(*w, static_cast<double>(gap) / speed, generation);
        if (run_steps(*w, 1, INT64_MAX, generation) == 0) break;
    }
    std::lock_guard<std::mutex> lk(run.m);
    if (run.generation != generation) return;
    run.running = false;
    run.applying = false;
    run.thread = {};
    run.cv.notify_all();
}

}  // namespace

namespace tvx::sandbox {

// Stops a free-running replay. Waits only while the runner applies events
// (under the broker's lock, never for long); a runner delivering, whose
// receiver may block on the caller itself, is left to finish on its own and
// steps no more. From the runner's own thread (a callable) it only asks.
void replay_halt(World& w) {
    Runner& run = w.driver.runner;
    std::unique_lock<std::mutex> lk(run.m);
    if (!run.running) return;
    const std::thread::id t = run.thread;
    ++run.generation;
    run.running = false;
    run.thread = {};
    run.cv.notify_all();
    if (t == std::this_thread::get_id()) return;
    run.cv.wait(lk, [&] { return !run.applying; });
    lk.unlock();
    revoke_stepping(w, t);
    std::shared_ptr<WorkQueue<Delivery>> worker;
    {
        std::lock_guard<std::mutex> g(w.lock);
        worker = w.market.streams.worker();
    }
    if (worker) worker->retire_host(t);
}

// In a forked child the runner's thread did not come along.
void replay_after_fork_in_child(World& w) {
    Runner& run = w.driver.runner;
    new (&run.m) std::mutex;
    new (&run.cv) std::condition_variable;
    run.running = false;
    run.applying = false;
    ++run.generation;
    run.thread = {};
    Stepping& s = w.driver.stepping;
    new (&s.m) std::mutex;
    new (&s.cv) std::condition_variable;
    s.owner = {};
    s.depth = 0;
    ++s.generation;
}

}  // namespace tvx::sandbox

// Loads a packed history block (copied) into the world and starts the
// replay: the clock goes to its first event. Null on success, else what was
// wrong (valid until this thread calls again).
TVX_EXPORT const char* tvx_world_replay_load(std::uint64_t id, const std::uint8_t* block, std::uint64_t size) {
    return guarded([&]() -> std::string {
        std::shared_ptr<World> w = worlds::find(id);
        if (!w) return no_world(id);
        replay_halt(*w);
        Stepper one(*w);
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
        if (t < calendar::kEarliestTime || t > calendar::kLatestTime)
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
        if (std::isnan(speed) || std::isinf(speed))
            return "the speed must be a finite number (0 or less: as fast as it goes)";
        std::shared_ptr<World> w = worlds::find(id);
        if (!w) return no_world(id);
        {
            std::lock_guard<std::mutex> g(w->lock);
            if (w->ended()) return no_world(id);
            if (!w->replay.loaded()) return "no history loaded";
        }
        Runner& run = w->driver.runner;
        std::lock_guard<std::mutex> lk(run.m);
        if (run.running) return "the replay is already running";
        try {
            const std::uint64_t generation = ++run.generation;
            std::thread t(run_loop, w, speed, generation);
            run.running = true;
            run.applying = false;
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
        replay_halt(*w);
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
            std::lock_guard<std::mutex> lk(w->driver.runner.m);
            running = w->driver.runner.running;
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
    return json_or_error(error, out);
}
