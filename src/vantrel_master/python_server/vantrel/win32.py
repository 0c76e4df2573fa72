"""Access to the Windows COM tools (pywin32) used for desktop Excel."""

from __future__ import annotations

import importlib
import sys
from types import SimpleNamespace


def get_win32() -> SimpleNamespace:
    """Return the COM tools: ``client`` (win32com.client) and ``pythoncom``.

    Raises ``RuntimeError`` when not running on Windows or when pywin32 is not
    installed. The platform is checked at every call.
    """
    if sys.platform != "win32":
        raise RuntimeError(
            f"Excel COM access is available only on Windows (this is {sys.platform!r})"
        )
    try:
        client = importlib.import_module("win32com.client")
        pythoncom = importlib.import_module("pythoncom")
    except ImportError as exc:
        raise RuntimeError(f"Excel COM access needs the pywin32 package: {exc}") from exc
    return SimpleNamespace(client=client, pythoncom=pythoncom)
