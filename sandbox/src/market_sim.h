// The market's simulation: each instrument's fair price (a random walk
// pulled back towards the reference, or following a linked instrument), the
// liquidity provider quoting around it, and the other participants who take
// liquidity now and then, some trading ahead of the fair price's next step.
// It owns its random numbers, walks and quotes; it trades through the
// exchange like anyone (orders to the book, the exchange acting on what the
// book reports). Switched off per instrument (`simulated`), an instrument
// trades only what customers or a replayed history bring.
#pragma once
#include <cstdint>
#include <vector>

#include "book.h"
#include "instrument.h"

namespace tvx::sandbox {

class BrokerState;

class MarketSim {
   public:
    explicit MarketSim(BrokerState& exchange) : x_(exchange) {}
    MarketSim(const MarketSim&) = delete;
    MarketSim& operator=(const MarketSim&) = delete;

    void seed(std::uint64_t seed) { rng_ = seed; }
    void add_instrument() { walks_.emplace_back(); }

    // The walk starts over at the instrument's reference (a new day, new terms).
    void restart_walk(int inst);
    // The fair prices take one step of the clock.
    void move();
    // The provider requotes what moved or was taken.
    void requote_moved();
    // The participants take liquidity.
    void trade();
    // The provider's ladder around the fair price now; none when the
    // provider is away or the instrument not simulated.
    void requote(int inst);
    // The fair price set by hand: linked instruments follow; the provider requotes.
    void set_fair(int inst, Px price);
    Px fair(int inst) const { return walks_[inst].fair; }

    // What the exchange reports of the provider's quotes.
    void quote_rested(int inst, engine::Handle h) { walks_[inst].quotes.push_back(h); }
    void quote_taken(int inst) { walks_[inst].requote = true; }
    void book_replaced(int inst) { walks_[inst].quotes.clear(); }

   private:
    struct Walk {
        Px fair = 0;       // where the liquidity provider quotes around, on the tick grid
        double exact = 0;  // the walk behind it
        double shock = 0;  // the walk's next step, drawn a step ahead so the informed can act on it
        bool requote = true;
        std::vector<engine::Handle> quotes;  // the provider's resting quotes
    };
    BrokerState& x_;
    std::uint64_t rng_ = 0;
    std::vector<Walk> walks_;

    void move_fair(int inst);
    double coming_exact(int inst);
    void clamp_fair(int inst);
    void flow(int inst);
    void informed_flow(int inst);
    std::uint64_t next_random();
    double uniform();
    double normal();
};

}  // namespace tvx::sandbox
