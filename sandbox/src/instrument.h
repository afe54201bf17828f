// An instrument: its terms and the simulation's settings, fixed once it is
// set up, its day's band, and what the exchange keeps of it. What the market
// shows of it (the day's figures, candles, tape) is MarketData's; its fair
// price and the provider's quotes are MarketSim's.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "book.h"
#include "money.h"
#include "vocabulary.h"

namespace tvx::sandbox {

// Names of our own choosing, neutral on purpose.
namespace naming {
inline constexpr const char* kCurrency = "XTS";  // the code set aside for testing
}  // namespace naming

// Prices are exact counts of 1e-8 (money.h), so that tick grids compare exactly.
using Px = engine::Px;
inline constexpr Px kPxScale = engine::kUnitsPerCurrency;
// A price the broker computes (a walk, a band edge) to the nearest unit, within (0, kMaxPx].
// What people give is read with engine::read_price, which refuses what it would round.
Px to_px(double p);
inline double from_px(Px p) { return static_cast<double>(p) / kPxScale; }

// Book order ids: a customer order's index, or one of these.
inline constexpr int kLiquidity = -1;
inline constexpr int kFlow = -2;  // the market's other participants, taking liquidity

struct Instrument {
    // Terms.
    std::string symbol, underlying, security_type, last_trading_date, currency = naming::kCurrency;
    Market market;
    double multiplier = 1;
    double im = 0, mm = 0;  // margins per contract (derivatives)
    Px fixed_tick = 0;      // 0: the equity tick table
    int lot = 1;
    double limit = 0.3;  // daily price band around the reference price
    bool banded = true;  // false: no band binds orders (history's own symbols); limit only sizes the book
    int link = -1;       // fair price follows this instrument's, plus link_offset
    Px link_offset = 0;

    // The simulation's settings.
    double volatility = 0.015;  // standard deviation of the price move over an hour, relative
    int lp_levels = 5, lp_size = 10;
    double flow_chance = 0.25;
    bool simulated = true;  // fair price, provider and participants at work
    int flow_max = 3;
    // Informed takers: with this chance, before the fair price steps, one of
    // them takes up to informed_size times lp_size lots of every quote the
    // coming price leaves on the wrong side.
    double informed_chance = 0.5, informed_size = 1.0;

    // The day's band, set when its day starts.
    Px reference = 0, ceiling = 0, floor = 0;

    // The exchange's.
    std::shared_ptr<engine::Book> book;  // made for the day's band (see make_book)
    // Replayed from history (see replay.h): no simulation; user orders fill
    // by the fill model; MARKET orders wait for the next print or bar.
    bool replayed = false;
    std::vector<int> waiting;  // MARKET orders waiting, oldest first
};

// The tick at price `p` of `in`: its fixed tick, or the equity tick table's.
Px tick_at(const Instrument& in, Px p);
// The day's band around the reference, on the tick grid.
void init_instrument(Instrument& in);

}  // namespace tvx::sandbox
