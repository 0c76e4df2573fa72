#!/usr/bin/env python3
"""check_wheel.py WHEEL: checks what a built wheel of the package holds, for the Linux and
the Windows wheel alike: every extension module with its stub, py.typed, every stub of the
source tree, no test-only module and no bytecode. Prints the extension modules it holds
(dotted names, one a line); exits 1 after naming each problem."""
import pathlib
import sys
import zipfile

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"


def extension_module(name):
    """The module path of an extension module file (`a/b/kernel` for
    a/b/kernel.cpython-311-x86_64-linux-gnu.so or a/b/kernel.cp311-win_amd64.pyd), else None."""
    if not name.endswith((".so", ".pyd")):
        return None
    folder, _, file = name.rpartition("/")
    return f"{folder}/{file.split('.', 1)[0]}" if folder else file.split(".", 1)[0]


def main(wheel):
    names = set(zipfile.ZipFile(wheel).namelist())
    problems, modules = [], []
    for name in sorted(names):
        module = extension_module(name)
        if module is None:
            continue
        if any(part.startswith("_") for part in module.split("/")):
            problems.append(f"holds the test-only module {name}")
        elif module + ".pyi" not in names:
            problems.append(f"holds {name} without its stub {module}.pyi")
        else:
            modules.append(module.replace("/", "."))
    for stub in sorted(SRC.rglob("*.pyi")):
        if stub.relative_to(SRC).as_posix() not in names:
            problems.append(f"lacks the stub {stub.relative_to(SRC)}")
    if "vantrel_master/py.typed" not in names:
        problems.append("lacks vantrel_master/py.typed")
    problems += [f"holds {n}" for n in sorted(names) if "__pycache__" in n or n.endswith(".pyc")]
    if not modules:
        problems.append("holds no extension module")
    for problem in problems:
        print(f"check_wheel: {pathlib.Path(wheel).name} {problem}", file=sys.stderr)
    print("\n".join(modules))
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1]))
