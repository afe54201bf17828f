#!/usr/bin/env bash
# Creates the virtual environment of one CPython version and installs the
# project (module, our Trading interface library, the sandbox control package)
# with its test tools.
#   bash scripts/setup.sh            CPython 3.9 into .venv
#   bash scripts/setup.sh 3.13       CPython 3.13 into .venv-3.13 (likewise 3.10 to 3.12)
# The version may also come from PYTHON (a version or an interpreter's path).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh

want=${1:-${PYTHON:-3.9}}
version=$(tvx_version_of "$want")
given=""; [ "$want" != "$version" ] && given=$want
venv=$(tvx_venv "$version")

if [ ! -x "$venv/bin/python" ] || ! tvx_is_version "$venv/bin/python" "$version"; then
    py=$(tvx_find_python "$version" "$given")
    rm -rf "$venv"
    "$py" -m venv "$venv"
fi
# The build tools (those of pyproject's build-system) live in the environment
# itself: a build then sees the same pybind11 every time, so build/{wheel_tag}
# stays a valid cache for this install and for scripts/wheel.sh.
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check "scikit-build-core>=0.10" "pybind11>=2.13,<2.14"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-build-isolation ".[test]"
