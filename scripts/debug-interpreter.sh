#!/usr/bin/env bash
# Builds kavira against Debian's debug interpreter (python3.11-dbg) into
# .venv-debug and runs the suite under -X dev with the per-test reference,
# block and descriptor check of tests/refleaks.py: a warm-up and three
# measured runs of every test. The debug interpreter checks the C API's
# preconditions (an exception pending on entry, a negative reference count,
# the GIL) with assertions that abort the process, so a clean pass means no
# such fault on any path the suite reaches and no leaking test.
#
#     bash scripts/debug-interpreter.sh [pytest arguments]
#
# As root it installs what it needs from Debian first. KAVIRA_DEBUG_VENV
# names another venv; KAVIRA_REFLEAKS=0 runs each test once.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${KAVIRA_DEBUG_VENV:-.venv-debug}"
python="${KAVIRA_DEBUG_PYTHON:-python3.11-dbg}"
say() { echo "debug-interpreter: $*" >&2; }
started=$SECONDS

# The interpreter and its headers, venv support, and what Pillow and isal
# are compiled from: their wheels on PyPI are built for the release ABI.
packages="python3.11-dbg python3.11-dev python3.11-venv libjpeg-dev zlib1g-dev libwebp-dev libtiff-dev libisal-dev"
missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing="$missing $package"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" != 0 ]; then
    say "missing Debian packages:$missing (install them as root)"
    exit 2
  fi
  say "installing$missing"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
fi

[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
# Under -X dev-like debug checks pip itself warns of unclosed index files.
pip() {
  local status=0
  "$venv/bin/python" -m pip --disable-pip-version-check -q "$@" 2>"$venv/pip.log" || status=$?
  grep -v -e ResourceWarning -e _get_index_content -e "^WARNING: Location" -e "^DEPRECATION" "$venv/pip.log" >&2 || true
  return $status
}
# Debian's pip predates -C (build options for the backend).
pip install "pip>=23.1"
# A release-ABI extension loads into the debug interpreter, but its
# Py_INCREF and Py_DECREF do not count in sys.gettotalrefcount(): each call
# into it would drift the total and hide or fake a leak. So every extension
# in the venv is compiled here against the debug headers. isal links
# Debian's libisal rather than building its own copy (no nasm needed).
if ! "$venv/bin/python" -c 'import PIL._imaging, ahocorasick, isal.isal_zlib as z
import sys; sys.exit(not PIL.features.check("webp") or not all("311d" in m.__file__ for m in (PIL._imaging, ahocorasick, z)))' 2>/dev/null ||
  ! nm -D "$venv"/lib/python3.11/site-packages/PIL/_imaging.*.so | grep " U _Py_RefTotal$" >/dev/null; then
  say "compiling Pillow, pyahocorasick and isal for the debug ABI (about 3 minutes)"
  PYTHON_ISAL_LINK_DYNAMIC=1 CFLAGS="-DPy_DEBUG" pip install --force-reinstall --no-cache-dir --no-binary Pillow,pyahocorasick,isal --use-pep517 \
    Pillow pyahocorasick isal
fi
# libclang and mypy are left out: their tests read the sources and the stubs,
# which the interpreter's build does not change.
pip install pytest hypothesis ./svcfault
say "building kavira against the debug headers"
# RelWithDebInfo without NDEBUG: the asserts in the interpreter's inline
# functions (PyTuple_GET_ITEM's type check and the like) stay in.
pip install --no-deps . -Cbuild-dir=build/debug -Ccmake.build-type=RelWithDebInfo \
  -Ccmake.define.CMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g -DPy_DEBUG" \
  -Ccmake.define.KAVIRA_WERROR="${KAVIRA_WERROR:-OFF}"
"$venv/bin/python" -c 'import sys, kavira.framekit as m
assert hasattr(sys, "gettotalrefcount") and "311d" in m.__file__, m.__file__'
# Debian's python3.11d headers link to the release ones, so "pyconfig.h"
# resolves to the release configuration unless Py_DEBUG is set: then the
# extensions' reference counting would not count in the interpreter's total.
for module in "$venv"/lib/python3.11/site-packages/PIL/_imaging.*.so \
  "$venv"/lib/python3.11/site-packages/kavira/framekit.*.so; do
  [ -e "$module" ] || continue
  if ! nm -D "$module" | grep " U _Py_RefTotal$" >/dev/null; then
    say "$module was compiled without Py_DEBUG"
    exit 1
  fi
done
say "built in $((SECONDS - started)) s"

# Left out, each for the time it takes rather than for what it checks,
# which the release job runs in full:
# - the child-process tests of the command and the examples, which start a
#   fresh debug interpreter per case and repeat nothing that runs in-process;
# - the fuzz and differential property tests run at a fixed, smaller number
#   of examples (the refleaks hypothesis profile).
deselect=(
  --ignore=tests/test_check_order.py
  --ignore=tests/test_examples.py
  --ignore=tests/test_readme.py
)
refleaks=()
[ "${KAVIRA_REFLEAKS:-1}" = 0 ] || refleaks=(--refleaks)
suite_started=$SECONDS
PYTHONPATH="$PWD/tests${PYTHONPATH:+:$PYTHONPATH}" "$venv/bin/python" -X dev -m pytest \
  -p refleaks "${refleaks[@]}" -q -p no:cacheprovider "${deselect[@]}" tests "$@"
say "suite passed in $((SECONDS - suite_started)) s (whole job $((SECONDS - started)) s)"
