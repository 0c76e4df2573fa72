"""extract_tracebak_string and _parse_error_location, on real tracebacks of workbook
modules and on hand-written traceback texts."""
import importlib
import traceback

import pytest

from vantrel_master.python_server.kernel import _parse_error_location, extract_tracebak_string, in_memory_loader


def location(module, line):
    return {"module": module, "line": line, "file": f"<virtual:{module}>"}


# --- extract_tracebak_string ----------------------------------------------------------------


def test_traceback_string_is_the_full_standard_text_with_causes():
    def inner():
        raise KeyError("k")

    try:
        try:
            inner()
        except KeyError as e:
            raise ValueError("outer") from e
    except ValueError as e:
        caught = e
    text = extract_tracebak_string(caught)
    assert text == "".join(traceback.format_exception(type(caught), caught, caught.__traceback__))
    assert "in inner" in text and "KeyError: 'k'" in text
    assert text.endswith("ValueError: outer\n")


def test_traceback_string_of_an_exception_never_raised():
    assert extract_tracebak_string(LookupError("nothing")) == "LookupError: nothing\n"


@pytest.mark.parametrize("bad", [None, "text", KeyboardInterrupt(), SystemExit(1), ValueError])
def test_traceback_string_takes_only_exception_instances(bad):
    with pytest.raises(TypeError):
        extract_tracebak_string(bad)


# --- _parse_error_location: real tracebacks of workbook modules ----------------------------------


def test_innermost_virtual_frame_wins(module_name):
    helper, user = module_name("helper"), module_name("user")
    in_memory_loader.update_module(helper, "def check(v):\n    x = v\n    return 1 // x\n")
    in_memory_loader.update_module(user, f"import {helper}\n\ndef run():\n    return {helper}.check(0)\n")
    module = importlib.import_module(user)
    with pytest.raises(ZeroDivisionError) as info:
        module.run()
    text = extract_tracebak_string(info.value)
    assert f'File "<virtual:{user}>", line 4' in text
    assert _parse_error_location(text, set()) == location(helper, 3)
    assert list(_parse_error_location(text, {user})) == ["module", "line", "file"]


# --- _parse_error_location: traceback texts ---------------------------------------------------------


def frame(file, line, quote='"'):
    return f"  File {quote}{file}{quote}, line {line}, in f\n    pass\n"


def tb(*frames):
    return "Traceback (most recent call last):\n" + "".join(frames) + "ValueError: x\n"


def test_last_of_several_virtual_frames():
    text = tb(frame("<virtual:a>", 3), frame("/lib/x.py", 10), frame("<virtual:b>", 7), frame("/lib/y.py", 1))
    assert _parse_error_location(text, {"a"}) == location("b", 7)


def test_single_quoted_file_names():
    assert _parse_error_location(tb(frame("<virtual:m_1>", 12, "'")), set()) == location("m_1", 12)


def test_dotted_names_are_found_by_the_module_names_only():
    text = tb(frame("<virtual:pkg.sub>", 2), frame("<virtual:pkg.sub>", 9))
    assert _parse_error_location(text, set()) == {}
    # the first (outermost) matching frame of the fallback is used
    assert _parse_error_location(text, {"pkg.sub"}) == location("pkg.sub", 2)


def test_fallback_matches_a_module_name_anywhere_in_a_file_name():
    text = tb(frame("/work/book/report_tools.py", 21))
    assert _parse_error_location(text, {"report_tools"}) == location("report_tools", 21)
    assert _parse_error_location(text, {"other"}) == {}


def test_fallback_takes_module_names_literally():
    # "my.mod" as a pattern would match "myXmod"
    assert _parse_error_location(tb(frame("/w/myXmod.py", 5)), {"my.mod"}) == {}
    assert _parse_error_location(tb(frame("/w/a+b.py", 6)), {"a+b"}) == location("a+b", 6)


@pytest.mark.parametrize("text", ["", "no traceback here", tb(frame("/lib/x.py", 1))])
def test_nothing_found_gives_an_empty_dict(text):
    assert _parse_error_location(text, set()) == {}


def test_argument_types():
    with pytest.raises(TypeError, match="'traceback_str'"):
        _parse_error_location(None, set())
    with pytest.raises(TypeError, match="'in_memory_modules'"):
        _parse_error_location("", ["a"])
