"""Interactive console: a development Business Layer, one kernel process, and a prompt.

Command line::

    python -m vantrel_master.devtools.console [--tls] [--workbook ID] [--grace SECONDS]
                                              [--log FILE] [--history FILE]

The console starts a :class:`DevBusinessLayer` on 127.0.0.1 (any free port; plain
WebSocket, or TLS with a throw-away certificate for ``--tls``), launches a kernel
process with :mod:`.launcher` against it (stdin from /dev/null, the kernel's own
stdout/stderr and log lines in a log file whose path is printed at start, as is
the kernel's pid; without ``--log`` the file lives in a temporary folder that is
removed at exit, unless the kernel died), waits for the kernel to connect and
reads entries:

* Python code runs as an ``execution_request``; its stdout/stderr stream to this
  console's stdout/stderr as they arrive, a value is shown as ``Out: ...`` and an
  error with its traceback (on stderr, coloured on a terminal). The next prompt
  comes when the run ends, on a line of its own. An entry is complete when Python
  would run it: ``x = [1,`` goes on to the next line, an indented block (``def``,
  ``for``, ...) ends with a blank line.
* Lines starting with ":" are console commands (``:help`` lists them): among them
  ``:call`` runs a workbook function as a cell would call it, ``:stream`` streams
  the values of a generator function as they arrive (a ``:cancel`` line cancels
  it), ``:objects`` lists the objects the kernel keeps, and ``:debug`` runs a
  workbook function under the debugger, stopping at the lines set with ``:break``
  (then ``c``, ``n``, ``s``, ``o``, ``p EXPR``, ``l``, ``bt``, ``u``, ``d``,
  ``b LINE`` and ``q`` drive it).

On a terminal (stdin and stdout both ttys) entries are read with the line editor
of :mod:`.console_terminal` (prompt_toolkit): history kept across sessions in a
file (``--history``, ``$VANTREL_CONSOLE_HISTORY``, or
``$XDG_STATE_HOME/vantrel/console_history``), multi-line editing, Tab completion
answered by the kernel's ``completion_request``, and output of the kernel's other
threads printed above the prompt. Otherwise lines are read as they come, without
prompt_toolkit: every entry is echoed after its prompt, so the output reads as a
transcript, and output of other threads that arrives while the console waits for
input is shown below the prompt, which is repeated once before the next entry.

Output of the kernel that belongs to no entry of this console is shown prefixed
with ``[kernel]``.

Ctrl-C while an entry runs sends ``interrupt_request`` for it (for a stream also
``cancel_streaming_function``): the kernel raises KeyboardInterrupt in the running
code, which ends with its usual error. A second Ctrl-C within a second
(``$VANTREL_CONSOLE_CTRL_C_WINDOW`` seconds) asks, on a terminal, whether to kill
the kernel and leave; without a terminal to ask it ends the console. Ctrl-C at the
prompt discards the entry being typed.

Quitting (``:quit``, end of input, SIGTERM, SIGHUP, or the second Ctrl-C) sends
``shutdown`` to the kernel, waits up to the grace period (``--grace`` or
``VANTREL_CONSOLE_GRACE``, default 5 s) for its process to end, kills it (and its
process group) if it has not, and stops the server. A ``:quit`` read while an
entry is running (typed, or piped after it) first gives it the grace period to
finish (a paused debug run is stopped first); end of input waits for the running
entry however long it takes. The kernel runs in a session of its own, so a Ctrl-C
typed here does not reach it.
"""

from __future__ import annotations

import argparse
import ast
import asyncio
import codecs
import collections
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import uuid
import warnings
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, TextIO

from .business_layer import DevBusinessLayer
from .console_input import (EOF, INTERRUPT, CallArguments, binding_expression, code_lines, entry_complete,
                            frame_evaluation, nearest, parse_call, split_location)

GRACE_ENV = "VANTREL_CONSOLE_GRACE"
HISTORY_ENV = "VANTREL_CONSOLE_HISTORY"
CTRL_C_WINDOW_ENV = "VANTREL_CONSOLE_CTRL_C_WINDOW"
DEFAULT_GRACE = 5.0
DEFAULT_CTRL_C_WINDOW = 1.0
CONNECT_TIMEOUT = 30.0
REPLY_TIMEOUT = 10.0
COMPLETION_TIMEOUT = 5.0
COMPLETION_CONTEXT_CHARS = 100_000  # earlier entries sent along with a completion request
SOURCE = "ide"
LAUNCHER = "vantrel_master.devtools.launcher"

# The user's names: not the private ones, nor the names every namespace starts with (the
# bridge module and its excel and context objects) while they hold what they started with.
VARS_CODE = ("(lambda names, bridge: sorted((k, type(v).__name__) for k, v in names.items() "
             "if not k.startswith('_') and not (k == 'vantrel' and v is bridge) "
             "and not (k in ('excel', 'context') and v is getattr(bridge, k, None))))"
             "(locals(), __import__('sys').modules.get('vantrel'))")

STEPS = {"c": "debug_continue", "n": "debug_step_over", "s": "debug_step_into", "o": "debug_step_out"}
DEBUG_HELP = ("debug commands: c (continue), n (step over), s (step into), o (step out), p EXPR, "
              "l (list the source), bt or w (the stack), u / d (a frame up / down), "
              "b [MODULE] LINE (add a breakpoint), q (stop the run)")

