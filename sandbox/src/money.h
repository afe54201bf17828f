// Exact money for the broker's accounting: a signed count of ten-thousandths
// of the currency, the same scale as prices, so that price x volume is exact
// and only fees and proportional costs ever round. Figures are handed out
// rounded half away from zero to the cent.
#pragma once
#include <cstdint>
#include <limits>
#include <string>

namespace tvx::sandbox::engine {

// A price in ten-thousandths of the currency (the broker's own price scale).
using Px = std::int64_t;
inline constexpr std::int64_t kUnitsPerCurrency = 10000;
inline constexpr std::int64_t kUnitsPerCent = 100;

using Wide = __int128;

// a / b rounded half away from zero (b > 0).
constexpr Wide div_round(Wide a, Wide b) { return a >= 0 ? (a + b / 2) / b : -((-a + b / 2) / b); }

struct Money {
    std::int64_t units = 0;  // ten-thousandths

    static constexpr Money of_units(std::int64_t u) { return Money{u}; }
    // From a figure given in currency (settings, seeds): rounded to the unit.
    // The caller checks it is finite and well within the money bound.
    static Money of(double currency);
    // price x volume, exact. Callers keep volume and price within the refusal bounds.
    static constexpr Money value(Px price, std::int64_t volume) { return Money{price * volume}; }

    // Rounded half away from zero to the cent.
    constexpr Money to_cent() const {
        return Money{static_cast<std::int64_t>(div_round(units, kUnitsPerCent) * kUnitsPerCent)};
    }
    // For records and payloads: the figure rounded to the cent, as a double.
    double rounded() const;
    // "1234.50": the figure rounded to the cent.
    std::string text() const;

    constexpr Money operator+(Money o) const { return Money{units + o.units}; }
    constexpr Money operator-(Money o) const { return Money{units - o.units}; }
    constexpr Money operator-() const { return Money{-units}; }
    constexpr Money& operator+=(Money o) {
        units += o.units;
        return *this;
    }
    constexpr Money& operator-=(Money o) {
        units -= o.units;
        return *this;
    }
    constexpr Money operator*(std::int64_t k) const { return Money{units * k}; }
    constexpr bool operator==(const Money&) const = default;
    constexpr auto operator<=>(const Money&) const = default;
};

// A rate as an exact fraction: 0.15% is {15, 10000}.
struct Rate {
    std::int64_t num, den;
};

// value x rate rounded half up to the cent (the fee rule); value >= 0.
constexpr Money fee(Money value, Rate r) {
    return Money{static_cast<std::int64_t>(
        div_round(static_cast<Wide>(value.units) * r.num, static_cast<Wide>(r.den) * kUnitsPerCent) * kUnitsPerCent)};
}

// The largest money figure an account may reach; beyond it an order is refused
// (BAD_VOLUME) rather than let sums overflow.
inline constexpr std::int64_t kMoneyBound = std::int64_t{1} << 61;

}  // namespace tvx::sandbox::engine
