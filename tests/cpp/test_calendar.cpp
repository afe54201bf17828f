// The calendar alone: every day from before the first record time to past
// the last counted against a plain day-by-day count, leap days, the clock's
// and the records' edges, negative times, and the session schedule.
#include <climits>
#include <cstdint>
#include <string>

#include "../../sandbox/src/calendar.h"
#include "check.h"

using namespace tvx::sandbox::calendar;

namespace {

int days_in(std::int64_t y, unsigned m) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return kDays[m - 1] + (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0));
}

bool parses(const char* s, std::int64_t want) {
    std::int64_t t = -12345;
    return parse_time(s, t) && t == want;
}

bool refused(const char* s) {
    std::int64_t t = 0;
    return !parse_time(s, t);
}

}  // namespace

int main() {
    // Day by day from 1899-01-01 to 2101-12-31, both ways, against a plain count.
    {
        check::context = "day by day";
        std::int64_t y = 1899, days = days_from_civil(1899, 1, 1);
        unsigned m = 1, d = 1;
        CHECK_EQ(days_from_civil(1970, 1, 1), 0);
        for (; y < 2102; ++days) {
            const Civil c = civil_from_days(days);
            if (c.year != y || c.month != m || c.day != d || days_from_civil(y, m, d) != days) {
                CHECK(false);
                break;
            }
            if (++d > static_cast<unsigned>(days_in(y, m))) d = 1, ++m;
            if (m > 12) m = 1, ++y;
        }
    }
    // Leap days: every fourth year, not every hundredth, every four hundredth.
    check::context = "leap days";
    CHECK(parses("2024-02-29", days_from_civil(2024, 2, 29) * kDay));
    CHECK(parses("2000-02-29T12:00", days_from_civil(2000, 2, 29) * kDay + 43200));
    CHECK(refused("2023-02-29"));
    CHECK(refused("1900-02-29"));
    CHECK(refused("2100-02-29"));
    CHECK_EQ(days_from_civil(2024, 3, 1) - days_from_civil(2024, 2, 28), 2);
    CHECK_EQ(days_from_civil(2100, 3, 1) - days_from_civil(2100, 2, 28), 1);
    // The texts of the forms read; anything else refused.
    check::context = "parse";
    CHECK(parses("2026-03-02 10:00:05", 1772445605));
    CHECK(parses("2026-03-02T10:00", 1772445600));
    CHECK(parses("1772445600", 1772445600));
    CHECK(refused("2026-13-01"));
    CHECK(refused("2026-04-31"));
    CHECK(refused("2026-03-02T24:00"));
    CHECK(refused("2026-03-02T10:00:60"));
    CHECK(refused("2026-03-02x"));
    CHECK(refused(""));
    CHECK(refused(nullptr));

    // Times before 1970 fall on the day before, not the one after.
    check::context = "negative times";
    CHECK(stamp(-1) == "1969-12-31T23:59:59");
    CHECK(stamp(-86400) == "1969-12-31T00:00:00");
    CHECK(stamp(-86401) == "1969-12-30T23:59:59");
    CHECK_EQ(day_of(-1), -1);
    CHECK_EQ(minute_of(-1), -60);
    CHECK_EQ(minute_of(-60), -60);
    CHECK_EQ(second_of_day(-1), 86399);
    CHECK_EQ(weekday(0), 3);               // a Thursday
    CHECK_EQ(weekday(-1), 2);              // Wednesday
    CHECK_EQ(weekday(-86400 * 3 - 1), 6);  // Sunday 1969-12-28
    CHECK_EQ(weekday(1772445600), 0);      // 2026-03-02, a Monday

    // The clock's edges, and where records end.
    check::context = "edges";
    CHECK(stamp(kEarliestTime) == "0001-01-01T00:00:00");
    CHECK(stamp(kLatestTime) == "9999-12-31T23:59:59");
    CHECK_EQ(days_from_civil(1, 1, 1) * kDay, kEarliestTime);
    CHECK(stamp(kLastRecordTime) == "2038-01-19T03:14:07");
    CHECK(stamp(kFirstRecordTime) == "1901-12-22T00:00:00");
    // A week's candle of any record time opens within 32 bits (weeks open on Mondays)...
    CHECK_EQ(weekday(kFirstRecordTime), 6);  // a Sunday: its week opened 1901-12-16
    CHECK(period_start(kFirstRecordTime, 7 * kDay, 4 * kDay) >= INT32_MIN);
    // ...and of the day before the first it might not.
    CHECK(period_start(kFirstRecordTime - 7 * kDay, 7 * kDay, 4 * kDay) < INT32_MIN);
    CHECK(period_start(kLastRecordTime, 7 * kDay, 4 * kDay) <= INT32_MAX);

    // The session: Monday to Friday, 09:00 to 17:00 UTC.
    check::context = "schedule";
    Schedule s;
    CHECK(s.open_at(kEarliestTime) && s.open_at(-1));  // not scheduled: always open
    s.scheduled = true;
    s.open_second = 9 * 3600;
    s.close_second = 17 * 3600;
    s.days = 0x1f;
    const std::int64_t friday = days_from_civil(2026, 3, 6) * kDay;
    CHECK(!s.open_at(friday + 9 * 3600 - 1));
    CHECK(s.open_at(friday + 9 * 3600));
    CHECK(s.open_at(friday + 17 * 3600 - 1));
    CHECK(!s.open_at(friday + 17 * 3600));
    CHECK(!s.open_at(friday + kDay + 12 * 3600));  // Saturday
    const std::int64_t monday_1969 = days_from_civil(1969, 12, 29) * kDay;
    CHECK(s.open_at(monday_1969 + 12 * 3600));
    CHECK(!s.open_at(monday_1969 - kDay + 12 * 3600));  // the Sunday before
    CHECK_DONE();
}
