#!/usr/bin/env bash
# Sets everything up and runs every test: the suite on CPython 3.9 against the
# installed module, again against an AddressSanitizer + UndefinedBehavior-
# Sanitizer build, then the suite on CPython 3.13. The other versions:
# bash scripts/test-versions.sh (all five, or those named).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/windows-tools.sh
bash scripts/setup.sh
.venv/bin/python -m pytest -p no:cacheprovider tests "$@"
bash scripts/sanitize.sh asan "$@"
exec bash scripts/test-versions.sh 3.13 "$@"
