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
entry however long it takes. An entry that raises SystemExit (``exit()``,
``quit()``, ``sys.exit()``) leaves as ``:quit`` does. The kernel runs in a session
(Windows: a process group) of its own, so a Ctrl-C typed here does not reach it.

The code, by concern: this module holds the session (its state, the kernel's
messages, requests and their ends, Ctrl-C, the loop of entries); the mixins of
:class:`Console` hold the rest: :mod:`.console_output` (what it writes),
:mod:`.console_lines` (what it reads), :mod:`.console_commands`,
:mod:`.console_debugger` and :mod:`.console_session` (the kernel process).
:mod:`.console_input` has the rules for text (no I/O) and
:mod:`.console_terminal` the line editor.
"""

from __future__ import annotations

import argparse
import asyncio
import codecs
import collections
import json
import os
import shutil
import sys
import threading
import time
import uuid
from typing import Any, Callable, Dict, List, Optional

from .business_layer import DevBusinessLayer
from .console_commands import REPLY_TIMEOUT, SOURCE, Commands
from .console_debugger import DebuggerFrontend
from .console_input import EOF, INTERRUPT
from .console_lines import LineInput
from .console_output import Output
from .console_session import KernelProcess

GRACE_ENV = "VANTREL_CONSOLE_GRACE"
HISTORY_ENV = "VANTREL_CONSOLE_HISTORY"
CTRL_C_WINDOW_ENV = "VANTREL_CONSOLE_CTRL_C_WINDOW"
DEFAULT_GRACE = 5.0
DEFAULT_CTRL_C_WINDOW = 1.0
CONNECT_TIMEOUT = 30.0
COMPLETION_TIMEOUT = 5.0
COMPLETION_CONTEXT_CHARS = 100_000  # earlier entries sent along with a completion request

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


class Console(Output, LineInput, Commands, DebuggerFrontend, KernelProcess):
    """The console: one kernel process, one Business Layer, a prompt. Its concerns live in
    the mixins: what it writes (Output), what it reads (LineInput), the commands
    (Commands), the debugger front end (DebuggerFrontend) and the kernel process
    (KernelProcess); here are the session, the requests and their messages, and Ctrl-C."""

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
        self._input_asked: Optional[Dict[str, Any]] = None  # the running entry's input_request
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
        elif kind == "input_request" and request is not None and message.get("request_id") == self._running:
            self._input_asked = message
            self._input.set()  # wakes the request's wait
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
            # the console answers the run's input() at its prompt (input_request)
            await self.server.send(self.workbook_id, {**make(request_id), "allow_stdin": True})
            while not done.done():
                if self._input_asked is not None:
                    await self._answer_input(kind, done)
                    continue
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
            self._input_asked = None
            self._debug_paused = False
        self.server.clear(self.workbook_id)  # the server keeps every message; the console needs none
        return done.result() if done.done() else None

    async def _answer_input(self, kind: str, done: asyncio.Future) -> None:
        """The running entry's input() (or getpass): its prompt, then a line as the answer.
        Piped, the answer is the next input line (echoed after the prompt); at the end of
        input the answer is None, which the kernel raises as EOFError. On a terminal: Ctrl-D
        answers None, Ctrl-C interrupts the entry (KeyboardInterrupt in it)."""
        message, self._input_asked = self._input_asked, None
        request_id = message.get("request_id")
        prompt = message.get("prompt")
        prompt = prompt if isinstance(prompt, str) else ""
        value: Optional[str]
        if self.terminal is not None:
            self._typing_off()
            typed = [item for item in self._lines if isinstance(item, str)]
            if typed:  # typed ahead, as a terminal's buffered input would give it
                self._lines.remove(typed[0])
                self._write(prompt + ("" if message.get("password") else typed[0]) + "\n")
                value = typed[0]
            else:
                answer = await self.terminal.read_line(prompt, until=done, is_password=bool(message.get("password")))
                if answer is INTERRUPT:
                    await self._interrupt(request_id, kind)
                    return
                if done.done():
                    return
                value = answer if isinstance(answer, str) else None
        else:
            self._write(prompt)
            while not self._lines and not self._eof and not done.done():
                await self._wait_input(done)
            if done.done():
                return
            item = self._lines[0] if self._lines else EOF
            if isinstance(item, str):
                self._lines.popleft()
                self._write(("" if message.get("password") else item) + "\n")
                value = item
            else:
                self._write("\n")
                value = None  # (the end of input stays queued: the console ends after this entry)
        await self.server.send(self.workbook_id, {"type": "input_reply", "request_id": request_id, "value": value})

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
