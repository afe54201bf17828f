// Prices and an instrument's tick grid and band.
#include "instrument.h"

#include <cmath>
#include <utility>

#include "tick_grid.h"

namespace tvx::sandbox {

Px to_px(double p) {
    if (!(p > 0)) return 0;
    return p >= static_cast<double>(engine::kMaxPrice) ? engine::kMaxPx : static_cast<Px>(std::llround(p * kPxScale));
}

Px tick_at(const Instrument& in, Px p) {
    if (in.fixed_tick) return in.fixed_tick;
    static constexpr std::pair<Px, Px> bands[] = {
        {2 * kPxScale, kPxScale / 100}, {5 * kPxScale, kPxScale / 50},  {10 * kPxScale, kPxScale / 20},
        {25 * kPxScale, kPxScale / 10}, {100 * kPxScale, kPxScale / 4}, {200 * kPxScale, kPxScale / 2},
        {400 * kPxScale, kPxScale},
    };
    for (auto [upto, tick] : bands)
        if (p < upto) return tick;
    return 2 * kPxScale;
}

void init_instrument(Instrument& in) {
    const double ref = from_px(in.reference);
    in.ceiling = grid_down(in, to_px(ref * (1 + in.limit)));
    in.floor = grid_up(in, to_px(ref * (1 - in.limit)));
}

}  // namespace tvx::sandbox
