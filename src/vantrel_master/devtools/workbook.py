"""A small in-memory workbook that answers the bridge's Excel requests.

Sheets map canonical cell addresses ("A1", "XFD1048576") to wire values, stored
and returned exactly as they arrive. ``handle(request)`` takes the request dict
of a ``sys_request`` payload and returns the answer fields: ``{"result": ...}``
or ``{"error": "..."}``.
"""

from __future__ import annotations

import copy
import re
from typing import Any, Dict, List, Optional, Tuple

MAX_ROWS = 1048576
MAX_COLUMNS = 16384
_CELL = re.compile(r"^\$?([A-Za-z]{1,3})\$?([0-9]{1,7})$")


class AddressError(ValueError):
    pass


def column_number(letters: str) -> int:
    """1-based column number of column letters ("A" → 1, "AA" → 27)."""
    number = 0
    for char in letters.upper():
        number = number * 26 + (ord(char) - ord("A") + 1)
    return number


def column_letters(number: int) -> str:
    """Column letters of a 1-based column number."""
    letters = ""
    while number > 0:
        number, rest = divmod(number - 1, 26)
        letters = chr(ord("A") + rest) + letters
    return letters


def parse_cell(address: str) -> Tuple[int, int]:
    """(row, column), both 1-based, of a cell address such as "B7" or "$B$7"."""
    match = _CELL.match(address.strip()) if isinstance(address, str) else None
    if not match:
        raise AddressError(f"Invalid cell address: {address!r}")
    column = column_number(match.group(1))
    row = int(match.group(2))
    if not (1 <= row <= MAX_ROWS and 1 <= column <= MAX_COLUMNS):
        raise AddressError(f"Cell address out of the sheet: {address!r}")
    return row, column


def parse_range(address: str) -> Tuple[Tuple[int, int], Tuple[int, int]]:
    """Top-left and bottom-right (row, column) of "A1:C3" or of a single cell."""
    if not isinstance(address, str):
        raise AddressError(f"Invalid range address: {address!r}")
    parts = address.split(":")
    if len(parts) == 1:
        cell = parse_cell(parts[0])
        return cell, cell
    if len(parts) != 2:
        raise AddressError(f"Invalid range address: {address!r}")
    (r1, c1), (r2, c2) = parse_cell(parts[0]), parse_cell(parts[1])
    return (min(r1, r2), min(c1, c2)), (max(r1, r2), max(c1, c2))


def cell_name(row: int, column: int) -> str:
    return f"{column_letters(column)}{row}"


class InMemoryWorkbook:
    """Sheets of cells, with the request handling of the development Business Layer."""

    #: Largest number of cells one range request may cover.
    MAX_RANGE_CELLS = 100_000

    def __init__(self, sheets: Optional[Dict[str, Dict[str, Any]]] = None,
                 active_sheet: Optional[str] = None):
        self.sheets: Dict[str, Dict[str, Any]] = {}
        for name, cells in (sheets if sheets is not None else {"Sheet1": {}}).items():
            self.add_sheet(name)
            for address, value in cells.items():
                self.set_value(name, address, value)
        self.active_sheet = active_sheet or next(iter(self.sheets), None)

    # -- direct access --------------------------------------------------------------------

    def add_sheet(self, name: str) -> None:
        if not isinstance(name, str) or not name:
            raise ValueError(f"Invalid sheet name: {name!r}")
        self.sheets.setdefault(name, {})

    def _sheet(self, name: Any) -> Dict[str, Any]:
        if not isinstance(name, str) or name not in self.sheets:
            raise KeyError(f"Unknown sheet: {name!r}")
        return self.sheets[name]

    def get_value(self, sheet: str, address: str) -> Any:
        return copy.deepcopy(self._sheet(sheet).get(cell_name(*parse_cell(address))))

    def set_value(self, sheet: str, address: str, value: Any) -> None:
        cells = self._sheet(sheet)
        key = cell_name(*parse_cell(address))
        if value is None:
            cells.pop(key, None)
        else:
            cells[key] = copy.deepcopy(value)

    def _checked_size(self, rows: int, columns: int) -> None:
        if rows * columns > self.MAX_RANGE_CELLS:
            raise AddressError(f"Range of {rows * columns} cells is larger than "
                               f"{self.MAX_RANGE_CELLS} cells")

    def get_range(self, sheet: str, address: str) -> List[List[Any]]:
        cells = self._sheet(sheet)
        (r1, c1), (r2, c2) = parse_range(address)
        self._checked_size(r2 - r1 + 1, c2 - c1 + 1)
        return [[copy.deepcopy(cells.get(cell_name(r, c))) for c in range(c1, c2 + 1)]
                for r in range(r1, r2 + 1)]

    def set_range(self, sheet: str, address: str, values: Any) -> None:
        self._sheet(sheet)
        if not isinstance(values, list) or not all(isinstance(row, list) for row in values):
            raise ValueError("values must be a list of rows")
        (r1, c1), (r2, c2) = parse_range(address)
        height = len(values)
        width = max((len(row) for row in values), default=0)
        if any(len(row) != width for row in values):
            raise ValueError("all rows must have the same length")
        if (r1, c1) != (r2, c2) and (height, width) != (r2 - r1 + 1, c2 - c1 + 1):
            raise ValueError(f"{height}x{width} values do not fit the range {address} "
                             f"({r2 - r1 + 1}x{c2 - c1 + 1})")
        if r1 + height - 1 > MAX_ROWS or c1 + width - 1 > MAX_COLUMNS:
            raise AddressError("values reach beyond the sheet")
        self._checked_size(height, width)
        for i, row in enumerate(values):
            for j, value in enumerate(row):
                self.set_value(sheet, cell_name(r1 + i, c1 + j), value)

    # -- requests -------------------------------------------------------------------------

    def handle(self, request: Dict[str, Any]) -> Dict[str, Any]:
        """Answer fields for one bridge request: {"result": ...} or {"error": "..."}."""
        action = request.get("action")
        try:
            if action == "get_value":
                return {"result": self.get_value(request.get("sheet"), request.get("address"))}
            if action == "set_value":
                self.set_value(request.get("sheet"), request.get("address"), request.get("value"))
                return {"result": None}
            if action == "get_range":
                return {"result": self.get_range(request.get("sheet"), request.get("address"))}
            if action == "set_range":
                self.set_range(request.get("sheet"), request.get("address"), request.get("values"))
                return {"result": None}
            if action == "get_sheet_names":
                return {"result": list(self.sheets)}
            if action == "get_active_sheet":
                return {"result": self.active_sheet}
        except KeyError as exc:
            return {"error": exc.args[0] if exc.args else str(exc)}
        except ValueError as exc:
            return {"error": str(exc)}
        return {"error": f"Unknown action: {action!r}"}
