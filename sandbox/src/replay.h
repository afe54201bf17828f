// Market history replayed through the broker. The history arrives as one
// packed block (tavrolix_sandbox.history's layout), copied at load. Each step
// applies one event (a bar, a trade or a quote of one instrument) at its time:
// the prints go through market data exactly as matched trades do (tape,
// candles, price information, streams), and resting user orders on the
// instrument fill by the fill model, booked by the ledger as live fills are.
// A replayed instrument has no simulation: no moving fair price, no liquidity
// provider, no other participants.
//
// Fill model (tavrolix_sandbox.fills is the reference):
// - trades: a resting order at P fills in full when a print goes through P
//   (below it for a buy); a print at P by the other side (or of unknown side)
//   is shared in time priority: it first uses up the volume that was quoted
//   ahead of the first order, then fills it, then the next order's share
//   after the volume ahead of that one... until the print is used up.
//   MARKET orders (DAY) fill at the next print; a buy above its hold no more
//   than the account can carry there. MARKET IOC/FOK expire at once: no
//   print is now.
// - bars: MARKET orders fill at the bar's open; a resting buy limit fills in
//   full at the open when the bar opens at or below it, else at its price when
//   the bar's low reaches it (sells mirror this). Then the bar prints as four
//   trades at its time: open, the nearer of high and low, the other, close.
//
// Everything here runs under the broker's lock.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "broker_state.h"

namespace tvx::sandbox {

class Replay {
   public:
    enum Kind : std::uint8_t { Bars = 1, Trades = 2, Quotes = 3 };

    // Checks and copies a block, then starts: the clock goes to the first
    // event. "" or what was wrong (nothing changes then).
    std::string load(BrokerState& b, const std::uint8_t* block, std::uint64_t size);
    bool loaded() const { return !series_.empty(); }
    bool has_next() const { return done_ < total_; }
    // Time of the next event; INT64_MAX when none is left.
    std::int64_t next_time() const;
    void apply_next(BrokerState& b);
    // Moves the clock forward to `t` (never back), starting new days.
    void advance(BrokerState& b, std::int64_t t);
    std::string state_json(const BrokerState& b, bool running) const;
    // An order on a replayed instrument is submitted; true when handled here.
    bool submit(BrokerState& b, int order);
    void clear();

   private:
    struct Series {
        Kind kind;
        int inst;
        std::string symbol;
        std::uint64_t rows, pos = 0;
        const std::int64_t* time;
        const double* f[4];        // bars: open high low close; trades: price; quotes: bid ask
        const std::int64_t* v[2];  // bars, trades: volume; quotes: bid and ask volume
        const std::int8_t* side;   // trades
    };
    std::vector<std::uint64_t> block_;
    std::vector<Series> series_;
    std::uint64_t done_ = 0, total_ = 0;

    std::size_t next_series() const;
    void trade(BrokerState& b, int inst, Px px, std::int64_t volume, int aggressor);
    void bar(BrokerState& b, int inst, Px open, Px high, Px low, Px close, std::int64_t volume);
    void quote(BrokerState& b, int inst, Px bid, std::int64_t bid_volume, Px ask, std::int64_t ask_volume);
    void fill_waiting(BrokerState& b, int inst, Px px);
    std::int64_t affordable(BrokerState& b, int order, Px px);
    void new_day(BrokerState& b, int inst);
    // Opens or closes the session as the schedule has it at the clock's time.
    static void sync_session(BrokerState& b);
};

}  // namespace tvx::sandbox
