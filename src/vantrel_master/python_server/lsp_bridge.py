"""Editor language services for the workbook's code, on jedi, compile() and pyflakes.

The kernel calls the analysis methods with keyword arguments on its event-loop thread
and forwards what they return to the IDE. Every result is a dict with its result key
and "error": None on success, or a text with the result key at its empty default
(bad input, or a failure of the analysis). The methods never raise.

Cursor requests: ``code`` (the edited buffer), ``line`` (1-based), ``column``
(0-based, in characters), ``path`` (str or None), ``modules`` (module name -> source
of the workbook's in-memory modules) and ``dirty_files`` (module name -> unsaved
content or None). Imports in ``code`` see the workbook modules, an unsaved content
taking the place of the module's source; they are written into a private temporary
directory (rewritten only when their content changes, removed when a module is gone
or deleted) that comes first in the analysis' import path, followed by the process'
``sys.path`` and the paths given to ``update_sys_paths``. ``path`` names the edited
buffer: a workbook module ("<virtual:name>", "name" or "name.py") or a real file.
Module names that are not dotted identifiers are left out. jedi runs in the kernel's
own interpreter (no helper process); like any in-process jedi it may import a compiled
extension module found on the import path to inspect it. Calls are serialised.

Results::

    get_completions    -> {"completions": [{"label", "kind", "detail", "documentation",
                                            "insertText", "sortText"}], "error"}
    get_signature_help -> {"signatures": [{"label", "documentation",
                                           "parameters": [{"label"}]}],
                           "activeSignature", "activeParameter", "error"}
    get_hover          -> {"contents": {"kind": "markdown", "value": text} or None, "error"}
    get_diagnostics    -> {"diagnostics": [{"range": {"start": {"line", "character"},
                                                      "end": {"line", "character"}},
                                            "severity", "message", "source", "code"
                                            [, "tags"]}], "error"}

``kind`` is the LSP completion item kind (3 function, 6 variable, 7 class, 9 module,
10 property, 14 keyword, 17 file, 1 anything else); ``insertText`` is the name as it
is inserted (``scale=`` for a keyword argument); ``sortText`` keeps jedi's order.
``documentation`` is given for the first ``DOCUMENTED_COMPLETIONS`` completions only
(it is costly to compute) and is "" for the others. ``activeParameter`` is the index
of the parameter at the cursor in the active signature, 0 when it cannot be told.

Hover text is markdown: a python code block with the signature (``def f(a, b=1)``,
``class C(x)``), the type (``name: int``) or the kind (``module m``), then the
docstring. The hover mode ("compact", the default, or "full"; "detailed" is taken as
another name for "full") chooses between the docstring's first paragraph and all of
it; completion and signature documentation follow the same mode.

Diagnostics come from ``compile()`` (syntax errors with their position, severity 1;
syntax warnings on their line, severity 2; the process' warning filters do not apply
and nothing is printed) and, when the code parses, from pyflakes (undefined names and
the like severity 1, unused imports and other findings severity 2, unused ones tagged
1 "unnecessary"; a finding the compiler reported already is not repeated), ordered by
position. Ranges use LSP's line convention: 0-based lines and 0-based character
offsets within the line (Python characters, not UTF-8 bytes), end exclusive.
``source`` is "compile" or "pyflakes"; ``code`` is the finding's kind (the exception,
warning or pyflakes message class).
"""

from __future__ import annotations

import ast
import functools
import logging
import os
import re
import shutil
import tempfile
import threading
import time
import warnings
import weakref
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

from ._errors import describe_error

logger = logging.getLogger(__name__)

HOVER_MODES = ("compact", "full", "detailed")
DOCUMENTED_COMPLETIONS = 20

_COMPLETION_KINDS = {"function": 3, "param": 6, "instance": 6, "statement": 6, "class": 7,
                     "module": 9, "property": 10, "keyword": 14, "path": 17}

# pyflakes findings that fail when the code runs; the others are warnings
_PYFLAKES_ERRORS = frozenset({
    "UndefinedName", "UndefinedExport", "UndefinedLocal", "DuplicateArgument",
    "ReturnOutsideFunction", "YieldOutsideFunction", "ContinueOutsideLoop", "BreakOutsideLoop",
    "DefaultExceptNotLast", "TwoStarredExpressions", "TooManyExpressionsInStarredAssignment",
    "FutureFeatureNotDefined", "LateFutureImport", "ImportStarNotPermitted", "RaiseNotImplemented",
})
_PYFLAKES_UNNECESSARY = frozenset({"UnusedImport", "UnusedVariable", "UnusedAnnotation",
                                   "UnusedIndirectAssignment"})
