#!/usr/bin/env bash
# Builds the test suite's native programs, incrementally, where the suite
# finds them (tests/conftest.py):
#   native    tests/cpp's programs, in build/tests (TVX_TEST_BUILD)
#   windows   with MinGW-w64 present: our library cross-built for Windows, a
#             C host and a program bound by ordinal for Wine, and the module
#             compiled for Windows with CPython 3.9's headers, in build/mingw
#             (TVX_WINDOWS_BUILD)
#   bash scripts/test-programs.sh [native] [windows]     (default: both)
# Each build holds the lock the tests take before building in it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/cmake.sh
py=.venv/bin/python
[ -x "$py" ] || bash scripts/setup.sh
lock=1 which=()
for a in "$@"; do
    case "$a" in --no-lock) lock="" ;; native | windows) which+=("$a") ;; *) echo "unknown: $a" >&2; exit 2 ;; esac
done
[ ${#which[@]} -gt 0 ] || which=(native windows)
mkdir -p build

locked() {
    local build=$1
    shift
    if [ -n "$lock" ]; then flock "${build%/}.lock" "$@"; else "$@"; fi
}

for w in "${which[@]}"; do
    if [ "$w" = native ]; then
        build=${TVX_TEST_BUILD:-build/tests}
        tvx_configure "$build" "$py" -DTVX_LIBRARY_ONLY=ON -DTVX_TEST_PROGRAMS=ON "${TVX_UNITY[@]}"
        echo "== building the C++ test programs in $build" >&2
        locked "$build" bash -c 'source scripts/cmake.sh && set -o pipefail && tvx_build "$1" test_programs' _ "$build"
    else
        build=${TVX_WINDOWS_BUILD:-build/mingw}
        if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
            echo "== no MinGW-w64: the Windows checks will skip (scripts/os-packages.sh installs it as root)" >&2
            continue
        fi
        read -r include pybind11_include version < <("$py" -c 'import sys, sysconfig, pybind11
print(sysconfig.get_paths()["include"], pybind11.get_include(), "%d%d" % sys.version_info[:2])')
        # -O1, as the module's objects here: the checks read export tables and
        # call through them, and -O3 would take half as long again to compile.
        tvx_configure "$build" "$py" -DTVX_LIBRARY_ONLY=ON -DTVX_WINDOWS_CHECKS=ON -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG" \
            -DCMAKE_TOOLCHAIN_FILE="$(pwd)/cmake/mingw-w64-x86_64.cmake" \
            -DTVX_WINDOWS_PYTHON_INCLUDE="$include" -DTVX_WINDOWS_PYBIND11_INCLUDE="$pybind11_include" \
            -DTVX_WINDOWS_PYTHON_VERSION="$version" "${TVX_UNITY[@]}"
        echo "== cross-building the Windows checks in $build (MinGW-w64)" >&2
        locked "$build" bash -c 'source scripts/cmake.sh && set -o pipefail && tvx_build "$1"' _ "$build"
    fi
done
