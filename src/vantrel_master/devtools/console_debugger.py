"""The console's debugger front end: ``:break``, ``:debug`` and the commands of a paused run
(``c``, ``n``, ``s``, ``o``, ``p``, ``l``, ``bt``, ``u``, ``d``, ``b``, ``q``).

Part of :class:`.console.Console`, as the mixin :class:`DebuggerFrontend`. A paused run shows
where it stopped and its variables; the frame selected with ``u`` and ``d`` is the one
``l`` lists and ``p`` evaluates in.
"""

from __future__ import annotations

import uuid
from typing import Any, Dict, List, Optional

from .console_commands import SOURCE
from .console_input import code_lines, frame_evaluation, nearest, split_location

STEPS = {"c": "debug_continue", "n": "debug_step_over", "s": "debug_step_into", "o": "debug_step_out"}
DEBUG_HELP = ("debug commands: c (continue), n (step over), s (step into), o (step out), p EXPR, "
              "l (list the source), bt or w (the stack), u / d (a frame up / down), "
              "b [MODULE] LINE (add a breakpoint), q (stop the run)")


class DebuggerFrontend:
    """Breakpoints and debug runs (state: ``breakpoints``, ``_debug_paused``, ``_stop``,
    ``_frame``, ``sources``)."""

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
