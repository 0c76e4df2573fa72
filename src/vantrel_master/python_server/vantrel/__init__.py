"""The bridge between workbook code and Excel.

Workbook code imports it as ``vantrel`` (the kernel registers this package as
``sys.modules["vantrel"]``) and mostly uses the two objects ``excel`` and
``context``::

    import vantrel
    vantrel.excel.set_value("Sheet1", "A1", 42)
    total = vantrel.excel.get_value("Sheet1", "B7")

Submodules: ``messaging`` (connection state, synchronous requests, registry of
callables), ``serializer`` (``Serializer`` and the wire format), ``api``
(``excel``/``context``), ``old_com`` and ``win32`` (desktop COM host).

The kernel sets ``connection_args`` and ``_kernel_instance`` while connected.
"""

from __future__ import annotations

import sys

from . import api, messaging, old_com, serializer, win32
from .api import Context, Excel, ExcelRequestError, VantrelError
from .messaging import get_callable, register_callable, unregister_callable
from .serializer import Serializer

#: The kernel's launch options while a kernel is connected, else None.
connection_args = None
#: The connected kernel, else None.
_kernel_instance = None
#: Returns the COM tools on Windows; raises elsewhere.
_get_win32 = win32.get_win32

excel = Excel()
context = Context()

# Once the kernel registers this package as sys.modules["vantrel"], user code's
# "import vantrel.messaging" must find these very module objects (which the
# kernel patches) instead of loading second copies from disk.
for _submodule in (api, messaging, old_com, serializer, win32):
    sys.modules.setdefault("vantrel." + _submodule.__name__.rpartition(".")[2], _submodule)
del _submodule

__all__ = [
    "Context",
    "Excel",
    "ExcelRequestError",
    "Serializer",
    "VantrelError",
    "connection_args",
    "context",
    "excel",
    "get_callable",
    "messaging",
    "register_callable",
    "unregister_callable",
]
