"""Exceptions raised by functions of workbook modules: their tracebacks name the
virtual file and show the workbook's source lines."""
import importlib
import traceback

import pytest


def test_traceback_of_a_virtual_function_shows_file_and_line(loader, new_name):
    name = new_name()
    loader.update_module(name, "def inner(v):\n"
                               "    return 10 // v\n"
                               "\n"
                               "def outer(v):\n"
                               "    total = inner(v) + 1\n"
                               "    return total\n")
    module = importlib.import_module(name)
    with pytest.raises(ZeroDivisionError) as info:
        module.outer(0)
    summary = traceback.extract_tb(info.value.__traceback__)
    virtual = [(f.filename, f.lineno, f.name, f.line) for f in summary if f.filename == f"<virtual:{name}>"]
    assert virtual == [
        (f"<virtual:{name}>", 5, "outer", "total = inner(v) + 1"),
        (f"<virtual:{name}>", 2, "inner", "return 10 // v"),
    ]
    text = "".join(traceback.format_exception(info.value))
    assert f'  File "<virtual:{name}>", line 2, in inner\n    return 10 // v\n' in text


def test_traceback_across_two_virtual_modules(loader, new_name):
    base, user = new_name(), new_name()
    loader.update_module(base, "def check(v):\n    if v < 0:\n        raise ValueError(f'negative: {v}')\n")
    loader.update_module(user, f"from {base} import check\n\ndef run(v):\n    check(v)\n")
    module = importlib.import_module(user)
    with pytest.raises(ValueError, match="negative: -1"):
        module.run(-1)
    try:
        module.run(-1)
    except ValueError:
        text = traceback.format_exc()
    assert f'File "<virtual:{user}>", line 4, in run\n    check(v)\n' in text
    assert f'File "<virtual:{base}>", line 3, in check\n    raise ValueError(f\'negative: {{v}}\')\n' in text


def test_traceback_shows_the_source_of_the_running_version(loader, new_name):
    name = new_name()
    loader.update_module(name, "def f():\n    raise KeyError('old')\n")
    old = importlib.import_module(name)
    loader.update_module(name, "def f():\n    x = 1\n    raise KeyError('new')\n")
    new = importlib.import_module(name)
    with pytest.raises(KeyError) as info:
        new.f()
    frames = [f for f in traceback.extract_tb(info.value.__traceback__) if f.filename == f"<virtual:{name}>"]
    assert [(f.lineno, f.line) for f in frames] == [(3, "raise KeyError('new')")]
    assert old is not new
