"""Editor language services for the workbook's code.

The kernel calls the analysis methods with the editor buffer and the current
sources of the workbook's modules and sends what they return to the IDE. Each
returns a dict with its result key ("completions", "signatures" with
"activeSignature"/"activeParameter", "contents" or "diagnostics") and "error".
The analysis engine is not part of this build yet: the analysis methods answer
with an empty result and an error text saying so. They never raise, because the
kernel handles editor requests inline and an exception there would end its
session.
"""

from __future__ import annotations

import logging
import threading
from typing import Any, Dict, List, Optional

logger = logging.getLogger(__name__)

HOVER_MODES = ("compact", "detailed")
_NOT_BUILT = "{what} is built with the editor services and not available in this build"


class LSPBridge:
    """Completion, signature help, hover and diagnostics for one kernel."""

    def __init__(self):
        self.sys_paths: List[str] = []
        self.hover_mode = "compact"
        self.deleted_modules: set = set()
        self._lock = threading.Lock()

    # -- state the kernel keeps current -------------------------------------------------

    def update_sys_paths(self, paths: Any) -> None:
        """Remember the import paths analysis should search (a copy, str entries only)."""
        try:
            new_paths = [p for p in paths if isinstance(p, str)]
        except TypeError:
            logger.warning(f"Ignoring sys paths of type {type(paths).__name__}")
            return
        with self._lock:
            self.sys_paths = new_paths

    def delete_module(self, module_name: Any) -> None:
        """Forget what is known about a workbook module that was deleted."""
        with self._lock:
            self.deleted_modules.add(str(module_name))

    def set_hover_mode(self, mode: Any) -> None:
        """Choose how much hover text shows; unknown modes fall back to "compact"."""
        if mode not in HOVER_MODES:
            logger.warning(f"Unknown hover mode {mode!r}, using 'compact'")
            mode = "compact"
        self.hover_mode = mode

    # -- analysis -----------------------------------------------------------------------

    def get_completions(self, *, code: str = "", line: int = 1, column: int = 0,
                        path: Optional[str] = None, modules: Optional[Dict[str, str]] = None,
                        dirty_files: Optional[Dict[str, str]] = None) -> Dict[str, Any]:
        return {"completions": [], "error": _NOT_BUILT.format(what="Code completion")}

    def get_signature_help(self, *, code: str = "", line: int = 1, column: int = 0,
                           path: Optional[str] = None, modules: Optional[Dict[str, str]] = None,
                           dirty_files: Optional[Dict[str, str]] = None) -> Dict[str, Any]:
        return {"signatures": [], "activeSignature": 0, "activeParameter": 0,
                "error": _NOT_BUILT.format(what="Signature help")}

    def get_hover(self, *, code: str = "", line: int = 1, column: int = 0,
                  path: Optional[str] = None, modules: Optional[Dict[str, str]] = None,
                  dirty_files: Optional[Dict[str, str]] = None) -> Dict[str, Any]:
        return {"contents": None, "error": _NOT_BUILT.format(what="Hover information")}

    def get_diagnostics(self, *, code: str = "", module_name: Optional[str] = None) -> Dict[str, Any]:
        return {"diagnostics": [], "error": _NOT_BUILT.format(what="Diagnostics")}
