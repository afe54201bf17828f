// What differs between the platforms the library builds for: how its control
// entry points are exported, and the few POSIX facilities it uses.
#pragma once

#if defined(_WIN32)
// The 47 operations are exported by ordinal through the .def file; the control
// entry points by name, for the control package.
#define TVX_EXPORT extern "C" __declspec(dllexport)
#else
#define TVX_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#if defined(__GLIBCXX__)
#include <cxxabi.h>
// A thread being cancelled unwinds with this; it must not be swallowed.
#define TVX_CATCH_FORCED_UNWIND \
    catch (abi::__forced_unwind&) { throw; }
#else
#define TVX_CATCH_FORCED_UNWIND
#endif

#if defined(_WIN32)
#include <string.h>
#define strcasecmp _stricmp
#define strncasecmp _strnicmp
#else
#include <strings.h>
#endif
