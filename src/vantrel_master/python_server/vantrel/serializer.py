"""Conversion of Python values to and from the bridge's wire form.

Wire values travel inside JSON messages between the kernel and the Business
Layer: call arguments, results, streamed values and cell values.

Wire format
-----------

* ``null``, ``true``/``false``, strings, integers in the signed 64-bit range and
  finite floats are sent as the JSON scalar. Subclasses of ``bool``, ``int``,
  ``float`` and ``str`` (enums, for instance) are sent as their plain value.
* A list or tuple is a JSON array of wire values; arrays come back as lists.
  A two-dimensional range is a list of rows.
* A dict with ``str`` keys is a JSON object whose values are wire values.
* Values JSON cannot carry as such are *tagged objects*, the only objects with
  the key ``"__vantrel__"``::

      {"__vantrel__": "datetime", "value": "2024-05-01T13:45:00"}
      {"__vantrel__": "date",     "value": "2024-05-01"}
      {"__vantrel__": "time",     "value": "13:45:00.250000"}
      {"__vantrel__": "float",    "value": "nan" | "inf" | "-inf"}
      {"__vantrel__": "int",      "value": "123456789012345678901234567890"}
      {"__vantrel__": "dict",     "value": {...}}

  ``datetime``, ``date`` and ``time`` carry ISO 8601 text as produced by
  ``isoformat()`` (with the UTC offset when the value is timezone-aware).
  ``int`` carries integers outside the signed 64-bit range as decimal text.
  ``dict`` wraps a dict that would otherwise be mistaken for a tagged object or
  a named argument (see below); its values are wire values.
* A *named argument* is an object with exactly the keys ``"name"`` and
  ``"value"``: the add-in passes event handler arguments this way.
  ``from_wire`` turns it into its converted ``value``; ``to_wire`` never
  produces one (a dict of that shape is wrapped in a ``dict`` tag).

``to_wire`` raises ``TypeError`` for values of other types (sets, bytes, custom
objects, dicts with non-``str`` keys) and ``ValueError`` for a container that
contains itself. ``from_wire`` raises ``ValueError`` for an unknown tag or a
malformed tagged value and ``TypeError`` for anything that is not a JSON value.
"""

from __future__ import annotations

import datetime as _dt
import math
from typing import Any

TAG = "__vantrel__"
_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1
_NAMED_ARGUMENT_KEYS = frozenset(("name", "value"))


class Serializer:
    """Converts values between Python and the bridge's wire form."""

    @staticmethod
    def to_wire(value: Any) -> Any:
        """Return the JSON-encodable wire form of ``value`` (None stays None)."""
        return _to_wire(value, set())

    @staticmethod
    def from_wire(value: Any) -> Any:
        """Return the Python value of a wire value."""
        return _from_wire(value)


def _tagged(tag: str, value: Any) -> dict:
    return {TAG: tag, "value": value}


def _to_wire(value: Any, active: set) -> Any:
    if value is None:
        return None
    if isinstance(value, bool):
        return bool(value)
    if isinstance(value, int):
        value = int(value)
        if _INT64_MIN <= value <= _INT64_MAX:
            return value
        return _tagged("int", str(value))
    if isinstance(value, float):
        value = float(value)
        if math.isfinite(value):
            return value
        if math.isnan(value):
            return _tagged("float", "nan")
        return _tagged("float", "inf" if value > 0 else "-inf")
    if isinstance(value, str):
        return str.__str__(value)
    # datetime is a subclass of date: test it first.
    if isinstance(value, _dt.datetime):
        return _tagged("datetime", value.isoformat())
    if isinstance(value, _dt.date):
        return _tagged("date", value.isoformat())
    if isinstance(value, _dt.time):
        return _tagged("time", value.isoformat())
    if isinstance(value, (list, tuple, dict)):
        marker = id(value)
        if marker in active:
            raise ValueError(
                f"cannot convert a {type(value).__name__} that contains itself to a wire value"
            )
        active.add(marker)
        try:
            if isinstance(value, dict):
                return _dict_to_wire(value, active)
            return [_to_wire(item, active) for item in value]
        finally:
            active.discard(marker)
    raise TypeError(
        f"cannot convert a value of type {type(value).__name__} to a wire value "
        "(supported: None, bool, int, float, str, date, datetime, time, "
        "and lists, tuples and str-keyed dicts of these)"
    )


def _dict_to_wire(value: dict, active: set) -> dict:
    out = {}
    for key, item in value.items():
        if not isinstance(key, str):
            raise TypeError(
                f"cannot convert a dict with a key of type {type(key).__name__} "
                "to a wire value: keys must be str"
            )
        out[str.__str__(key)] = _to_wire(item, active)
    if TAG in out or out.keys() == _NAMED_ARGUMENT_KEYS:
        return _tagged("dict", out)
    return out


def _from_wire(value: Any) -> Any:
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if isinstance(value, list):
        return [_from_wire(item) for item in value]
    if isinstance(value, dict):
        if TAG in value:
            return _from_tagged(value)
        if value.keys() == _NAMED_ARGUMENT_KEYS:
            return _from_wire(value["value"])
        return {key: _from_wire(item) for key, item in value.items()}
    raise TypeError(f"not a wire value: {type(value).__name__}")


def _from_tagged(value: dict) -> Any:
    tag = value[TAG]
    if "value" not in value:
        raise ValueError(f"tagged wire value {tag!r} has no 'value'")
    payload = value["value"]
    if tag == "dict":
        if not isinstance(payload, dict):
            raise ValueError("tagged wire value 'dict' must carry an object")
        return {key: _from_wire(item) for key, item in payload.items()}
    if not isinstance(payload, str):
        raise ValueError(f"tagged wire value {tag!r} must carry a string")
    try:
        if tag == "datetime":
            return _dt.datetime.fromisoformat(payload)
        if tag == "date":
            return _dt.date.fromisoformat(payload)
        if tag == "time":
            return _dt.time.fromisoformat(payload)
        if tag == "int":
            return int(payload)
    except ValueError as exc:
        raise ValueError(f"malformed tagged wire value {tag!r}: {payload!r}") from exc
    if tag == "float":
        if payload in ("nan", "inf", "-inf"):
            return float(payload)
        raise ValueError(f"malformed tagged wire value 'float': {payload!r}")
    raise ValueError(f"unknown wire value tag {tag!r}")
