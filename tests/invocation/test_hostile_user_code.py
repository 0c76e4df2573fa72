"""What hostile user code and peers do to the request handlers, end to end against the
development Business Layer: tracebacks that pass through except, finally, with, chaining
and failed imports; reprs that raise anything or block; a second debug run while one is
paused; evaluations that need the loop; failures with empty texts; a closed stdout; lone
surrogates; a flood of cancel marks; and daemon threads printing when the process exits."""
import asyncio
import importlib
import os
import subprocess
import sys
import threading
import traceback

import pytest

from vantrel_master.python_server.vantrel import messaging

from .conftest import kernel_session, run, sync_module

TRACEBACKS = '''import contextlib

def _reraise():
    try:
        1 / 0
    except Exception:
        raise

def _in_with():
    with contextlib.nullcontext():
        1 / 0

def _chained():
    try:
        {}["k"]
    except KeyError as e:
        raise ValueError("v") from e

def _bad_import():
    import no_such_module_for_these_tests

def _via_finally():
    try:
        1 / 0
    finally:
        pass

def reraise():
    _reraise()

def in_with():
    _in_with()

def outer():
    _chained()

def bad_import():
    _bad_import()

def via_finally():
    _via_finally()

def stream_then_fail():
    yield 1
    outer()
'''

FAILING = ["reraise", "in_with", "outer", "bad_import", "via_finally"]


def expected_traceback(func, *args):
    """What Python's own traceback module shows for the call, without this harness's frame."""
    try:
        result = func(*args)
        if hasattr(result, "__next__"):
            list(result)
    except BaseException as e:  # noqa: BLE001 - any is what we compare
        return "".join(traceback.format_exception(type(e), e, e.__traceback__.tb_next))
    raise AssertionError(f"{func.__name__} did not raise")


def without_debugger_frames(text):
    """A traceback less the debugger companion's own frames (runcall calls the function)."""
    kept, skipping = [], False
    for line in text.splitlines(keepends=True):
        if line.startswith("  File "):
            skipping = "debugger.py" in line
        elif not line.startswith("    "):
            skipping = False
        if not skipping:
            kept.append(line)
    return "".join(kept)


def test_every_path_reports_the_frames_python_shows(module_name):
    async def main():
        async with kernel_session() as s:
            name = await sync_module(s, module_name(), TRACEBACKS)
            module = importlib.import_module(name)
            for fn in FAILING:
                want = expected_traceback(getattr(module, fn))
                assert want.count("File") >= 2, want  # the caller's frame and the failing one
                base = {"module_name": name, "function_name": fn, "workbook_id": s.wb}
                await s.send({"type": "custom_function_call", "request_id": f"cell-{fn}", **base})
                await s.send({"type": "event_execution", "request_id": f"event-{fn}", **base})
                cid = messaging.register_callable(getattr(module, fn))
                await s.send({"type": "python_function_call", "callable_id": cid, "request_id": f"call-{fn}"})
                await s.send({"type": "run_module", "debug": True, "breakpoints": [], "request_id": f"dbg-{fn}",
                              **base})
                cell = await s.wait_for(lambda m: m["type"] == "execution_error" and m.get("request_id") == f"cell-{fn}")
                assert cell["error"] == want and want in cell["logs"]
                event = await s.wait_for(lambda m: m["type"] == "event_execution_result"
                                         and m.get("request_id") == f"event-{fn}")
                assert event["error"] == want and want in event["logs"]
                called = await s.wait_for(lambda m: m["type"] == "python_function_result"
                                          and m.get("request_id") == f"call-{fn}")
                assert called["error"] == want
                reported = await s.wait_for("debug_exception")
                assert without_debugger_frames(reported["exception_traceback"]) == want
                await s.wait_for(lambda m: m["type"] == "debug_terminated" and m.get("request_id") == f"dbg-{fn}")

            await s.send({"type": "execute_streaming_function", "request_id": "stream", "module_name": name,
                          "function_name": "stream_then_fail", "args": [], "workbook_id": s.wb})
            final = await s.wait_for(lambda m: m["type"] == "streaming_function_result"
                                     and m.get("request_id") == "stream" and m.get("done"))
            assert final["error"] == "v"
            assert expected_traceback(module.stream_then_fail) in s.streamed("stream", "stderr")

            # console code: compiled from a string, its frames as exec() in one namespace shows them
            code = TRACEBACKS.split("def stream_then_fail")[0] + "\nouter()\n"
            namespace = {}
            try:
                exec(code, namespace)
            except ValueError as e:
                want = "".join(traceback.format_exception(type(e), e, e.__traceback__.tb_next))
            final = await s.execute(code, "console")
            assert final["type"] == "execution_error" and final["error"]["traceback"] == want
    run(main(), timeout=60)


