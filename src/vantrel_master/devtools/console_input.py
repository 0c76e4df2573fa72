"""What the console makes of the text it reads: when an entry is complete, the
arguments of ``:call``, and which lines of a module a breakpoint can stop at.

Nothing here talks to the kernel or needs a terminal; both front ends of the
console (piped lines and the terminal editor) use these rules.
"""

from __future__ import annotations

import ast
import codeop
import dis
import inspect
import io
import tokenize
import warnings
from types import CodeType
from typing import Any, Dict, List, Optional, Set, Tuple

EOF = object()        # end of input
INTERRUPT = object()  # Ctrl-C at a prompt

COMMANDS = (":load", ":modules", ":call", ":stream", ":cancel", ":objects", ":break", ":debug", ":vars",
            ":reset", ":help", ":quit")


def entry_complete(text: str) -> bool:
    """True when the console runs ``text`` as it stands, as Python's own prompt would:
    ``x = [1,`` and ``if a:`` go on; ``x = [1,\\n2]`` and ``if a: b`` are complete; an
    indented block (``def``, ``for``, ...) is complete once it ends with a blank line,
    so a blank line followed by more indented lines stays inside the block. A console
    command (``:...``) is one line. Text that cannot compile is complete: the kernel
    reports the error."""
    if not text.strip() or text.lstrip().startswith(":"):
        return True
    ends_blank = "\n" in text and not text.rsplit("\n", 1)[1].strip()
    source = text.rstrip()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            if codeop.compile_command(source, "<console>", "exec") is None:
                return False
    except (SyntaxError, ValueError, OverflowError):
        return True
    return ends_blank or not _inside_block(source)


def _inside_block(source: str) -> bool:
    """Whether the last statement of ``source`` is indented inside a compound statement
    (the tokenizer closes such a block with DEDENT tokens after the last NEWLINE)."""
    after_last_newline: List[int] = []
    try:
        for token in tokenize.generate_tokens(io.StringIO(source + "\n").readline):
            if token.type == tokenize.NEWLINE:
                after_last_newline = []
            else:
                after_last_newline.append(token.type)
    except (tokenize.TokenError, SyntaxError):
        return False
    return tokenize.DEDENT in after_last_newline


def next_indent(text: str) -> str:
    """The indentation for a new line after ``text``: the last line's, one level deeper
    after a line that opens a block."""
    last = text.rsplit("\n", 1)[-1]
    indent = last[:len(last) - len(last.lstrip())]
    if last.rstrip().endswith(":"):
        indent += "    "
    return indent


class CallArguments:
    """The parsed form of ``MODULE.FUNCTION [ARG, ..., NAME=ARG, ...]``: positional and
    keyword arguments, each a Python literal; ``source`` keeps each argument's text."""

    def __init__(self, module: str, function: str, args: List[Any], kwargs: Dict[str, Any],
                 source: List[str]) -> None:
        self.module = module
        self.function = function
        self.args = args
        self.kwargs = kwargs
        self.source = source


def parse_call(rest: str) -> CallArguments:
    """``MODULE.FUNCTION`` and its literal arguments; ValueError with a message for the
    user when they are not that."""
    target, _, arguments = rest.strip().partition(" ")
    module, dot, function = target.rpartition(".")
    if not dot or not module or not function:
        raise ValueError("name the function as MODULE.FUNCTION")
    if not all(part.isidentifier() for part in (*module.split("."), function)):
        raise ValueError(f"{target!r} is not a dotted Python name")
    args: List[Any] = []
    kwargs: Dict[str, Any] = {}
    source: List[str] = []
    if not arguments.strip():
        return CallArguments(module, function, args, kwargs, source)
    try:
        call = ast.parse(f"_({arguments})", mode="eval").body
    except SyntaxError as exc:
        raise ValueError(f"the arguments do not parse: {exc.msg}") from None
    if not (isinstance(call, ast.Call) and isinstance(call.func, ast.Name) and call.func.id == "_"):
        raise ValueError("the arguments do not parse as a list of arguments")
    for node in call.args:
        if isinstance(node, ast.Starred):
            raise ValueError("*arguments are not supported; write the values out")
        args.append(_literal(node))
        source.append(ast.unparse(node))
    for keyword in call.keywords:
        if keyword.arg is None:
            raise ValueError("**arguments are not supported; write NAME=VALUE")
        kwargs[keyword.arg] = _literal(keyword.value)
        source.append(f"{keyword.arg}={ast.unparse(keyword.value)}")
    return CallArguments(module, function, args, kwargs, source)


