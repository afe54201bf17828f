// The order book alone: the documented matching rules in small scenes (with
// their events), stops, table growth, and random runs against a plain
// reference book (ordered maps of queues), compared after every operation.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>
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
using Fills = std::vector<Fill>;

Fills fills_of(Book& b) {
    Fills out;
    for (const BookEvent& e : b.events())
        if (e.kind == K::Filled) out.push_back({e.id, e.maker, e.price, e.volume});
    b.clear_events();
    return out;
}

BookOrder lim(OrderId id, Side s, Px px, std::int64_t v, std::int64_t peak = 0, Validity val = Validity::Day) {
    return BookOrder{id, s, PriceType::Limit, val, px, v, peak};
}
const Side B = Side::Buy, S = Side::Sell;

void scenes() {
    check::context = "priority";
    Book b(10, 900, 1100);
    const Handle h1 = b.add(lim(1, B, 1000, 5)).handle;
    b.add(lim(2, B, 1010, 3)), b.add(lim(3, B, 1000, 4)), b.add(lim(4, B, 990, 6));
    b.clear_events();
    // Price first, then time, at the makers' prices; the last maker keeps the rest and its place.
    AddResult r = b.add(lim(9, S, 1000, 10));
    std::vector<K> kinds;
    for (const BookEvent& e : b.events()) kinds.push_back(e.kind);
    CHECK((kinds == std::vector<K>{K::Accepted, K::Filled, K::BookChanged, K::Filled, K::BookChanged, K::Filled,
                                   K::BookChanged}));
    CHECK(b.events()[5].maker_left == 2 && b.events()[5].taker_left == 0 && b.events()[3].maker_left == 0);
    CHECK((fills_of(b) == Fills{{9, 2, 1010, 3}, {9, 1, 1000, 5}, {9, 3, 1000, 2}}));
    CHECK(r.filled == 10 && r.resting == 0 && !r.handle.valid() && !b.cancel(h1));
    r = b.add(lim(10, S, 1050, 4));
    r = b.add(lim(11, B, 1080, 7));
    RestingView v;
    CHECK((fills_of(b) == Fills{{11, 10, 1050, 4}}) && b.view(r.handle, v) && v.remaining == 3 && b.best_bid() == 1080);

    check::context = "iceberg";
    Book c(10, 900, 1100);
    const Handle ice = c.add(lim(1, S, 1000, 500, 100)).handle;
    c.add(lim(2, S, 1000, 100));
    auto d = c.depth(S, 5);
    CHECK(d.size() == 1 && d[0].shown == 200 && d[0].total == 600 && d[0].orders == 2);
    c.add(lim(9, B, 1000, 250));  // the next slice queues behind order 2
    CHECK((fills_of(c) == Fills{{9, 1, 1000, 100}, {9, 2, 1000, 100}, {9, 1, 1000, 50}}));
    CHECK(c.view(ice, v) && v.remaining == 350 && v.shown == 50 && c.depth(S, 1)[0].shown == 50);
    // FOK counts hidden volume: 351 expires untouched, 350 fills.
    r = c.add(lim(10, B, 1000, 351, 0, Validity::FOK));
    CHECK(r.expired == 351 && c.events().size() == 2 && c.events()[1].why == ExpiryReason::FillOrKill);
    CHECK(fills_of(c).empty() && c.add(lim(11, B, 1000, 350, 0, Validity::FOK)).filled == 350 && c.resting() == 0);

    check::context = "validity";
    Book e(10, 900, 1100);
    e.add(lim(1, S, 1000, 5)), e.add(lim(2, S, 1020, 5)), e.add(lim(3, S, 1100, 5));
    r = e.add(lim(4, B, 1020, 12, 0, Validity::IOC));
    CHECK(r.filled == 10 && r.expired == 2 && e.best_bid() == 0 &&
          e.events().back().why == ExpiryReason::ImmediateOrCancel);
    r = e.add(BookOrder{5, B, PriceType::Market, Validity::Day, 1080, 20, 0});  // up to the day's limit, never rests
    CHECK(r.filled == 0 && r.expired == 20 && e.events().back().why == ExpiryReason::Market && e.best_ask() == 1100);
    e.add(lim(8, B, 1000, 1));
    e.clear_events();
    e.add(lim(8, S, 1000, 1));  // an owner's own orders match (no self-trade prevention)
    CHECK((fills_of(e) == Fills{{8, 8, 1000, 1}}));

    check::context = "cancel/replace";
    Book f(10, 900, 1100);
    const Handle a = f.add(lim(1, B, 1000, 5)).handle, m = f.add(lim(2, B, 1000, 5)).handle;
    const Handle z = f.add(lim(3, B, 1000, 5)).handle;
    f.clear_events();
    CHECK(f.cancel(m) && f.events()[0].kind == K::Cancelled && f.events()[0].volume == 5 && !f.cancel(m));
    CHECK(f.reduce(a, 2, 0) && !f.reduce(a, 3, 0) && !f.reduce(z, 0, 0) && !f.reduce(m, 1, 0));
    f.add(lim(9, S, 1000, 3));  // the lowered order kept its place
    CHECK((fills_of(f) == Fills{{9, 1, 1000, 2}, {9, 3, 1000, 1}}));
    f.add(lim(4, B, 1000, 5));
    r = f.replace(z, lim(3, B, 1000, 4));  // same price: queues last
    f.add(lim(10, S, 1000, 6));
    CHECK((fills_of(f) == Fills{{10, 4, 1000, 5}, {10, 3, 1000, 1}}));
    f.add(lim(11, S, 1050, 2));
    f.clear_events();
    r = f.replace(r.handle, lim(3, B, 1060, 3));  // crossing: matches at once; no Cancelled event
    CHECK(f.events()[0].kind == K::BookChanged && f.events()[1].kind == K::Accepted && r.resting == 1 &&
          (fills_of(f) == Fills{{3, 11, 1050, 2}}));
    CHECK(f.remove(r.handle) == 1 && f.resting() == 0);
    const Handle n = f.add(lim(12, B, 1000, 1)).handle;  // reuses the slot; the old handle stays stale
    CHECK(n.slot == r.handle.slot && !f.cancel(r.handle) && f.cancel(n));
}

