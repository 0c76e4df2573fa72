"""Streaming generator functions (values one by one, cancellation, the module-sync wait)
and the object keeper with the add-in UI requests, end to end."""
import logging

import pytest

from .conftest import kernel_session, kmod, run, sync_module

SOURCE = '''
import threading
release = threading.Event()

def counted(n):
    for i in range(n):
        print("value", i)
        yield {"i": i}

def held():
    for i in range(100):
        if i == 3:
            release.wait(20)
        yield i

def plain():
    return [1, 2]

def breaks():
    yield 1
    raise RuntimeError("broken stream")
'''


def test_streams_send_each_value_and_honour_a_cancel(module_name):
    async def main():
        async with kernel_session() as s:
            name = module_name()
            await sync_module(s, name, SOURCE)
            base = {"type": "execute_streaming_function", "module_name": name, "workbook_id": "wb-args",
                    "source": "ide"}
            await s.send({**base, "function_name": "counted", "args": [12], "request_id": "all"})
            await s.send({**base, "function_name": "plain", "request_id": "plain"})
            await s.send({**base, "function_name": "breaks", "request_id": "breaks"})
            await s.send({**base, "function_name": "held", "request_id": "held"})
            await s.send({"type": "execute_streaming_function", "function_name": "counted", "request_id": "bad"})
            for rid in ("all", "plain", "breaks"):
                await s.wait_for(lambda m, rid=rid: m.get("request_id") == rid and m.get("done"))
            # Cancel after the third value: the fourth is produced but not sent.
            for k in range(3):
                await s.wait_for(lambda m, k=k: m.get("request_id") == "held" and m.get("result") == k)
            await s.send({"type": "cancel_streaming_function", "request_id": "held"})
            await s.mark()
            s.kernel.executor.execute(f"import {name}; {name}.release.set()")
            canceled = await s.wait_for(lambda m: m.get("request_id") == "held" and m.get("done"))

            values = [m for m in s.of_request("all", "streaming_function_result")]
            assert values[:2] == [
                {"type": "streaming_function_result", "request_id": "all", "result": {"i": 0}, "done": False,
                 "workbook_id": s.wb},
                {"type": "streaming_function_result", "request_id": "all", "result": {"i": 1}, "done": False,
                 "workbook_id": s.wb}]
            assert [m.get("result") for m in values] == [{"i": i} for i in range(12)] + [None]
            assert values[-1] == {"type": "streaming_function_result", "request_id": "all", "done": True,
                                  "workbook_id": s.wb}
            printed = s.of_request("all", "stdout")
            assert printed[0] == {"type": "stdout", "content": "value", "request_id": "all",
                                  "workbook_id": "wb-args", "source": "ide"}
            assert s.of_request("plain") == [{"type": "streaming_function_result", "request_id": "plain",
                                       "error": "Function plain is not a generator function", "done": True,
                                       "workbook_id": s.wb}]
            broken = s.of_request("breaks", "streaming_function_result")
            assert [m.get("result") for m in broken] == [1, None] and broken[-1]["error"] == "broken stream"
            assert "RuntimeError: broken stream" in "".join(m["content"] for m in s.of_request("breaks", "stderr"))
            assert canceled == {"type": "streaming_function_result", "request_id": "held", "result": "Canceled",
                                "done": True, "workbook_id": s.wb}
            held = s.of_request("held", "streaming_function_result")
            assert [m["result"] for m in held] == [0, 1, 2, "Canceled"]
            assert "held" not in s.kernel._canceled_streaming_requests
            assert s.of_request("bad")[0]["error"] == "Argument 'module_name' has incorrect type (expected str, got NoneType)"

    run(main())


