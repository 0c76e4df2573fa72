"""A trivial await through the pyco bridge against the same native Python coroutine.

Each pair runs the same loop body twice, once with a pyco coroutine (from the
test-only module ``vantrel_master._pyco_test``) and once with the equivalent
``async def``:

    pyco    await_value(aw)        C++: co_return co_await pyco::await(aw);
    native  native_await_value(aw) async def ...: return await aw

Variants (every iteration creates the coroutines it awaits):

    hand-return     return_value(1) vs async def returning its argument, driven by
                    coro.send(None) until StopIteration (creation and finish only)
    hand-await      outer(done()) driven by coro.send(None); the inner native
                    coroutine completes at once (no suspension)
    hand-await-own  as hand-await, but pyco awaits pyco's no_await() (all C++)
    task-return     `await return_value(1)` in a loop inside one asyncio task
    task-await      `await outer(done())` in a loop inside one asyncio task
    task-await-own  as task-await, pyco awaiting no_await()
    loop-sleep0     `await outer(asyncio.sleep(0))` in a loop inside one task: the
                    inner coroutine suspends once, so every iteration passes
                    through the event loop
    hand-await-held, loop-sleep0-held
                    as hand-await and loop-sleep0 with hold_await(None, aw), whose
                    C++ parameters are py::handle: the promise holds their objects
                    where the garbage collector sees them (the kernel's methods take
                    self this way)

Timing: A (pyco) and B (native) samples alternate, A, B, A, B, ... for several
rounds after a warm-up of each; every sample times a fixed number of iterations
(inside the task for the asyncio variants, so task creation is not counted) and is
reported per iteration. The clock is time.perf_counter_ns, or with --clock thread
time.thread_time_ns (CPU time of this thread: steadier on a busy machine). The
garbage collector is off while measuring, as timeit does (--keep-gc leaves it on;
both kinds of coroutine are GC-tracked). Reported: min and median ns per
iteration of each side and the pyco/native ratios (goal <= 1.0). On a shared or
noisy machine trust the minimum and the callgrind counts over the median.

Callgrind (--callgrind): each variant and side runs in its own
``valgrind --tool=callgrind`` subprocess, twice: both runs do the same start-up and
the same warm-up loop, then one runs N measured iterations and the other 0. The
difference of the two programme totals (instructions executed, Ir) divided by N is
the steady-state cost of one iteration; start-up, imports, warm-up and event-loop
creation cancel out, and PYTHONHASHSEED is fixed, so the counts repeat to within
a fraction of a per cent. (Toggling collection on a marker function is not usable
here: the loop is Python code, which callgrind only sees as
_PyEval_EvalFrameDefault.) With --keep the files stay in /tmp/pycobench/ as
callgrind.VARIANT.SIDE.N.out. --profile K also lists, per variant and side, the K
functions with the most self instructions per iteration (callgrind_annotate of the
N run minus the 0 run); for source lines build the module with -g and run
callgrind_annotate on the kept files (--valgrind-arg=--dump-instr=yes helps).

The module under test is vantrel_master._pyco_test: the file named by
PYCO_TEST_MODULE if set, else the installed package / PYTHONPATH, else this
checkout's src/vantrel_master or build/<dir> (sanitizer builds are skipped).

Usage:
    PYTHONPATH=src python bench/bench_await.py [--rounds 15] [--scale 1.0] [--clock thread] [--json]
    python bench/bench_await.py --callgrind [--iterations 20000] [--jobs 2] [--keep] [--profile 20] [--json]
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import importlib.machinery
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

TMP_DIR = Path("/tmp/pycobench")
# The clock the loop bodies read: wall time by default, or this thread's CPU time
# (--clock thread), which leaves out the time the process spends descheduled on a
# busy machine.
CLOCKS = {"wall": time.perf_counter_ns, "thread": time.thread_time_ns}
CLOCK = [time.perf_counter_ns]
REPO = Path(__file__).resolve().parent.parent


# ---------------------------------------------------------------------------
# The module under test


def _has_testmod(d):
    return any((d / ("_pyco_test" + suffix)).is_file() for suffix in importlib.machinery.EXTENSION_SUFFIXES)


def _build_dirs():
    """Build directories of this checkout holding a _pyco_test (not a sanitizer build)."""
    build = REPO / "build"
    if build.is_dir():
        for d in sorted(build.iterdir()):
            cache = d / "CMakeCache.txt"
            if cache.is_file() and "VANTREL_SANITIZE:BOOL=ON" in cache.read_text(errors="replace"):
                continue  # needs the sanitizer runtime preloaded
            if _has_testmod(d):
                yield d


def load_testmod():
    """Imports vantrel_master._pyco_test.

    PYCO_TEST_MODULE (a path to the .so, as for the tests) comes first; then the
    installed package or PYTHONPATH; then this checkout's src/ and build directories.
    """
    try:
        import vantrel_master
    except ImportError:
        sys.path.insert(0, str(REPO / "src"))
        import vantrel_master
    explicit = os.environ.get("PYCO_TEST_MODULE")
    if explicit:
        vantrel_master.__path__.insert(0, str(Path(explicit).resolve().parent))
    try:
        from vantrel_master import _pyco_test

        return _pyco_test
    except ImportError:
        pass
    # The normal install leaves the test-only module out unless VANTREL_BUILD_TESTS=ON.
    for d in [REPO / "src" / "vantrel_master", *_build_dirs()]:
        if _has_testmod(d) and str(d) not in vantrel_master.__path__:
            vantrel_master.__path__.append(str(d))
            break
    try:
        from vantrel_master import _pyco_test
    except ImportError as exc:
        raise SystemExit(
            "bench_await: vantrel_master._pyco_test not found; build it with\n"
            "  cmake --build build/dev && cp build/dev/_pyco_test*.so src/vantrel_master/\n"
            f"({exc})"
        ) from None
    return _pyco_test


M = load_testmod()


# ---------------------------------------------------------------------------
# The native side


async def native_await_value(aw):
    return await aw


async def native_hold_await(owner, aw):
    return await aw


async def native_return_value(v):
    return v


async def done():
    return 1


# ---------------------------------------------------------------------------
# Loop bodies. Each factory returns run(n) -> elapsed ns for n iterations; the pyco
# and native sides get byte-for-byte the same body, only the callables differ.

_loop = None


def event_loop():
    global _loop
    if _loop is None:
        _loop = asyncio.new_event_loop()
    return _loop


def hand_call1(fn, arg):
    perf = CLOCK[0]

    def run(n):
        t0 = perf()
        for _ in range(n):
            c = fn(arg)
            try:
                c.send(None)
            except StopIteration:
                pass
        return perf() - t0

    return run


def hand_await(outer, inner):
    perf = CLOCK[0]

    def run(n):
        t0 = perf()
        for _ in range(n):
            c = outer(inner())
            try:
                c.send(None)
            except StopIteration:
                pass
        return perf() - t0

    return run


def hand_await_held(outer, inner):
    perf = CLOCK[0]

    def run(n):
        t0 = perf()
        for _ in range(n):
            c = outer(None, inner())
            try:
                c.send(None)
            except StopIteration:
                pass
        return perf() - t0

    return run


def task_sleep0_held(outer):
    perf = CLOCK[0]
    sleep = asyncio.sleep

    async def body(n):
        t0 = perf()
        for _ in range(n):
            await outer(None, sleep(0))
        return perf() - t0

    return lambda n: event_loop().run_until_complete(body(n))


def task_call1(fn, arg):
    perf = CLOCK[0]

    async def body(n):
        t0 = perf()
        for _ in range(n):
            await fn(arg)
        return perf() - t0

    return lambda n: event_loop().run_until_complete(body(n))


def task_await(outer, inner):
    perf = CLOCK[0]

    async def body(n):
        t0 = perf()
        for _ in range(n):
            await outer(inner())
        return perf() - t0

    return lambda n: event_loop().run_until_complete(body(n))


def task_sleep0(outer):
    perf = CLOCK[0]
    sleep = asyncio.sleep

    async def body(n):
        t0 = perf()
        for _ in range(n):
            await outer(sleep(0))
        return perf() - t0

    return lambda n: event_loop().run_until_complete(body(n))


# name -> (description, iterations per timed sample, pyco run factory, native run factory)
VARIANTS = {
    "hand-return": (
        "no suspension, send(None) by hand: return_value(1)",
        100_000,
        lambda: hand_call1(M.return_value, 1),
        lambda: hand_call1(native_return_value, 1),
    ),
    "hand-await": (
        "no suspension, send(None) by hand: await_value(done())",
        50_000,
        lambda: hand_await(M.await_value, done),
        lambda: hand_await(native_await_value, done),
    ),
    "hand-await-own": (
        "no suspension, send(None) by hand: pyco await_value(no_await()) / native await of done()",
        50_000,
        lambda: hand_await(M.await_value, M.no_await),
        lambda: hand_await(native_await_value, done),
    ),
    "task-return": (
        "no suspension, in one task: await return_value(1)",
        100_000,
        lambda: task_call1(M.return_value, 1),
        lambda: task_call1(native_return_value, 1),
    ),
    "task-await": (
        "no suspension, in one task: await await_value(done())",
        50_000,
        lambda: task_await(M.await_value, done),
        lambda: task_await(native_await_value, done),
    ),
    "task-await-own": (
        "no suspension, in one task: pyco await_value(no_await()) / native await of done()",
        50_000,
        lambda: task_await(M.await_value, M.no_await),
        lambda: task_await(native_await_value, done),
    ),
    "loop-sleep0": (
        "through the event loop, in one task: await await_value(asyncio.sleep(0))",
        10_000,
        lambda: task_sleep0(M.await_value),
        lambda: task_sleep0(native_await_value),
    ),
    "hand-await-held": (
        "as hand-await, parameters borrowed (held by the promise): hold_await(None, done())",
        50_000,
        lambda: hand_await_held(M.hold_await, done),
        lambda: hand_await_held(native_hold_await, done),
    ),
    "loop-sleep0-held": (
        "as loop-sleep0, parameters borrowed: await hold_await(None, asyncio.sleep(0))",
        10_000,
        lambda: task_sleep0_held(M.hold_await),
        lambda: task_sleep0_held(native_hold_await),
    ),
}
SIDES = ("pyco", "native")


def sanity_check():
    """Both sides compute the same thing before anything is timed."""

    def drive(c):
        try:
            c.send(None)
        except StopIteration as e:
            return e.value
        raise AssertionError("coroutine did not finish")

    assert drive(M.return_value(1)) == drive(native_return_value(1)) == 1
    assert drive(M.await_value(done())) == drive(native_await_value(done())) == 1
    assert drive(M.await_value(M.no_await())) == 1
    assert drive(M.hold_await(None, done())) == drive(native_hold_await(None, done())) == 1
    loop = event_loop()
    assert loop.run_until_complete(M.await_value(asyncio.sleep(0, 7))) == 7
    assert loop.run_until_complete(native_await_value(asyncio.sleep(0, 7))) == 7


# ---------------------------------------------------------------------------
# Timing


def time_variant(name, rounds, scale, keep_gc):
    description, n, make_a, make_b = VARIANTS[name]
    n = max(1, int(n * scale))
    run_a, run_b = make_a(), make_b()
    samples = {"pyco": [], "native": []}
    gc.collect()
    was_enabled = gc.isenabled()
    if not keep_gc:
        gc.disable()
    try:
        warm = max(1, n // 5)
        run_a(warm)
        run_b(warm)
        for _ in range(rounds):
            samples["pyco"].append(run_a(n) / n)
            samples["native"].append(run_b(n) / n)
    finally:
        if was_enabled:
            gc.enable()
    out = {"description": description, "iterations": n, "rounds": rounds}
    for side in SIDES:
        s = samples[side]
        out[side] = {"min_ns": min(s), "median_ns": statistics.median(s), "samples_ns": s}
    out["ratio_min"] = out["pyco"]["min_ns"] / out["native"]["min_ns"]
    out["ratio_median"] = out["pyco"]["median_ns"] / out["native"]["median_ns"]
    return out


def print_timing_table(results):
    head = (f"{'variant':<16}{'pyco min':>10}{'pyco med':>10}{'native min':>12}{'native med':>12}"
            f"{'ratio min':>11}{'ratio med':>11}")
    print("ns per iteration (ratio = pyco / native, goal <= 1.00)")
    print(head)
    print("-" * len(head))
    for name, r in results.items():
        print(
            f"{name:<16}{r['pyco']['min_ns']:>10.1f}{r['pyco']['median_ns']:>10.1f}"
            f"{r['native']['min_ns']:>12.1f}{r['native']['median_ns']:>12.1f}"
            f"{r['ratio_min']:>10.2f}x{r['ratio_median']:>10.2f}x"
        )


# ---------------------------------------------------------------------------
# Callgrind


def child_main(name, side, warm, n, keep_gc):
    """Runs inside valgrind: the same start-up and warm-up whatever n is, then n iterations."""
    sanity_check()
    _, _, make_a, make_b = VARIANTS[name]
    run = make_a() if side == "pyco" else make_b()
    gc.collect()
    if not keep_gc:
        gc.disable()
    run(warm)
    run(n)


def callgrind_total(path):
    """The programme's total instruction count from a callgrind output file."""
    summary = None
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith("totals:"):
                return int(line.split()[1])
            if line.startswith("summary:"):
                summary = int(line.split()[1])
    if summary is None:
        raise RuntimeError(f"no totals in {path}")
    return summary


