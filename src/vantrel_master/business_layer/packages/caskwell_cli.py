"""Command-line front of the package-index client.

Answers the package manager's questions from a shell::

    python -m vantrel_master.business_layer.packages.caskwell_cli [--settings FILE] [--json] [--timeout SECONDS]
        COMMAND ...

Commands:

``versions NAME [--index-url URL]``
    The versions of a package, newest first.
``extras NAME VERSION [--index-url URL]``
    The extras a package version declares.
``dependencies NAME VERSION [--index-url URL]``
    The requirements of a package version (name, extras, version specifier, markers).
``info NAME``
    Name, latest version and summary.
``find-repo NAME [--version VERSION]``
    The configured index that carries the package (or that version of it).
``check REQUIREMENT``
    Whether the interpreter running this command satisfies a requirement such as
    ``"requests[socks]>=2.8,<3"``; prints the installed version, or why it does not.

The indexes come from ``--settings FILE``, a JSON object with the settings manager's
keys (``pip_index_urls``, ``pip_use_secondary_urls``, ``pip_api_list``; see
``pip_settings``), or else from ``pip_settings``' defaults. ``--json`` prints the
result as JSON instead of text. When a query finds nothing, stderr says which indexes
were asked and what each of them answered (or why it could not be reached).
``--timeout SECONDS`` bounds the whole command.

Exit status: 0 when there is an answer, 1 when there is none (nothing found, the
requirement not satisfied, or no answer within ``--timeout``), 2 for usage errors.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import logging
import os
import re
import sys
import threading
import urllib.parse
from typing import Any, List, Optional, Tuple

from .caskwell import Caskwell

NOT_FOUND = 1
USAGE = 2

CLIENT_LOGGER = "vantrel_master.business_layer.packages.caskwell"

# Project names as PEP 508 allows them: the client puts them into URLs as given.
_PROJECT_NAME = re.compile(r"[A-Z0-9]([A-Z0-9._-]*[A-Z0-9])?", re.IGNORECASE)

# Debug lines of the client that report a failed query (its other failures are errors).
_FAILURE_LINES = ("API check failed for ", "Unearth check failed for ", "Unearth get_extras failed: ",
                  "Unearth get_dependencies failed: ", "No API pattern and unearth not available for ")


class UsageError(Exception):
    pass


# --- arguments --------------------------------------------------------------------------

def _project_name(text: str) -> str:
    if not _PROJECT_NAME.fullmatch(text):
        raise argparse.ArgumentTypeError(f"not a package name: {text!r}")
    return text


def _version(text: str) -> str:
    if not text.strip():
        raise argparse.ArgumentTypeError("empty version")
    return text


def _url_problem(text: Any) -> Optional[str]:
    """Why `text` is not an index URL (http, https or file), or None."""
    if not isinstance(text, str):
        return f"not an index URL: {text!r}"
    try:
        parts = urllib.parse.urlsplit(text.strip())
        has_host = bool(parts.hostname)
    except ValueError as exc:
        return f"not an index URL: {text!r} ({exc})"
    if parts.scheme not in ("http", "https", "file") or (parts.scheme != "file" and not has_host):
        return f"not an index URL (http, https or file): {text!r}"
    return None


def _index_url(text: str) -> str:
    problem = _url_problem(text)
    if problem:
        raise argparse.ArgumentTypeError(problem)
    return text


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}")
    return value


# --- settings -----------------------------------------------------------------------------

def _settings_problem(settings: dict) -> Optional[str]:
    """The first key of the settings that pip_settings would ignore or skip (falling back
    to its default index), described; None when they are usable as written."""
    urls = settings.get("pip_index_urls")
    if urls is not None:
        if not isinstance(urls, list):
            return f"pip_index_urls must be a list of index URLs, not {type(urls).__name__}"
        for i, entry in enumerate(urls):
            url = entry.get("url") if isinstance(entry, dict) else entry
            problem = _url_problem(url)
            if problem:
                return f"pip_index_urls[{i}]: {problem}"
            if isinstance(entry, dict) and not isinstance(entry.get("primary", False), bool):
                return f"pip_index_urls[{i}]: primary must be true or false"
    secondary = settings.get("pip_use_secondary_urls")
    if secondary is not None and not isinstance(secondary, (bool, str)):
        return f"pip_use_secondary_urls must be true or false, not {type(secondary).__name__}"
    apis = settings.get("pip_api_list")
    if apis is not None:
        if not isinstance(apis, list):
            return f"pip_api_list must be a list of API patterns, not {type(apis).__name__}"
        for i, entry in enumerate(apis):
            if (not isinstance(entry, dict) or not isinstance(entry.get("index_url", ""), str)
                    or not isinstance(entry.get("api_pattern"), (str, type(None)))):
                return f'pip_api_list[{i}] must be an object with "index_url" and "api_pattern" texts, not {entry!r}'
    return None


def _load_settings(path: Optional[str]) -> Any:
    if path is None:
        return None
    try:
        with open(path, encoding="utf-8") as handle:
            settings = json.load(handle)
    except OSError as exc:
        raise UsageError(f"cannot read settings file {path}: {exc.strerror or exc}") from None
    except ValueError as exc:
        raise UsageError(f"settings file {path} is not valid JSON: {exc}") from None
    if not isinstance(settings, dict):
        raise UsageError(f"settings file {path} must hold a JSON object")
    problem = _settings_problem(settings)
    if problem:
        raise UsageError(f"settings file {path}: {problem}")
    return settings


# --- what the indexes answered ---------------------------------------------------------

class _Trace(logging.Handler):
    """The indexes a query asked, in order, each with the client's log lines written
    while it was being asked (a CLI runs one query at a time)."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.asked: List[Tuple[str, List[Tuple[int, str]]]] = []
        self._current: Optional[List[Tuple[int, str]]] = None

    def emit(self, record: logging.LogRecord) -> None:
        if self._current is not None:
            self._current.append((record.levelno, record.getMessage()))

    def follow(self, client: Caskwell, method: str) -> None:
        """Routes the client's per-index query `method` through the trace (the client
        calls it through the instance, as one of its methods calls another)."""
        query = getattr(client, method)

        async def per_index(*args: Any) -> Any:
            self._current = []
            self.asked.append((args[-1], self._current))
            try:
                return await query(*args)
            finally:
                self._current = None

        setattr(client, method, per_index)


