#!/usr/bin/env bash
# Installs everything the project needs into .venv (created when missing), builds the
# extension modules (incrementally, in build/) and runs the whole test suite, then the
# in-process tests again on an AddressSanitizer/UBSan build (SKIP_SANITIZERS=1 skips it)
# and on a clang++ -Werror build (SKIP_CLANG=1 skips it).
# Extra arguments go to pytest for the main run (e.g. scripts/test.sh tests/pyco -x).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

if [ ! -x .venv/bin/python ]; then
    "$PYTHON" -m venv .venv
fi
# shellcheck disable=SC1091
. .venv/bin/activate
python -m pip install -q --disable-pip-version-check --upgrade pip
python -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "pybind11>=3,<4" "ninja>=1.11" "cmake>=3.20"
python -m pip install -q --disable-pip-version-check --no-build-isolation \
    -Cbuild-dir=build/release -Ccmake.define.VANTREL_BUILD_TESTS=ON -e ".[test]"

python -m pytest -q -p no:cacheprovider "$@"

if [ "${SKIP_SANITIZERS:-0}" != "1" ]; then
    scripts/sanitizer-tests.sh
fi

if [ "${SKIP_CLANG:-0}" != "1" ]; then
    scripts/clang-tests.sh
fi