void stops_and_growth() {
    check::context = "stops";
    Book b(10, 900, 1100);
    b.add_stop(1, Trigger::LastPaidOrHigher, 1010);
    const StopHandle s2 = b.add_stop(2, Trigger::LastPaidOrLower, 990);
    b.add_stop(3, Trigger::LastPaidOrHigher, 1000), b.add_stop(4, Trigger::LastPaidOrLower, 1000);
    b.add_stop(5, Trigger::LastPaidOrHigher, 1020);
    std::vector<OrderId> out;
    b.take_triggered(1000, out);
    b.take_triggered(1000, out);
    CHECK((out == std::vector<OrderId>{3, 4}) && b.cancel_stop(s2) && !b.cancel_stop(s2));
    out.clear();
    b.take_triggered(950, out);
    b.take_triggered(1030, out);  // in the order they came
    CHECK((out == std::vector<OrderId>{1, 5}) && b.stop_count() == 0 && b.events().back().kind == K::Activated);

    // A new band's book takes the stops over: handles stay valid, order of arrival kept.
    Book day1(10, 900, 1100);
    day1.add_stop(6, Trigger::LastPaidOrLower, 950);
    const StopHandle s7 = day1.add_stop(7, Trigger::LastPaidOrHigher, 1050);
    day1.add_stop(8, Trigger::LastPaidOrHigher, 1040);
    Book day2(5, 1000, 1200);
    day2.adopt_stops(day1);
    CHECK(day1.stop_count() == 0 && day2.stop_count() == 3 && day2.cancel_stop(s7));
    const StopHandle s9 = day2.add_stop(9, Trigger::LastPaidOrHigher, 1040);
    out.clear();
    day1.take_triggered(1100, out);
    day2.take_triggered(1100, out);
    CHECK((out == std::vector<OrderId>{8, 9}) && !day2.cancel_stop(s9) && day2.stop_count() == 1);

    check::context = "growth";
    Book g(10, 1000, 1010);
    g.add(lim(1, B, 1000, 1)), g.add(lim(2, B, 30, 1)), g.add(lim(3, S, 50000, 1)), g.add(lim(4, S, 1010, 1));
    g.add(BookOrder{5, S, PriceType::Market, Validity::Day, 10, 3, 0});
    CHECK((fills_of(g) == Fills{{5, 1, 1000, 1}, {5, 2, 30, 1}}) && g.best_ask() == 1010);
    // Off the grid: refused before anything moves.
    int threw = 0;
    try {
        g.add(lim(7, B, 1005, 1));
    } catch (const std::invalid_argument&) {
        ++threw;
    }
    CHECK(threw == 1 && g.resting() == 2 && g.best_bid() == 0 && g.events().empty());
    // Any distance: a coin from 5 to 94,000 at 0.01 (in 1e-8), and beyond.
    const Px cent = 1000000, far = (Px{1} << 60) / cent * cent;
    Book c(cent, 5 * 100 * cent, 5 * 100 * cent);
    c.add(lim(10, B, 5 * 100 * cent, 2)), c.add(lim(11, S, 94000 * 100 * cent, 2));
    c.add(lim(12, S, far, 1)), c.add(lim(13, B, cent, 1));
    CHECK(c.best_bid() == 5 * 100 * cent && c.best_ask() == 94000 * 100 * cent && c.resting() == 4);
    c.add(lim(14, B, 94000 * 100 * cent, 3));  // takes both asks it reaches, rests the rest far up
    CHECK((fills_of(c) == Fills{{14, 11, 94000 * 100 * cent, 2}}) && c.best_bid() == 94000 * 100 * cent);
    c.clear_events();
    c.add(BookOrder{15, S, PriceType::Market, Validity::Day, cent, 4, 0});
    CHECK((fills_of(c) == Fills{{15, 14, 94000 * 100 * cent, 1}, {15, 10, 5 * 100 * cent, 2}, {15, 13, cent, 1}}));
    CHECK(c.best_bid() == 0 && c.best_ask() == far && c.depth(S, 5).size() == 1);
}

