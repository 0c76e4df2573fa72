"""Fixtures of the transport tests: plain ws:// connections, the kernel's log records,
and a safety net that puts the process streams and the bridge back after every test.
The kernel session and the fake socket come from the shared harness."""
import sys

import pytest

from tests.harness import (FakeWebSocket, KernelLog, Session, bridge, capture_kernel_log,  # noqa: F401
                           kernel_session, kmod, run, wire_fake_socket)


@pytest.fixture(autouse=True)
def plain_connection_and_cleanup(monkeypatch):
    """Plain ws:// unless a test says otherwise; whatever a failing test leaves
    behind (the kernel's stream hooks, the bridge's connection state) is undone."""
    monkeypatch.setenv("VANTREL_SECURED", "0")
    stdout, stderr = sys.stdout, sys.stderr
    meta_path = list(sys.meta_path)
    yield
    sys.stdout, sys.stderr = stdout, stderr
    sys.meta_path[:] = meta_path
    if bridge._kernel_instance is not None or bridge.messaging.is_connected():
        bridge.messaging.reset()
        bridge._kernel_instance = None


@pytest.fixture
def klog(caplog):
    """The kernel logger's records, debug and above."""
    return capture_kernel_log(caplog)
