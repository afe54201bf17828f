# Sourced by the scripts: the one way a CMake build is configured and built.
# pybind11 is found through the interpreter the build is for
# (`python -m pybind11 --cmakedir`), here and in the pip builds of setup.sh
# and wheel.sh alike, so every build of a version uses the same pybind11.

# Arguments of tvx_configure for the builds only the tests use (the test
# programs, the sanitizer and MinGW builds): unity builds, some eight sources
# to a compile, so pybind11's and the standard library's headers are parsed a
# few times instead of once per source; about a third less compiling from
# scratch. The installed module and the developer's build keep one object
# per source (but the test command's 3.13 pass: TVX_SETUP_UNITY in setup.sh).
TVX_UNITY=(-DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=8)

# The CMake package directory of the pybind11 installed for interpreter $1.
tvx_pybind11_dir() { "$1" -m pybind11 --cmakedir; }

# tvx_configure BUILD PYTHON [cmake -D arguments...]
# Configures BUILD (Ninja) for interpreter PYTHON. Configuring again is cheap,
# so it runs whenever the arguments differ from last time or BUILD is new.
tvx_configure() {
    local build=$1 py=$2
    shift 2
    local args=(-G Ninja -DPython_EXECUTABLE="$(realpath "$py")" -Dpybind11_DIR="$(tvx_pybind11_dir "$py")" "$@")
    local stamp="$build/.tvx-configure-args"
    if [ -f "$build/build.ninja" ] && [ "$(cat "$stamp" 2>/dev/null)" = "${args[*]}" ]; then
        return 0
    fi
    echo "== configuring $build (cmake)" >&2
    mkdir -p "$build"
    if ! cmake -S . -B "$build" "${args[@]}" >"$build/configure.log" 2>&1; then
        cat "$build/configure.log" >&2
        return 1
    fi
    printf '%s' "${args[*]}" >"$stamp"
}

# tvx_build BUILD [target...]
# Builds BUILD incrementally, one line per step with its count
# ("[12/40] compiling core/login.cpp"); the compiler's messages pass through.
# TVX_NINJA_JOBS caps the parallel jobs.
tvx_build() {
    local build=$1
    shift
    local targets=()
    [ $# -eq 0 ] || targets=(--target "$@")
    cmake --build "$build" ${targets[@]+"${targets[@]}"} ${TVX_NINJA_JOBS:+-j "$TVX_NINJA_JOBS"} 2>&1 | tvx_progress
}

# Ninja's and scikit-build-core's step lines, shortened; anything else as is.
tvx_progress() {
    sed -u -E \
        -e 's#^(\[[0-9]+/[0-9]+\]) Building (C|CXX) object .*\.dir/(.*)\.o(bj)?$#  \1 compiling \3#' \
        -e 's#^(\[[0-9]+/[0-9]+\]) Linking (C|CXX) [a-z ]+ (.*)$#  \1 linking \3#' \
        -e '/^ninja: no work to do/d' -e '/Re-checking globbed directories|Re-running CMake|^-- /d'
}
