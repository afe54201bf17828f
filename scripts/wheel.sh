#!/usr/bin/env bash
# Builds the wheel into dist/ and prints its path: the module, our Trading
# interface library, the sandbox control package and the type stub. It shares
# build/{wheel_tag} with scripts/setup.sh, so it rebuilds only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
py=.venv/bin/python
"$py" -c 'import scikit_build_core, pybind11' >/dev/null 2>&1 || bash scripts/setup.sh
rm -f dist/tavrolix_open_api-*.whl
"$py" -m pip wheel --quiet --no-deps --no-build-isolation --wheel-dir dist . >&2
ls dist/tavrolix_open_api-*.whl
