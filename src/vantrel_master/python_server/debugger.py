"""The workbook debugger used by the kernel's debug runs.

The kernel creates one ``VantrelDebugger`` per debug run, sets ``loop`` (its
event loop) and ``step_mode``, hands it the breakpoints and the names of the
workbook's in-memory modules, and calls ``runcall`` on a worker thread. The
stepping commands arrive on the event-loop thread while the worker is paused.

Tracing and pausing are not part of this build yet: ``runcall`` raises
``NotImplementedError``, so a debug run fails on the worker with a clear message
and never pauses. The commands the kernel handles inline on its event loop
(continue, the steps, stop, evaluate) must not raise there — an exception would
end the kernel's session — so with nothing paused they only record the request
(evaluation answers with an error entry).
"""

from __future__ import annotations

import logging
import threading
from typing import Any, Awaitable, Callable, Dict, List, Optional

logger = logging.getLogger(__name__)

_NOT_BUILT = "Debugging is built with the debugger engine and not available in this build"


class VantrelDebugger:
    """One debug session of a workbook function."""

    def __init__(self, send_message: Callable[[dict], Awaitable[None]], workbook_id: str):
        self.send_message = send_message
        self.workbook_id = workbook_id
        self.loop = None
        self.step_mode: Optional[str] = None
        self.breakpoints: Dict[str, List[int]] = {}
        self.raw_breakpoints: List[Any] = []
        self.in_memory_modules: List[str] = []
        self.stopped = False
        self.paused = False
        self._lock = threading.Lock()

    # -- set-up -----------------------------------------------------------------------

    def set_breakpoints(self, breakpoints: Any) -> None:
        """Replace all breakpoints.

        Entries are dicts with a module or file (``module_name``, ``module``,
        ``file`` or ``path``) and a 1-based ``line``; a ``{"<module>": [lines]}``
        mapping is accepted too. Malformed entries are skipped with a warning.
        """
        by_module: Dict[str, set] = {}
        raw: List[Any] = []
        if isinstance(breakpoints, dict):
            items = [{"module_name": key, "line": line}
                     for key, lines in breakpoints.items()
                     for line in (lines if isinstance(lines, (list, tuple)) else [lines])]
        elif isinstance(breakpoints, (list, tuple)):
            items = list(breakpoints)
        else:
            logger.warning(f"Ignoring breakpoints of type {type(breakpoints).__name__}")
            return
        for item in items:
            where = None
            line = None
            if isinstance(item, dict):
                for key in ("module_name", "module", "file", "path"):
                    if isinstance(item.get(key), str) and item[key]:
                        where = item[key]
                        break
                line = item.get("line")
            if where is None or isinstance(line, bool) or not isinstance(line, int) or line < 1:
                logger.warning(f"Skipping malformed breakpoint {item!r}")
                continue
            by_module.setdefault(where, set()).add(line)
            raw.append(item)
        with self._lock:
            self.breakpoints = {name: sorted(lines) for name, lines in by_module.items()}
            self.raw_breakpoints = raw

    def set_in_memory_modules(self, names: Any) -> None:
        """Remember which module names are the workbook's own (in-memory) modules."""
        with self._lock:
            self.in_memory_modules = [name for name in names if isinstance(name, str)]

    # -- running ----------------------------------------------------------------------

    def runcall(self, func: Callable[..., Any], *args: Any) -> Any:
        """Run ``func(*args)`` under the debugger on the calling thread."""
        raise NotImplementedError(_NOT_BUILT)

    # -- commands from the event-loop thread ---------------------------------------------

    def _command(self, mode: str) -> None:
        self.step_mode = mode
        if not self.paused:
            logger.debug(f"Debugger command '{mode}' with nothing paused")

    def continue_execution(self) -> None:
        self._command("continue")

    def step_over(self) -> None:
        self._command("over")

    def step_into(self) -> None:
        self._command("into")

    def step_out(self) -> None:
        self._command("out")

    def stop_debugging(self) -> None:
        """End the session; a paused or later call is not resumed."""
        self.stopped = True
        self._command("stop")

    def evaluate_expression(self, expression: str) -> Dict[str, Any]:
        """Evaluate in the paused frame; a mapping merged into the kernel's reply."""
        return {"result": None, "error": "No paused frame to evaluate in: " + _NOT_BUILT}
