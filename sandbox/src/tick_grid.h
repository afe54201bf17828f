// The tick grid of an instrument: moving a price by a tick, and onto the grid.
#pragma once
#include <algorithm>

#include "broker_state.h"

namespace tvx::sandbox {
inline bool on_grid(const BrokerState& b, const Instrument& in, Px p) { return p > 0 && p % b.tick_at(in, p) == 0; }
inline Px tick_up(const BrokerState& b, const Instrument& in, Px p) { return p + b.tick_at(in, p); }
inline Px tick_down(const BrokerState& b, const Instrument& in, Px p) {
    return p - b.tick_at(in, std::max<Px>(1, p - 1));
}
inline Px grid_down(const BrokerState& b, const Instrument& in, Px p) { return p - p % b.tick_at(in, p); }
inline Px grid_up(const BrokerState& b, const Instrument& in, Px p) {
    const Px d = grid_down(b, in, p);
    return d == p ? p : tick_up(b, in, d);
}
inline Px grid_round(const BrokerState& b, const Instrument& in, Px p) {
    const Px d = grid_down(b, in, p), u = grid_up(b, in, p);
    return p - d <= u - p ? d : u;
}

}  // namespace tvx::sandbox
