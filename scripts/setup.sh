#!/usr/bin/env bash
# Creates the virtual environment of one CPython version and installs the
# project (module, our Trading interface library, the sandbox control package)
# with its test tools (3.9 also with the static checks' tools), saying what it
# does as it goes.
#   bash scripts/setup.sh            CPython 3.9 into .venv
#   bash scripts/setup.sh 3.13       CPython 3.13 into .venv-3.13 (likewise 3.10 to 3.12)
# The version may also come from PYTHON (a version or an interpreter's path).
# pip's whole output goes to build/setup-X.Y.log.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh
source scripts/cmake.sh

want=${1:-${PYTHON:-3.9}}
version=$(tvx_version_of "$want")
given=""
[ "$want" != "$version" ] && given=$want
venv=$(tvx_venv "$version")
start=$SECONDS
say() { echo "== $*" >&2; }

if [ ! -x "$venv/bin/python" ] || ! tvx_is_version "$venv/bin/python" "$version"; then
    py=$(tvx_find_python "$version" "$given")
    say "creating $venv with $py"
    rm -rf "$venv"
    "$py" -m venv "$venv"
fi
mkdir -p build
log=build/setup-$version.log
: >"$log"
pip() { "$venv/bin/python" -m pip --disable-pip-version-check "$@"; }
# The build tools (those of pyproject's build-system) live in the environment
# itself: a build then sees the same pybind11 every time, so build/{wheel_tag}
# stays a valid cache for this install and for scripts/wheel.sh.
say "installing the build tools into $venv (scikit-build-core, pybind11)"
pip install --quiet "scikit-build-core>=0.10" "pybind11>=2.13,<2.14" >>"$log" 2>&1 || { cat "$log" >&2; exit 1; }

# pyproject's build-dir, build/{wheel_tag}
tag=$("$venv/bin/python" -c 'import sys, sysconfig; v = "cp%d%d" % sys.version_info[:2]
print("%s-%s-%s" % (v, v, sysconfig.get_platform().replace("-", "_").replace(".", "_")))')
if [ ! -f "build/$tag/build.ninja" ]; then
    say "first build of CPython $version's module and our library in build/$tag:" \
        "1 to 4 minutes on 2 cores, more while they are busy (configure, compile with a step count, install)"
else
    say "building CPython $version's module and our library in build/$tag (only what changed)"
fi
# The suite's tools on every version; the static checks' and the docs' (the
# check extra) only where they run, on 3.9.
extras=test
[ "$version" != 3.9 ] || extras=test,check
# TVX_SETUP_UNITY=1: a build only tests use (scripts/cmake.sh: TVX_UNITY).
unity=()
[ -z "${TVX_SETUP_UNITY:-}" ] || unity=(--config-settings=cmake.define.CMAKE_UNITY_BUILD=ON
    --config-settings=cmake.define.CMAKE_UNITY_BUILD_BATCH_SIZE=8)
# -v shows CMake's and Ninja's steps; they are shortened, the rest goes to the log.
status=0
pip install -v --no-build-isolation "${unity[@]}" \
    --config-settings=cmake.define.pybind11_DIR="$(tvx_pybind11_dir "$venv/bin/python")" ".[$extras]" 2>&1 |
    tee -a "$log" | sed -u -n -E \
        -e 's/^ *\*\*\* Configuring CMake.*/== configuring (cmake)/p' \
        -e 's/^ *\*\*\* Building project.*/== compiling/p' \
        -e 's/^ *\*\*\* Installing project.*/== installing into '"$venv"'/p' \
        -e 's#^ *(\[[0-9]+/[0-9]+\]) Building (C|CXX) object .*\.dir/(.*)\.o$#  \1 compiling \3#p' \
        -e 's#^ *(\[[0-9]+/[0-9]+\]) Linking (C|CXX) [a-z ]+ (.*)$#  \1 linking \3#p' \
        -e 's/^ *Successfully installed (.*)/== installed: \1/p' >&2 || status=$?
if [ "$status" != 0 ]; then
    grep -v "^WARNING: Location .* is ignored" "$log" | tail -60 >&2
    say "setting up CPython $version failed (whole log: $log)"
    exit "$status"
fi
say "CPython $version ready in $venv after $((SECONDS - start)) s"
