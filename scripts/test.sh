#!/usr/bin/env bash
# Sets everything up and runs every test: the static checks, then the suite
# on CPython 3.9 against the installed module, again against an
# AddressSanitizer + UndefinedBehaviorSanitizer build, and on CPython 3.13.
# The other versions: bash scripts/test-versions.sh (all five, or those named).
# Arguments go to pytest.
#
# Two cores carry it. The OS packages some tests need install first, in the
# background (scripts/os-packages.sh says which and why). While the static
# checks and the 3.9 suite run, the test programs (scripts/test-programs.sh),
# the 3.13 environment and the sanitizer build are made, niced; then the
# sanitizer and 3.13 suites run side by side, each without what the 3.9 pass
# already settled (tests/conftest.py: natively_covered, version_independent).
# Each background stage writes a log under build/ci-logs, printed whole when
# it ends; the 3.13 summary comes last.
set -euo pipefail
cd "$(dirname "$0")/.."
logs=build/ci-logs
mkdir -p "$logs"
start=$SECONDS
say() { echo "== [$((SECONDS - start)) s] $*" >&2; }

bash scripts/os-packages.sh >/dev/null &
packages=$!
bash scripts/setup.sh

say "meanwhile, niced: the test programs, the CPython 3.13 environment and the sanitizer build ($logs/prepare*.log)"
# They start before the static checks, which keep one core busy at most; the
# suite's timing-sensitive tests then have the first call on the CPU. A test
# that needs a program still building waits for it (the build's lock). What
# only the later passes need is a second chain beside the test programs, not
# after them, taking the CPU the suite leaves idle (niced no further: beside a
# busy machine's own load it would starve). The 3.13 module is a unity build,
# as the sanitizer's: the 3.9 pass tests the one users install.
(
    set -e
    nice -n 10 bash scripts/test-programs.sh native
    while kill -0 "$packages" 2>/dev/null; do sleep 1; done
    nice -n 10 bash scripts/test-programs.sh windows
    if command -v wine >/dev/null; then
        # Wine's first start makes its prefix (tests/test_windows.py keeps it here).
        WINEPREFIX="$(pwd)/build/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
            nice -n 10 wineboot --init || true
    fi
) >"$logs/prepare.log" 2>&1 &
prepare=$!
(
    set -e
    TVX_SETUP_UNITY=1 nice -n 10 bash scripts/setup.sh 3.13
    TVX_BUILD_ONLY=1 nice -n 10 bash scripts/sanitize.sh asan
) >"$logs/prepare-later.log" 2>&1 &
later=$!

say "static checks"
status=0
# A finding fails the run at its end, after the suites (the builds are under way).
bash scripts/check.sh || status=1

say "CPython 3.9"
# The soak runs 30 s here, 20 s on 3.13, 15 s under the sanitizer (a minute
# when run alone; TVX_SOAK_SECONDS sets it).
TVX_SOAK_SECONDS=${TVX_SOAK_SECONDS:-30} .venv/bin/python -m pytest -p no:cacheprovider tests "$@" || status=1
for job in "$prepare:prepare" "$later:prepare-later"; do
    if ! wait "${job%%:*}"; then
        cat "$logs/${job#*:}.log" >&2
        say "preparing the test programs, 3.13 and the sanitizer run failed ($logs/${job#*:}.log)"
        exit 1
    fi
done
wait "$packages" || true
say "the sanitizer build and CPython 3.13, side by side"
bash scripts/sanitize.sh asan "$@" >"$logs/asan.log" 2>&1 &
asan=$!
versions_status=0
# What answers the same on any CPython ran on 3.9 (tests/conftest.py marks
# it); so did the longer soak.
TVX_SOAK_SECONDS=${TVX_SOAK_SECONDS:-20} TVX_SETUP_UNITY=1 bash scripts/test-versions.sh 3.13 "$@" \
    >"$logs/3.13.log" 2>&1 || versions_status=1
wait "$asan" || status=1
say "AddressSanitizer + UndefinedBehaviorSanitizer (CPython 3.9)"
cat "$logs/asan.log"
say "CPython 3.13"
cat "$logs/3.13.log"
[ "$versions_status" = 0 ] || status=1
exit "$status"
