#!/usr/bin/env bash
# The release workflow cannot run here: check it against GitHub's published
# workflow schema, and check that cibuildwheel reads pyproject.toml's
# configuration and selects the wheels the workflow promises.
set -euo pipefail
cd "$(dirname "$0")/.."
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
python3 -m venv "$work/venv"
"$work/venv/bin/pip" install --quiet --disable-pip-version-check check-jsonschema "cibuildwheel==4.3.5"
"$work/venv/bin/check-jsonschema" --builtin-schema vendor.github-workflows .github/workflows/*.yml
count() { "$work/venv/bin/cibuildwheel" --print-build-identifiers --platform "$1" . | grep -c "$2"; }
for expected in "linux manylinux_x86_64" "linux manylinux_aarch64" "linux musllinux_x86_64" \
  "macos macosx_x86_64" "macos macosx_arm64" "windows win_amd64"; do
  set -- $expected
  n="$(count "$1" "$2")"
  [ "$n" = 3 ] || { echo "check-workflow: $n wheels of $2 selected, not 3 (CPython 3.11-3.13)" >&2; exit 1; }
done
[ "$("$work/venv/bin/cibuildwheel" --print-build-identifiers --platform linux . | wc -l)" = 9 ] ||
  { echo "check-workflow: Linux selects wheels beyond those above" >&2; exit 1; }
echo "check-workflow: the workflow validates; cibuildwheel selects 18 wheels, 3 per platform"
