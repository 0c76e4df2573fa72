#!/usr/bin/env bash
# Builds every extension module target (and the test-only module) with clang++ and
# -Wall -Wextra -Werror in build/clang (persistent, incremental), then runs the modules'
# in-process tests (those the sanitizer pass runs) against that build. clang++ comes from
# Debian's packages; it is installed when missing (needs root, as on CI).
set -euo pipefail
cd "$(dirname "$0")/.."
. .venv/bin/activate
CLANGXX=${CLANGXX:-clang++}
if ! command -v "$CLANGXX" >/dev/null 2>&1; then
    if [ "$(id -u)" != "0" ]; then
        echo "clang-tests: $CLANGXX not found (install Debian's clang package)" >&2
        exit 1
    fi
    echo "clang-tests: installing clang from Debian's packages" >&2
    apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
fi
PYBIND11_DIR=$(python -c "import pybind11; print(pybind11.get_cmake_dir())")
cmake -S . -B build/clang -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$CLANGXX" \
    -DVANTREL_WERROR=ON -DVANTREL_BUILD_TESTS=ON -DVANTREL_INSTALL=OFF -Dpybind11_DIR="$PYBIND11_DIR" \
    -DPython_EXECUTABLE="$(command -v python)" >/dev/null
cmake --build build/clang
# Every module built here replaces the installed one in the tests (as on the sanitizer build).
MODULE=$(ls build/clang/_pyco_test*.so)
KERNEL=$(ls build/clang/kernel*.so)
export PYCO_TEST_MODULE="$PWD/$MODULE" VANTREL_KERNEL_MODULE="$PWD/$KERNEL"
TESTS=(tests/pyco tests/kernel tests/transport tests/execution)
if ls build/clang/caskwell*.so >/dev/null 2>&1; then
    CASKWELL=$(ls build/clang/caskwell*.so)
    export VANTREL_CASKWELL_MODULE="$PWD/$CASKWELL"
fi
for extra in tests/invocation tests/ide tests/caskwell; do
    if [ -d "$extra" ]; then TESTS+=("$extra"); fi
done
python -m pytest -q -p no:cacheprovider "${TESTS[@]}"
