#!/usr/bin/env bash
# Builds the test-only module, the kernel and caskwell with AddressSanitizer and UBSan and
# runs the support library's, the kernel's and caskwell's in-process tests against them
# (the interpreter
# itself is not instrumented, so the sanitizer runtimes are preloaded and leak detection
# is off).
set -euo pipefail
cd "$(dirname "$0")/.."
. .venv/bin/activate
. scripts/native-build.sh
configure_native build/sanitize -DCMAKE_BUILD_TYPE=Debug -DVANTREL_SANITIZE=ON
cmake --build build/sanitize --target pyco_testmod kernel_module caskwell_module
use_native_modules build/sanitize
CXX=${CXX:-g++}
PRELOAD="$($CXX -print-file-name=libasan.so):$($CXX -print-file-name=libubsan.so)"
LD_PRELOAD="$PRELOAD" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    python -m pytest -q -p no:cacheprovider "${IN_PROCESS_TESTS[@]}"
