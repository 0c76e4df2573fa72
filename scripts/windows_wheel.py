#!/usr/bin/env python3
"""The Windows packaging steps of scripts/windows-tests.sh, run by the Linux interpreter.

    python scripts/windows_wheel.py wheel OUTDIR KERNEL_PYD CASKWELL_PYD
        assembles vantrel_master-VERSION-cp311-cp311-win_amd64.whl in OUTDIR: the package's
        files from src/vantrel_master (companions, dev tools, stubs, py.typed), the two
        modules built for Windows, and the metadata pip reads (METADATA, WHEEL,
        entry_points.txt, RECORD) from pyproject.toml, as the Linux build writes them.
    python scripts/windows_wheel.py requirements [EXTRA...]
        prints the package's requirements, with those of the extras named, one a line.
    python scripts/windows_wheel.py missing WHEELDIR REQUIREMENT...
        prints the requirements that the wheels in WHEELDIR need on Windows but that no
        wheel there provides. `pip download --platform win_amd64` evaluates environment
        markers for the machine it runs on, so a dependency marked for Windows alone
        (pytest's `colorama; sys_platform == "win32"`) is never fetched; the leg downloads
        what this prints until it prints nothing.
"""
import base64
import hashlib
import sys
import tomllib
import zipfile
from pathlib import Path

from packaging.markers import Marker
from packaging.requirements import Requirement
from packaging.utils import canonicalize_name, parse_wheel_filename

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "src" / "vantrel_master"
TAG = "cp311-cp311-win_amd64"
SUFFIX = ".cp311-win_amd64.pyd"  # importlib.machinery.EXTENSION_SUFFIXES[0] of the interpreter
# where each extension module lives in the package
MODULE_DIRS = {
    "kernel": "vantrel_master/python_server",
    "caskwell": "vantrel_master/business_layer/packages",
}
# The environment markers of 64-bit CPython 3.11 on Windows.
WINDOWS = {
    "implementation_name": "cpython",
    "implementation_version": "3.11.9",
    "os_name": "nt",
    "platform_machine": "AMD64",
    "platform_python_implementation": "CPython",
    "platform_release": "10",
    "platform_system": "Windows",
    "platform_version": "10.0.19045",
    "python_full_version": "3.11.9",
    "python_version": "3.11",
    "sys_platform": "win32",
}


def project():
    return tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]


def metadata(meta):
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {meta['name']}",
        f"Version: {meta['version']}",
        f"Summary: {meta['description']}",
        f"Requires-Python: {meta['requires-python']}",
    ]
    lines += [f"Requires-Dist: {r}" for r in meta.get("dependencies", [])]
    for extra, requirements in meta.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        for text in requirements:
            req = Requirement(text)
            marker = f'extra == "{extra}"'
            if req.marker is not None:
                marker = f"({req.marker}) and {marker}"
            req.marker = None
            lines.append(f"Requires-Dist: {req}; {marker}")
    lines.append("Description-Content-Type: text/markdown")
    readme = (ROOT / meta.get("readme", "README.md")).read_text(encoding="utf-8")
    return "\n".join(lines) + "\n\n" + readme


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def build_wheel(outdir, kernel_pyd, caskwell_pyd):
    meta = project()
    dist = f"{meta['name']}-{meta['version']}"
    files = {}
    for path in sorted(PACKAGE.rglob("*")):
        if not path.is_file() or "__pycache__" in path.parts or path.suffix in (".pyc", ".so", ".pyd"):
            continue
        files[path.relative_to(PACKAGE.parent).as_posix()] = path.read_bytes()
    for module, pyd in (("kernel", kernel_pyd), ("caskwell", caskwell_pyd)):
        files[f"{MODULE_DIRS[module]}/{module}{SUFFIX}"] = Path(pyd).read_bytes()
    info = f"{dist}.dist-info"
    files[f"{info}/METADATA"] = metadata(meta).encode()
    files[f"{info}/WHEEL"] = (
        f"Wheel-Version: 1.0\nGenerator: vantrel-windows-wheel\nRoot-Is-Purelib: false\nTag: {TAG}\n"
    ).encode()
    scripts = meta.get("scripts", {})
    if scripts:
        entry = "[console_scripts]\n" + "".join(f"{k} = {v}\n" for k, v in scripts.items())
        files[f"{info}/entry_points.txt"] = entry.encode()
    record = [record_line(name, data) for name, data in files.items()]
    record.append(f"{info}/RECORD,,")
    files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode()
    out = Path(outdir) / f"{dist}-{TAG}.whl"
    out.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files.items():
            wheel.writestr(zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0)), data,
                           compress_type=zipfile.ZIP_DEFLATED)
    print(out)


def requirements(extras):
    meta = project()
    reqs = list(meta.get("dependencies", []))
    for extra in extras:
        reqs += meta["optional-dependencies"][extra]
    print("\n".join(reqs))


def wheel_requirements(path):
    with zipfile.ZipFile(path) as wheel:
        name = next(n for n in wheel.namelist() if n.endswith(".dist-info/METADATA"))
        text = wheel.read(name).decode("utf-8", "replace")
    head = text.split("\n\n", 1)[0]
    return [line[len("Requires-Dist:"):].strip() for line in head.splitlines()
            if line.startswith("Requires-Dist:")]


def needed(text, extras):
    """The requirement TEXT without its marker when Windows needs it (for one of EXTRAS
    of the requiring package), else None."""
    req = Requirement(text)
    if req.marker is not None:
        if not any(req.marker.evaluate({**WINDOWS, "extra": extra}) for extra in extras or {""}):
            return None
        req.marker = None
    return req


def missing(wheeldir, wanted):
    have = {}
    for path in Path(wheeldir).glob("*.whl"):
        name, _, _, _ = parse_wheel_filename(path.name)
        have[canonicalize_name(name)] = path
    todo = [req for req in (needed(text, ()) for text in wanted) if req is not None]
    seen, absent = set(), []
    while todo:
        req = todo.pop()
        key = canonicalize_name(req.name)
        extras = frozenset(req.extras)
        if (key, extras) in seen:
            continue
        seen.add((key, extras))
        path = have.get(key)
        if path is None:
            absent.append(str(req))
            continue
        for text in wheel_requirements(path):
            dep = needed(text, extras)
            if dep is not None:
                todo.append(dep)
    print("\n".join(absent))


def main(argv):
    if len(argv) >= 4 and argv[0] == "wheel":
        build_wheel(*argv[1:4])
    elif argv and argv[0] == "requirements":
        requirements(argv[1:])
    elif len(argv) >= 2 and argv[0] == "missing":
        missing(argv[1], argv[2:])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
