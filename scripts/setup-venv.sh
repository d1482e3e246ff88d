#!/usr/bin/env bash
# Creates .venv (or $KAVIRA_VENV) and installs the svcfault stand-in and
# kavira with its test extra, building the extensions from this checkout.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${KAVIRA_VENV:-.venv}"
python="${PYTHON:-python3}"
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check ./svcfault
# KAVIRA_WERROR=ON (set by CI) makes compiler warnings errors.
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check ".[test]" \
  -Ccmake.define.KAVIRA_WERROR="${KAVIRA_WERROR:-OFF}"
