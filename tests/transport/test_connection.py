"""Connecting: plain or TLS endpoint chosen by VANTREL_SECURED, the endpoint path, what
connect installs into the process, and the Windows COM start-up steps."""
import asyncio
import logging
import ssl
import sys
import threading

import pytest
import websockets

from vantrel_master.devtools.tls import make_throwaway_server_context
from vantrel_master.python_server import win32_event_manager

from .conftest import bridge, kernel_session, kmod, run


@pytest.fixture
def recorded_connect(monkeypatch):
    """websockets.connect replaced by a recorder that refuses the connection."""
    calls = []

    def connect(*args, **kwargs):
        calls.append((args, kwargs))

        async def refuse():
            raise ConnectionRefusedError("refused by the test")

        return refuse()

    monkeypatch.setattr(websockets, "connect", connect)
    return calls


@pytest.mark.parametrize("value", [None, "1", "true", "", "yes", "00"])
def test_secured_unless_the_variable_is_exactly_0(monkeypatch, recorded_connect, value):
    if value is None:
        monkeypatch.delenv("VANTREL_SECURED", raising=False)
    else:
        monkeypatch.setenv("VANTREL_SECURED", value)
    kernel = kmod.PythonKernel("wb-1")
    assert kernel.server_url == "wss://127.0.0.1:8000"
    run(kernel.run())
    [(args, kwargs)] = recorded_connect
    assert args == ("wss://127.0.0.1:8000/ws/kernel/wb-1",)
    assert list(kwargs) == ["ssl"]
    context = kwargs["ssl"]
    assert isinstance(context, ssl.SSLContext)
    assert context.check_hostname is False and context.verify_mode == ssl.CERT_NONE


def test_plain_when_the_variable_is_0(recorded_connect):
    kernel = kmod.PythonKernel("wb 2", host="localhost", port="9001")
    assert kernel.server_url == "ws://localhost:9001"
    run(kernel.run())
    assert recorded_connect == [(("ws://localhost:9001/ws/kernel/wb 2",), {"ssl": None})]


def test_the_variable_is_read_again_at_connect(monkeypatch, recorded_connect):
    kernel = kmod.PythonKernel("wb-3")
    monkeypatch.setenv("VANTREL_SECURED", "1")
    run(kernel.run())
    [(args, kwargs)] = recorded_connect
    assert args == ("ws://127.0.0.1:8000/ws/kernel/wb-3",)
    assert isinstance(kwargs["ssl"], ssl.SSLContext)


def test_secured_session_against_a_self_signed_certificate(monkeypatch):
    monkeypatch.delenv("VANTREL_SECURED")

    async def main():
        async with kernel_session("wb-tls", ssl_context=make_throwaway_server_context()) as s:
            assert s.kernel.server_url.startswith("wss://127.0.0.1:")
            assert s.server.connections["wb-tls"].request.path == "/ws/kernel/wb-tls"
            await s.send({"type": "debug_evaluate", "expression": "x", "request_id": "over-tls"})
            reply = await s.wait_for("debug_evaluate_result")
            assert reply["request_id"] == "over-tls"

    run(main())


def test_plain_session_and_its_endpoint_path():
    async def main():
        async with kernel_session("Book-1.xlsx") as s:
            assert s.kernel.server_url == f"ws://127.0.0.1:{s.server.port}"
            assert s.server.connections["Book-1.xlsx"].request.path == "/ws/kernel/Book-1.xlsx"

    run(main())


