"""Counting the C++ exceptions a process throws (--count-cxx-throws).

A small shared library, compiled with g++ at run time and put in front of the
kernel process with LD_PRELOAD, wraps ``__cxa_throw`` and ``__cxa_rethrow``: each
throw appends one line with the thrown type's mangled name (``rethrow`` for a
rethrow) to the file named by BENCH_THROW_LOG (O_APPEND, one write per line), then
hands over to the real function. The benchmark notes the file size before and
after each batch of requests, so the lines in between are the throws of that batch.
"""

from __future__ import annotations

import collections
import shutil
import subprocess
from pathlib import Path
from typing import Dict, Iterable

SHIM_SOURCE = r"""
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <typeinfo>

namespace {
int log_fd() {
    static int fd = [] {
        const char* path = getenv("BENCH_THROW_LOG");
        return path ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : -1;
    }();
    return fd;
}
void note(const char* name) {
    int fd = log_fd();
    if (fd < 0) return;
    char line[512];
    size_t n = strnlen(name, sizeof line - 1);
    memcpy(line, name, n);
    line[n] = '\n';
    ssize_t ignored = write(fd, line, n + 1);
    (void)ignored;
}
}  // namespace

extern "C" {
using throw_fn = void (*)(void*, std::type_info*, void (*)(void*));
using rethrow_fn = void (*)();

[[noreturn]] void __cxa_throw(void* object, std::type_info* type, void (*destroy)(void*)) {
    static throw_fn real = reinterpret_cast<throw_fn>(dlsym(RTLD_NEXT, "__cxa_throw"));
    note(type ? type->name() : "?");
    real(object, type, destroy);
    __builtin_unreachable();
}

[[noreturn]] void __cxa_rethrow() {
    static rethrow_fn real = reinterpret_cast<rethrow_fn>(dlsym(RTLD_NEXT, "__cxa_rethrow"));
    note("rethrow");
    real();
    __builtin_unreachable();
}
}
"""


def build_shim(directory: Path) -> Path:
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        raise SystemExit("--count-cxx-throws needs g++ to build its LD_PRELOAD shim")
    source = directory / "throwcount.cpp"
    library = directory / "libthrowcount.so"
    source.write_text(SHIM_SOURCE)
    subprocess.run([compiler, "-O2", "-shared", "-fPIC", "-o", str(library), str(source), "-ldl"],
                   check=True, capture_output=True, text=True)
    return library


class ThrowLog:
    """Reads the lines a process appended to its throw log since the last mark."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.offset = 0

    def mark(self) -> None:
        self.offset = self.path.stat().st_size if self.path.exists() else 0

    def since_mark(self) -> collections.Counter:
        if not self.path.exists():
            return collections.Counter()
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            data = f.read()
        return collections.Counter(line.decode("ascii", "replace") for line in data.splitlines() if line)


def demangle(names: Iterable[str]) -> Dict[str, str]:
    names = [n for n in set(names) if n != "rethrow"]
    result = {"rethrow": "rethrow (throw;)"}
    if not names or shutil.which("c++filt") is None:
        return {**{n: n for n in names}, **result}
    out = subprocess.run(["c++filt", "-t"], input="\n".join(names) + "\n", capture_output=True, text=True).stdout
    return {**dict(zip(names, out.splitlines())), **result}
