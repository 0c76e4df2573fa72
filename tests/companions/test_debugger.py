"""Debug sessions of workbook code driven as the kernel drives them: the call runs under
the debugger on a worker thread, the commands come from the event-loop thread, and the
stops arrive as debug_stopped messages through the send_message coroutine."""
import asyncio
import concurrent.futures
import linecache
import sys
import threading
import types

import pytest

from vantrel_master.python_server.debugger import VantrelDebugger

from ..conftest import unique

TIMEOUT = 10.0


@pytest.fixture
def workbook():
    """Factory of workbook modules compiled under their virtual file names; ``line(marker)``
    finds the line ending in ``# marker``."""
    names = []

    def make(prefix, source):
        name = unique(prefix)
        names.append(name)
        filename = f"<virtual:{name}>"
        linecache.cache[filename] = (len(source), None, source.splitlines(True), filename)
        module = sys.modules[name] = types.ModuleType(name)
        exec(compile(source, filename, "exec"), module.__dict__)
        module.line = lambda marker: next(i for i, text in enumerate(source.splitlines(), 1)
                                          if text.endswith(f"# {marker}"))
        return module

    yield make
    for name in names:
        sys.modules.pop(name, None)
        linecache.cache.pop(f"<virtual:{name}>", None)


class Session:
    """One debugger set up as the kernel does it, with the stops it reported."""

    def __init__(self, pool, modules, breakpoints=(), step_mode=None):
        self.pool, self.stops = pool, asyncio.Queue()
        self.debugger = VantrelDebugger(self.stops.put, "wb-test")
        self.debugger.loop = asyncio.get_running_loop()
        self.debugger.step_mode = step_mode
        self.debugger.set_breakpoints(list(breakpoints))
        self.debugger.set_in_memory_modules([m.__name__ for m in modules])

    def start(self, func, *args):
        def on_worker():
            try:
                return self.debugger.runcall(func, *args)
            finally:
                self.trace_after = sys.gettrace()
        self.future = asyncio.get_running_loop().run_in_executor(self.pool, on_worker)
        return self

    async def stop(self, **expected):
        message = await asyncio.wait_for(self.stops.get(), TIMEOUT)
        assert message["type"] == "debug_stopped" and message["workbook_id"] == "wb-test"
        assert {key: message[key] for key in expected} == expected, message
        return message

    async def result(self):
        try:
            return await asyncio.wait_for(self.future, TIMEOUT)
        finally:
            assert self.trace_after is None and self.stops.empty()


def run(scenario):
    """Run a test coroutine with a one-thread pool; sessions left paused are stopped."""
    sessions = []

    async def main():
        with concurrent.futures.ThreadPoolExecutor(max_workers=1) as pool:
            try:
                await scenario(lambda *a, **k: sessions.append(Session(pool, *a, **k)) or sessions[-1])
            finally:
                for session in sessions:
                    session.debugger.stop_debugging()

    asyncio.run(main())


UTIL = "def weight(item):\n    heavier = item * 10  # weight\n    return heavier\n"

MAIN = """\
import json
import {util}

class Loud:
    def __repr__(self):
        raise RuntimeError("no repr")

def helper(x):
    y = x * 2  # helper
    return y + 1

def main(n):
    total, loud = 0, Loud()
    for i in range(n):  # loop
        total += helper(i)  # call
    text = json.dumps([total])  # library
    order = sorted([3, 1, 2], key={util}.weight)  # callback
    return total
"""


def test_breakpoints_stepping_and_evaluation(workbook):
    util = workbook("wb_util", UTIL)
    main = workbook("wb_main", MAIN.format(util=util.__name__))
    main_file = f"<virtual:{main.__name__}>"

    async def scenario(session):
        s = session([main, util], [{"module_name": main.__name__, "line": main.line("loop")}]).start(main.main, 2)
        stop = await s.stop(reason="breakpoint", module=main.__name__, file=main_file, line=main.line("loop"))
        variables = {v["name"]: v for v in stop["locals"]}
        assert variables["total"] == {"name": "total", "type": "int", "repr": "0"}
        assert variables["loud"]["repr"] == "<unrepresentable Loud>"
        assert stop["call_stack"] == [{"name": "main", "module": main.__name__, "file": main_file,
                                       "line": main.line("loop")}]
        assert s.debugger.evaluate_expression("n * 100 + total") == {"result": "200", "type": "int"}
        assert s.debugger.evaluate_expression("undefined_name")["error"].startswith("NameError")
        assert "error" in s.debugger.evaluate_expression("1 +")

        s.debugger.step_over()
        await s.stop(reason="step", line=main.line("call"))
        s.debugger.step_into()
        stop = await s.stop(reason="step", line=main.line("helper"))
        assert [(f["name"], f["line"]) for f in stop["call_stack"]] == [("main", main.line("call")),
                                                                         ("helper", main.line("helper"))]
        assert s.debugger.evaluate_expression("x") == {"result": "0", "type": "int"}
        s.debugger.step_out()  # back in main, on the loop line (which has the breakpoint)
        await s.stop(line=main.line("loop"))
        s.debugger.set_breakpoints([{"file": f"{main.__name__}.py", "line": main.line("library")}])
        s.debugger.continue_execution()
        s.debugger.continue_execution()  # a second command for the same stop is dropped
        await s.stop(reason="breakpoint", line=main.line("library"))
        s.debugger.step_into()  # json.dumps is library code: stepped over
        await s.stop(reason="step", line=main.line("callback"))
        s.debugger.step_into()  # workbook code called back by a library is stepped into
        stop = await s.stop(reason="step", module=util.__name__, line=util.line("weight"))
        assert [f["module"] for f in stop["call_stack"]] == [main.__name__, util.__name__]
        s.debugger.step_out()  # out to sorted(), which calls weight() for the next key
        await s.stop(reason="step", module=util.__name__, line=util.line("weight"))
        s.debugger.continue_execution()
        assert await s.result() == 4
        for command in (s.debugger.continue_execution, s.debugger.step_over, s.debugger.stop_debugging):
            command()  # after the run: ignored
        assert "error" in s.debugger.evaluate_expression("1")
        # a new session on the same worker thread starts clean: no breakpoints, no stops
        assert await session([main, util]).start(main.main, 3).result() == 9

    run(scenario)


