#!/usr/bin/env python3
"""The lowest versions the package declares, pinned in scripts/lowest-versions.txt, for
the test leg that runs on them (scripts/min-versions-tests.sh).

    python scripts/lowest_versions.py            # check the pins, print the requirements to install
    python scripts/lowest_versions.py --update   # rewrite the pins (asks the index for each package)
    python scripts/lowest_versions.py --installed  # check that the running environment has the pins

Every runtime dependency and every requirement of the test extra in pyproject.toml must
have a pin that satisfies its range and lies in the series of its lower bound (websockets
>=14 pinned to a 14.x, orjson >=3.8 to a 3.8.x, ...): raising a lower bound without
updating the pins fails the check. --update pins the lowest release that the index serves
within each range.
"""
import argparse
import re
import subprocess
import sys
import tomllib
from pathlib import Path

from packaging.requirements import Requirement
from packaging.utils import canonicalize_name
from packaging.version import Version

ROOT = Path(__file__).resolve().parent.parent
PINS = ROOT / "scripts" / "lowest-versions.txt"
EXTRAS = ("test",)
PIN_HEADER = """\
# The lowest version of each requirement in pyproject.toml (runtime and test extra):
# installed by scripts/min-versions-tests.sh. Written by `python scripts/lowest_versions.py
# --update`; the check in that script keeps it in step with pyproject.toml.
"""


def declared():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    requirements = list(project["dependencies"])
    for extra in EXTRAS:
        requirements += project["optional-dependencies"][extra]
    return [Requirement(r) for r in requirements]


def lower_bound(requirement):
    bounds = [Version(s.version) for s in requirement.specifier if s.operator in (">=", "~=", "==")]
    return max(bounds) if bounds else None


def read_pins(path=PINS):
    pins = {}
    for line in path.read_text(encoding="utf-8").splitlines():
        line = line.split("#")[0].strip()
        if line:
            name, _, version = line.partition("==")
            pins[canonicalize_name(name)] = Version(version)
    return pins


def problems(requirements, pins):
    found = []
    names = set()
    for r in requirements:
        name = canonicalize_name(r.name)
        names.add(name)
        low = lower_bound(r)
        if low is None:
            found.append(f"{r}: no lower bound to test")
            continue
        pin = pins.get(name)
        if pin is None:
            found.append(f"{r}: not pinned in {PINS.name}")
        elif pin not in r.specifier:
            found.append(f"{r}: pinned {pin}, outside the range")
        elif pin.release[: len(low.release)] != low.release:
            found.append(f"{r}: pinned {pin}, not the lowest series {low} (lower bound raised?)")
    found += [f"{name}=={pins[name]}: pinned but not declared" for name in sorted(set(pins) - names)]
    return found


def lowest_available(requirement):
    listing = subprocess.run([sys.executable, "-m", "pip", "index", "versions", requirement.name],
                             capture_output=True, text=True, check=True).stdout
    match = re.search(r"Available versions: (.*)", listing)
    if not match:
        raise SystemExit(f"lowest_versions: no versions listed for {requirement.name}")
    versions = sorted(v for v in map(Version, match.group(1).split(", "))
                      if not v.is_prerelease and v in requirement.specifier)
    if not versions:
        raise SystemExit(f"lowest_versions: no release of {requirement.name} satisfies {requirement.specifier}")
    return versions[0]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--update", action="store_true", help="rewrite the pins from the index")
    parser.add_argument("--installed", action="store_true",
                        help="check that this environment has the pinned versions, and list them")
    args = parser.parse_args(argv)
    requirements = declared()
    if args.update:
        lines = [f"{r.name}=={lowest_available(r)}" for r in requirements]
        PINS.write_text(PIN_HEADER + "\n".join(lines) + "\n", encoding="utf-8")
        print(f"lowest_versions: wrote {PINS}")
    found = problems(requirements, read_pins())
    if found:
        for problem in found:
            print("lowest_versions: " + problem, file=sys.stderr)
        return 1
    if args.installed:
        return check_installed(requirements, read_pins())
    for r in requirements:
        print(r)
    return 0


def check_installed(requirements, pins):
    from importlib.metadata import PackageNotFoundError, version

    ran, wrong = [], []
    for r in requirements:
        try:
            installed = Version(version(r.name))
        except PackageNotFoundError:
            installed = None
        pinned = pins[canonicalize_name(r.name)]
        ran.append(f"{r.name} {installed}")
        if installed != pinned:
            wrong.append(f"{r.name} {installed or '(missing)'} is installed, not the pinned {pinned}")
    print("lowest_versions: runs with " + ", ".join(ran))
    for problem in wrong:
        print("lowest_versions: " + problem, file=sys.stderr)
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
