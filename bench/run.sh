#!/usr/bin/env bash
# Builds what the benchmarks need and prints their table.
#   bash bench/run.sh [PYTHON] [args]   PYTHON: 3.9 (default) to 3.13, or an interpreter's path
#                                       (scripts/python.sh); the dev build of that version
#                                       (build/dev, build/dev-3.13, ... as scripts/dev-test.sh makes it)
#   BENCH_INSTALLED=1 bash bench/run.sh   the module installed in that version's environment
# Extra arguments go to bench/bench.py and bench/client.py (--quick for fewer
# rounds, --smoke one short round, --only CASE; --only client: the client alone);
#   bash bench/run.sh 3.13 --instructions   instruction counts under valgrind instead (a few minutes)
#   bash bench/run.sh --broker [--quick]   the sandbox broker against an account's history
#   bash bench/run.sh --replay [--smoke]   the historical replay: GOOG crossover against the backtesting
#                                          package, 1,000,000 trades engine-only and to a Python callable
#   bash bench/run.sh --backtest [--smoke] [--only minute|daily|sweep]   the backtest runner beside the
#                                          backtesting package: 500,000 minute bars, GOOG, a 50-run sweep
#   bash bench/run.sh --book [orders [rounds]]   the matching engine and the ledger alone, in C++
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --book ]; then
    shift
    mkdir -p build/bench
    ${CXX:-g++} -std=c++20 -O2 -DNDEBUG -Wall -Wextra -o build/bench/book_bench bench/book_bench.cpp sandbox/src/book.cpp sandbox/src/ledger.cpp
    exec build/bench/book_bench "$@"
fi
source scripts/python.sh
want=${PYTHON:-3.9}
case "${1:-}" in [0-9].[0-9]|[0-9].[0-9][0-9]|*/*) want=$1; shift ;; esac
version=$(tvx_version_of "$want")
py=$(tvx_venv "$version")/bin/python
[ -x "$py" ] || bash scripts/setup.sh "$want"

if [ "${BENCH_INSTALLED:-0}" = 1 ]; then
    path=""
else
    build=${BUILD_DIR:-$(tvx_dev_build "$version")}
    source scripts/cmake.sh
    tvx_configure "$build" "$py"
    tvx_build "$build" >&2
    path="$(realpath "$build"):$(pwd)/sandbox/python:"
fi

# The floor extension: plain CPython C API, no pybind11.
out=build/bench
mkdir -p "$out"
inc=$($py -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
suffix=$($py -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
floor="$out/tvx_floor$suffix"
if [ ! -f "$floor" ] || [ bench/floor.c -nt "$floor" ]; then
    ${CC:-cc} -O3 -fPIC -shared -Wall -Wextra -Wno-unused-parameter -I"$inc" bench/floor.c -o "$floor" -lpthread
fi

export PYTHONPATH="$path$(realpath "$out"):$(pwd)/bench"
if [ "${1:-}" = --broker ]; then
    shift
    exec "$py" bench/broker.py "$@"
fi
if [ "${1:-}" = --replay ]; then
    shift
    exec "$py" bench/replay.py "$@"
fi
if [ "${1:-}" = --backtest ]; then
    shift
    exec "$py" bench/backtest.py "$@"
fi
if [ "${1:-}" = --instructions ]; then
    exec "$py" bench/instructions.py
fi
# The module against its floor and alternative, then the tavrolix client
# against the module (bench/client.py).
"$py" bench/bench.py "$@"
exec "$py" bench/client.py "$@"
