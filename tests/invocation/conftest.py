"""Fixtures of the function-invocation tests: a connected kernel with a workbook module
synced, and the streams put back after every test."""
import sys

import pytest

from tests.harness import kernel_session, kmod, run, unique  # noqa: F401


@pytest.fixture(autouse=True)
def plain_connection_and_streams(monkeypatch):
    monkeypatch.setenv("VANTREL_SECURED", "0")
    found = (sys.stdout, sys.stderr)
    yield
    sys.stdout, sys.stderr = found


async def sync_module(session, name, source):
    """Sends `source` as workbook module `name` (from the module_name fixture, so that it
    is forgotten afterwards) and waits for its acknowledgement."""
    await session.send({"type": "update_module", "module_name": name, "code": source})
    await session.wait_for(lambda m: m.get("type") == "module_updated" and m.get("module_name") == name)
    return name
