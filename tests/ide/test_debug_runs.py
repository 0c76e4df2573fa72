"""IDE runs and debug runs end to end: a plain run answered as a cell call, a debug
session that stops, evaluates, steps and continues, a stop while paused, exceptions
reported at their workbook line, generators driven under the debugger."""
from .conftest import kernel_session, run, sync_module

SOURCE = '''def helper(x):
    doubled = x * 2
    return doubled + 1

def main(a):
    start = a + 1
    result = helper(start)
    print("result", result)
    return result

def failing():
    values = [1, 2]
    return values[5]

def numbers(n):
    for i in range(n):
        yield i * 3

def quits():
    raise SystemExit(4)
'''


def is_stop(m):
    return m.get("type") == "debug_stopped"


def test_debug_session_stops_evaluates_steps_and_continues(module_name):
    async def main():
        async with kernel_session() as s:
            name = module_name()
            await sync_module(s, name, SOURCE)
            run_module = {"type": "run_module", "module_name": name, "workbook_id": s.wb, "request_id": "dbg"}
            await s.send({**run_module, "function_name": "main", "args": [4], "debug": True,
                          "breakpoints": [{"module_name": name, "line": 7}]})
            stop = await s.wait_for(is_stop)
            assert (stop["module"], stop["line"], stop["reason"]) == (name, 7, "breakpoint")
            assert {"name": "start", "type": "int", "repr": "5"} in stop["locals"]
            assert s.kernel.has_active_debugger
            await s.send({"type": "debug_evaluate", "expression": "start * 10", "request_id": "ev"})
            evaluated = await s.wait_for("debug_evaluate_result")
            assert evaluated["request_id"] == "ev" and evaluated["expression"] == "start * 10"
            assert (evaluated["type"], evaluated["result"], evaluated["result_type"]) == ("debug_evaluate_result", "50", "int")
            await s.send({"type": "debug_step_into"})
            stop = await s.wait_for(is_stop)
            assert (stop["line"], stop["reason"]) == (2, "step")
            await s.send({"type": "debug_step_out"})
            stop = await s.wait_for(is_stop)
            assert (stop["line"], stop["reason"]) == (8, "step")  # the caller's next line
            await s.send({"type": "debug_continue"})
            await s.wait_for("debug_resumed")
            done = await s.wait_for(lambda m: m.get("type") == "debug_terminated" and m.get("request_id") == "dbg")
            assert done == {"type": "debug_terminated", "request_id": "dbg", "workbook_id": s.wb}
            mine = s.of_request("dbg")
            assert [m["content"] for m in mine if m["type"] == "stdout"] == ["result", " ", "11", "\n"]
            assert [m["content"] for m in mine if m["type"] == "result_output"] == ["Out: 11\n"]
            assert not s.kernel.has_active_debugger

            # A plain run is answered exactly as a cell call from the IDE.
            await s.send({**run_module, "function_name": "main", "args": [1], "request_id": "plain"})
            final = await s.wait_for("function_execution_result")
            assert final["result"] == 5 and s.of_request("plain", "execution_result")[0]["source"] == "ide"

    run(main())


def test_stop_while_paused_and_exceptions_at_their_line(module_name):
    async def main():
        async with kernel_session() as s:
            name = module_name()
            await sync_module(s, name, SOURCE)
            base = {"type": "run_module", "module_name": name, "workbook_id": s.wb, "debug": True}
            await s.send({**base, "function_name": "main", "args": [1], "request_id": "stopped",
                          "breakpoints": [{"module_name": name, "line": 2}]})
            await s.wait_for(is_stop)
            await s.send({"type": "debug_stop"})
            assert await s.wait_for("debug_terminated") == {"type": "debug_terminated", "workbook_id": s.wb}
            assert not s.kernel.has_active_debugger
            # The stopped run ends without a result and without an error.
            await s.mark()
            assert s.of_request("stopped", "execution_error") == []

            await s.send({**base, "function_name": "failing", "request_id": "fails"})
            raised = await s.wait_for("debug_exception")
            assert list(raised) == ["type", "workbook_id", "module", "line", "file", "exception_type",
                                    "exception_message", "exception_traceback", "locals", "globals", "call_stack"]
            assert (raised["module"], raised["line"], raised["file"]) == (name, 13, f"<virtual:{name}>")
            assert (raised["exception_type"], raised["exception_message"]) == ("IndexError", "list index out of range")
            await s.wait_for(lambda m: m.get("type") == "debug_terminated" and m.get("request_id") == "fails")

            await s.send({**base, "function_name": "absent", "request_id": "absent"})
            raised = await s.wait_for(lambda m: m.get("type") == "debug_exception" and m["exception_type"] == "AttributeError")
            assert raised["exception_message"] == f"Function 'absent' not found in module '{name}'"
            assert (raised["module"], raised["line"], raised["file"]) == (name, 1, "")

            await s.send({**base, "function_name": "quits", "request_id": "quits"})
            raised = await s.wait_for(lambda m: m.get("type") == "debug_exception" and m["exception_type"] == "SystemExit")
            assert raised["line"] == 20
            assert s.of_request("fails", "execution_error") + s.of_request("quits", "execution_error") == []

            await s.send({**base, "function_name": "numbers", "args": [2], "request_id": "gen"})
            await s.wait_for(lambda m: m.get("type") == "debug_terminated" and m.get("request_id") == "gen")
            lines = [m["content"] for m in s.of_request("gen", "result_output")]
            assert lines == ["Yield [1]: 0\n", "Yield [2]: 3\n", "Out: Generator completed with 2 yields\n"]

            await s.send({**base, "function_name": 5, "request_id": "badfield"})
            bad = await s.wait_for(lambda m: m.get("request_id") == "badfield")
            assert bad["type"] == "execution_error" and bad["error"]["type"] == "TypeError"
            assert "function_name" in bad["error"]["message"]
            assert (await s.execute("'alive'", "after"))["result"] == "'alive'"

    run(main())
