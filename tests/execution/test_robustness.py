"""What hostile or careless user code does to the capture of output and to the kernel:
threads printing while runs come and go, streams replaced and never put back, classes
patched under their module names, exceptions that are not Exceptions, and output faster
than the loop can send."""
import asyncio
import os
import io
import sys
import threading
import time

import pytest

from vantrel_master.python_server import kernel as kmod

from .conftest import run

WAIT = 20  # a guard against hanging, never part of an assertion


def test_threads_printing_while_runs_start_and_end_never_touch_a_freed_stream(standard_streams):
    # print() holds sys.stdout only as a borrowed reference between its writes; the
    # streams installed for runs that end meanwhile must stay alive.
    stop = threading.Event()
    printed = io.StringIO()
    sys.stdout = printed

    def printer():
        while not stop.is_set():
            print(*"abcdefghijklmnop")

    def runner(results):
        executor = kmod.CodeExecutor()
        for _ in range(1500):
            results.append(executor.execute("0", stdout_callback=len, stderr_callback=len)["success"])

    results = []
    printers = [threading.Thread(target=printer) for _ in range(3)]
    runners = [threading.Thread(target=runner, args=(results,)) for _ in range(8)]
    for t in printers + runners:
        t.start()
    for t in runners:
        t.join(120)
    stop.set()
    for t in printers:
        t.join(WAIT)
    assert results == [True] * 8 * 1500
    assert sys.stdout is printed  # no run left active: what was there before the runs
    assert printed.getvalue().startswith("a b c")


def test_streams_come_back_after_user_code_replaced_them(standard_streams):
    executor = kmod.CodeExecutor()
    executor.locals["io"] = io
    before = (sys.stdout, sys.stderr)
    result = executor.execute("import sys\nsys.stdout = io.StringIO()\nsys.stderr = io.StringIO()\nprint('gone')")
    assert result["success"] and result["stdout"] == ""
    assert (sys.stdout, sys.stderr) == before

    # Overlapping runs: the streams come back when the last one ends, not before.
    gate, started = threading.Event(), threading.Event()
    executor.locals.update(gate=gate, started=started)
    held = threading.Thread(target=executor.execute, args=(f"started.set()\ngate.wait({WAIT})",))
    held.start()
    assert started.wait(WAIT)
    executor.execute("import sys\nsys.stdout = io.StringIO()")
    assert sys.stdout is not before[0]
    gate.set()
    held.join(WAIT)
    assert (sys.stdout, sys.stderr) == before


def test_connected_kernel_hooks_return_for_background_output(connected_kernel):
    async def body():
        async with connected_kernel() as session:
            code = ("import io, sys, threading\n"
                    "sys.stdout = io.StringIO()\n"
                    "threading.Timer(0.2, lambda: print('from the timer')).start()\n")
            final = await session.execute(code, "replace")
            assert final["type"] == "execution_result"
            late = await session.wait_for(lambda m: m.get("content") == "from the timer")
            assert late == {"type": "stdout", "content": "from the timer", "workbook_id": session.wb}
            await session.wait_for(lambda m: m.get("content") == "\n" and "request_id" not in m)

    run(body())


def test_classes_patched_under_their_module_names(monkeypatch):
    class Capture(kmod.StreamCapture):
        made = 0

        def __init__(self, on_write=None):
            Capture.made += 1
            super().__init__(on_write)

    class Hook(kmod.KernelStreamHook):
        pass

    monkeypatch.setattr(kmod, "StreamCapture", Capture)
    monkeypatch.setattr(kmod, "KernelStreamHook", Hook)
    sent = []
    hook = Hook("stderr", lambda kind, text: sent.append((kind, text)))
    assert hook.write("x") == 1 and sent == [("stderr", "x")]
    result = kmod.CodeExecutor().execute("print('patched')")
    assert result["stdout"] == "patched\n" and Capture.made == 2


class Custom(BaseException):
    pass


class LoudRepr:
    def __init__(self, exc):
        self.exc = exc

    def __repr__(self):
        raise self.exc


@pytest.mark.parametrize("raised, type_name", [
    ("Custom('mine')", "Custom"),
    ("GeneratorExit('made here')", "GeneratorExit"),
    ("asyncio.CancelledError()", "CancelledError"),
    ("SystemExit(3)", "SystemExit"),
])
def test_anything_user_code_raises_is_answered(connected_kernel, raised, type_name):
    async def body():
        async with connected_kernel() as session:
            session.kernel.executor.locals.update(Custom=Custom, asyncio=asyncio, LoudRepr=LoudRepr)
            failed = await session.execute(f"print('before')\nraise {raised}", "run")
            assert failed["type"] == "execution_error"
            assert failed["error"]["type"] == type_name
            assert type_name in failed["error"]["traceback"].splitlines()[-1]
            assert session.streamed("run") == "before\n"
            # The repr of a result runs user code on the event loop: it is answered too.
            shown = await session.execute(f"LoudRepr({raised})", "repr")
            assert shown["type"] == "execution_error" and shown["error"]["type"] == type_name
            assert "function_name" not in shown
            assert (await session.execute("6 * 7", "after"))["result"] == "42"

    run(body())