_SEVERITY_ERROR = 1
_SEVERITY_WARNING = 2
_TAG_UNNECESSARY = 1


def _serialised(method):
    """One analysis at a time: the module files must not change under a running one."""
    @functools.wraps(method)
    def wrapper(self, *args, **kwargs):
        with self._lock:
            return method(self, *args, **kwargs)
    return wrapper


def _empty_completions(error: Optional[str]) -> Dict[str, Any]:
    return {"completions": [], "error": error}


def _empty_signatures(error: Optional[str]) -> Dict[str, Any]:
    return {"signatures": [], "activeSignature": 0, "activeParameter": 0, "error": error}


def _empty_hover(error: Optional[str]) -> Dict[str, Any]:
    return {"contents": None, "error": error}


# The companions are loaded one by one (each may be replaced by a top-level module of the
# same name), so this module keeps its own small helpers rather than importing the
# debugger's.
_VIRTUAL_PREFIX = "<virtual:"


def _virtual_module(path: str) -> Optional[str]:
    """The workbook module name of a virtual file name, or None for any other name."""
    if path.startswith(_VIRTUAL_PREFIX) and path.endswith(">"):
        return path[len(_VIRTUAL_PREFIX):-1]
    return None


def _split_lines(code: str) -> List[str]:
    """The lines as jedi counts them (\\n, \\r\\n and \\r end a line)."""
    return code.replace("\r\n", "\n").replace("\r", "\n").split("\n")


def _first_paragraph(text: str) -> str:
    text = text.strip()
    for separator in ("\n\n", "\r\n\r\n"):
        if separator in text:
            text = text.split(separator, 1)[0]
    return text.strip()


def _module_file_name(name: str) -> Optional[str]:
    """The relative file of a module name, or None for a name that is not a dotted identifier."""
    parts = name.split(".")
    if not all(part.isidentifier() for part in parts):
        return None
    return os.path.join(*parts) + ".py"


def _char_column(line: str, byte_column: int) -> int:
    """A UTF-8 byte offset into ``line`` as a character offset."""
    return len(line.encode("utf-8")[:max(byte_column, 0)].decode("utf-8", errors="ignore"))