def _failure(lines: List[Tuple[int, str]]) -> Optional[str]:
    """The line that says why asking an index failed, if it did."""
    errors = [text for level, text in lines if level >= logging.ERROR]
    failures = [text for level, text in lines if text.startswith(_FAILURE_LINES)]
    return next(iter(errors + failures), None)


def _explain(trace: _Trace, summary: str, empty_answer: str, name: str) -> List[str]:
    """Why a query found nothing: which indexes were asked and what each answered."""
    if not trace.asked:
        return ["error: no index was asked: the settings have no primary index, and secondary indexes are "
                "switched off or there are none"]
    lines, unreachable = [], 0
    for url, logged in trace.asked:
        failure = _failure(logged)
        if failure is not None:
            unreachable += 1
            lines.append(f"  {url}: {failure}")
        elif any(text.startswith(f"Package {name} not found at ") for _, text in logged):
            lines.append(f"  {url}: {name} not found")
        else:
            lines.append(f"  {url}: {empty_answer}")
    n = len(trace.asked)
    if unreachable == n:
        summary = (f"error: none of the {n} indexes could be reached" if n > 1
                   else "error: the index could not be reached")
    return [summary + "; asked:"] + lines


# --- commands ---------------------------------------------------------------------------

def _requirement(text: str) -> Tuple[str, str, List[str]]:
    from packaging.requirements import InvalidRequirement, Requirement

    try:
        requirement = Requirement(text)
    except InvalidRequirement as exc:
        raise UsageError(f"not a requirement: {exc}") from None
    if requirement.url:
        raise UsageError(f"a direct reference cannot be checked against the installed version: {text!r}")
    if requirement.marker is not None:
        raise UsageError(f"not a requirement without markers: {text!r}")
    return requirement.name, str(requirement.specifier), sorted(requirement.extras)


