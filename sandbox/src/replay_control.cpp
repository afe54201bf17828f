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
#include <thread>

#include "platform.h"
#include "replay.h"

using namespace tvx::sandbox;

namespace {

// One stepper at a time; a callable stepping from inside a delivery is the
// same thread and goes on. Ownership can be taken away (revoke): a runner
// being stopped while its receiver blocks is not waited for, and finds on
// its return that it may step no more.
struct Stepping {
    std::mutex m;
    std::condition_variable cv;
    std::thread::id owner;
    int depth = 0;
    std::uint64_t generation = 0;
};

Stepping& stepping() {
    static auto* s = new Stepping;
    return *s;
}

class Stepper {
   public:
    Stepper() {
        Stepping& s = stepping();
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
        Stepping& s = stepping();
        std::lock_guard<std::mutex> lk(s.m);
        if (!valid_locked() || --s.depth > 0) return;
        s.owner = std::thread::id();
        s.cv.notify_all();
    }
    Stepper(const Stepper&) = delete;
    Stepper& operator=(const Stepper&) = delete;
    bool valid() const {
        std::lock_guard<std::mutex> lk(stepping().m);
        return valid_locked();
    }

   private:
    bool valid_locked() const {
        const Stepping& s = stepping();
        return s.owner == std::this_thread::get_id() && s.generation == generation_;
    }
    std::uint64_t generation_;
};

// Takes the stepping away from thread `t`.
void revoke_stepping(std::thread::id t) {
    Stepping& s = stepping();
    std::lock_guard<std::mutex> lk(s.m);
    if (s.owner != t || t == std::thread::id()) return;
    s.owner = std::thread::id();
    s.depth = 0;
    ++s.generation;
    s.cv.notify_all();
}

// The free-running replay. Each run has its generation; a stop moves it on,
// and a runner of an older generation ends without touching anything more.
struct Runner {
    std::mutex m;
    std::condition_variable cv;
    bool running = false;
    bool applying = false;  // inside a step, under the broker's lock (never for long)
    std::uint64_t generation = 0;
    std::thread::id thread;
};

Runner& runner() {
    static auto* r = new Runner;
    return *r;
}

// Whether run `generation` is still the current one; as it goes, whether it
// is applying events now.
bool runner_current(std::uint64_t generation, bool applying) {
    Runner& run = runner();
    std::lock_guard<std::mutex> lk(run.m);
    if (run.generation != generation) return false;
    run.applying = applying;
    if (!applying) run.cv.notify_all();
    return true;
}

// Applies up to `n` events, and none past `until`; the number applied. A
// runner passes its generation (0: a lockstep caller).
std::uint64_t run_steps_or_throw(std::uint64_t n, std::int64_t until, std::uint64_t run, std::uint64_t& done);

// Nothing may unwind into the caller's frames (ctypes, a C host): out of
// memory ends the steps where it struck.
std::uint64_t run_steps(std::uint64_t n, std::int64_t until, std::uint64_t run = 0) {
    std::uint64_t done = 0;
    try {
        return run_steps_or_throw(n, until, run, done);
    } catch (const std::exception&) {
        if (run) runner_current(run, false);
        return done;
    }
}

std::uint64_t run_steps_or_throw(std::uint64_t n, std::int64_t until, std::uint64_t run, std::uint64_t& done) {
    if (run && !runner_current(run, false)) return 0;
    Stepper stepper;
    struct Hosting {
        Hosting() { event_worker().host(); }
        ~Hosting() { event_worker().unhost(); }
    } hosting;
    BrokerState& b = broker();
    Replay& r = replay();
    for (;;) {
        bool more = true;
        {
            std::lock_guard<std::mutex> g(b.lock);
            // A stop, reset or load came in while this thread was delivering.
            if (!stepper.valid() || (run && !runner_current(run, true))) return done;
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
            if (run) runner_current(run, false);
        }
        event_worker().run_here();
        if (!more || done >= n) return done;
    }
}

// Waits `seconds` of real time (however many) unless run `generation` stops.
void runner_wait(double seconds, std::uint64_t generation) {
    using clock = std::chrono::steady_clock;
    Runner& run = runner();
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

void run_loop(double speed, std::uint64_t generation) {
    Runner& run = runner();
    for (;;) {
        std::int64_t gap = 0;
        {
            BrokerState& b = broker();
            std::lock_guard<std::mutex> g(b.lock);
            if (!runner_current(generation, false)) return;
            const std::int64_t next = replay().next_time();
            if (next == INT64_MAX) break;
            gap = next - b.now;
        }
        if (speed > 0 && gap > 0) runner_wait(static_cast<double>(gap) / speed, generation);
        if (run_steps(1, INT64_MAX, generation) == 0) break;
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
void replay_halt() {
    Runner& run = runner();
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
    revoke_stepping(t);
    event_worker().retire_host(t);
}

// In a forked child the runner's thread did not come along.
void replay_after_fork_in_child() {
    Runner& run = runner();
    new (&run.m) std::mutex;
    new (&run.cv) std::condition_variable;
    run.running = false;
    run.applying = false;
    ++run.generation;
    run.thread = {};
    Stepping& s = stepping();
    new (&s.m) std::mutex;
    new (&s.cv) std::condition_variable;
    s.owner = {};
    s.depth = 0;
    ++s.generation;
}

}  // namespace tvx::sandbox

// Loads a packed history block (copied) and starts the replay: the clock goes
// to its first event. Null on success, else what was wrong (valid until this
// thread calls again).
TVX_EXPORT const char* tvx_replay_load(const std::uint8_t* block, std::uint64_t size) {
    try {
        replay_halt();
        Stepper one;
        BrokerState& b = broker();
        std::lock_guard<std::mutex> g(b.lock);
        if (clock_running()) {
            b.options.running = false;
            clock_configure(false, b.options.interval_ms);
        }
        std::string error = replay().load(b, block, size);
        b.flush();
        return control_outcome(error);
    } catch (const std::bad_alloc&) {
        return "out of memory while loading the history";
    } catch (const std::exception& e) {
        return control_outcome(e.what());
    }
}

// Applies up to `events` events; returns how many (0: the history is over).
TVX_EXPORT std::uint64_t tvx_replay_step(std::uint64_t events) { return run_steps(events, INT64_MAX); }

// Applies every event up to and including second `t`, then moves the clock to
// `t`; returns how many.
TVX_EXPORT std::uint64_t tvx_replay_until(std::int64_t t) { return run_steps(UINT64_MAX, t); }

// Runs the rest on a thread of the library, `speed` simulated seconds per
// second of real time (0 or less: as fast as it goes), lockstep kept.
TVX_EXPORT const char* tvx_replay_run(double speed) {
    Runner& run = runner();
    if (std::isnan(speed) || std::isinf(speed))
        return control_outcome("the speed must be a finite number (0 or less: as fast as it goes)");
    {
        BrokerState& b = broker();
        std::lock_guard<std::mutex> g(b.lock);
        if (!replay().loaded()) return control_outcome("no history loaded");
    }
    std::lock_guard<std::mutex> lk(run.m);
    if (run.running) return control_outcome("the replay is already running");
    try {
        const std::uint64_t generation = ++run.generation;
        std::thread t(run_loop, speed, generation);
        run.running = true;
        run.applying = false;
        run.thread = t.get_id();
        t.detach();
    } catch (const std::exception&) {
        return "no thread could be started for the replay";
    }
    return nullptr;
}

TVX_EXPORT void tvx_replay_stop() { replay_halt(); }

// Where the replay stands, as JSON (valid until this thread calls again).
TVX_EXPORT const char* tvx_replay_state() {
    thread_local std::string out;
    bool running;
    {
        std::lock_guard<std::mutex> lk(runner().m);
        running = runner().running;
    }
    BrokerState& b = broker();
    std::lock_guard<std::mutex> g(b.lock);
    try {
        out = replay().state_json(b, running);
    } catch (const std::exception&) {
        return "{\"error\": \"out of memory\"}";
    }
    return out.c_str();
}
