#!/usr/bin/env bash
# Builds the test-only module, the kernel and caskwell with clang++, -Werror,
# AddressSanitizer and UBSan in build/sanitize (persistent, incremental) and runs the
# modules' in-process tests against them. One build serves both checks: the code compiles
# warning-free under a second compiler, and the suites run clean under the sanitizers. The
# interpreter itself is not instrumented, so the sanitizer runtime (clang's ASan runtime,
# which holds UBSan's handlers too) is preloaded and leak detection is off. clang++ comes
# from Debian's packages; it is installed when missing (needs root, as on CI).
set -euo pipefail
cd "$(dirname "$0")/.."
. .venv/bin/activate
CLANGXX=${CLANGXX:-clang++}
. scripts/native-build.sh
require_debian_tool sanitizer-tests "$CLANGXX" clang
configure_native build/sanitize -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER="$CLANGXX" \
    -DVANTREL_WERROR=ON -DVANTREL_SANITIZE=ON
cmake --build build/sanitize
use_native_modules build/sanitize
LD_PRELOAD="$("$CLANGXX" -print-file-name=libclang_rt.asan-x86_64.so)" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    python -m pytest -q -p no:cacheprovider "$@" "${IN_PROCESS_TESTS[@]}"
