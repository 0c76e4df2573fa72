"""The stub generator (scripts/make_stubs.py) against modules of every shape it may meet:
its output must be accepted by mypy's stubtest for the module it came from. One module
is built with pyco (the test-only extension: coroutine functions, class and static
methods, properties, annotated attributes), the other is written in Python here for the
shapes no built module has yet."""
import ast
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
pytest.importorskip("mypy")
sys.path.insert(0, str(ROOT / "scripts"))
import make_stubs  # noqa: E402

SAMPLE = r'''
"""A module with every shape a stub can take."""
import abc
import collections.abc
from typing import Dict, List, Optional
from os.path import join  # imported: not part of this module's stub

LIMIT = 3
NOTHING = None

class Meta(abc.ABCMeta):
    pass

class Shape(metaclass=Meta):
    """Says \"""hello\""" with a backslash \\ in it."""
    SIDES = 4
    area = max  # a callable whose parameters inspect cannot tell
    label: str
    _private = 1

    def __init__(self, size: float, owner: "Shape" = None, *, tags: Optional[List[str]] = None) -> None:
        self._size = size
        self.label = ""

    @property
    def size(self) -> float:
        return self._size

    @size.setter
    def size(self, value: float) -> None:
        self._size = value

    def scaled(self, factor, /, mode="linear", *rest, **options) -> Dict[str, List[int]]:
        return {}

    def on_change(self, handler: collections.abc.Callable[[int], None]) -> None:
        pass

    async def refresh(self) -> None:
        pass

    def _hidden(self):
        pass

default_shape = Shape(1.0)

def _helper():
    pass
'''


def check_with_stubtest(module_name, stub_root, tmp_path, extra_path=()):
    env = dict(os.environ, MYPYPATH=str(stub_root), MYPY_CACHE_DIR=str(tmp_path / "mypy-cache"),
               PYTHONPATH=os.pathsep.join([*map(str, extra_path), os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", module_name], env=env, cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr


def test_stub_of_a_python_module_is_complete_and_accepted(tmp_path):
    package = tmp_path / "runtime" / "stubsample"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text("")
    (package / "shapes.py").write_text(textwrap.dedent(SAMPLE))
    sys.path.insert(0, str(package.parent))
    try:
        text = make_stubs.make_stub("stubsample.shapes")
    finally:
        sys.path.remove(str(package.parent))
        for name in [n for n in sys.modules if n.startswith("stubsample")]:
            del sys.modules[name]

    for line in ["class Shape(metaclass=Meta):", "    SIDES: int", "    label: str",
                 "    def __init__(self, size: float, owner: Shape | None = ..., *, "
                 "tags: Optional[List[str]] = ...) -> None: ...",
                 "    @size.setter",
                 "    def scaled(self, factor, /, mode=..., *rest, **options) -> Dict[str, List[int]]: ...",
                 "    def on_change(self, handler: collections.abc.Callable[[int], None]) -> None: ...",
                 "    async def refresh(self) -> None: ...", "default_shape: Shape", "LIMIT: int", "NOTHING: None",
                 "import collections.abc", "from typing import Any, Dict, List, Optional"]:
        assert line in text.splitlines(), line
    assert "    def area(*args: Any, **kwargs: Any) -> Any:\n" in text
    assert "_private" not in text and "_hidden" not in text and "_helper" not in text and "join" not in text
    shape = next(node for node in ast.parse(text).body if getattr(node, "name", None) == "Shape")
    assert ast.get_docstring(shape) == 'Says """hello""" with a backslash \\ in it.'

    stubs = tmp_path / "stubs" / "stubsample"
    stubs.mkdir(parents=True)
    (stubs / "__init__.pyi").write_text("")
    (stubs / "shapes.pyi").write_text(text)
    check_with_stubtest("stubsample.shapes", stubs.parent, tmp_path, [package.parent])


def test_stub_of_a_pyco_module_is_accepted(tmp_path):
    pytest.importorskip("vantrel_master._pyco_test")
    assert make_stubs.main(["vantrel_master._pyco_test", "--out", str(tmp_path / "stubs")]) == 0
    text = (tmp_path / "stubs" / "vantrel_master" / "_pyco_test.pyi").read_text()
    for line in ["    @classmethod", "    @staticmethod", "    @property", "    count: int",
                 "    async def bump(self, aw):", "def params(a, b=..., *args, c, d=..., **kw): ..."]:
        assert line in text.splitlines(), line
    (tmp_path / "stubs" / "vantrel_master" / "__init__.pyi").write_text("")
    check_with_stubtest("vantrel_master._pyco_test", tmp_path / "stubs", tmp_path)


def test_check_reports_a_stale_stub(tmp_path, capsys):
    module = "vantrel_master.python_server.kernel"
    pytest.importorskip(module)
    assert make_stubs.main([module, "--out", str(tmp_path)]) == 0
    assert make_stubs.main([module, "--check", "--out", str(tmp_path)]) == 0
    stub = make_stubs.stub_path(module, tmp_path)
    stub.write_text(stub.read_text().replace("CHUNK_SIZE: int\n", ""))
    assert make_stubs.main([module, "--check", "--out", str(tmp_path)]) == 1
    assert "out of date" in capsys.readouterr().err
