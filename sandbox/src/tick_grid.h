// The tick grid of an instrument: moving a price by a tick, and onto the grid.
#pragma once
#include <algorithm>

#include "instrument.h"

namespace tvx::sandbox {
inline bool on_grid(const Instrument& in, Px p) { return p > 0 && p % tick_at(in, p) == 0; }
inline Px tick_up(const Instrument& in, Px p) { return p + tick_at(in, p); }
inline Px tick_down(const Instrument& in, Px p) { return p - tick_at(in, std::max<Px>(1, p - 1)); }
inline Px grid_down(const Instrument& in, Px p) { return p - p % tick_at(in, p); }
inline Px grid_up(const Instrument& in, Px p) {
    const Px d = grid_down(in, p);
    return d == p ? p : tick_up(in, d);
}
inline Px grid_round(const Instrument& in, Px p) {
    const Px d = grid_down(in, p), u = grid_up(in, p);
    return p - d <= u - p ? d : u;
}

}  // namespace tvx::sandbox