def test_connect_installs_the_kernel_into_the_process():
    async def main():
        async with kernel_session(connection_args={"platform": "web", "extra": 1}) as s:
            kernel = s.kernel
            assert kernel.running is True and kernel.websocket is not None
            assert kernel._loop is asyncio.get_running_loop()
            assert isinstance(kernel._socket_lock, asyncio.Lock)
            assert isinstance(kernel._batcher, kmod.MessageBatcher) and kernel._batcher._kernel is kernel
            assert bridge.messaging.loop is kernel._loop
            assert bridge.messaging.loop_thread is threading.current_thread()
            assert bridge.connection_args is kernel.connection_args == {"platform": "web", "extra": 1}
            assert bridge._kernel_instance is kernel
            assert bridge.messaging.is_connected()
            assert bridge.messaging.send_request_sync.__name__ == "new_send_request_sync"
            assert isinstance(sys.stdout, kmod.KernelStreamHook)
            assert isinstance(sys.stderr, kmod.KernelStreamHook)
            assert kernel._win32_watcher is None and kernel._com_event_registrar is None
            assert not any(m.get("type") == "win32_event_definitions" for m in s.messages())

    run(main())


def test_connect_needs_a_running_loop():
    kernel = kmod.PythonKernel("wb-no-loop")
    coroutine = kernel.connect()
    with pytest.raises(RuntimeError):
        coroutine.send(None)
    coroutine.close()


# ---------------------------------------------------------------------------
# Windows desktop COM start-up
# ---------------------------------------------------------------------------

def test_com_start_failure_is_a_warning_and_the_session_goes_on(monkeypatch, klog):
    # COM tools that cannot be had: on Windows the watcher asks for them and fails (as
    # where pywin32 is missing or Excel is not there); elsewhere it fails before, for want of COM.
    def no_com():
        raise RuntimeError("Excel COM access needs the pywin32 package: no module named 'pythoncom'")

    monkeypatch.setattr(bridge, "_get_win32", no_com)
    try:
        win32_event_manager.Win32ComWatcher(None).start(no_com)
    except RuntimeError as e:
        reason = str(e)

    async def main():
        async with kernel_session(connection_args={"platform": "win32"}) as s:
            first = s.messages()[0]
            assert first == {"type": "win32_event_definitions",
                             "definitions": win32_event_manager.get_win32_events_dictionary()}
            assert list(first) == ["type", "definitions"]
            assert isinstance(s.kernel._win32_watcher, kmod.Win32ComWatcher)  # set before start failed
            assert s.kernel._com_event_registrar is None
            await s.send({"type": "debug_evaluate", "request_id": "still-here"})
            await s.wait_for(lambda m: m.get("request_id") == "still-here")
        assert s.kernel._win32_watcher is None

    run(main())
    assert f"[Kernel] Could not start Win32 COM watcher: {reason}" in klog.texts(logging.WARNING)
    assert "[Kernel] Win32 COM watcher started" not in klog.texts(logging.INFO)


def test_com_companions_start_and_stop_with_the_session(monkeypatch, klog):
    events = []

    class Companion:
        def __init__(self, kernel):
            self.kernel = kernel
            events.append((type(self).__name__, "created", kernel))

        def start(self, tools):
            events.append((type(self).__name__, "start", tools))

        def stop(self):
            events.append((type(self).__name__, "stop"))

        def apply_config(self, config):
            events.append((type(self).__name__, "config", config))

    class Watcher(Companion):
        pass

    class Registrar(Companion):
        pass

    monkeypatch.setattr(kmod, "Win32ComWatcher", Watcher)
    monkeypatch.setattr(kmod, "Win32ComEventRegistrar", Registrar)

    async def main():
        async with kernel_session(connection_args={"platform": "win32"}) as s:
            kernel = s.kernel
            assert isinstance(kernel._win32_watcher, Watcher) and isinstance(kernel._com_event_registrar, Registrar)
            await s.send({"type": "com_event_config_update", "com_config": {"SheetChange": ["Sheet1"]}})
            await s.mark()
        assert kernel._win32_watcher is None and kernel._com_event_registrar is None
        return kernel

    kernel = run(main())
    tools = bridge._get_win32
    assert events == [("Watcher", "created", kernel), ("Watcher", "start", tools),
                      ("Registrar", "created", kernel), ("Registrar", "start", tools),
                      ("Registrar", "config", {"SheetChange": ["Sheet1"]}),
                      ("Watcher", "stop"), ("Registrar", "stop")]
    assert "[Kernel] Win32 COM watcher started" in klog.texts(logging.INFO)
