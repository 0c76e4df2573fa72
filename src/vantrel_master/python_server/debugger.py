"""The workbook debugger used by the kernel's debug runs, built on :mod:`bdb`.

The kernel creates one ``VantrelDebugger(send_message, workbook_id)`` per debug run,
sets ``loop`` (its event loop) and ``step_mode``, calls ``set_breakpoints`` and
``set_in_memory_modules`` and then ``runcall(func, *args)`` on a worker thread. The
commands (``continue_execution``, ``step_over``, ``step_into``, ``step_out``,
``stop_debugging``, ``evaluate_expression``, ``set_breakpoints``) arrive on the
event-loop thread at any time.

Breakpoints
    ``set_breakpoints`` takes a list of objects, each with a place and a 1-based
    ``line``. The place is ``module_name`` or ``module`` (a workbook module name,
    addressed as its virtual file "<virtual:{module_name}>"), or ``file`` or ``path``
    (a virtual file name as it stands, or a module name, a ".py" suffix ignored). A
    mapping ``{module_name: [lines]}`` is accepted as well. Malformed entries are
    skipped with a warning; anything else is ignored with a warning. The new set
    replaces the old one at once, also while the code runs or is paused. A breakpoint
    on a line that executes nothing (blank, comment) is never hit.

Workbook code
    Only frames whose file is the virtual file of one of the names given to
    ``set_in_memory_modules`` are traced, stepped through and stopped in (with no
    names given: every "<virtual:...>" file). Library, standard-library and kernel
    code runs untraced; stepping into a library call steps over it, and workbook
    code that a library calls back is stepped into.

Stops
    A run goes on until a breakpoint, or, when ``step_mode`` is "entry" at the first
    ``runcall``, pauses at the first line of workbook code that executes (reason
    "entry"). At every pause the worker thread blocks inside ``runcall`` and exactly
    one message is scheduled on ``loop`` through ``send_message`` (never waited for)::

        {"type": "debug_stopped", "workbook_id", "module", "line", "file",
         "reason": "breakpoint" | "step" | "entry",
         "locals": [{"name", "type", "repr"}, ...],
         "call_stack": [{"name", "module", "file", "line"}, ...]}

    ``locals`` lists the paused frame's variables (dunder names left out; reprs are
    shortened, a repr that raises shows as "<unrepresentable TYPE>"). ``call_stack``
    lists the workbook frames only, outermost first and innermost (the paused frame)
    last. Without a usable ``loop`` the debugger cannot report a stop and does not
    pause.

Commands
    The stepping commands and the stop only queue a request and wake the worker; no
    command raises, and only ``evaluate_expression`` waits (bounded).
    ``continue_execution`` runs to the next breakpoint; ``step_into`` stops at the
    next line of workbook code wherever it is; ``step_over`` at the next line of the
    paused function (in a generator that yields: its next line once it is resumed),
    or, once the function returns, wherever workbook code runs next; ``step_out`` at
    the next line of workbook code after the paused function has returned or yielded.
    These four are ignored while nothing is paused, and only the first command
    for a stop counts. ``interrupt()`` ends a pause with ``KeyboardInterrupt``
    raised on the worker, in the paused code (the run is interrupted, as running
    code is by the kernel); it returns False, doing nothing, while nothing is
    paused. One that arrives as the worker resumes is raised at the next line of
    workbook code instead. ``stop_debugging`` ends the session at any
    time: a paused worker resumes and the run ends with ``bdb.BdbQuit`` inside (the
    next line of workbook code raises it if the code is running; a run not started
    yet is not started), and ``runcall`` returns None. Code that catches
    ``BaseException`` itself may swallow that quit, and a stop is noticed only when
    workbook code runs.

Evaluation
    ``evaluate_expression(expression)`` evaluates in the paused frame's globals and
    locals, on the worker thread (so output and thread state are the run's own),
    waiting at most ``EVALUATE_TIMEOUT`` seconds, and returns
    ``{"result": repr, "result_type": type name}`` or ``{"error": text}`` (nothing paused,
    not a str, the expression raised, or it took too long).

Exceptions from the debugged code, whatever their class, leave ``runcall``
unchanged; only the debugger's own quit after a stop is turned into None. Tracing is
removed from the worker thread (``sys.settrace(None)``) when ``runcall`` ends, however
it ends. Nothing is shared between
sessions: breakpoints live in the instance, not in ``bdb.Breakpoint``'s class tables.
"""

