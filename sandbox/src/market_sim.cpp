#include "market_sim.h"

#include <algorithm>
#include <cmath>

#include "broker_state.h"
#include "tick_grid.h"

namespace tvx::sandbox {

// ----------------------------------------------------------------- random
std::uint64_t MarketSim::next_random() {
    std::uint64_t z = (rng_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

double MarketSim::uniform() { return static_cast<double>(next_random() >> 11) * 0x1.0p-53; }

double MarketSim::normal() {
    const double u1 = std::max(uniform(), 1e-300), u2 = uniform();
    return std::sqrt(-2 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

// ----------------------------------------------------------------- walks
void MarketSim::restart_walk(int inst) {
    const Instrument& in = x_.instruments[inst];
    Walk& w = walks_[inst];
    w.fair = grid_round(in, in.reference);
    w.exact = from_px(w.fair);
    w.requote = true;
}

void MarketSim::clamp_fair(int inst) {
    const Instrument& in = x_.instruments[inst];
    Walk& w = walks_[inst];
    const Px hi = tick_down(in, in.ceiling), lo = tick_up(in, in.floor);
    w.fair = grid_round(in, std::clamp(w.fair, lo, hi));
}

// Where the walk goes at the next step: a random walk with a slight pull
// back towards the reference price, or the linked instrument's next price.
double MarketSim::coming_exact(int inst) {
    const Instrument& in = x_.instruments[inst];
    const Walk& w = walks_[inst];
    if (!in.simulated) return w.exact;  // stands still (see move_fair)
    if (in.link >= 0) return coming_exact(in.link) + from_px(in.link_offset);
    const double hours = x_.options.tick_seconds / 3600.0, ref = from_px(in.reference);
    return w.exact + in.volatility * ref * std::sqrt(hours) * w.shock - 0.05 * hours * (w.exact - ref);
}

void MarketSim::move_fair(int inst) {
    const Instrument& in = x_.instruments[inst];
    if (!in.simulated) return;
    Walk& w = walks_[inst];
    const Px before = w.fair;
    if (in.link >= 0) {
        w.exact = walks_[in.link].exact + from_px(in.link_offset);
    } else {
        w.exact = coming_exact(inst);
        w.shock = normal();
    }
    w.fair = to_px(w.exact);
    clamp_fair(inst);
    if (w.fair != before) w.requote = true;
}

void MarketSim::move() {
    for (std::size_t i = 0; i < walks_.size(); ++i) move_fair(static_cast<int>(i));
}

void MarketSim::requote_moved() {
    for (std::size_t i = 0; i < walks_.size(); ++i)
        if (walks_[i].requote) requote(static_cast<int>(i));
}

void MarketSim::trade() {
    for (std::size_t i = 0; i < walks_.size(); ++i) {
        flow(static_cast<int>(i));
        informed_flow(static_cast<int>(i));
    }
}

void MarketSim::set_fair(int inst, Px price) {
    Walk& w = walks_[inst];
    w.fair = price;
    clamp_fair(inst);
    w.exact = from_px(w.fair);
    requote(inst);
    for (std::size_t j = 0; j < walks_.size(); ++j)
        if (x_.instruments[j].link == inst) {
            Walk& linked = walks_[j];
            linked.exact = w.exact + from_px(x_.instruments[j].link_offset);
            linked.fair = to_px(linked.exact);
            clamp_fair(static_cast<int>(j));
            requote(static_cast<int>(j));
        }
}

// The provider's ladder: lp_levels prices a side around the fair price. A
// quote already at a price of the new ladder stays where it is in the queue
// (the provider does not give up its place when the price moves), one at a
// price the ladder left is withdrawn, and a new price is quoted afresh; a
// quote worn below half its usual size is topped up behind the queue.
void MarketSim::requote(int inst) {
    const Instrument& in = x_.instruments[inst];
    Walk& w = walks_[inst];
    // The provider's new quotes replace the old as one change of the book.
    const MarketData::Quiet quiet(x_.market_data, inst, x_.now);
    w.requote = false;
    const bool quoting = x_.options.liquidity && in.simulated;
    std::vector<std::pair<Side, Px>> ladder;
    std::vector<int> level_of;
    if (quoting) {
        Px bid = tick_down(in, w.fair), ask = tick_up(in, w.fair);
        for (int k = 0; k < in.lp_levels; ++k) {
            for (Side side : {Side::Buy, Side::Sell}) {
                const Px px = side == Side::Buy ? bid : ask;
                if (px < in.floor || px > in.ceiling) continue;
                ladder.emplace_back(side, px);
                level_of.push_back(k);
            }
            bid = tick_down(in, bid);
            ask = tick_up(in, ask);
        }
    }
    std::vector<std::int64_t> held(ladder.size(), 0);
    std::vector<engine::Handle> kept;
    for (const engine::Handle& h : w.quotes) {
        engine::RestingView v{};
        if (!in.book->view(h, v)) continue;
        std::size_t at = ladder.size();
        for (std::size_t j = 0; j < ladder.size(); ++j)
            if (ladder[j].second == v.price && ladder[j].first == v.side) at = j;
        if (at == ladder.size()) {
            in.book->remove(h);
            continue;
        }
        held[at] += v.remaining;
        kept.push_back(h);
    }
    w.quotes = std::move(kept);
    x_.exchange.book_events(inst);
    for (std::size_t j = 0; j < ladder.size(); ++j) {
        const auto [side, px] = ladder[j];
        const double scale = (1 + 0.5 * level_of[j]) * (0.5 + uniform());
        const std::int64_t usual = static_cast<std::int64_t>(in.lot) * in.lp_size * (1 + level_of[j]);
        if (2 * held[j] >= usual) continue;
        const int size = in.lot * std::max(1, static_cast<int>(in.lp_size * scale));
        x_.exchange.to_book(
            inst, engine::BookOrder{kLiquidity, side, engine::PriceType::Limit, engine::Validity::Day, px, size, 0});
    }
}

// A participant who takes what the best price on one side offers, up to
// their size; they do not sweep the book.
void MarketSim::flow(int inst) {
    const Instrument& in = x_.instruments[inst];
    if (!in.simulated || uniform() >= in.flow_chance) return;
    const Side side = uniform() < 0.5 ? Side::Buy : Side::Sell;
    const int lots = std::max(1, static_cast<int>(in.lp_size * (0.2 + uniform() * in.flow_max)));
    const Px best = side == Side::Buy ? in.book->best_ask() : in.book->best_bid();
    if (!best) return;
    x_.exchange.to_book(inst, engine::BookOrder{kFlow, side, engine::PriceType::Limit, engine::Validity::IOC, best,
                                                static_cast<std::int64_t>(lots) * in.lot, 0});
}

// Someone who knows where the fair price goes next takes, with
// informed_chance, every quote that price will leave on the wrong side (asks
// below it when it rises, bids above it when it falls), up to informed_size
// times lp_size lots. Quotes at the coming price are left alone.
//
// Before that, quotes the fair price has passed are stale: someone takes every
// ask below it and every bid above it, at the quote's own price.
void MarketSim::informed_flow(int inst) {
    const Instrument& in = x_.instruments[inst];
    const Px fair = walks_[inst].fair;
    if (!in.simulated || !fair) return;
    for (engine::Side taker : {engine::Side::Buy, engine::Side::Sell}) {
        const Px limit = taker == engine::Side::Buy ? tick_down(in, fair) : tick_up(in, fair);
        const std::int64_t stale = std::min<std::int64_t>(in.book->fillable(taker, limit), INT32_MAX);
        if (stale > 0)
            x_.exchange.to_book(inst, engine::BookOrder{kFlow, taker, engine::PriceType::Limit, engine::Validity::IOC,
                                                        limit, stale, 0});
    }
    if (in.informed_chance <= 0) return;
    const Px hi = tick_down(in, in.ceiling), lo = tick_up(in, in.floor);
    const Px coming = grid_round(in, std::clamp(to_px(coming_exact(inst)), lo, hi));
    if (coming == fair || uniform() >= in.informed_chance) return;
    const bool up = coming > fair;
    const Px limit = up ? tick_down(in, coming) : tick_up(in, coming);
    const auto lots = std::max<std::int64_t>(1, static_cast<std::int64_t>(in.lp_size * in.informed_size));
    x_.exchange.to_book(inst,
                        engine::BookOrder{kFlow, up ? engine::Side::Buy : engine::Side::Sell, engine::PriceType::Limit,
                                          engine::Validity::IOC, limit, lots * in.lot, 0});
}

// ------------------------------------------------------------------ clock
void BrokerState::step(std::int64_t ticks) {
    for (std::int64_t k = 0; k < ticks; ++k) {
        now += options.tick_seconds;
        sync_session();
        sim.move();
        if (!in_session) continue;  // the fair price drifts overnight; nobody trades
        sim.requote_moved();
        if (options.activity) sim.trade();
        exchange.settle();
    }
}

}  // namespace tvx::sandbox
