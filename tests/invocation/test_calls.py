"""Custom function calls, Python callables and event handlers, end to end against the
development Business Layer: the replies of each outcome, output kept apart when calls
overlap, Excel reached from a worker while the loop serves, COM responses."""
from .conftest import kernel_session, kmod, run, sync_module

SOURCE = '''
import sys, threading, time, vantrel
gate = threading.Barrier(10)

def add(a, b):
    print("adding", a, b)
    return a + b

def fails(x):
    print("before")
    raise ValueError(f"bad {x}")

def nothing():
    pass

def squares(n):
    for i in range(n):
        yield i * i

def chatty(tag):
    gate.wait(20)
    for k in range(30):
        print(tag, k)
        sys.stderr.write(f"{tag}-err {k}\\n")
        time.sleep(0.001)
    return tag

def read_cell():
    vantrel.excel.set_value("Sheet1", "B2", 7)
    return vantrel.excel.get_value("Sheet1", "B2") * 6

def quits():
    raise SystemExit(2)

def on_event(sheet, cell):
    print("changed", sheet, cell)
    return f"{sheet}!{cell}"

def event_fails():
    raise KeyError("handler")
'''

FINAL = ("function_execution_result",)


def test_custom_function_call_replies(module_name):
    async def main():
        async with kernel_session() as s:
            name = module_name()
            await sync_module(s, name, SOURCE)
            base = {"type": "custom_function_call", "module_name": name, "workbook_id": "wb-x"}
            await s.send({**base, "function_name": "add", "args": [2, {"name": "b", "value": 40}],
                          "request_id": "ok", "source": "ide"})
            await s.send({**base, "function_name": "fails", "args": [3], "request_id": "err"})
            await s.send({**base, "function_name": "squares", "args": [3], "request_id": "gen"})
            await s.send({**base, "function_name": "nothing", "request_id": "none"})
            await s.send({**base, "function_name": "missing", "request_id": "absent"})
            await s.send({"type": "custom_function_call", "function_name": "add", "request_id": "invalid"})
            await s.send({**base, "function_name": "quits", "request_id": "exit"})
            for rid in ("ok", "err", "gen", "none", "absent", "invalid", "exit"):
                await s.wait_for(lambda m, rid=rid: m["type"] in FINAL and m.get("request_id") == rid)

            ok = s.of_request("ok")
            assert [m["type"] for m in ok] == ["stdout"] * 6 + ["result_output", "execution_result",
                                                              "function_execution_result"]
            assert ok[-3]["content"] == "Out: 42\n" and ok[-3]["source"] == "ide"
            assert ok[-2] == {"type": "execution_result", "success": True, "result": 42, "logs": "adding 2 40\n",
                              "request_id": "ok", "module_name": name, "function_name": "add",
                              "workbook_id": "wb-x", "source": "ide"}
            assert ok[-1] == {"type": "function_execution_result", "request_id": "ok", "status": "success",
                              "result": 42, "logs": "adding 2 40\n"}

            err = s.of_request("err", "execution_error", "function_execution_result")
            assert [list(m) for m in err] == [
                ["type", "success", "error", "logs", "request_id", "module_name", "function_name", "workbook_id",
                 "source"],
                ["type", "request_id", "status", "result", "logs", "error"]]
            assert err[0]["error"].endswith("ValueError: bad 3\n") and err[0]["source"] == "addin"
            assert err[0]["logs"].startswith("before\nTraceback (most recent call last):")
            assert err[0]["logs"] == "".join(m["content"] for m in s.of_request("err", "stdout", "stderr"))
            assert err[1]["error"] == err[0]["error"] and err[1]["result"] is None

            gen = s.of_request("gen")
            assert gen[0]["content"].startswith("Out: <generator object squares at ")
            assert gen[1]["result"] == [0, 1, 4]
            assert [m["type"] for m in s.of_request("none")] == ["execution_result", "function_execution_result"]
            assert s.of_request("none")[0]["result"] is None
            assert f"AttributeError: Function 'missing' not found in module '{name}'" in s.of_request("absent", "execution_error")[0]["error"]
            invalid = s.of_request("invalid")
            assert invalid == [
                {"type": "execution_error", "success": False,
                 "error": {"type": "ValidationError", "message": "Missing module_name", "traceback": ""},
                 "request_id": "invalid", "module_name": "", "function_name": "add", "workbook_id": None,
                 "source": "addin"},
                {"type": "function_execution_result", "request_id": "invalid", "status": "error",
                 "error": {"type": "ValidationError", "message": "Missing module_name", "traceback": ""}}]
            assert s.of_request("exit", "execution_error")[0]["error"].endswith("SystemExit: 2\n")
            assert (await s.execute("'still serving'", "after"))["result"] == "'still serving'"

    run(main())


