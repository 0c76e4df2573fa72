import datetime as dt
import enum
import importlib
import json
import math
import sys
import threading
import types

import pytest

from vantrel_master.python_server import vantrel
from vantrel_master.python_server.vantrel import Serializer, messaging


@pytest.fixture(autouse=True)
def fresh_bridge(monkeypatch):
    monkeypatch.setattr(vantrel, "_kernel_instance", None)
    monkeypatch.setattr(vantrel, "connection_args", None)
    messaging.reset()
    messaging.clear_callables()
    yield
    messaging.reset()
    messaging.clear_callables()


class FakeBusinessLayer:
    """Installed as messaging.send_request_sync: records requests, answers from a script."""

    def __init__(self, answer=lambda req: {"result": None}):
        self.requests = []
        self.timeouts = []
        self.answer = answer

    def __call__(self, req, timeout=30.0):
        self.requests.append(dict(req))
        self.timeouts.append(timeout)
        return {"requestId": "x", **self.answer(req)}


# -- module identity under the kernel's registration ----------------------------------------

def test_user_imports_reach_the_same_submodules_once_registered(monkeypatch):
    monkeypatch.setitem(sys.modules, "vantrel", vantrel)  # what the kernel does at import
    user = types.ModuleType("user_code")
    exec("import vantrel.messaging\nfrom vantrel.serializer import Serializer\n"
         "from vantrel import excel, context\nimport vantrel.old_com", user.__dict__)
    assert user.vantrel is vantrel
    assert user.vantrel.messaging is messaging
    assert user.Serializer is Serializer
    assert user.excel is vantrel.excel and user.context is vantrel.context
    assert importlib.import_module("vantrel.old_com") is vantrel.old_com
    # the kernel patches the attribute; user code sees the patch through its own import
    fake = FakeBusinessLayer()
    monkeypatch.setattr(vantrel.messaging, "send_request_sync", fake)
    assert importlib.import_module("vantrel.messaging").send_request_sync is fake


# -- messaging ---------------------------------------------------------------------------

def test_without_kernel_requests_fail_clearly():
    with pytest.raises(RuntimeError, match="not connected"):
        vantrel.excel.get_value("Sheet1", "A1")
    assert not messaging.is_connected()


def test_reset_restores_defaults_but_keeps_callables():
    func_id = messaging.register_callable(len)
    messaging.loop = object()
    messaging.loop_thread = threading.current_thread()
    messaging.send_request_sync = FakeBusinessLayer()
    assert messaging.is_connected()
    messaging.reset()
    assert messaging.loop is None and messaging.loop_thread is None
    with pytest.raises(RuntimeError, match="not connected"):
        messaging.send_request_sync({"action": "get_value"})
    assert messaging.get_callable(func_id) is len


def test_callable_registry():
    first = messaging.register_callable(print)
    assert first != messaging.register_callable(print)
    assert messaging.get_callable(first) is print
    messaging.register_callable(max, "button-1")
    messaging.register_callable(min, "button-1")  # same id replaces
    assert messaging.get_callable("button-1") is min
    assert messaging.unregister_callable(first) is True and messaging.unregister_callable(first) is False
    assert messaging.get_callable(first) is None and messaging.get_callable(["unhashable"]) is None
    with pytest.raises(TypeError):
        messaging.register_callable("not callable")


# -- excel and context ---------------------------------------------------------------------

def test_excel_requests_and_value_conversion(monkeypatch):
    when = dt.datetime(2024, 5, 1, 13, 45)
    fake = FakeBusinessLayer(lambda req: {"result": Serializer.to_wire(
        {"get_value": when, "get_range": [[1, when.date()]], "get_sheet_names": ["A", "B"]}.get(req["action"]))})
    # looked up at call time: installing after the excel object exists must work
    monkeypatch.setattr(messaging, "send_request_sync", fake)
    excel = vantrel.excel

    assert excel.get_value("Sheet1", "B2") == when
    assert excel.get_range("Sheet1", "A1:B1") == [[1, when.date()]]
    assert excel.get_sheet_names() == ["A", "B"]
    assert excel.set_value("Sheet1", "C3", when) is None
    excel.set_range("Sheet1", "A1", [(1, 2.5), ["x", None]])

    assert fake.requests[0] == {"action": "get_value", "sheet": "Sheet1", "address": "B2"}
    assert fake.requests[3] == {"action": "set_value", "sheet": "Sheet1", "address": "C3",
                                "value": {"__vantrel__": "datetime", "value": "2024-05-01T13:45:00"}}
    assert fake.requests[4]["values"] == [[1, 2.5], ["x", None]]
    for req in fake.requests:
        json.dumps(req, allow_nan=False)
    assert fake.timeouts == [30.0] * 5


