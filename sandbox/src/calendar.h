// The calendar: seconds since 1970 (UTC) as days, weekdays, minutes and
// texts, and the trading session's schedule. Every piece of the library that
// counts days counts them here.
#pragma once
#include <cstdint>
#include <string>

namespace tvx::sandbox::calendar {

inline constexpr std::int64_t kDay = 86400;

// The clock's range: the years 1 to 9999.
inline constexpr std::int64_t kEarliestTime = -62135596800;  // 0001-01-01T00:00:00Z
inline constexpr std::int64_t kLatestTime = 253402300799;    // 9999-12-31T23:59:59Z
// What a history may hold: candle records keep a time in 32 bits, and a
// week's candle opens up to a week before its first trade.
inline constexpr std::int64_t kFirstRecordTime = -2146780800;  // 1901-12-22T00:00:00Z
inline constexpr std::int64_t kLastRecordTime = 2147483647;    // 2038-01-19T03:14:07Z

// a / b rounded down (b > 0).
inline std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a / b - (a % b != 0 && a < 0); }
// The start of the period of `length` seconds that holds t; periods start at origin.
inline std::int64_t period_start(std::int64_t t, std::int64_t length, std::int64_t origin = 0) {
    return origin + floor_div(t - origin, length) * length;
}
inline std::int64_t day_of(std::int64_t t) { return floor_div(t, kDay); }
inline std::int64_t minute_of(std::int64_t t) { return period_start(t, 60); }
inline int second_of_day(std::int64_t t) { return static_cast<int>(t - day_of(t) * kDay); }
// 0 Monday ... 6 Sunday (1970-01-01 was a Thursday).
inline int weekday(std::int64_t t) {
    const std::int64_t d = day_of(t) + 3;
    return static_cast<int>(d - floor_div(d, 7) * 7);
}

struct Civil {
    std::int64_t year;
    unsigned month, day;
};
// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and back.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d);
Civil civil_from_days(std::int64_t days);
bool leap_year(std::int64_t y);

// "YYYY-MM-DD", "HH:MM:SS", and both joined by a T.
std::string date_text(std::int64_t t);
std::string time_text(std::int64_t t);
std::string stamp(std::int64_t t);

// "YYYY-MM-DD", "YYYY-MM-DDTHH:MM[:SS]" (or with a blank for the T), or
// seconds since 1970; false for anything else, an impossible date included.
bool parse_time(const char* s, std::int64_t& out);

// When the session is open, in seconds of the UTC day; always open when not
// scheduled.
struct Schedule {
    bool scheduled = false;
    int open_second = 0, close_second = 86400;
    unsigned days = 0x7f;  // bit d: weekday d trades (0 Monday ... 6 Sunday)

    bool open_at(std::int64_t t) const {
        if (!scheduled) return true;
        const int s = second_of_day(t);
        return (days >> weekday(t) & 1) && s >= open_second && s < close_second;
    }
};

}  // namespace tvx::sandbox::calendar
