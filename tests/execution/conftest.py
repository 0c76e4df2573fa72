"""Fixtures of the execution environment's tests: the kernel module, its log records,
scratch folders, workbook module names that are forgotten afterwards, the process-wide
streams and import path put back after every test, and a connected kernel served by
the development Business Layer for end-to-end runs."""
import asyncio
import contextlib
import itertools
import logging
import os
import re
import shutil
import sys
import tempfile
import uuid
from pathlib import Path

import pytest

from vantrel_master.devtools.business_layer import DevBusinessLayer
from vantrel_master.python_server import kernel as kmod

KERNEL_LOGGER = "vantrel_master.python_server.kernel"
SCRATCH_ROOT = "/tmp/exec-tests"
FINAL_TYPES = ("execution_result", "execution_error")

_counter = itertools.count()


def run(coro, timeout=30):
    """Runs one test's asynchronous body on a fresh event loop."""
    return asyncio.run(asyncio.wait_for(coro, timeout))


def unique(prefix):
    return f"{prefix}_{uuid.uuid4().hex[:8]}_{next(_counter)}"


@pytest.fixture(autouse=True)
def standard_streams():
    """sys.stdout/sys.stderr as found, put back after the test whatever it did.
    Yields the pair found."""
    found = (sys.stdout, sys.stderr)
    yield found
    sys.stdout, sys.stderr = found


TEST_PACKAGE = re.compile(r"pkg[a-z]+_[0-9a-f]{8}_[0-9]+")


@pytest.fixture
def import_state():
    """Puts sys.path back (same list object, same entries) and forgets the packages
    the test made (names from `unique("pkg...")`, or files under the scratch root).
    Other modules imported meanwhile stay: dropping them would make second copies."""
    path_object = sys.path
    entries = list(sys.path)
    yield
    path_object[:] = entries
    sys.path = path_object
    for name, module in list(sys.modules.items()):
        file = getattr(module, "__file__", None)
        if TEST_PACKAGE.match(name) or (isinstance(file, str) and file.startswith(SCRATCH_ROOT + "/")):
            del sys.modules[name]


@pytest.fixture
def kernel_log(caplog):
    caplog.set_level(logging.DEBUG, logger=KERNEL_LOGGER)
    return caplog


def kernel_messages(caplog, level=None):
    return [r.getMessage() for r in caplog.records
            if r.name == KERNEL_LOGGER and (level is None or r.levelno == level)]


@pytest.fixture
def scratch():
    os.makedirs(SCRATCH_ROOT, exist_ok=True)
    path = Path(tempfile.mkdtemp(dir=SCRATCH_ROOT))
    yield path
    shutil.rmtree(path, ignore_errors=True)


class Session:
    """A kernel connected to a development Business Layer."""

    def __init__(self, server, kernel, workbook_id):
        self.server = server
        self.kernel = kernel
        self.workbook_id = workbook_id

    async def send(self, message):
        await self.server.send(self.workbook_id, message)

    async def wait_for(self, match, timeout=10):
        return await self.server.wait_for(self.workbook_id, match, timeout)

    async def reply(self, message, reply_type):
        """Sends an inline message and returns the next reply of `reply_type`."""
        await self.send(message)
        return await self.wait_for(reply_type)

    def start(self, code, request_id, **fields):
        return self.send({"type": "execution_request", "code": code, "request_id": request_id, **fields})

    async def final(self, request_id, timeout=10):
        return await self.wait_for(
            lambda m: m.get("type") in FINAL_TYPES and m.get("request_id") == request_id, timeout)

    async def execute(self, code, request_id, **fields):
        """Sends an execution_request and returns its final message."""
        await self.start(code, request_id, **fields)
        return await self.final(request_id)

    def messages(self):
        return self.server.messages(self.workbook_id)

    def of_request(self, request_id):
        return [m for m in self.messages() if m.get("request_id") == request_id]

    def streamed(self, request_id, stream="stdout"):
        return "".join(m["content"] for m in self.of_request(request_id) if m["type"] == stream)


@pytest.fixture
def connected_kernel(monkeypatch):
    """Factory of an async context manager yielding a Session; the kernel is
    disconnected on the way out, whatever happened."""
    monkeypatch.setenv("VANTREL_SECURED", "0")

    @contextlib.asynccontextmanager
    async def open_session(workbook_id=None):
        workbook_id = workbook_id or unique("wb")
        async with DevBusinessLayer() as server:
            kernel = kmod.PythonKernel(workbook_id, port=str(server.port))
            running = asyncio.create_task(kernel.run())
            try:
                await server.wait_connected(workbook_id)
                session = Session(server, kernel, workbook_id)
                # one round trip: connect has finished once a request is answered
                ready = await session.execute("None", "__ready__")
                assert ready["type"] == "execution_result"
                yield session
            finally:
                await kernel.disconnect()
                await asyncio.wait_for(running, 10)

    return open_session
