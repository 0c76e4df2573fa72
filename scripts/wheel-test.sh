#!/usr/bin/env bash
# Tests the package as users install it: builds a wheel with `pip wheel .` (an isolated
# build in a scratch build directory), checks what the wheel holds (every extension module
# with its stub, py.typed, no test-only module), installs it into a fresh virtual
# environment that sees nothing of the source tree, imports every extension module from
# there, runs a short piped session through the installed `vantrel-console` command, and
# type-checks the typing sample against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PYTHON=${PYTHON:-python3}
if [ -z "${VIRTUAL_ENV:-}" ]; then
    # shellcheck disable=SC1091
    . .venv/bin/activate
fi
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-wheel.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
fail() { echo "wheel-test: $*" >&2; exit 1; }

echo "wheel-test: building the wheel"
python -m pip wheel . -q --no-deps -w "$WORK/dist" -Cbuild-dir="$WORK/build"
WHEEL=$(ls "$WORK"/dist/vantrel_master-*.whl)
echo "wheel-test: built $(basename "$WHEEL")"

# The wheel's content (the same check as the Windows wheel's); prints the extension modules it holds.
python scripts/check_wheel.py "$WHEEL" > "$WORK/modules"
mapfile -t MODULES < "$WORK/modules"
echo "wheel-test: extension modules in the wheel: ${MODULES[*]}"

echo "wheel-test: installing it into a fresh virtual environment"
"$PYTHON" -m venv "$WORK/venv"
VPY="$WORK/venv/bin/python"
"$VPY" -m pip install -q --disable-pip-version-check "$WHEEL"
mkdir "$WORK/home"
cd "$WORK/home"
# nothing of the source tree on the path: isolated mode, no PYTHONPATH, started elsewhere
env -u PYTHONPATH "$VPY" -I - "$ROOT" "${MODULES[@]}" <<'PY'
import importlib, importlib.metadata as md, sys
from packaging.requirements import Requirement

root, modules = sys.argv[1], sys.argv[2:]
for name in ["vantrel_master", *modules]:
    module = importlib.import_module(name)
    where = module.__file__
    if where.startswith(root) or not where.startswith(sys.prefix):
        sys.exit(f"wheel-test: {name} was imported from {where}, not from the installed package")
    print(f"wheel-test: imported {name} from {where[len(sys.prefix) + 1:]}")
try:
    importlib.import_module("vantrel_master._pyco_test")
except ImportError:
    pass
else:
    sys.exit("wheel-test: the test-only module vantrel_master._pyco_test is installed")
deps = [Requirement(r) for r in md.requires("vantrel_master")]
print("wheel-test: runs with " + ", ".join(f"{r.name} {md.version(r.name)}" for r in deps if r.marker is None))
PY

echo "wheel-test: a piped session through the installed vantrel-console"
printf '%s\n' 'x = 6 * 7' 'print("hello from the " + "kernel")' 'x' ':quit' > session.txt
status=0
env -u PYTHONPATH PATH="$WORK/venv/bin:$PATH" timeout 120 vantrel-console --log "$WORK/kernel.log" \
    < session.txt > console.out 2>&1 || status=$?
outs=$(grep -c '^Out:' console.out || true)
if [ "$status" != 0 ] || [ "$outs" != 1 ] || ! grep -qx 'Out: 42' console.out ||
        ! grep -qx 'hello from the kernel' console.out; then
    cat console.out >&2
    [ -f "$WORK/kernel.log" ] && tail -20 "$WORK/kernel.log" >&2
    fail "the console session did not go as expected (exit $status, $outs Out: line(s))"
fi
echo "wheel-test: console session: exit 0, one Out: line ($(grep '^Out:' console.out))"

echo "wheel-test: type-checking the typing sample against the installed package"
MYPY_REQ=$(cd "$ROOT" && python -c 'import tomllib; print(next(r for r in tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"] if r.startswith("mypy")))')
"$VPY" -m pip install -q --disable-pip-version-check "$MYPY_REQ"
cp "$ROOT/tests/typecheck/sample_usage.py" .
env -u PYTHONPATH -u MYPYPATH MYPY_CACHE_DIR="$WORK/mypy-cache" "$VPY" -m mypy --warn-unused-ignores sample_usage.py
echo "wheel-test: passed"
