#!/usr/bin/env bash
# Developer loop: incremental CMake build and the tests run against it, without
# reinstalling. CPython 3.9 builds into build/dev; PYTHON=3.13 (or any other
# version, scripts/python.sh) into build/dev-3.13 with .venv-3.13. BUILD_DIR
# overrides the build directory. The test programs (tests/cpp, the Windows
# checks) are built there too. Sets the environment up on first use.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh
source scripts/cmake.sh
version=$(tvx_version_of "${PYTHON:-3.9}")
build=${BUILD_DIR:-$(tvx_dev_build "$version")}
py=$(tvx_venv "$version")/bin/python
[ -x "$py" ] || bash scripts/setup.sh "${PYTHON:-3.9}"
tvx_configure "$build" "$py" -DTVX_TEST_PROGRAMS=ON
tvx_build "$build"
export TVX_TEST_BUILD=$build
PYTHONPATH="$(realpath "$build"):$(pwd)/sandbox/python" exec "$py" -m pytest -p no:cacheprovider -q tests "$@"
