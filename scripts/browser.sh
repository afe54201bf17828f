#!/usr/bin/env bash
# The browser of the backtest report's check (tests/test_backtest_report.py):
# Debian's chromium, run headless. Installed from Debian's packages when
# missing and this runs as root; otherwise that test skips outside CI, naming it.
set -uo pipefail
for b in chromium chromium-browser; do command -v "$b" >/dev/null && exit 0; done
if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
    echo "the report's browser check needs chromium: apt-get install chromium" >&2
    exit 0
fi
echo "installing chromium (Debian's package) for the report's browser check" >&2
start=$(date +%s)
{ apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends chromium; } \
    >/dev/null 2>&1 || echo "could not install chromium; the report's browser check cannot run" >&2
echo "installed in $(($(date +%s) - start)) s" >&2
exit 0
