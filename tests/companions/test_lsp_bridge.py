"""The language service as the kernel calls it: the edited buffer, the workbook's
in-memory modules and the unsaved buffers, with keyword arguments."""
import os
import warnings

import pytest

from vantrel_master.python_server.lsp_bridge import LSPBridge

UTIL = '''\
"""Workbook helpers."""
RATE = 0.25


def scaled_sum(first, second=1, *, scale: float = 1.0) -> float:
    """Add two numbers and scale the sum.

    The scale defaults to one, which leaves the sum as it is.
    """
    return (first + second) * scale
'''


@pytest.fixture
def bridge():
    service = LSPBridge()
    yield service
    service.close()


def labels(result):
    assert result["error"] is None
    return [item["label"] for item in result["completions"]]


def cursor(code, marker="|"):
    """The code without the marker and the marker's 1-based line and 0-based column."""
    before = code[:code.index(marker)]
    return dict(code=code.replace(marker, "", 1), line=before.count("\n") + 1,
                column=len(before) - before.rfind("\n") - 1)


def test_workbook_modules_and_unsaved_buffers(bridge):
    modules = {"wbutil": UTIL, "draft": "def saved_name():\n    pass\n",
               "main": "def stale_local():\n    pass\n"}
    dirty = {"draft": 'def unsaved_name(q):\n    """From the unsaved buffer."""\n    return q\n', "util2": None}
    at = dict(path="main.py", modules=modules, dirty_files=dirty)

    result = bridge.get_completions(**cursor("import wbutil\nwbutil.sc|", ), **at)
    assert labels(result) == ["scaled_sum"]
    item = result["completions"][0]
    assert item["kind"] == 3 and item["insertText"] == "scaled_sum"
    assert item["documentation"] == "Add two numbers and scale the sum."
    # the unsaved buffer takes the place of the module's source
    assert "unsaved_name" in labels(bridge.get_completions(**cursor("import draft\ndraft.|"), **at))
    assert "saved_name" not in labels(bridge.get_completions(**cursor("import draft\ndraft.|"), **at))
    # the edited buffer is the code itself, not the module's stored source
    own = labels(bridge.get_completions(**cursor("def fresh_local():\n    pass\nfresh|"), **at))
    assert own == ["fresh_local"]
    assert labels(bridge.get_completions(**cursor("stale|"), **at)) == []

    hover = bridge.get_hover(**cursor("import draft\ndraft.unsaved_n|ame(1)"), **at)
    assert hover["error"] is None and hover["contents"]["kind"] == "markdown"
    assert hover["contents"]["value"] == "```python\ndef unsaved_name(q)\n```\n\nFrom the unsaved buffer."
    rate = bridge.get_hover(**cursor("from wbutil import RATE\nRA|TE"), **at)["contents"]["value"]
    assert "RATE: float" in rate

    signature = bridge.get_signature_help(**cursor("import wbutil\nwbutil.scaled_sum(1, |)"), **at)
    assert signature["error"] is None and signature["activeParameter"] == 1
    assert signature["signatures"][0]["label"] == "scaled_sum(first, second=1, *, scale: float=1.0) -> float"
    assert [p["label"] for p in signature["signatures"][0]["parameters"]] == [
        "first", "second=1", "scale: float=1.0"]
    keyword = bridge.get_signature_help(**cursor("import wbutil\nwbutil.scaled_sum(1, scale=|)"), **at)
    assert keyword["activeParameter"] == 2

    # a changed module is seen at once; a module gone from the workbook is forgotten
    modules["wbutil"] = UTIL.replace("scaled_sum", "scaled_total")
    assert labels(bridge.get_completions(**cursor("import wbutil\nwbutil.sc|"), **at)) == ["scaled_total"]
    del modules["wbutil"]
    assert labels(bridge.get_completions(**cursor("import wbutil\nwbutil.sc|"), **at)) == []
    # delete_module removes the materialised file; paths from update_sys_paths are searched
    directory = bridge._directory
    bridge.delete_module("draft")
    assert not (directory / "draft.py").exists()
    bridge.close()
    assert not directory.exists()


