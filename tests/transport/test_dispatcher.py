"""The dispatcher's inline control handlers, seen from the Business Layer: debugger
commands, hover mode, cancellation marks, COM configuration, the object registry,
messages nobody handles, and shutdown."""
import logging

import pytest

from .conftest import kernel_session, kmod, run


class FakeDebugger:
    def __init__(self, evaluation=None):
        self.calls = []
        self.evaluation = evaluation or {}

    def continue_execution(self):
        self.calls.append("continue")

    def step_over(self):
        self.calls.append("step_over")

    def step_into(self):
        self.calls.append("step_into")

    def step_out(self):
        self.calls.append("step_out")

    def stop_debugging(self):
        self.calls.append("stop")

    def evaluate_expression(self, expression):
        self.calls.append(("evaluate", expression))
        return dict(self.evaluation)

    def set_breakpoints(self, breakpoints):
        self.calls.append(("breakpoints", breakpoints))


class FakeRegistrar:
    def __init__(self):
        self.configs = []

    def apply_config(self, config):
        self.configs.append(config)

    def stop(self):
        pass


def test_debug_evaluate_without_a_debug_session():
    async def main():
        async with kernel_session() as s:
            await s.send({"type": "debug_evaluate", "expression": "x", "workbook_id": "someone-else"})
            await s.send({"type": "debug_evaluate", "request_id": "e2"})
            replies = await s.mark()
            assert replies == [
                {"type": "debug_evaluate_result", "workbook_id": s.wb, "request_id": None, "expression": "x",
                 "error": "No active debug session"},
                {"type": "debug_evaluate_result", "workbook_id": s.wb, "request_id": "e2", "expression": "",
                 "error": "No active debug session"},
            ]
            assert [list(r) for r in replies] == [["type", "workbook_id", "request_id", "expression", "error"]] * 2

    run(main())


def test_debugger_commands_reach_the_active_debugger():
    async def main():
        async with kernel_session() as s:
            debugger = FakeDebugger(evaluation={"result": "42", "expression": "as the debugger saw it"})
            s.kernel._debugger = debugger
            assert s.kernel.has_active_debugger
            await s.send({"type": "debug_evaluate", "expression": "6 * 7", "request_id": "e1"})
            reply = (await s.mark())[0]
            assert reply == {"type": "debug_evaluate_result", "workbook_id": s.wb, "request_id": "e1",
                             "expression": "as the debugger saw it", "result": "42"}
            assert list(reply) == ["type", "workbook_id", "request_id", "expression", "result"]

            await s.send({"type": "debug_continue"})
            assert await s.mark() == [{"type": "debug_resumed"}]
            for step in ("debug_step_over", "debug_step_into", "debug_step_out"):
                await s.send({"type": step})
            assert await s.mark() == []
            assert debugger.calls == [("evaluate", "6 * 7"), "continue", "step_over", "step_into", "step_out"]

            await s.send({"type": "debug_stop"})
            assert await s.mark() == [{"type": "debug_terminated", "workbook_id": s.wb}]
            assert s.kernel._debugger is None and not s.kernel.has_active_debugger
            await s.send({"type": "debug_stop"})
            await s.send({"type": "debug_continue"})
            await s.send({"type": "debug_step_over"})
            assert await s.mark() == []
            assert debugger.calls[-1] == "stop" and debugger.calls.count("stop") == 1

    run(main())


def test_breakpoint_updates(klog):
    async def main():
        async with kernel_session() as s:
            await s.send({"type": "debug_update_breakpoints", "breakpoints": [{"module_name": "m", "line": 3}]})
            assert await s.mark() == []
            debugger = FakeDebugger()
            s.kernel._debugger = debugger
            points = [{"module_name": "m", "line": 3}, {"module_name": "m", "line": 9}]
            await s.send({"type": "debug_update_breakpoints", "breakpoints": points})
            await s.send({"type": "debug_update_breakpoints", "breakpoints": {"m": [3]}})
            await s.send({"type": "debug_update_breakpoints"})
            assert await s.mark() == []
            assert debugger.calls == [("breakpoints", points), ("breakpoints", [])]

    run(main())
    assert "[Kernel] Received debug_update_breakpoints but no active debugger" in klog.texts(logging.WARNING)
    assert "[Kernel] Invalid breakpoints data type: <class 'dict'>" in klog.texts(logging.WARNING)
    updated = [t for t in klog.texts(logging.INFO) if t.startswith("[Kernel] Updated breakpoints")]
    assert updated == ["[Kernel] Updated breakpoints during debug session: 2 breakpoints",
                       "[Kernel] Updated breakpoints during debug session: 0 breakpoints"]


