"""The kernel's agent: holds the bridge's ``excel`` and ``context`` objects for
components that act on the workbook on the kernel's behalf."""

from __future__ import annotations

from typing import Any, Dict


class Agent:
    """Keeps the Excel access objects a workbook's code also sees."""

    def __init__(self, excel: Any, context: Any):
        self.excel = excel
        self.context = context

    def describe(self) -> Dict[str, Any]:
        """A JSON-encodable summary of what the agent works with."""
        return {
            "excel": type(self.excel).__name__,
            "context": type(self.context).__name__,
            "workbook_id": getattr(self.context, "workbook_id", None),
        }

    def __repr__(self) -> str:
        return f"Agent(excel={self.excel!r}, context={self.context!r})"
