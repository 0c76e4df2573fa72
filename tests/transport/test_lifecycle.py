"""The end of a session (disconnect in every situation), the process entry main, and
the PythonKernel object itself."""
import asyncio
import inspect
import io
import logging
import socket
import sys

import pytest

from vantrel_master.devtools.business_layer import DevBusinessLayer
from vantrel_master.python_server.vantrel import old_com

from .conftest import bridge, kernel_session, kmod, run


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


# ---------------------------------------------------------------------------
# disconnect
# ---------------------------------------------------------------------------

def test_disconnect_puts_back_what_connect_changed(monkeypatch, klog):
    out, err = io.StringIO(), io.StringIO()
    monkeypatch.setattr(sys, "stdout", out)
    monkeypatch.setattr(sys, "stderr", err)

    async def main():
        async with kernel_session() as s:
            assert sys.stdout is not out and sys.stderr is not err
            print("while connected")
            await s.wait_for(lambda m: m.get("content") == "while connected")
            await s.send({"type": "shutdown"})
            await s.ended()
            await s.server.wait_disconnected(s.wb)
            assert sys.stdout is out and sys.stderr is err
            assert bridge._kernel_instance is None
            assert bridge.messaging.loop is None and bridge.messaging.loop_thread is None
            assert not bridge.messaging.is_connected()
            assert s.kernel.running is False
            assert s.kernel._thread_pool._shutdown
            await s.kernel.disconnect()  # once more: harmless
            assert sys.stdout is out and sys.stderr is err
            return s.wb

    wb = run(main())
    assert out.getvalue() == "while connected\n"  # the hook also wrote to the stream it replaced
    assert f"Kernel disconnected for workbook: {wb}" in klog.texts(logging.INFO)
    assert klog.texts(logging.ERROR) == []


def test_a_failed_connect_ends_the_run_normally_and_leaves_nothing_behind(klog):
    stdout, stderr = sys.stdout, sys.stderr

    async def main():
        kernel = kmod.PythonKernel("wb-refused", port=str(free_port()))
        assert await kernel.run() is None
        assert sys.stdout is stdout and sys.stderr is stderr
        assert bridge._kernel_instance is None and not bridge.messaging.is_connected()
        assert kernel.websocket is None and kernel._batcher is None and kernel.running is False
        await kernel.disconnect()

    run(main())
    errors = klog.texts(logging.ERROR)
    assert len(errors) == 1 and errors[0].startswith("Kernel error: ")
    assert "Kernel disconnected for workbook: wb-refused" in klog.texts(logging.INFO)


def test_the_peer_closing_ends_the_session():
    stdout = sys.stdout

    async def main():
        async with kernel_session() as s:
            await s.server.stop()
            await s.ended()
            assert s.kernel.running is False
            assert sys.stdout is stdout and bridge._kernel_instance is None

    run(main())


def test_a_failing_teardown_step_does_not_stop_the_others(klog):
    stdout, stderr = sys.stdout, sys.stderr
    stopped = []

    class BrokenWatcher:
        def stop(self):
            raise OSError("watcher stuck")

    class Registrar:
        def stop(self):
            stopped.append("registrar")

    class BrokenBatcher:
        async def stop(self):
            raise RuntimeError("stop failed")

    async def main():
        async with kernel_session() as s:
            await s.kernel._batcher.stop()
            s.kernel._batcher = BrokenBatcher()
            s.kernel._win32_watcher = BrokenWatcher()
            s.kernel._com_event_registrar = Registrar()
            await s.kernel.disconnect()
            assert sys.stdout is stdout and sys.stderr is stderr
            assert bridge._kernel_instance is None and not bridge.messaging.is_connected()
            await s.server.wait_disconnected(s.wb)
            await s.ended()
            assert s.kernel._thread_pool._shutdown
            assert s.kernel._com_event_registrar is None

    run(main())
    assert stopped == ["registrar"]
    errors = klog.texts(logging.ERROR)
    assert "[Kernel] Error during disconnect (win32 watcher): watcher stuck" in errors
    assert "[Kernel] Error during disconnect (batcher): stop failed" in errors


# ---------------------------------------------------------------------------
# main
# ---------------------------------------------------------------------------

def test_main_runs_a_kernel_session_on_this_platform():
    async def main():
        async with DevBusinessLayer() as server:
            session = asyncio.create_task(kmod.main("wb-main", str(server.port)))
            await server.wait_connected("wb-main")
            await server.send("wb-main", {"type": "set_hover_mode", "mode": "detailed"})
            await server.wait_for("wb-main", "hover_mode_updated")  # connect has finished
            kernel = bridge._kernel_instance
            assert isinstance(kernel, kmod.PythonKernel)
            assert (kernel.workbook_id, kernel.server_url) == ("wb-main", f"ws://127.0.0.1:{server.port}")
            assert kernel.connection_args == {}
            await server.send("wb-main", {"type": "shutdown"})
            assert await asyncio.wait_for(session, 5) is None

    run(main())
    # On Windows desktop main prepares the Excel COM host first (pywin32's CoInitialize on
    # the loop's thread); elsewhere it leaves COM alone.
    if sys.platform == "win32":
        assert old_com.host_state["vantrel_id"] == "wb-main"
        assert old_com.host_state["initialized"] or old_com.host_state["error"]
    else:
        assert old_com.host_state is None or old_com.host_state.get("vantrel_id") != "wb-main"