def test_hover_mode(klog):
    def hover_reply(mode):
        return lambda m: m.get("type") == "hover_mode_updated" and m.get("mode") == mode

    async def main():
        async with kernel_session() as s:
            await s.send({"type": "set_hover_mode", "mode": "detailed", "workbook_id": "someone-else"})
            assert await s.wait_for(hover_reply("detailed")) == {"type": "hover_mode_updated", "mode": "detailed",
                                                                  "workbook_id": s.wb}
            assert s.kernel._lsp_bridge.hover_mode == "detailed"
            await s.send({"type": "set_hover_mode"})
            reply = await s.wait_for(hover_reply("compact"))
            assert reply == {"type": "hover_mode_updated", "mode": "compact", "workbook_id": s.wb}
            assert list(reply) == ["type", "mode", "workbook_id"]
            assert s.kernel._lsp_bridge.hover_mode == "compact"

            lsp_bridge, s.kernel._lsp_bridge = s.kernel._lsp_bridge, None
            await s.send({"type": "set_hover_mode", "mode": "detailed"})
            await s.send({"type": "debug_evaluate", "request_id": "after"})
            await s.wait_for(lambda m: m.get("request_id") == "after")
            assert len([m for m in s.messages() if hover_reply("detailed")(m)]) == 1
            s.kernel._lsp_bridge = lsp_bridge

    run(main())
    assert "[Kernel] LSP Bridge not available for hover mode change" in klog.texts(logging.WARNING)


def test_cancel_streaming_function_marks_the_request_without_reply(klog):
    async def main():
        async with kernel_session() as s:
            await s.send({"type": "cancel_streaming_function", "request_id": "never-started"})
            await s.send({"type": "cancel_streaming_function"})
            assert await s.mark() == []
            assert s.kernel._canceled_streaming_requests == {"never-started", None}

    run(main())
    assert "[Kernel] Received cancel_streaming_function for request_id: never-started" in klog.texts(logging.INFO)


def test_cancel_streaming_function_with_an_id_of_the_wrong_type_is_answered_with_an_error(klog):
    async def main():
        async with kernel_session() as s:
            for bad in (["not", "hashable"], {"id": 1}, 7):
                await s.send({"type": "cancel_streaming_function", "request_id": bad})
                assert await s.mark() == [{"type": "error", "message": "Invalid cancel_streaming_function message: "
                                                                          "'request_id' must be a string"}]
            assert s.kernel._canceled_streaming_requests == set()
            assert s.kernel.running

    run(main())


def test_com_event_configuration_goes_to_the_registrar_when_there_is_one(klog):
    async def main():
        async with kernel_session() as s:
            await s.send({"type": "com_event_config_update", "com_config": {"SheetChange": True}})
            assert await s.mark() == []
            registrar = FakeRegistrar()
            s.kernel._com_event_registrar = registrar
            await s.send({"type": "com_event_config_update", "com_config": {"SheetChange": True}})
            await s.send({"type": "com_event_config_update"})
            assert await s.mark() == []
            assert registrar.configs == [{"SheetChange": True}, {}]

    run(main())
    assert klog.texts(logging.DEBUG).count("[Kernel] com_event_config_update received but registrar not active") == 1


@pytest.mark.parametrize("message", [{"type": "ping"}, {}, {"type": None}, {"type": 5}, {"type": "batch"},
                                     {"type": "SHUTDOWN"}])
def test_messages_nobody_handles_get_no_reply(message, klog):
    async def main():
        async with kernel_session() as s:
            await s.send(message)
            assert await s.mark() == []

    run(main())
    shown = message.get("type")
    assert f"[Kernel] [Listener Thread] Received message type: {shown}" in klog.texts(logging.DEBUG)


def test_object_registry_request():
    async def main():
        async with kernel_session() as s:
            await s.send({"type": "get_object_registry"})
            replies = await s.mark()
            assert replies == [{"type": "object_registry_response", "objects": [], "workbook_id": s.wb}]
            assert list(replies[0]) == ["type", "objects", "workbook_id"]

    run(main())


def test_execution_request_fields_that_cannot_be_handed_on_are_answered():
    async def main():
        async with kernel_session() as s:
            await s.send({"type": "execution_request", "code": 5, "request_id": "bad-code"})
            await s.send({"type": "execution_request", "code": "'no id'"})
            bad = await s.wait_for(lambda m: m.get("request_id") == "bad-code")
            assert (bad["type"], bad["success"], bad["source"]) == ("execution_error", False, "ide")
            assert bad["error"]["type"] == "TypeError"
            assert bad["error"]["message"] == "Argument 'code' has incorrect type (expected str, got int)"
            done = await s.wait_for("execution_result")
            assert done["request_id"] is None  # not "N/A"
            assert not s.task.done()

    run(main())


def test_shutdown_ends_the_session(klog):
    async def main():
        async with kernel_session() as s:
            await s.send({"type": "shutdown"})
            await s.ended()
            await s.server.wait_disconnected(s.wb)
            assert s.kernel.running is False

    run(main())
    assert klog.texts(logging.ERROR) == []
