"""The shared test harness: a kernel connected to the development Business Layer and
seen from the peer (in this process, or as a process of its own started as the product
starts it), a fake WebSocket for method-level tests, the kernel's log records, and small
helpers. Suites import what they need from here; their conftest files only
add fixtures of their own area."""
import asyncio
import contextlib
import logging
import os
import subprocess
import sys
import uuid

import vantrel_master
from vantrel_master.devtools.business_layer import DevBusinessLayer
from vantrel_master.python_server import kernel as kmod

from tests.conftest import unique  # noqa: F401 - one counter for the whole run

KERNEL_LOGGER = "vantrel_master.python_server.kernel"
FINAL_TYPES = ("execution_result", "execution_error")
bridge = kmod.vantrel

def run(coro, timeout=30):
    """Runs one test's asynchronous body on a fresh event loop, bounded in time."""
    return asyncio.run(asyncio.wait_for(coro, timeout))


class KernelLog:
    """The kernel logger's records, as captured by caplog."""

    def __init__(self, caplog):
        self._caplog = caplog

    def records(self, level=None):
        return [r for r in self._caplog.records
                if r.name == KERNEL_LOGGER and (level is None or r.levelno == level)]

    def texts(self, level=None):
        return [r.getMessage() for r in self.records(level)]

    def pairs(self):
        return [(r.levelno, r.getMessage()) for r in self.records()]

    def clear(self):
        self._caplog.clear()


def capture_kernel_log(caplog):
    """caplog at DEBUG for the kernel logger (the logging companion's own handlers sit on
    sys.__stderr__ and do not keep caplog from seeing the records)."""
    caplog.set_level(logging.DEBUG, logger=KERNEL_LOGGER)
    return KernelLog(caplog)


class FakeWebSocket:
    """Stands in for the client connection in method-level tests: records every frame and
    yields to the loop inside each send, as a real socket write may."""

    def __init__(self):
        self.frames = []
        self.closed = False

    async def send(self, frame):
        await asyncio.sleep(0)
        self.frames.append(frame)

    async def close(self):
        self.closed = True


def wire_fake_socket(kernel):
    """Gives a kernel that never connected a fake socket and a socket lock (to be called
    on the loop that will run the sends)."""
    kernel.websocket = FakeWebSocket()
    kernel._socket_lock = asyncio.Lock()
    return kernel.websocket


class Session:
    """A kernel connected to a development Business Layer, seen from the peer."""

    def __init__(self, server, kernel, task, workbook_id):
        self.server = server
        self.kernel = kernel
        self.task = task
        self.wb = workbook_id
        self._seen = 0
        self.ready_at = 0  # messages received before the session was ready

    @property
    def workbook_id(self):
        return self.wb

    async def send(self, message):
        await self.server.send(self.wb, message)

    async def send_raw(self, frame):
        await self.server.send_raw(self.wb, frame)

    async def wait_for(self, match, timeout=10.0):
        """The peer's wait_for, failing early once the kernel's session is over."""
        waiter = asyncio.ensure_future(self.server.wait_for(self.wb, match, timeout))
        while not waiter.done() and self.kernel.running and not self.task.done():
            await asyncio.wait({waiter, self.task}, timeout=0.05, return_when=asyncio.FIRST_COMPLETED)
        if not waiter.done():
            # the session is over: what it sent before may still be on its way
            await asyncio.wait({waiter}, timeout=1.0)
        if not waiter.done():
            waiter.cancel()
            raise AssertionError("the kernel's session ended while the peer was waiting for a message")
        return waiter.result()

    async def reply(self, message, reply_type):
        """Sends an inline message and returns the next reply of `reply_type`."""
        await self.send(message)
        return await self.wait_for(reply_type)

    def messages(self):
        return self.server.messages(self.wb)

    def of_request(self, request_id, *types):
        """The messages of a request, in order (only those of `types` when given)."""
        return [m for m in self.messages() if m.get("request_id") == request_id and (not types or m["type"] in types)]

    def streamed(self, request_id, stream="stdout"):
        return "".join(m["content"] for m in self.of_request(request_id) if m["type"] == stream)

    def start(self, code, request_id, **fields):
        return self.send({"type": "execution_request", "code": code, "request_id": request_id, **fields})

    async def final(self, request_id, timeout=10):
        return await self.wait_for(
            lambda m: m.get("type") in FINAL_TYPES and m.get("request_id") == request_id, timeout)

    async def execute(self, code, request_id, **fields):
        """Sends an execution_request and returns its final message."""
        await self.start(code, request_id, **fields)
        return await self.final(request_id)

    async def mark(self):
        """A round trip through the receive loop: returns what the kernel sent since the
        previous mark (inline handlers reply before the next frame is read, so
        everything they send in answer to earlier frames is in the list)."""
        token = f"mark-{uuid.uuid4().hex}"
        await self.send({"type": "set_hover_mode", "mode": token})
        await self.wait_for(lambda m: m.get("type") == "hover_mode_updated" and m.get("mode") == token)
        received = self.messages()
        new = received[self._seen:]
        self._seen = len(received)
        return [m for m in new if m.get("mode") != token]

    async def ended(self, timeout=5.0):
        """Waits for run() to return (it must return normally)."""
        await asyncio.wait_for(asyncio.shield(self.task), timeout)


