// The order book alone: priority and partial fills, icebergs, FOK/IOC/MARKET,
// cancel/reduce/replace, stops, table growth, and a random run against a plain
// reference book (ordered maps of queues), compared after every operation.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include "../../sandbox/src/book.h"
#include "check.h"

using namespace tvx::sandbox::engine;
using K = BookEventKind;

namespace {

struct Fill {
    OrderId taker, maker;
    Px price;
    std::int64_t volume;
    bool operator==(const Fill&) const = default;
};

std::vector<Fill> fills_of(const Book& b) {
    std::vector<Fill> out;
    for (const BookEvent& e : b.events())
        if (e.kind == K::Filled) out.push_back({e.id, e.maker, e.price, e.volume});
    return out;
}

std::vector<K> kinds(const Book& b, bool with_book_changed = false) {
    std::vector<K> out;
    for (const BookEvent& e : b.events())
        if (with_book_changed || e.kind != K::BookChanged) out.push_back(e.kind);
    return out;
}

BookOrder limit(OrderId id, Side s, Px px, std::int64_t v, std::int64_t peak = 0, Validity val = Validity::Day) {
    return BookOrder{id, s, PriceType::Limit, val, px, v, peak};
}

void priority_and_partial_fills() {
    check::context = "priority";
    Book b(10, 900, 1100);
    const Handle h1 = b.add(limit(1, Side::Buy, 1000, 5)).handle;
    b.add(limit(2, Side::Buy, 1010, 3));
    b.add(limit(3, Side::Buy, 1000, 4));
    b.add(limit(4, Side::Buy, 990, 6));
    CHECK_EQ(b.best_bid(), 1010);
    CHECK_EQ(b.best_ask(), 0);
    b.clear_events();
    // A sell down to 1000 takes the best price first, then time at 1000, at the makers' prices.
    AddResult r = b.add(limit(9, Side::Sell, 1000, 10));
    CHECK((fills_of(b) == std::vector<Fill>{{9, 2, 1010, 3}, {9, 1, 1000, 5}, {9, 3, 1000, 2}}));
    CHECK_EQ(r.filled, 10);
    CHECK_EQ(r.resting, 0);
    CHECK(!r.handle.valid());
    CHECK((kinds(b) == std::vector<K>{K::Accepted, K::Filled, K::Filled, K::Filled}));
    const BookEvent& last = b.events().back();
    CHECK(last.kind == K::BookChanged && last.side == Side::Buy && last.price == 1000);
    CHECK_EQ(b.events()[1].maker_left, 0);
    CHECK_EQ(b.events()[5].maker_left, 2);  // order 3 partly filled, keeps its place
    CHECK_EQ(b.events()[5].taker_left, 0);
    RestingView v;
    CHECK(!b.view(h1, v));  // filled: its handle is stale
    CHECK(!b.cancel(h1));
    auto d = b.depth(Side::Buy, 5);
    CHECK(d.size() == 2 && d[0].price == 1000 && d[0].shown == 2 && d[0].orders == 1 && d[1].price == 990);
    // A buy crossing nothing rests; one crossing takes the ask at the ask's price and rests the rest.
    b.clear_events();
    b.add(limit(10, Side::Sell, 1050, 4));
    r = b.add(limit(11, Side::Buy, 1080, 7));
    CHECK((fills_of(b) == std::vector<Fill>{{11, 10, 1050, 4}}));
    CHECK(r.resting == 3 && r.handle.valid() && b.best_bid() == 1080 && b.best_ask() == 0);
    CHECK(b.view(r.handle, v) && v.remaining == 3 && v.id == 11 && v.price == 1080);
    CHECK_EQ(b.resting(), 3u);
}

void icebergs() {
    check::context = "iceberg";
    Book b(10, 900, 1100);
    const Handle ice = b.add(limit(1, Side::Sell, 1000, 500, 100)).handle;
    b.add(limit(2, Side::Sell, 1000, 100));
    auto d = b.depth(Side::Sell, 5);
    CHECK(d.size() == 1 && d[0].shown == 200 && d[0].total == 600 && d[0].orders == 2);
    b.clear_events();
    // The first slice goes, the next one queues behind order 2, then it is reached again.
    b.add(limit(9, Side::Buy, 1000, 250));
    CHECK((fills_of(b) == std::vector<Fill>{{9, 1, 1000, 100}, {9, 2, 1000, 100}, {9, 1, 1000, 50}}));
    RestingView v;
    CHECK(b.view(ice, v) && v.remaining == 350 && v.shown == 50 && v.peak == 100);
    d = b.depth(Side::Sell, 5);
    CHECK(d.size() == 1 && d[0].shown == 50 && d[0].total == 350);
    // FOK counts the hidden volume: 350 fills in full, 351 expires untouched.
    b.clear_events();
    AddResult r = b.add(limit(10, Side::Buy, 1000, 351, 0, Validity::FOK));
    CHECK(r.expired == 351 && r.filled == 0 && fills_of(b).empty());
    CHECK((kinds(b) == std::vector<K>{K::Accepted, K::Expired}) && b.events().back().why == ExpiryReason::FillOrKill);
    r = b.add(limit(11, Side::Buy, 1000, 350, 0, Validity::FOK));
    CHECK(r.filled == 350 && b.best_ask() == 0 && b.resting() == 0);
    // A resting buy iceberg after a partial fill shows at most its slice.
    r = b.add(BookOrder{12, Side::Sell, PriceType::Limit, Validity::Day, 1000, 30, 0});
    r = b.add(limit(13, Side::Buy, 1000, 250, 100));
    CHECK(r.filled == 30 && r.resting == 220 && b.view(r.handle, v) && v.shown == 100 && v.peak == 100);
}

void validities() {
    check::context = "validity";
    Book b(10, 900, 1100);
    b.add(limit(1, Side::Sell, 1000, 5));
    b.add(limit(2, Side::Sell, 1020, 5));
    b.add(limit(3, Side::Sell, 1100, 5));
    b.clear_events();
    // IOC: matches what it can within its price, the rest expires, nothing rests.
    AddResult r = b.add(limit(4, Side::Buy, 1020, 12, 0, Validity::IOC));
    CHECK(r.filled == 10 && r.expired == 2 && r.resting == 0 && b.best_bid() == 0);
    CHECK(b.events().back().kind == K::Expired && b.events().back().why == ExpiryReason::ImmediateOrCancel &&
          b.events().back().volume == 2);
    // FOK beyond what its price reaches expires and leaves the book as it was.
    r = b.add(limit(5, Side::Buy, 1090, 5, 0, Validity::FOK));
    CHECK(r.expired == 5 && b.best_ask() == 1100 && b.depth(Side::Sell, 1)[0].total == 5);
    // MARKET: up to the day's limit price given, never rests.
    b.add(limit(6, Side::Sell, 1050, 5));
    b.clear_events();
    r = b.add(BookOrder{7, Side::Buy, PriceType::Market, Validity::Day, 1080, 20, 0});
    CHECK((fills_of(b) == std::vector<Fill>{{7, 6, 1050, 5}}));
    CHECK(r.expired == 15 && b.best_bid() == 0 && b.events().back().why == ExpiryReason::Market);
    // Own orders match like any other (no self-trade prevention).
    b.add(limit(8, Side::Buy, 1000, 1));
    b.clear_events();
    b.add(limit(8, Side::Sell, 1000, 1));
    CHECK((fills_of(b) == std::vector<Fill>{{8, 8, 1000, 1}}));
}

void cancel_reduce_replace() {
    check::context = "cancel/replace";
    Book b(10, 900, 1100);
    const Handle a = b.add(limit(1, Side::Buy, 1000, 5)).handle;
    const Handle m = b.add(limit(2, Side::Buy, 1000, 5)).handle;
    const Handle c = b.add(limit(3, Side::Buy, 1000, 5)).handle;
    b.clear_events();
    CHECK(b.cancel(m));
    CHECK((kinds(b) == std::vector<K>{K::Cancelled}) && b.events()[0].volume == 5 && b.events()[0].id == 2);
    CHECK(!b.cancel(m));
    CHECK(!b.reduce(m, 1, 0));
    // Lower volume keeps the place: order 1 still matches first.
    CHECK(b.reduce(a, 2, 0));
    CHECK(!b.reduce(a, 3, 0));  // only lower
    CHECK(!b.reduce(c, 0, 0));
    b.clear_events();
    b.add(limit(9, Side::Sell, 1000, 3));
    CHECK((fills_of(b) == std::vector<Fill>{{9, 1, 1000, 2}, {9, 3, 1000, 1}}));
    // Replace at the same price queues last; at a crossing price it matches at once.
    b.add(limit(4, Side::Buy, 1000, 5));
    AddResult r = b.replace(c, limit(3, Side::Buy, 1000, 4));
    b.clear_events();
    b.add(limit(10, Side::Sell, 1000, 6));
    CHECK((fills_of(b) == std::vector<Fill>{{10, 4, 1000, 5}, {10, 3, 1000, 1}}));
    b.add(limit(11, Side::Sell, 1050, 2));
    b.clear_events();
    r = b.replace(r.handle, limit(3, Side::Buy, 1060, 3));
    CHECK((fills_of(b) == std::vector<Fill>{{3, 11, 1050, 2}}));
    CHECK(r.resting == 1 && b.best_bid() == 1060);
    CHECK(kinds(b).front() == K::Accepted);  // the old place leaves without a Cancelled event
    CHECK(b.remove(r.handle) == 1 && b.resting() == 0);
    // A handle whose slot was reused by a newer order stays stale.
    const Handle n = b.add(limit(12, Side::Buy, 1000, 1)).handle;
    CHECK(n.slot == r.handle.slot && !b.cancel(r.handle) && b.cancel(n));
}

void stops() {
    check::context = "stops";
    Book b(10, 900, 1100);
    b.add_stop(1, Trigger::LastPaidOrHigher, 1010);
    const StopHandle s2 = b.add_stop(2, Trigger::LastPaidOrLower, 990);
    b.add_stop(3, Trigger::LastPaidOrHigher, 1000);
    b.add_stop(4, Trigger::LastPaidOrLower, 1000);
    b.add_stop(5, Trigger::LastPaidOrHigher, 1020);
    std::vector<OrderId> out;
    b.take_triggered(1000, out);  // meets 3 (>= 1000) and 4 (<= 1000), in the order they came
    CHECK((out == std::vector<OrderId>{3, 4}));
    out.clear();
    b.take_triggered(1000, out);
    CHECK(out.empty());
    CHECK(b.cancel_stop(s2) && !b.cancel_stop(s2));
    b.take_triggered(950, out);
    CHECK(out.empty());
    b.take_triggered(1030, out);
    CHECK((out == std::vector<OrderId>{1, 5}) && b.stop_count() == 0);
    CHECK(b.events().back().kind == K::Activated && b.events().back().id == 5 && b.events().back().price == 1030);
}

void growth() {
    check::context = "growth";
    Book b(10, 1000, 1010);  // a narrow table, then prices far on both sides
    b.add(limit(1, Side::Buy, 1000, 1));
    b.add(limit(2, Side::Buy, 30, 1));
    b.add(limit(3, Side::Sell, 50000, 1));
    b.add(limit(4, Side::Sell, 1010, 1));
    CHECK(b.best_bid() == 1000 && b.best_ask() == 1010);
    b.clear_events();
    b.add(BookOrder{5, Side::Sell, PriceType::Market, Validity::Day, 10, 3, 0});
    CHECK((fills_of(b) == std::vector<Fill>{{5, 1, 1000, 1}, {5, 2, 30, 1}}));
    b.add(BookOrder{6, Side::Buy, PriceType::Market, Validity::IOC, 60000, 3, 0});
    CHECK(b.best_ask() == 0 && b.resting() == 0);
    bool threw = false;
    try {
        b.add(limit(7, Side::Buy, 1005, 1));
    } catch (const std::invalid_argument&) {
        threw = true;
    }
    CHECK(threw && b.resting() == 0 && b.events().back().kind != K::Accepted);
    // A price the level table cannot reach is refused before anything moves.
    b.add(limit(8, Side::Sell, 1010, 1));
    threw = false;
    try {
        b.add(limit(9, Side::Buy, 10 * (kMaxLevels + 100000), 1));
    } catch (const std::length_error&) {
        threw = true;
    }
    CHECK(threw && b.resting() == 1 && b.best_ask() == 1010 && b.best_bid() == 0);
}

// ---------------------------------------------------------------- reference
struct RefBook {
    struct R {
        OrderId id;
        std::int64_t remaining, peak, shown;
    };
    std::map<Px, std::deque<R>, std::greater<Px>> bids;
    std::map<Px, std::deque<R>> asks;
    std::vector<Fill> fills;

