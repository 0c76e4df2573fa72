"""Preparation of the desktop Excel COM host before a kernel connects."""

from __future__ import annotations

import logging
import sys
from typing import Any, Dict, Optional

logger = logging.getLogger(__name__)

#: What the last call of init_excel_host did (None before the first call).
host_state: Optional[Dict[str, Any]] = None


def init_excel_host(vantrel_id: Optional[str] = None) -> Dict[str, Any]:
    """Prepare COM on this thread for the workbook ``vantrel_id``.

    On Windows this initialises COM for the calling thread through pywin32. On
    any other platform, or when pywin32 is missing, nothing is prepared; the
    attempt is recorded in ``host_state`` and logged, and nothing is raised.
    """
    global host_state
    state: Dict[str, Any] = {
        "vantrel_id": vantrel_id,
        "platform": sys.platform,
        "initialized": False,
        "error": None,
    }
    if sys.platform != "win32":
        logger.debug(f"Excel COM host not prepared for {vantrel_id}: platform {sys.platform}")
    else:
        try:
            bridge = sys.modules[__name__.rpartition(".")[0]]
            tools = bridge._get_win32()
            tools.pythoncom.CoInitialize()
            state["initialized"] = True
            logger.info(f"Excel COM host prepared for {vantrel_id}")
        except Exception as exc:  # the kernel starts without COM rather than not at all
            state["error"] = str(exc)
            logger.warning(f"Could not prepare the Excel COM host for {vantrel_id}: {exc}")
    host_state = state
    return state
