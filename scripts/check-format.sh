#!/usr/bin/env bash
# Fails when a C++ source differs from what clang-format (config at the root) makes of it.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${KAVIRA_VENV:-.venv}"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check "clang-format>=18"
"$venv/bin/clang-format" --dry-run --Werror runtime/kavira/*.hpp runtime/kavira/*.cpp src/kavira/*.hpp src/kavira/*.cpp
echo "clang-format: sources formatted"
