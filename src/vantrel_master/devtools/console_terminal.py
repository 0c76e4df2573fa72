"""The console's front end on a terminal, on prompt_toolkit.

Entries are edited in a multi-line buffer: Enter runs the entry when it is complete
(see :func:`.console_input.entry_complete`) and the cursor is at its end (a complete
one-line entry runs wherever the cursor is, as in IPython), and otherwise starts a
new line, indented like the last one (one level deeper after a ``:``). Tab at the start of a line indents; elsewhere it asks the kernel for
completions (a ``completion_request`` whose code is the session's earlier entries
followed by the buffer, so names defined earlier complete too), or completes the
console's commands, the paths of ``:load`` and the module functions of ``:call``,
``:stream`` and ``:debug``. Up and Down walk the history, which is kept in a file
across sessions. Ctrl-C discards the buffer, Ctrl-D on an empty buffer ends input.

While a prompt is shown, output of the console (the kernel's other threads, a
debug run's output) is printed above it: complete lines at once, a line without
its end when the prompt closes.

Imported only when the console runs on a terminal, so that piped sessions work
where prompt_toolkit is not installed.
"""

from __future__ import annotations

import asyncio
import functools
import os
import re
from typing import Any, AsyncGenerator, Dict, Iterable, List, Optional, TextIO

from prompt_toolkit import PromptSession
from prompt_toolkit.application import run_in_terminal
from prompt_toolkit.application.current import get_app, get_app_or_none
from prompt_toolkit.completion import CompleteEvent, Completer, Completion, PathCompleter
from prompt_toolkit.document import Document
from prompt_toolkit.filters import Condition
from prompt_toolkit.history import FileHistory, History, InMemoryHistory
from prompt_toolkit.key_binding import KeyBindings
from prompt_toolkit.lexers import DynamicLexer, PygmentsLexer
from prompt_toolkit.styles import Style
from pygments.lexers.python import PythonLexer

from .console_input import COMMANDS, INTERRUPT, entry_complete, next_indent

STYLE = Style.from_dict({
    "prompt": "ansigreen",
    "prompt.number": "ansigreen bold",
    "continuation": "ansigreen",
})

# LSP completion item kinds, as the language service reports them
KINDS = {3: "function", 6: "variable", 7: "class", 9: "module", 10: "property", 14: "keyword", 17: "path"}

CLOSED = object()  # a prompt closed because what it waited for has happened


class KernelCompleter(Completer):
    """Completions from the kernel for code, from the console for its commands."""

    def __init__(self, console: Any) -> None:
        self.console = console
        self.paths = PathCompleter(expanduser=True)

    def get_completions(self, document: Document, complete_event: CompleteEvent) -> Iterable[Completion]:
        return iter(())  # every answer needs the kernel: see get_completions_async

    async def get_completions_async(self, document: Document,
                                    complete_event: CompleteEvent) -> AsyncGenerator[Completion, None]:
        if document.text.lstrip().startswith(":"):
            async for completion in self._command(document, complete_event):
                yield completion
            return
        context = self.console.completion_context()
        items = await self.console.complete(context + document.text,
                                            context.count("\n") + document.cursor_position_row + 1,
                                            document.cursor_position_col)
        word = re.search(r"\w*$", document.text_before_cursor).group()
        for completion in _completions(items, word):
            yield completion

    async def _command(self, document: Document,
                       complete_event: CompleteEvent) -> AsyncGenerator[Completion, None]:
        text = document.text_before_cursor.lstrip()
        name, space, rest = text.partition(" ")
        if not space:
            for command in COMMANDS:
                if command.startswith(name):
                    yield Completion(command + " ", start_position=-len(name), display=command)
            return
        argument = rest.lstrip()
        if " " in argument:
            return
        if name == ":load":
            for completion in self.paths.get_completions(Document(argument), complete_event):
                yield completion
        elif name == ":break":
            for module in sorted(self.console.sources):
                if module.startswith(argument):
                    yield Completion(module + " ", start_position=-len(argument), display=module)
        elif name in (":call", ":stream", ":debug"):
            module, dot, attribute = argument.rpartition(".")
            if dot:
                code, word = f"import {module}\n{argument}", attribute
            else:
                code, word = f"import {argument}", argument
            line = code.count("\n") + 1
            items = await self.console.complete(code, line, len(code.rsplit("\n", 1)[-1]))
            for completion in _completions(items, word):
                yield completion


def _completions(items: List[Dict[str, Any]], word: str) -> Iterable[Completion]:
    for item in items:
        text = item.get("insertText") or item.get("label")
        if not isinstance(text, str) or not text:
            continue
        label = item.get("label")
        yield Completion(text, start_position=-len(word), display=label if isinstance(label, str) else text,
                         display_meta=KINDS.get(item.get("kind"), ""))


def _raw_write(stream: TextIO, text: str) -> None:
    try:
        stream.write(text)
        stream.flush()
    except (OSError, ValueError):
        pass


