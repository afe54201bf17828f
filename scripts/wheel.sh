#!/usr/bin/env bash
# Builds wheels into dist/ and prints their paths, one a line: the module, our
# Trading interface library, the sandbox control package and the type stub.
#   bash scripts/wheel.sh            every version, 3.9 to 3.13
#   bash scripts/wheel.sh 3.12       one (a version or an interpreter's path)
# Each version builds in its own build/{wheel_tag}, shared with
# scripts/setup.sh, so it rebuilds only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh
source scripts/cmake.sh
if [ $# -gt 0 ]; then versions=("$@"); else read -r -a versions <<<"$TVX_VERSIONS"; fi
for want in "${versions[@]}"; do
    v=$(tvx_version_of "$want")
    py=$(tvx_venv "$v")/bin/python
    "$py" -c 'import scikit_build_core, pybind11' >/dev/null 2>&1 || bash scripts/setup.sh "$want" >&2
    tag=cp${v/./}
    rm -f dist/tavrolix_open_api-*-"$tag"-"$tag"-*.whl
    "$py" -m pip wheel --quiet --no-deps --no-build-isolation --wheel-dir dist \
        --config-settings=cmake.define.pybind11_DIR="$(tvx_pybind11_dir "$py")" . >&2
    ls dist/tavrolix_open_api-*-"$tag"-"$tag"-*.whl
done
