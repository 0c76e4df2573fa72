"""Runs that overlap on several threads: each run's capture receives exactly what its
own thread writes, whatever order the runs end in, and the process-wide streams come
back once no run is active (the originals, or the kernel's hooks while connected)."""
import os
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

import vantrel_master
from vantrel_master.python_server import kernel as kmod

from .conftest import run

WAIT = 20  # seconds; a guard against hanging, never part of an assertion

pytestmark = pytest.mark.timeout(60)


def gated_code(i, fail=False):
    return (f"caps[{i}] = sys.stdout\n"
            f"print('start-{i}')\n"
            f"sys.stderr.write('err-{i}\\n')\n"
            f"started[{i}].set()\n"
            f"released[{i}] = gates[{i}].wait({WAIT})\n"
            f"print('end-{i}')\n"
            + ("1 / 0\n" if fail else ""))


def test_overlapping_direct_runs_end_in_another_order(standard_streams):
    n = 4
    failing = 1
    executor = kmod.CodeExecutor()
    gates = {i: threading.Event() for i in range(n)}
    started = {i: threading.Event() for i in range(n)}
    caps, released = {}, {}
    executor.locals.update(sys=sys, gates=gates, started=started, caps=caps, released=released)
    streamed = {i: ([], []) for i in range(n)}
    results = {}

    def worker(i):
        out, err = streamed[i]
        results[i] = executor.execute(gated_code(i, fail=i == failing),
                                      stdout_callback=out.append, stderr_callback=err.append)

    threads = {}
    for i in range(n):
        threads[i] = threading.Thread(target=worker, args=(i,))
        threads[i].start()
        assert started[i].wait(WAIT)
        # a started run's captures are the process-wide streams: what a redirect leaves
        assert sys.stdout is caps[i]
    active = list(range(n))
    for i in [2, 0, 3, 1]:
        gates[i].set()
        threads[i].join(WAIT)
        assert not threads[i].is_alive()
        active.remove(i)
        if active:
            assert sys.stdout is caps[active[-1]]
            assert isinstance(sys.stderr, kmod.StreamCapture)
    assert (sys.stdout, sys.stderr) == standard_streams
    assert released == {i: True for i in range(n)}
    for i in range(n):
        result = results[i]
        assert result["stdout"] == f"start-{i}\nend-{i}\n" == "".join(streamed[i][0])
        assert result["stderr"] == f"err-{i}\n" == "".join(streamed[i][1])
        assert result["success"] is (i != failing)
    assert results[failing]["error"]["type"] == "ZeroDivisionError"


# A worker may evaluate `sys.stderr` (standing for the latest run), the thread switches,
# that run ends, and the worker writes through the reference it already holds: the text
# must still reach the worker's own run (made deterministic in the test below).
def test_many_interleaved_writes_stay_apart(standard_streams):
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        n, lines = 6, 150
        executor = kmod.CodeExecutor()
        barrier = threading.Barrier(n)
        executor.locals.update(barrier=barrier, sys=sys)
        results = {}

        def worker(i):
            # The namespace is shared by all runs: the loop variable must be local. One
            # write() per line, no print(): print() keeps only a borrowed reference to
            # sys.stdout across its writes (see the test on a print in progress below).
            code = (f"def emit_{i}(sys):\n"
                    f"    for k in range({lines}):\n"
                    f"        sys.stdout.write('r{i} ' + str(k) + '\\n')\n"
                    f"        sys.stderr.write('e{i} ' + str(k) + '\\n')\n"
                    f"barrier.wait({WAIT})\n"
                    f"emit_{i}(sys)\n")
            results[i] = executor.execute(code)

        threads = [threading.Thread(target=worker, args=(i,)) for i in range(n)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(WAIT)
    finally:
        sys.setswitchinterval(old_interval)
    for i in range(n):
        assert results[i]["success"] is True
        assert results[i]["stdout"] == "".join(f"r{i} {k}\n" for k in range(lines))
        assert results[i]["stderr"] == "".join(f"e{i} {k}\n" for k in range(lines))
    assert (sys.stdout, sys.stderr) == standard_streams


def test_write_through_an_ended_runs_capture_stays_with_the_writers_run(standard_streams):
    # A thread holding the stream of a run that has ended (as `sys.stdout.write(...)`
    # does between looking up sys.stdout and calling write) writes into its own run.
    executor = kmod.CodeExecutor()
    ev = {name: threading.Event() for name in ("a_started", "b_started", "grabbed", "b_ended")}
    executor.locals.update(sys=sys, ev=ev)
    code_a = ("ev['a_started'].set()\n"
              f"ev['b_started'].wait({WAIT})\n"
              "held_by_a = sys.stdout\n"  # run b started last: this is b's capture
              "ev['grabbed'].set()\n"
              f"ev['b_ended'].wait({WAIT})\n"
              "held_by_a.write('late-a\\n')\n")
    code_b = ("ev['b_started'].set()\n"
              f"ev['grabbed'].wait({WAIT})\n"
              "print('b')\n")
    results = {}
    a = threading.Thread(target=lambda: results.setdefault("a", executor.execute(code_a)))
    b = threading.Thread(target=lambda: results.setdefault("b", executor.execute(code_b)))
    a.start()
    assert ev["a_started"].wait(WAIT)
    b.start()
    b.join(WAIT)
    ev["b_ended"].set()
    a.join(WAIT)
    assert results["b"]["stdout"] == "b\n"
    assert results["a"]["stdout"] == "late-a\n"
    assert (sys.stdout, sys.stderr) == standard_streams


def test_print_in_progress_when_its_run_ends_does_not_touch_a_freed_capture(scratch):
    # CPython 3.11's print() holds only a borrowed reference to sys.stdout across its
    # writes. A run ends while another thread is inside print() (between "inside" and
    # its newline): the stream it holds must still be alive. Run in a child interpreter
    # with the debug allocator, which makes a use after free fail every time.
    script = scratch / "print_across_run_end.py"
    script.write_text(textwrap.dedent("""
        import sys, threading
        from vantrel_master.python_server import kernel as kmod

        errors = []
        threading.excepthook = lambda args: errors.append(repr(args.exc_value))
        first_piece, run_over = threading.Event(), threading.Event()

        def on_write(text):
            if threading.current_thread().name == "child" and text == "inside":
                first_piece.set()
                run_over.wait(10)  # print() is now between "inside" and its newline

        executor = kmod.CodeExecutor()
        executor.globals.update(threading=threading, first_piece=first_piece)
        code = ("t = threading.Thread(target=lambda: print('inside'), name='child')\\n"
                "t.start()\\n"
                "first_piece.wait(10)\\n")
        result = executor.execute(code, stdout_callback=on_write)
        child = executor.locals["t"]
        stdout = result["stdout"]
        del result, executor
        run_over.set()
        child.join(10)
        sys.__stdout__.write(f"@@{stdout!r} {errors!r}\\n")
    """))
    src = str(Path(vantrel_master.__file__).resolve().parent.parent)
    env = {**os.environ, "PYTHONPATH": src, "PYTHONMALLOC": "debug", "VANTREL_LOG_LEVEL": "WARNING"}
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, env=env, timeout=60)
    assert proc.returncode == 0, proc.stderr[-2000:]
    report = [line for line in proc.stdout.splitlines() if line.startswith("@@")]
    assert report == ["@@'inside' []"]