def test_a_stream_waits_for_its_module_to_be_synced(module_name, caplog):
    caplog.set_level(logging.DEBUG, logger="vantrel_master.python_server.kernel")

    async def main():
        async with kernel_session() as s:
            late, never = module_name(), module_name()
            await s.send({"type": "execute_streaming_function", "module_name": late, "function_name": "counted",
                          "args": [2], "request_id": "late"})
            asked = await s.wait_for("request_module_sync")
            assert asked == {"type": "request_module_sync", "module_name": late, "workbook_id": s.wb}
            await sync_module(s, late, SOURCE)
            done = await s.wait_for(lambda m: m.get("request_id") == "late" and m.get("done"))
            assert done == {"type": "streaming_function_result", "request_id": "late", "done": True,
                            "workbook_id": s.wb}
            await s.send({"type": "execute_streaming_function", "module_name": never, "function_name": "f",
                          "request_id": "never"})
            failed = await s.wait_for(lambda m: m.get("request_id") == "never" and m.get("done"), timeout=15)
            assert failed["error"] == f"Module '{never}' not found after sync attempt"

    run(main(), timeout=40)
    texts = [r.getMessage() for r in caplog.records if r.name == "vantrel_master.python_server.kernel"]
    assert any(t.startswith("[TIMING] Streaming completed: request_id=late, elapsed=") and t.endswith("results=2")
               for t in texts)


def test_object_keeper_and_ui_requests():
    class Talkative:
        """A repr that reads the keeper back (which holds a non-reentrant lock)."""

        def __init__(self, kernel):
            self.kernel = kernel

        def __repr__(self):
            return f"<talkative, a={self.kernel.get_object('a')!r}>"

    async def main():
        async with kernel_session() as s:
            k = s.kernel
            code = ("k = vantrel._kernel_instance\n"
                    "k.save_object('a', [1, 2])\n"
                    "k.save_object('t', Talkative(k))\n"
                    "k.save_object('a', {'x': 1})\n"
                    "k.clear_object('missing')\n"
                    "k.set_enable_events(0)\n"
                    "k.show_message_box('Hi')\n"
                    "k.show_message_box('Careful', title='T', type='Warning')\n")
            k.executor.locals["Talkative"] = Talkative
            assert (await s.execute(code, "keep"))["type"] == "execution_result"
            final = await s.execute("k.get_object('a'), k.get_object('missing')", "get")
            assert final["result"] == "({'x': 1}, None)"
            await s.send({"type": "get_object_registry"})
            registry = await s.wait_for("object_registry_response")
            assert registry == {"type": "object_registry_response", "objects": [
                {"key": "a", "type": "dict", "repr": "{'x': 1}"},
                {"key": "t", "type": "Talkative", "repr": "<talkative, a={'x': 1}>"}], "workbook_id": s.wb}
            k.clear_all_objects()
            updates = [m for m in s.messages() if m["type"] in ("object_registry_update", "set_enable_events",
                                                                 "show_message_box")]
            while len(updates) < 8:
                await s.wait_for(lambda m: m["type"] == "object_registry_update" and m["action"] == "clear_all")
                updates = [m for m in s.messages() if m["type"] in ("object_registry_update", "set_enable_events",
                                                                     "show_message_box")]
            assert updates == [
                {"type": "object_registry_update", "action": "update", "key": "a", "object_type": "list",
                 "repr": "[1, 2]", "workbook_id": s.wb},
                {"type": "object_registry_update", "action": "update", "key": "t", "object_type": "Talkative",
                 "repr": "<talkative, a=[1, 2]>", "workbook_id": s.wb},
                {"type": "object_registry_update", "action": "update", "key": "a", "object_type": "dict",
                 "repr": "{'x': 1}", "workbook_id": s.wb},
                {"type": "object_registry_update", "action": "delete", "key": "missing", "workbook_id": s.wb},
                {"type": "set_enable_events", "enable": False, "workbook_id": s.wb},
                {"type": "show_message_box", "message": "Hi", "title": "Vantrel", "msg_type": "Info",
                 "workbook_id": s.wb},
                {"type": "show_message_box", "message": "Careful", "title": "T", "msg_type": "Warning",
                 "workbook_id": s.wb},
                {"type": "object_registry_update", "action": "clear_all", "workbook_id": s.wb}]
            assert k.get_object_registry() == []

    run(main())
    kernel = kmod.PythonKernel("wb-unconnected")
    try:
        with pytest.raises(ValueError, match="^ObjectKeeper key must be a non-empty string$"):
            kernel.save_object("", 1)
        with pytest.raises(AttributeError):  # stored, but there is no loop to announce it on
            kernel.save_object("k", 1)
        assert kernel.get_object("k") == 1
    finally:
        kernel._thread_pool.shutdown(wait=False)
