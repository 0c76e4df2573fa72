"""Excel COM events on Windows desktop.

``get_win32_events_dictionary`` lists the COM events the add-in can route to
workbook handlers, by the object that raises them; the kernel sends it to the
Business Layer when it starts on Windows desktop. ``Win32ComWatcher`` watches
the Excel COM host and ``Win32ComEventRegistrar`` keeps the configuration of
which events are forwarded and the responses of the handlers that ran. COM
exists only on Windows: ``start`` raises ``RuntimeError`` on any other platform.
"""

from __future__ import annotations

import logging
import sys
import threading
from collections import OrderedDict
from typing import Any, Callable, Dict, List, Optional

logger = logging.getLogger(__name__)

_EVENTS: Dict[str, List[str]] = {
    "Application": [
        "NewWorkbook", "WorkbookOpen", "WorkbookActivate", "WorkbookDeactivate",
        "WorkbookBeforeClose", "WorkbookBeforeSave", "WorkbookAfterSave",
        "WorkbookNewSheet", "SheetActivate", "SheetDeactivate", "SheetChange",
        "SheetSelectionChange", "SheetCalculate", "AfterCalculate",
    ],
    "Workbook": [
        "Open", "Activate", "Deactivate", "BeforeClose", "BeforeSave", "AfterSave",
        "BeforePrint", "NewSheet", "SheetActivate", "SheetDeactivate", "SheetChange",
        "SheetSelectionChange", "SheetCalculate", "SheetBeforeDoubleClick",
        "SheetBeforeRightClick", "WindowActivate", "WindowDeactivate", "WindowResize",
    ],
    "Worksheet": [
        "Activate", "Deactivate", "Change", "SelectionChange", "Calculate",
        "BeforeDoubleClick", "BeforeRightClick", "FollowHyperlink", "PivotTableUpdate",
    ],
    "Chart": [
        "Activate", "Deactivate", "Calculate", "Resize", "Select", "SeriesChange",
        "BeforeDoubleClick", "BeforeRightClick", "MouseDown", "MouseUp", "MouseMove",
    ],
}

_WORKBOOK_TREE: Dict[str, Any] = {
    "name": "Application",
    "children": [
        {
            "name": "Workbook",
            "children": [
                {"name": "Worksheet", "children": [{"name": "Range", "children": []},
                                                   {"name": "ChartObject", "children": []}]},
                {"name": "Chart", "children": []},
            ],
        }
    ],
}


def get_win32_events_dictionary() -> Dict[str, List[str]]:
    """Object type → names of its COM events (a fresh, JSON-encodable copy)."""
    return {kind: list(names) for kind, names in _EVENTS.items()}


def get_win32_workbook_tree() -> Dict[str, Any]:
    """The Excel object hierarchy events are raised in, as nested
    ``{"name", "children"}`` nodes (a fresh copy)."""

    def copy(node):
        return {"name": node["name"], "children": [copy(child) for child in node["children"]]}

    return copy(_WORKBOOK_TREE)


def _require_windows(what: str) -> None:
    if sys.platform != "win32":
        raise RuntimeError(f"{what} needs Excel COM, which exists only on Windows "
                           f"(this is {sys.platform!r})")


class _ComCompanion:
    _what = "COM companion"

    def __init__(self, kernel: Any):
        self.kernel = kernel
        self.win32 = None
        self.running = False

    def start(self, win32_tools_func: Callable[[], Any]) -> None:
        """Start on Windows, with the tools ``win32_tools_func()`` returns."""
        _require_windows(self._what)
        self.win32 = win32_tools_func()
        self.running = True
        logger.info(f"{self._what} started")

    def stop(self) -> None:
        """Stop; harmless when not running."""
        if self.running:
            logger.info(f"{self._what} stopped")
        self.running = False
        self.win32 = None


class Win32ComWatcher(_ComCompanion):
    """Watches the desktop Excel COM host for the kernel."""

    _what = "Win32 COM watcher"


class Win32ComEventRegistrar(_ComCompanion):
    """Keeps which COM events are forwarded and the handlers' responses."""

    _what = "Win32 COM event registrar"
    #: How many delivered responses are remembered.
    MAX_RESPONSES = 1000

    def __init__(self, kernel: Any):
        super().__init__(kernel)
        self.config: Dict[str, Any] = {}
        self.responses: "OrderedDict[Any, Any]" = OrderedDict()
        self._lock = threading.Lock()

    def apply_config(self, config: Any) -> None:
        """Replace the event configuration; anything but a dict is ignored."""
        if not isinstance(config, dict):
            logger.warning(f"Ignoring COM event configuration of type {type(config).__name__}")
            return
        with self._lock:
            self.config = dict(config)

    def deliver_com_response(self, request_id: Optional[str], response: Any) -> None:
        """Record the response of the handler run for the COM event ``request_id``."""
        with self._lock:
            self.responses[request_id] = response
            self.responses.move_to_end(request_id)
            while len(self.responses) > self.MAX_RESPONSES:
                self.responses.popitem(last=False)

    def get_response(self, request_id: Optional[str], default: Any = None) -> Any:
        with self._lock:
            return self.responses.get(request_id, default)
