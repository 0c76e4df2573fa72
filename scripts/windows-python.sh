#!/usr/bin/env bash
# Runs the Windows interpreter (64-bit CPython 3.11 for Windows under wine, with the
# package as installed from its win_amd64 wheel by scripts/windows-tests.sh) with the
# given arguments, and exits with its status. Standard input, output and error work from
# Linux callers: terminals, pipes and files alike.
#
#   scripts/windows-python.sh -c "import sys; print(sys.platform)"
#   scripts/windows-python.sh -m vantrel_master.devtools.launcher --port 8765 --workbook Book1
#
# Absolute POSIX paths work as arguments (wine maps / to Z:\).
set -euo pipefail
# shellcheck source=scripts/windows-env.sh
. "$(dirname "$0")/windows-env.sh"
win_python "$@"
