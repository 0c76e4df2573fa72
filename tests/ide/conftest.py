"""Fixtures of the IDE tests (runs, debug runs, editor services): plain connections and
the process streams put back after every test."""
import sys

import pytest

from tests.harness import kernel_session, run  # noqa: F401
from tests.invocation.conftest import of, sync_module  # noqa: F401


@pytest.fixture(autouse=True)
def plain_connection_and_streams(monkeypatch):
    monkeypatch.setenv("VANTREL_SECURED", "0")
    found = (sys.stdout, sys.stderr)
    yield
    sys.stdout, sys.stderr = found