def _check(client: Caskwell, text: str) -> Tuple[Any, List[str], bool]:
    name, spec, extras = _requirement(text)
    satisfied = client.check_specifier_in_dist(name, spec, extras or None)
    installed = client.check_specifier_in_dist(name, "")
    missing = [extra for extra in extras if client.check_specifier_in_dist(name, "", [extra]) is None]
    result = {"requirement": text, "name": name, "satisfied": satisfied is not None, "installed": installed,
              "missing_extras": missing}
    if satisfied is not None:
        return result, [f"satisfied: {name} {satisfied}"], True
    if installed is None:
        return result, [f"not satisfied: {name} is not installed"], False
    if client.check_specifier_in_dist(name, spec) is None:
        return result, [f"not satisfied: {installed} is installed"], False
    quoted = ", ".join(repr(extra) for extra in missing)
    return result, [f"not satisfied: {installed} is installed but does not provide the extra {quoted}"], False


def _format_dependency(dep: dict) -> str:
    text = dep["name"]
    if dep["extras"]:
        text += "[" + ",".join(dep["extras"]) + "]"
    if dep["version_spec"]:
        text += " " + dep["version_spec"]
    if dep["markers"]:
        text += "; " + dep["markers"]
    return text


async def _answer(client: Caskwell, args: argparse.Namespace, trace: _Trace) -> Tuple[Any, List[str], bool, List[str]]:
    """(JSON result, text lines, found, explanation lines for stderr) of one command."""
    command, name = args.command, str(getattr(args, "name", ""))
    if command == "versions":
        trace.follow(client, "_get_versions_from_index")
        versions = await client.get_versions(name, args.index_url)
        return versions, versions, bool(versions), [] if versions else _explain(
            trace, f"no versions of {name} found", "no versions listed", name)
    if command == "extras":
        trace.follow(client, "_get_extras_from_index")
        extras = await client.get_extras(name, args.version, args.index_url)
        return extras, extras, bool(extras), [] if extras else _explain(
            trace, f"no extras found for {name} {args.version}", f"{name} {args.version} declares no extras", name)
    if command == "dependencies":
        trace.follow(client, "_get_dependencies_from_index")
        deps = await client.get_dependencies(name, args.version, args.index_url)
        return deps, [_format_dependency(dep) for dep in deps], bool(deps), [] if deps else _explain(
            trace, f"no dependencies found for {name} {args.version}",
            f"{name} {args.version} declares no dependencies", name)
    if command == "info":
        trace.follow(client, "_get_package_info_from_index")
        info = await client.get_package_info(name)
        if "error" in info:
            return info, [], False, _explain(trace, f"error: {info['error']}", f"{name} not found", name)
        lines = [f"{info['name']} {info['latest_version']}".rstrip()]
        if info["summary"]:
            lines.append(str(info["summary"]))
        return info, lines, True, []
    if command == "find-repo":
        wanted = f"{name} {args.version}" if args.version else name
        if args.version:
            trace.follow(client, "_package_version_exists_in_index")
            url = await client.find_repo_for_package_version(name, args.version)
        else:
            trace.follow(client, "_package_exists_in_index")
            url = await client.find_repo_for_package(name)
        if url is None:
            return url, [], False, _explain(trace, f"no configured index has {wanted}", f"does not have {wanted}", name)
        return url, [url], True, []
    if command == "check":
        return (*_check(client, args.requirement), [])
    raise UsageError(f"unknown command {command!r}")


