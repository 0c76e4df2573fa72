"""Interactive console: a development Business Layer, one kernel process, and a prompt.

Command line::

    python -m vantrel_master.devtools.console [--tls] [--workbook ID] [--grace SECONDS]
                                              [--log FILE]

The console starts a :class:`DevBusinessLayer` on 127.0.0.1 (any free port; plain
WebSocket, or TLS with a throw-away certificate for ``--tls``), launches a kernel
process with :mod:`.launcher` against it (stdin from /dev/null, the kernel's own
stdout/stderr and log lines in a log file whose path is printed at start, as is
the kernel's pid), waits for the kernel to connect and reads entries:

* Python code runs as an ``execution_request``; its stdout/stderr stream to this
  console's stdout/stderr as they arrive, a value is shown as ``Out: ...`` and an
  error with its traceback (on stderr). The next prompt comes when the run ends.
  An entry whose first line ends with ":" or "\\" (or is otherwise unfinished,
  like an open bracket) continues until a blank line.
* Lines starting with ":" are console commands (``:help`` lists them): among them
  ``:call`` runs a workbook function as a cell would call it, ``:stream`` streams
  the values of a generator function as they arrive (Ctrl-C or a ``:cancel`` line
  cancels it), ``:objects`` lists the objects the kernel keeps, and ``:debug``
  runs a workbook function under the debugger, stopping at the lines set with
  ``:break`` (then ``c``, ``n``, ``s``, ``o``, ``p EXPR`` and ``q`` drive it).

Output of the kernel that belongs to no entry of this console is shown prefixed
with ``[kernel]``. Input may be piped: then every entry is echoed after its
prompt, so the output reads as a transcript.

Quitting (``:quit``, end of input, SIGTERM, SIGHUP, or Ctrl-C twice while a cell
runs) sends ``shutdown`` to the kernel, waits up to the grace period (``--grace``
or ``VANTREL_CONSOLE_GRACE``, default 5 s) for its process to end, kills it (and
its process group) if it has not, and stops the server. A ``:quit`` read while a
cell is running (typed, or piped after it) first gives the cell the grace period
to finish; end of input waits for the running cell however long it takes. The
kernel runs in a session of its own, so a Ctrl-C typed here does not reach it.
"""

from __future__ import annotations

import argparse
import ast
import asyncio
import codecs
import codeop
import collections
import json
import os
import signal
import sys
import tempfile
import threading
import uuid
import warnings
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional

from .business_layer import DevBusinessLayer

GRACE_ENV = "VANTREL_CONSOLE_GRACE"
DEFAULT_GRACE = 5.0
CONNECT_TIMEOUT = 30.0
REPLY_TIMEOUT = 10.0
SOURCE = "ide"

EOF = object()        # end of input, from the reader thread
INTERRUPT = object()  # Ctrl-C at the prompt

VARS_CODE = ("sorted((k, type(v).__name__) for k, v in locals().items() "
             "if not k.startswith('_'))")

HELP = """\
Python entries run in the kernel; a first line ending with ':' or '\\' continues until a blank line.
Commands:
  :load PATH [NAME]  send the file as workbook module NAME (default: the file's stem);
                     `import NAME` again afterwards to use the new version
  :modules           the modules loaded with :load in this session
  :call MOD.FUNC [ARGS]    call a workbook function as a cell does; ARGS are Python
                     literals separated by commas, e.g. :call shapes.area 2, 3.5
  :stream MOD.FUNC [ARGS]  stream the values of a generator function as they arrive;
                     Ctrl-C (or a line :cancel) cancels it
  :objects           the objects the kernel keeps (ObjectKeeper)
  :break MOD LINE    stop a debug run at that line of a workbook module (:break alone lists,
                     :break clear removes them all)
  :debug MOD.FUNC [ARGS]   run a workbook function under the debugger; while it is stopped:
                     c (continue), n (step over), s (step into), o (step out),
                     p EXPR (evaluate in the stopped frame), q (stop the run)
  :vars              the names defined in the console namespace
  :reset             clear the console namespace
  :help              this text
  :quit              shut the kernel down and leave (also Ctrl-D / end of input)
The names vantrel, excel and context are always defined. Ctrl-C does not interrupt a
running cell; a second Ctrl-C ends the console and the kernel. :quit while a cell runs
gives it the grace period (--grace) to finish first."""