// A plain book as the broker's engine kept it: ordered maps of queues.
struct Ref {
    struct R {
        OrderId id;
        std::int64_t remaining, peak, shown;
    };
    std::map<Px, std::deque<R>, std::greater<Px>> bids;
    std::map<Px, std::deque<R>> asks;
    Fills fills;

    template <class M>
    std::int64_t take(M& side, Side taker, OrderId id, Px limit, std::int64_t v, bool dry) {
        std::int64_t n = 0;
        for (auto lv = side.begin(); v > n && lv != side.end();) {
            if (taker == B ? lv->first > limit : lv->first < limit) break;
            auto& q = lv->second;
            if (dry) {
                for (const R& r : q) n += r.remaining;
                ++lv;
                continue;
            }
            while (v > 0 && !q.empty()) {
                R r = q.front();
                q.pop_front();
                const std::int64_t k = std::min(v, r.shown);
                r.remaining -= k, r.shown -= k, v -= k;
                fills.push_back({id, r.id, lv->first, k});
                if (r.remaining && !r.shown)
                    r.shown = std::min(r.peak, r.remaining), q.push_back(r);
                else if (r.remaining)
                    q.push_front(r);
            }
            lv = q.empty() ? side.erase(lv) : std::next(lv);
        }
        return dry ? n : v;
    }
    void add(const BookOrder& o) {
        auto run = [&](bool dry) {
            return o.side == B ? take(asks, B, o.id, o.price, o.volume, dry)
                               : take(bids, S, o.id, o.price, o.volume, dry);
        };
        if (o.validity == Validity::FOK && run(true) < o.volume) return;
        const std::int64_t left = run(false);
        if (left == 0 || o.type == PriceType::Market || o.validity != Validity::Day) return;
        const std::int64_t peak = o.peak > 0 && o.peak < left ? o.peak : left;
        (o.side == B ? bids[o.price] : asks[o.price]).push_back(R{o.id, left, peak, peak});
    }
    template <class M, class F>
    static bool edit(M& side, OrderId id, F f) {
        for (auto lv = side.begin(); lv != side.end(); ++lv)
            for (auto it = lv->second.begin(); it != lv->second.end(); ++it)
                if (it->id == id) {
                    if (f(*it)) lv->second.erase(it);
                    if (lv->second.empty()) side.erase(lv);
                    return true;
                }
        return false;
    }
    template <class F>
    void edit(OrderId id, F f) {
        edit(bids, id, f) || edit(asks, id, f);
    }
    template <class M>
    static std::vector<LevelView> levels(const M& side) {
        std::vector<LevelView> out;
        for (const auto& [px, q] : side) {
            out.push_back(LevelView{px, 0, 0, 0});
            for (const R& r : q) out.back().shown += r.shown, out.back().total += r.remaining, ++out.back().orders;
        }
        return out;
    }
};

