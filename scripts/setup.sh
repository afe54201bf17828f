#!/usr/bin/env bash
# Creates .venv with CPython 3.9 and installs the project (module, our Trading
# interface library, the sandbox control package) with its test tools.
set -euo pipefail
cd "$(dirname "$0")/.."

is39() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 9))' >/dev/null 2>&1; }

find_python39() {
    local c
    for c in "${PYTHON39:-}" python3.9 "$(pyenv root 2>/dev/null)"/versions/3.9*/bin/python3.9 \
             /root/.pyenv/versions/3.9*/bin/python3.9 /usr/local/bin/python3.9 /usr/bin/python3.9; do
        [ -n "$c" ] && is39 "$c" && { command -v "$c" || echo "$c"; return 0; }
    done
    return 1
}

if [ ! -x .venv/bin/python ] || ! is39 .venv/bin/python; then
    py=$(find_python39) || { echo "CPython 3.9 not found (set PYTHON39=/path/to/python3.9)" >&2; exit 1; }
    rm -rf .venv
    "$py" -m venv .venv
fi
# The build tools (those of pyproject's build-system) live in .venv itself: a
# build then sees the same pybind11 every time, so build/{wheel_tag} stays a
# valid cache for this install and for scripts/wheel.sh.
.venv/bin/python -m pip install --quiet --disable-pip-version-check "scikit-build-core>=0.10" "pybind11>=2.13,<2.14"
.venv/bin/python -m pip install --quiet --disable-pip-version-check --no-build-isolation ".[test]"
