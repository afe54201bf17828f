// The matching engine alone: orders per second into one book for adds that
// rest, cancels in random order, takers that match, and a mixed flow, each
// the best of several rounds; then the ledger's part of a placement and of
// account figures at 0, 10k and 100k orders of history. Events are cleared after every operation, as
// the broker does once it has read them. Times are the thread's CPU time, so
// that other work on a shared machine does not count (its cache effects do).
//   bash bench/run.sh --book [orders [rounds]]    (builds with -O2 and runs)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

#include "../sandbox/src/book.h"
#include "../sandbox/src/ledger.h"

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
        f.orders.push_back(BookOrder{static_cast<OrderId>(i), buy ? Side::Buy : Side::Sell, PriceType::Limit,
                                     Validity::Day, px, vol(g), 0});
    }
    return f;
}

double seconds(double a, double b) { return b - a; }

struct Result {
    double add = 0, cancel = 0, match = 0, fills = 0, mixed = 0, wide = 0;
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

    // Adds that rest anywhere on a coin's range, 5 to 94,000 at 0.01 (prices
    // in 1e-8): 9.4 million levels a side, a page of 64 made for nearly every order.
    {
        const Px cent = 1000000;
        Book b(cent, 500 * cent, 9400000 * cent);
        std::uniform_int_distribution<Px> at(500, 9400000);
        std::vector<BookOrder> wide;
        wide.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            const Px px = at(g) * cent;
            const bool buy = px < 4700000 * cent;
            wide.push_back(BookOrder{static_cast<OrderId>(i), buy ? Side::Buy : Side::Sell, PriceType::Limit,
                                     Validity::Day, px, 1, 0});
        }
        const auto t0 = Clock::now();
        for (const BookOrder& o : wide) {
            b.add(o);
            b.clear_events();
        }
        const auto t1 = Clock::now();
        r.wide = n / seconds(t0, t1);
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
                const Handle h = b.add(BookOrder{static_cast<OrderId>(i), buy ? Side::Buy : Side::Sell,
                                                 PriceType::Limit, Validity::Day, px, vol(g), 0})
                                     .handle;
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

// The ledger's side of a placement (check, hold, release) and an account's
// figures, with `history` orders of the account resting and as many filled.
std::pair<double, double> ledger_case(std::size_t history) {
    Ledger l;
    l.set_instrument(0, InstrumentTerms{Market::Equity, 1, {}, {}, 5000000});
    l.set_mark(0, kMid * 40);
    const int a = l.add_equity_account(Money::of(1e12), Money{}, false);
    l.seed_equity(a, 0, 1000000000, kMid * 40);
    OrderId id = 0;
    for (std::size_t i = 0; i < history; ++i) {
        l.place(++id, OrderTerms{a, 0, i & 1 ? Side::Buy : Side::Sell, PositionMode::Open, kMid * 40 - 100, 100});
        l.place(++id, OrderTerms{a, 0, Side::Buy, PositionMode::Open, kMid * 40, 100});
        l.fill(id, kMid * 40, 100);
    }
    const std::size_t m = 200000;
    double t0 = Clock::now();
    std::size_t ok = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const OrderTerms o{a, 0, i & 1 ? Side::Buy : Side::Sell, PositionMode::Open, kMid * 40, 100};
        ok += l.check(o).ok();
        l.place(++id, o);
        l.remove(id);
    }
    double t1 = Clock::now();
    const double place = m / (t1 - t0);
    t0 = Clock::now();
    for (std::size_t i = 0; i < m; ++i) ok += l.equity_figures(a).buying_power.units > 0;
    t1 = Clock::now();
    if (ok != 2 * m) std::abort();
    return {place, m / (t1 - t0)};
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
        best.wide = std::max(best.wide, r.wide);
    }
    std::printf("matching engine, one book, %zu orders over %d levels a side, best of %d rounds (CPU time)\n", n,
                kLevels, rounds);
    std::printf("  %-34s %12.0f /s  (%.0f ns each)\n", "add (rests)", best.add, 1e9 / best.add);
    std::printf("  %-34s %12.0f /s  (%.0f ns each)\n", "cancel (random order)", best.cancel, 1e9 / best.cancel);
    std::printf("  %-34s %12.0f /s  (%.0f ns each, %.0f fills/s)\n", "match (IOC takers into a full book)", best.match,
                1e9 / best.match, best.fills);
    std::printf("  %-34s %12.0f /s  (%.0f ns each)\n", "mixed 60% add / 30% cancel / 10% take", best.mixed,
                1e9 / best.mixed);
    std::printf("  %-34s %12.0f /s  (%.0f ns each)\n", "add (rests) over 5 to 94,000 at 0.01", best.wide,
                1e9 / best.wide);
    std::printf("ledger, one equity account, best of %d rounds (CPU time)\n", rounds);
    for (std::size_t history : {std::size_t{0}, std::size_t{10000}, std::size_t{100000}}) {
        std::pair<double, double> best_l{0, 0};
        for (int k = 0; k < rounds; ++k) {
            const auto r = ledger_case(history);
            best_l = {std::max(best_l.first, r.first), std::max(best_l.second, r.second)};
        }
        std::printf(
            "  %6zu resting + %6zu filled: placement check+hold+release %9.0f /s (%.3f us), figures %9.0f /s (%.3f "
            "us)\n",
            history, history, best_l.first, 1e6 / best_l.first, best_l.second, 1e6 / best_l.second);
    }
    return 0;
}