HELP = """\
Python entries run in the kernel; an entry goes on while Python would wait for more (an open
bracket, a line ending with ':' or '\\'); an indented block ends with a blank line.
Commands:
  :load PATH [NAME]  send the file as workbook module NAME (default: the file's stem);
                     `import NAME` again afterwards to use the new version
  :modules           the modules loaded with :load in this session
  :call MOD.FUNC [ARGS]    call a workbook function as a cell does; ARGS are Python
                     literals, positional or NAME=VALUE: :call shapes.area 2, height=3.5
  :stream MOD.FUNC [ARGS]  stream the values of a generator function as they arrive;
                     a line :cancel (or Ctrl-C) cancels it
  :objects           the objects the kernel keeps (ObjectKeeper)
  :break MOD LINE    stop a debug run at that line of a loaded module (:break alone lists,
                     :break clear removes them all)
  :debug MOD.FUNC [ARGS]   run a workbook function under the debugger; while it is stopped:
                     c (continue), n (step over), s (step into), o (step out),
                     p EXPR (evaluate in the selected frame), l (list the source),
                     bt or w (the stack), u / d (select the calling / called frame),
                     b [MOD] LINE (add a breakpoint), q (stop the run)
  :vars              the names defined in the console namespace
  :reset             clear the console namespace
  :help              this text
  :quit              shut the kernel down and leave (also Ctrl-D / end of input)
The names vantrel, excel and context are always defined. Ctrl-C interrupts the running
entry (code blocked inside a C call, such as time.sleep or a socket read, stops when it
returns to Python); Ctrl-C twice within a second asks before killing the kernel. On a
terminal: Up/Down walk the history, Tab completes, Ctrl-C discards the entry being typed.
:quit while an entry runs gives it the grace period (--grace) to finish first."""


def _is_tty(stream: Any) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _colour(stream: Any) -> bool:
    return _is_tty(stream) and "NO_COLOR" not in os.environ


def _styled(text: str, code: str) -> str:
    """Each line of ``text`` in the SGR style ``code``, the line ends left unstyled."""
    pieces = []
    for line in text.splitlines(keepends=True):
        body = line.rstrip("\r\n")
        pieces.append(f"\x1b[{code}m{body}\x1b[0m{line[len(body):]}" if body else line)
    return "".join(pieces)


def _highlighted_traceback(text: str) -> str:
    try:
        from pygments import highlight
        from pygments.formatters import TerminalFormatter
        from pygments.lexers import PythonTracebackLexer
    except ImportError:
        return _styled(text, "31")
    return highlight(text, PythonTracebackLexer(), TerminalFormatter())


def _leaves(reply: Dict[str, Any]) -> bool:
    """Whether an entry ended with SystemExit (``exit()``, ``quit()``, ``sys.exit()``),
    which at Python's own prompt ends the session."""
    error = reply.get("error") if reply.get("type") == "execution_error" else None
    return isinstance(error, dict) and error.get("type") == "SystemExit"


def history_path(option: Optional[str]) -> str:
    """Where the terminal keeps its history: the option, the environment, or the XDG state
    folder."""
    if option:
        return os.path.expanduser(option)
    if os.environ.get(HISTORY_ENV):
        return os.path.expanduser(os.environ[HISTORY_ENV])
    state = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(state, "vantrel", "console_history")


