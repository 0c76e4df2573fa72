"""Interrupts of hostile user code, end to end against the development Business Layer:
an interrupt never leaves a lock of the logging module held by a reused worker, never
stalls the traced code of other threads while its target is blocked in C, ends the waits
the kernel owns (bridge requests, debugger pauses, the repr of a result) at once and
cleans up after them."""
import asyncio
import time

from vantrel_master.python_server.vantrel import messaging

from .conftest import kernel_session, run, sync_module

LOGGING = '''import logging

def log_once(tag):
    logging.getLogger("app.module").debug("cell %s", tag)
    logging.getLogger("app.other." + tag).info("cell %s", tag)
    return tag
'''


async def interrupt_when_running(s, rid):
    """Interrupts request `rid` once its user code runs; the reply that said so."""
    for _ in range(400):
        await s.send({"type": "interrupt_request", "request_id": rid})
        reply = await s.wait_for(lambda m: m["type"] == "interrupt_reply" and m["request_id"] == rid)
        if reply["interrupted"]:
            return reply
        await asyncio.sleep(0.005)
    raise AssertionError(f"{rid} never ran")


def test_interrupting_code_that_logs_leaves_no_logging_lock_held(module_name):
    async def main():
        async with kernel_session() as s:
            name = await sync_module(s, module_name(), LOGGING)
            for i in range(20):
                rid = f"logging-{i}"
                await s.start('import logging\nwhile True:\n    logging.getLogger("app.module").debug("x")', rid)
                await interrupt_when_running(s, rid)
                final = await s.final(rid)
                assert final["type"] == "execution_error" and final["error"]["type"] == "KeyboardInterrupt"
                # overlapping calls that log, on whichever workers they land: all of them answer
                call = {"type": "custom_function_call", "module_name": name, "function_name": "log_once",
                        "workbook_id": s.wb}
                for k in range(4):
                    await s.send({**call, "args": [f"{i}-{k}"], "request_id": f"log-{i}-{k}"})
                for k in range(4):
                    done = await s.wait_for(lambda m, k=k: m["type"] == "function_execution_result"
                                            and m["request_id"] == f"log-{i}-{k}", timeout=10)
                    assert (done["status"], done["result"]) == ("success", f"{i}-{k}")
    run(main(), timeout=240)


DEBUGGED = '''def work(n):
    total = 0
    for i in range(n):
        total += i
    return total
'''


def test_an_interrupted_run_blocked_in_c_stalls_no_debug_run(module_name):
    async def main():
        async with kernel_session() as s:
            name = await sync_module(s, module_name(), DEBUGGED)
            await s.start("import time\ntime.sleep(6)\nprint('woke')", "sleeper")
            await interrupt_when_running(s, "sleeper")
            # meanwhile traced code on other workers runs at its usual pace, and stops when told
            for i in range(3):
                started = time.monotonic()
                await s.send({"type": "run_module", "module_name": name, "function_name": "work", "args": [3000],
                              "debug": True, "workbook_id": s.wb, "request_id": f"debug-{i}",
                              "breakpoints": [{"module_name": name, "line": 5}]})
                stop = await s.wait_for(lambda m: m["type"] == "debug_stopped", timeout=20)
                assert stop["line"] == 5 and time.monotonic() - started < 2.0
                await s.send({"type": "debug_stop"})
                await s.wait_for(lambda m, i=i: m["type"] == "debug_terminated"
                                 and m.get("request_id") == f"debug-{i}", timeout=2.0)
            assert not s.of_request("sleeper", "execution_result", "execution_error")
            # the blocked run is interrupted once it is back in Python (at the latest as it ends)
            final = await s.final("sleeper", timeout=20)
            assert final["type"] == "execution_error" and final["error"]["type"] == "KeyboardInterrupt"
    run(main(), timeout=60)


BRIDGE = '''import vantrel

def read_cell():
    return vantrel.excel.get_value("Sheet1", "A1")
'''


