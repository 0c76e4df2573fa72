"""Connection state of the bridge and the registry of callables.

The kernel publishes its event loop here when it connects (``loop`` and
``loop_thread``) and replaces ``send_request_sync`` with its own function, which
sends a ``sys_request`` to the Business Layer and blocks the calling worker
thread until the matching ``sys_response`` arrives. ``reset()`` puts the
defaults back when the kernel disconnects.

Every synchronous Excel operation of the bridge looks ``send_request_sync`` up
in this module at call time, so the kernel's replacement takes effect at once.

Callables that workbooks hand to Excel (buttons, task-pane actions, ...) are kept
in a registry under an id; the kernel finds them again with ``get_callable``.
"""

from __future__ import annotations

import threading
import uuid
from typing import Any, Callable, Dict, Optional

#: The kernel's event loop while a kernel is connected, else None.
loop = None
#: The thread running that loop (requests from it would deadlock), else None.
loop_thread: Optional[threading.Thread] = None

_callables: Dict[str, Callable[..., Any]] = {}
_callables_lock = threading.Lock()


def send_request_sync(req: dict, timeout: float = 30.0) -> dict:
    """Send a synchronous request to Excel and return the answer payload.

    The connected kernel replaces this function with its own. Without a kernel
    there is nobody to carry the request, so this one raises ``RuntimeError``.
    """
    action = req.get("action") if isinstance(req, dict) else None
    raise RuntimeError(
        "vantrel is not connected to a kernel: cannot send the Excel request"
        + (f" '{action}'" if action else "")
        + " (Excel operations work only in code run by a connected kernel)"
    )


_default_send_request_sync = send_request_sync


def reset() -> None:
    """Forget the kernel's loop and restore the default ``send_request_sync``.

    Registered callables are kept: they belong to the workbook's code, not to
    the connection.
    """
    global loop, loop_thread, send_request_sync
    loop = None
    loop_thread = None
    send_request_sync = _default_send_request_sync


def is_connected() -> bool:
    """True while a kernel has installed its own request function."""
    return send_request_sync is not _default_send_request_sync


def register_callable(func: Callable[..., Any], callable_id: Optional[str] = None) -> str:
    """Register ``func`` and return its id (a new random id when none is given).

    Registering under an id that is already taken replaces the earlier callable.
    """
    if not callable(func):
        raise TypeError(f"register_callable needs a callable, got {type(func).__name__}")
    if callable_id is None:
        callable_id = uuid.uuid4().hex
    elif not isinstance(callable_id, str) or not callable_id:
        raise TypeError("callable_id must be a non-empty str or None")
    with _callables_lock:
        _callables[callable_id] = func
    return callable_id


def get_callable(callable_id: str) -> Optional[Callable[..., Any]]:
    """The callable registered under ``callable_id``, or None."""
    with _callables_lock:
        try:
            return _callables.get(callable_id)
        except TypeError:  # an unhashable id cannot be registered
            return None


def unregister_callable(callable_id: str) -> bool:
    """Remove a registered callable; True when there was one."""
    with _callables_lock:
        return _callables.pop(callable_id, None) is not None


def registered_callables() -> Dict[str, Callable[..., Any]]:
    """A snapshot of the registry (id to callable)."""
    with _callables_lock:
        return dict(_callables)


def clear_callables() -> None:
    """Remove every registered callable."""
    with _callables_lock:
        _callables.clear()