class Console:
    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.workbook_id: str = args.workbook
        self.server: Optional[DevBusinessLayer] = None
        self.process: Optional[asyncio.subprocess.Process] = None
        self.log_path: Optional[str] = None
        self._log_dir: Optional[str] = None                # a temporary folder of ours, removed at exit
        self.interactive = sys.stdin.isatty()
        self.terminal: Any = None                          # the line editor, when on a terminal
        self.modules: Dict[str, str] = {}                  # module -> path it was loaded from
        self.sources: Dict[str, str] = {}                  # module -> source text loaded
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._lines: collections.deque = collections.deque()
        self._input = asyncio.Event()
        self._eof = False
        self._quit: Optional[asyncio.Future] = None       # result: the exit code
        self._kill_now = asyncio.Event()
        self._started = False                              # the kernel has connected
        self._quitting = False
        self._quit_requested = False                      # :quit read; the repl ends after this entry
        self._running: Optional[str] = None               # request id of the running entry
        self._running_kind = "cell"                        # "cell", "call", "stream" or "debug"
        self._last_ctrl_c: Optional[float] = None          # when Ctrl-C last interrupted the running entry
        self._asking = False                               # the kill question is open
        self._typing = False                               # lines typed during a run are read (terminal)
        self._typed = codecs.getincrementaldecoder("utf-8")(errors="replace")
        self._typed_pending = ""
        self.breakpoints: List[Dict[str, Any]] = []        # for :debug runs
        self._debug_paused = False                         # a debug run is stopped, reading commands
        self._stop: Dict[str, Any] = {}                    # the last debug_stopped message
        self._frame = 0                                    # selected frame, 0 = the paused one
        self._requests: Dict[str, Dict[str, Any]] = {}    # request id -> {"done": future, "silent": bool, ...}
        self._waiters: List[tuple] = []                   # (predicate, future) for command replies
        self._line_open = {False: False, True: False}     # per stream: the last output ended mid-line
        self._prompt_open: Optional[str] = None           # a prompt waiting for piped input
        self._reprompt: Optional[str] = None              # to show again before the next piped entry
        self._context: List[str] = []                     # entries that ran, for completion

    # -- output ---------------------------------------------------------------------------

    def _write(self, text: str, err: bool = False, dim: bool = False) -> None:
        if not text:
            return
        stream = sys.stderr if err else sys.stdout
        self._line_open[err] = not text.endswith("\n")
        self._emit(_styled(text, "2") if dim and _colour(stream) else text, stream)

    def _emit(self, text: str, stream: TextIO) -> None:
        if self.terminal is not None and self.terminal.write_above(text, stream):
            return
        try:
            stream.write(text)
            stream.flush()
        except (OSError, ValueError):
            pass  # a closed terminal or pipe must not stop the clean-up

    def _say(self, text: str, err: bool = False) -> None:
        self._write(text + "\n", err=err)

    def _note(self, text: str) -> None:
        """A remark of the console itself about a run (dimmed on a terminal)."""
        self._write(text + "\n", err=True, dim=True)

    def _show_traceback(self, text: str) -> None:
        if not text.endswith("\n"):
            text += "\n"
        self.line_start()  # on a line of its own, after output left without its end
        self._line_open[True] = False
        self._emit(_highlighted_traceback(text) if _colour(sys.stderr) else text, sys.stderr)

    def line_start(self) -> None:
        """Ends an output line left open, so that a prompt starts a line of its own."""
        if self._line_open[False]:
            self._write("\n")
        if self._line_open[True] and _is_tty(sys.stderr):
            self._write("\n", err=True)

    def _kernel_output(self, text: str, err: bool) -> None:
        """Output that belongs to no entry of this console: every line prefixed (a line
        that other output left open goes on unprefixed), on lines of its own below a
        waiting prompt."""
        if self._prompt_open is not None:
            self._write("\n")
            self._reprompt, self._prompt_open = self._prompt_open, None
        pieces = []
        at_line_start = not self._line_open[err]
        for line in text.splitlines(keepends=True):
            if at_line_start:
                pieces.append("[kernel] ")
            pieces.append(line)
            at_line_start = line.endswith("\n")
        self._write("".join(pieces), err=err, dim=True)
        if self.interactive and self.terminal is None and self._reprompt is not None and at_line_start:
            self._write(self._reprompt)  # typed at a terminal without the line editor: show it at once
            self._prompt_open, self._reprompt = self._reprompt, None

    def _on_message(self, workbook_id: str, message: Dict[str, Any]) -> None:
        if workbook_id != self.workbook_id:
            return
        for waiter in list(self._waiters):
            predicate, future = waiter
            if not future.done() and predicate(message):
                self._waiters.remove(waiter)
                future.set_result(message)
                return
        kind = message.get("type")
        request = self._requests.get(message.get("request_id"))
        if kind in ("stdout", "stderr"):
            if request is None:
                self._kernel_output(str(message.get("content", "")), err=kind == "stderr")
            elif not request["silent"]:
                self._write(str(message.get("content", "")), err=kind == "stderr")
        elif kind == "result_output" and request is not None:
            if not request["silent"] and not request.get("stopping"):
                self._write(str(message.get("content", "")))
        elif kind in ("execution_result", "execution_error") and request is not None:
            if kind == "execution_error" and not request["silent"] and not _leaves(message):
                error = message.get("error") or {}
                if isinstance(error, dict):
                    self._show_traceback(error.get("traceback") or f"{error.get('type')}: {error.get('message')}\n")
                elif request["kind"] != "call":  # a call's traceback was streamed as its stderr
                    self._show_traceback(str(error))
            if request["kind"] in ("cell", "debug"):
                self._finish_request(message)
        elif kind == "function_execution_result" and request is not None:
            self._finish_request(message)
        elif kind == "debug_stopped" and self._running_kind == "debug" and self._running is not None:
            self._show_stop(message)
            self._debug_paused = True
            self._input.set()  # wakes the request's wait: commands may already be queued
        elif kind == "debug_exception" and self._running_kind == "debug":
            self._say(f"exception at {message.get('module')}:{message.get('line')}: "
                      f"{message.get('exception_type')}: {message.get('exception_message')}", err=True)
        elif kind == "debug_terminated" and request is not None:
            self._say("debug run stopped" if request.get("stopping") else "debug run ended")
            self._finish_request(message)
        elif kind in ("debug_resumed", "debug_terminated", "debug_evaluate_result", "interrupt_reply",
                      "completion_response"):
            pass  # answers to commands that were waited for, or came too late
        elif kind == "streaming_function_result" and request is not None:
            self._show_stream_message(request, message)
            if message.get("done"):
                self._finish_request(message)
        elif kind == "error":
            self._write(f"[kernel error] {message.get('message')}\n", err=True, dim=True)
        elif kind not in ("sys_request",):
            text = json.dumps(message, ensure_ascii=False)
            self._write(f"[kernel] {text[:300]}\n", err=True, dim=True)

    # -- input ----------------------------------------------------------------------------

    def _reader(self) -> None:
        """Reader thread: raw lines of stdin (no readline, nothing that blocks exit)."""
        decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
        pending = ""
        while True:
            try:
                data = os.read(sys.stdin.fileno(), 65536)
            except (OSError, ValueError, AttributeError):  # also: no stdin at all
                data = b""
            pending += decoder.decode(data, final=not data)
            *lines, pending = pending.split("\n")
            items = [line.rstrip("\r") for line in lines]
            if not data:
                items += [pending] if pending else []
                items.append(EOF)
            try:
                self._loop.call_soon_threadsafe(self._take_input, items)
            except RuntimeError:
                return  # the loop is gone
            if not data:
                return

    def _take_input(self, items: List[Any]) -> None:
        self._lines.extend(items)
        self._input.set()

    # While an entry runs on a terminal no line editor reads the keyboard: the terminal is in
    # its own line mode (it echoes what is typed, Ctrl-C is SIGINT), and each whole line typed
    # is read here at once, so that :quit and :cancel act on the running entry. Other lines
    # wait for the next prompt, which starts with them. Off while a prompt reads the keyboard
    # (a paused debug run, the kill question).

    def _typing_on(self) -> None:
        if self._typing or self.terminal is None:
            return
        try:
            self._loop.add_reader(sys.stdin.fileno(), self._read_typed)
        except (NotImplementedError, OSError, ValueError, AttributeError):
            return  # (Windows' event loops watch no console handles)
        self._typing = True

    def _typing_off(self) -> None:
        if self._typing:
            self._typing = False
            self._loop.remove_reader(sys.stdin.fileno())

    def _read_typed(self) -> None:
        try:
            data = os.read(sys.stdin.fileno(), 65536)
        except OSError:
            return
        if not data:
            return  # Ctrl-D on an empty line: nothing to act on while the entry runs
        *lines, self._typed_pending = (self._typed_pending + self._typed.decode(data)).split("\n")
        if lines:
            self._take_input([line.rstrip("\r") for line in lines])

    def _typed_ahead(self) -> str:
        """The lines typed during the last run that nothing took, for the next prompt."""
        lines = [item for item in self._lines if isinstance(item, str)]
        self._lines.clear()
        return "\n".join(lines)

    def _prompt(self, prompt: str) -> None:
        self.line_start()
        self._write(prompt)

    async def _next_line(self, prompt: str) -> Any:
        """The next input line (str), INTERRUPT, or None at end of input. Piped input
        is echoed after the prompt, so the output reads as a transcript."""
        self._prompt(prompt)
        self._prompt_open = prompt
        while not self._lines:
            if self._eof:
                break
            self._input.clear()
            await self._input.wait()
        reprompt = self._reprompt
        self._prompt_open = self._reprompt = None
        item = self._lines.popleft() if self._lines else EOF
        if item is EOF:
            self._eof = True
            self.line_start()
            return None
        if item is INTERRUPT:
            return item
        if self.interactive:
            self._line_open[False] = False  # the terminal echoed the line and its end
        else:
            if reprompt is not None:
                self._prompt(reprompt)  # once, after the output that came while waiting
            self._write(item + "\n")
        return item

    def _echo_next(self) -> str:
        line = self._lines.popleft()
        if not self.interactive:
            self._write(line + "\n")
        return line

    async def _read_entry(self, number: int) -> Any:
        """One entry: a command, or code that is complete (see entry_complete) or ended by
        a blank line; INTERRUPT for Ctrl-C at the prompt, None at end of input."""
        if self.terminal is not None:
            self.line_start()
            return await self.terminal.read_entry(number, default=self._typed_ahead())
        lines: List[str] = []
        while True:
            line = await self._next_line(f"In [{number}]: " if not lines else "   ...: ")
            if line is INTERRUPT:
                return INTERRUPT
            if line is None:
                return "\n".join(lines) if lines else None
            if lines and not line.strip():
                return "\n".join(lines)
            if not lines and line.strip().startswith(":"):
                return line.strip()
            if line.strip() or lines:
                lines.append(line)
                if entry_complete("\n".join(lines)):
                    return "\n".join(lines)

    # -- talking to the kernel ------------------------------------------------------------

    def _new_request(self, silent: bool = False, kind: str = "cell") -> tuple:
        request_id = f"console-{uuid.uuid4().hex[:12]}"
        done = self._loop.create_future()
        self._requests[request_id] = {"done": done, "silent": silent, "kind": kind, "values": 0}
        return request_id, done

    def _finish_request(self, message: Dict[str, Any]) -> None:
        request = self._requests.pop(message.get("request_id"), None)
        if request is not None and not request["done"].done():
            request["done"].set_result(message)

    def _show_stream_message(self, request: Dict[str, Any], message: Dict[str, Any]) -> None:
        if "result" in message and not message.get("done"):
            request["values"] += 1
            self._say(f"[{request['values']}] {json.dumps(message['result'], ensure_ascii=False)}")
        elif message.get("error"):
            self._say(f"stream failed: {message['error']}", err=True)
        elif message.get("result") == "Canceled":
            self._say(f"stream canceled after {request['values']} values")
        else:
            self._say(f"stream completed: {request['values']} values")

    async def _ask(self, message: Dict[str, Any], predicate: Callable[[Dict[str, Any]], bool],
                   timeout: float = REPLY_TIMEOUT, quiet: bool = False) -> Optional[Dict[str, Any]]:
        """Send a command message and wait for the reply that ``predicate`` picks; None
        (said unless ``quiet``) when none comes within ``timeout``."""
        future = self._loop.create_future()
        waiter = (predicate, future)
        self._waiters.append(waiter)
        try:
            await self.server.send(self.workbook_id, message)
            return await asyncio.wait_for(future, timeout)
        except asyncio.TimeoutError:
            if not quiet:
                self._say(f"no reply from the kernel within {timeout:g} s", err=True)
            return None
        finally:
            if waiter in self._waiters:
                self._waiters.remove(waiter)

    def _next_is(self, *commands: str) -> bool:
        return bool(self._lines) and isinstance(self._lines[0], str) and self._lines[0].strip() in commands

    async def _cancel_stream(self) -> None:
        if self._running is not None and self._running_kind == "stream":
            await self.server.send(self.workbook_id, {"type": "cancel_streaming_function",
                                                      "request_id": self._running})

    async def _run_cell(self, code: str, silent: bool = False) -> Optional[Dict[str, Any]]:
        """Run one entry; returns its execution_result/execution_error, or None when it is
        still running as the console quits."""
        return await self._run_request(
            lambda request_id: {"type": "execution_request", "code": code, "request_id": request_id,
                                "source": SOURCE}, silent=silent)

    async def _run_request(self, make: Callable[[str], Dict[str, Any]], silent: bool = False,
                           kind: str = "cell") -> Optional[Dict[str, Any]]:
        """Send the request `make(request_id)` and wait for its end; returns its final
        message, or None when it is still running as the console quits. A :quit read
        meanwhile gives it up to the grace period to finish; a :cancel line cancels a
        stream; a paused debug run reads its commands."""
        request_id, done = self._new_request(silent, kind)
        self._running, self._running_kind, self._last_ctrl_c = request_id, kind, None
        try:
            await self.server.send(self.workbook_id, make(request_id))
            while not done.done():
                line = await self._input_while_running(kind, done)
                if line is None:
                    continue
                if line.strip() in (":quit", ":q"):
                    self._quit_requested = True
                    self._say(f"quitting: the running entry gets {self.args.grace:g} s to finish", err=True)
                    await self._grace(kind, done)
                    break
                if kind == "stream" and line.strip() == ":cancel":
                    await self._cancel_stream()
                elif kind == "debug" and self._debug_paused:
                    await self._debug_command(line)
        finally:
            self._typing_off()
            self._running = None
            self._debug_paused = False
        self.server.clear(self.workbook_id)  # the server keeps every message; the console needs none
        return done.result() if done.done() else None

    async def _grace(self, kind: str, done: asyncio.Future) -> None:
        """Wait up to the grace period for the request to end; a debug run that is or
        becomes paused meanwhile is stopped (it would wait for commands that never come)."""
        deadline = self._loop.time() + self.args.grace
        while not done.done():
            if kind == "debug" and self._debug_paused:
                await self._debug_command("q")
            remaining = deadline - self._loop.time()
            if remaining <= 0:
                return
            await self._wait_input(done, remaining)

    async def _wait_input(self, done: asyncio.Future, timeout: Optional[float] = None) -> None:
        """Until the request ends, input comes (or a debug run stops), or the timeout."""
        self._input.clear()
        waiter = asyncio.ensure_future(self._input.wait())
        await asyncio.wait({done, waiter}, timeout=timeout, return_when=asyncio.FIRST_COMPLETED)
        waiter.cancel()

    async def _input_while_running(self, kind: str, done: asyncio.Future) -> Optional[str]:
        """A line for the running request (a command for it, or :quit), or None after
        waiting for something to happen."""
        if self.terminal is not None:
            if kind == "debug" and self._debug_paused and not self._asking:
                self._typing_off()
                line = await self.terminal.read_line("(debug) ", until=done)
                if line is None:  # Ctrl-D stops the run
                    return "q"
                if line is INTERRUPT:
                    self._note("(q stops the run, c continues it)")
                    return None
                return line if isinstance(line, str) else None
            if not self._asking:
                self._typing_on()
            if self._next_is(":quit", ":q") or (kind == "stream" and self._next_is(":cancel")):
                return self._lines.popleft()
        else:
            if kind == "debug" and self._debug_paused and self._lines and self._lines[0] is EOF:
                return "q"  # input ended while the run is paused: stop it; the console then ends
            if self._next_is(":quit", ":q") or (kind == "stream" and self._next_is(":cancel")) or (
                    kind == "debug" and self._debug_paused and self._lines and isinstance(self._lines[0], str)):
                return self._echo_next()
        await self._wait_input(done)
        return None

    async def complete(self, code: str, line: int, column: int) -> List[Dict[str, Any]]:
        """The kernel's completions for the cursor at (line, column) of ``code``."""
        if not self._started or self._quitting:
            return []
        request_id = f"complete-{uuid.uuid4().hex[:12]}"
        try:
            reply = await self._ask({"type": "completion_request", "code": code, "line": line, "column": column,
                                     "request_id": request_id, "workbook_id": self.workbook_id},
                                    lambda m: m.get("type") == "completion_response"
                                    and m.get("request_id") == request_id,
                                    timeout=COMPLETION_TIMEOUT, quiet=True)
        except Exception:  # the kernel went away: no completions (the console is ending anyway)
            return []
        items = reply.get("completions") if reply is not None else None
        return [item for item in items if isinstance(item, dict)] if isinstance(items, list) else []

    def completion_context(self) -> str:
        """The entries that ran in this session, for the kernel to complete names they
        defined."""
        return "".join(entry + "\n" for entry in self._context)

    def _remember(self, entry: str) -> None:
        self._context.append(entry)
        while sum(len(item) for item in self._context) > COMPLETION_CONTEXT_CHARS and len(self._context) > 1:
            self._context.pop(0)

    # -- Ctrl-C ---------------------------------------------------------------------------

    def _on_sigint(self) -> None:
        if self._quitting:
            self._kill_now.set()
        elif not self._started:
            self._finish(130)
        elif self.terminal is not None and self.terminal.prompting():
            self.terminal.interrupt()
        elif self._running is None:
            if self.terminal is None:
                self._lines.appendleft(INTERRUPT)
                self._input.set()
        else:
            now = time.monotonic()
            repeated = self._last_ctrl_c is not None and now - self._last_ctrl_c < self.args.ctrl_c_window
            self._last_ctrl_c = now
            if repeated or self._quit_requested:
                self._ctrl_c_again()
            else:
                asyncio.ensure_future(self._interrupt(self._running, self._running_kind))

    async def _interrupt(self, request_id: str, kind: str) -> None:
        self.line_start()
        again = f"Ctrl-C again within {self.args.ctrl_c_window:g} s to " + (
            "kill the kernel" if self.terminal is not None else "end the console")
        if kind == "stream":
            self._note(f"KeyboardInterrupt: canceling the stream ({again})")
            await self._cancel_stream()
        else:
            self._note(f"KeyboardInterrupt: interrupting the running entry ({again})")
        reply = await self._ask({"type": "interrupt_request", "request_id": request_id},
                                lambda m: m.get("type") == "interrupt_reply" and m.get("request_id") == request_id,
                                timeout=REPLY_TIMEOUT, quiet=True)
        if self._running != request_id:
            return  # it has ended meanwhile
        if reply is None:
            self._note("the kernel did not answer the interrupt request: the entry keeps running")
        elif not reply.get("interrupted") and kind != "stream":
            # (a stream the cancel has ended already has nothing left to interrupt)
            self._note("the kernel found nothing to interrupt: the entry keeps running")

    def _ctrl_c_again(self) -> None:
        request = self._requests.get(self._running)
        if self.terminal is None:
            self._write("\n")
            self._finish(130)
        elif not self._asking and request is not None:
            self._asking = True  # from now: the run's loop starts no reading of its own
            self._typing_off()
            asyncio.ensure_future(self._ask_kill(request["done"]))

    async def _ask_kill(self, done: asyncio.Future) -> None:
        self._asking = True
        try:
            self.line_start()
            answer = await self.terminal.read_line(
                "The entry is still running. Kill the kernel and leave the console? [y/N] ", until=done)
        finally:
            self._asking = False
            self._input.set()  # a debug run that stopped meanwhile gets its prompt now
        if isinstance(answer, str) and answer.strip().lower() in ("y", "yes"):
            self._kill_now.set()
            self._finish(130)
        elif not done.done():
            self._last_ctrl_c = None  # the next Ctrl-C interrupts again
            self._note("the entry keeps running")

    # -- commands -------------------------------------------------------------------------

    async def _command(self, line: str) -> bool:
        """Run a console command; False for :quit."""
        name, _, rest = line.partition(" ")
        words = rest.split()
        if name in (":quit", ":q"):
            return False
        if name == ":help":
            self._say(HELP)
        elif name == ":load":
            await self._load(words)
        elif name == ":modules":
            for module, path in sorted(self.modules.items()):
                self._say(f"{module}  ({path})")
            if not self.modules:
                self._say("(no modules loaded)")
        elif name == ":vars":
            await self._vars()
        elif name in (":call", ":stream"):
            await self._call(name, rest)
        elif name == ":objects":
            await self._objects()
        elif name == ":break":
            self._breakpoint_command(words)
        elif name == ":debug":
            await self._debug(rest)
        elif name == ":cancel":
            self._say("nothing is streaming", err=True)
        elif name == ":reset":
            if await self._ask({"type": "reset_namespace"}, lambda m: m.get("type") == "namespace_reset"):
                self._context.clear()
                self._say("namespace reset")
        else:
            self._say(f"unknown command {name} (:help lists the commands)", err=True)
        return True

    async def _load(self, words: List[str]) -> None:
        if not 1 <= len(words) <= 2:
            self._say("usage: :load PATH [MODULE_NAME]", err=True)
            return
        path = Path(words[0]).expanduser()
        try:
            code = path.read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError) as exc:
            self._say(f"cannot read {path}: {exc}", err=True)
            return
        module = words[1] if len(words) == 2 else path.stem
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                compile(code, str(path), "exec", dont_inherit=True)
        except (SyntaxError, ValueError) as exc:
            self._show_traceback("".join(traceback.format_exception_only(type(exc), exc)))
            self._say(f"module {module} not loaded: {path} does not compile", err=True)
            return
        reply = await self._ask(
            {"type": "update_module", "module_name": module, "code": code},
            lambda m: m.get("type") == "error"
            or (m.get("type") == "module_updated" and m.get("module_name") == module))
        if reply is None:
            return
        if reply["type"] == "module_updated":
            self.modules[module] = str(path.resolve())
            self.sources[module] = code
            self._say(f"module {module} updated from {path}")
        else:
            self._say(f"error: {reply.get('message')}", err=True)

    async def _positional(self, call: CallArguments) -> Optional[List[Any]]:
        """The call's arguments as the positional list a cell call carries: keyword
        arguments are bound to the function's signature in the kernel, defaults filled
        in. None (said) when that cannot be done."""
        if not call.kwargs:
            return list(call.args)
        reply = await self._run_cell(binding_expression(call), silent=True)
        if reply is None:
            return None
        if reply.get("type") != "execution_result":
            error = reply.get("error") or {}
            self._say(f"cannot pass the arguments to {call.module}.{call.function}: "
                      f"{error.get('type')}: {error.get('message')}", err=True)
            return None
        try:
            _, keyword_only, values = ast.literal_eval(reply["result"])
        except (ValueError, SyntaxError, TypeError, KeyError):
            self._say(f"cannot pass the arguments to {call.module}.{call.function} by position: a default "
                      f"value before a named argument is not a Python literal; pass that argument too",
                      err=True)
            return None
        if keyword_only:
            self._say(f"{call.module}.{call.function} takes {', '.join(keyword_only)} by keyword only, "
                      f"which a cell call cannot pass", err=True)
            return None
        return list(values)

    async def _call_arguments(self, name: str, rest: str) -> Optional[tuple]:
        """(module, function, wire arguments) of ``MOD.FUNC ARGS``, or None (said)."""
        from vantrel_master.python_server.vantrel.serializer import Serializer

        try:
            call = parse_call(rest)
        except ValueError as exc:
            self._say(f"{name}: {exc}\nusage: {name} MODULE.FUNCTION [ARG, ..., NAME=ARG, ...]", err=True)
            return None
        values = await self._positional(call)
        if values is None:
            return None
        try:
            return call.module, call.function, [Serializer.to_wire(value) for value in values]
        except Exception as exc:  # a value the wire form does not carry
            self._say(f"{name}: cannot send the arguments: {exc}", err=True)
            return None

    async def _call(self, name: str, rest: str) -> None:
        target = await self._call_arguments(name, rest)
        if target is None:
            return
        module, function, args = target
        if name == ":call":
            await self._run_request(lambda request_id: {
                "type": "custom_function_call", "module_name": module, "function_name": function, "args": args,
                "request_id": request_id, "workbook_id": self.workbook_id, "source": SOURCE}, kind="call")
        else:
            if self.terminal is not None:
                self._note("streaming; Ctrl-C cancels")
            await self._run_request(lambda request_id: {
                "type": "execute_streaming_function", "module_name": module, "function_name": function,
                "args": args, "request_id": request_id, "workbook_id": self.workbook_id, "source": SOURCE},
                kind="stream")

    # -- debugging ------------------------------------------------------------------------

    def _source_lines(self, module: Any) -> List[str]:
        source = self.sources.get(module) if isinstance(module, str) else None
        return source.splitlines() if source is not None else []

    def _check_breakpoint(self, module: str, line: int) -> Optional[str]:
        """Why a breakpoint at module:line could never stop a run, or None when it can."""
        if module not in self.sources:
            loaded = ", ".join(sorted(self.sources)) or "none yet"
            return f"unknown module {module}: breakpoints go in modules loaded with :load (loaded: {loaded})"
        count = len(self._source_lines(module))
        if not 1 <= line <= count:
            return f"{module} has {count} lines: there is no line {line}"
        try:
            lines = code_lines(self.sources[module], f"<virtual:{module}>")
        except (SyntaxError, ValueError):
            return None  # cannot tell; the kernel will say what is wrong with the module
        if line not in lines:
            near = nearest(lines, line)
            return (f"line {line} of {module} runs no code when its functions are called (a blank line, a "
                    f"comment, a def line or module-level code)"
                    + (f"; the nearest line that does is {near}" if near is not None else ""))
        return None

    def _add_breakpoint(self, module: str, line: int) -> bool:
        problem = self._check_breakpoint(module, line)
        if problem is not None:
            self._say(problem, err=True)
            return False
        if {"module_name": module, "line": line} not in self.breakpoints:
            self.breakpoints.append({"module_name": module, "line": line})
        return True

    def _breakpoint_command(self, words: List[str]) -> None:
        module, line = split_location(words)
        if words == ["clear"]:
            self.breakpoints.clear()
        elif module is not None and line is not None:
            if not self._add_breakpoint(module, line):
                return
        elif words:
            self._say("usage: :break MODULE LINE  (or :break clear)", err=True)
            return
        for item in self.breakpoints:
            self._say(f"breakpoint {item['module_name']}:{item['line']}")
        if not self.breakpoints:
            self._say("(no breakpoints)")

    def _frames(self) -> List[Dict[str, Any]]:
        """The stack of the paused run, innermost first."""
        stack = [item for item in self._stop.get("call_stack") or [] if isinstance(item, dict)]
        if not stack:
            stack = [{"name": "?", "module": self._stop.get("module"), "line": self._stop.get("line")}]
        return stack[::-1]

    def _where(self) -> Dict[str, Any]:
        frames = self._frames()
        return frames[min(self._frame, len(frames) - 1)]

    def _source_line(self, module: Any, line: Any) -> str:
        lines = self._source_lines(module)
        return lines[line - 1].strip() if isinstance(line, int) and 1 <= line <= len(lines) else ""

    def _show_stop(self, message: Dict[str, Any]) -> None:
        self._stop, self._frame = message, 0
        module, line = message.get("module"), message.get("line")
        text = self._source_line(module, line)
        self._say(f"stopped at {module}:{line} ({message.get('reason')})" + (f": {text}" if text else ""))
        for item in message.get("locals") or []:
            self._say(f"  {item.get('name')} = {item.get('repr')}  ({item.get('type')})")
        self._debug_prompt()

    def _debug_prompt(self) -> None:
        if self.terminal is None:
            self._write("(debug) ")

    def _list_source(self) -> None:
        where = self._where()
        module, current = where.get("module"), where.get("line")
        lines = self._source_lines(module)
        if not lines or not isinstance(current, int):
            self._say(f"no source for {module}", err=True)
            return
        marks = {item["line"] for item in self.breakpoints if item["module_name"] == module}
        first = max(1, current - 5)
        for number in range(first, min(len(lines), first + 10) + 1):
            mark = ("B" if number in marks else " ") + ("->" if number == current else "  ")
            self._say(f"{number:>4} {mark} {lines[number - 1]}")

    def _frame_line(self, item: Dict[str, Any], selected: bool) -> str:
        text = self._source_line(item.get("module"), item.get("line"))
        return (f"{'>' if selected else ' '} {item.get('name')} ({item.get('module')}:{item.get('line')})"
                + (f": {text}" if text else ""))

    def _show_stack(self) -> None:
        frames = self._frames()
        for depth in range(len(frames) - 1, -1, -1):
            self._say(self._frame_line(frames[depth], depth == self._frame))

    def _move_frame(self, step: int) -> None:
        frames = self._frames()
        target = self._frame + step
        if not 0 <= target < len(frames):
            self._say("already at the " + ("outermost" if step > 0 else "innermost") + " frame", err=True)
            return
        self._frame = target
        self._say(self._frame_line(frames[target], True))

    async def _evaluate(self, expression: str) -> None:
        if self._frame:
            expression = frame_evaluation(expression, self._frame)
        reply = await self._ask({"type": "debug_evaluate", "expression": expression,
                                 "request_id": f"eval-{uuid.uuid4().hex[:8]}"},
                                lambda m: m.get("type") == "debug_evaluate_result")
        if reply is None:
            return
        if reply.get("error"):
            self._say(f"error: {reply['error']}", err=True)
        else:
            self._say(f"{reply.get('result')}  ({reply.get('result_type')})")

    async def _debug_command(self, line: str) -> None:
        """A command typed while a debug run is paused."""
        word, _, rest = line.strip().partition(" ")
        if word in STEPS or word == "q":
            self._debug_paused = False  # until the next stop
            if word == "q":
                request = self._requests.get(self._running)
                if request is not None:
                    request["stopping"] = True  # its "Out:" of the stopped run is no result
                await self.server.send(self.workbook_id, {"type": "debug_stop"})
            else:
                await self.server.send(self.workbook_id, {"type": STEPS[word]})
            return
        if word == "p" and rest.strip():
            await self._evaluate(rest.strip())
        elif word == "l" and not rest.strip():
            self._list_source()
        elif word in ("bt", "w") and not rest.strip():
            self._show_stack()
        elif word in ("u", "d") and not rest.strip():
            self._move_frame(1 if word == "u" else -1)
        elif word == "b":
            module, number = split_location(rest.split())
            module = module or self._where().get("module")
            if number is None or not isinstance(module, str):
                self._say("usage: b [MODULE] LINE", err=True)
            elif self._add_breakpoint(module, number):
                await self.server.send(self.workbook_id, {"type": "debug_update_breakpoints",
                                                          "breakpoints": list(self.breakpoints)})
                self._say(f"breakpoint {module}:{number}")
        elif word:
            self._say(DEBUG_HELP, err=True)
        self._debug_prompt()

    async def _debug(self, rest: str) -> None:
        target = await self._call_arguments(":debug", rest)
        if target is None:
            return
        module, function, args = target
        await self._run_request(lambda request_id: {
            "type": "run_module", "module_name": module, "function_name": function, "args": args,
            "debug": True, "breakpoints": list(self.breakpoints), "request_id": request_id,
            "workbook_id": self.workbook_id, "source": SOURCE}, kind="debug")

    # -- other commands -------------------------------------------------------------------

    async def _objects(self) -> None:
        reply = await self._ask({"type": "get_object_registry"},
                                lambda m: m.get("type") == "object_registry_response")
        if reply is None:
            return
        objects = reply.get("objects") or []
        width = max((len(str(entry.get("key"))) for entry in objects), default=0)
        for entry in objects:
            self._say(f"{entry.get('key')!s:<{width}}  {entry.get('type')}  {entry.get('repr')}")
        if not objects:
            self._say("(no objects kept)")

    async def _vars(self) -> None:
        reply = await self._run_cell(VARS_CODE, silent=True)
        if reply is None:
            return
        if reply.get("type") != "execution_result":
            error = reply.get("error") or {}
            self._say(f"cannot list the namespace: {error.get('type')}: {error.get('message')}", err=True)
            return
        pairs = ast.literal_eval(reply["result"])
        width = max((len(name) for name, _ in pairs), default=0)
        for name, kind in pairs:
            self._say(f"{name:<{width}}  {kind}")
        if not pairs:
            self._say("(no names defined)")

    async def _repl(self) -> int:
        number = 1
        while not self._quit_requested:
            entry = await self._read_entry(number)
            if entry is None:
                break
            if entry is INTERRUPT:
                self._say("KeyboardInterrupt")
            elif entry.startswith(":"):
                if not await self._command(entry):
                    self._quit_requested = True
            elif entry.strip():
                reply = await self._run_cell(entry)
                if reply is not None and reply.get("type") == "execution_result":
                    self._remember(entry)
                number += 1
                if reply is not None and _leaves(reply):
                    self._quit_requested = True  # exit(), quit(), sys.exit(): leave as :quit does
        return 0

    # -- life -----------------------------------------------------------------------------

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

    def _start_input(self) -> None:
        """The line editor on a terminal; otherwise the reader thread."""
        if self.interactive and sys.stdout.isatty():
            try:
                from .console_terminal import TerminalFrontend
                self.terminal = TerminalFrontend(self, history_path(self.args.history))
                return
            except Exception as exc:  # not importable, or no usable terminal
                self._note(f"no line editor ({exc!r}); reading plain lines")
        threading.Thread(target=self._reader, name="console-stdin", daemon=True).start()

    async def main(self) -> int:
        self._loop = asyncio.get_running_loop()
        self._quit = self._loop.create_future()
        self._install_signals()
        ssl_context = None
        if self.args.tls:
            from .tls import make_throwaway_server_context
            ssl_context = make_throwaway_server_context("127.0.0.1")
        self.server = DevBusinessLayer("127.0.0.1", 0, ssl_context=ssl_context, on_message=self._on_message)
        await self.server.start()
        watcher = repl = None
        try:
            self._say(f"vantrel console: Business Layer {self.server.url}, workbook {self.workbook_id!r}")
            await self._start_kernel()
            watcher = asyncio.ensure_future(self._watch_kernel())
            connected = asyncio.ensure_future(self.server.wait_connected(self.workbook_id, CONNECT_TIMEOUT))
            await asyncio.wait({connected, self._quit}, return_when=asyncio.FIRST_COMPLETED)
            if self._quit.done():
                connected.cancel()
                return self._quit.result()
            if connected.exception() is not None:
                self._say(f"the kernel did not connect within {CONNECT_TIMEOUT:g} s; see {self.log_path}", err=True)
                return 1
            self._say("kernel connected; :help lists the commands, :quit or Ctrl-D leaves")
            self._started = True
            self._start_input()
            repl = asyncio.ensure_future(self._repl())
            await asyncio.wait({repl, self._quit}, return_when=asyncio.FIRST_COMPLETED)
            if not repl.done():
                return self._quit.result()
            if repl.exception() is not None:
                self._say(f"console error: {repl.exception()!r}", err=True)
                return 1
            return repl.result()
        finally:
            self._quitting = True
            for task in (repl, watcher):
                if task is not None and not task.done():
                    task.cancel()
            if self.terminal is not None:
                await self.terminal.close()
            self.line_start()
            await self._stop_kernel()
            await self.server.stop()
            if self._log_dir is not None:
                shutil.rmtree(self._log_dir, ignore_errors=True)


