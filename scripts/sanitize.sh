#!/usr/bin/env bash
# Builds the module and our library with a sanitizer and runs the test suite
# against that build. Python itself is not instrumented, so the sanitizer
# runtime is preloaded into the interpreter. Each kind has a build directory
# of its own (build/asan, build/tsan): their flags never mix.
#
#   bash scripts/sanitize.sh asan [pytest args]   AddressSanitizer + UndefinedBehaviorSanitizer, the whole suite
#   bash scripts/sanitize.sh tsan [pytest args]   ThreadSanitizer, the realtime concurrency tests
# Arguments naming tests (tests/...) replace the default selection (for asan,
# the suite less what tests/conftest.py marks natively_covered); others are added
# to it. TVX_BUILD_ONLY=1 builds and stops.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/cmake.sh
kind=${1:?asan or tsan}
shift
py=.venv/bin/python
[ -x "$py" ] || bash scripts/setup.sh
case "$kind" in
    asan)
        flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined"
        runtime=libasan.so
        # What runs no native code of ours beyond what other tests run is
        # left out (tests/conftest.py marks it natively_covered).
        selection=(tests -m "not natively_covered")
        # CPython's own allocations are never freed at exit and its small-object
        # allocator confuses leak checking; leaks are measured separately.
        export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:detect_odr_violation=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
        export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
        export PYTHONMALLOC=malloc
        ;;
    tsan)
        flags="-fsanitize=thread"
        runtime=libtsan.so
        selection=(tests/test_realtime_threads.py)
        ;;
    *)
        echo "unknown sanitizer: $kind" >&2
        exit 2
        ;;
esac
build=build/$kind
# -O1: enough for the sanitizers, and quicker to compile than -O2; -g1: the
# line tables a report's stack needs, a third less compiling than -g.
tvx_configure "$build" "$py" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
    -DTVX_SANITIZE="$flags" -DTVX_TEST_PROGRAMS=ON "${TVX_UNITY[@]}"
echo "== building $build" >&2
tvx_build "$build"
[ -z "${TVX_BUILD_ONLY:-}" ] || exit 0

for a in "$@"; do
    case "$a" in tests*) selection=() ;; esac
done
export TVX_SANITIZER=$kind TVX_TEST_BUILD=$build
if [ "$kind" = tsan ]; then
    # Reports go to files: pytest captures the tests' stderr, and a halting
    # report would otherwise vanish with the process. Only CPython's own
    # reports may be suppressed (scripts/tsan.supp).
    reports="$(realpath "$build")/reports"
    rm -rf "$reports" && mkdir -p "$reports"
    export TSAN_OPTIONS="suppressions=$(pwd)/scripts/tsan.supp log_path=$reports/tsan halt_on_error=1 exitcode=66 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
fi
# libstdc++ too: the interpreter does not link it, and the runtime must find
# its exception entry points at start-up.
preload="$(g++ -print-file-name=$runtime) $(g++ -print-file-name=libstdc++.so)"
status=0
PYTHONPATH="$(realpath "$build"):$(pwd)/sandbox/python" LD_PRELOAD="$preload" \
    "$py" -m pytest -p no:cacheprovider -q ${selection[@]+"${selection[@]}"} "$@" || status=$?
if [ "$kind" = tsan ] && compgen -G "$reports/tsan.*" >/dev/null; then
    cat "$reports"/tsan.*
    echo "ThreadSanitizer reported problems (reports in $reports)" >&2
    [ "$status" -ne 0 ] || status=66
fi
exit "$status"