class RecordingKernel:
    events = []

    def __init__(self, *args, **kwargs):
        self.events.append(("kernel", args, kwargs))

    async def run(self):
        self.events.append("run")


@pytest.fixture
def entry(monkeypatch):
    """main with PythonKernel and init_excel_host recorded; the platform set only
    while main runs."""
    events = RecordingKernel.events = []
    monkeypatch.setattr(kmod, "PythonKernel", RecordingKernel)
    monkeypatch.setattr(old_com, "init_excel_host", lambda **kwargs: events.append(("init", kwargs)))

    def call(platform, *args):
        async def main():
            saved = sys.platform
            sys.platform = platform
            try:
                return await kmod.main(*args)
            finally:
                sys.platform = saved

        assert run(main()) is None
        return events

    return call


@pytest.mark.parametrize("args", [{}, None, {"platform": "win32"}, {"platform": "excel-desktop"}])
def test_main_prepares_the_com_host_on_windows_desktop(entry, args):
    assert entry("win32", "wb-win", "8123", args) == [
        ("init", {"vantrel_id": "wb-win"}),
        ("kernel", ("wb-win",), {"port": "8123", "connection_args": args}),
        "run",
    ]


@pytest.mark.parametrize("platform, args", [("win32", {"platform": "web"}), ("linux", {}), ("darwin", None)])
def test_main_skips_the_com_host_elsewhere(entry, platform, args):
    assert entry(platform, "wb-x", "8123", args) == [
        ("kernel", ("wb-x",), {"port": "8123", "connection_args": args}), "run"]


def test_main_goes_on_without_init_excel_host(entry, monkeypatch):
    monkeypatch.delattr(old_com, "init_excel_host")
    assert entry("win32", "wb-y", "1", {}) == [("kernel", ("wb-y",), {"port": "1", "connection_args": {}}), "run"]


def test_main_checks_its_arguments():
    with pytest.raises(TypeError, match=r"^Argument 'port' has incorrect type \(expected str, got int\)$"):
        kmod.main("wb", 8000)
    with pytest.raises(TypeError, match=r"^Argument 'connection_args' has incorrect type \(expected dict, got str\)$"):
        kmod.main("wb", "8000", "web")


# ---------------------------------------------------------------------------
# The PythonKernel object
# ---------------------------------------------------------------------------

class Name(str):
    pass


@pytest.mark.parametrize("args, kwargs, text", [
    ((5,), {}, "Argument 'workbook_id' has incorrect type (expected str, got int)"),
    ((None,), {}, "Argument 'workbook_id' has incorrect type (expected str, got NoneType)"),
    ((b"wb",), {}, "Argument 'workbook_id' has incorrect type (expected str, got bytes)"),
    ((Name("wb"),), {}, "Argument 'workbook_id' has incorrect type (expected str, got Name)"),
    (("wb",), {"host": None}, "Argument 'host' has incorrect type (expected str, got NoneType)"),
    (("wb",), {"port": 8000}, "Argument 'port' has incorrect type (expected str, got int)"),
    (("wb",), {"connection_args": []}, "Argument 'connection_args' has incorrect type (expected dict, got list)"),
])
def test_constructor_argument_types(args, kwargs, text):
    with pytest.raises(TypeError) as caught:
        kmod.PythonKernel(*args, **kwargs)
    assert str(caught.value) == text


def test_connection_args_are_kept_or_replaced_by_a_new_dict():
    given = {"platform": "web"}
    assert kmod.PythonKernel("wb", connection_args=given).connection_args is given
    empty = {}
    kernel = kmod.PythonKernel("wb", connection_args=empty)
    assert kernel.connection_args == {} and kernel.connection_args is not empty
    assert kmod.PythonKernel("wb").connection_args == {}


def test_has_active_debugger_is_a_property():
    assert isinstance(inspect.getattr_static(kmod.PythonKernel, "has_active_debugger"), property)
    kernel = kmod.PythonKernel("wb")
    assert not hasattr(kernel, "_debugger") and kernel.has_active_debugger is False
    kernel._debugger = object()
    assert kernel.has_active_debugger is True
    kernel._debugger = None
    assert kernel.has_active_debugger is False
    with pytest.raises(AttributeError):
        kernel.has_active_debugger = True


def test_kernels_share_the_one_loader_in_meta_path(klog):
    loader = kmod.in_memory_loader
    assert sys.meta_path.count(loader) == 1
    kmod.PythonKernel("wb-a")
    kmod.PythonKernel("wb-b")
    assert sys.meta_path.count(loader) == 1
    assert "[Kernel] Registered InMemoryModuleLoader in sys.meta_path" not in klog.texts(logging.DEBUG)
    sys.meta_path.remove(loader)  # put back by the next kernel, first in line
    kmod.PythonKernel("wb-c")
    assert sys.meta_path[0] is loader and sys.meta_path.count(loader) == 1
    assert "[Kernel] Registered InMemoryModuleLoader in sys.meta_path" in klog.texts(logging.DEBUG)
