"""Shared fixtures of the kernel module's tests: the module itself, unique workbook
module names that are forgotten again after each test, the kernel's log records and
fresh interpreters for what only happens once per process."""
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import vantrel_master
from vantrel_master.python_server import kernel as _kernel

from tests.harness import KernelLog, capture_kernel_log

KERNEL_NAME = "vantrel_master.python_server.kernel"
SRC_DIR = str(Path(vantrel_master.__file__).resolve().parent.parent)

@pytest.fixture
def kernel():
    return _kernel


@pytest.fixture
def loader():
    return _kernel.in_memory_loader


@pytest.fixture
def new_name(module_name):
    """Factory of module names never used before in this process (cleaned up afterwards)."""
    return module_name


@pytest.fixture
def kernel_log(caplog):
    """caplog capturing the kernel logger's records at DEBUG and above."""
    capture_kernel_log(caplog)
    return caplog


def kernel_records(caplog):
    return KernelLog(caplog).pairs()


@pytest.fixture
def run_python(scratch):
    """Runs `code` in a fresh interpreter with the package importable; the script
    reports through `report(obj)` (one JSON document on stdout). Returns
    (returncode, report or None, stderr)."""

    def run(code, *, args=(), extra_path=(), env=None, timeout=60):
        prelude = (
            "import json as _json, sys as _sys\n"
            "def report(obj):\n"
            "    _sys.stdout.write('@@REPORT@@' + _json.dumps(obj) + '\\n')\n"
            "    _sys.stdout.flush()\n"
        )
        base = {k: v for k, v in os.environ.items()
                if k not in ("PYTHONWARNINGS", "VANTREL_LOG_LEVEL", "VANTREL_LOG_FILE")}
        env = {**base, **(env or {})}
        env["PYTHONPATH"] = os.pathsep.join([*map(str, extra_path), SRC_DIR])
        cwd = scratch / "cwd"
        cwd.mkdir(exist_ok=True)
        proc = subprocess.run(
            [sys.executable, *args, "-c", prelude + textwrap.dedent(code)],
            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout,
            env=env, cwd=str(cwd),
        )
        result = None
        for line in proc.stdout.splitlines():
            if line.startswith("@@REPORT@@"):
                result = json.loads(line[len("@@REPORT@@"):])
        return proc.returncode, result, proc.stderr

    return run
