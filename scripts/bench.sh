#!/usr/bin/env bash
# Runs the benchmark suite against the package installed in .venv.
# Pass --quick for one sample per row (what CI runs), --json PATH to keep the table.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${KAVIRA_VENV:-.venv}"
"$venv/bin/python" bench/run.py "$@"
