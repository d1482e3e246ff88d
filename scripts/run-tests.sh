#!/usr/bin/env bash
# Builds and installs everything into .venv, then runs the test suite
# against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-venv.sh
venv="${KAVIRA_VENV:-.venv}"
"$venv/bin/pytest" tests "$@"
