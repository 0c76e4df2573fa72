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
. scripts/native-build.sh
configure_native build/clang -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$CLANGXX" -DVANTREL_WERROR=ON
cmake --build build/clang
# Every module built here replaces the installed one in the tests (as on the sanitizer build).
use_native_modules build/clang
python -m pytest -q -p no:cacheprovider "${IN_PROCESS_TESTS[@]}"