from __future__ import annotations

import asyncio
import bdb
import logging
import queue
import reprlib
import sys
import threading
import weakref
from typing import Any, Awaitable, Callable, Dict, List, Optional

from ._errors import describe_error

logger = logging.getLogger(__name__)

_VIRTUAL_PREFIX = "<virtual:"
_STOP = "stop"
_INTERRUPT = "interrupt"

class _ShortRepr(reprlib.Repr):
    """Shortened reprs for the variables of a stop; a repr that raises is named, not raised."""

    def __init__(self):
        super().__init__()
        self.maxlevel = 3
        self.maxstring = self.maxother = 300
        self.maxlong = 100
        self.maxtuple = self.maxlist = self.maxarray = self.maxset = self.maxfrozenset = self.maxdeque = 30
        self.maxdict = 20

    def repr_instance(self, x, level):
        try:
            text = repr(x)
        except BaseException:  # SystemExit, KeyboardInterrupt too: a repr never ends the run
            return f"<unrepresentable {type(x).__name__}>"
        if len(text) > self.maxother:
            text = text[:self.maxother - 3] + "..."
        return text


_locals_repr = _ShortRepr()


def virtual_filename(module_name: str) -> str:
    """The file name workbook module code is compiled under."""
    return f"{_VIRTUAL_PREFIX}{module_name}>"


def _module_of(filename: str) -> str:
    """The workbook module name of a virtual file name (any other name as it is)."""
    if filename.startswith(_VIRTUAL_PREFIX) and filename.endswith(">"):
        return filename[len(_VIRTUAL_PREFIX):-1]
    return filename


def _safe_repr(value: Any, limit: Optional[int] = None) -> str:
    try:
        text = _locals_repr.repr(value) if limit is None else repr(value)
        if not isinstance(text, str):
            raise TypeError("__repr__ returned a non-string")
    except BaseException:  # whatever user code raises, the session stays paused
        return f"<unrepresentable {type(value).__name__}>"
    if limit is not None and len(text) > limit:
        text = text[:limit] + "..."
    return text


class _Evaluation:
    """An expression handed to the paused worker, with its answer."""

    __slots__ = ("expression", "result", "done")

    def __init__(self, expression: str):
        self.expression = expression
        self.result: Dict[str, Any] = {}
        self.done = threading.Event()

    def answer(self, result: Dict[str, Any]) -> None:
        self.result = result
        self.done.set()


# Sessions inside runcall. At interpreter shutdown they are stopped before the worker
# pool joins its threads, so a worker paused forever cannot hang the exit.
_live_sessions: "weakref.WeakSet[VantrelDebugger]" = weakref.WeakSet()
_exit_hook_registered = False


def _stop_live_sessions() -> None:
    for session in list(_live_sessions):
        session.stop_debugging()


def _register_exit_hook() -> None:
    global _exit_hook_registered
    if _exit_hook_registered:
        return
    _exit_hook_registered = True
    register = getattr(threading, "_register_atexit", None)
    try:
        if register is not None:
            register(_stop_live_sessions)
    except RuntimeError:  # the interpreter is already shutting down
        pass


