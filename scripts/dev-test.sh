#!/usr/bin/env bash
# Developer loop: incremental CMake build and the tests run against it, without
# reinstalling. CPython 3.9 builds into build/dev; PYTHON=3.13 (or any other
# version, scripts/python.sh) into build/dev-3.13 with .venv-3.13. BUILD_DIR
# overrides the build directory. Sets the environment up on first use.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh
version=$(tvx_version_of "${PYTHON:-3.9}")
build=${BUILD_DIR:-$(tvx_dev_build "$version")}
py=$(tvx_venv "$version")/bin/python
[ -x "$py" ] || bash scripts/setup.sh "${PYTHON:-3.9}"
if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$(realpath $py)" \
        -Dpybind11_DIR="$($py -c 'import pybind11; print(pybind11.get_cmake_dir())' 2>/dev/null || \
            $py -m pybind11 --cmakedir)" >/dev/null
fi
ninja -C "$build" >/dev/null
PYTHONPATH="$(realpath "$build"):$(pwd)/sandbox/python" exec "$py" -m pytest -p no:cacheprovider -q tests "$@"