def _entry_bindings() -> KeyBindings:
    bindings = KeyBindings()

    @bindings.add("enter")
    def _enter(event: Any) -> None:
        buffer = event.current_buffer
        if buffer.complete_state is not None:
            completion = buffer.complete_state.current_completion
            if completion is not None:
                buffer.apply_completion(completion)
            else:
                buffer.cancel_completion()
            return
        document = buffer.document
        one_line = "\n" not in document.text
        if document.text_after_cursor.strip() and not (one_line and entry_complete(document.text)):
            # inside a multi-line entry, or an incomplete one: a new line at the cursor
            buffer.insert_text("\n" + next_indent(document.text_before_cursor))
        elif entry_complete(document.text):
            buffer.text = document.text.rstrip()
            buffer.validate_and_handle()
        else:
            buffer.insert_text("\n" + next_indent(document.text))

    @Condition
    def at_indentation() -> bool:
        return not get_app().current_buffer.document.current_line_before_cursor.strip()

    @bindings.add("tab", filter=at_indentation)
    def _indent(event: Any) -> None:
        event.current_buffer.insert_text("    ")

    return bindings


def _history(path: str) -> History:
    try:
        os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
        with open(path, "ab"):
            pass
    except OSError:
        return InMemoryHistory()  # a read-only home: history for this session only
    return FileHistory(path)


class TerminalFrontend:
    """The prompts of a console on a terminal: entries, debug commands and questions."""

    def __init__(self, console: Any, history_path: str) -> None:
        self.console = console
        self.history_path = history_path
        python = PygmentsLexer(PythonLexer)
        self.entries: PromptSession = PromptSession(
            history=_history(history_path), completer=KernelCompleter(console), complete_while_typing=False,
            lexer=DynamicLexer(lambda: None if get_app().current_buffer.text.lstrip().startswith(":") else python),
            multiline=True, key_bindings=_entry_bindings(), prompt_continuation=self._continuation, style=STYLE)
        self.lines: PromptSession = PromptSession(history=InMemoryHistory(), style=STYLE)
        self._pending: Dict[TextIO, str] = {}     # a line without its end, held while a prompt runs
        self._writes: List[asyncio.Future] = []   # outputs queued above the prompt

    @staticmethod
    def _continuation(width: int, line_number: int, wrap_count: int) -> Any:
        return [("class:continuation", "...: ".rjust(width))]

    async def read_entry(self, number: int, default: str = "") -> Any:
        """An entry (str), INTERRUPT for Ctrl-C, None at the end of input; the buffer
        starts with ``default`` (what was typed while the last entry ran)."""
        return await self._prompt(self.entries, [("class:prompt", "In ["), ("class:prompt.number", str(number)),
                                                 ("class:prompt", "]: ")], default=default)

    async def read_line(self, message: str, until: Optional[asyncio.Future] = None, is_password: bool = False) -> Any:
        """One line (str), INTERRUPT, None at the end of input, or CLOSED when ``until``
        is done first; ``is_password`` hides what is typed."""
        return await self._prompt(self.lines, message, until, is_password=is_password)

    async def _prompt(self, session: PromptSession, message: Any, until: Optional[asyncio.Future] = None,
                      **options: Any) -> Any:
        async def answer() -> Any:
            # KeyboardInterrupt must not leave a task: asyncio would re-raise it out of the loop.
            try:
                return await session.prompt_async(message, handle_sigint=False, **options)
            except KeyboardInterrupt:
                return INTERRUPT
            except EOFError:
                return None

        task = asyncio.ensure_future(answer())
        try:
            if until is not None:
                await asyncio.wait({task, until}, return_when=asyncio.FIRST_COMPLETED)
                if not task.done():
                    if session.app.is_running:
                        session.app.exit(result=CLOSED)
                    else:
                        task.cancel()
            return await task
        except asyncio.CancelledError:
            task.cancel()
            raise
        finally:
            await self._flush()

    def prompting(self) -> bool:
        app = get_app_or_none()
        return app is not None and app.is_running and not app.is_done

    def interrupt(self) -> None:
        """Ctrl-C for the prompt on screen (a SIGINT that did not come from its keyboard)."""
        app = get_app_or_none()
        if app is not None and app.is_running and not app.is_done:
            app.exit(exception=KeyboardInterrupt, style="class:aborting")

    def write_above(self, text: str, stream: TextIO) -> bool:
        """Print ``text`` above the prompt on screen; False when there is none."""
        if not self.prompting():
            return False
        pending = self._pending.pop(stream, "") + text
        lines, newline, rest = pending.rpartition("\n")
        if rest:
            self._pending[stream] = rest
        if newline:
            self._writes = [write for write in self._writes if not write.done()]
            self._writes.append(asyncio.ensure_future(
                run_in_terminal(functools.partial(_raw_write, stream, lines + newline))))
        return True

    async def _flush(self) -> None:
        """After a prompt: what was queued above it, then the lines held without their end."""
        writes, self._writes = self._writes, []
        if writes:
            await asyncio.gather(*writes, return_exceptions=True)
        pending, self._pending = self._pending, {}
        for stream, text in pending.items():
            _raw_write(stream, text)

    async def close(self) -> None:
        self.interrupt()
        await self._flush()
