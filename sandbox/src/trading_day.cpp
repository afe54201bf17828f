// Trading days: when the session is open, what its close does (DAY orders
// expire, the provider withdraws) and what a new day's open does (the last
// price becomes the reference, with new limits; order lists start afresh;
// positions' start figures roll). Without a schedule the session never closes.
#include "broker_state.h"

namespace tvx::sandbox {

bool BrokerState::session_open(std::int64_t t) const {
    if (!options.scheduled) return true;
    const std::int64_t day = (t >= 0 ? t : t - 86399) / 86400;
    const int weekday = static_cast<int>(((day + 3) % 7 + 7) % 7);  // 1970-01-01 was a Thursday
    const int second = static_cast<int>(t - day * 86400);
    return (options.days >> weekday & 1) && second >= options.open_second && second < options.close_second;
}

void BrokerState::close_session() {
    in_session = false;
    // Nothing outlives its day (stop orders of any validity included): an
    // order left open would hold money or contracts unseen.
    for (std::size_t i = orders.day_first(); i < orders.size(); ++i)
        if (orders[i].active()) expire(static_cast<int>(i), "the session closed");
    const bool liquidity = options.liquidity;
    options.liquidity = false;
    for (std::size_t i = 0; i < instruments.size(); ++i) requote(static_cast<int>(i));
    options.liquidity = liquidity;
}

void BrokerState::open_session() {
    in_session = true;
    // The day's order lists start afresh (every order keeps its number); an
    // order still open from before stays listed, and counts as today's.
    orders.new_day();
    for (std::size_t i = 0; i < instruments.size(); ++i) {
        Instrument& in = instruments[i];
        if (in.last) in.reference = in.last;
        init_instrument(in);
        make_book(static_cast<int>(i));
        in.last = in.open = in.high = in.low = 0;
        in.volume = 0;
        in.value = 0;
        set_terms(static_cast<int>(i));
        if (in.reference) ledger.set_mark(static_cast<int>(i), in.reference);
    }
    ledger.new_day();
}

}  // namespace tvx::sandbox
