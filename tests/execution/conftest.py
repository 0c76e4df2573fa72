"""Fixtures of the execution environment's tests: the process-wide streams and import
path put back after every test, the kernel's log records, and a connected kernel served
by the development Business Layer for end-to-end runs (from the shared harness)."""
import os
import re
import sys

import pytest

from tests.harness import KernelLog, capture_kernel_log, kernel_session, run, unique  # noqa: F401


@pytest.fixture(autouse=True)
def standard_streams():
    """sys.stdout/sys.stderr as found, put back after the test whatever it did.
    Yields the pair found."""
    found = (sys.stdout, sys.stderr)
    yield found
    sys.stdout, sys.stderr = found


TEST_PACKAGE = re.compile(r"pkg[a-z]+_[0-9a-f]{8}_[0-9]+")


@pytest.fixture
def import_state(scratch_root):
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
        if TEST_PACKAGE.match(name) or (isinstance(file, str) and file.startswith(os.path.join(scratch_root, ""))):
            del sys.modules[name]


@pytest.fixture
def kernel_log(caplog):
    capture_kernel_log(caplog)
    return caplog


def kernel_messages(caplog, level=None):
    return KernelLog(caplog).texts(level)


@pytest.fixture
def connected_kernel(monkeypatch):
    """Factory of an async context manager yielding a connected Session; the kernel is
    disconnected on the way out, whatever happened."""
    monkeypatch.setenv("VANTREL_SECURED", "0")
    return kernel_session
