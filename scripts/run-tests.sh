#!/usr/bin/env bash
# Builds and installs everything into .venv (a few seconds when nothing
# changed), then runs the test suite against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-venv.sh
venv="${KAVIRA_VENV:-.venv}"
echo "run-tests: running the test suite against $venv (about half a minute)" >&2
"$venv/bin/pytest" tests "$@"
