"""The ``excel`` and ``context`` objects that workbook code uses.

Each operation is one synchronous request to the Business Layer, sent through
``messaging.send_request_sync`` (looked up at every call, so the connected
kernel's function is used). Requests are dicts::

    {"action": "get_value", "sheet": "Sheet1", "address": "B2"}
    {"action": "set_value", "sheet": "Sheet1", "address": "B2", "value": <wire value>}
    {"action": "get_range", "sheet": "Sheet1", "address": "A1:C3"}
    {"action": "set_range", "sheet": "Sheet1", "address": "A1", "values": [[<wire>, ...], ...]}
    {"action": "get_sheet_names"}
    {"action": "get_active_sheet"}

The kernel adds ``requestId`` and ``kind``. The Business Layer answers with a
payload dict carrying the same ``requestId`` and either ``"result"`` (a wire
value; absent or null for writes) or ``"error"`` (a text, or an object with a
``"message"``). An error answer raises :class:`ExcelRequestError` in the calling
code. Values travel in the wire form of :mod:`.serializer`.
"""

from __future__ import annotations

import sys
from typing import Any, List, Optional

from . import messaging
from .serializer import Serializer

DEFAULT_TIMEOUT = 30.0


class VantrelError(Exception):
    """Base class of the bridge's own errors."""


class ExcelRequestError(VantrelError):
    """Excel (through the Business Layer) refused or failed a request."""

    def __init__(self, action: str, message: str, response: Optional[dict] = None):
        super().__init__(f"Excel request '{action}' failed: {message}")
        self.action = action
        self.error_message = message
        self.response = response


def _check_text(name: str, value: Any) -> str:
    if not isinstance(value, str) or not value:
        raise TypeError(f"{name} must be a non-empty str, got {value!r}")
    return value


def request(req: dict, timeout: float = DEFAULT_TIMEOUT) -> Any:
    """Send one request and return its converted ``result``.

    Raises :class:`ExcelRequestError` when the answer reports an error or is not
    an answer at all; ``TimeoutError`` and ``RuntimeError`` of the transport
    pass through unchanged.
    """
    action = str(req.get("action", "?"))
    response = messaging.send_request_sync(req, timeout=timeout)
    if not isinstance(response, dict):
        raise ExcelRequestError(action, f"malformed answer of type {type(response).__name__}")
    error = response.get("error")
    if error:
        if isinstance(error, dict):
            error = error.get("message") or str(error)
        raise ExcelRequestError(action, str(error), response)
    return Serializer.from_wire(response.get("result"))


class Excel:
    """Cell and sheet access of the workbook the kernel serves."""

    def __init__(self, timeout: float = DEFAULT_TIMEOUT):
        self.timeout = timeout

    def _request(self, req: dict) -> Any:
        return request(req, timeout=self.timeout)

    def get_value(self, sheet: str, address: str) -> Any:
        """Value of one cell (None when empty)."""
        return self._request(
            {"action": "get_value", "sheet": _check_text("sheet", sheet),
             "address": _check_text("address", address)}
        )

    def set_value(self, sheet: str, address: str, value: Any) -> None:
        """Write one cell."""
        self._request(
            {"action": "set_value", "sheet": _check_text("sheet", sheet),
             "address": _check_text("address", address), "value": Serializer.to_wire(value)}
        )

    def get_range(self, sheet: str, address: str) -> List[List[Any]]:
        """Values of a rectangular range as a list of rows."""
        return self._request(
            {"action": "get_range", "sheet": _check_text("sheet", sheet),
             "address": _check_text("address", address)}
        )

    def set_range(self, sheet: str, address: str, values: List[List[Any]]) -> None:
        """Write a list of rows; ``address`` is the whole range or its top-left cell."""
        if not isinstance(values, (list, tuple)) or not all(
            isinstance(row, (list, tuple)) for row in values
        ):
            raise TypeError("values must be a list of rows (lists)")
        self._request(
            {"action": "set_range", "sheet": _check_text("sheet", sheet),
             "address": _check_text("address", address), "values": Serializer.to_wire(values)}
        )

    def get_sheet_names(self) -> List[str]:
        """Names of the workbook's sheets, in order."""
        return self._request({"action": "get_sheet_names"})

    def __repr__(self) -> str:
        return "<vantrel excel>"


def _bridge_package():
    return sys.modules[__name__.rpartition(".")[0]]


class Context:
    """Where the running code is: workbook, platform, active sheet."""

    def __init__(self, timeout: float = DEFAULT_TIMEOUT):
        self.timeout = timeout

    @property
    def workbook_id(self) -> Optional[str]:
        """Id of the workbook the connected kernel serves, or None."""
        kernel = getattr(_bridge_package(), "_kernel_instance", None)
        return getattr(kernel, "workbook_id", None)

    @property
    def platform(self) -> Optional[str]:
        """The add-in's platform from the kernel's launch options ("win32", "web", ...)."""
        args = getattr(_bridge_package(), "connection_args", None) or {}
        return args.get("platform") if isinstance(args, dict) else None

    @property
    def connected(self) -> bool:
        return messaging.is_connected()

    def active_sheet(self) -> str:
        """Name of the active sheet."""
        return request({"action": "get_active_sheet"}, timeout=self.timeout)

    def __repr__(self) -> str:
        return f"<vantrel context workbook_id={self.workbook_id!r}>"
