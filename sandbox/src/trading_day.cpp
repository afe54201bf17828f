// Trading days: when the session is open, what its close does (DAY orders
// expire, the provider withdraws) and what a new day's open does (the last
// price becomes the reference, with new limits; order lists start afresh;
// positions' start figures roll). Without a schedule the session never closes.
#include "broker_state.h"

namespace tvx::sandbox {

bool BrokerState::session_open(std::int64_t t) const { return options.session.open_at(t); }

void BrokerState::sync_session() {
    const bool open = session_open(now);
    if (open != in_session) open ? open_session() : close_session();
}

// The one way a day starts for an instrument: yesterday's last price is the
// reference of today's limits, and the day's figures start over.
void BrokerState::start_day(int inst) {
    Instrument& in = instruments[inst];
    if (const Px last = market_data.day(inst).last) in.reference = last;
    init_instrument(in);
    sim.restart_walk(inst);
    market_data.start_day(inst);
    set_terms(inst);
}

void BrokerState::close_session() {
    in_session = false;
    // Nothing outlives its day (stop orders of any validity included): an
    // order left open would hold money or contracts unseen.
    for (std::size_t i = orders.day_first(); i < orders.size(); ++i)
        if (orders[i].active()) exchange.expire(static_cast<int>(i), "the session closed");
    const bool liquidity = options.liquidity;
    options.liquidity = false;
    for (std::size_t i = 0; i < instruments.size(); ++i) sim.requote(static_cast<int>(i));
    options.liquidity = liquidity;
}

void BrokerState::open_session() {
    in_session = true;
    // The day's order lists start afresh (every order keeps its number); an
    // order still open from before stays listed, and counts as today's.
    orders.new_day();
    for (std::size_t i = 0; i < instruments.size(); ++i) {
        start_day(static_cast<int>(i));
        exchange.make_book(static_cast<int>(i));
        if (const Px ref = instruments[i].reference) ledger.set_mark(static_cast<int>(i), ref);
    }
    ledger.new_day();
}

}  // namespace tvx::sandbox
