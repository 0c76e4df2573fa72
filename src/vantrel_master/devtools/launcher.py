"""Kernel process entry: runs the kernel's ``main`` on an event loop, then ends the process.

Command line::

    python -m vantrel_master.devtools.launcher WORKBOOK_ID PORT [--plain] [--parent-pid PID]

The kernel connects to ``127.0.0.1:PORT`` at ``/ws/kernel/WORKBOOK_ID``, over TLS
unless ``--plain`` is given (which sets ``VANTREL_SECURED=0`` for the kernel).
When ``main`` returns (the Business Layer closed the connection, sent
``shutdown``, or could not be reached), stdout, stderr and the log handlers are
flushed and the process ends at once (``os._exit``; on Windows
``TerminateProcess``): user code still running on worker threads is neither
waited for nor interrupted, and no clean-up runs that could wait for it. On
Windows ``os._exit`` is ``ExitProcess``, which first runs every DLL's detach code
after the other threads were stopped wherever they were, so it can wait for ever
for a lock one of them held.

``--parent-pid PID`` ends this process when the process that started it dies, so a
kernel never outlives a console that was killed without a chance to clean up: on
Linux the operating system kills it (``PR_SET_PDEATHSIG``); on Windows a thread
waits on the parent's process handle and then ends the process.
"""

from __future__ import annotations

import argparse
import asyncio
import ctypes
import logging
import os
import signal
import sys
import threading
import traceback
from typing import List, NoReturn, Optional

PR_SET_PDEATHSIG = 1


def _die_with_parent(parent_pid: int) -> None:
    """End this process when its parent dies; exit at once when the parent is already gone."""
    if sys.platform == "win32":
        _die_with_parent_windows(parent_pid)
        return
    if not sys.platform.startswith("linux"):
        return
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    except (OSError, AttributeError):
        return
    if os.getppid() != parent_pid:
        os._exit(1)


def _die_with_parent_windows(parent_pid: int) -> None:
    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.OpenProcess.restype = ctypes.c_void_p
    kernel32.WaitForSingleObject.argtypes = (ctypes.c_void_p, ctypes.c_uint32)
    synchronize = 0x00100000
    handle = kernel32.OpenProcess(synchronize, False, parent_pid)
    if not handle:
        if ctypes.get_last_error() == 87:  # ERROR_INVALID_PARAMETER: no such process
            os._exit(1)  # the parent is gone already
        return

    def watch() -> None:
        kernel32.WaitForSingleObject(handle, 0xFFFFFFFF)  # INFINITE
        _end_process(1)

    threading.Thread(target=watch, name="parent-watch", daemon=True).start()


def _end_process(code: int) -> NoReturn:
    """End the process at once with ``code``, running no clean-up of any kind."""
    if sys.platform == "win32":
        kernel32 = ctypes.WinDLL("kernel32")
        kernel32.GetCurrentProcess.restype = ctypes.c_void_p
        kernel32.TerminateProcess.argtypes = (ctypes.c_void_p, ctypes.c_uint)
        kernel32.TerminateProcess(kernel32.GetCurrentProcess(), code)
    os._exit(code)


def _flush_everything() -> None:
    streams = (sys.stdout, sys.stderr, sys.__stdout__, sys.__stderr__)
    handlers = logging.getLogger().handlers
    for item in (*streams, *handlers):
        try:
            if item is not None:
                item.flush()
        except Exception:
            pass


def _parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m vantrel_master.devtools.launcher",
        description="Run one workbook kernel against a Business Layer on 127.0.0.1.")
    parser.add_argument("workbook_id", help="the workbook the kernel serves")
    parser.add_argument("port", help="the Business Layer's port")
    parser.add_argument("--plain", action="store_true",
                        help="connect with ws:// instead of wss:// (sets VANTREL_SECURED=0)")
    parser.add_argument("--parent-pid", type=int, default=None,
                        help="die when this process (the parent) dies")
    return parser.parse_args(argv)


def main(argv: Optional[List[str]] = None) -> NoReturn:
    """Run the kernel until its session ends, then end the process (never returns)."""
    args = _parse_args(argv)
    if args.parent_pid is not None:
        _die_with_parent(args.parent_pid)
    if args.plain:
        os.environ["VANTREL_SECURED"] = "0"
    code = 0
    try:
        from vantrel_master.python_server.kernel import main as kernel_main

        # A loop of our own rather than asyncio.run: its teardown would cancel the
        # kernel's leftover tasks and join the default executor's threads.
        loop = asyncio.new_event_loop()
        asyncio.set_event_loop(loop)
        loop.run_until_complete(kernel_main(args.workbook_id, args.port))
    except KeyboardInterrupt:
        code = 130
    except BaseException:  # noqa: BLE001 - reported, then the process ends
        traceback.print_exc(file=sys.__stderr__)
        code = 1
    finally:
        _flush_everything()
        _end_process(code)


if __name__ == "__main__":
    main()