HOSTILE = '''import sys, threading, vantrel
release = threading.Event()
armed = threading.Event()  # the reprs below behave until armed

class Exits:
    def __repr__(self):
        if armed.is_set():
            raise SystemExit(3)
        return "Exits()"

class Fails:
    def __repr__(self):
        if armed.is_set():
            raise ValueError("no repr")
        return "Fails()"

class Blocks:
    def __repr__(self):
        if armed.is_set():
            release.wait(20)
        return "Blocks()"

def slow_value():
    return Blocks()

def surrogate():
    name = b"caf\\xff".decode("utf-8", "surrogateescape")
    print(name)
    return name

def closes():
    sys.stdout.close()
    return sys.stdout.closed

def prints():
    print("still here", sys.stdout.closed)
    sys.stdout.writelines(["lines\\n"])
    return sys.stdout.isatty()

def empty_failure(kind):
    yield 1
    raise {"value": ValueError(), "exit": SystemExit(), "interrupt": KeyboardInterrupt()}[kind]

def locals_that_exit():
    armed.set()
    bad = Exits()
    return 1
'''


def test_reprs_that_raise_or_block_hold_neither_the_loop_nor_the_session(module_name):
    async def main():
        async with kernel_session() as s:
            name = await sync_module(s, module_name(), HOSTILE)
            module = importlib.import_module(name)
            s.kernel.save_object("exits", module.Exits())
            s.kernel.save_object("fails", module.Fails())
            s.kernel.save_object("blocks", module.Blocks())
            s.kernel.save_object("plain", [1, 2])
            module.armed.set()
            await s.send({"type": "get_object_registry"})
            await s.start(f"import {name}; {name}.slow_value()", "slow")
            # both reprs are blocked; the loop still reads and answers
            await s.mark()
            meanwhile = await s.execute("1 + 1", "meanwhile")
            assert (meanwhile["type"], meanwhile["result"]) == ("execution_result", "2")
            assert not s.of_request("slow", "execution_result")
            module.release.set()
            registry = await s.wait_for("object_registry_response")
            assert registry["objects"] == [
                {"key": "exits", "type": "Exits", "repr": "<unrepresentable: SystemExit>"},
                {"key": "fails", "type": "Fails", "repr": "<unrepresentable: ValueError>"},
                {"key": "blocks", "type": "Blocks", "repr": "Blocks()"},
                {"key": "plain", "type": "list", "repr": "[1, 2]"}]
            assert (await s.final("slow"))["result"] == "Blocks()"
            assert s.of_request("slow", "result_output")[0]["content"] == "Out: Blocks()\n"
            assert s.kernel.running
    run(main(), timeout=60)


def test_failures_with_empty_texts_closed_streams_and_surrogates(module_name):
    async def main():
        async with kernel_session() as s:
            name = await sync_module(s, module_name(), HOSTILE)
            base = {"type": "custom_function_call", "module_name": name, "workbook_id": s.wb}
            for kind, text in [("value", "ValueError"), ("exit", "SystemExit"), ("interrupt", "KeyboardInterrupt")]:
                await s.send({"type": "execute_streaming_function", "request_id": f"s-{kind}", "module_name": name,
                              "function_name": "empty_failure", "args": [kind], "workbook_id": s.wb})
                final = await s.wait_for(lambda m: m["type"] == "streaming_function_result"
                                         and m.get("request_id") == f"s-{kind}" and m.get("done"))
                assert final["error"] == text
            # closing sys.stdout in one call closes that call's stream only
            await s.send({**base, "function_name": "closes", "request_id": "close"})
            closed = await s.wait_for(lambda m: m["type"] == "function_execution_result" and m["request_id"] == "close")
            assert closed["status"] == "success" and closed["result"] is True
            await s.send({**base, "function_name": "prints", "request_id": "after"})
            after = await s.wait_for(lambda m: m["type"] == "function_execution_result" and m["request_id"] == "after")
            assert (after["status"], after["result"], after["logs"]) == ("success", False, "still here False\nlines\n")
            assert (await s.execute("print(1)", "console"))["type"] == "execution_result"
            # a lone surrogate (a surrogateescape'd file name) in output and result: still a success
            await s.send({**base, "function_name": "surrogate", "request_id": "sur"})
            done = await s.wait_for(lambda m: m["type"] == "function_execution_result" and m["request_id"] == "sur")
            name_text = b"caf\xff".decode("utf-8", "surrogateescape")
            assert (done["status"], done["result"]) == ("success", name_text)
            assert s.streamed("sur") == name_text + "\n"
    run(main(), timeout=60)