def callgrind_run(name, side, warm, n, keep_gc, keep, extra):
    TMP_DIR.mkdir(parents=True, exist_ok=True)
    out = TMP_DIR / f"callgrind.{name}.{side}.{n}.out"
    cmd = [
        "valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *extra,
        sys.executable, str(Path(__file__).resolve()),
        "--child", name, side, str(warm), str(n),
    ]
    if keep_gc:
        cmd.append("--keep-gc")
    env = dict(os.environ, PYTHONHASHSEED="0")
    proc = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd)} failed ({proc.returncode}):\n{proc.stderr[-4000:]}")
    total = callgrind_total(out)
    if not keep:
        out.unlink()
    return total


def callgrind_variants(names, iterations, warm, keep_gc, keep, jobs, extra):
    from concurrent.futures import ThreadPoolExecutor

    if not shutil.which("valgrind"):
        raise SystemExit("bench_await: valgrind not found")
    work = [(name, side, n) for name in names for side in SIDES for n in (iterations, 0)]
    with ThreadPoolExecutor(max_workers=max(1, jobs)) as ex:
        futures = {w: ex.submit(callgrind_run, w[0], w[1], warm, w[2], keep_gc, keep, extra) for w in work}
        totals = {w: f.result() for w, f in futures.items()}
    results = {}
    for name in names:
        r = {"description": VARIANTS[name][0], "iterations": iterations, "warmup": warm}
        for side in SIDES:
            full, base = totals[(name, side, iterations)], totals[(name, side, 0)]
            r[side] = {"ir_total": full, "ir_baseline": base, "ir_per_iteration": (full - base) / iterations}
        r["ratio"] = r["pyco"]["ir_per_iteration"] / r["native"]["ir_per_iteration"]
        results[name] = r
    return results