async def _run(args: argparse.Namespace, trace: _Trace, output: threading.Lock) -> int:
    client = Caskwell(_load_settings(args.settings))
    try:
        result, lines, found, explanation = await _answer(client, args, trace)
    finally:
        await client.close()
    output.acquire()  # held to the end: a --timeout expiring now leaves the answer alone
    if args.json:
        print(json.dumps(result, indent=2, ensure_ascii=False))
    else:
        for line in lines:
            print(line)
    for line in explanation:
        print(line, file=sys.stderr)
    return 0 if found else NOT_FOUND


def _end_after(seconds: float, output: threading.Lock) -> threading.Timer:
    """Ends the process when the command has not answered within `seconds`. A query can
    be blocked where nothing interrupts it (the package finder of an index without an
    API pattern runs in worker threads, and on the event loop's own thread for existence
    checks), so the process exits without waiting for it."""

    def expire() -> None:
        if not output.acquire(blocking=False):
            return  # the answer is being printed
        print(f"error: no answer within {seconds:g} seconds", file=sys.stderr, flush=True)
        sys.stdout.flush()
        os._exit(NOT_FOUND)

    timer = threading.Timer(seconds, expire)
    timer.daemon = True
    timer.start()
    return timer


def _general_options(parser: argparse.ArgumentParser, default: Any) -> None:
    """The options that apply to every command; they may stand before or after it."""
    parser.add_argument("--settings", metavar="FILE", default=default,
                        help="JSON settings (pip_index_urls, pip_use_secondary_urls, pip_api_list)")
    parser.add_argument("--json", action="store_true", default=default, help="print the result as JSON")
    parser.add_argument("--timeout", metavar="SECONDS", type=_seconds, default=default,
                        help="give up when the command has no answer within this time")
    parser.add_argument("-v", "--verbose", action="count", default=default,
                        help="log the client's queries on stderr (-vv for debug lines)")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m vantrel_master.business_layer.packages.caskwell_cli",
        description="Query the configured package indexes as the package manager does.",
    )
    _general_options(parser, None)
    # After the command, an option given there replaces the one given before it.
    general = argparse.ArgumentParser(add_help=False)
    _general_options(general, argparse.SUPPRESS)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help: str) -> argparse.ArgumentParser:
        return commands.add_parser(name, help=help, parents=[general])

    versions = command("versions", "versions of a package, newest first")
    extras = command("extras", "extras of a package version")
    deps = command("dependencies", "requirements of a package version")
    info = command("info", "name, latest version and summary")
    repo = command("find-repo", "the index that carries a package or a version")
    for sub in (versions, extras, deps, info, repo):
        sub.add_argument("name", type=_project_name)
    for sub in (extras, deps):
        sub.add_argument("version", type=_version)
    for sub in (versions, extras, deps):
        sub.add_argument("--index-url", type=_index_url, help="ask this index only")
    repo.add_argument("--version", type=_version, help="look for this version")
    check = command("check", "whether this interpreter satisfies a requirement")
    check.add_argument("requirement", help='e.g. "requests[socks]>=2.8,<3"')
    return parser


def _show_logs(verbose: int) -> None:
    """Log lines on stderr: the client's from -v on (without it the CLI says in its own
    words why a query found nothing), other libraries' errors always."""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
    if verbose:
        handler.setLevel(logging.INFO if verbose == 1 else logging.DEBUG)
    else:
        handler.setLevel(logging.ERROR)
        handler.addFilter(lambda record: not record.name.startswith(CLIENT_LOGGER))
    root = logging.getLogger()
    root.addHandler(handler)
    root.setLevel(handler.level)


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    _show_logs(args.verbose or 0)
    # Every line of the client reaches the trace, whatever is shown on stderr.
    trace = _Trace()
    client_logger = logging.getLogger(CLIENT_LOGGER)
    client_logger.setLevel(logging.DEBUG)
    client_logger.addHandler(trace)
    output = threading.Lock()
    timer = _end_after(args.timeout, output) if args.timeout else None
    try:
        return asyncio.run(_run(args, trace, output))
    except UsageError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return USAGE
    finally:
        if timer is not None:
            timer.cancel()
        client_logger.removeHandler(trace)


if __name__ == "__main__":
    sys.exit(main())