LOOPS = """\
import time

class Abort(BaseException):
    pass

def spin(gate, log, fail=None):
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if gate.is_set():  # body
            gate.clear()
            if fail:
                raise fail
    log.append("ran out")
"""


def test_running_code_breakpoints_stops_and_exceptions(workbook):
    loops = workbook("wb_loops", LOOPS)
    body = [{"module": loops.__name__, "line": loops.line("body")}]

    async def started(s, *args):
        s.start(loops.spin, gate, log, *args)
        gate.set()
        while gate.is_set():  # the code runs, untouched by the debugger
            await asyncio.sleep(0.01)
        return s

    gate, log = threading.Event(), []

    async def scenario(session):
        s = await started(session([loops]))
        s.debugger.set_breakpoints(body)  # set while the code runs: takes effect
        await s.stop(reason="breakpoint", line=loops.line("body"))
        assert s.debugger.paused
        s.debugger.stop_debugging()
        s.debugger.stop_debugging()
        assert await s.result() is None  # the paused worker resumed and the run ended
        assert not s.debugger.paused and "error" in s.debugger.evaluate_expression("gate")

        s = await started(session([loops]))
        s.debugger.stop_debugging()  # nothing paused: the running code ends too
        assert await s.result() is None and log == []
        calls = []  # and a stopped session starts no other call
        assert s.debugger.runcall(calls.append, 1) is None and calls == []

        with pytest.raises(ValueError, match="bad value"):
            await (await started(session([loops]), ValueError("bad value"))).result()
        s = session([loops], body).start(loops.spin, gate, log, loops.Abort("not an Exception"))
        await s.stop(reason="breakpoint")
        s.debugger.set_breakpoints([])
        gate.set()
        s.debugger.continue_execution()
        with pytest.raises(loops.Abort, match="not an Exception"):
            await s.result()

    run(scenario)


GENERATOR = """\
def numbers(n):
    for i in range(n):  # gen loop
        yield i * i  # gen yield
    tail = "done"  # gen tail
"""


def test_entry_stop_in_a_driven_generator(workbook):
    gen = workbook("wb_gen", GENERATOR)

    def iteration_to_debug():
        values = list(gen.numbers(3))
        return values, len(values)

    async def scenario(session):
        s = session([gen], step_mode="entry")
        assert isinstance(s.debugger.runcall(gen.numbers, 3), types.GeneratorType) and s.stops.empty()
        s.start(iteration_to_debug)
        await s.stop(reason="entry", line=gen.line("gen loop"))
        s.debugger.step_over()
        await s.stop(reason="step", line=gen.line("gen yield"))
        s.debugger.step_over()  # the generator yields: the next stop is its next line
        await s.stop(reason="step", line=gen.line("gen loop"))
        s.debugger.step_out()  # until it has yielded again
        stop = await s.stop(reason="step", line=gen.line("gen loop"))
        assert {v["name"]: v["repr"] for v in stop["locals"]}["i"] == "1"
        s.debugger.set_breakpoints([{"module_name": gen.__name__, "line": gen.line("gen tail")}])
        s.debugger.continue_execution()
        await s.stop(reason="breakpoint", line=gen.line("gen tail"))
        s.debugger.continue_execution()
        assert await s.result() == ([0, 1, 4], 3)

    run(scenario)


def test_commands_without_a_paused_run_and_breakpoint_shapes(workbook):
    main = workbook("wb_cmd", "def f(a):\n    b = a + 1  # f body\n    return b\n")
    debugger = VantrelDebugger(lambda message: None, "wb")
    for command in (debugger.continue_execution, debugger.step_over, debugger.step_into, debugger.step_out):
        command()  # before any run: ignored, never raised
    assert debugger.evaluate_expression("1 + 1") == {"error": "No paused frame to evaluate in"}
    assert "error" in debugger.evaluate_expression(None)
    debugger.set_breakpoints([{"module_name": "book.main", "line": 4}, {"file": "<virtual:b>", "line": 9},
                              {"module": "book.main", "line": 2}, {"path": "c.py", "line": 1},
                              {"module": "book.main", "line": 0}, {"module": "x", "line": True}, "junk"])
    expected = {"<virtual:book.main>": [2, 4], "<virtual:b>": [9], "<virtual:c>": [1]}
    assert debugger.breakpoints == expected
    debugger.set_breakpoints("not breakpoints")  # ignored: the kernel calls this inline
    assert debugger.breakpoints == expected
    debugger.set_breakpoints({"book.main": [7, 3]})
    assert debugger.breakpoints == {"<virtual:book.main>": [3, 7]}
    # without an event loop a stop cannot be reported, so the run does not pause
    debugger.set_breakpoints([{"module_name": main.__name__, "line": main.line("f body")}])
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as pool:
        assert pool.submit(debugger.runcall, main.f, 1).result(TIMEOUT) == 2
