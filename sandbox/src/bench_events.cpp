// A benchmark's event source: native threads that hand event records to a
// receiver back to back, or paced at a fixed interval. Each payload is the
// emit time (CLOCK_MONOTONIC nanoseconds, the clock behind Python's
// time.perf_counter_ns) in decimal, so a callable can tell each event's
// latency.
#include <atomic>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

#include "sandbox.h"

namespace {

std::int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void emit(tvx::wire::EventReceiver receiver, const char* key, long count, long interval_ns, std::atomic<int>* waiting,
          const std::atomic<bool>* abandoned) {
    // All threads start together, or the first would deliver alone for a while.
    waiting->fetch_sub(1);
    while (waiting->load() > 0) std::this_thread::yield();
    if (abandoned->load()) return;
    char payload[32];
    tvx::wire::EventRecord rec{};
    rec.subscription_key = key;
    rec.payload = payload;
    std::int64_t next = now_ns();
    for (long i = 0; i < count; ++i) {
        if (interval_ns > 0) {
            next += interval_ns;
            while (now_ns() < next) {
            }
        }
        std::snprintf(payload, sizeof payload, "%lld", static_cast<long long>(now_ns()));
        receiver(&rec);
    }
}

}  // namespace

// Hands `count` events for `key` to `receiver` from each of `threads` new
// native threads (every `interval_ns` when positive) and returns, once they
// have ended, the seconds from the first start to the last end; -1 for bad
// arguments, -2 when not every thread could be started (then none emits).
TVX_EXPORT double tvx_bench_emit(std::uint64_t receiver, const char* key, int threads, long count, long interval_ns) {
    if (receiver == 0 || !key || threads < 1 || threads > 64 || count < 0) return -1;
    const auto fn = reinterpret_cast<tvx::wire::EventReceiver>(receiver);
    std::atomic<int> waiting{threads};
    std::atomic<bool> abandoned{false};
    const std::int64_t t0 = now_ns();
    std::vector<std::thread> pool;
    bool started = true;
    try {
        pool.reserve(static_cast<std::size_t>(threads));
        for (int t = 0; t < threads; ++t) pool.emplace_back(emit, fn, key, count, interval_ns, &waiting, &abandoned);
    } catch (...) {
        // std::system_error (no thread could be made) or bad_alloc: the threads
        // already running wait for the rest; let them go without emitting, and
        // join them, since a joinable std::thread destroyed would terminate.
        started = false;
        abandoned.store(true);
        waiting.store(0);
    }
    for (std::thread& t : pool) t.join();
    if (!started) return -2;
    return static_cast<double>(now_ns() - t0) / 1e9;
}
