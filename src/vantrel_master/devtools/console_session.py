"""The console's kernel process: started against the console's Business Layer, watched,
shut down and, past the grace period, killed; and the signals that end the console.

Part of :class:`.console.Console`, as the mixin :class:`KernelProcess`. The kernel runs the
launcher (:mod:`.launcher`) with its standard input from the null device and its own output
and log lines in a log file; it gets a session (POSIX) or process group (Windows) of its
own, so that the terminal's Ctrl-C reaches the console alone (the console interrupts by
message), and it ends with the console (``--parent-pid``).
"""

from __future__ import annotations

import asyncio
import os
import signal
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any, Dict

LAUNCHER = "vantrel_master.devtools.launcher"


class KernelProcess:
    """The kernel process's life (state: ``process``, ``log_path``, ``_log_dir``, ``_quit``,
    ``_quitting``, ``_kill_now``, ``args``)."""

    def _finish(self, code: int) -> None:
        if self._quit is not None and not self._quit.done():
            self._quit.set_result(code)

    def _install_signals(self) -> None:
        if sys.platform != "win32":
            self._loop.add_signal_handler(signal.SIGINT, self._on_sigint)
            for signum in (signal.SIGTERM, signal.SIGHUP):
                self._loop.add_signal_handler(signum, self._finish, 128 + signum)
            return
        # Windows' event loops take no signal handlers: a plain handler hands Ctrl-C (and
        # Ctrl-Break, Windows' other console interrupt) to the loop, which it wakes.
        def on_signal(signum: int, frame: Any) -> None:
            if signum == signal.SIGINT:
                self._loop.call_soon_threadsafe(self._on_sigint)
            else:
                self._loop.call_soon_threadsafe(self._finish, 128 + signum)

        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGBREAK):
            signal.signal(signum, on_signal)

    async def _start_kernel(self) -> None:
        if self.args.log:
            self.log_path = os.path.abspath(self.args.log)
            note = ""
        else:
            self._log_dir = tempfile.mkdtemp(prefix="vantrel-console-")
            self.log_path = os.path.join(self._log_dir, "kernel.log")
            note = " (removed at exit; --log FILE keeps one)"
        package_root = str(Path(__file__).resolve().parents[2])
        env = dict(os.environ, PYTHONUNBUFFERED="1", VANTREL_SECURED="1" if self.args.tls else "0")
        env["PYTHONPATH"] = os.pathsep.join(p for p in (package_root, env.get("PYTHONPATH")) if p)
        command = [sys.executable, "-m", LAUNCHER, self.workbook_id,
                   str(self.server.port), "--parent-pid", str(os.getpid())]
        if not self.args.tls:
            command.append("--plain")
        # The kernel gets a session (POSIX) or process group (Windows) of its own, so the
        # terminal's Ctrl-C reaches the console alone: the console interrupts by message.
        if sys.platform == "win32":
            detach: Dict[str, Any] = {"creationflags": subprocess.CREATE_NEW_PROCESS_GROUP}
        else:
            detach = {"start_new_session": True}
        with open(self.log_path, "ab") as log:
            self.process = await asyncio.create_subprocess_exec(
                *command, stdin=asyncio.subprocess.DEVNULL, stdout=log, stderr=log,
                env=env, **detach)
        self._say(f"kernel pid {self.process.pid}, log {self.log_path}{note}")

    def _log_tail(self, lines: int = 15) -> str:
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as handle:
                return "".join(handle.readlines()[-lines:])
        except OSError:
            return ""

    async def _watch_kernel(self) -> None:
        code = await self.process.wait()
        if not self._quitting:
            self._log_dir = None  # kept for a look at what happened
            self.line_start()
            self._say(f"kernel process exited with code {code}; last lines of {self.log_path} (kept):\n"
                      f"{self._log_tail()}", err=True)
            self._finish(1)

    async def _stop_kernel(self) -> None:
        process = self.process
        if process is None or process.returncode is not None:
            return
        killing = self._kill_now.is_set()  # asked for: no shutdown, no grace period
        if self.server.is_connected(self.workbook_id) and not killing:
            try:
                await self.server.send(self.workbook_id, {"type": "shutdown"})
            except Exception:
                pass
        exited = asyncio.ensure_future(process.wait())
        kill_now = asyncio.ensure_future(self._kill_now.wait())
        await asyncio.wait({exited, kill_now}, timeout=self.args.grace, return_when=asyncio.FIRST_COMPLETED)
        kill_now.cancel()
        if process.returncode is None:
            try:
                if sys.platform == "win32":
                    process.kill()  # TerminateProcess
                else:
                    os.killpg(process.pid, signal.SIGKILL)  # the kernel leads its own process group
            except ProcessLookupError:
                pass
            except PermissionError:
                process.kill()
            await exited
            if killing:
                self._say("kernel killed", err=True)
            else:
                why = "on Ctrl-C" if self._kill_now.is_set() else f"within {self.args.grace:g} s after shutdown"
                self._say(f"kernel did not exit {why}: killed", err=True)
        else:
            self._say(f"kernel exited with code {process.returncode}")
