"""How the console reads what the user types: piped lines, the line editor's entries, and
lines typed at a terminal while an entry runs.

Part of :class:`.console.Console`, as the mixin :class:`LineInput`. Piped input is read by
a thread of its own into a queue of lines (``_lines``), each echoed after its prompt so that
the output reads as a transcript; on a terminal the line editor
(:mod:`.console_terminal`) reads whole entries.
"""

from __future__ import annotations

import codecs
import os
import sys
from typing import Any, List

from .console_input import EOF, INTERRUPT, entry_complete


class LineInput:
    """Reading lines and entries (state: ``_lines``, ``_input``, ``_eof``, ``_typing``,
    ``_typed``, ``_typed_pending``, ``terminal``, ``interactive``)."""

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
