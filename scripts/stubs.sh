#!/usr/bin/env bash
# Checks the type stubs of the extension modules against the built modules: regenerates
# them (scripts/make_stubs.py) and fails if they differ from the committed ones, runs
# mypy's stubtest on every module found, and type-checks a sample that uses the kernel's
# public surface (tests/typecheck/sample_usage.py). Uses the active virtual environment,
# else .venv (scripts/test.sh installs it, with mypy from the test extra).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${VIRTUAL_ENV:-}" ]; then
    # shellcheck disable=SC1091
    . .venv/bin/activate
fi
export MYPY_CACHE_DIR="${MYPY_CACHE_DIR:-$PWD/build/mypy-cache}"
export MYPYPATH="$PWD/src"
echo "stubs: mypy $(python -m mypy --version | cut -d' ' -f2) in ${VIRTUAL_ENV##*/}"

python scripts/make_stubs.py --check
mapfile -t modules < <(python scripts/make_stubs.py --list)
# Entries in the allowlist are exceptions stubtest cannot see through; each is explained there.
python -m mypy.stubtest --allowlist scripts/stubtest-allowlist.txt "${modules[@]}"
python -m mypy --warn-unused-ignores tests/typecheck/sample_usage.py
echo "stubs: ${#modules[@]} module(s) checked: ${modules[*]}"
