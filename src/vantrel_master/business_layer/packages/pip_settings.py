"""Package-index settings of the package manager.

``get_pip_settings(settings_manager)`` returns the indexes to search::

    {"index_urls": [{"url": "<index url>", "primary": True}, {"url": "...", "primary": False}],
     "use_secondary_urls": True}

``get_pip_api_list(settings_manager)`` returns the JSON API URL patterns of the
indexes that have one::

    [{"index_url": "<index url>", "api_pattern": "<base>/{package_name}/{version}/json"}]

``{package_name}`` and ``{version}`` are placeholders the package client
replaces by plain text substitution; for a version-less query it drops the
``/{version}`` segment.

Settings manager
----------------
``settings_manager`` may be None (defaults only) or any object with a
``get(key, default)`` method — a plain dict works. These keys are read:

``pip_index_urls``
    List of indexes. An entry is a dict with ``url`` (non-empty str) and
    optionally ``primary`` (bool; other keys are kept), or a bare URL string.
    Malformed entries are skipped with a warning. Exactly one entry comes out
    primary: the first one marked primary, or the first entry when none is.
    Missing or None: the default index (below). An empty list means no index.
``pip_use_secondary_urls``
    Whether non-primary indexes are searched when the primary has no result
    (a bool, or a text such as "true"/"false"). Missing or None: True.
``pip_api_list``
    List of ``{"index_url", "api_pattern"}`` entries; they come before the
    default entry, and the first entry matching an index wins, so an entry
    whose ``api_pattern`` is None switches the JSON API off for its index.

Default index: ``PIP_INDEX_URL`` from the environment if set (and the
space-separated ``PIP_EXTRA_INDEX_URL`` entries as secondary indexes), else
pip's own default public index. The default API list describes that public
index's JSON API.
"""

from __future__ import annotations

import logging
import os
from typing import Any, Dict, List, Optional, Tuple

logger = logging.getLogger(__name__)

INDEX_URLS_KEY = "pip_index_urls"
USE_SECONDARY_KEY = "pip_use_secondary_urls"
API_LIST_KEY = "pip_api_list"

_public_index_cache: Optional[Tuple[str, str]] = None


def _public_index() -> Optional[Tuple[str, str]]:
    """(simple index URL, JSON API base URL) of pip's default public index: from pip, or,
    where the interpreter has no pip (Windows' embeddable distribution), from the default
    index of the finder the package client uses (unearth)."""
    global _public_index_cache
    if _public_index_cache is None:
        try:
            from pip._internal.models.index import PyPI
        except Exception as exc:  # pip missing or reorganised
            public = _finder_public_index()
            if public is None:
                logger.warning(f"No default package index: pip's default index is unknown ({exc})")
                return None
            _public_index_cache = public
        else:
            _public_index_cache = (PyPI.simple_url, PyPI.pypi_url)
    return _public_index_cache


def _finder_public_index() -> Optional[Tuple[str, str]]:
    """The public index unearth's finder searches by default; its JSON API lies beside its
    simple pages, as pip's model of that index has it (<base>/simple/ and <base>/pypi)."""
    try:
        from unearth import PackageFinder

        url = next(s["url"] for s in PackageFinder().sources if s["type"] == "index")
    except Exception:
        return None
    base = url.rstrip("/")
    if not base.endswith("/simple"):
        return None
    return base, base[: -len("/simple")] + "/pypi"


def _flag(value: Any, default: bool) -> bool:
    if value is None:
        return default
    if isinstance(value, str):
        return value.strip().lower() not in ("", "0", "false", "no", "off")
    return bool(value)


def _read(settings_manager: Any, key: str) -> Any:
    if settings_manager is None:
        return None
    return settings_manager.get(key, None)


def _default_index_urls() -> List[Dict[str, Any]]:
    primary = os.environ.get("PIP_INDEX_URL", "").strip()
    extras = os.environ.get("PIP_EXTRA_INDEX_URL", "").split()
    if not primary:
        public = _public_index()
        if public is None:
            return [{"url": url, "primary": i == 0} for i, url in enumerate(extras)]
        primary = public[0]
    return [{"url": primary, "primary": True}] + [{"url": url, "primary": False} for url in extras]


def _normalise_index_urls(entries: Any) -> List[Dict[str, Any]]:
    if isinstance(entries, (str, bytes)) or not hasattr(entries, "__iter__"):
        logger.warning(f"Ignoring {INDEX_URLS_KEY} of type {type(entries).__name__}")
        return _default_index_urls()
    result: List[Dict[str, Any]] = []
    for entry in entries:
        if isinstance(entry, str):
            entry = {"url": entry}
        if not isinstance(entry, dict) or not isinstance(entry.get("url"), str) or not entry["url"].strip():
            logger.warning(f"Skipping malformed package index entry {entry!r}")
            continue
        item = dict(entry)
        item["url"] = entry["url"].strip()
        item["primary"] = bool(entry.get("primary", False))
        result.append(item)
    marked = [item for item in result if item["primary"]]
    if len(marked) > 1:
        logger.warning(
            f"Several package indexes are marked primary; using {marked[0]['url']} "
            "and searching the others as secondary indexes"
        )
    if result:
        first_primary = marked[0] if marked else result[0]
        for item in result:
            item["primary"] = item is first_primary
    return result


def get_pip_settings(settings_manager: Any = None) -> Dict[str, Any]:
    """The package-index settings (a new dict; see the module documentation)."""
    entries = _read(settings_manager, INDEX_URLS_KEY)
    index_urls = _default_index_urls() if entries is None else _normalise_index_urls(entries)
    use_secondary = _read(settings_manager, USE_SECONDARY_KEY)
    return {
        "index_urls": index_urls,
        "use_secondary_urls": _flag(use_secondary, True),
    }


def get_pip_api_list(settings_manager: Any = None) -> List[Dict[str, Any]]:
    """The JSON API patterns (a new list; see the module documentation)."""
    result: List[Dict[str, Any]] = []
    configured = _read(settings_manager, API_LIST_KEY)
    if configured is not None:
        if isinstance(configured, (str, bytes, dict)) or not hasattr(configured, "__iter__"):
            logger.warning(f"Ignoring {API_LIST_KEY} of type {type(configured).__name__}")
        else:
            for entry in configured:
                if not isinstance(entry, dict) or not isinstance(entry.get("index_url", ""), str):
                    logger.warning(f"Skipping malformed API pattern entry {entry!r}")
                    continue
                pattern = entry.get("api_pattern")
                if pattern is not None and not isinstance(pattern, str):
                    logger.warning(f"Skipping malformed API pattern entry {entry!r}")
                    continue
                result.append({"index_url": entry.get("index_url", ""), "api_pattern": pattern})
    public = _public_index()
    if public is not None:
        simple_url, api_base = public
        result.append({
            "index_url": simple_url,
            "api_pattern": api_base.rstrip("/") + "/{package_name}/{version}/json",
        })
    return result