def _parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m vantrel_master.devtools.console",
        description="Start a development Business Layer and a kernel, and run Python in it interactively.")
    parser.add_argument("--tls", action="store_true", help="serve wss:// with a throw-away certificate")
    parser.add_argument("--workbook", default="console", help="workbook id (default: console)")
    parser.add_argument("--grace", type=float, default=None,
                        help=f"seconds the kernel gets to exit after shutdown before it is killed "
                             f"(default: ${GRACE_ENV} or {DEFAULT_GRACE:g})")
    parser.add_argument("--log", default=None,
                        help="kernel log file (default: in a new temporary folder, removed at exit)")
    parser.add_argument("--history", default=None,
                        help=f"history file of the terminal prompt (default: ${HISTORY_ENV}, or "
                             f"console_history in $XDG_STATE_HOME/vantrel or ~/.local/state/vantrel)")
    args = parser.parse_args(argv)
    for name, env, default in (("grace", GRACE_ENV, DEFAULT_GRACE), ("ctrl_c_window", CTRL_C_WINDOW_ENV,
                                                                      DEFAULT_CTRL_C_WINDOW)):
        if getattr(args, name, None) is None:
            try:
                setattr(args, name, float(os.environ.get(env, default)))
            except ValueError:
                parser.error(f"{env} must be a number of seconds")
    return args


def main(argv: Optional[List[str]] = None) -> int:
    args = _parse_args(argv)
    return asyncio.run(Console(args).main())


if __name__ == "__main__":
    sys.exit(main())
