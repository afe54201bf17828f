// Candlestick history made up on the spot. The request reads as: symbol,
// interval, number of candles (1 to 1000), normalised flag, start and end
// time ("" for open-ended; "YYYY-MM-DD", "YYYY-MM-DDTHH:MM" or with ":SS",
// UTC). Prices are a fixed function of symbol and time, so overlapping
// queries agree; without an end the history stops at the sandbox's own "now".
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <tuple>

#include "broker.h"
#include "broker_state.h"

namespace tvx::sandbox {
namespace {

constexpr std::int64_t kNow = 1719568800;  // 2024-06-28T10:00:00Z
constexpr std::int32_t kMaxCandles = 1000;

struct Interval {
    const char* name;
    std::int64_t seconds;
    std::int64_t origin;  // an opening time: weeks open on Mondays, 1970-01-05
};
constexpr Interval kIntervals[] = {
    {"1m", 60, 0},     {"3m", 180, 0},    {"5m", 300, 0},     {"10m", 600, 0},      {"15m", 900, 0},
    {"30m", 1800, 0},  {"60m", 3600, 0},  {"1d", 86400, 0},   {"1w", 604800, 345600},
};

std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// Seconds since 1970 for the accepted forms; nothing for anything else.
std::optional<std::int64_t> parse_time(const char* s) {
    const int len = static_cast<int>(std::strlen(s));
    int y, mo, d, h = 0, mi = 0, sec = 0, n = -1;
    const bool ok = (std::sscanf(s, "%4d-%2d-%2d%n", &y, &mo, &d, &n) == 3 && n == len) ||
                    (std::sscanf(s, "%4d-%2d-%2dT%2d:%2d%n", &y, &mo, &d, &h, &mi, &n) == 5 && n == len) ||
                    (std::sscanf(s, "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &sec, &n) == 6 && n == len);
    if (!ok || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 59 || h < 0 || mi < 0 || sec < 0)
        return std::nullopt;
    return days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 + h * 3600 + mi * 60 + sec;
}

std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    return h ^ (h >> 33);
}

std::uint64_t hash_text(const char* s) {
    std::uint64_t h = 1469598103934665603ULL;
    for (; *s; ++s) h = (h ^ static_cast<unsigned char>(*s)) * 1099511628211ULL;
    return h;
}

double unit(std::uint64_t h) { return static_cast<double>(h >> 11) / 9007199254740992.0; }

double round_tick(double p) { return std::round(p * 100) / 100; }

// The symbol's price at time t: a slow swing, a faster one and a ripple around its base.
double price(std::uint64_t symbol, std::int64_t t) {
    const double base = 5 + 495 * unit(mix(symbol));
    const double phase = 6.283185307179586 * unit(mix(symbol + 1));
    const double x = static_cast<double>(t);
    return base * (1 + 0.08 * std::sin(x / (29 * 86400 / 6.283185307179586) + phase) +
                   0.02 * std::sin(x / (2.3 * 86400 / 6.283185307179586) + 2 * phase) +
                   0.004 * std::sin(x / (47 * 60 / 6.283185307179586)));
}

CandlestickResult refuse(Arena& arena, std::int32_t status, const std::string& message) {
    return refusal<CandlestickResult>(status, arena.keep(message));
}

template <class T>
Column<T> column(Arena& arena, const std::vector<T>& items) {
    return {arena.keep(items), static_cast<std::int64_t>(items.size()), 0};
}

}  // namespace

CandlestickResult Broker<37, CandlestickResult>::call(Cfg cfg, const CandlestickRequest* request) {
    Arena arena(37);
    {
        BrokerState& b = broker();
        std::lock_guard<std::mutex> g(b.lock);
        if (!b.session(cfg)) return refusal<CandlestickResult>(401, "not logged in: unknown channel");
    }
    if (!request || !request->arg2 || !*request->arg2) return refuse(arena, 400, "symbol required");
    const char* interval_name = request->arg3 ? request->arg3 : "";
    const Interval* interval = nullptr;
    for (const Interval& i : kIntervals)
        if (std::strcmp(i.name, interval_name) == 0) interval = &i;
    if (!interval)
        return refuse(arena, 400, std::string("unknown interval: ") + interval_name +
                                      " (one of 1m, 3m, 5m, 10m, 15m, 30m, 60m, 1d, 1w)");
    if (request->arg4 < 1 || request->arg4 > kMaxCandles)
        return refuse(arena, 400, "number of candles must be 1 to " + std::to_string(kMaxCandles));
    // No corporate actions in the sandbox: normalised and raw history are the same (arg5).
    std::int64_t start = std::numeric_limits<std::int32_t>::min(), end = kNow;
    for (auto [value, bound, what] : {std::tuple{request->arg6, &start, "start"}, std::tuple{request->arg7, &end, "end"}}) {
        if (!value || !*value) continue;
        const auto t = parse_time(value);
        if (!t) return refuse(arena, 400, std::string("bad ") + what + " time: " + value);
        *bound = *t;
    }
    end = std::min<std::int64_t>(end, std::numeric_limits<std::int32_t>::max());
    start = std::max<std::int64_t>(start, std::numeric_limits<std::int32_t>::min());

    // Candle k opens at origin + k intervals; those opening from start to end count.
    const std::int64_t s = interval->seconds, origin = interval->origin;
    const auto floor_div = [](std::int64_t a, std::int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); };
    const std::int64_t last = floor_div(end - origin, s);
    const std::int64_t first = std::max(-floor_div(origin - start, s), last - request->arg4 + 1);

    const std::uint64_t symbol = hash_text(request->arg2);
    std::vector<std::int32_t> time, volume;
    std::vector<double> open, high, low, close;
    for (std::int64_t k = first; k <= last; ++k) {
        const std::int64_t t = origin + k * s;
        const std::uint64_t h = mix(symbol ^ mix(static_cast<std::uint64_t>(t) * 31 + static_cast<std::uint64_t>(s)));
        const double o = round_tick(price(symbol, t)), c = round_tick(price(symbol, t + s));
        time.push_back(static_cast<std::int32_t>(t));
        open.push_back(o);
        close.push_back(c);
        high.push_back(round_tick(std::max(o, c) * (1 + 0.004 * unit(h))));
        low.push_back(round_tick(std::min(o, c) * (1 - 0.004 * unit(mix(h)))));
        volume.push_back(static_cast<std::int32_t>((100 + mix(h + 7) % 900) * 100 * std::min<std::int64_t>(s / 60, 200)));
    }

    CandlestickResult r{};
    r.time = column(arena, time);
    r.open = column(arena, open);
    r.high = column(arena, high);
    r.low = column(arena, low);
    r.close = column(arena, close);
    r.volume = column(arena, volume);
    r.success = 1;
    r.status_code = 200;
    r.last_sequence = time.empty() ? 0 : static_cast<std::int32_t>(last);
    r.message = "";
    return r;
}

}  // namespace tvx::sandbox
