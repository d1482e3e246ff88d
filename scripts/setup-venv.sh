#!/usr/bin/env bash
# Creates .venv (or $KAVIRA_VENV) and installs the svcfault stand-in and
# kavira with its test extra, building the extensions from this checkout.
# A re-run whose sources, interpreter and options are those of the last
# install only checks that and stops; after a change, CMake's objects kept
# in build/ mean that only what changed is compiled again. KAVIRA_REBUILD=1
# installs anyway.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${KAVIRA_VENV:-.venv}"
python="${PYTHON:-python3}"
# KAVIRA_WERROR=ON (set by CI) makes compiler warnings errors.
werror="${KAVIRA_WERROR:-OFF}"
say() { echo "setup-venv: $*" >&2; }
started=$SECONDS

if [ ! -x "$venv/bin/python" ]; then
  say "creating the virtual environment $venv"
  "$python" -m venv "$venv"
fi

# Everything the installed package is built from, and how.
fingerprint() {
  {
    echo "KAVIRA_WERROR=$werror"
    "$venv/bin/python" -c 'import sys; print(sys.executable, sys.version)'
    find CMakeLists.txt pyproject.toml src runtime wordvault svcfault -type f \
      -not -path '*/__pycache__/*' -not -path 'svcfault/build/*' -not -path '*.egg-info/*' -print0 |
      LC_ALL=C sort -z | xargs -0 sha256sum
  } | sha256sum | cut -d' ' -f1
}
stamp="$venv/.kavira-installed-from"
wanted="$(fingerprint)"
if [ -z "${KAVIRA_REBUILD:-}" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$wanted" ] &&
  "$venv/bin/python" -c 'import kavira.wordgate, kavira.framekit, kavira.aspectra, kavira.tessel, kavira.lumen, kavira.resize, pytest' 2>/dev/null; then
  say "kavira in $venv is up to date with the sources; nothing to build ($((SECONDS - started)) s)"
  exit 0
fi
rm -f "$stamp"

say "installing the svcfault stand-in into $venv"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check ./svcfault
if [ -d "build" ]; then
  say "building kavira (only changed sources are compiled: usually 20-60 s) and installing it with its test tools"
else
  say "building kavira's seven extension modules and installing them with Pillow, pyahocorasick, pytest," \
    "hypothesis and mypy (the first time: 1-2 minutes on two cores)"
fi
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check ".[test]" \
  -Ccmake.define.KAVIRA_WERROR="$werror"
echo "$wanted" >"$stamp"
say "done in $((SECONDS - started)) s; kavira is installed in $venv"
