"""Command-line front of the package-index client.

Answers the package manager's questions from a shell::

    python -m vantrel_master.business_layer.packages.caskwell_cli [--settings FILE] [--json] COMMAND ...

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
    ``"requests[socks]>=2.8,<3"``; prints the installed version.

The indexes come from ``--settings FILE``, a JSON object with the settings manager's
keys (``pip_index_urls``, ``pip_use_secondary_urls``, ``pip_api_list``; see
``pip_settings``), or else from ``pip_settings``' defaults. ``--json`` prints the
result as JSON instead of text. Exit status: 0 when there is an answer, 1 when
nothing was found (or the requirement is not satisfied), 2 for usage errors.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import logging
import sys
from typing import Any, List, Optional, Tuple

from .caskwell import Caskwell

NOT_FOUND = 1
USAGE = 2


class UsageError(Exception):
    pass


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
    return settings


def _requirement(client: Caskwell, text: str) -> Tuple[str, str, List[str]]:
    parsed = client._parse_requirement(text)
    if not parsed or parsed["markers"]:
        raise UsageError(f"not a requirement without markers: {text!r}")
    extras = [extra for extra in parsed["extras"] if extra]
    spec = parsed["version_spec"].strip()
    if spec.startswith("@"):
        raise UsageError(f"a direct reference cannot be checked against the installed version: {text!r}")
    if spec.startswith("(") and spec.endswith(")"):  # the parenthesised form, "name (>=1, <2)"
        spec = spec[1:-1].strip()
    return parsed["name"], spec, extras


def _format_dependency(dep: dict) -> str:
    text = dep["name"]
    if dep["extras"]:
        text += "[" + ",".join(dep["extras"]) + "]"
    if dep["version_spec"]:
        text += " " + dep["version_spec"]
    if dep["markers"]:
        text += "; " + dep["markers"]
    return text


async def _answer(client: Caskwell, args: argparse.Namespace) -> Tuple[Any, List[str], bool]:
    """(JSON result, text lines, found) of one command."""
    command = args.command
    if command == "versions":
        versions = await client.get_versions(args.name, args.index_url)
        return versions, versions, bool(versions)
    if command == "extras":
        extras = await client.get_extras(args.name, args.version, args.index_url)
        return extras, extras, bool(extras)
    if command == "dependencies":
        deps = await client.get_dependencies(args.name, args.version, args.index_url)
        return deps, [_format_dependency(dep) for dep in deps], bool(deps)
    if command == "info":
        info = await client.get_package_info(args.name)
        if "error" in info:
            return info, [f"error: {info['error']}"], False
        lines = [f"{info['name']} {info['latest_version']}".rstrip()]
        if info["summary"]:
            lines.append(str(info["summary"]))
        return info, lines, True
    if command == "find-repo":
        if args.version:
            url = await client.find_repo_for_package_version(args.name, args.version)
        else:
            url = await client.find_repo_for_package(args.name)
        return url, [url] if url else [], url is not None
    if command == "check":
        name, spec, extras = _requirement(client, args.requirement)
        installed = client.check_specifier_in_dist(name, spec, extras or None)
        result = {"requirement": args.requirement, "name": name, "installed": installed}
        if installed is None:
            return result, [f"not satisfied: {args.requirement}"], False
        return result, [f"satisfied: {name} {installed}"], True
    raise UsageError(f"unknown command {command!r}")


async def _run(args: argparse.Namespace) -> int:
    client = Caskwell(_load_settings(args.settings))
    try:
        result, lines, found = await _answer(client, args)
    finally:
        await client.close()
    if args.json:
        print(json.dumps(result, indent=2, ensure_ascii=False))
    else:
        for line in lines:
            print(line)
    return 0 if found else NOT_FOUND


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m vantrel_master.business_layer.packages.caskwell_cli",
        description="Query the configured package indexes as the package manager does.",
    )
    parser.add_argument("--settings", metavar="FILE",
                        help="JSON settings (pip_index_urls, pip_use_secondary_urls, pip_api_list)")
    parser.add_argument("--json", action="store_true", help="print the result as JSON")
    parser.add_argument("-v", "--verbose", action="count", default=0,
                        help="log the client's queries on stderr (-vv for debug lines)")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    versions = commands.add_parser("versions", help="versions of a package, newest first")
    versions.add_argument("name")
    extras = commands.add_parser("extras", help="extras of a package version")
    extras.add_argument("name")
    extras.add_argument("version")
    deps = commands.add_parser("dependencies", help="requirements of a package version")
    deps.add_argument("name")
    deps.add_argument("version")
    for sub in (versions, extras, deps):
        sub.add_argument("--index-url", help="ask this index only")
    info = commands.add_parser("info", help="name, latest version and summary")
    info.add_argument("name")
    repo = commands.add_parser("find-repo", help="the index that carries a package or a version")
    repo.add_argument("name")
    repo.add_argument("--version", help="look for this version")
    check = commands.add_parser("check", help="whether this interpreter satisfies a requirement")
    check.add_argument("requirement", help='e.g. "requests[socks]>=2.8,<3"')
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    level = logging.WARNING if args.verbose == 0 else logging.INFO if args.verbose == 1 else logging.DEBUG
    logging.basicConfig(stream=sys.stderr, level=level, format="%(levelname)s %(name)s: %(message)s")
    try:
        return asyncio.run(_run(args))
    except UsageError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return USAGE


if __name__ == "__main__":
    sys.exit(main())