def test_an_interrupt_ends_a_bridge_wait_at_once_and_nothing_of_it_stays(module_name):
    async def main():
        async with kernel_session(auto_answer=False) as s:
            name = await sync_module(s, module_name(), BRIDGE)
            requests = []
            for i in range(3):
                rid = f"bridge-{i}"
                await s.send({"type": "custom_function_call", "module_name": name, "function_name": "read_cell",
                              "workbook_id": s.wb, "request_id": rid})
                requests.append(await s.wait_for("sys_request"))
                await asyncio.sleep(0.3)  # the worker is waiting for the answer by now
                started = time.monotonic()
                await interrupt_when_running(s, rid)
                done = await s.wait_for(lambda m: m["type"] == "function_execution_result"
                                        and m["request_id"] == rid, timeout=20)
                assert time.monotonic() - started < 5.0  # the request's own timeout is 30 s
                assert done["status"] == "error" and done["error"].endswith("KeyboardInterrupt\n")
            assert s.kernel._response_futures == {}
            # late answers, and the unclaimed ones after them: the late ones are dropped first
            for request in requests:
                await s.send({"type": "sys_response", "payload": {"requestId": request["payload"]["requestId"],
                                                                  "value": "x" * 200_000}})
            for i in range(1030):
                await s.send({"type": "sys_response", "payload": {"requestId": f"never-asked-{i}"}})
            await s.mark()
            assert s.kernel._response_futures == {}
            data = s.kernel._response_data
            assert len(data) == 1024 and not any(r["payload"]["requestId"] in data for r in requests)
    run(main(), timeout=120)


SPINNING_REPR = '''import time

class Spins(int):
    def __repr__(self):
        end = time.monotonic() + 20
        while time.monotonic() < end:
            pass
        return "Spins()"

def value():
    return [Spins(7)]
'''


def test_the_repr_of_a_result_is_interrupted_as_the_request_is(module_name):
    async def main():
        async with kernel_session() as s:
            name = await sync_module(s, module_name(), SPINNING_REPR)
            await s.start(f"import {name}; {name}.value()", "console")
            await interrupt_when_running(s, "console")
            final = await s.final("console", timeout=10)
            assert final["type"] == "execution_error" and final["error"]["type"] == "KeyboardInterrupt"
            assert not s.of_request("console", "result_output")
            await s.send({"type": "custom_function_call", "module_name": name, "function_name": "value",
                          "workbook_id": s.wb, "request_id": "cell"})
            await interrupt_when_running(s, "cell")
            done = await s.wait_for(lambda m: m["type"] == "function_execution_result" and m["request_id"] == "cell",
                                    timeout=10)
            assert done["status"] == "error" and done["error"]["type"] == "KeyboardInterrupt"
            assert (await s.execute("1 + 1", "after"))["result"] == "2"
    run(main(), timeout=60)


def test_interrupting_a_paused_debug_run_ends_the_pause_and_keeps_the_next_evaluate(module_name):
    async def main():
        async with kernel_session() as s:
            name = await sync_module(s, module_name(), DEBUGGED)
            await s.send({"type": "run_module", "module_name": name, "function_name": "work", "args": [10],
                          "debug": True, "workbook_id": s.wb, "request_id": "paused",
                          "breakpoints": [{"module_name": name, "line": 5}]})
            await s.wait_for("debug_stopped")
            await s.send({"type": "interrupt_request", "request_id": "paused"})
            await s.send({"type": "debug_evaluate", "expression": "total", "request_id": "ev"})
            started = time.monotonic()
            reply = await s.wait_for("interrupt_reply")
            assert reply["interrupted"] is True
            evaluated = await s.wait_for(lambda m: m["type"] == "debug_evaluate_result" and m["request_id"] == "ev")
            assert time.monotonic() - started < 2.5  # not the debugger's 5 s evaluation timeout
            assert "error" in evaluated and "within" not in evaluated["error"]
            # the run ends where it was paused, without any further command
            reported = await s.wait_for("debug_exception")
            assert (reported["exception_type"], reported["line"]) == ("KeyboardInterrupt", 5)
            await s.wait_for(lambda m: m["type"] == "debug_terminated" and m.get("request_id") == "paused")
            assert not s.kernel.has_active_debugger
    run(main(), timeout=60)