class Console:
    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.workbook_id: str = args.workbook
        self.server: Optional[DevBusinessLayer] = None
        self.process: Optional[asyncio.subprocess.Process] = None
        self.log_path: Optional[str] = None
        self.interactive = sys.stdin.isatty()
        self.modules: Dict[str, str] = {}
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._lines: collections.deque = collections.deque()
        self._input = asyncio.Event()
        self._eof = False
        self._quit: Optional[asyncio.Future] = None       # result: the exit code
        self._kill_now = asyncio.Event()
        self._started = False                              # the kernel has connected
        self._quitting = False
        self._quit_requested = False                      # :quit read; the repl ends after this entry
        self._running: Optional[str] = None               # request id of the running cell
        self._running_kind = "cell"                        # "cell", "call", "stream" or "debug"
        self.breakpoints: List[Dict[str, Any]] = []        # for :debug runs
        self._debug_paused = False                         # a debug run is stopped, reading commands
        self._interrupts = 0
        self._requests: Dict[str, Dict[str, Any]] = {}    # request id -> {"done": future, "silent": bool}
        self._waiters: List[tuple] = []                   # (predicate, future) for command replies
        self._at_line_start = {False: True, True: True}   # per stream (err?) for [kernel] prefixes
        self._prompt_open: Optional[str] = None           # a prompt waiting for input
        self._reprompt: Optional[str] = None              # to show again after kernel output

    # -- output ---------------------------------------------------------------------------

    def _write(self, text: str, err: bool = False, dim: bool = False) -> None:
        stream = sys.stderr if err else sys.stdout
        try:
            if dim and stream.isatty() and "NO_COLOR" not in os.environ:
                text = f"\x1b[2m{text}\x1b[0m"
            stream.write(text)
            stream.flush()
        except (OSError, ValueError):
            pass  # a closed terminal or pipe must not stop the clean-up

    def _say(self, text: str, err: bool = False) -> None:
        self._write(text + "\n", err=err)

    def _kernel_output(self, text: str, err: bool) -> None:
        """Output that belongs to no entry of this console: every line prefixed, on lines
        of its own below a waiting prompt, which is shown again afterwards."""
        if self._prompt_open is not None:
            self._write("\n")
            self._reprompt, self._prompt_open = self._prompt_open, None
        pieces = []
        for line in text.splitlines(keepends=True):
            if self._at_line_start[err]:
                pieces.append("[kernel] ")
            pieces.append(line)
            self._at_line_start[err] = line.endswith("\n")
        self._write("".join(pieces), err=err, dim=True)
        if self._reprompt is not None and self._at_line_start[err]:
            self._write(self._reprompt)
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
            if not request["silent"]:
                self._write(str(message.get("content", "")))
        elif kind in ("execution_result", "execution_error") and request is not None:
            if kind == "execution_error" and not request["silent"]:
                error = message.get("error") or {}
                if isinstance(error, dict):
                    text = error.get("traceback") or f"{error.get('type')}: {error.get('message')}\n"
                    self._write(text, err=True)
                elif request["kind"] != "call":  # a call's traceback was streamed as its stderr
                    self._write(str(error), err=True)
            if request["kind"] in ("cell", "debug"):
                self._finish_request(message)
        elif kind == "function_execution_result" and request is not None:
            self._finish_request(message)
        elif kind == "debug_stopped" and self._running_kind == "debug":
            self._show_stop(message)
            self._debug_paused = True
            self._input.set()  # wakes the request's wait: commands may already be queued
        elif kind == "debug_exception" and self._running_kind == "debug":
            self._say(f"exception at {message.get('module')}:{message.get('line')}: "
                      f"{message.get('exception_type')}: {message.get('exception_message')}", err=True)
        elif kind == "debug_terminated" and request is not None:
            self._say("debug run ended")
            self._finish_request(message)
        elif kind in ("debug_resumed", "debug_terminated", "debug_evaluate_result"):
            pass  # answers to the commands of a debug run
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

    async def _next_line(self, prompt: str) -> Any:
        """The next input line (str), INTERRUPT, or None at end of input. Piped input
        is echoed after the prompt, so the output reads as a transcript."""
        self._write(prompt)
        self._prompt_open = prompt
        while not self._lines:
            if self._eof:
                break
            self._input.clear()
            await self._input.wait()
        self._prompt_open = self._reprompt = None
        item = self._lines.popleft() if self._lines else EOF
        if item is EOF:
            self._eof = True
            self._write("\n")
            return None
        if item is not INTERRUPT and not self.interactive:
            self._write(item + "\n")
        return item

    @staticmethod
    def _unfinished(line: str) -> bool:
        if line.rstrip().endswith((":", "\\")):
            return True
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                return codeop.compile_command(line, "<console>", "exec") is None
        except (SyntaxError, ValueError, OverflowError):
            return False  # the kernel reports it

    async def _read_entry(self, number: int) -> Optional[str]:
        """One entry: a command, a line of code, or a block ended by a blank line."""
        lines: List[str] = []
        while True:
            line = await self._next_line(f"In [{number}]: " if not lines else "   ...: ")
            if line is INTERRUPT:
                self._say("\nKeyboardInterrupt" if self.interactive else "KeyboardInterrupt")
                lines = []
            elif line is None:
                return "\n".join(lines) if lines else None
            elif lines:
                if not line.strip():
                    return "\n".join(lines)
                lines.append(line)
            elif line.strip().startswith(":"):
                return line.strip()
            elif line.strip():
                lines.append(line)
                if not self._unfinished(line):
                    return line

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

    async def _ask(self, message: Dict[str, Any],
                   predicate: Callable[[Dict[str, Any]], bool]) -> Optional[Dict[str, Any]]:
        """Send a command message and wait for the reply that ``predicate`` picks."""
        future = self._loop.create_future()
        self._waiters.append((predicate, future))
        await self.server.send(self.workbook_id, message)
        try:
            return await asyncio.wait_for(future, REPLY_TIMEOUT)
        except asyncio.TimeoutError:
            self._say(f"no reply from the kernel within {REPLY_TIMEOUT:g} s", err=True)
            return None

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
        stream."""
        request_id, done = self._new_request(silent, kind)
        self._running, self._running_kind, self._interrupts = request_id, kind, 0  # Ctrl-C now counts
        try:
            await self.server.send(self.workbook_id, make(request_id))
            while not done.done():
                if kind == "stream" and self._next_is(":cancel"):
                    line = self._lines.popleft()
                    if not self.interactive:
                        self._write(line + "\n")
                    await self._cancel_stream()
                    continue
                if kind == "debug" and self._debug_paused and self._lines and self._lines[0] is EOF:
                    # Input ended while the run is paused: stop it (the end of input then
                    # ends the console as usual).
                    await self._debug_command("q")
                    continue
                if kind == "debug" and self._debug_paused and self._lines and isinstance(self._lines[0], str) \
                        and not self._next_is(":quit", ":q"):
                    line = self._lines.popleft()
                    if not self.interactive:
                        self._write(line + "\n")
                    await self._debug_command(line)
                    continue
                if self._next_is(":quit", ":q"):
                    line = self._lines.popleft()
                    if not self.interactive:
                        self._write(line + "\n")
                    self._quit_requested = True
                    self._say(f"quitting: the running cell gets {self.args.grace:g} s to finish", err=True)
                    await asyncio.wait({done}, timeout=self.args.grace)
                    break
                self._input.clear()
                waiter = asyncio.ensure_future(self._input.wait())
                await asyncio.wait({done, waiter}, return_when=asyncio.FIRST_COMPLETED)
                waiter.cancel()
        finally:
            self._running = None
            self._debug_paused = False
        self.server.clear(self.workbook_id)  # the server keeps every message; the console needs none
        return done.result() if done.done() else None

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
        reply = await self._ask(
            {"type": "update_module", "module_name": module, "code": code},
            lambda m: m.get("type") == "error"
            or (m.get("type") == "module_updated" and m.get("module_name") == module))
        if reply is None:
            return
        if reply["type"] == "module_updated":
            self.modules[module] = str(path.resolve())
            self._say(f"module {module} updated from {path}")
        else:
            self._say(f"error: {reply.get('message')}", err=True)

    @staticmethod
    def _parse_call(rest: str) -> tuple:
        """MOD.FUNC and the wire form of the literal arguments that follow it."""
        from vantrel_master.python_server.vantrel.serializer import Serializer

        target, _, arguments = rest.strip().partition(" ")
        module, dot, function = target.rpartition(".")
        if not dot or not module or not function:
            raise ValueError("name the function as MODULE.FUNCTION")
        values = ast.literal_eval(f"({arguments},)") if arguments.strip() else ()
        return module, function, [Serializer.to_wire(value) for value in values]

    async def _call(self, name: str, rest: str) -> None:
        try:
            module, function, args = self._parse_call(rest)
        except (ValueError, SyntaxError, TypeError) as exc:
            self._say(f"usage: {name} MODULE.FUNCTION [ARG, ...]  ({exc})", err=True)
            return
        if name == ":call":
            reply = await self._run_request(lambda request_id: {
                "type": "custom_function_call", "module_name": module, "function_name": function, "args": args,
                "request_id": request_id, "workbook_id": self.workbook_id, "source": SOURCE}, kind="call")
        else:
            if self.interactive:
                self._say("streaming; Ctrl-C cancels")
            reply = await self._run_request(lambda request_id: {
                "type": "execute_streaming_function", "module_name": module, "function_name": function,
                "args": args, "request_id": request_id, "workbook_id": self.workbook_id, "source": SOURCE},
                kind="stream")

    def _source_line(self, module: str, line: int) -> str:
        path = self.modules.get(module)
        try:
            with open(path, encoding="utf-8") as handle:
                return handle.read().splitlines()[line - 1].strip()
        except (TypeError, OSError, IndexError, UnicodeDecodeError):
            return ""

    def _show_stop(self, message: Dict[str, Any]) -> None:
        module, line = message.get("module"), message.get("line")
        text = self._source_line(module, line) if isinstance(line, int) else ""
        self._say(f"stopped at {module}:{line} ({message.get('reason')})" + (f": {text}" if text else ""))
        for item in message.get("locals") or []:
            self._say(f"  {item.get('name')} = {item.get('repr')}  ({item.get('type')})")
        self._write("(debug) ")

    def _breakpoint_command(self, words: List[str]) -> None:
        if words == ["clear"]:
            self.breakpoints.clear()
        elif len(words) == 2 and words[1].isdigit():
            self.breakpoints.append({"module_name": words[0], "line": int(words[1])})
        elif words:
            self._say("usage: :break MODULE LINE  (or :break clear)", err=True)
            return
        for item in self.breakpoints:
            self._say(f"breakpoint {item['module_name']}:{item['line']}")
        if not self.breakpoints:
            self._say("(no breakpoints)")

    async def _debug_command(self, line: str) -> None:
        """A command typed while a debug run is active."""
        word, _, rest = line.strip().partition(" ")
        simple = {"c": "debug_continue", "n": "debug_step_over", "s": "debug_step_into", "o": "debug_step_out",
                  "q": "debug_stop"}
        if word in simple:
            self._debug_paused = False  # until the next stop
            await self.server.send(self.workbook_id, {"type": simple[word]})
        elif word == "p" and rest.strip():
            reply = await self._ask({"type": "debug_evaluate", "expression": rest.strip(),
                                     "request_id": f"eval-{uuid.uuid4().hex[:8]}"},
                                    lambda m: m.get("type") == "debug_evaluate_result")
            if reply is not None:
                if reply.get("error"):
                    self._say(f"error: {reply['error']}", err=True)
                else:
                    self._say(f"{reply.get('result')}  ({reply.get('result_type')})")
            self._write("(debug) ")
        else:
            self._say("debug commands: c, n, s, o, p EXPR, q", err=True)
            self._write("(debug) ")

    async def _debug(self, rest: str) -> None:
        try:
            module, function, args = self._parse_call(rest)
        except (ValueError, SyntaxError, TypeError) as exc:
            self._say(f"usage: :debug MODULE.FUNCTION [ARG, ...]  ({exc})", err=True)
            return
        await self._run_request(lambda request_id: {
            "type": "run_module", "module_name": module, "function_name": function, "args": args,
            "debug": True, "breakpoints": list(self.breakpoints), "request_id": request_id,
            "workbook_id": self.workbook_id, "source": SOURCE}, kind="debug")

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
            if entry.startswith(":"):
                self._quit_requested = self._quit_requested or not await self._command(entry)
            else:
                await self._run_cell(entry)
                number += 1
        return 0

    # -- life -----------------------------------------------------------------------------

    def _finish(self, code: int) -> None:
        if self._quit is not None and not self._quit.done():
            self._quit.set_result(code)

    def _on_sigint(self) -> None:
        if self._quitting:
            self._kill_now.set()
        elif not self._started:
            self._finish(130)
        elif self._running is not None and self._running_kind == "stream" and self._interrupts == 0:
            self._interrupts += 1
            self._say("\ncanceling the stream (Ctrl-C again ends the console)", err=True)
            asyncio.ensure_future(self._cancel_stream())
        elif self._running is not None:
            self._interrupts += 1
            if self._interrupts >= 2 or self._quit_requested:
                self._write("\n")
                self._finish(130)
            else:
                self._say("\nKeyboardInterrupt: a running cell cannot be interrupted and keeps running "
                          "in the kernel; press Ctrl-C again to end the console and the kernel.", err=True)
        else:
            self._lines.appendleft(INTERRUPT)
            self._input.set()

    def _install_signals(self) -> None:
        self._loop.add_signal_handler(signal.SIGINT, self._on_sigint)
        for signum in (signal.SIGTERM, signal.SIGHUP):
            self._loop.add_signal_handler(signum, self._finish, 128 + signum)

    async def _start_kernel(self) -> None:
        if self.args.log:
            self.log_path = os.path.abspath(self.args.log)
        else:
            self.log_path = os.path.join(tempfile.mkdtemp(prefix="vantrel-console-"), "kernel.log")
        package_root = str(Path(__file__).resolve().parents[2])
        env = dict(os.environ, PYTHONUNBUFFERED="1", VANTREL_SECURED="1" if self.args.tls else "0")
        env["PYTHONPATH"] = os.pathsep.join(p for p in (package_root, env.get("PYTHONPATH")) if p)
        command = [sys.executable, "-m", "vantrel_master.devtools.launcher", self.workbook_id,
                   str(self.server.port), "--parent-pid", str(os.getpid())]
        if not self.args.tls:
            command.append("--plain")
        with open(self.log_path, "ab") as log:
            self.process = await asyncio.create_subprocess_exec(
                *command, stdin=asyncio.subprocess.DEVNULL, stdout=log, stderr=log,
                env=env, start_new_session=True)
        self._say(f"kernel pid {self.process.pid}, log {self.log_path}")

    def _log_tail(self, lines: int = 15) -> str:
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as handle:
                return "".join(handle.readlines()[-lines:])
        except OSError:
            return ""

    async def _watch_kernel(self) -> None:
        code = await self.process.wait()
        if not self._quitting:
            self._say(f"kernel process exited with code {code}; last lines of {self.log_path}:\n"
                      f"{self._log_tail()}", err=True)
            self._finish(1)

    async def _stop_kernel(self) -> None:
        process = self.process
        if process is None or process.returncode is not None:
            return
        if self.server.is_connected(self.workbook_id):
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
                os.killpg(process.pid, signal.SIGKILL)  # the kernel leads its own process group
            except ProcessLookupError:
                pass
            except PermissionError:
                process.kill()
            await exited
            why = "on Ctrl-C" if self._kill_now.is_set() else f"within {self.args.grace:g} s after shutdown"
            self._say(f"kernel did not exit {why}: killed", err=True)
        else:
            self._say(f"kernel exited with code {process.returncode}")

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
            threading.Thread(target=self._reader, name="console-stdin", daemon=True).start()
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
            await self._stop_kernel()
            await self.server.stop()


def _parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m vantrel_master.devtools.console",
        description="Start a development Business Layer and a kernel, and run Python in it interactively.")
    parser.add_argument("--tls", action="store_true", help="serve wss:// with a throw-away certificate")
    parser.add_argument("--workbook", default="console", help="workbook id (default: console)")
    parser.add_argument("--grace", type=float, default=None,
                        help=f"seconds the kernel gets to exit after shutdown before it is killed "
                             f"(default: ${GRACE_ENV} or {DEFAULT_GRACE:g})")
    parser.add_argument("--log", default=None, help="kernel log file (default: in a new temporary directory)")
    args = parser.parse_args(argv)
    if args.grace is None:
        try:
            args.grace = float(os.environ.get(GRACE_ENV, DEFAULT_GRACE))
        except ValueError:
            parser.error(f"{GRACE_ENV} must be a number of seconds")
    return args


def main(argv: Optional[List[str]] = None) -> int:
    args = _parse_args(argv)
    return asyncio.run(Console(args).main())


if __name__ == "__main__":
    sys.exit(main())
