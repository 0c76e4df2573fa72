#!/usr/bin/env bash
# Starts the interactive console: a development Business Layer on 127.0.0.1, a kernel
# process connected to it, and a prompt (python -m vantrel_master.devtools.console).
# On first use (no .venv, or the kernel does not import from it), and whenever
# VANTREL_INSTALL=1 (e.g. after changing C++ code), it first installs the project into
# .venv exactly as scripts/test.sh does, building the extension modules, without running
# the tests. Arguments go to the console (scripts/console.sh --tls --workbook Book1);
# input may be piped (scripts/console.sh < session.txt).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
PYTHON=${PYTHON:-python3}

if [ ! -x "$ROOT/.venv/bin/python" ]; then
    "$PYTHON" -m venv "$ROOT/.venv"
fi
# shellcheck disable=SC1091
. "$ROOT/.venv/bin/activate"
if [ "${VANTREL_INSTALL:-0}" = "1" ] || ! python -c "import vantrel_master.python_server.kernel" >/dev/null 2>&1; then
    (
        cd "$ROOT"
        python -m pip install -q --disable-pip-version-check --upgrade pip
        python -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "pybind11>=3,<4" "ninja>=1.11" "cmake>=3.20"
        python -m pip install -q --disable-pip-version-check --no-build-isolation \
            -Cbuild-dir=build/release -Ccmake.define.VANTREL_BUILD_TESTS=ON -e ".[test]"
    ) >&2
fi
# runs in the caller's directory, so that :load takes paths relative to it
exec python -m vantrel_master.devtools.console "$@"
