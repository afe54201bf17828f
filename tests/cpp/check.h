// A small check macro for the C++ unit tests: reports every failed expectation
// with its line and makes the program's exit status count them.
#pragma once
#include <cstdio>
#include <sstream>
#include <string>

namespace check {
inline int failures = 0;
inline std::string context;  // printed with a failure: the case or the random seed
}  // namespace check

#define CHECK(cond)                                                                                  \
    do {                                                                                             \
        if (!(cond)) {                                                                               \
            std::printf("FAIL %s:%d: %s [%s]\n", __FILE__, __LINE__, #cond, check::context.c_str()); \
            ++check::failures;                                                                       \
        }                                                                                            \
    } while (0)

#define CHECK_EQ(a, b)                                                                                    \
    do {                                                                                                  \
        const auto& va_ = (a);                                                                            \
        const auto& vb_ = (b);                                                                            \
        if (!(va_ == vb_)) {                                                                              \
            std::ostringstream os_;                                                                       \
            os_ << static_cast<long long>(va_) << " != " << static_cast<long long>(vb_);                  \
            std::printf("FAIL %s:%d: %s == %s: %s [%s]\n", __FILE__, __LINE__, #a, #b, os_.str().c_str(), \
                        check::context.c_str());                                                          \
            ++check::failures;                                                                            \
        }                                                                                                 \
    } while (0)

#define CHECK_DONE()                                                        \
    do {                                                                    \
        if (check::failures) std::printf("%d failures\n", check::failures); \
        return check::failures ? 1 : 0;                                     \
    } while (0)
