#!/usr/bin/env bash
# Sets everything up (saying what it builds) and runs the quickstart against
# the sandbox broker.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
echo "== running examples/quickstart.py against the sandbox broker" >&2
exec .venv/bin/python examples/quickstart.py
