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


# -- COM events ------------------------------------------------------------------------------

def test_event_descriptions_are_json_and_fresh_copies():
    events = get_win32_events_dictionary()
    assert json.loads(json.dumps(events)) == events
    assert {"Open", "BeforeClose"} <= set(events["Workbook"])
    assert {"Change", "SelectionChange"} <= set(events["Worksheet"])
    events["Workbook"].clear()
    assert get_win32_events_dictionary()["Workbook"]


@pytest.mark.parametrize("cls", [Win32ComWatcher, Win32ComEventRegistrar])
def test_com_companions_start_only_on_windows(monkeypatch, cls):
    tools = object()
    companion = cls(kernel="kernel")
    monkeypatch.setattr(sys, "platform", "linux")
    with pytest.raises(RuntimeError, match="only on Windows"):
        companion.start(lambda: pytest.fail("tools asked for off Windows"))
    assert not companion.running
    monkeypatch.setattr(sys, "platform", "win32")
    companion.start(lambda: tools)
    assert companion.running and companion.win32 is tools
    companion.stop()
    companion.stop()
    assert not companion.running and companion.win32 is None


def test_registrar_config_and_responses(monkeypatch):
    registrar = Win32ComEventRegistrar(kernel=None)
    config = {"Worksheet": ["Change"]}
    registrar.apply_config(config)
    config["Worksheet"] = []  # the caller's dict changing later does not reach the registrar
    assert registrar.config == {"Worksheet": ["Change"]}
    registrar.apply_config(["not", "a", "dict"])
    assert registrar.config == {"Worksheet": ["Change"]}

    monkeypatch.setattr(registrar, "MAX_RESPONSES", 3)
    for i in range(5):
        registrar.deliver_com_response(f"r{i}", {"status": "ok", "return_value": i})
    assert list(registrar.responses) == ["r2", "r3", "r4"]
    assert registrar.get_response("r4") == {"status": "ok", "return_value": 4}
    assert registrar.get_response("r0") is None


# -- language services ------------------------------------------------------------------------

def test_lsp_analysis_answers_with_error_instead_of_raising():
    bridge = LSPBridge()
    cursor = dict(code="x = 1\nx.", line=2, column=2, path=None, modules={"m": ""}, dirty_files=None)
    results = {
        "completions": bridge.get_completions(**cursor),
        "signatures": bridge.get_signature_help(**cursor),
        "contents": bridge.get_hover(**cursor),
        "diagnostics": bridge.get_diagnostics(code="x = (", module_name="m"),
    }
    for key, result in results.items():
        assert key in result and "editor services" in result["error"]
        json.dumps(result)
    assert results["signatures"]["activeSignature"] == 0


def test_lsp_state_methods():
    bridge = LSPBridge()
    paths = ["/a", "/b", 3]
    bridge.update_sys_paths(paths)
    paths.append("/c")
    bridge.update_sys_paths(None)  # ignored, not raised: the kernel calls this inline
    assert bridge.sys_paths == ["/a", "/b"]
    bridge.delete_module("book.utils")
    assert "book.utils" in bridge.deleted_modules
    bridge.set_hover_mode("detailed")
    assert bridge.hover_mode == "detailed"
    bridge.set_hover_mode("shouting")
    assert bridge.hover_mode == "compact"


# -- debugger ---------------------------------------------------------------------------------

async def _send(message):
    return None


def test_debugger_set_up_state():
    debugger = VantrelDebugger(_send, "wb1")
    assert debugger.loop is None and debugger.step_mode is None and debugger.workbook_id == "wb1"
    debugger.set_breakpoints([
        {"module_name": "book.main", "line": 4},
        {"file": "<virtual:book.main>", "line": 9},
        {"module": "book.main", "line": 2},
        {"module": "book.main", "line": 4},
        {"module": "book.main", "line": 0},
        "junk",
    ])
    assert debugger.breakpoints == {"book.main": [2, 4], "<virtual:book.main>": [9]}
    debugger.set_breakpoints({"book.other": [5, 1]})
    assert debugger.breakpoints == {"book.other": [1, 5]}
    debugger.set_breakpoints("not breakpoints")  # ignored: the kernel calls this inline
    assert debugger.breakpoints == {"book.other": [1, 5]}
    debugger.set_in_memory_modules(["book.main", "book.other"])
    assert debugger.in_memory_modules == ["book.main", "book.other"]


def test_debugger_run_is_not_built_and_commands_never_raise():
    debugger = VantrelDebugger(_send, "wb1")
    with pytest.raises(NotImplementedError, match="debugger"):
        debugger.runcall(len, [1])
    for command, mode in [(debugger.continue_execution, "continue"), (debugger.step_over, "over"),
                          (debugger.step_into, "into"), (debugger.step_out, "out")]:
        command()
        assert debugger.step_mode == mode
    debugger.stop_debugging()
    assert debugger.stopped
    result = debugger.evaluate_expression("1 + 1")
    assert "error" in result and dict(result)
