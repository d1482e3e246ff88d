#!/usr/bin/env bash
# Installs the release wheels of $KAVIRA_WHEELHOUSE (default: dist/wheelhouse,
# from scripts/build-wheels.sh) as a user would, into a fresh virtual
# environment of each interpreter in $KAVIRA_WHEEL_PYTHONS, with no compiler
# and no CMake on PATH, and runs the test suite there from a folder outside
# the source tree, against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
wheelhouse="${KAVIRA_WHEELHOUSE:-$root/dist/wheelhouse}"
say() { echo "check-wheels: $*" >&2; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The tests and what they read, and nothing else of the checkout: the
# tests that need the sources, clang or a compiler skip themselves.
mkdir -p "$work/suite/bench"
cp -r "$root/tests" "$root/examples" "$work/suite/"
cp -r "$root/bench/plain" "$work/suite/bench/"

# The commands the tests and pip need, and no compiler or build tool.
mkdir "$work/bin"
for tool in sh bash env uname cat rm mkdir cp ls; do
  ln -s "$(command -v "$tool")" "$work/bin/$tool"
done

for interpreter in ${KAVIRA_WHEEL_PYTHONS:-python3}; do
  series="$("$interpreter" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  tag="cp${series/./}"
  wheel="$(ls "$wheelhouse"/kavira-*-"$tag"-"$tag"-*manylinux*.whl)"
  venv="$work/venv-$series"
  "$interpreter" -m venv "$venv"
  path="$venv/bin:$work/bin"
  for tool in cc c++ gcc g++ clang clang++ cmake ninja make; do
    if PATH="$path" command -v "$tool" >/dev/null; then
      say "$tool is on the PATH of the check"
      exit 1
    fi
  done
  started=$SECONDS
  # The documented install: the extras bring the stand-in and isal; pip
  # finds the stand-in in the wheelhouse, and builds nothing.
  PATH="$path" "$venv/bin/pip" install --quiet --disable-pip-version-check --only-binary :all: \
    --find-links "$wheelhouse" "kavira[standalone,fast] @ file://$wheel" pytest hypothesis
  installed=$((SECONDS - started))
  cd "$work/suite"
  location="$(PATH="$path" "$venv/bin/python" -c 'import kavira; print(kavira.__file__)')"
  case "$location" in
    "$venv"/lib/*/site-packages/kavira/__init__.py) ;;
    *)
      say "import kavira found $location, not the installed package"
      exit 1
      ;;
  esac
  PATH="$path" "$venv/bin/kavira" --output "$work/adjusted.png" >/dev/null
  started=$SECONDS
  PATH="$path" "$venv/bin/python" -m pytest -q -p no:cacheprovider tests | tail -1
  say "Python $series: $(basename "$wheel") installed in $installed s, suite passed in $((SECONDS - started)) s"
  cd "$root"
done
