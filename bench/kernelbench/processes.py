"""The measured systems as processes, and what the operating system says about them.

CPU time of a process is read from its process-wide CPU clock
(``clock_gettime`` on the clock id the kernel derives from the pid: all threads,
including finished ones, in nanoseconds); where that is refused it falls back to
utime + stime of /proc/PID/stat (clock ticks). RSS comes from /proc/PID/status.
"""

from __future__ import annotations

import asyncio
import ctypes
import os
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Dict, List, Optional, Sequence

from .peer import Peer

HERE = Path(__file__).resolve().parent
PR_SET_PDEATHSIG = 1
_TICK_NS = 1_000_000_000 // os.sysconf("SC_CLK_TCK")


def process_cpu_ns(pid: int) -> int:
    """CPU time (user + system, all threads) the process has used so far, in ns."""
    try:
        return time.clock_gettime_ns(((~pid) << 3) | 2)  # CPUCLOCK_SCHED of the whole process
    except OSError:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) * _TICK_NS


def _status_kib(pid: int, key: str) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    raise KeyError(key)


def rss_bytes(pid: int) -> int:
    return _status_kib(pid, "VmRSS") * 1024


def peak_rss_bytes(pid: int) -> int:
    """The resident set's high-water mark (since the last reset_peak_rss)."""
    return _status_kib(pid, "VmHWM") * 1024


def reset_peak_rss(pid: int) -> bool:
    try:
        Path(f"/proc/{pid}/clear_refs").write_text("5")
        return True
    except OSError:
        return False


def _die_with_parent() -> None:  # runs in the child before exec
    try:
        ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    except (OSError, AttributeError):
        pass


class Child:
    """A process of its own session, output to a log file, killed with its group."""

    def __init__(self, argv: List[str], env: Dict[str, str], log_path: Path) -> None:
        self.log_path = log_path
        with open(log_path, "ab") as log:
            self.popen = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                          start_new_session=True, preexec_fn=_die_with_parent)
        self.pid = self.popen.pid

    def alive(self) -> bool:
        return self.popen.poll() is None

    def stop(self, grace: float = 3.0) -> None:
        if self.popen.poll() is None:
            try:
                self.popen.wait(grace)
            except subprocess.TimeoutExpired:
                pass
        if self.popen.poll() is None:
            try:
                os.killpg(self.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                self.popen.kill()
            self.popen.wait()

    def log_size(self) -> int:
        try:
            return self.log_path.stat().st_size
        except OSError:
            return 0

    def last_error_since(self, offset: int) -> str:
        """The last ERROR log line written after ``offset`` (without its time stamp), or ""."""
        try:
            with open(self.log_path, "rb") as f:
                f.seek(offset)
                lines = f.read().decode("utf-8", "replace").splitlines()
        except OSError:
            return ""
        errors = [line.split(" ERROR ", 1)[1].split(": ", 1)[-1] for line in lines if " ERROR " in line]
        return errors[-1][:300] if errors else ""

    def log_tail(self, lines: int = 12) -> str:
        try:
            return "".join(self.log_path.read_text(errors="replace").splitlines(True)[-lines:])
        except OSError:
            return ""


class WebSocketSystem:
    """A system that connects to the peer: the real kernel, the floor kernel or the echo client."""

    CONNECT_TIMEOUT = 60.0

    def __init__(self, label: str, kind: str, workbook_id: str, argv: List[str], env: Dict[str, str],
                 log_dir: Path, throw_log: Optional[Path] = None) -> None:
        self.label = label
        self.kind = kind  # "vantrel", "floor" or "echo"
        self.workbook_id = workbook_id
        self.argv = argv  # "{url}" and "{port}" are filled in at start
        self.env = env
        self.log_dir = log_dir
        self.throw_log = throw_log
        self.child: Optional[Child] = None
        self.link = None
        self.starts = 0

    @property
    def pid(self) -> int:
        return self.child.pid

    def cpu_ns(self) -> int:
        return process_cpu_ns(self.child.pid)

    async def start(self, peer: Peer) -> None:
        self.starts += 1
        argv = [a.format(url=peer.url(self.workbook_id), port=peer.port) for a in self.argv]
        log = self.log_dir / f"{self.workbook_id}.log"
        self.child = Child(argv, self.env, log)
        connected = asyncio.ensure_future(peer.wait_link(self.workbook_id, self.CONNECT_TIMEOUT, self.link))
        while not connected.done():
            await asyncio.wait({connected}, timeout=0.2)
            if not connected.done() and not self.child.alive():
                connected.cancel()
                raise RuntimeError(f"{self.label} exited with code {self.child.popen.returncode} before "
                                   f"connecting; log {log}:\n{self.child.log_tail()}")
        self.link = connected.result()

    def log_mark(self) -> int:
        return self.child.log_size() if self.child else 0

    def last_error_since(self, mark: int) -> str:
        return self.child.last_error_since(mark) if self.child else ""

    def healthy(self) -> bool:
        return self.child is not None and self.child.alive() and self.link is not None and not self.link.is_closed

    async def ensure(self, peer: Peer) -> bool:
        """Starts the process again when it has gone (a failed request may end a session);
        True when it had to be restarted."""
        if self.healthy():
            return False
        await self.stop()
        await self.start(peer)
        return True

    async def stop(self) -> None:
        if self.child is None:
            return
        if self.link is not None and not self.link.is_closed:
            try:
                if self.kind == "vantrel":
                    await self.link.send({"type": "shutdown"})
                else:
                    await self.link.connection.close()
            except Exception:  # gone already
                pass
        await asyncio.get_running_loop().run_in_executor(None, self.child.stop)
        self.child = None


def python_env(extra: Dict[str, Optional[str]]) -> Dict[str, str]:
    env = dict(os.environ)
    for key, value in extra.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


def vantrel_system(label: str, workbook_id: str, log_level: Optional[str], log_dir: Path,
                   throw_shim: Optional[Path] = None, python: Optional[str] = None,
                   runner: Sequence[str] = ()) -> WebSocketSystem:
    """The real kernel process, started as the console starts it (launcher, plain ws://),
    by this interpreter or by `python` (an environment with another build installed),
    under `runner` (a command line the interpreter's is appended to: valgrind, say)."""
    extra: Dict[str, Optional[str]] = {"VANTREL_LOG_LEVEL": log_level, "VANTREL_LOG_FILE": None,
                                       "VANTREL_SECURED": "0"}
    throw_log = None
    if throw_shim is not None:
        throw_log = log_dir / f"{workbook_id}.throws"
        extra["LD_PRELOAD"] = str(throw_shim)
        extra["BENCH_THROW_LOG"] = str(throw_log)
    argv = [*runner, python or sys.executable, "-m", "vantrel_master.devtools.launcher", workbook_id, "{port}",
            "--plain", "--parent-pid", str(os.getpid())]
    return WebSocketSystem(label, "vantrel", workbook_id, argv, python_env(extra), log_dir, throw_log)


def script_system(label: str, kind: str, script: str, workbook_id: str, log_dir: Path) -> WebSocketSystem:
    argv = [sys.executable, str(HERE / script), "{url}"]
    return WebSocketSystem(label, kind, workbook_id, argv, python_env({}), log_dir)