def test_extra_sys_paths_and_unsafe_module_names(bridge, tmp_path):
    (tmp_path / "site_pkg_mod.py").write_text("def from_extra_path():\n    pass\n")
    request = cursor("import site_pkg_mod\nsite_pkg_mod.from_|")
    bridge.update_sys_paths(None)  # ignored, not raised
    assert labels(bridge.get_completions(**request, modules={})) == []
    bridge.update_sys_paths([str(tmp_path), 5])
    assert bridge.sys_paths == [str(tmp_path)]
    assert labels(bridge.get_completions(**request, modules={})) == ["from_extra_path"]
    # only dotted identifiers become files, inside the bridge's own directory
    escape = {str(tmp_path / "escaped"): "X = 1\n", "sub/evil": "X = 1\n", "pkg.sub": "Y = 2\n"}
    bridge.get_completions(code="", modules=escape)
    assert not (tmp_path / "escaped.py").exists()
    assert sorted(os.listdir(bridge._directory)) == ["pkg"]


def test_hover_modes(bridge):
    request = dict(cursor("import wbutil\nwbutil.scaled_s|um"), modules={"wbutil": UTIL})
    compact = bridge.get_hover(**request)["contents"]["value"]
    assert compact.endswith("Add two numbers and scale the sum.") and "defaults to one" not in compact
    assert compact.startswith("```python\ndef scaled_sum(first, second=1")
    bridge.set_hover_mode("full")
    full = bridge.get_hover(**request)["contents"]["value"]
    assert full.startswith(compact) and full.endswith("which leaves the sum as it is.")
    bridge.set_hover_mode("detailed")  # another name for full
    assert bridge.hover_mode == "detailed" and bridge.get_hover(**request)["contents"]["value"] == full
    bridge.set_hover_mode("shouting")
    assert bridge.hover_mode == "compact" and bridge.get_hover(**request)["contents"]["value"] == compact


def test_diagnostics(bridge, capsys):
    def diagnostics(code):
        result = bridge.get_diagnostics(code=code, module_name="main")
        assert result["error"] is None
        return [(d["range"]["start"]["line"], d["range"]["start"]["character"], d["range"]["end"]["line"],
                 d["range"]["end"]["character"], d["severity"], d["source"], d["message"])
                for d in result["diagnostics"]]

    assert diagnostics("x = 1\nprint(x)\n") == []
    assert diagnostics("x = 1\ndef f(:\n    pass\n") == [(1, 6, 1, 7, 1, "compile", "invalid syntax")]
    found = diagnostics("import os, json\nlabel = 'é' + missing_name\nif label is 'a':\n    pass\n"
                        "json.dumps(label)\nreturn 5\n")
    assert found == [
        (0, 7, 0, 9, 2, "pyflakes", "'os' imported but unused"),
        (1, 14, 1, 26, 1, "pyflakes", "undefined name 'missing_name'"),  # characters, not UTF-8 bytes
        (2, 0, 2, 16, 2, "compile", '"is" with a literal. Did you mean "=="?'),
        (2, 3, 2, 8, 2, "pyflakes", "use ==/!= to compare constant literals (str, bytes, int, float, tuple)"),
        (5, 0, 5, 8, 1, "compile", "'return' outside function"),  # reported once, not by pyflakes again
    ]
    assert capsys.readouterr() == ("", "")  # the compile warning was not printed
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # as user code may leave the process' filters
        assert diagnostics("if 1 is 1:\n    pass\n")[0][4:6] == (2, "compile")
    unused = bridge.get_diagnostics(code="import os\n", module_name=None)["diagnostics"][0]
    assert unused["tags"] == [1] and unused["code"] == "UnusedImport"


def test_bad_input_gives_error_results(bridge, monkeypatch):
    empty = {"get_completions": {"completions": []}, "get_hover": {"contents": None},
             "get_signature_help": {"signatures": [], "activeSignature": 0, "activeParameter": 0}}
    bad = [dict(code=5), dict(code="x", line=2), dict(code="ab", column=3), dict(code="x", line="1"),
           dict(code="x", line=True), dict(code="x", modules=["m"]), dict(code="x", dirty_files="d"),
           dict(code="x", path=7), dict(code="x\n", line=2, column=1)]
    for method, defaults in empty.items():
        for arguments in bad:
            result = getattr(bridge, method)(**arguments)
            assert isinstance(result.pop("error"), str) and result == defaults, (method, arguments)
    assert bridge.get_completions(code="ab", line=1, column=3)["error"] == (
        "column 3 is out of range (line 1 has 2 characters)")
    assert bridge.get_diagnostics(code=None, module_name="m") == {
        "diagnostics": [], "error": "code must be a str, not NoneType"}

    import jedi

    def broken(*args, **kwargs):
        raise RuntimeError("analysis exploded")
    monkeypatch.setattr(jedi.Script, "complete", broken)
    result = bridge.get_completions(code="x", line=1, column=1)
    assert result == {"completions": [], "error": "Completion failed: RuntimeError: analysis exploded"}
