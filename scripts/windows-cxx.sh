#!/usr/bin/env bash
# windows-cxx.sh COMPILER FLAGS_FILE SOURCE OBJECT [OPTION...]: one compile of the Windows
# build (scripts/windows-tests.sh runs it from ninja); the OPTIONs go before the flags (the
# precompiled header's folder is searched before the sources'). Fails on any error or warning (the flags
# have -Werror), and on a conversion to `long` from a wider type: harmless where `long` has
# 64 bits, it cuts the value on Windows, which is LLP64 (`long` has 32 bits there; a
# Py_ssize_t, size_t or int64_t kept in a `long` or passed to PyLong_FromLong). The other
# conversion warnings that -Wconversion brings are not errors and are not shown.
set -uo pipefail
cxx=$1 flags=$2 source=$3 object=$4
shift 4
log=$(LC_ALL=C "$cxx" "$@" "@$flags" -MMD -MF "$object.d" -c "$source" -o "$object" 2>&1)
status=$?
narrowing=" to ('(long int|long unsigned int)'|'[^']*' \{aka '(long int|long unsigned int)'\}) may change value"
if grep -E "$narrowing" <<<"$log" >/dev/null; then
    log+=$'\n'"windows-cxx: $source: a conversion to long above cuts 64-bit values on Windows (long has 32 bits there)"
    status=1
fi
if [ "$status" != 0 ]; then
    printf '%s\n' "$log" >&2
    rm -f "$object"
fi
exit "$status"
