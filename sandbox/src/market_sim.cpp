// Market simulation: the fair price (a random walk pulled back towards the
// reference, or following a linked instrument), the liquidity provider that
// quotes around it, and the other participants who take liquidity now and
// then, some of them trading ahead of the fair price's next step; and the
// clock's step that moves them. Switched off per instrument
// (`simulated`), an instrument trades only what customers (or, later,
// replayed history) bring.
#include <algorithm>
#include <cmath>

#include "broker_state.h"
#include "tick_grid.h"

namespace tvx::sandbox {

namespace {}  // namespace

// ----------------------------------------------------------------- random
std::uint64_t BrokerState::next_random() {
    std::uint64_t z = (rng += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

double BrokerState::uniform() { return static_cast<double>(next_random() >> 11) * 0x1.0p-53; }

// ----------------------------------------------------------------- market
void BrokerState::clamp_fair(Instrument& in) {
    const Px hi = tick_down(*this, in, in.ceiling), lo = tick_up(*this, in, in.floor);
    in.fair = grid_round(*this, in, std::clamp(in.fair, lo, hi));
}

double BrokerState::normal() {
    const double u1 = std::max(uniform(), 1e-300), u2 = uniform();
    return std::sqrt(-2 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

// Where the walk goes at the next step: a random walk with a slight pull
// back towards the reference price, or the linked instrument's next price.
double BrokerState::coming_exact(int inst) {
    const Instrument& in = instruments[inst];
    if (!in.simulated) return in.exact;  // stands still (see move_fair)
    if (in.link >= 0) return coming_exact(in.link) + from_px(in.link_offset);
    const double hours = options.tick_seconds / 3600.0, ref = from_px(in.reference);
    return in.exact + in.volatility * ref * std::sqrt(hours) * in.shock - 0.05 * hours * (in.exact - ref);
}

void BrokerState::move_fair(int inst) {
    Instrument& in = instruments[inst];
    if (!in.simulated) return;
    const Px before = in.fair;
    if (in.link >= 0) {
        in.exact = instruments[in.link].exact + from_px(in.link_offset);
    } else {
        in.exact = coming_exact(inst);
        in.shock = normal();
    }
    in.fair = to_px(in.exact);
    clamp_fair(in);
    if (in.fair != before) in.requote = true;
}

void BrokerState::set_fair(int inst, Px price) {
    Instrument& in = instruments[inst];
    in.fair = price;
    clamp_fair(in);
    in.exact = from_px(in.fair);
    requote(inst);
    for (std::size_t j = 0; j < instruments.size(); ++j)
        if (instruments[j].link == inst) {
            instruments[j].exact = in.exact + from_px(instruments[j].link_offset);
            instruments[j].fair = to_px(instruments[j].exact);
            clamp_fair(instruments[j]);
            requote(static_cast<int>(j));
        }
    settle();
}

// The provider's ladder: lp_levels prices a side around the fair price. A
// quote already at a price of the new ladder stays where it is in the queue
// (the provider does not give up its place when the price moves), one at a
// price the ladder left is withdrawn, and a new price is quoted afresh; a
// quote worn below half its usual size is topped up behind the queue.
void BrokerState::requote(int inst) {
    Instrument& in = instruments[inst];
    // The provider's new quotes replace the old as one change of the book.
    const MarketData::Quiet quiet(market_data, inst, now);
    in.requote = false;
    const bool quoting = options.liquidity && in.simulated;
    std::vector<std::pair<Side, Px>> ladder;
    std::vector<int> level_of;
    if (quoting) {
        Px bid = tick_down(*this, in, in.fair), ask = tick_up(*this, in, in.fair);
        for (int k = 0; k < in.lp_levels; ++k) {
            for (Side side : {Side::Buy, Side::Sell}) {
                const Px px = side == Side::Buy ? bid : ask;
                if (px < in.floor || px > in.ceiling) continue;
                ladder.emplace_back(side, px);
                level_of.push_back(k);
            }
            bid = tick_down(*this, in, bid);
            ask = tick_up(*this, in, ask);
        }
    }
    std::vector<std::int64_t> held(ladder.size(), 0);
    std::vector<engine::Handle> kept;
    for (const engine::Handle& h : in.lp_quotes) {
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
    in.lp_quotes = std::move(kept);
    book_events(inst);
    for (std::size_t j = 0; j < ladder.size(); ++j) {
        const auto [side, px] = ladder[j];
        const double scale = (1 + 0.5 * level_of[j]) * (0.5 + uniform());
        const std::int64_t usual = static_cast<std::int64_t>(in.lot) * in.lp_size * (1 + level_of[j]);
        if (2 * held[j] >= usual) continue;
        const int size = in.lot * std::max(1, static_cast<int>(in.lp_size * scale));
        to_book(inst,
                engine::BookOrder{kLiquidity, side, engine::PriceType::Limit, engine::Validity::Day, px, size, 0});
    }
}

// A participant who takes what the best price on one side offers, up to
// their size; they do not sweep the book.
void BrokerState::flow(int inst) {
    Instrument& in = instruments[inst];
    if (!in.simulated || uniform() >= in.flow_chance) return;
    const Side side = uniform() < 0.5 ? Side::Buy : Side::Sell;
    const int lots = std::max(1, static_cast<int>(in.lp_size * (0.2 + uniform() * in.flow_max)));
    const Px best = side == Side::Buy ? in.book->best_ask() : in.book->best_bid();
    if (!best) return;
    to_book(inst, engine::BookOrder{kFlow, side, engine::PriceType::Limit, engine::Validity::IOC, best,
                                    static_cast<std::int64_t>(lots) * in.lot, 0});
}

// Someone who knows where the fair price goes next takes, with
// informed_chance, every quote that price will leave on the wrong side (asks
// below it when it rises, bids above it when it falls), up to informed_size
// times lp_size lots. Quotes at the coming price are left alone.
//
// Before that, quotes the fair price has passed are stale: someone takes every
// ask below it and every bid above it, at the quote's own price.
void BrokerState::informed_flow(int inst) {
    Instrument& in = instruments[inst];
    if (!in.simulated || !in.fair) return;
    for (engine::Side taker : {engine::Side::Buy, engine::Side::Sell}) {
        const Px limit = taker == engine::Side::Buy ? tick_down(*this, in, in.fair) : tick_up(*this, in, in.fair);
        const std::int64_t stale = std::min<std::int64_t>(in.book->fillable(taker, limit), INT32_MAX);
        if (stale > 0)
            to_book(inst,
                    engine::BookOrder{kFlow, taker, engine::PriceType::Limit, engine::Validity::IOC, limit, stale, 0});
    }
    if (in.informed_chance <= 0) return;
    const Px hi = tick_down(*this, in, in.ceiling), lo = tick_up(*this, in, in.floor);
    const Px coming = grid_round(*this, in, std::clamp(to_px(coming_exact(inst)), lo, hi));
    if (coming == in.fair || uniform() >= in.informed_chance) return;
    const bool up = coming > in.fair;
    const Px limit = up ? tick_down(*this, in, coming) : tick_up(*this, in, coming);
    const auto lots = std::max<std::int64_t>(1, static_cast<std::int64_t>(in.lp_size * in.informed_size));
    to_book(inst, engine::BookOrder{kFlow, up ? engine::Side::Buy : engine::Side::Sell, engine::PriceType::Limit,
                                    engine::Validity::IOC, limit, lots * in.lot, 0});
}

void BrokerState::step(std::int64_t ticks) {
    for (std::int64_t k = 0; k < ticks; ++k) {
        now += options.tick_seconds;
        const bool open = session_open(now);
        if (open != in_session) open ? open_session() : close_session();
        for (std::size_t i = 0; i < instruments.size(); ++i) move_fair(static_cast<int>(i));
        if (!in_session) continue;  // the fair price drifts overnight; nobody trades
        for (std::size_t i = 0; i < instruments.size(); ++i)
            if (instruments[i].requote) requote(static_cast<int>(i));
        if (options.activity)
            for (std::size_t i = 0; i < instruments.size(); ++i) {
                flow(static_cast<int>(i));
                informed_flow(static_cast<int>(i));
            }
        settle();
    }
}

}  // namespace tvx::sandbox