def annotate_functions(path):
    """Self instruction count per function ("file:function") from callgrind_annotate."""
    proc = subprocess.run(
        ["callgrind_annotate", "--show=Ir", "--inclusive=no", "--auto=no", "--threshold=100", str(path)],
        capture_output=True, text=True, check=True,
    )
    costs = {}
    for line in proc.stdout.splitlines():
        m = re.match(r"\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(\S.*)$", line)
        if not m or m.group(2).startswith("=>") or ":" not in m.group(2):
            continue
        name = re.sub(r"\s*\[.*\]$", "", m.group(2))
        costs[name] = costs.get(name, 0) + int(m.group(1).replace(",", ""))
    return costs


def function_profile(name, side, iterations, top):
    """The functions where one iteration's instructions go: N-run minus 0-run, per iteration."""
    full = annotate_functions(TMP_DIR / f"callgrind.{name}.{side}.{iterations}.out")
    base = annotate_functions(TMP_DIR / f"callgrind.{name}.{side}.0.out")
    rows = [((full.get(k, 0) - base.get(k, 0)) / iterations, k) for k in set(full) | set(base)]
    rows.sort(reverse=True)
    return [{"ir_per_iteration": v, "function": k} for v, k in rows[:top] if v >= 1.0]


def print_callgrind_table(results):
    head = f"{'variant':<16}{'pyco Ir/iter':>14}{'native Ir/iter':>16}{'ratio':>9}"
    print("instructions per iteration under callgrind (ratio = pyco / native, goal <= 1.00)")
    print(head)
    print("-" * len(head))
    for name, r in results.items():
        print(
            f"{name:<16}{r['pyco']['ir_per_iteration']:>14.1f}{r['native']['ir_per_iteration']:>16.1f}"
            f"{r['ratio']:>8.2f}x"
        )


