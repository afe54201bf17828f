#!/usr/bin/env bash
# The static checks, quick and first in the test command; any finding fails:
# ruff (lint and format) over the Python, clang-format over the C and C++,
# mypy --strict over the sandbox control package and the client, and the
# docs site (mkdocs.yml, into build/site) in strict mode. The tools come from
# pyproject's check extra (scripts/setup.sh installs it for CPython 3.9).
#   bash scripts/check.sh            all of them
#   bash scripts/check.sh --fix      apply ruff's safe fixes and both formatters first
set -uo pipefail
cd "$(dirname "$0")/.."
bin=${TVX_CHECK_BIN:-.venv/bin}
[ -x "$bin/ruff" ] || bash scripts/setup.sh
native_sources() {
    find . \( -path ./build -o -path './.venv*' -o -path ./.git \) -prune -o \
        \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print0
}
if [ "${1:-}" = --fix ]; then
    "$bin/ruff" check --fix --quiet .
    "$bin/ruff" format --quiet .
    native_sources | xargs -0 "$bin/clang-format" -i
fi

status=0
check() {
    local name=$1 start=$SECONDS out
    shift
    if out=$("$@" 2>&1); then
        echo "== ok   $name ($((SECONDS - start)) s)" >&2
    else
        echo "== FAIL $name ($((SECONDS - start)) s):" >&2
        echo "$out" | tail -80 >&2
        status=1
    fi
}
check "ruff check" "$bin/ruff" check --quiet .
check "ruff format --check" "$bin/ruff" format --check --quiet .
check "clang-format --dry-run -Werror" bash -c "$(declare -f native_sources); native_sources | xargs -0 '$bin/clang-format' --dry-run -Werror"
check "mypy --strict (tavrolix_sandbox, tavrolix)" "$bin/mypy"
check "docs site (mkdocs build --strict)" env NO_MKDOCS_2_WARNING=1 "$bin/mkdocs" build --strict --quiet
[ "$status" = 0 ] || echo "== static checks failed: bash scripts/check.sh --fix applies the formatters" >&2
exit "$status"