def _literal(node: ast.expr) -> Any:
    try:
        return ast.literal_eval(node)
    except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
        text = ast.unparse(node)
        if isinstance(node, ast.Name):
            raise ValueError(f"{text} is a name, not a literal: the arguments are Python literals "
                             f"(numbers, strings, lists, dicts, ...); to pass a console variable "
                             f"run {text!r} in a cell instead") from None
        raise ValueError(f"{text} is not a Python literal") from None


def binding_expression(call: CallArguments) -> str:
    """An expression that, run in the kernel, binds the call's arguments to the function's
    signature and gives ``(None, keyword_only_names, positional_values)``: the positional
    values with the defaults filled in, in parameter order. The defaults go in first, so
    that a keyword after a skipped defaulted parameter (``f(1, c=10)`` for
    ``def f(a, b=2, c=1)``) becomes positional; a passed name that stays a keyword is
    keyword-only (a keyword-only parameter left to its default is no obstacle)."""
    function = (f"getattr(__import__('importlib').import_module({call.module!r}), "
                f"{call.function!r})")
    passed = sorted(call.kwargs)
    return (f"(lambda b: (b.apply_defaults(), [k for k in {passed!r} if k in b.kwargs], list(b.args)))"
            f"(__import__('inspect').signature({function}).bind({', '.join(call.source)}))")


def code_lines(source: str, filename: str = "<module>") -> Set[int]:
    """The lines of ``source`` where a debug run of one of its functions can stop: the
    lines with code inside functions (the module's and class bodies' own statements ran
    when it was imported, before any run; a ``def`` line itself runs nothing when the
    function is called). SyntaxError when the source does not compile."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        code = compile(source, filename, "exec", dont_inherit=True)
    lines: Set[int] = set()
    pending = [code]
    while pending:
        item = pending.pop()
        pending.extend(const for const in item.co_consts if isinstance(const, CodeType))
        if not item.co_flags & inspect.CO_NEWLOCALS:
            continue
        started = False  # past the prologue (RESUME and what comes before it)
        for instruction in dis.get_instructions(item):
            if started and instruction.positions is not None and instruction.positions.lineno:
                lines.add(instruction.positions.lineno)
            started = started or instruction.opname == "RESUME"
    return lines


def nearest(lines: Set[int], line: int) -> Optional[int]:
    """The code line closest to ``line`` (the later one on a tie), or None."""
    return min(lines, key=lambda candidate: (abs(candidate - line), -candidate), default=None)


def frame_evaluation(expression: str, depth: int) -> str:
    """An expression that evaluates ``expression`` in the workbook frame ``depth`` levels
    above the paused one (the debugger evaluates in the paused frame; this walks from
    there to its callers, keeping the frames of workbook modules)."""
    frames = ("[f for f in __import__('itertools').accumulate(range(10000), lambda f, _: f and f.f_back, "
              "initial=__import__('sys')._getframe()) if f and f.f_code.co_filename.startswith('<virtual:')]")
    return f"(lambda fs: eval({expression!r}, fs[{depth}].f_globals, fs[{depth}].f_locals))({frames})"


def split_location(words: List[str]) -> Tuple[Optional[str], Optional[int]]:
    """``[MODULE] LINE`` as (module or None, line), or (None, None) when it is not that."""
    if len(words) == 1 and words[0].isdigit():
        return None, int(words[0])
    if len(words) == 2 and words[1].isdigit():
        return words[0], int(words[1])
    return None, None
