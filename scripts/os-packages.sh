#!/usr/bin/env bash
# The OS packages some tests need, from Debian's packages: says which are
# missing and why, then installs them when this runs as root with apt-get;
# otherwise the tests that need them skip, naming them. apt's own output goes
# to build/os-packages.log.
set -uo pipefail
cd "$(dirname "$0")/.."

# One line per need: a command that tells it is there | packages | why.
NEEDS="
x86_64-w64-mingw32-g++-posix | g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 | MinGW-w64: tests/test_windows.py cross-builds our library and the module for 64-bit Windows
wine | wine wine64 | Wine: tests/test_windows.py runs Windows programs that call our library by ordinal
chromium | chromium | Chromium: the backtest report's check opens the report in a headless browser
"

missing=() reasons=()
while IFS='|' read -r tool packages why; do
    tool=$(echo "$tool" | xargs)
    [ -n "$tool" ] || continue
    command -v "$tool" >/dev/null && continue
    read -r -a p <<<"$packages"
    missing+=("${p[@]}")
    reasons+=("  $(echo "$packages" | xargs): $(echo "$why" | xargs)")
done <<<"$NEEDS"
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
    echo "== OS packages missing; the tests that need them will skip:" >&2
    printf '%s\n' "${reasons[@]}" >&2
    echo "   (as root: apt-get install ${missing[*]})" >&2
    exit 0
fi
echo "== installing OS packages with apt-get (log: build/os-packages.log):" >&2
printf '%s\n' "${reasons[@]}" >&2
mkdir -p build
start=$(date +%s)
if { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"; } \
    >build/os-packages.log 2>&1; then
    echo "== OS packages installed in $(($(date +%s) - start)) s: ${missing[*]}" >&2
else
    echo "== could not install ${missing[*]} (see build/os-packages.log); the tests that need them will skip" >&2
fi
exit 0
