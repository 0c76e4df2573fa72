import json
import sys

import pytest

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