    template <class M>
    std::int64_t sum(const M& side, Side taker, Px limit) const {
        std::int64_t n = 0;
        for (const auto& [px, q] : side) {
            if (taker == Side::Buy ? px > limit : px < limit) break;
            for (const R& r : q) n += r.remaining;
        }
        return n;
    }
    template <class M>
    std::int64_t run(M& side, Side taker, OrderId id, Px limit, std::int64_t v) {
        while (v > 0 && !side.empty()) {
            auto lv = side.begin();
            if (taker == Side::Buy ? lv->first > limit : lv->first < limit) break;
            auto& q = lv->second;
            while (v > 0 && !q.empty()) {
                R& r = q.front();
                const std::int64_t n = std::min(v, r.shown);
                r.remaining -= n, r.shown -= n, v -= n;
                fills.push_back({id, r.id, lv->first, n});
                if (r.remaining == 0) {
                    q.pop_front();
                } else if (r.shown == 0) {
                    R next = r;
                    next.shown = std::min(next.peak, next.remaining);
                    q.pop_front();
                    q.push_back(next);
                }
            }
            if (q.empty()) side.erase(lv);
        }
        return v;
    }
    void add(const BookOrder& o) {
        const std::int64_t have = o.side == Side::Buy ? sum(asks, Side::Buy, o.price) : sum(bids, Side::Sell, o.price);
        if (o.validity == Validity::FOK && have < o.volume) return;
        const std::int64_t left = o.side == Side::Buy ? run(asks, Side::Buy, o.id, o.price, o.volume)
                                                      : run(bids, Side::Sell, o.id, o.price, o.volume);
        if (left == 0 || o.type == PriceType::Market || o.validity != Validity::Day) return;
        const std::int64_t peak = o.peak > 0 && o.peak < left ? o.peak : left;
        const R r{o.id, left, peak, peak};
        if (o.side == Side::Buy) bids[o.price].push_back(r);
        else asks[o.price].push_back(r);
    }
    template <class M, class F>
    static bool find_in(M& side, OrderId id, F f) {
        for (auto it = side.begin(); it != side.end(); ++it)
            for (auto q = it->second.begin(); q != it->second.end(); ++q)
                if (q->id == id) {
                    f(it->second, q);
                    if (it->second.empty()) side.erase(it);
                    return true;
                }
        return false;
    }
    template <class F>
    bool find(OrderId id, F f) {
        return find_in(bids, id, f) || find_in(asks, id, f);
    }
    void cancel(OrderId id) {
        find(id, [](auto& q, auto it) { q.erase(it); });
    }
    void reduce(OrderId id, std::int64_t v, std::int64_t peak) {
        find(id, [&](auto&, auto it) {
            it->remaining = v;
            it->peak = peak > 0 && peak < v ? peak : v;
            it->shown = std::min({it->shown, it->peak, it->remaining});
            if (it->shown == 0) it->shown = std::min(it->peak, it->remaining);
        });
    }
    template <class M>
    static std::vector<LevelView> levels(const M& side) {
        std::vector<LevelView> out;
        for (const auto& [px, q] : side) {
            LevelView l{px, 0, 0, 0};
            for (const R& r : q) l.shown += r.shown, l.total += r.remaining, ++l.orders;
            out.push_back(l);
        }
        return out;
    }
};

bool same_levels(const std::vector<LevelView>& a, const std::vector<LevelView>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].price != b[i].price || a[i].shown != b[i].shown || a[i].total != b[i].total || a[i].orders != b[i].orders)
            return false;
    return true;
}

