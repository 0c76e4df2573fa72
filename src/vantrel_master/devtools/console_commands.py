"""The console's commands (``:load``, ``:call``, ``:stream``, ``:objects``, ``:vars``,
``:reset``, ``:help`` ...), except the debugger's (:mod:`.console_debugger`).

Part of :class:`.console.Console`, as the mixin :class:`Commands`.
"""

from __future__ import annotations

import ast
import traceback
import warnings
from pathlib import Path
from typing import Any, List, Optional

from .console_input import CallArguments, binding_expression, parse_call

SOURCE = "ide"  # the source the console's requests carry
REPLY_TIMEOUT = 10.0

# The user's names: not the private ones, nor the names every namespace starts with (the
# bridge module and its excel and context objects) while they hold what they started with.
VARS_CODE = ("(lambda names, bridge: sorted((k, type(v).__name__) for k, v in names.items() "
             "if not k.startswith('_') and not (k == 'vantrel' and v is bridge) "
             "and not (k in ('excel', 'context') and v is getattr(bridge, k, None))))"
             "(locals(), __import__('sys').modules.get('vantrel'))")

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


class Commands:
    """``:`` commands, dispatched by :meth:`_command`."""

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
