// Checks the subscription key generator with injected clocks.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <set>
#include <string>

#include "../../realtime/subscription_key.h"

using tvx::realtime::key_from_ticks;
using tvx::realtime::unique_key;

namespace {

int failures = 0;

void expect(const std::string& got, const std::string& want, const char* what) {
    if (got != want) {
        std::printf("FAIL %s: got \"%s\", want \"%s\"\n", what, got.c_str(), want.c_str());
        ++failures;
    }
}

constexpr std::int64_t kTick = 1;
constexpr std::int64_t kMicro = 10;
constexpr std::int64_t kMilli = 10'000;
constexpr std::int64_t kSecond = 10'000'000;
constexpr std::int64_t kMinute = 60 * kSecond;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr std::int64_t kSevenHours = 7 * kHour;

constexpr std::int64_t kSample = 1 * kHour + 2 * kMinute + 3 * kSecond + 4 * kMilli + 5 * kMicro + 6 * kTick;

std::int64_t sample_clock() { return kSample; }
std::int64_t zero_clock() { return 0; }

}  // namespace

int main() {
    expect(key_from_ticks(kSample), "12345600", "1 h 2 min 3 s 4 ms 5 us 6 ticks");
    expect(key_from_ticks(0), "000000", "zero");
    expect(key_from_ticks(kSevenHours - 1), "65959999999900", "last tick before seven hours");
    expect(key_from_ticks(kSevenHours), "000000", "seven hours wrap to zero");
    expect(key_from_ticks(3 * kSevenHours + kSample), "12345600", "whole seven-hour periods drop out");
    expect(key_from_ticks(1 * kMinute + 12 * kSecond), key_from_ticks(11 * kMinute + 2 * kSecond),
           "different ticks, same digits");

    const auto none = [](const std::string&) { return false; };
    expect(unique_key(&sample_clock, none), "12345600", "injected clock");
    expect(unique_key(&zero_clock, none), "000000", "injected zero clock");

    std::set<std::string> taken{"12345600"};
    const auto in_taken = [&](const std::string& k) { return taken.count(k) != 0; };
    expect(unique_key(&sample_clock, in_taken), "12345700", "taken key moves one tick");
    taken.insert("12345700");
    expect(unique_key(&sample_clock, in_taken), "12345800", "two taken keys move two ticks");
    taken = {key_from_ticks(kSevenHours - 1)};
    const auto last = [] { return kSevenHours - 1; };
    expect(unique_key(+last, in_taken), "000000", "a move past the period wraps");

    // The system clock counts from 1970 in 100-ns ticks.
    const std::int64_t now = tvx::realtime::system_ticks();
    const std::int64_t seconds = static_cast<std::int64_t>(std::time(nullptr));
    if (now / kSecond < seconds - 5 || now / kSecond > seconds + 5) {
        std::printf("FAIL system clock: %lld ticks at %lld s\n", static_cast<long long>(now),
                    static_cast<long long>(seconds));
        ++failures;
    }

    if (failures == 0) std::printf("ok\n");
    return failures == 0 ? 0 : 1;
}
