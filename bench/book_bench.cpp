// The matching engine alone: orders per second into one book for adds that
// rest, cancels in random order, takers that match, and a mixed flow, each
// the best of several rounds. Events are cleared after every operation, as
// the broker does once it has read them. Times are the thread's CPU time, so
// that other work on a shared machine does not count (its cache effects do).
//   bash bench/run.sh --book     (builds with -O2 and runs)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

#include "../sandbox/src/book.h"

using namespace tvx::sandbox::engine;

// The calling thread's CPU time.
struct Clock {
    using time_point = double;
    static double now() {
        timespec ts;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
    }
};

namespace {

constexpr Px kMid = 100000;
constexpr int kLevels = 1000;  // levels each side orders spread over

struct Flow {
    std::vector<BookOrder> orders;
};

// Orders resting on both sides, none crossing.
Flow resting(std::size_t n, std::mt19937_64& g) {
    Flow f;
    f.orders.reserve(n);
    std::uniform_int_distribution<int> lvl(1, kLevels), vol(1, 100);
    for (std::size_t i = 0; i < n; ++i) {
        const bool buy = i & 1;
        const Px px = buy ? kMid - lvl(g) : kMid + lvl(g);
        f.orders.push_back(BookOrder{static_cast<OrderId>(i), buy ? Side::Buy : Side::Sell, PriceType::Limit, Validity::Day,
                                     px, vol(g), 0});
    }
    return f;
}

double seconds(double a, double b) { return b - a; }

struct Result {
    double add = 0, cancel = 0, match = 0, fills = 0, mixed = 0;
};

Result round(std::size_t n, unsigned seed) {
    Result r;
    std::mt19937_64 g(seed);
    const Flow f = resting(n, g);
    std::vector<Handle> handles(n);

    // Adds that rest.
    {
        Book b(1, kMid - kLevels, kMid + kLevels);
        auto t0 = Clock::now();
        for (std::size_t i = 0; i < n; ++i) {
            handles[i] = b.add(f.orders[i]).handle;
            b.clear_events();
        }
        auto t1 = Clock::now();
        r.add = n / seconds(t0, t1);

        // Cancels of every one, in random order.
        std::vector<std::size_t> order(n);
        for (std::size_t i = 0; i < n; ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), g);
        t0 = Clock::now();
        for (std::size_t i : order) {
            b.cancel(handles[i]);
            b.clear_events();
        }
        t1 = Clock::now();
        r.cancel = n / seconds(t0, t1);
        if (b.resting() != 0) std::abort();
    }

    // Takers that sweep into a full book: each crosses the spread by a few levels.
    {
        Book b(1, kMid - kLevels, kMid + kLevels);
        for (std::size_t i = 0; i < n; ++i) {
            b.add(f.orders[i]);
            b.clear_events();
        }
        std::vector<BookOrder> takers;
        std::uniform_int_distribution<int> vol(1, 150);
        const std::size_t m = n / 4;
        for (std::size_t i = 0; i < m; ++i) {
            const bool buy = i & 1;
            takers.push_back(BookOrder{static_cast<OrderId>(n + i), buy ? Side::Buy : Side::Sell, PriceType::Limit,
                                       Validity::IOC, buy ? kMid + kLevels : kMid - kLevels, vol(g), 0});
        }
        std::size_t fills = 0;
        const auto t0 = Clock::now();
        for (const BookOrder& o : takers) {
            b.add(o);
            for (const BookEvent& e : b.events()) fills += e.kind == BookEventKind::Filled;
            b.clear_events();
        }
        const auto t1 = Clock::now();
        r.match = m / seconds(t0, t1);
        r.fills = fills / seconds(t0, t1);
    }

    // Mixed: 60% adds around the touch, 30% cancels, 10% takers.
    {
        Book b(1, kMid - kLevels, kMid + kLevels);
        std::vector<Handle> live;
        live.reserve(n);
        std::uniform_int_distribution<int> kind(0, 9), lvl(0, 50), vol(1, 100);
        std::uniform_int_distribution<std::size_t> any(0, 1u << 30);
        const auto t0 = Clock::now();
        for (std::size_t i = 0; i < n; ++i) {
            const int k = kind(g);
            if (k < 6 || live.empty()) {
                const bool buy = i & 1;
                const Px px = buy ? kMid - lvl(g) : kMid + 1 + lvl(g);
                const Handle h = b.add(BookOrder{static_cast<OrderId>(i), buy ? Side::Buy : Side::Sell, PriceType::Limit,
                                                 Validity::Day, px, vol(g), 0}).handle;
                if (h.valid()) live.push_back(h);
            } else if (k < 9) {
                const std::size_t j = any(g) % live.size();
                b.cancel(live[j]);  // may be stale (matched since): then a no-op, as for the broker
                live[j] = live.back();
                live.pop_back();
            } else {
                const bool buy = i & 1;
                b.add(BookOrder{static_cast<OrderId>(i), buy ? Side::Buy : Side::Sell, PriceType::Market, Validity::IOC,
                                buy ? kMid + 2 * kLevels : 1, vol(g) * 2, 0});
            }
            b.clear_events();
        }
        const auto t1 = Clock::now();
        r.mixed = n / seconds(t0, t1);
    }
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    Result best;
    for (int k = 0; k < rounds; ++k) {
        const Result r = round(n, 1234 + k);
        best.add = std::max(best.add, r.add);
        best.cancel = std::max(best.cancel, r.cancel);
        best.match = std::max(best.match, r.match);
        best.fills = std::max(best.fills, r.fills);
        best.mixed = std::max(best.mixed, r.mixed);
    }
    std::printf("matching engine, one book, %zu orders over %d levels a side, best of %d rounds (CPU time)\n", n, kLevels, rounds);
    std::printf("  %-34s %12.0f /s  (%.0f ns each)\n", "add (rests)", best.add, 1e9 / best.add);
    std::printf("  %-34s %12.0f /s  (%.0f ns each)\n", "cancel (random order)", best.cancel, 1e9 / best.cancel);
    std::printf("  %-34s %12.0f /s  (%.0f ns each, %.0f fills/s)\n", "match (IOC takers into a full book)", best.match,
                1e9 / best.match, best.fills);
    std::printf("  %-34s %12.0f /s  (%.0f ns each)\n", "mixed 60% add / 30% cancel / 10% take", best.mixed, 1e9 / best.mixed);
    return 0;
}
