#!/usr/bin/env bash
# Runs the benchmark suite against the package installed in .venv.
# Pass --quick for one sample per row (what CI runs), --json PATH to keep the table.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${KAVIRA_VENV:-.venv}"
# The floor extension (bench/floor) is built for the benchmark only; rebuild
# it when its sources differ from what was last installed into this venv.
stamp="$venv/.benchfloor-sources"
sources="$(cat bench/floor/floor.cpp bench/floor/setup.py bench/floor/pyproject.toml | sha256sum)"
if [ "$(cat "$stamp" 2>/dev/null)" != "$sources" ] || ! "$venv/bin/python" -c "import benchfloor" 2>/dev/null; then
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check ./bench/floor
  echo "$sources" >"$stamp"
fi
"$venv/bin/python" bench/run.py "$@"
