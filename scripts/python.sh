# Sourced by the scripts: which CPython they work with, and where its virtual
# environment and builds live. A version is named X.Y (3.9 to 3.13) or given
# as the path of an interpreter; PYTHON carries it when no argument does.
#   3.9 (the main interpreter)  .venv        build/dev       build/cp39-cp39-<platform>
#   any other X.Y               .venv-X.Y    build/dev-X.Y   build/cpXY-cpXY-<platform>

TVX_VERSIONS="3.9 3.10 3.11 3.12 3.13"

# Whether $1 runs as CPython $2.
tvx_is_version() {
    "$1" -c "import sys, platform; sys.exit(platform.python_implementation() != 'CPython' or
             '%d.%d' % sys.version_info[:2] != '$2')" >/dev/null 2>&1
}

# The X.Y that $1 names: a version, or an interpreter's path.
tvx_version_of() {
    case "$1" in
        [0-9].[0-9]|[0-9].[0-9][0-9]) echo "$1" ;;
        *) "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null ||
               { echo "not a Python version or interpreter: $1" >&2; return 1; } ;;
    esac
}

# An interpreter of version $1: $2 if that is one, else from PATH, pyenv or
# the usual places.
tvx_find_python() {
    local v=$1 given=${2:-} c
    local compat_var="PYTHON${v/./}"  # PYTHON39=/path/to/python3.9 and so on
    for c in "$given" "${!compat_var:-}" "python$v" "$(pyenv root 2>/dev/null)"/versions/"$v".*/bin/python"$v" \
             /root/.pyenv/versions/"$v".*/bin/python"$v" /usr/local/bin/python"$v" /usr/bin/python"$v"; do
        [ -n "$c" ] && tvx_is_version "$c" "$v" && { command -v "$c" || echo "$c"; return 0; }
    done
    echo "CPython $v not found (set PYTHON${v/./}=/path/to/python$v)" >&2
    return 1
}

tvx_venv() { if [ "$1" = 3.9 ]; then echo .venv; else echo ".venv-$1"; fi; }
tvx_dev_build() { if [ "$1" = 3.9 ]; then echo build/dev; else echo "build/dev-$1"; fi; }