def test_error_answers_raise_in_user_code(monkeypatch):
    answers = iter([{"error": "Unknown sheet: 'Nope'"}, {"error": {"message": "locked"}}])
    monkeypatch.setattr(messaging, "send_request_sync", FakeBusinessLayer(lambda req: next(answers)))
    with pytest.raises(vantrel.ExcelRequestError, match="get_value.*Unknown sheet") as info:
        vantrel.excel.get_value("Nope", "A1")
    assert info.value.action == "get_value"
    with pytest.raises(vantrel.ExcelRequestError, match="locked"):
        vantrel.excel.set_value("Sheet1", "A1", 1)


def test_context_reflects_the_connected_kernel(monkeypatch):
    assert vantrel.context.workbook_id is None and vantrel.context.platform is None
    monkeypatch.setattr(vantrel, "_kernel_instance", types.SimpleNamespace(workbook_id="wb-7"))
    monkeypatch.setattr(vantrel, "connection_args", {"platform": "web"})
    fake = FakeBusinessLayer(lambda req: {"result": "Data"})
    monkeypatch.setattr(messaging, "send_request_sync", fake)
    assert vantrel.context.workbook_id == "wb-7"
    assert vantrel.context.platform == "web"
    assert vantrel.context.active_sheet() == "Data"
    assert fake.requests == [{"action": "get_active_sheet"}]


# -- wire format ---------------------------------------------------------------------------

ROUND_TRIPS = [
    None, True, 0, 2**63 - 1, -(2**63), 2**80, -(2**70), 1.5, float("inf"), float("-inf"),
    "text ✓ \ud800", [1, [2, [3]]], {}, {"a": [1, {"b": None}]},
    dt.datetime(2024, 2, 29, 23, 59, 59, 123456),
    dt.datetime(2024, 1, 1, 8, 0, tzinfo=dt.timezone(dt.timedelta(hours=-5))),
    dt.date(1900, 1, 1), dt.time(13, 45, 0, 250000),
    {"__vantrel__": "datetime", "value": "not really"},  # user data that looks tagged
    {"name": "x", "value": 1},                             # user data that looks like a named argument
]


@pytest.mark.parametrize("value", ROUND_TRIPS, ids=repr)
def test_round_trip_through_json(value):
    wire = Serializer.to_wire(value)
    text = json.dumps(wire, allow_nan=False)
    back = Serializer.from_wire(json.loads(text))
    assert back == value and type(back) is type(value)


def test_wire_form_details():
    assert Serializer.to_wire((1, (2, 3))) == [1, [2, 3]]
    assert Serializer.to_wire(dt.date(2024, 5, 1)) == {"__vantrel__": "date", "value": "2024-05-01"}
    assert math.isnan(Serializer.from_wire(Serializer.to_wire(float("nan"))))
    wire = Serializer.to_wire([enum.IntEnum("Color", "RED").RED, True])  # subclasses go plain
    assert wire == [1, True] and type(wire[0]) is int and type(wire[1]) is bool
    # event handler arguments arrive as named arguments
    assert Serializer.from_wire({"name": "Target", "value": {"__vantrel__": "date", "value": "2024-01-02"}}) \
        == dt.date(2024, 1, 2)
    shared = [1, 2]
    assert Serializer.to_wire([shared, shared]) == [[1, 2], [1, 2]]


def test_values_that_cannot_travel():
    for value in [{1, 2}, object(), b"bytes", {1: "a"}, [dt.timedelta(1)]]:
        with pytest.raises(TypeError, match="wire value"):
            Serializer.to_wire(value)
    loop = [1]
    loop.append(loop)
    with pytest.raises(ValueError, match="contains itself"):
        Serializer.to_wire(loop)
    for wire in [{"__vantrel__": "complex", "value": "1j"}, {"__vantrel__": "date", "value": "yesterday"},
                 {"__vantrel__": "date"}, {"__vantrel__": "float", "value": "1.5"}]:
        with pytest.raises(ValueError):
            Serializer.from_wire(wire)
    with pytest.raises(TypeError):
        Serializer.from_wire((1, 2))


# -- Windows-only pieces -------------------------------------------------------------------

def test_get_win32_refuses_off_windows(monkeypatch):
    monkeypatch.setattr(sys, "platform", "linux")
    with pytest.raises(RuntimeError, match="only on Windows"):
        vantrel._get_win32()
    monkeypatch.setattr(sys, "platform", "win32")
    monkeypatch.setitem(sys.modules, "win32com", None)  # pywin32 missing
    with pytest.raises(RuntimeError, match="pywin32"):
        vantrel._get_win32()


def test_init_excel_host_never_fails(monkeypatch):
    monkeypatch.setattr(sys, "platform", "linux")
    state = vantrel.old_com.init_excel_host(vantrel_id="wb1")
    assert state["initialized"] is False and state["vantrel_id"] == "wb1"
    assert vantrel.old_com.host_state is state

    monkeypatch.setattr(sys, "platform", "win32")
    monkeypatch.setattr(vantrel, "_get_win32", lambda: (_ for _ in ()).throw(RuntimeError("no COM")))
    state = vantrel.old_com.init_excel_host(vantrel_id="wb2")
    assert state["initialized"] is False and "no COM" in state["error"]