def test_thread_started_by_user_code_writes_into_its_run():
    seen = []
    code = ("import threading\n"
            "t = threading.Thread(target=lambda: print('child'))\n"
            "t.start()\n"
            "t.join()\n"
            "print('parent')\n")
    result = kmod.CodeExecutor().execute(code, stdout_callback=seen.append)
    assert result["stdout"] == "child\nparent\n" == "".join(seen)


def test_thread_without_a_run_writes_where_the_latest_run_redirected(standard_streams):
    executor = kmod.CodeExecutor()
    gates = {i: threading.Event() for i in range(2)}
    started = {i: threading.Event() for i in range(2)}
    caps, released = {}, {}
    executor.locals.update(sys=sys, gates=gates, started=started, caps=caps, released=released)
    results = {}

    def worker(i):
        results[i] = executor.execute(gated_code(i))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(2)]
    for i, t in enumerate(threads):
        t.start()
        assert started[i].wait(WAIT)
    print("from-main")  # this thread has no run of its own
    for i, t in enumerate(threads):
        gates[i].set()
        t.join(WAIT)
    assert results[0]["stdout"] == "start-0\nend-0\n"
    assert results[1]["stdout"] == "start-1\nfrom-main\nend-1\n"
    assert (sys.stdout, sys.stderr) == standard_streams


# --- through the kernel ---------------------------------------------------------------


def test_overlapping_execution_requests(connected_kernel, standard_streams):
    n = 3
    gates = {i: threading.Event() for i in range(n)}
    started = {i: threading.Event() for i in range(n)}

    async def body():
        async with connected_kernel() as session:
            hooks = (sys.stdout, sys.stderr)
            assert all(isinstance(h, kmod.KernelStreamHook) for h in hooks)
            session.kernel.executor.locals.update(sys=sys, gates=gates, started=started, caps={}, released={})
            for i in range(n):
                await session.start(gated_code(i, fail=i == 0), f"run-{i}")
                await session.wait_for(lambda m, i=i: m["type"] == "stderr" and m.get("request_id") == f"run-{i}")
            finals = []
            for i in [1, 2, 0]:
                gates[i].set()
                finals.append(await session.final(f"run-{i}"))
            assert [m["type"] for m in finals] == ["execution_result", "execution_result", "execution_error"]
            assert (sys.stdout, sys.stderr) == hooks
            for i in range(n):
                assert session.streamed(f"run-{i}") == f"start-{i}\nend-{i}\n"
                assert session.streamed(f"run-{i}", "stderr") == f"err-{i}\n"
            # with no run active, output goes through the hooks again
            print("between runs")
            plain = await session.wait_for(lambda m: m["type"] == "stdout" and "request_id" not in m)
            assert plain == {"type": "stdout", "content": "between runs", "workbook_id": session.workbook_id}

    run(body())
    assert (sys.stdout, sys.stderr) == standard_streams


def test_user_thread_output_is_tagged_with_its_run_and_outlives_it(connected_kernel):
    printed = threading.Event()
    later = threading.Event()
    done = threading.Event()

    async def body():
        async with connected_kernel() as session:
            session.kernel.executor.globals.update(printed=printed, later=later, done=done)
            # the run ends only after the child's print() has finished both its writes
            code = ("import threading\n"
                    "def child():\n"
                    "    print('inside')\n"
                    "    printed.set()\n"
                    f"    later.wait({WAIT})\n"
                    "    print('outside')\n"
                    "    done.set()\n"
                    "threading.Thread(target=child).start()\n"
                    f"printed.wait({WAIT})\n")
            await session.start(code, "spawn")
            assert (await session.final("spawn"))["type"] == "execution_result"
            assert session.streamed("spawn") == "inside\n"
            later.set()
            outside = await session.wait_for(lambda m: m["type"] == "stdout" and m["content"] == "outside")
            # written after its run ended: a plain stream message of the kernel's hook
            assert outside == {"type": "stdout", "content": "outside", "workbook_id": session.workbook_id}
            assert done.wait(WAIT)

    run(body())
