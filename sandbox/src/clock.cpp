// The broker's clock thread: moves the market one tick every interval while
// running. Each tick's events are flushed before the next tick starts.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "broker_state.h"
#include "platform.h"

namespace tvx::sandbox {

// ------------------------------------------------------------------- clock
namespace {

struct Clock {
    std::mutex m;
    std::condition_variable cv;
    bool running = false, started = false;
    int interval_ms = 250;
    std::uint64_t generation = 0;
};

Clock& clock_state() {
    static Clock* c = new Clock;
    return *c;
}

void clock_loop() {
    Clock& c = clock_state();
    for (;;) {
        std::uint64_t generation;
        {
            std::unique_lock<std::mutex> lk(c.m);
            c.cv.wait(lk, [&] { return c.running; });
            generation = c.generation;
            const auto interval = std::chrono::milliseconds(c.interval_ms);
            if (c.cv.wait_for(lk, interval, [&] { return c.generation != generation; })) continue;
        }
        BrokerState& b = broker();
        std::lock_guard<std::mutex> g(b.lock);
        {
            // A reset or stop that came in meanwhile wins over this tick.
            std::lock_guard<std::mutex> lk(c.m);
            if (c.generation != generation || !c.running) continue;
        }
        b.step(1);
        b.flush();
    }
}

}  // namespace

void clock_configure(bool running, int interval_ms) {
    Clock& c = clock_state();
    std::lock_guard<std::mutex> lk(c.m);
    c.running = running;
    c.interval_ms = std::max(1, interval_ms);
    ++c.generation;
    if (running && !c.started) {
        c.started = true;
        std::thread(clock_loop).detach();
    }
    c.cv.notify_all();
}

bool clock_running() {
    Clock& c = clock_state();
    std::lock_guard<std::mutex> lk(c.m);
    return c.running;
}

// ------------------------------------------------------------------- fork
// The forking thread takes the broker's lock, the clock's and the event
// worker's (in the order the library always takes them), so the child never
// inherits one held by a thread it does not have. The child gets the world as
// it stood (logins included), the clock stopped, no streams and no queued
// events.
namespace {

void fork_prepare() {
    broker().lock.lock();
    clock_state().m.lock();
    broker().streams.fork_prepare();
}

void fork_parent() {
    broker().streams.fork_parent();
    clock_state().m.unlock();
    broker().lock.unlock();
}

void fork_child() {
    BrokerState& b = broker();
    b.streams.fork_child();
    replay_after_fork_in_child();
    Clock& c = clock_state();
    c.running = c.started = false;
    ++c.generation;
    c.m.unlock();
    b.options.running = false;
    b.lock.unlock();
}

}  // namespace

void prepare_for_fork() { platform::at_fork(fork_prepare, fork_parent, fork_child); }

}  // namespace tvx::sandbox
