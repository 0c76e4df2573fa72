import json
import sys

import pytest

from vantrel_master.python_server.debugger import VantrelDebugger
from vantrel_master.python_server.lsp_bridge import LSPBridge
from vantrel_master.python_server.win32_event_manager import (
    Win32ComEventRegistrar,
    Win32ComWatcher,
    get_win32_events_dictionary,
)


def test_event_descriptions_are_json_and_fresh_copies():
    events = get_win32_events_dictionary()
    assert json.loads(json.dumps(events)) == events
    assert {"Open", "BeforeClose"} <= set(events["Workbook"]) and "Change" in events["Worksheet"]
    events["Workbook"].clear()
    assert get_win32_events_dictionary()["Workbook"]


@pytest.mark.parametrize("cls", [Win32ComWatcher, Win32ComEventRegistrar])
def test_com_companions_start_only_on_windows(monkeypatch, cls):
    companion = cls(kernel="kernel")
    monkeypatch.setattr(sys, "platform", "linux")
    with pytest.raises(RuntimeError, match="only on Windows"):
        companion.start(lambda: pytest.fail("tools asked for off Windows"))
    monkeypatch.setattr(sys, "platform", "win32")
    tools = object()
    companion.start(lambda: tools)
    assert companion.running and companion.win32 is tools
    companion.stop()
    companion.stop()
    assert not companion.running and companion.win32 is None


def test_registrar_config_and_responses(monkeypatch):
    registrar = Win32ComEventRegistrar(kernel=None)
    config = {"Worksheet": ["Change"]}
    registrar.apply_config(config)
    config["Worksheet"] = []  # later changes of the caller's dict do not leak in
    registrar.apply_config(["not", "a", "dict"])  # ignored: the kernel calls this inline
    assert registrar.config == {"Worksheet": ["Change"]}
    monkeypatch.setattr(registrar, "MAX_RESPONSES", 3)
    for i in range(5):
        registrar.deliver_com_response(f"r{i}", {"status": "ok", "return_value": i})
    assert list(registrar.responses) == ["r2", "r3", "r4"]
    assert registrar.get_response("r4") == {"status": "ok", "return_value": 4}


def test_lsp_bridge_never_raises_and_keeps_its_state():
    bridge = LSPBridge()
    cursor = dict(code="x.", line=1, column=2, path=None, modules={"m": ""}, dirty_files=None)
    for key, result in [("completions", bridge.get_completions(**cursor)),
                        ("signatures", bridge.get_signature_help(**cursor)),
                        ("contents", bridge.get_hover(**cursor)),
                        ("diagnostics", bridge.get_diagnostics(code="x = (", module_name="m"))]:
        assert key in result and "editor services" in result["error"]
    paths = ["/a", "/b", 3]
    bridge.update_sys_paths(paths)
    paths.append("/c")
    bridge.update_sys_paths(None)  # ignored, not raised
    assert bridge.sys_paths == ["/a", "/b"]
    bridge.set_hover_mode("detailed")
    assert bridge.hover_mode == "detailed"
    bridge.set_hover_mode("shouting")
    assert bridge.hover_mode == "compact"


async def _send(message):
    return None


def test_debugger_state_and_commands():
    debugger = VantrelDebugger(_send, "wb1")
    assert debugger.loop is None and debugger.step_mode is None
    debugger.set_breakpoints([{"module_name": "book.main", "line": 4}, {"file": "<virtual:b>", "line": 9},
                              {"module": "book.main", "line": 2}, {"module": "book.main", "line": 4},
                              {"module": "book.main", "line": 0}, "junk"])
    assert debugger.breakpoints == {"book.main": [2, 4], "<virtual:b>": [9]}
    debugger.set_breakpoints("not breakpoints")  # ignored: the kernel calls this inline
    assert debugger.breakpoints == {"book.main": [2, 4], "<virtual:b>": [9]}
    with pytest.raises(NotImplementedError, match="debugger"):
        debugger.runcall(len, [1])
    # the kernel sends these inline on its loop: they must never raise
    debugger.step_into()
    assert debugger.step_mode == "into"
    debugger.stop_debugging()
    assert debugger.stopped and "error" in debugger.evaluate_expression("1 + 1")
