"""What the console writes: its output lines, the kernel's output of other threads, tracebacks.

Part of :class:`.console.Console`, as the mixin :class:`Output`: what it writes goes to the
line editor (above its prompt, while one is up) or to the console's own standard streams,
dimmed or highlighted on a terminal (never when ``NO_COLOR`` is set). It keeps, per stream,
whether the last output ended mid-line, so that prompts and tracebacks start lines of
their own.
"""

from __future__ import annotations

import os
import sys
from typing import Any, TextIO

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


class Output:
    """Writing to the console's streams (state: ``terminal``, ``interactive``, ``_line_open``,
    ``_prompt_open``, ``_reprompt``)."""

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
