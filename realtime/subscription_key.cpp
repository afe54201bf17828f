#include "subscription_key.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <ctime>
#endif

namespace tvx::realtime {

std::int64_t system_ticks() {
#if defined(_WIN32)
    // The system clock counts these ticks from 1601.
    FILETIME ft;
    GetSystemTimePreciseAsFileTime(&ft);
    const std::int64_t since_1601 =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    return since_1601 - 116'444'736'000'000'000;
#else
    // The C library's exported clock_gettime, so a frozen clock can be
    // interposed (LD_PRELOAD) to check keys made within one tick.
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 10'000'000 + ts.tv_nsec / 100;
#endif
}

std::string key_from_ticks(std::int64_t ticks) {
    constexpr std::int64_t seven_hours = 252'000'000'000;
    std::int64_t rest = ticks - static_cast<std::int64_t>(static_cast<std::int32_t>(ticks / seven_hours)) * seven_hours;
    const std::int64_t hours = rest / 36'000'000'000;
    rest -= hours * 36'000'000'000;
    const std::int64_t minutes = rest / 600'000'000;
    rest -= minutes * 600'000'000;
    const std::int64_t seconds = rest / 10'000'000;
    rest -= seconds * 10'000'000;
    const std::int64_t millis = rest / 10'000;
    rest -= millis * 10'000;
    const std::int64_t micros = rest / 10;
    rest -= micros * 10;
    const std::int64_t nanos = rest * 100;
    return std::to_string(hours) + std::to_string(minutes) + std::to_string(seconds) + std::to_string(millis) +
           std::to_string(micros) + std::to_string(nanos);
}

}  // namespace tvx::realtime