class LSPBridge:
    """Completion, signature help, hover and diagnostics for one kernel."""

    def __init__(self):
        self.sys_paths: List[str] = []
        self.hover_mode = "compact"
        self._lock = threading.RLock()
        self._directory: Optional[Path] = None
        self._cleanup: Optional[weakref.finalize] = None
        self._written: Dict[str, str] = {}  # module name -> content in the directory
        self._mtimes: Dict[str, int] = {}
        self._project = None
        self._environment = None

    # -- state the kernel keeps current -------------------------------------------------

    def update_sys_paths(self, paths: Any) -> None:
        """Use these import paths (str entries, copied) in addition to the process' own."""
        try:
            if isinstance(paths, (str, bytes)):
                raise TypeError(paths)
            new_paths = [p for p in paths if isinstance(p, str) and p]
        except TypeError:
            logger.warning(f"Ignoring sys paths of type {type(paths).__name__}")
            return
        with self._lock:
            if new_paths != self.sys_paths:
                self.sys_paths = new_paths
                self._project = None

    def delete_module(self, module_name: Any) -> None:
        """Forget a workbook module that was deleted."""
        if not isinstance(module_name, str):
            return
        with self._lock:
            self._remove_file(module_name)

    def set_hover_mode(self, mode: Any) -> None:
        """Choose how much documentation shows; unknown modes fall back to "compact"."""
        if not isinstance(mode, str) or mode not in HOVER_MODES:
            logger.warning(f"Unknown hover mode {mode!r}, using 'compact'")
            mode = "compact"
        self.hover_mode = mode

    def close(self) -> None:
        """Remove the module directory (also done when the bridge is collected or at exit)."""
        with self._lock:
            if self._cleanup is not None:
                self._cleanup()
            self._cleanup = None
            self._directory = None
            self._written.clear()
            self._mtimes.clear()
            self._project = None

    # -- analysis -----------------------------------------------------------------------

    @_serialised
    def get_completions(self, *, code: str = "", line: int = 1, column: int = 0,
                        path: Optional[str] = None, modules: Optional[Dict[str, str]] = None,
                        dirty_files: Optional[Dict[str, Optional[str]]] = None) -> Dict[str, Any]:
        script, error = self._script(code, line, column, path, modules, dirty_files)
        if error:
            return _empty_completions(error)
        try:
            completions = script.complete(line, column)
            full = self._full_docs()
            items = []
            for index, completion in enumerate(completions):
                documentation = ""
                if index < DOCUMENTED_COMPLETIONS:
                    documentation = self._doc(completion.docstring(raw=True), full)
                items.append({
                    "label": completion.name,
                    "kind": _COMPLETION_KINDS.get(completion.type, 1),
                    "detail": completion.description,
                    "documentation": documentation,
                    "insertText": completion.name_with_symbols,
                    "sortText": f"{index:05d}",
                })
        except Exception as e:
            logger.warning("Completion failed: %s", e)
            return _empty_completions(f"Completion failed: {describe_error(e)}")
        return {"completions": items, "error": None}

    @_serialised
    def get_signature_help(self, *, code: str = "", line: int = 1, column: int = 0,
                           path: Optional[str] = None, modules: Optional[Dict[str, str]] = None,
                           dirty_files: Optional[Dict[str, Optional[str]]] = None) -> Dict[str, Any]:
        script, error = self._script(code, line, column, path, modules, dirty_files)
        if error:
            return _empty_signatures(error)
        try:
            found = script.get_signatures(line, column)
            full = self._full_docs()
            signatures = [{"label": signature.to_string(),
                           "documentation": self._doc(signature.docstring(raw=True), full),
                           "parameters": [{"label": param.to_string()} for param in signature.params]}
                          for signature in found]
            active_signature = next((i for i, s in enumerate(found) if s.index is not None), 0)
            active_parameter = found[active_signature].index if found else None
        except Exception as e:
            logger.warning("Signature help failed: %s", e)
            return _empty_signatures(f"Signature help failed: {describe_error(e)}")
        return {"signatures": signatures, "activeSignature": active_signature,
                "activeParameter": active_parameter or 0, "error": None}

    @_serialised
    def get_hover(self, *, code: str = "", line: int = 1, column: int = 0,
                  path: Optional[str] = None, modules: Optional[Dict[str, str]] = None,
                  dirty_files: Optional[Dict[str, Optional[str]]] = None) -> Dict[str, Any]:
        script, error = self._script(code, line, column, path, modules, dirty_files)
        if error:
            return _empty_hover(error)
        try:
            names = script.help(line, column)
            if not names:
                return _empty_hover(None)
            name = names[0]
            header = self._hover_header(name)
            doc = self._doc(name.docstring(raw=True), self._full_docs())
        except Exception as e:
            logger.warning("Hover failed: %s", e)
            return _empty_hover(f"Hover failed: {describe_error(e)}")
        parts = [f"```python\n{header}\n```"] if header else []
        if doc:
            parts.append(doc)
        if not parts:
            return _empty_hover(None)
        return {"contents": {"kind": "markdown", "value": "\n\n".join(parts)}, "error": None}

    @_serialised
    def get_diagnostics(self, *, code: str = "", module_name: Optional[str] = None) -> Dict[str, Any]:
        if not isinstance(code, str):
            return {"diagnostics": [], "error": f"code must be a str, not {type(code).__name__}"}
        filename = f"{_VIRTUAL_PREFIX}{module_name}>" if isinstance(module_name, str) and module_name else "<editor>"
        lines = _split_lines(code)
        try:
            diagnostics = self._check(code, filename, lines)
        except Exception as e:
            logger.warning("Diagnostics failed: %s", e)
            return {"diagnostics": [], "error": f"Diagnostics failed: {describe_error(e)}"}
        return {"diagnostics": diagnostics, "error": None}

    # -- diagnostics --------------------------------------------------------------------

    def _check(self, code: str, filename: str, lines: List[str]) -> List[Dict[str, Any]]:
        diagnostics: List[Dict[str, Any]] = []
        # compile() may warn (SyntaxWarning); the warnings become diagnostics instead
        # of being printed through the kernel's stderr
        tree = None
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                tree = ast.parse(code, filename)
                # the compiler finds more than the parser ('return' outside a function, ...)
                compile(tree, filename, "exec", dont_inherit=True)
            except SyntaxError as e:
                diagnostics.append(self._syntax_error(e, lines))
            except ValueError as e:  # e.g. null bytes in the source
                diagnostics.append(_diagnostic(lines, 0, 0, 0, 1, _SEVERITY_ERROR, str(e), "compile",
                                               type(e).__name__))
        for warning in caught:
            if warning.filename != filename:
                # another thread warned meanwhile: hand its warning on as it would have gone
                warnings.warn_explicit(warning.message, warning.category, warning.filename,
                                       warning.lineno, source=warning.source)
            elif isinstance(warning.lineno, int) and warning.lineno >= 1:
                row = min(warning.lineno, len(lines)) - 1
                diagnostics.append(_diagnostic(lines, row, 0, row, len(lines[row]), _SEVERITY_WARNING,
                                               str(warning.message), "compile", warning.category.__name__))
        if tree is not None:
            self._pyflakes(tree, filename, lines, diagnostics)
        diagnostics.sort(key=lambda d: (d["range"]["start"]["line"], d["range"]["start"]["character"]))
        return diagnostics

    @staticmethod
    def _pyflakes(tree: ast.AST, filename: str, lines: List[str], diagnostics: List[Dict[str, Any]]) -> None:
        from pyflakes import checker

        reported = {(d["range"]["start"]["line"], d["message"]) for d in diagnostics}
        found = checker.Checker(tree, filename=filename)
        for message in sorted(found.messages, key=lambda m: (m.lineno, getattr(m, "col", 0))):
            kind = type(message).__name__
            row = min(max(message.lineno, 1), len(lines)) - 1
            text = message.message % message.message_args
            if (row, text) in reported:  # the compiler said it already
                continue
            line = lines[row]
            start, end = _finding_range(line, _char_column(line, getattr(message, "col", 0) or 0),
                                        message.message_args)
            severity = _SEVERITY_ERROR if kind in _PYFLAKES_ERRORS else _SEVERITY_WARNING
            entry = _diagnostic(lines, row, start, row, end, severity, text, "pyflakes", kind)
            if kind in _PYFLAKES_UNNECESSARY:
                entry["tags"] = [_TAG_UNNECESSARY]
            diagnostics.append(entry)

    @staticmethod
    def _syntax_error(error: SyntaxError, lines: List[str]) -> Dict[str, Any]:
        row = min(max(error.lineno or 1, 1), len(lines)) - 1
        offset = (error.offset or 1) - 1
        end_row = min(max(error.end_lineno or row + 1, row + 1), len(lines)) - 1
        end_offset = (error.end_offset or 0) - 1
        if error.text is None:
            # raised by the compiler rather than the parser: offsets count UTF-8 bytes
            offset = _char_column(lines[row], offset)
            end_offset = _char_column(lines[end_row], end_offset)
        if end_row == row and end_offset <= offset:
            end_offset = offset + 1
        return _diagnostic(lines, row, offset, end_row, end_offset, _SEVERITY_ERROR, error.msg,
                           "compile", type(error).__name__)

    # -- jedi ---------------------------------------------------------------------------

    def _full_docs(self) -> bool:
        return self.hover_mode in ("full", "detailed")

    @staticmethod
    def _doc(docstring: str, full: bool) -> str:
        docstring = docstring or ""
        return docstring.strip() if full else _first_paragraph(docstring)

    @staticmethod
    def _hover_header(name) -> str:
        kind = name.type
        if kind in ("function", "class"):
            signatures = [s.to_string() for s in name.get_signatures()]
            keyword = "def" if kind == "function" else "class"
            if signatures:
                return "\n".join(f"{keyword} {s}" for s in signatures)
            return f"{keyword} {name.name}"
        if kind in ("statement", "param", "instance", "property"):
            types = []
            for inferred in name.infer():
                label = inferred.name if inferred.type == "instance" else inferred.description
                if label not in types:
                    types.append(label)
            if types:
                return f"{name.name}: {' | '.join(types)}"
            return name.description
        if kind in ("module", "keyword"):
            return f"{kind} {name.name}"
        return name.description or ""

    def _script(self, code: Any, line: Any, column: Any, path: Any, modules: Any,
                dirty_files: Any) -> Tuple[Any, Optional[str]]:
        """A jedi Script for the request, or an error text for bad input."""
        if not isinstance(code, str):
            return None, f"code must be a str, not {type(code).__name__}"
        for name, value in (("line", line), ("column", column)):
            if isinstance(value, bool) or not isinstance(value, int):
                return None, f"{name} must be an int, not {type(value).__name__}"
        if path is not None and not isinstance(path, str):
            return None, f"path must be a str or None, not {type(path).__name__}"
        for name, value in (("modules", modules), ("dirty_files", dirty_files)):
            if value is not None and not isinstance(value, dict):
                return None, f"{name} must be a dict or None, not {type(value).__name__}"
        lines = _split_lines(code)
        if not 1 <= line <= len(lines):
            return None, f"line {line} is out of range (the code has {len(lines)} lines)"
        if not 0 <= column <= len(lines[line - 1]):
            return None, f"column {column} is out of range (line {line} has {len(lines[line - 1])} characters)"
        try:
            import jedi

            directory = self._sync_modules(modules or {}, dirty_files or {})
            if self._environment is None:
                self._environment = jedi.InterpreterEnvironment()
            if self._project is None:
                self._project = jedi.Project(directory, added_sys_path=list(self.sys_paths))
            script_path = self._script_path(path, directory, modules or {}, dirty_files or {})
            return jedi.Script(code, path=script_path, project=self._project,
                               environment=self._environment), None
        except Exception as e:
            logger.warning("Language analysis could not start: %s", e)
            return None, f"Language analysis could not start: {describe_error(e)}"

    @staticmethod
    def _script_path(path: Optional[str], directory: Path, modules: dict, dirty_files: dict) -> Optional[str]:
        if path is None:
            return None
        name = path
        virtual = _virtual_module(name)
        if virtual is not None:
            name = virtual
        elif name not in modules and name not in dirty_files:
            name = os.path.basename(name)
            if name.endswith(".py"):
                name = name[:-3]
            if name not in modules and name not in dirty_files:
                return path
        relative = _module_file_name(name)
        return str(directory / relative) if relative else path

    # -- the workbook modules on disk -----------------------------------------------------

    def _ensure_directory(self) -> Path:
        if self._directory is None:
            directory = tempfile.mkdtemp(prefix="vantrel-lsp-")
            self._directory = Path(directory)
            self._cleanup = weakref.finalize(self, shutil.rmtree, directory, True)
            self._project = None
        return self._directory

    def _sync_modules(self, modules: dict, dirty_files: dict) -> Path:
        """Write the workbook modules (unsaved content first) where the analysis imports them."""
        directory = self._ensure_directory()
        wanted = {name: source for name, source in modules.items()
                  if isinstance(name, str) and isinstance(source, str)}
        wanted.update((name, source) for name, source in dirty_files.items()
                      if isinstance(name, str) and isinstance(source, str))
        for name in [name for name in self._written if name not in wanted]:
            self._remove_file(name)
        for name, source in wanted.items():
            if self._written.get(name) == source:
                continue
            relative = _module_file_name(name)
            if relative is None:
                continue
            target = directory / relative
            try:
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_text(source, encoding="utf-8", newline="")
                # the parser cache trusts modification times: every version gets a later one
                stamp = max(time.time_ns(), self._mtimes.get(name, 0) + 1_000_000)
                os.utime(target, ns=(stamp, stamp))
            except (OSError, UnicodeError) as e:
                logger.warning("Could not write module '%s' for analysis: %s", name, e)
                continue
            self._written[name] = source
            self._mtimes[name] = stamp
        return directory

    def _remove_file(self, name: str) -> None:
        self._written.pop(name, None)
        relative = _module_file_name(name)
        if self._directory is None or relative is None:
            return
        target = self._directory / relative
        try:
            target.unlink()
        except FileNotFoundError:
            pass
        except OSError as e:
            logger.warning("Could not remove module '%s' from analysis: %s", name, e)
            return
        parent = target.parent
        while parent != self._directory:
            try:
                parent.rmdir()  # only when empty
            except OSError:
                break
            parent = parent.parent


def _finding_range(text: str, start: int, args: Any) -> Tuple[int, int]:
    """The range of a pyflakes finding in its line: the name it is about, found at or after
    its column, else the word at its column."""
    if args and isinstance(args[0], str) and args[0]:
        name = args[0].split(" as ")[-1]
        for candidate in dict.fromkeys((name, name.rsplit(".", 1)[-1])):
            match = re.compile(r"(?<![\w.])" + re.escape(candidate) + r"(?!\w)").search(text, start)
            if match:
                return match.start(), match.end()
    return start, _name_end(text, start)


def _name_end(text: str, start: int) -> int:
    end = start
    while end < len(text) and (text[end].isalnum() or text[end] == "_"):
        end += 1
    return end


def _diagnostic(lines: List[str], row: int, start: int, end_row: int, end: int, severity: int,
                message: str, source: str, code: str) -> Dict[str, Any]:
    start = min(max(start, 0), len(lines[row]))
    end = min(max(end, 0), len(lines[end_row]))
    if end_row == row and end <= start:
        end = min(start + 1, len(lines[row])) if start < len(lines[row]) else start
    return {"range": {"start": {"line": row, "character": start},
                      "end": {"line": end_row, "character": end}},
            "severity": severity, "message": message, "source": source, "code": code}