def test_fast_output_waits_for_the_loop_and_keeps_every_piece_in_order():
    # A send that holds up the loop for a while: the loop sends far slower than a thread
    # can print. The writing thread waits once too much is scheduled.
    kernel = kmod.PythonKernel("wb-flood")
    outstanding, most, received = [0], [0], []

    async def slow_send(message):
        time.sleep(0.0002)
        received.append(message)
        outstanding[0] -= 1

    def send_message(message):
        outstanding[0] += 1
        most[0] = max(most[0], outstanding[0])
        return slow_send(message)

    kernel.send_message = send_message
    lines = 2500

    async def body():
        await kernel._execute_code_async(f"for i in range({lines}):\n    print(i)\nbig = 'x' * (1 << 20)\n"
                                         "for i in range(12):\n    print(big)", "flood")

    try:
        run(body(), timeout=120)
    finally:
        kernel._thread_pool.shutdown(wait=True)
    streamed = [m["content"] for m in received if m["type"] == "stdout"]
    expected = [piece for i in range(lines) for piece in (str(i), "\n")] + ["x" * (1 << 20), "\n"] * 12
    # writes made while earlier ones wait for the loop go out together: the same text, in
    # order, in fewer messages
    assert "".join(streamed) == "".join(expected) and len(streamed) < len(expected)
    assert received[-1]["type"] == "execution_result"
    assert most[0] <= 1002  # bounded by the number of pending sends (1000), not by the output


def test_a_run_whose_capture_cannot_be_set_up_leaves_no_trace(monkeypatch, standard_streams):
    # Nested runs on one thread take one pair of installed streams each; once the pool
    # has to grow and cannot (here: no buffer can be made), that run fails cleanly.
    class Capture(kmod.StreamCapture):
        def __init__(self, on_write=None):  # needs no buffer from the kernel's `io`
            self._buffer = io.StringIO()
            self._on_write = on_write

    class NoBuffers:
        def StringIO(self):
            raise MemoryError("no buffers")

    executor = kmod.CodeExecutor()
    outcomes = []

    def nest(depth):
        result = executor.execute("nest(depth + 1) if depth < 200 else None\nprint(depth)")
        outcomes.append(result)

    executor.globals["nest"] = nest
    monkeypatch.setattr(kmod, "StreamCapture", Capture)
    monkeypatch.setattr(kmod, "io", NoBuffers())
    executor.locals["depth"] = 0
    nest(0)
    monkeypatch.undo()
    failed = [r for r in outcomes if not r["success"]]
    assert len(failed) == 1 and failed[0]["error"]["type"] == "MemoryError"
    assert all(r["stdout"].endswith("\n") for r in outcomes if r["success"])
    assert (sys.stdout, sys.stderr) == standard_streams
    assert kmod.CodeExecutor().execute("print('fresh')")["stdout"] == "fresh\n"
    assert (sys.stdout, sys.stderr) == standard_streams


def test_interrupted_printing_runs_show_only_their_own_frames(connected_kernel):
    # The interrupt lands between two bytecodes of whatever the worker runs; a run that
    # prints all the time spends much of it in the kernel's output path, and asyncio's
    # code there must never show in (nor be broken by) the run's traceback.
    async def body():
        async with connected_kernel() as session:
            for attempt in range(15):
                rid = f"p{attempt}"
                await session.start("i = 0\nwhile True:\n    i += 1\n    print(i, end='')", rid, source="console")
                await session.wait_for(lambda m: m.get("type") == "stdout" and m.get("request_id") == rid)
                await asyncio.sleep(0.01 * (attempt % 5))
                await session.send({"type": "interrupt_request", "request_id": rid})
                final = await session.final(rid)
                error = final["error"]
                assert error["type"] == "KeyboardInterrupt", error
                frames = [line for line in error["traceback"].splitlines() if line.lstrip().startswith("File ")]
                assert frames and all('File "<string>"' in line for line in frames), error["traceback"]
            # user code running its own event loop is still interrupted
            spin = "import asyncio\nasync def spin():\n    while True:\n        await asyncio.sleep(0)\n" \
                   "print('looping', flush=True)\nasyncio.run(spin())"
            await session.start(spin, "loop", source="console")
            await session.wait_for(lambda m: m.get("type") == "stdout" and m.get("request_id") == "loop")
            for _ in range(100):
                await session.send({"type": "interrupt_request", "request_id": "loop"})
                reply = await session.wait_for(lambda m: m.get("type") == "interrupt_reply")
                if reply["interrupted"]:
                    break
            assert (await session.final("loop", timeout=30))["error"]["type"] == "KeyboardInterrupt"
            assert (await session.execute("1 + 1", "after", source="console"))["result"] == "2"

    run(body(), timeout=120)


INTERRUPTED_THEN_EXIT = """
import asyncio, os
os.environ["VANTREL_SECURED"] = "0"
from tests.harness import kernel_session, run

async def main():
    async with kernel_session() as s:
        await s.start("print('go', flush=True)\\nwhile True:\\n    pass", "spin", source="console")
        await s.wait_for(lambda m: m.get("type") == "stdout")
        for _ in range(200):
            await s.send({"type": "interrupt_request", "request_id": "spin"})
            reply = await s.wait_for(lambda m: m.get("type") == "interrupt_reply")
            if reply["interrupted"]:
                break
        assert (await s.final("spin"))["error"]["type"] == "KeyboardInterrupt"

run(main())
"""


def test_a_process_whose_console_run_was_interrupted_exits_normally(tmp_path):
    # an interrupted run must not make the whole process end as if killed by Ctrl-C
    import subprocess

    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([root, os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run([sys.executable, "-c", INTERRUPTED_THEN_EXIT], env=env, cwd=str(tmp_path),
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
