#!/usr/bin/env bash
# The suite on each CPython version named (default: 3.9 to 3.13), each in its
# own virtual environment and build (scripts/python.sh). Other arguments go to
# pytest. What answers the same on any CPython (tests/conftest.py:
# version_independent) runs on 3.9 alone, where the static checks' tools are
# installed; a -m given here replaces that selection.
#   bash scripts/test-versions.sh                 all five
#   bash scripts/test-versions.sh 3.11 3.12 -k realtime
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh
versions=() args=()
for a in "$@"; do
    case "$a" in [0-9].[0-9]|[0-9].[0-9][0-9]) versions+=("$a") ;; *) args+=("$a") ;; esac
done
[ ${#versions[@]} -gt 0 ] || read -r -a versions <<<"$TVX_VERSIONS"
for v in "${versions[@]}"; do
    echo "== CPython $v" >&2
    bash scripts/setup.sh "$v"
    marks=()
    [ "$v" = 3.9 ] || marks=(-m "not version_independent")
    "$(tvx_venv "$v")/bin/python" -m pytest -p no:cacheprovider tests ${marks[@]+"${marks[@]}"} ${args[@]+"${args[@]}"}
done
