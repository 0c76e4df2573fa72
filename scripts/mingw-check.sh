#!/usr/bin/env bash
# Compiles every translation unit of the extension modules (native/pyco, native/kernel,
# native/caskwell) and of the test-only module (native/pyco_test) for 64-bit Windows with
# Debian's MinGW-w64 cross compiler (g++, posix thread model), with -std=c++20 and
# -Wall -Wextra -Wpedantic -Werror (see the flags below), as -fsyntax-only: there is no
# Windows Python import library here to link against, and what a Windows build breaks on
# is the code, not the link. So this keeps the modules compiling where the add-in's users
# run them: it fails on POSIX-only headers and calls, GNU extensions, and code that takes
# `long` for 64 bits (Windows is LLP64: `long` has 32 bits, `long long`, pointers and
# Py_ssize_t 64).
# The compiler is installed from Debian's packages when missing (needs root, as on CI).
# MINGW_JOBS sets how many files are compiled at once (default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."
. .venv/bin/activate
MINGW_CXX=${MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
. scripts/native-build.sh
require_debian_tool mingw-check "$MINGW_CXX" g++-mingw-w64-x86-64-posix

# The Python headers as a Windows build of CPython 3.11 presents them. The installed headers
# are the same on every platform except pyconfig.h, which describes the platform: the Linux
# one says `long` has 8 bytes, wchar_t 4, and that <unistd.h> and <pthread.h> come with
# Python.h, none of which holds on Windows. Python.h includes "pyconfig.h" from its own
# directory first, so an include path ahead of it cannot replace it: the headers are copied
# into build/mingw/python and the copy gets a pyconfig.h of a Windows x64 CPython (the type
# sizes of LLP64, MS_WINDOWS, Windows threads, the interpreter in a DLL), reduced to the
# macros the public headers read.
out=build/mingw
rm -rf "$out/python"
mkdir -p "$out"
# (-L: a copy of every file, never a link back to the installed headers.)
cp -rL "$(python -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" "$out/python"
rm -f "$out/python/pyconfig.h"
cat >"$out/python/pyconfig.h" <<'EOF'
/* CPython 3.11 on 64-bit Windows, as an extension module compiled with MinGW-w64 sees it. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
/* The interpreter is a DLL: its API is imported, PyInit_* is exported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64 */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define ALIGNOF_LONG 4
#define ALIGNOF_SIZE_T 8

#define HAVE_STDDEF_H 1
#define HAVE_WCHAR_H 1
#define HAVE_LONG_LONG 1
#define PY_LONG_LONG long long
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1

#endif /* Py_CONFIG_H */
EOF

# Headers Windows does not have (MSVC has none of them; MinGW-w64 carries some, so the
# compiler alone would let them through): none may be included by the modules' own code.
posix_only='unistd\.h|pthread\.h|sched\.h|semaphore\.h|dirent\.h|dlfcn\.h|strings\.h|libgen\.h|poll\.h|pwd\.h|grp\.h|termios\.h|netdb\.h|spawn\.h|syslog\.h|execinfo\.h|sys/(time|times|socket|select|mman|wait|resource|ioctl|un|uio|utsname|syscall|param|poll|epoll|eventfd|prctl)\.h|(netinet|arpa)/[a-z_]+\.h'
sources=(native/pyco/*.cpp native/kernel/*.cpp native/caskwell/*.cpp native/pyco_test/*.cpp)
status=0
if grep -nE "^[[:space:]]*#[[:space:]]*include[[:space:]]*[<\"]($posix_only)[>\"]" native/*/*.cpp native/*/*.hpp; then
    echo "mingw-check: POSIX-only headers included above (Windows has none of them)" >&2
    status=1
fi

# The flags: CMake's warnings for g++, errors; -Wpedantic for the GNU extensions MSVC does
# not have (variable-length arrays and the like). The Python and pybind11 headers are system
# headers, as in the CMake build (the include directories of imported targets), so the
# warnings are the modules' own. -Wconversion is on for one kind of warning only (filtered
# below): a conversion to `long` from a wider type, which is harmless where `long` has
# 64 bits and cuts the value on Windows (a Py_ssize_t, size_t or int64_t kept in a `long`
# or passed to PyLong_FromLong); the other conversion warnings are not this leg's business.
flags=(-std=c++20 -Wall -Wextra -Wpedantic -Wno-unused-parameter -Wno-missing-field-initializers -Werror
    -Wconversion -Wno-sign-conversion -Wno-error=conversion -fsyntax-only
    -Inative -isystem "$out/python" -isystem "$(python -c 'import pybind11; print(pybind11.get_include())')")
# A response file carries them to the parallel compiles.
MINGW_FLAGS=$out/flags.rsp
printf '"%s"\n' "${flags[@]}" >"$MINGW_FLAGS"
MINGW_LONG_NARROWING=" to ('(long int|long unsigned int)'|'[^']*' \{aka '(long int|long unsigned int)'\}) may change value"
# check_file FILE: compiles it; fails on an error (warnings included) or a conversion to
# `long` that may cut the value, and then shows what the compiler said.
check_file() {
    local log rc=0
    log=$(LC_ALL=C "$MINGW_CXX" "@$MINGW_FLAGS" "$1" 2>&1) || rc=1
    if grep -E "$MINGW_LONG_NARROWING" <<<"$log" >/dev/null; then
        log+=$'\n'"mingw-check: $1: a conversion to long above cuts 64-bit values on Windows (long has 32 bits there)"
        rc=1
    fi
    if [ "$rc" != 0 ]; then
        printf '%s\n' "$log" >&2
    fi
    return "$rc"
}
export MINGW_CXX MINGW_FLAGS MINGW_LONG_NARROWING
export -f check_file
printf '%s\n' "${sources[@]}" | xargs -P "${MINGW_JOBS:-$(nproc)}" -n 1 bash -c 'check_file "$1"' mingw-check || status=1
if [ "$status" != 0 ]; then
    echo "mingw-check: the modules do not compile for Windows" >&2
    exit 1
fi
echo "mingw-check: ${#sources[@]} files compile for 64-bit Windows"
