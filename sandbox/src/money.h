// Exact prices and money. Both are signed counts of hundred-millionths of the
// currency (1e-8, the finest tick the broker takes), so that price x volume x
// multiplier is exact and only fees and proportional costs ever round. Money
// is 128-bit: a price up to kMaxPrice times any record volume and multiplier
// fits many times over. Figures are handed out rounded half away from zero to
// the cent.
#pragma once
#include <cstdint>
#include <limits>
#include <string>

namespace tvx::sandbox::engine {

using Wide = __int128;

// A price in hundred-millionths of the currency.
using Px = std::int64_t;
inline constexpr std::int64_t kUnitsPerCurrency = 100'000'000;
inline constexpr std::int64_t kUnitsPerCent = kUnitsPerCurrency / 100;
inline constexpr int kPriceDecimals = 8;
// The highest price held. Below it every price with up to 8 decimals is one
// double of its own and price x 1e8 is an exact integer of a double, so a
// price read from a double is the decimal its writer meant; above it, the
// double no longer tells such prices apart.
inline constexpr std::int64_t kMaxPrice = 90'000'000;
inline constexpr Px kMaxPx = kMaxPrice * kUnitsPerCurrency;

// a / b rounded half away from zero (b > 0).
constexpr Wide div_round(Wide a, Wide b) { return a >= 0 ? (a + b / 2) / b : -((-a + b / 2) / b); }

// What reading a price from a double found.
enum class PriceRead : std::uint8_t { Ok, NotFinite, NotPositive, TooHigh, TooFine };
// `p` as an exact price. TooFine: it has more than 8 decimals (beyond the
// rounding noise of a double: 0.1 + 0.2 reads as 0.3).
PriceRead read_price(double p, Px& out);
// Why a price was not read, naming the limit: "price 1e+09 is above the
// highest price the broker holds, 90000000". `what`: "price", "tick", ...
std::string price_refusal(PriceRead r, double p, const char* what = "price");
// A price as the shortest decimal text: "1.17453".
std::string price_text(Px p);

struct Money {
    Wide units = 0;  // hundred-millionths

    static constexpr Money of_units(Wide u) { return Money{u}; }
    // From a figure given in currency (settings, seeds): exact to the unit
    // (1e-8) it rounds to. The caller checks it is finite and within the money bound.
    static Money of(double currency);
    // price x volume, exact.
    static constexpr Money value(Px price, std::int64_t volume) { return Money{static_cast<Wide>(price) * volume}; }

    // Rounded half away from zero to the cent.
    constexpr Money to_cent() const { return Money{div_round(units, kUnitsPerCent) * kUnitsPerCent}; }
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
    return Money{div_round(value.units * r.num, static_cast<Wide>(r.den) * kUnitsPerCent) * kUnitsPerCent};
}

// The largest money figure an account may reach (about 2.3e14 in currency);
// beyond it an order is refused (BAD_VOLUME) rather than let sums overflow.
inline constexpr Wide kMoneyBound = (Wide{1} << 61) * 10000;

}  // namespace tvx::sandbox::engine
