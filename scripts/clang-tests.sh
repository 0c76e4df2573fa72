#!/usr/bin/env bash
# Builds every extension module target (and the test-only module) with clang++ and
# -Wall -Wextra -Werror in build/clang (persistent, incremental), then runs the modules'
# in-process tests (those the sanitizer pass runs) against that build. clang++ comes from
# Debian's packages; it is installed when missing (needs root, as on CI).
set -euo pipefail
cd "$(dirname "$0")/.."
. .venv/bin/activate
CLANGXX=${CLANGXX:-clang++}
. scripts/native-build.sh
require_debian_tool clang-tests "$CLANGXX" clang
configure_native build/clang -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$CLANGXX" -DVANTREL_WERROR=ON
cmake --build build/clang
# Every module built here replaces the installed one in the tests (as on the sanitizer build).
use_native_modules build/clang
python -m pytest -q -p no:cacheprovider "${IN_PROCESS_TESTS[@]}"
