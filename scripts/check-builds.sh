#!/usr/bin/env bash
# The same sources three ways, each with -Wall -Wextra -Werror and the whole
# test suite: g++ (the venv $KAVIRA_VENV that scripts/run-tests.sh built),
# Debian's clang++-16, and g++ on the forced portable path
# (KAVIRA_PORTABLE=ON). Then the three must give identical outputs for the
# fixed inputs of scripts/output_hashes.py.
#
# Before building, the portable path is read as the preprocessor leaves it:
# no line of the sources there may use a compiler extension that MSVC
# lacks. (-Wvla on that build catches variable-length arrays.)
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
python="${PYTHON:-python3}"
gxx_venv="${KAVIRA_VENV:-.venv}"
say() { echo "check-builds: $*" >&2; }
started=$SECONDS

include="$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
extensions='__builtin_|__attribute__|__int128|__m128|\b_mm_|\basm\b|__asm|\balloca\b|__restrict|__typeof|__extension__|__declspec'
found=0
# _wordvault.cpp holds data only, generated at build time.
for source in runtime/kavira/*.cpp $(ls src/kavira/*.cpp | grep -v _wordvault); do
  # Line markers say which file each line comes from; only ours count.
  if g++ -std=c++20 -E -fdirectives-only -DKAVIRA_PORTABLE=1 -Iruntime -I"$include" "$source" |
    awk '/^# [0-9]+ "/ { ours = ($3 ~ /^"(src|runtime)\//) } ours' | grep -nE "$extensions"; then
    say "$source: a compiler extension on the portable path"
    found=1
  fi
done
[ "$found" = 0 ] || exit 1
say "portable path: no compiler extension in the sources as the preprocessor leaves them"

if ! command -v clang++-16 >/dev/null; then
  if [ "$(id -u)" != 0 ]; then
    say "clang++-16 is missing: apt-get install -y clang-16 (as root)"
    exit 1
  fi
  say "installing clang-16 from Debian"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-16 >/dev/null
fi

# name, C++ compiler, CMake options
build() {
  local name="$1" compiler="$2"
  shift 2
  local venv="$root/.venv-ci-$name" begun=$SECONDS
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/pip" install --quiet --disable-pip-version-check ./svcfault
  CXX="$compiler" "$venv/bin/pip" install --quiet --disable-pip-version-check ".[test]" \
    -Cbuild-dir="build/ci-$name" -Ccmake.define.KAVIRA_WERROR=ON "$@"
  say "$name: built and installed in $((SECONDS - begun)) s"
  begun=$SECONDS
  "$venv/bin/pytest" -q -p no:cacheprovider tests | tail -1
  say "$name: suite passed in $((SECONDS - begun)) s"
}
build clang clang++-16
build portable g++ -Ccmake.define.KAVIRA_PORTABLE=ON

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
for venv in "$gxx_venv" .venv-ci-clang .venv-ci-portable; do
  "$venv/bin/python" scripts/output_hashes.py >"$out/$(basename "$venv").txt"
done
for other in .venv-ci-clang .venv-ci-portable; do
  if ! diff -u "$out/$(basename "$gxx_venv").txt" "$out/$other.txt" >&2; then
    say "$other gives other outputs than the g++ build"
    exit 1
  fi
done
say "g++, clang++-16 and the portable build: $(wc -l <"$out/$(basename "$gxx_venv").txt") outputs identical"
say "done in $((SECONDS - started)) s"