# ---------------------------------------------------------------------------


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--variants", nargs="+", choices=list(VARIANTS), default=list(VARIANTS), metavar="NAME",
                   help="variants to run (default: all): " + ", ".join(VARIANTS))
    p.add_argument("--rounds", type=int, default=15, help="interleaved timing rounds (default 15)")
    p.add_argument("--scale", type=float, default=1.0, help="multiply the iterations per timed sample")
    p.add_argument("--clock", choices=list(CLOCKS), default="wall",
                   help="wall (perf_counter_ns, default) or thread (thread_time_ns: CPU time of this thread)")
    p.add_argument("--keep-gc", action="store_true", help="leave the garbage collector on while measuring")
    p.add_argument("--json", action="store_true", help="print the results as JSON instead of tables")
    p.add_argument("--callgrind", action="store_true", help="count instructions under valgrind instead of timing")
    p.add_argument("--iterations", type=int, default=20_000, help="callgrind: measured iterations (default 20000)")
    p.add_argument("--warmup", type=int, default=2_000,
                   help="callgrind: warm-up iterations in both runs (default 2000)")
    p.add_argument("--jobs", type=int, default=os.cpu_count() or 1, help="callgrind: parallel valgrind runs")
    p.add_argument("--keep", action="store_true", help=f"callgrind: keep the output files in {TMP_DIR}")
    p.add_argument("--profile", type=int, default=0, metavar="K",
                   help="callgrind: also list the K functions with the most self instructions per iteration "
                        "(implies --keep; needs callgrind_annotate)")
    p.add_argument("--valgrind-arg", action="append", default=[], metavar="ARG",
                   help="callgrind: extra valgrind argument (repeatable), e.g. --valgrind-arg=--dump-instr=yes")
    p.add_argument("--child", nargs=4, metavar=("VARIANT", "SIDE", "WARM", "N"), help=argparse.SUPPRESS)
    a = p.parse_args(argv)

    if a.child:
        name, side, warm, n = a.child
        child_main(name, side, int(warm), int(n), a.keep_gc)
        return 0

    CLOCK[0] = CLOCKS[a.clock]
    sanity_check()
    info = {
        "python": sys.version.split()[0],
        "machine": platform.machine(),
        "module": M.__file__,
        "gc": "on" if a.keep_gc else "off",
        "clock": a.clock,
    }
    if a.callgrind:
        keep = a.keep or a.profile > 0
        results = callgrind_variants(a.variants, a.iterations, a.warmup, a.keep_gc, keep, a.jobs, a.valgrind_arg)
        if a.profile > 0:
            for name in a.variants:
                for side in SIDES:
                    results[name][side]["profile"] = function_profile(name, side, a.iterations, a.profile)
        if a.json:
            print(json.dumps({"mode": "callgrind", **info, "results": results}, indent=2))
        else:
            print(f"python {info['python']}, module {info['module']}, gc {info['gc']}, "
                  f"{a.iterations} iterations after {a.warmup} warm-up, 0-iteration run subtracted")
            print_callgrind_table(results)
            if a.profile > 0:
                for name in a.variants:
                    for side in SIDES:
                        print(f"\n{name}, {side}: self instructions per iteration by function")
                        for row in results[name][side]["profile"]:
                            print(f"{row['ir_per_iteration']:10.1f}  {row['function'][:140]}")
        return 0

    results = {name: time_variant(name, a.rounds, a.scale, a.keep_gc) for name in a.variants}
    if a.json:
        print(json.dumps({"mode": "timing", **info, "results": results}, indent=2))
    else:
        print(f"python {info['python']}, module {info['module']}, gc {info['gc']}, {a.clock} clock, "
              f"{a.rounds} interleaved rounds (pyco, native, pyco, native, ...)")
        print_timing_table(results)
    return 0


if __name__ == "__main__":
    try:
        status = main()
    finally:
        if _loop is not None:
            _loop.close()
    sys.exit(status)
