#!/usr/bin/env bash
# ThreadSanitizer run of the realtime concurrency tests: the module and our
# library built with -fsanitize=thread into BUILD_DIR (default build/tsan),
# the tests run by the project's (uninstrumented) CPython with libtsan
# preloaded. Only CPython's own reports are suppressed (scripts/tsan.supp).
# Needs scripts/setup.sh once. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/tsan}
py=.venv/bin/python
[ -x "$py" ] || bash scripts/setup.sh
if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTVX_SANITIZE=-fsanitize=thread \
        -DPython_EXECUTABLE="$(realpath $py)" \
        -Dpybind11_DIR="$($py -c 'import pybind11; print(pybind11.get_cmake_dir())')" >/dev/null
fi
ninja -C "$build" >/dev/null
libtsan=$(${CXX:-g++} -print-file-name=libtsan.so)
[ -f "$libtsan" ] || { echo "libtsan.so not found" >&2; exit 1; }
export LD_PRELOAD="$libtsan${LD_PRELOAD:+ $LD_PRELOAD}"
# Reports go to files: pytest captures the tests' stderr, and a halting
# report would otherwise vanish with the process.
reports="$(realpath "$build")/reports"
rm -rf "$reports" && mkdir -p "$reports"
export TSAN_OPTIONS="suppressions=$(pwd)/scripts/tsan.supp log_path=$reports/tsan halt_on_error=1 exitcode=66 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
export PYTHONPATH="$(realpath "$build"):$(pwd)/sandbox/python"
start=$SECONDS
status=0
"$py" -m pytest -p no:cacheprovider -q tests/test_realtime_threads.py "$@" || status=$?
if compgen -G "$reports/tsan.*" >/dev/null; then
    cat "$reports"/tsan.*
    echo "ThreadSanitizer reported problems (reports in $reports)" >&2
    [ "$status" -ne 0 ] || status=66
fi
echo "tsan: exit status $status after $((SECONDS - start)) s of tests"
exit "$status"
