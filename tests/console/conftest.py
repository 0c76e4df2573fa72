"""Drives the console as a user would: a subprocess whose stdin is a pipe, with its
stdout and stderr collected as they arrive, or one on a pseudo-terminal."""
import os
import re
import signal
import struct
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

if sys.platform != "win32":
    import fcntl
    import pty
    import termios

import vantrel_master

SRC_DIR = str(Path(vantrel_master.__file__).resolve().parent.parent)
WAIT = 30.0  # a guard against hanging, never a measured duration
ANSI = re.compile(r"\x1b\[[0-?]*[ -/]*[@-~]|\x1b[=>]|\r")

# The end of a workbook module (after `import time`) for the interrupt tests: a function
# that prints "asleep" and sleeps in a C call, and goes back to sleep whenever
# KeyboardInterrupt reaches it.
NAP = textwrap.dedent("""\
    def nap():  # blocked in a C call, and never interrupted in Python code
        while True:
            try:
                print("asleep", flush=True)
                time.sleep(3600)
            except KeyboardInterrupt:
                pass
    """)


def child_env(scratch, **extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("VANTREL_SECURED", "VANTREL_LOG_FILE", "VANTREL_CONSOLE_GRACE", "PYTHONUNBUFFERED")}
    env.update(PYTHONPATH=SRC_DIR, TMPDIR=str(scratch))
    env.update(extra)
    return env


def process_alive(pid):
    """True while `pid` is a process that has not ended (a zombie has ended)."""
    if sys.platform == "win32":
        import ctypes

        kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
        kernel32.OpenProcess.restype = ctypes.c_void_p
        handle = kernel32.OpenProcess(0x1000, False, pid)  # PROCESS_QUERY_LIMITED_INFORMATION
        if not handle:
            return False
        try:
            code = ctypes.c_ulong()
            kernel32.GetExitCodeProcess(ctypes.c_void_p(handle), ctypes.byref(code))
            return code.value == 259  # STILL_ACTIVE
        finally:
            kernel32.CloseHandle(ctypes.c_void_p(handle))
    return process_state(pid) not in (None, "Z")


