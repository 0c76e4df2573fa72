#!/usr/bin/env bash
# Builds the test-only module, the kernel and caskwell with AddressSanitizer and UBSan and
# runs the support library's, the kernel's and caskwell's in-process tests against them
# (the interpreter
# itself is not instrumented, so the sanitizer runtimes are preloaded and leak detection
# is off).
set -euo pipefail
cd "$(dirname "$0")/.."
. .venv/bin/activate
PYBIND11_DIR=$(python -c "import pybind11; print(pybind11.get_cmake_dir())")
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTREL_SANITIZE=ON \
    -DVANTREL_BUILD_TESTS=ON -DVANTREL_INSTALL=OFF -Dpybind11_DIR="$PYBIND11_DIR" \
    -DPython_EXECUTABLE="$(command -v python)" >/dev/null
cmake --build build/sanitize --target pyco_testmod kernel_module caskwell_module
MODULE=$(ls build/sanitize/_pyco_test*.so)
KERNEL=$(ls build/sanitize/kernel*.so)
CASKWELL=$(ls build/sanitize/caskwell*.so)
CXX=${CXX:-g++}
PRELOAD="$($CXX -print-file-name=libasan.so):$($CXX -print-file-name=libubsan.so)"
LD_PRELOAD="$PRELOAD" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    PYCO_TEST_MODULE="$PWD/$MODULE" VANTREL_KERNEL_MODULE="$PWD/$KERNEL" \
    VANTREL_CASKWELL_MODULE="$PWD/$CASKWELL" \
    python -m pytest -q -p no:cacheprovider tests/pyco tests/kernel tests/transport tests/execution \
    tests/invocation tests/ide tests/caskwell