def test_debug_sessions_survive_each_other_and_evaluate_through_the_loop(module_name):
    source = HOSTILE + '''
def paused(x):
    y = x + 1
    return y
'''

    async def main():
        async with kernel_session() as s:
            name = await sync_module(s, module_name(), source)
            lines = source.splitlines()
            stop_line = lines.index("    y = x + 1") + 1
            bad_line = lines.index("    return 1") + 1
            debug = {"type": "run_module", "module_name": name, "debug": True, "workbook_id": s.wb}
            await s.send({**debug, "function_name": "paused", "args": [1], "request_id": "first",
                          "breakpoints": [{"module_name": name, "line": stop_line}]})
            await s.wait_for(lambda m: m["type"] == "debug_stopped" and m["line"] == stop_line)
            # a local whose repr raises SystemExit: the second run pauses all the same
            await s.send({**debug, "function_name": "locals_that_exit", "args": [], "request_id": "second",
                          "breakpoints": [{"module_name": name, "line": bad_line}]})
            first_over = await s.wait_for(lambda m: m["type"] == "debug_terminated" and m.get("request_id") == "first")
            assert first_over["workbook_id"] == s.wb
            stop = await s.wait_for(lambda m: m["type"] == "debug_stopped" and m["line"] == bad_line)
            assert {"name": "bad", "type": "Exits", "repr": "<unrepresentable Exits>"} in stop["locals"]
            # an evaluation that needs the loop (a synchronous request to Excel), then one whose
            # value's repr raises SystemExit; commands after them keep their order
            await s.send({"type": "debug_evaluate", "request_id": "ev1",
                          "expression": "vantrel.excel.set_value('Sheet1', 'A1', 21) or vantrel.excel.get_value('Sheet1', 'A1')"})
            await s.send({"type": "debug_evaluate", "expression": "bad", "request_id": "ev2"})
            await s.send({"type": "debug_continue"})
            ev1 = await s.wait_for(lambda m: m["type"] == "debug_evaluate_result" and m["request_id"] == "ev1")
            assert (ev1.get("result"), ev1.get("error")) == ("21", None)
            ev2 = await s.wait_for(lambda m: m["type"] == "debug_evaluate_result" and m["request_id"] == "ev2")
            assert ev2["result"] == "<unrepresentable Exits>"
            await s.wait_for(lambda m: m["type"] == "debug_terminated" and m.get("request_id") == "second")
            kinds = [m["type"] for m in s.messages() if m["type"] in ("debug_evaluate_result", "debug_resumed")]
            assert kinds == ["debug_evaluate_result", "debug_evaluate_result", "debug_resumed"]
            assert not s.kernel.has_active_debugger
            assert s.of_request("second", "result_output")[-1]["content"] == "Out: 1\n"
    run(main(), timeout=60)


def test_cancel_marks_of_streams_that_never_run_are_bounded(caplog):
    async def main():
        async with kernel_session() as s:
            for i in range(1100):
                await s.send({"type": "cancel_streaming_function", "request_id": f"never-{i}"})
            big = "x" * 1_000_000
            for i in range(20):
                await s.send({"type": "cancel_streaming_function", "request_id": f"{i}-{big}"})
            await s.send({"type": "cancel_streaming_function", "request_id": ["not", "hashable"]})
            await s.mark()
            marks = s.kernel._canceled_streaming_requests
            assert len(marks) <= 1024 and sum(len(m) for m in marks) <= 16 * 1024 * 1024
            assert f"19-{big}" in marks  # the newest stay
            assert s.kernel.running
    run(main(), timeout=60)
    dropped = [r.getMessage() for r in caplog.records if "cancel marks" in r.getMessage()]
    assert dropped and dropped[0].startswith("[Kernel] Dropped ")


EXITING = '''
import os, sys, threading, time
from vantrel_master.python_server import kernel
sink = open(os.devnull, "w", buffering=1)
if "--subinterpreter" in sys.argv:
    # once a subinterpreter was created, PyGILState_Check() answers 1 on every thread
    import _xxsubinterpreters
    _xxsubinterpreters.destroy(_xxsubinterpreters.create())

def run_forever():
    kernel.CodeExecutor().execute("while True: print('x' * 40)", stdout_callback=sink.write)

def printer():
    while True:
        print("daemon line")

for target in [run_forever] * 3 + [printer] * 3:
    threading.Thread(target=target, daemon=True).start()
time.sleep(0.2)
'''


@pytest.mark.parametrize("options", [[], ["--subinterpreter"]])
def test_exit_with_daemon_threads_printing_inside_runs_is_clean(scratch, options):
    script = scratch / "exiting.py"
    script.write_text(EXITING)
    for _ in range(5):
        done = subprocess.run([sys.executable, str(script), *options], capture_output=True, timeout=60,
                              env={**os.environ, "PYTHONFAULTHANDLER": "1"})
        assert done.returncode == 0, done.stderr.decode(errors="replace")[-2000:]
