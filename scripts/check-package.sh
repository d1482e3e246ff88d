#!/usr/bin/env bash
# Builds the wheel and the sdist, checks what the wheels hold, then installs
# the wheel built from the sdist into a fresh virtual environment and runs
# the tests, stubtest and mypy --strict against it, away from the source tree.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
python="${PYTHON:-python3}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

"$python" -m venv "$work/build-env"
"$work/build-env/bin/pip" install --quiet --disable-pip-version-check build
"$work/build-env/bin/python" -m build --quiet --wheel --outdir "$work/wheel" "$root"
"$work/build-env/bin/python" -m build --quiet --sdist --outdir "$work/sdist" "$root"
"$work/build-env/bin/python" -m pip wheel --quiet --disable-pip-version-check --no-deps \
  --wheel-dir "$work/from-sdist" "$work"/sdist/*.tar.gz

for wheel in "$work"/wheel/*.whl "$work"/from-sdist/*.whl; do
  "$python" - "$wheel" <<'PY'
import re, sys, zipfile

names = [n for n in zipfile.ZipFile(sys.argv[1]).namelist() if not re.match(r"kavira-[^/]+\.dist-info/", n)]
modules = ["framekit", "aspectra", "tessel", "lumen", "resize", "wordgate", "_wordvault"]
allowed = {"kavira/__init__.py", "kavira/__main__.py", "kavira/cli.py", "kavira/py.typed"}
allowed |= {f"kavira/{m}.pyi" for m in modules}
extensions = [n for n in names if n.endswith(".so")]
unexpected = sorted(n for n in names if n not in allowed and n not in extensions)
missing = sorted(allowed - set(names))
found = sorted(re.match(r"kavira/([^.]+)\.", n).group(1) for n in extensions)
if unexpected or missing or found != sorted(modules):
    sys.exit(f"{sys.argv[1]}: unexpected {unexpected}, missing {missing}, extensions {found}")
print(f"{sys.argv[1].rsplit('/', 1)[-1]}: {len(names)} files, contents as expected")
PY
done

"$python" -m venv "$work/venv"
"$work/venv/bin/pip" install --quiet --disable-pip-version-check "$root/svcfault" "$work"/from-sdist/*.whl \
  pytest hypothesis mypy
cp -r "$root/tests" "$root/examples" "$root/stubtest-allowlist.txt" "$work/"
cd "$work"
"$work/venv/bin/pytest" -q -p no:cacheprovider tests
"$work/venv/bin/python" -m mypy.stubtest --allowlist stubtest-allowlist.txt \
  kavira.framekit kavira.aspectra kavira.tessel kavira.lumen kavira.resize kavira.wordgate kavira._wordvault
"$work/venv/bin/python" -m mypy --strict examples/host_request.py
"$work/venv/bin/python" -m mypy --strict -p kavira
