#include "calendar.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tvx::sandbox::calendar {

// H. Hinnant's algorithms: exact over the whole 64-bit range we use.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = floor_div(y, 400);
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

Civil civil_from_days(std::int64_t days) {
    const std::int64_t z = days + 719468;
    const std::int64_t era = floor_div(z, 146097);
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return Civil{static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

bool leap_year(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

std::string date_text(std::int64_t t) {
    const Civil c = civil_from_days(day_of(t));
    if (c.year < 0 || c.year > 9999) {
        char buf[48];
        std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(c.year), c.month, c.day);
        return buf;
    }
    // Made for every event's time stamp: digits by hand, not printf.
    const auto y = static_cast<unsigned>(c.year);
    const unsigned m = c.month, d = c.day;
    const char out[10] = {char('0' + y / 1000),
                          char('0' + y / 100 % 10),
                          char('0' + y / 10 % 10),
                          char('0' + y % 10),
                          '-',
                          char('0' + m / 10),
                          char('0' + m % 10),
                          '-',
                          char('0' + d / 10),
                          char('0' + d % 10)};
    return std::string(out, sizeof out);
}

std::string time_text(std::int64_t t) {
    const int s = second_of_day(t);
    const int h = s / 3600, mi = s / 60 % 60, se = s % 60;
    const char out[8] = {char('0' + h / 10),  char('0' + h % 10), ':', char('0' + mi / 10), char('0' + mi % 10), ':',
                         char('0' + se / 10), char('0' + se % 10)};
    return std::string(out, sizeof out);
}

std::string stamp(std::int64_t t) { return date_text(t) + "T" + time_text(t); }

bool parse_time(const char* s, std::int64_t& out) {
    if (!s || !*s) return false;
    const int len = static_cast<int>(std::strlen(s));
    if (std::all_of(s, s + len, [](char c) { return c >= '0' && c <= '9'; }) && len <= 12) {
        out = std::atoll(s);
        return true;
    }
    int y, mo, d, h = 0, mi = 0, sec = 0, n = -1;
    const bool ok = (std::sscanf(s, "%4d-%2d-%2d%n", &y, &mo, &d, &n) == 3 && n == len) ||
                    (std::sscanf(s, "%4d-%2d-%2dT%2d:%2d%n", &y, &mo, &d, &h, &mi, &n) == 5 && n == len) ||
                    (std::sscanf(s, "%4d-%2d-%2d %2d:%2d%n", &y, &mo, &d, &h, &mi, &n) == 5 && n == len) ||
                    (std::sscanf(s, "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &sec, &n) == 6 && n == len) ||
                    (std::sscanf(s, "%4d-%2d-%2d %2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &sec, &n) == 6 && n == len);
    if (!ok || mo < 1 || mo > 12 || d < 1 || h < 0 || h > 23 || mi < 0 || mi > 59 || sec < 0 || sec > 59) return false;
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (d > kDays[mo - 1] + (mo == 2 && leap_year(y))) return false;
    out = days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * kDay + h * 3600 + mi * 60 + sec;
    return true;
}

}  // namespace tvx::sandbox::calendar