@contextlib.asynccontextmanager
async def kernel_session(workbook_id=None, *, server=None, connection_args=None, ready=True, **server_options):
    """Starts kernel.run() against a Business Layer (a new one unless given) and waits
    until the kernel listens; always disconnects the kernel afterwards. The caller sets
    VANTREL_SECURED (the suites' fixtures make it plain ws://)."""
    own_server = server is None
    if own_server:
        server = await DevBusinessLayer(**server_options).start()
    workbook_id = workbook_id or f"wb-{uuid.uuid4().hex[:8]}"
    kernel = kmod.PythonKernel(workbook_id, port=str(server.port), connection_args=connection_args)
    task = asyncio.create_task(kernel.run())
    session = Session(server, kernel, task, workbook_id)
    try:
        connected = asyncio.create_task(server.wait_connected(workbook_id))
        await asyncio.wait({connected, task}, return_when=asyncio.FIRST_COMPLETED)
        if not connected.done():
            connected.cancel()
            raise AssertionError("the kernel's session ended before it connected")
        connected.result()
        if ready:
            await session.mark()
            session.ready_at = len(session.messages())
        yield session
    finally:
        if not task.done():
            with contextlib.suppress(Exception):
                await kernel.disconnect()
            try:
                await asyncio.wait_for(asyncio.shield(task), 5)
            except Exception:
                task.cancel()
        if own_server:
            await server.stop()


SRC_DIR = os.path.dirname(os.path.dirname(os.path.abspath(vantrel_master.__file__)))
PROCESS_WAIT = 30  # a guard against hanging, never a measured duration


# The kernel process loads the kernel module the tests were given (VANTREL_KERNEL_MODULE,
# the sanitizer and clang builds), as tests/conftest.py does in the test process.
SANITIZED_KERNEL = """import importlib.util, os, sys
_path = os.environ.get("VANTREL_KERNEL_MODULE")
if _path:
    import vantrel_master.python_server
    _spec = importlib.util.spec_from_file_location("vantrel_master.python_server.kernel", _path)
    _module = importlib.util.module_from_spec(_spec)
    sys.modules[_spec.name] = _module
    _spec.loader.exec_module(_module)
    vantrel_master.python_server.kernel = _module
"""


class KernelProcess:
    """A kernel running as its own process, seen from the peer."""

    def __init__(self, server, workbook_id, stderr_path):
        self.server, self.wb, self.stderr_path = server, workbook_id, stderr_path

    async def execute(self, code, request_id):
        await self.server.send(self.wb, {"type": "execution_request", "code": code, "request_id": request_id})
        return await self.server.wait_for(
            self.wb, lambda m: m.get("type") in ("execution_result", "execution_error")
            and m.get("request_id") == request_id, PROCESS_WAIT)

    def stderr(self):
        with open(self.stderr_path, encoding="utf-8", errors="replace") as f:
            return f.read()


@contextlib.asynccontextmanager
async def kernel_process(scratch, prelude=""):
    """A kernel process started by a script that runs `prelude` (the application's own
    start-up) and then the launcher; shut down on the way out."""
    server = await DevBusinessLayer().start()
    wb = f"wb-{uuid.uuid4().hex[:8]}"
    script = os.path.join(str(scratch), "start_kernel.py")
    with open(script, "w", encoding="utf-8") as f:
        f.write(prelude + "\n" + SANITIZED_KERNEL + "from vantrel_master.devtools.launcher import main\n"
                f"main([{wb!r}, {str(server.port)!r}, '--plain'])\n")
    stderr_path = os.path.join(str(scratch), "kernel.stderr")
    env = {k: v for k, v in os.environ.items() if k not in ("VANTREL_SECURED", "VANTREL_LOG_FILE")}
    env["PYTHONPATH"] = SRC_DIR + os.pathsep + env.get("PYTHONPATH", "")
    with open(stderr_path, "wb") as err:
        process = subprocess.Popen([sys.executable, script], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=err, env=env)
    try:
        await server.wait_connected(wb, PROCESS_WAIT)
        yield KernelProcess(server, wb, stderr_path)
    finally:
        with contextlib.suppress(Exception):
            await server.send(wb, {"type": "shutdown"})
        for _ in range(100):
            if process.poll() is not None:
                break
            await asyncio.sleep(0.1)
        if process.poll() is None:
            process.kill()
        process.wait()
        await server.stop()