void random_against_reference(unsigned seed) {
    check::context = "random seed " + std::to_string(seed);
    std::mt19937_64 g(seed);
    auto pick = [&](std::int64_t lo, std::int64_t hi) { return std::uniform_int_distribution<std::int64_t>(lo, hi)(g); };
    Book b(5, 950, 1050);
    RefBook ref;
    std::map<OrderId, Handle> live;
    OrderId next = 1;
    for (int step = 0; step < 4000 && !check::failures; ++step) {
        b.clear_events();
        ref.fills.clear();
        const int op = static_cast<int>(pick(0, 9));
        if (op < 6 || live.empty()) {
            BookOrder o{next++, pick(0, 1) ? Side::Buy : Side::Sell, PriceType::Limit, Validity::Day,
                        5 * pick(180, 220), pick(1, 40), pick(0, 3) ? 0 : pick(1, 15)};
            const int kind = static_cast<int>(pick(0, 9));
            if (kind == 0) o.type = PriceType::Market, o.price = o.side == Side::Buy ? 1200 : 800;
            else if (kind == 1) o.validity = Validity::IOC;
            else if (kind == 2) o.validity = Validity::FOK;
            const AddResult r = b.add(o);
            ref.add(o);
            if (r.handle.valid()) live[o.id] = r.handle;
        } else {
            auto it = live.begin();
            std::advance(it, pick(0, static_cast<std::int64_t>(live.size()) - 1));
            RestingView v{};
            CHECK(b.view(it->second, v));
            if (op == 6) {
                CHECK(b.cancel(it->second));
                ref.cancel(it->first);
                live.erase(it);
            } else if (op == 7) {
                const std::int64_t nv = pick(1, v.remaining), peak = pick(0, 1) ? 0 : pick(1, 10);
                CHECK(b.reduce(it->second, nv, peak));
                ref.reduce(it->first, nv, peak);
            } else {
                const BookOrder o{it->first, v.side, PriceType::Limit, Validity::Day, 5 * pick(185, 215), pick(1, 40),
                                  pick(0, 3) ? 0 : pick(1, 15)};
                ref.cancel(it->first);
                ref.add(o);
                const AddResult r = b.replace(it->second, o);
                if (r.handle.valid()) it->second = r.handle;
                else live.erase(it);
            }
        }
        for (const BookEvent& e : b.events())
            if (e.kind == K::Filled && e.maker_left == 0) live.erase(e.maker);
        CHECK(fills_of(b) == ref.fills);
        CHECK(same_levels(b.depth(Side::Buy, 1000), RefBook::levels(ref.bids)));
        CHECK(same_levels(b.depth(Side::Sell, 1000), RefBook::levels(ref.asks)));
        CHECK_EQ(b.resting(), live.size());
        CHECK(b.best_bid() == (ref.bids.empty() ? 0 : ref.bids.begin()->first));
        CHECK(b.best_ask() == (ref.asks.empty() ? 0 : ref.asks.begin()->first));
        std::vector<OrderId> order, ref_order;
        b.for_each_order(Side::Sell, [&](const RestingView& v) { order.push_back(v.id); });
        for (const auto& [px, q] : ref.asks)
            for (const auto& r : q) ref_order.push_back(r.id);
        CHECK(order == ref_order);
    }
}

}  // namespace

int main() {
    priority_and_partial_fills();
    icebergs();
    validities();
    cancel_reduce_replace();
    stops();
    growth();
    for (unsigned seed : {1u, 2u, 3u}) random_against_reference(seed);
    CHECK_DONE();
}