def process_state(pid):
    """The state letter of `pid` in /proc (Linux), None once it is gone."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return None


def kill_process(pid):
    if sys.platform == "win32":
        subprocess.run(["taskkill", "/F", "/PID", str(pid)], capture_output=True)
    else:
        os.kill(pid, signal.SIGKILL)


def collect(fd, changed, take):
    """Reads `fd` to its end, handing each piece to `take` and notifying `changed`."""
    while True:
        try:
            data = os.read(fd, 65536)
        except OSError:  # a pseudo-terminal fails with EIO once the console has ended
            data = b""
        with changed:
            if data:
                take(data)
            changed.notify_all()
        if not data:
            return


def console_command(args):
    return [sys.executable, "-m", "vantrel_master.devtools.console", *args]


class ConsoleProcess:
    def __init__(self, args, scratch, **env):
        self.scratch = scratch
        self.proc = subprocess.Popen(
            console_command(args),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=child_env(scratch, **env), cwd=str(scratch))
        self._text = {"out": "", "err": ""}
        self._changed = threading.Condition()
        self._readers = [threading.Thread(target=collect, args=(pipe.fileno(), self._changed, self._take(name)),
                                          daemon=True)
                         for name, pipe in (("out", self.proc.stdout), ("err", self.proc.stderr))]
        for reader in self._readers:
            reader.start()
        self.kernel_pid = None

    def _take(self, name):
        def take(data):
            self._text[name] += data.decode("utf-8", "replace")
        return take

    def _read(self, stream):
        """What came on `stream` so far, with the line ends of Windows' text mode as \n
        (what a Python reader in text mode would get)."""
        with self._changed:
            return self._text[stream].replace("\r\n", "\n")

    @property
    def out(self):
        return self._read("out")

    @property
    def err(self):
        return self._read("err")

    def wait_for(self, pattern, stream="out"):
        """The first match of `pattern` in the stream, once it has appeared."""
        with self._changed:
            self._changed.wait_for(
                lambda: re.search(pattern, self._read(stream), re.M) or self.proc.poll() is not None, WAIT)
            match = re.search(pattern, self._read(stream), re.M)
        assert match, f"{pattern!r} not in {stream}\n--- stdout:\n{self.out}\n--- stderr:\n{self.err}"
        return match

    def send(self, text):
        self.proc.stdin.write(text.encode())
        self.proc.stdin.flush()

    def close_input(self):
        self.proc.stdin.close()

    def finish(self):
        """Waits for the console to end (its input is closed first); returns its exit code."""
        if not self.proc.stdin.closed:
            self.proc.stdin.close()
        code = self.proc.wait(WAIT)
        for reader in self._readers:
            reader.join(WAIT)
        return code

    def run(self, text):
        """Sends `text` as the whole input and waits for the console to end."""
        self.send(text)
        return self.finish()

    def transcript(self):
        return f"--- stdout:\n{self.out}\n--- stderr:\n{self.err}"


def _controlling_terminal():
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


class TerminalConsole:
    """A console on a pseudo-terminal: what it shows is collected as it comes; ``screen``
    is that text without the terminal's control sequences."""

    def __init__(self, args, scratch, **env):
        self.scratch = scratch
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 160, 0, 0))
        env = dict(TERM="xterm", PROMPT_TOOLKIT_NO_CPR="1", **env)
        self.proc = subprocess.Popen(
            console_command(args), stdin=slave, stdout=slave, stderr=slave,
            env={k: v for k, v in child_env(scratch, **env).items() if k != "NO_COLOR"}, cwd=str(scratch),
            start_new_session=True, preexec_fn=_controlling_terminal)
        os.close(slave)
        self.master = master
        self._data = b""
        self._changed = threading.Condition()
        self._reader = threading.Thread(target=collect, args=(master, self._changed, self._take), daemon=True)
        self._reader.start()
        self.kernel_pid = None

    def _take(self, data):
        self._data += data

    @property
    def raw(self):
        with self._changed:
            return self._data.decode("utf-8", "replace")

    @property
    def screen(self):
        return ANSI.sub("", self.raw)

    def wait_for(self, pattern, after=0):
        """The first match of `pattern` in the screen text from offset `after`."""
        with self._changed:
            self._changed.wait_for(lambda: re.search(pattern, self.screen[after:], re.M)
                                   or self.proc.poll() is not None, WAIT)
        match = re.search(pattern, self.screen[after:], re.M)
        assert match, f"{pattern!r} not on the screen:\n{self.screen}"
        return match

    def type(self, keys, wait=None):
        """Types `keys`; with `wait`, returns once that pattern shows after them."""
        mark = len(self.screen)
        os.write(self.master, keys.encode())
        return self.wait_for(wait, after=mark) if wait else None

    def finish(self):
        code = self.proc.wait(WAIT)
        self._reader.join(WAIT)
        os.close(self.master)
        return code


@pytest.fixture
def console(scratch):
    """Starts a console (`console(*args)`, `console(*args, terminal=True)` on a
    pseudo-terminal; keyword arguments are environment variables); whatever is left
    running is killed afterwards."""
    started = []

    def start(*args, terminal=False, **options):
        item = TerminalConsole(list(args), scratch, **options) if terminal else \
            ConsoleProcess(list(args), scratch, **options)
        started.append(item)
        item.kernel_pid = int(item.wait_for(r"kernel pid (\d+)").group(1))
        return item

    yield start
    for item in started:
        if item.proc.poll() is None:
            item.proc.kill()
            item.proc.wait()
        if item.kernel_pid is not None and process_alive(item.kernel_pid):
            kill_process(item.kernel_pid)
