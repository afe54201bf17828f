#!/usr/bin/env bash
# The tools of the Windows checks (tests/test_windows.py): MinGW-w64 to
# cross-build our library and Wine to run it. Installed from Debian's packages
# when missing and this runs as root; otherwise those tests skip, naming them.
set -uo pipefail
declare -A pkg=([x86_64-w64-mingw32-g++-posix]=g++-mingw-w64-x86-64-posix
                [x86_64-w64-mingw32-gcc-posix]=gcc-mingw-w64-x86-64-posix
                [x86_64-w64-mingw32-objdump]=binutils-mingw-w64-x86-64 [wine]="wine wine64")
missing=()
for tool in "${!pkg[@]}"; do command -v "$tool" >/dev/null || missing+=(${pkg[$tool]}); done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
    echo "Windows checks will skip: install ${missing[*]}" >&2
    exit 0
fi
echo "installing ${missing[*]}" >&2
start=$(date +%s)
{ apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"; } \
    >/dev/null 2>&1 || echo "could not install ${missing[*]}; the Windows checks will skip" >&2
echo "installed in $(($(date +%s) - start)) s" >&2
exit 0
