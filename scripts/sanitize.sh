#!/usr/bin/env bash
# Builds the module and our library with a sanitizer and runs the test suite
# against that build. Python itself is not instrumented, so the sanitizer
# runtime is preloaded into the interpreter.
#
#   bash scripts/sanitize.sh asan   [pytest args]   AddressSanitizer + UndefinedBehaviorSanitizer
#   bash scripts/sanitize.sh tsan   [pytest args]   ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:?asan or tsan}; shift
py=.venv/bin/python
[ -x "$py" ] || bash scripts/setup.sh
case "$kind" in
    asan) flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined"; runtime=libasan.so
          # CPython's own allocations are never freed at exit and its small-object
          # allocator confuses leak checking; leaks are measured separately.
          export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:detect_odr_violation=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
          export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
          export PYTHONMALLOC=malloc ;;
    tsan) flags="-fsanitize=thread"; runtime=libtsan.so
          export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$(pwd)/scripts/tsan.supp${TSAN_OPTIONS:+:$TSAN_OPTIONS}" ;;
    *) echo "unknown sanitizer: $kind" >&2; exit 2 ;;
esac
build=build/$kind
export TVX_SANITIZER=$kind
if [ ! -f "$build/build.ninja" ]; then
    # -O1: enough for the sanitizers, and quicker to compile than -O2.
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG" \
        -DTVX_SANITIZE="$flags" \
        -DPython_EXECUTABLE="$(realpath $py)" -Dpybind11_DIR="$($py -m pybind11 --cmakedir)" >/dev/null
fi
ninja -C "$build" ${TVX_NINJA_JOBS:+-j "$TVX_NINJA_JOBS"} >/dev/null
[ -z "${TVX_BUILD_ONLY:-}" ] || exit 0
# libstdc++ too: the interpreter does not link it, and the runtime must find
# its exception entry points at start-up.
preload="$(g++ -print-file-name=$runtime) $(g++ -print-file-name=libstdc++.so)"
PYTHONPATH="$(realpath "$build"):$(pwd)/sandbox/python" LD_PRELOAD="$preload" \
    exec "$py" -m pytest -p no:cacheprovider -q tests "$@"
