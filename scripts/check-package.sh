#!/usr/bin/env bash
# Builds the wheel and the sdist, checks what the wheels hold and that they
# are tagged for the interpreter that built them, then installs the wheel
# built from the sdist into a fresh virtual environment and runs the tests,
# stubtest and mypy --strict against it, away from the source tree.
# Last, pip-installs the sdist, as a user would, into a fresh virtual
# environment of each interpreter in $KAVIRA_SDIST_PYTHONS (default: $PYTHON)
# and runs the command-line tool there.
set -euo pipefail
cd "$(dirname "$0")/.."
# KAVIRA_WERROR=ON (set by CI) makes compiler warnings errors.
kavira_build_options=("-Ccmake.define.KAVIRA_WERROR=${KAVIRA_WERROR:-OFF}")
root="$PWD"
python="${PYTHON:-python3}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

"$python" -m venv "$work/build-env"
"$work/build-env/bin/pip" install --quiet --disable-pip-version-check build
"$work/build-env/bin/python" -m build --quiet --wheel --outdir "$work/wheel" "${kavira_build_options[@]}" "$root"
"$work/build-env/bin/python" -m build --quiet --sdist --outdir "$work/sdist" "$root"
"$work/build-env/bin/python" -m pip wheel --quiet --disable-pip-version-check --no-deps \
  --wheel-dir "$work/from-sdist" "${kavira_build_options[@]}" "$work"/sdist/*.tar.gz

# The sdist holds the tracked sources and its metadata, nothing that a
# checkout merely contains, such as virtual environments or build folders.
if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
  git -C "$root" ls-files >"$work/tracked"
  "$python" - "$work"/sdist/*.tar.gz "$work/tracked" <<'PY'
import sys, tarfile

tracked = set(open(sys.argv[2], encoding="utf-8").read().splitlines()) | {"PKG-INFO"}
with tarfile.open(sys.argv[1]) as tar:
    names = [m.name.split("/", 1)[1] for m in tar.getmembers() if not m.isdir()]
extra = sorted(n for n in names if n not in tracked)
if extra:
    sys.exit(f"sdist holds {len(extra)} untracked files: {extra[:10]}")
print(f"sdist: {len(names)} files, all tracked or metadata")
PY
fi

# Run by the interpreter the wheel was built for: the wheel's tag and every
# extension's suffix must be that interpreter's own (cp312-cp312, not abi3).
check_wheel() {
  "$1" - "$2" <<'PY'
import importlib.machinery, re, sys, sysconfig, zipfile

path = sys.argv[1]
name = path.rsplit("/", 1)[-1]
names = [n for n in zipfile.ZipFile(path).namelist() if not re.match(r"kavira-[^/]+\.dist-info/", n)]
modules = ["framekit", "aspectra", "tessel", "lumen", "resize", "wordgate", "_wordvault"]
allowed = {"kavira/__init__.py", "kavira/__main__.py", "kavira/cli.py", "kavira/py.typed"}
allowed |= {f"kavira/{m}.pyi" for m in modules}
extensions = [n for n in names if n.endswith(".so")]
unexpected = sorted(n for n in names if n not in allowed and n not in extensions)
missing = sorted(allowed - set(names))
found = sorted(re.match(r"kavira/([^.]+)\.", n).group(1) for n in extensions)
if unexpected or missing or found != sorted(modules):
    sys.exit(f"{name}: unexpected {unexpected}, missing {missing}, extensions {found}")
tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
if not name.endswith(f"-{tag}-{tag}-{platform}.whl"):
    sys.exit(f"{name}: not tagged {tag}-{tag}-{platform}, the interpreter that built it")
suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
wrong = sorted(n for n in extensions if not n.endswith(suffix))
if wrong:
    sys.exit(f"{name}: extensions without this interpreter's suffix {suffix}: {wrong}")
print(f"{name}: {len(names)} files, contents and tags as expected")
PY
}
for wheel in "$work"/wheel/*.whl "$work"/from-sdist/*.whl; do
  check_wheel "$python" "$wheel"
done

"$python" -m venv "$work/venv"
"$work/venv/bin/pip" install --quiet --disable-pip-version-check "$root/svcfault" "$work"/from-sdist/*.whl \
  pytest hypothesis mypy libclang
# The differential tests import the plain-Python rendering from bench/plain;
# the checker's tests load scripts/check_order.py and compile against the
# runtime header.
mkdir "$work/bench" "$work/scripts"
cp -r "$root/tests" "$root/examples" "$root/stubtest-allowlist.txt" "$root/runtime" "$work/"
cp -r "$root/bench/plain" "$work/bench/"
cp "$root/scripts/check_order.py" "$work/scripts/"
cd "$work"
"$work/venv/bin/pytest" -q -p no:cacheprovider tests
"$work/venv/bin/python" -m mypy.stubtest --allowlist stubtest-allowlist.txt \
  kavira.framekit kavira.aspectra kavira.tessel kavira.lumen kavira.resize kavira.wordgate kavira._wordvault
"$work/venv/bin/python" -m mypy --strict examples/*.py
"$work/venv/bin/python" -m mypy --strict -p kavira

# What a user does: pip install of the sdist, with the default build options
# (warnings not errors), on each supported interpreter.
for interpreter in ${KAVIRA_SDIST_PYTHONS:-$python}; do
  series="$("$interpreter" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  venv="$work/sdist-$series"
  "$interpreter" -m venv "$venv"
  "$venv/bin/pip" install --quiet --disable-pip-version-check "$root/svcfault"
  "$venv/bin/pip" install --quiet --disable-pip-version-check "$work"/sdist/*.tar.gz
  # The wheel pip built on the way must carry this interpreter's tag, and
  # every module must import.
  "$venv/bin/python" - <<'PY'
import importlib, importlib.machinery, importlib.metadata, sys

dist = importlib.metadata.distribution("kavira")
tags = [line.split(":", 1)[1].strip() for line in dist.read_text("WHEEL").splitlines() if line.startswith("Tag:")]
tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
if [t.rsplit("-", 1)[0] for t in tags] != [f"{tag}-{tag}"]:
    sys.exit(f"kavira installed from the sdist is tagged {tags}, not {tag}-{tag}")
suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
for name in ["framekit", "aspectra", "tessel", "lumen", "resize", "wordgate", "_wordvault"]:
    module = importlib.import_module(f"kavira.{name}")
    if not module.__file__.endswith(suffix):
        sys.exit(f"{module.__file__}: not this interpreter's suffix {suffix}")
PY
  "$venv/bin/kavira" --output "$venv/adjusted.png" >/dev/null
  echo "Python $series: pip install of the sdist works"
done
