// The few things our library needs from the platform beyond standard C++:
// how its control entry points are exported, fork handlers, forced thread
// unwinding, the stack position. Everything POSIX- or GCC-specific lives in
// platform.cpp, so a port changes these two files.
#pragma once
#include <cstdint>

#if defined(_WIN32)
// The 47 operations are exported by ordinal through the .def file; the control
// entry points by name, for the control package.
#define TVX_EXPORT extern "C" __declspec(dllexport)
#else
#define TVX_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace tvx::sandbox::platform {

// Registers handlers run around fork(): `prepare` in the forking thread before
// it, `parent` after it in the parent, `child` after it in the child. No-op
// where the platform has no fork.
void at_fork(void (*prepare)(), void (*parent)(), void (*child)());

// Runs fn(arg); true when it returned, false when it threw. A forced unwind
// (a thread being ended by the platform) is never swallowed: it continues.
bool call_catching(void (*fn)(void*), void* arg);

// A number that shrinks as the calling thread's stack deepens (stacks grow
// down on every platform we build for).
std::uintptr_t stack_position();

}  // namespace tvx::sandbox::platform
