#!/usr/bin/env bash
# Sets everything up and runs every test: the suite on CPython 3.9 against the
# installed module, again against an AddressSanitizer + UndefinedBehavior-
# Sanitizer build, and on CPython 3.13. The other versions:
# bash scripts/test-versions.sh (all five, or those named).
#
# Two cores carry it: the 3.13 environment and the sanitizer build are made
# while the 3.9 suite runs, then the sanitizer and 3.13 suites run side by
# side. Each background stage writes a log under
# build/ci-logs, printed whole when it ends; the 3.13 summary comes last.
set -euo pipefail
cd "$(dirname "$0")/.."
logs=build/ci-logs
mkdir -p "$logs"
bash scripts/windows-tools.sh >"$logs/windows-tools.log" 2>&1 &
tools=$!
echo "== setting up CPython 3.9 and building the module (a first build takes a few minutes)" >&2
bash scripts/setup.sh
echo "== meanwhile: the CPython 3.13 environment and the sanitizer build, in $logs/prepare.log" >&2
# Niced: the suite's timing-sensitive tests come first, the builds take the rest.
(nice -n 10 bash scripts/setup.sh 3.13 && TVX_BUILD_ONLY=1 nice -n 10 bash scripts/sanitize.sh asan) \
    >"$logs/prepare.log" 2>&1 &
prepare=$!
wait "$tools" || true
cat "$logs/windows-tools.log" >&2
echo "== CPython 3.9" >&2
status=0
.venv/bin/python -m pytest -p no:cacheprovider tests "$@" || status=1
if ! wait "$prepare"; then
    cat "$logs/prepare.log" >&2
    echo "preparing the 3.13 and sanitizer runs failed" >&2
    exit 1
fi
echo "== the sanitizer build and CPython 3.13, side by side" >&2
bash scripts/sanitize.sh asan "$@" >"$logs/asan.log" 2>&1 &
asan=$!
versions_status=0
# The full-length soak ran on 3.9; a shorter one does here.
TVX_SOAK_SECONDS=${TVX_SOAK_SECONDS:-20} bash scripts/test-versions.sh 3.13 "$@" >"$logs/3.13.log" 2>&1 || versions_status=1
wait "$asan" || status=1
echo "== AddressSanitizer + UndefinedBehaviorSanitizer (CPython 3.9)" >&2
cat "$logs/asan.log"
cat "$logs/3.13.log"
[ "$versions_status" = 0 ] || status=1
exit "$status"