class VantrelDebugger(bdb.Bdb):
    """One debug session of a workbook function."""

    EVALUATE_TIMEOUT = 5.0
    EVALUATE_REPR_LIMIT = 10000

    def __init__(self, send_message: Callable[[dict], Awaitable[None]], workbook_id: str):
        super().__init__()
        self.send_message = send_message
        self.workbook_id = workbook_id
        self.loop: Optional[asyncio.AbstractEventLoop] = None
        self.step_mode: Optional[str] = None
        self.stopped = False
        self.in_memory_modules: List[str] = []
        self.quitting = False
        self.botframe = None
        self._set_stopinfo(None, None)
        self._breakpoints: Dict[str, frozenset] = {}
        self._workbook_files: frozenset = frozenset()
        self._commands: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        self._paused_frame = None
        self._leave_frame = None
        self._entry_pending: Optional[bool] = None
        self._interrupted = False

    # -- set-up -----------------------------------------------------------------------

    @property
    def breakpoints(self) -> Dict[str, List[int]]:
        """The breakpoints in force: virtual file name -> sorted lines."""
        return {filename: sorted(lines) for filename, lines in self._breakpoints.items()}

    @property
    def paused(self) -> bool:
        """True while the worker is paused and waiting for a command."""
        return self._paused_frame is not None

    def set_breakpoints(self, breakpoints: Any) -> None:
        """Replace all breakpoints (accepted shapes: see the module docstring); never raises."""
        try:
            if isinstance(breakpoints, dict):
                items = [{"module_name": key, "line": line}
                         for key, lines in breakpoints.items()
                         for line in (lines if isinstance(lines, (list, tuple, set)) else [lines])]
            elif isinstance(breakpoints, (list, tuple)):
                items = list(breakpoints)
            else:
                logger.warning(f"Ignoring breakpoints of type {type(breakpoints).__name__}")
                return
            by_file: Dict[str, set] = {}
            for item in items:
                filename = self._breakpoint_file(item)
                line = item.get("line") if isinstance(item, dict) else None
                if filename is None or isinstance(line, bool) or not isinstance(line, int) or line < 1:
                    logger.warning(f"Skipping malformed breakpoint {item!r}")
                    continue
                by_file.setdefault(filename, set()).add(line)
            # one reference swap: the tracing thread sees the old or the new set, whole
            self._breakpoints = {filename: frozenset(lines) for filename, lines in by_file.items()}
        except Exception as e:  # called inline on the kernel's loop: never raise
            logger.warning("Ignoring breakpoints that could not be read: %s", e)

    @staticmethod
    def _breakpoint_file(item: Any) -> Optional[str]:
        if not isinstance(item, dict):
            return None
        for key in ("module_name", "module"):
            name = item.get(key)
            if isinstance(name, str) and name:
                return virtual_filename(name)
        for key in ("file", "path"):
            name = item.get(key)
            if isinstance(name, str) and name:
                if name.startswith(_VIRTUAL_PREFIX) and name.endswith(">"):
                    return name
                if name.endswith(".py") and len(name) > 3:
                    name = name[:-3]
                return virtual_filename(name)
        return None

    def set_in_memory_modules(self, names: Any) -> None:
        """Remember which module names are the workbook's own (in-memory) modules."""
        try:
            known = [name for name in names if isinstance(name, str) and name]
        except TypeError:
            logger.warning(f"Ignoring in-memory module names of type {type(names).__name__}")
            return
        self.in_memory_modules = known
        self._workbook_files = frozenset(virtual_filename(name) for name in known)

    def _is_workbook_file(self, filename: str) -> bool:
        files = self._workbook_files
        if files:
            return filename in files
        return filename.startswith(_VIRTUAL_PREFIX) and filename.endswith(">")

    # -- running (worker thread) --------------------------------------------------------

    def runcall(self, func: Callable[..., Any], *args: Any) -> Any:
        """Run ``func(*args)`` under the debugger on the calling thread.

        Returns the call's value, or None when the session was stopped.
        """
        if self.stopped:
            return None
        _register_exit_hook()
        if self._entry_pending is None:
            self._entry_pending = self.step_mode == "entry"
        # not bdb's reset(): its linecache.checkcache() can raise KeyError while the
        # loop thread deletes a module's lines, and the source lines are not needed here
        self.botframe = sys._getframe()
        if self._entry_pending:
            self._set_stopinfo(None, None)
        else:
            self._set_stopinfo(self.botframe, None, -1)
        self._leave_frame = None
        _live_sessions.add(self)
        sys.settrace(self.trace_dispatch)
        try:
            value = func(*args)
        except bdb.BdbQuit:
            if not self.stopped:
                raise
            value = None
        finally:
            sys.settrace(None)
            self.quitting = True
            _live_sessions.discard(self)
            self._paused_frame = None
            self._leave_frame = None
            self.botframe = self.stopframe = self.returnframe = None
            self._discard_commands()
        return None if self.stopped else value

    def trace_dispatch(self, frame, event, arg):
        if self.quitting:
            return None
        filename = frame.f_code.co_filename
        files = self._workbook_files
        if not (filename in files if files else
                filename.startswith(_VIRTUAL_PREFIX) and filename.endswith(">")):
            return None  # library and kernel code runs untraced
        if event == "line" or event == "call":
            if self.stopped:
                self.set_quit()
                raise bdb.BdbQuit
            if self._interrupted:
                self._interrupted = False
                raise KeyboardInterrupt
            if event == "line" and self.stoplineno == -1 and self.stopframe is self.botframe:
                # running to a breakpoint: nothing but a breakpoint stops at this line
                lines = self._breakpoints.get(filename)
                if not lines or frame.f_lineno not in lines:
                    return self.trace_dispatch
        return super().trace_dispatch(frame, event, arg)

    def break_here(self, frame) -> bool:
        lines = self._breakpoints.get(frame.f_code.co_filename)
        return bool(lines) and frame.f_lineno in lines

    def break_anywhere(self, frame) -> bool:
        # Only workbook frames get here (trace_dispatch leaves every other file untraced),
        # and each is traced line by line, so that breakpoints set while it runs and a
        # stop request take effect in it.
        return True

    def dispatch_return(self, frame, arg):
        if frame is self._leave_frame:
            # the frame of a step over/out is left (returned or yielded):
            # stop at the next line of workbook code, wherever it is
            self._leave_frame = None
            self._set_stopinfo(None, None)
            return self.trace_dispatch
        return super().dispatch_return(frame, arg)

    def user_line(self, frame) -> None:
        try:
            if self._entry_pending:
                self._entry_pending = False
                reason = "entry"
            elif self.break_here(frame):
                reason = "breakpoint"
            else:
                reason = "step"
            self._pause(frame, reason)
        except Exception as e:  # a fault of the debugger must not become the user's exception
            logger.error("Debugger failed to pause: %s", e)
            self._paused_frame = None

    def _pause(self, frame, reason: str) -> None:
        self._discard_commands()
        if self.stopped:
            self.set_quit()
            return
        loop = self.loop
        if loop is None or loop.is_closed():
            logger.warning("Debugger has no event loop to report a stop; not pausing")
            return
        if self._interrupted:  # asked for as the previous pause ended
            self._interrupted = False
            raise KeyboardInterrupt
        self._paused_frame = frame  # before the report: an answer may come at once
        command = None
        try:
            if not self._report(loop, self._stop_message(frame, reason)):
                return
            while True:
                command = self._commands.get()
                if isinstance(command, _Evaluation):
                    command.answer(self._evaluate(frame, command.expression))
                    continue
                break
        finally:
            self._paused_frame = None
        if command == _INTERRUPT or self._interrupted:
            self._interrupted = False
            raise KeyboardInterrupt
        self._resume(command, frame)

    def _resume(self, command: str, frame) -> None:
        self._leave_frame = None
        if command == _STOP or self.stopped:
            self.set_quit()
        elif command == "into":
            self._set_stopinfo(None, None)
        elif command == "over":
            self._set_stopinfo(frame, None)
        elif command == "out":
            self._set_stopinfo(frame, None, -1)
            self._leave_frame = frame
        else:  # continue
            self._set_stopinfo(self.botframe, None, -1)

    def _discard_commands(self) -> None:
        """Drop commands that answer no current pause; pending evaluations get an error."""
        while True:
            try:
                command = self._commands.get_nowait()
            except queue.Empty:
                return
            if isinstance(command, _Evaluation):
                command.answer({"error": "The debugged code is no longer paused"})

    def _report(self, loop, message: dict) -> bool:
        try:
            coroutine = self.send_message(message)
        except Exception as e:
            logger.error("Debugger could not report a stop: %s", e)
            return False
        try:
            future = asyncio.run_coroutine_threadsafe(coroutine, loop)
        except Exception as e:
            close = getattr(coroutine, "close", None)
            if close is not None:
                close()
            logger.error("Debugger could not report a stop: %s", e)
            return False
        future.add_done_callback(_log_send_failure)
        return True

    def _stop_message(self, frame, reason: str) -> dict:
        filename = frame.f_code.co_filename
        return {
            "type": "debug_stopped",
            "workbook_id": self.workbook_id,
            "module": _module_of(filename),
            "line": frame.f_lineno,
            "file": filename,
            "reason": reason,
            "locals": self._locals_of(frame),
            "call_stack": self._call_stack(frame),
        }

    @staticmethod
    def _locals_of(frame) -> List[Dict[str, str]]:
        try:
            variables = list(frame.f_locals.items())
        except Exception as e:
            logger.warning("Debugger could not read the frame's variables: %s", e)
            return []
        return [{"name": name, "type": type(value).__name__, "repr": _safe_repr(value)}
                for name, value in variables
                if not (isinstance(name, str) and name.startswith("__") and name.endswith("__"))]

    def _call_stack(self, frame) -> List[Dict[str, Any]]:
        stack = []
        while frame is not None and frame is not self.botframe:
            filename = frame.f_code.co_filename
            if self._is_workbook_file(filename):
                stack.append({"name": frame.f_code.co_qualname, "module": _module_of(filename),
                              "file": filename, "line": frame.f_lineno})
            frame = frame.f_back
        stack.reverse()
        return stack

    def _evaluate(self, frame, expression: str) -> Dict[str, Any]:
        try:
            code = compile(expression, "<debug-evaluate>", "eval", dont_inherit=True)
            value = eval(code, frame.f_globals, frame.f_locals)
        except BaseException as e:  # whatever it raises is the answer, not the run's end
            return {"error": describe_error(e)}
        # The kernel merges this mapping into its reply, whose own "type" key must stay.
        return {"result": _safe_repr(value, self.EVALUATE_REPR_LIMIT), "result_type": type(value).__name__}

    # -- commands from the event-loop thread ---------------------------------------------

    def _command(self, mode: str) -> None:
        if self._paused_frame is None:
            logger.debug(f"Debugger command '{mode}' with nothing paused, ignored")
            return
        self._commands.put(mode)

    def continue_execution(self) -> None:
        self._command("continue")

    def step_over(self) -> None:
        self._command("over")

    def step_into(self) -> None:
        self._command("into")

    def step_out(self) -> None:
        self._command("out")

    def interrupt(self) -> bool:
        """End the pause with KeyboardInterrupt raised in the paused code; False (and
        nothing done) when nothing is paused."""
        if self._paused_frame is None:
            return False
        self._interrupted = True
        self._commands.put(_INTERRUPT)
        return True

    def stop_debugging(self) -> None:
        """End the session: a paused or running call ends, a later one does not start."""
        self.stopped = True
        self._commands.put(_STOP)

    def evaluate_expression(self, expression: str) -> Dict[str, Any]:
        """Evaluate in the paused frame; a mapping merged into the kernel's reply."""
        if not isinstance(expression, str):
            return {"error": f"The expression must be a str, not {type(expression).__name__}"}
        if self._paused_frame is None:
            return {"error": "No paused frame to evaluate in"}
        request = _Evaluation(expression)
        self._commands.put(request)
        if not request.done.wait(self.EVALUATE_TIMEOUT):
            return {"error": f"The evaluation did not finish within {self.EVALUATE_TIMEOUT} seconds"}
        return request.result


def _log_send_failure(future) -> None:
    if future.cancelled():
        return
    error = future.exception()
    if error is not None:
        logger.error(f"Debugger could not send debug_stopped: {error}")
