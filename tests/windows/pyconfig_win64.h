/* For the compile check of the module for 64-bit Windows: the Linux build's
 * configuration (pyconfig_linux.h), corrected for Windows: 32-bit long,
 * 16-bit wchar_t, the DLL import/export of the C API, no POSIX headers.
 * Not a configuration to run with. */
#include "pyconfig_linux.h"
#undef SIZEOF_LONG
#define SIZEOF_LONG 4
#undef SIZEOF_WCHAR_T
#define SIZEOF_WCHAR_T 2
#undef HAVE_WCHAR_H
#define MS_WIN64
#define MS_WINDOWS
#define Py_ENABLE_SHARED 1
#define NT_THREADS
#undef _POSIX_THREADS
#undef HAVE_PTHREAD_H
#undef HAVE_SYS_SELECT_H
#undef HAVE_SYS_TIME_H
#undef HAVE_SYS_STAT_H
#undef HAVE_UNISTD_H
#undef HAVE_CLOCK_GETTIME
#undef HAVE_FORK
#undef HAVE_SIGNAL_H
#undef HAVE_SYS_TYPES_H
#undef HAVE_STAT_H
#undef HAVE_PTHREAD_STUBS
#undef HAVE_PTHREAD_CONDATTR_SETCLOCK
#undef WITH_THREAD
#define HAVE_DECLSPEC_DLL
#undef HAVE_LONG_DOUBLE
