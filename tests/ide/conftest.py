"""Fixtures of the IDE tests (runs, debug runs, editor services): plain connections and
the process streams put back after every test."""
from tests.harness import kernel_session, run  # noqa: F401
from tests.invocation.conftest import plain_connection_and_streams, sync_module  # noqa: F401
