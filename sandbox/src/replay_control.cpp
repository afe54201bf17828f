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
#include <thread>

#include "platform.h"
#include "replay.h"

using namespace tvx::sandbox;

namespace {

// One stepper at a time; a callable stepping from inside a delivery is the
// same thread and goes on.
std::recursive_mutex& stepping() {
    static auto* m = new std::recursive_mutex;
    return *m;
}

struct Runner {
    std::mutex m;
    std::condition_variable cv;
    bool running = false, stop = false;
    std::thread::id thread;
};

Runner& runner() {
    static auto* r = new Runner;
    return *r;
}

// Applies up to `n` events, and none past `until`; the number applied.
std::uint64_t run_steps_or_throw(std::uint64_t n, std::int64_t until, std::uint64_t& done);

// Nothing may unwind into the caller's frames (ctypes, a C host): out of
// memory ends the steps where it struck.
std::uint64_t run_steps(std::uint64_t n, std::int64_t until) {
    std::uint64_t done = 0;
    try {
        return run_steps_or_throw(n, until, done);
    } catch (const std::exception&) {
        return done;
    }
}

std::uint64_t run_steps_or_throw(std::uint64_t n, std::int64_t until, std::uint64_t& done) {
    std::lock_guard<std::recursive_mutex> one(stepping());
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
        event_worker().run_here();
        if (!more || done >= n) return done;
    }
}

void run_loop(double speed) {
    Runner& run = runner();
    using clock = std::chrono::steady_clock;
    for (;;) {
        std::int64_t gap = 0;
        {
            BrokerState& b = broker();
            std::lock_guard<std::mutex> g(b.lock);
            const std::int64_t next = replay().next_time();
            if (next == INT64_MAX) break;
            gap = next - b.now;
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
        if (run_steps(1, INT64_MAX) == 0) break;
    }
    std::lock_guard<std::mutex> lk(run.m);
    run.running = false;
    run.thread = {};
    run.cv.notify_all();
}

}  // namespace

namespace tvx::sandbox {

// Stops a free-running replay and waits for its thread, unless that thread
// is the caller (a callable of the replay asking).
void replay_halt() {
    Runner& run = runner();
    std::unique_lock<std::mutex> lk(run.m);
    if (!run.running) return;
    run.stop = true;
    run.cv.notify_all();
    if (run.thread == std::this_thread::get_id()) return;
    run.cv.wait(lk, [&] { return !run.running; });
}

// In a forked child the runner's thread did not come along.
void replay_after_fork_in_child() {
    Runner& run = runner();
    new (&run.m) std::mutex;
    new (&run.cv) std::condition_variable;
    run.running = false;
    run.thread = {};
    new (&stepping()) std::recursive_mutex;
}

}  // namespace tvx::sandbox

// Loads a packed history block (copied) and starts the replay: the clock goes
// to its first event. Null on success, else what was wrong (valid until this
// thread calls again).
TVX_EXPORT const char* tvx_replay_load(const std::uint8_t* block, std::uint64_t size) {
    try {
        replay_halt();
        std::lock_guard<std::recursive_mutex> one(stepping());
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
    {
        BrokerState& b = broker();
        std::lock_guard<std::mutex> g(b.lock);
        if (!replay().loaded()) return control_outcome("no history loaded");
    }
    std::lock_guard<std::mutex> lk(run.m);
    if (run.running) return control_outcome("the replay is already running");
    try {
        std::thread t(run_loop, speed);
        run.running = true;
        run.stop = false;
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