def test_ten_overlapping_calls_each_see_only_their_own_output(module_name):
    async def main():
        async with kernel_session() as s:
            name = module_name()
            await sync_module(s, name, SOURCE)
            for i in range(10):
                await s.send({"type": "custom_function_call", "module_name": name, "function_name": "chatty",
                              "args": [f"t{i}"], "request_id": f"c{i}"})
            finals = [await s.wait_for(lambda m, i=i: m["type"] == "function_execution_result"
                                       and m["request_id"] == f"c{i}", 30) for i in range(10)]
            for i, final in enumerate(finals):
                out = "".join(f"t{i} {k}\n" for k in range(30))
                err = "".join(f"t{i}-err {k}\n" for k in range(30))
                assert final["logs"] == out + err
                assert "".join(m["content"] for m in s.of_request(f"c{i}", "stdout")) == out
                assert "".join(m["content"] for m in s.of_request(f"c{i}", "stderr")) == err

    run(main(), timeout=60)


def test_a_call_waits_for_excel_while_the_loop_keeps_serving(module_name):
    async def main():
        async with kernel_session(auto_answer=False) as s:
            name = module_name()
            await sync_module(s, name, SOURCE)
            await s.send({"type": "custom_function_call", "module_name": name, "function_name": "read_cell",
                          "request_id": "cell"})
            first = await s.wait_for("sys_request")
            # The worker is blocked on Excel; the loop still runs other requests.
            assert (await s.execute("1 + 1", "meanwhile"))["result"] == "2"
            for request in (first, None):
                request = request or await s.wait_for("sys_request")
                answer = s.server.workbook(s.wb).handle(request["payload"])
                await s.send({"type": "sys_response", "payload": {"requestId": request["payload"]["requestId"],
                                                                  **answer}})
            final = await s.wait_for("function_execution_result")
            assert final["result"] == 42

    run(main())


def test_python_callable_replies():
    registry = kmod.vantrel.messaging

    def greet(who):
        print("greeting", who)
        return f"hello {who}"

    def counter():
        yield 1

    ids = {"greet": registry.register_callable(greet), "gen": registry.register_callable(counter),
           "exits": registry.register_callable(lambda: (_ for _ in ()).throw(KeyboardInterrupt()))}
    registry._callables["not-callable"] = 5  # a value registered by some other means

    async def main():
        async with kernel_session() as s:
            sends = [("g", ids["greet"], ["you"]), ("u", "unknown-id", []), ("n", "not-callable", []),
                     ("gen", ids["gen"], []), ("k", ids["exits"], []), ("v", "", [])]
            for rid, callable_id, args in sends:
                await s.send({"type": "python_function_call", "callable_id": callable_id, "args": args,
                              "request_id": rid, "workbook_id": "wb-y"})
            results = {rid: await s.wait_for(lambda m, rid=rid: m["type"] == "python_function_result"
                                             and m["request_id"] == rid) for rid, _, _ in sends}
            assert [m["type"] for m in s.of_request("g")] == ["stdout"] * 4 + ["result_output", "python_function_result"]
            assert s.of_request("g")[0]["source"] == "addin"
            assert s.of_request("g")[4] == {"type": "result_output", "content": "Out: 'hello you'\n", "request_id": "g",
                                     "workbook_id": "wb-y"}
            assert results["g"] == {"type": "python_function_result", "success": True, "result": "hello you",
                                    "logs": "greeting you\n", "request_id": "g", "workbook_id": "wb-y"}
            assert "ValueError: Callable 'unknown-id' not found in registry" in results["u"]["error"]
            assert "TypeError: Object with id 'not-callable' is not callable" in results["n"]["error"]
            assert results["u"]["logs"] == "" and results["n"]["logs"] == ""
            # A generator is handed to the converter as it is, which cannot convert it.
            assert "cannot convert a value of type generator" in results["gen"]["error"]
            assert results["gen"]["logs"].startswith("Traceback")
            assert results["k"]["error"].endswith("KeyboardInterrupt\n")
            assert results["v"] == {"type": "python_function_result", "success": False,
                                    "error": {"type": "ValidationError", "message": "Missing callable_id",
                                              "traceback": ""},
                                    "request_id": "v", "workbook_id": "wb-y"}

    try:
        run(main())
    finally:
        for callable_id in [*ids.values(), "not-callable"]:
            registry.unregister_callable(callable_id)


