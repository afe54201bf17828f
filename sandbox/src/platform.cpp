// POSIX and GCC specifics behind platform.h.
#include "platform.h"

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace tvx::sandbox::platform {

void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) {
#if !defined(_WIN32)
    pthread_atfork(prepare, parent, child);
#else
    (void)prepare, (void)parent, (void)child;
#endif
}

bool call_catching(void (*fn)(void*), void* arg) {
    try {
        fn(arg);
        return true;
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        return false;
    }
}

#if defined(__GNUC__)
__attribute__((noinline))
#endif
std::uintptr_t stack_position() {
    volatile char probe = 0;
    return reinterpret_cast<std::uintptr_t>(&probe);
}

}  // namespace tvx::sandbox::platform
