// Preloaded into a test process: CLOCK_REALTIME stands still at the time
// given by TVX_FROZEN_SECONDS and TVX_FROZEN_NANOSECONDS; other clocks run.
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

extern "C" int clock_gettime(clockid_t id, struct timespec* ts) {
    if (id == CLOCK_REALTIME) {
        const char* s = std::getenv("TVX_FROZEN_SECONDS");
        const char* ns = std::getenv("TVX_FROZEN_NANOSECONDS");
        ts->tv_sec = s ? std::atoll(s) : 0;
        ts->tv_nsec = ns ? std::atol(ns) : 0;
        return 0;
    }
    return static_cast<int>(syscall(SYS_clock_gettime, id, ts));
}
