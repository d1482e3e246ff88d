#!/usr/bin/env bash
# Builds the extensions with AddressSanitizer and UndefinedBehaviorSanitizer
# into .venv-sanitize and runs the whole test suite under them. Any report
# aborts the process, so a clean pass means zero reports.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${KAVIRA_SANITIZE_VENV:-.venv-sanitize}"
python="${PYTHON:-python3}"
flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check ./svcfault
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check ".[test]" \
  -Ccmake.define.KAVIRA_SANITIZE="$flags" -Cbuild-dir=build/sanitize -Ccmake.build-type=RelWithDebInfo \
  -Ccmake.define.KAVIRA_WERROR="${KAVIRA_WERROR:-OFF}"
# The interpreter itself is not instrumented: preload the runtime, and let
# every object come from malloc so that ASan sees its bounds.
export LD_PRELOAD="$(${CXX:-g++} -print-file-name=libasan.so):$(${CXX:-g++} -print-file-name=libstdc++.so)"
export PYTHONMALLOC=malloc
# CPython keeps much of its memory until exit; leaks are measured by the soak instead.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Interpreter-exit and fork children do not run under the preloaded sanitizer runtime.
"$venv/bin/pytest" -q -p no:cacheprovider tests --ignore=tests/test_framekit_host.py -k "not interpreter_exit" "$@"
echo "sanitizers: no reports"
