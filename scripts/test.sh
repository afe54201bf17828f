#!/usr/bin/env bash
# Sets everything up and runs every test: the suite against the installed
# module, then the suite again against an AddressSanitizer + UndefinedBehavior-
# Sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python -m pytest -p no:cacheprovider tests "$@"
exec bash scripts/sanitize.sh asan "$@"
