// Subscription keys: the clock, in 100-ns ticks since 1970, reduced modulo
// seven hours and written as hours, minutes, seconds, milliseconds,
// microseconds and nanoseconds, each in plain decimal, without separators.
// Self-contained (no Python) so it can be compiled and checked on its own.
#pragma once
#include <cstdint>
#include <string>

namespace tvx::realtime {

using Clock = std::int64_t (*)();  // 100-ns ticks since 1970-01-01 00:00 UTC

std::int64_t system_ticks();

std::string key_from_ticks(std::int64_t ticks);

// The key for a new subscription. Distinct ticks can give the same digits
// (1 min 12 s and 11 min 2 s), and two calls can share a tick, so while the
// derived key is `taken` the clock reading is advanced one tick and the key
// derived again.
template <class Taken>
std::string unique_key(Clock clock, const Taken& taken) {
    std::int64_t ticks = clock();
    std::string key = key_from_ticks(ticks);
    while (taken(key)) key = key_from_ticks(++ticks);
    return key;
}

}  // namespace tvx::realtime