def test_event_handlers_and_com_responses(module_name):
    events = []

    class Registrar:
        def deliver_com_response(self, request_id, response):
            events.append(("com", request_id, response))
            if request_id == "flaky" and response["status"] == "ok":
                raise RuntimeError("COM gone")

        def stop(self):
            pass

    async def main():
        async with kernel_session() as s:
            name = module_name()
            await sync_module(s, name, SOURCE)
            real_send = s.kernel.send_message

            def recording_send(message):
                events.append(("sent", message.get("request_id"), message["type"]))
                return real_send(message)

            s.kernel.send_message = recording_send
            s.kernel._com_event_registrar = Registrar()
            base = {"type": "event_execution", "module_name": name, "is_com": True}
            await s.send({**base, "function_name": "on_event", "request_id": "ev",
                          "args": [{"name": "sheet", "value": "S1"}, {"name": "cell", "value": "A1"}],
                          "object_name": "Sheet1", "event_type": "Change", "object_type": "Worksheet"})
            await s.send({**base, "function_name": "event_fails", "request_id": "bad"})
            await s.send({**base, "function_name": "on_event", "request_id": "flaky", "args": ["a", "b"]})
            await s.send({"type": "event_execution", "module_name": name, "request_id": "nameless"})
            for rid in ("ev", "bad", "flaky"):
                await s.wait_for(lambda m, rid=rid: m["type"] == "event_execution_result" and m["request_id"] == rid)
            assert (await s.execute("0", "after"))["type"] == "execution_result"
            s.kernel._com_event_registrar = None

            ok = s.of_request("ev", "event_execution_result")[0]
            assert ok == {"type": "event_execution_result", "status": "success", "logs": "changed S1 A1\n",
                          "error": None, "request_id": "ev", "module_name": name, "function_name": "on_event",
                          "workbook_id": s.wb}
            bad = s.of_request("bad", "event_execution_result")[0]
            assert bad["status"] == "error" and bad["error"].endswith("KeyError: 'handler'\n")
            assert "Traceback (most recent call last)" in bad["logs"]
            assert s.of_request("nameless") == []
            com = {rid: [e[2] for e in events if e[:2] == ("com", rid)] for rid in ("ev", "bad", "flaky")}
            assert com == {"ev": [{"status": "ok", "return_value": "S1!A1"}], "bad": [{"status": "nok"}],
                           "flaky": [{"status": "ok", "return_value": "a!b"}, {"status": "nok"}]}
            for rid in ("ev", "bad", "flaky"):
                order = [e[0] for e in events if e[1] == rid and (e[0] == "com" or e[2] == "event_execution_result")]
                assert order[0] == "com" and order[-1] == "sent"

    run(main())
