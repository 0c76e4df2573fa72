#!/usr/bin/env bash
# Installs everything the project needs into .venv (created when missing), builds the
# extension modules (incrementally, in build/) and runs the whole test suite, then the
# packaging legs (stubs, the lowest declared versions, the wheel as users install it), and
# the in-process tests again on a clang++ -Werror build with AddressSanitizer and UBSan,
# and the Windows leg: every module built for 64-bit Windows (MinGW-w64), installed from
# its win_amd64 wheel into the official Windows CPython 3.11 (under wine) and the whole
# suite run there. The Windows leg runs alongside the others (under wine its suite mostly
# waits for processes to start, so the two share the machine's cores); its output is shown
# when it has ended, after the others.
# Extra arguments go to pytest for the main run (e.g. scripts/test.sh tests/pyco -x).
# SKIP_STUBS=1, SKIP_MIN_VERSIONS=1, SKIP_WHEEL=1, SKIP_SANITIZERS=1 and SKIP_WINDOWS=1
# skip a leg.
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

# `leg NAME COMMAND...` runs one leg and says how long it took.
leg() {
    local name=$1 start=$SECONDS
    shift
    "$@"
    echo "test.sh: $name took $((SECONDS - start)) s"
}

windows_pid=
if [ "${SKIP_WINDOWS:-0}" != "1" ]; then
    # Its Debian tools first, so that no two installs from Debian run at once.
    scripts/windows-tests.sh --tools
    mkdir -p build
    windows_log=build/windows-leg.log
    windows_start=$SECONDS
    # A session of its own, so that the whole leg (wine's processes too) can be stopped.
    setsid scripts/windows-tests.sh >"$windows_log" 2>&1 &
    windows_pid=$!
    trap '[ -n "$windows_pid" ] && kill -- -"$windows_pid" 2>/dev/null || true' EXIT
fi

leg pytest python -m pytest -q -p no:cacheprovider "$@"

if [ "${SKIP_STUBS:-0}" != "1" ]; then
    leg stubs scripts/stubs.sh
fi
if [ "${SKIP_MIN_VERSIONS:-0}" != "1" ]; then
    leg min-versions scripts/min-versions-tests.sh
fi
if [ "${SKIP_WHEEL:-0}" != "1" ]; then
    leg wheel scripts/wheel-test.sh
fi

if [ "${SKIP_SANITIZERS:-0}" != "1" ]; then
    leg sanitizers scripts/sanitizer-tests.sh
fi

if [ -n "$windows_pid" ]; then
    status=0
    wait "$windows_pid" || status=$?
    windows_pid=
    cat "$windows_log"
    if [ "$status" != 0 ]; then
        echo "test.sh: the windows leg failed (status $status)" >&2
        exit "$status"
    fi
    echo "test.sh: windows took $((SECONDS - windows_start)) s (alongside the other legs)"
fi
