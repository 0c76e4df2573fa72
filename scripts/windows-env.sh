# Sourced by scripts/windows-tests.sh and scripts/windows-python.sh: where the Windows
# interpreter and its wine prefix live, and how a Linux caller runs that interpreter.
#
# The interpreter is the official 64-bit CPython 3.11 for Windows (the embeddable
# distribution, built with MSVC), run under wine. It is set up by scripts/windows-tests.sh
# in build/windows/python as a regular installation: no ._pth file, so PYTHONPATH, the
# script's folder on sys.path and Lib\site-packages work as on any Windows install, and
# pip installs into it. Under wine Z:\ is /, so absolute POSIX paths name the same files.

WIN_ROOT=${WIN_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
WIN_DIR=$WIN_ROOT/build/windows
WIN_PYTHON_DIR=$WIN_DIR/python
WIN_PYTHON_EXE=$WIN_PYTHON_DIR/python.exe
export WINEPREFIX=${WINEPREFIX:-$WIN_DIR/wine}
# wine's own diagnostics (fixme lines, missing DLL probes) are not the program's output
export WINEDEBUG=${WINEDEBUG:--all}
# no Gecko or Mono installer dialogs when the prefix is made
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# The Windows interpreter keeps its bytecode caches (pytest's rewritten test modules
# included) apart from the Linux interpreter's: the two run the same files at once, and
# each would take the other's caches, which name the files by the other system's paths.
WIN_PYCACHE=$WIN_DIR/pycache

# Debian's wine package keeps the 64-bit loader in wine's library folder, not on PATH.
win_find_wine() {
    local candidate
    for candidate in "${WINE:-}" /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null)" "$(command -v wine 2>/dev/null)"; do
        if [ -n "$candidate" ] && [ -x "$candidate" ]; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

# win_python ARG...: runs the Windows interpreter with ARG..., with this shell's standard
# streams, and returns its exit status. Wine's CPython cannot start when a standard handle
# is a regular file ("init_sys_streams: can't initialize sys standard streams ... Invalid
# handle"), while pipes, terminals and /dev/null work: a stream that is a regular file goes
# through a pipe (cat) instead.
win_python() {
    local wine status
    wine=$(win_find_wine) || { echo "windows-python: wine is not installed" >&2; return 127; }
    if [ ! -x "$WIN_PYTHON_EXE" ] && [ ! -f "$WIN_PYTHON_EXE" ]; then
        echo "windows-python: no Windows interpreter in $WIN_PYTHON_DIR (scripts/windows-tests.sh sets it up)" >&2
        return 127
    fi
    local in_file=0 out_file=0 err_file=0
    [ -f /dev/stdin ] && in_file=1
    [ -f /dev/stdout ] && out_file=1
    [ -f /dev/stderr ] && err_file=1
    if [ "$in_file$out_file$err_file" = "000" ]; then
        PYTHONPYCACHEPREFIX=$WIN_PYCACHE "$wine" "$WIN_PYTHON_EXE" "$@"
        return
    fi
    # Each regular file is put behind a cat of its own; the interpreter's status is kept.
    local pids=() fifo_dir
    fifo_dir=$(mktemp -d "${TMPDIR:-/tmp}/winpy.XXXXXX")
    local in=/dev/stdin out=/dev/stdout err=/dev/stderr
    if [ "$in_file" = 1 ]; then
        mkfifo "$fifo_dir/in"
        cat >"$fifo_dir/in" &
        pids+=($!)
        in=$fifo_dir/in
    fi
    if [ "$out_file" = 1 ]; then
        mkfifo "$fifo_dir/out"
        cat "$fifo_dir/out" &
        pids+=($!)
        out=$fifo_dir/out
    fi
    if [ "$err_file" = 1 ]; then
        mkfifo "$fifo_dir/err"
        cat "$fifo_dir/err" >&2 &
        pids+=($!)
        err=$fifo_dir/err
    fi
    status=0
    PYTHONPYCACHEPREFIX=$WIN_PYCACHE "$wine" "$WIN_PYTHON_EXE" "$@" <"$in" >"$out" 2>"$err" || status=$?
    # The readers end when the interpreter closes its side; the stdin writer may still
    # wait for input nobody reads.
    if [ "$in_file" = 1 ]; then
        kill "${pids[0]}" 2>/dev/null || true
    fi
    wait "${pids[@]}" 2>/dev/null || true
    rm -rf "$fifo_dir"
    return "$status"
}
