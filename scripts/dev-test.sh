#!/usr/bin/env bash
# Developer loop: incremental CMake build into BUILD_DIR (default build/dev) and
# the tests run against it, without reinstalling. Needs scripts/setup.sh once.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/dev}
py=.venv/bin/python
[ -x "$py" ] || bash scripts/setup.sh
if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$(realpath $py)" \
        -Dpybind11_DIR="$($py -c 'import pybind11; print(pybind11.get_cmake_dir())' 2>/dev/null || \
            $py -m pybind11 --cmakedir)" >/dev/null
fi
ninja -C "$build" >/dev/null
PYTHONPATH="$(realpath "$build"):$(pwd)/sandbox/python" exec "$py" -m pytest -p no:cacheprovider -q tests "$@"