// `spread`: prices 5 x [180, 220] x spread plus a little, so that with a
// large spread every level sits in a page of its own and pages come and go.
void random_against_reference(unsigned seed, std::int64_t spread) {
    std::mt19937_64 g(seed);
    auto pick = [&](std::int64_t lo, std::int64_t hi) {
        return std::uniform_int_distribution<std::int64_t>(lo, hi)(g);
    };
    auto price = [&](std::int64_t lo, std::int64_t hi) {
        return 5 * (pick(lo, hi) * spread + (spread > 1 ? pick(0, 2) : 0));
    };
    Book b(5, 950, 1050);
    Ref ref;
    std::map<OrderId, Handle> live;
    OrderId next = 1;
    for (int step = 0; step < 4000 && !check::failures; ++step) {
        check::context = "random seed " + std::to_string(seed) + " spread " + std::to_string(spread) + " step " +
                         std::to_string(step);
        b.clear_events();
        ref.fills.clear();
        const int op = static_cast<int>(pick(0, 9));
        auto it = live.begin();
        if (!live.empty()) std::advance(it, pick(0, static_cast<std::int64_t>(live.size()) - 1));
        RestingView v{};
        CHECK(live.empty() || b.view(it->second, v));
        if (op < 6 || live.empty()) {
            BookOrder o{next++,      pick(0, 1) ? B : S,          PriceType::Limit, Validity::Day, price(180, 220),
                        pick(1, 40), pick(0, 3) ? 0 : pick(1, 15)};
            const int kind = static_cast<int>(pick(0, 9));
            if (kind == 0) o.type = PriceType::Market, o.price = o.side == B ? 1200 * spread : 800 * spread;
            if (kind == 1 || kind == 2) o.validity = kind == 1 ? Validity::IOC : Validity::FOK;
            const AddResult r = b.add(o);
            ref.add(o);
            if (r.handle.valid()) live[o.id] = r.handle;
        } else if (op == 6) {
            CHECK(b.cancel(it->second));
            ref.edit(it->first, [](Ref::R&) { return true; });
            live.erase(it);
        } else if (op == 7) {
            const std::int64_t nv = pick(1, v.remaining), peak = pick(0, 1) ? 0 : pick(1, 10);
            CHECK(b.reduce(it->second, nv, peak));
            ref.edit(it->first, [&](Ref::R& r) {
                r.remaining = nv, r.peak = peak > 0 && peak < nv ? peak : nv;
                r.shown = std::min({r.shown, r.peak, nv});
                if (!r.shown) r.shown = std::min(r.peak, nv);
                return false;
            });
        } else {
            const BookOrder o{it->first,
                              v.side,
                              PriceType::Limit,
                              Validity::Day,
                              price(185, 215),
                              pick(1, 40),
                              pick(0, 3) ? 0 : pick(1, 15)};
            ref.edit(it->first, [](Ref::R&) { return true; });
            ref.add(o);
            const AddResult r = b.replace(it->second, o);
            if (r.handle.valid())
                it->second = r.handle;
            else
                live.erase(it);
        }
        for (const BookEvent& e : b.events())
            if (e.kind == K::Filled && e.maker_left == 0) live.erase(e.maker);
        CHECK(fills_of(b) == ref.fills);
        CHECK(b.depth(B, 1000) == Ref::levels(ref.bids) && b.depth(S, 1000) == Ref::levels(ref.asks));
        std::int64_t asks = 0;
        for (const LevelView& l : Ref::levels(ref.asks)) asks += l.price <= 1010 * spread ? l.total : 0;
        CHECK(b.resting() == live.size() && b.fillable(B, 1010 * spread) == asks);
        std::vector<OrderId> order, ref_order;
        b.for_each_order(S, [&](const RestingView& r) { order.push_back(r.id); });
        for (const auto& [px, q] : ref.asks)
            for (const auto& r : q) ref_order.push_back(r.id);
        CHECK(order == ref_order);
    }
}

}  // namespace

int main() {
    scenes();
    stops_and_growth();
    for (unsigned seed : {1u, 2u, 3u}) random_against_reference(seed, 1);
    for (unsigned seed : {4u, 5u}) random_against_reference(seed, 1000);
    random_against_reference(6, std::int64_t{1} << 40);
    CHECK_DONE();
}
