"""Exceptions across C++ (handled-exception state inside a catch, context of an
exception raised in a handler, C++ exceptions reaching Python) and the str()-style
text formatter."""

import math
import sys
import traceback

import pytest

from ._support import error_of, native, run, t


def failing_helper():
    raise ValueError("boom in helper")


def calls_failing_helper():
    failing_helper()


# ---------------------------------------------------------------------------
# Handled exception inside a C++ catch


def test_format_exc_inside_a_cpp_catch_shows_the_real_traceback():
    text = t.format_exc_in_catch(calls_failing_helper)
    assert "NoneType: None" not in text
    lines = text.splitlines()
    assert lines[0] == "Traceback (most recent call last):"
    assert lines[-1] == "ValueError: boom in helper"
    assert "in calls_failing_helper" in text and "in failing_helper" in text
    assert text.index("in calls_failing_helper") < text.index("in failing_helper")
    assert 'raise ValueError("boom in helper")' in text

    def reference(fn):
        try:
            fn()
        except Exception:
            return traceback.format_exc()

    # the same frames as an except block in Python sees, below the caller's own frame
    ref = reference(calls_failing_helper).splitlines()
    assert lines[1:] == ref[3:]


def test_format_exc_in_catch_without_error_and_with_base_exceptions():
    assert t.format_exc_in_catch(lambda: None) is None

    def interrupt():
        raise KeyboardInterrupt("not an Exception")

    with pytest.raises(KeyboardInterrupt, match="not an Exception"):
        t.format_exc_in_catch(interrupt)


def test_exc_info_inside_the_catch_and_restored_afterwards():
    exc = LookupError("seen")

    def raiser():
        raise exc

    assert sys.exc_info() == (None, None, None)
    typ, value, tb = t.exc_info_in_catch(raiser)
    assert typ is LookupError and value is exc and tb is exc.__traceback__ and tb is not None
    assert sys.exc_info() == (None, None, None)

    outer = KeyError("outer")
    try:
        raise outer
    except KeyError:
        assert t.exc_info_in_catch(raiser)[1] is exc
        assert "LookupError: seen" in t.format_exc_in_catch(raiser)
        assert sys.exc_info()[1] is outer


def test_raise_in_handler_sets_the_context():
    caught = OSError("first")
    new = ValueError("second")

    def fn():
        raise caught

    with pytest.raises(ValueError) as info:
        t.raise_in_handler(fn, new)
    assert info.value is new
    assert info.value.__context__ is caught
    assert info.value.__cause__ is None and not info.value.__suppress_context__
    text = "".join(traceback.format_exception(info.value))
    assert "During handling of the above exception, another exception occurred:" in text
    assert "OSError: first" in text and text.rstrip().endswith("ValueError: second")


def test_raise_in_handler_context_keeps_its_traceback():
    def reference(fn, exc):
        try:
            fn()
        except BaseException:
            raise exc

    with pytest.raises(ValueError) as ref:
        reference(calls_failing_helper, ValueError("second"))
    expected = [f.name for f in traceback.extract_tb(ref.value.__context__.__traceback__)][1:]
    with pytest.raises(ValueError) as info:
        t.raise_in_handler(calls_failing_helper, ValueError("second"))
    assert [f.name for f in traceback.extract_tb(info.value.__context__.__traceback__)] == expected
    assert expected == ["calls_failing_helper", "failing_helper"]


def test_raise_in_handler_when_nothing_was_raised():
    assert t.raise_in_handler(lambda: "fine", ValueError("unused")) is None


def test_raise_in_handler_reraising_the_caught_exception_has_no_self_context():
    caught = OSError("same")

    def fn():
        raise caught

    with pytest.raises(OSError) as info:
        t.raise_in_handler(fn, caught)
    assert info.value is caught and info.value.__context__ is None


def test_raise_in_handler_inside_a_python_except_block():
    caught = OSError("inner")

    def fn():
        raise caught

    try:
        raise KeyError("outer")
    except KeyError:
        with pytest.raises(ValueError) as info:
            t.raise_in_handler(fn, ValueError("new"))
    # as `raise` in a nested except block: the innermost handled exception is the context
    assert info.value.__context__ is caught


# ---------------------------------------------------------------------------
# C++ exceptions reaching Python

MESSAGE = "héllo ✓ 日本 \U0001f600"

CPP_EXCEPTIONS = [
    ("runtime", RuntimeError, (MESSAGE,)),
    ("logic", RuntimeError, (MESSAGE,)),
    ("value", ValueError, (MESSAGE,)),
    ("key", KeyError, (MESSAGE,)),
    ("type", TypeError, (MESSAGE,)),
    ("python", ZeroDivisionError, (MESSAGE,)),
    ("bad_alloc", MemoryError, ()),
    ("not-an-exception", RuntimeError, ("unknown C++ exception",)),
]


@pytest.mark.parametrize("kind, exc_type, args", CPP_EXCEPTIONS, ids=[c[0] for c in CPP_EXCEPTIONS])
def test_cpp_exceptions_reach_python_with_type_and_message(kind, exc_type, args):
    with pytest.raises(exc_type) as info:
        t.raise_cpp(kind, MESSAGE)
    assert type(info.value) is exc_type and info.value.args == args

    # from inside a coroutine, after it went through the loop
    with pytest.raises(exc_type) as info:
        run(t.raise_cpp_after(native(suspend=True), kind, MESSAGE))
    assert type(info.value) is exc_type and info.value.args == args

    # and caught at the next await as an Exception
    kind_caught, exc = run(t.catch_exception(t.raise_cpp_after(native(), kind, MESSAGE)))
    assert kind_caught == "caught" and type(exc) is exc_type


def test_python_exception_object_survives_the_crossing():
    exc = OSError(2, "No such file", "name.txt")
    exc.note = "attribute"
    with pytest.raises(OSError) as info:
        run(t.raise_value(exc))
    assert info.value is exc and info.value.filename == "name.txt" and info.value.note == "attribute"


# ---------------------------------------------------------------------------
# The formatter


class Shown:
    def __str__(self):
        return "shown ✓"

    def __repr__(self):  # the test's id: the same in every process
        return "Shown()"


class StrWithOwnStr(str):
    def __str__(self):
        return "own str"


VALUES = [
    "plain",
    "",
    "héllo wörld",
    "日本語",
    "\U0001f600",
    "\ud800",
    "lone \udfff end",
    "nul\x00inside",
    None,
    3,
    -(2**70),
    2.5,
    1e-7,
    True,
    (1, "x"),
    ["a"],
    ValueError("message"),
    Shown(),
    StrWithOwnStr("base"),
    b"bytes",
]

NUMBERS = [
    0,
    0.05,
    0.25,
    0.35,
    2.675,
    -0.04,
    -0.0,
    1e16,
    123456789.95,
    1e300,
    math.inf,
    -math.inf,
    math.nan,
    7,
    True,
    10**20,
]


@pytest.mark.parametrize("value", VALUES, ids=repr)
def test_values_are_written_as_str_writes_them(value):
    assert t.fmt_demo(value, 1.25) == "value=" + str(value) + " ms=1.2 n=42 end"


@pytest.mark.parametrize("number", NUMBERS, ids=repr)
def test_fixed_point_as_python_formats_it(number):
    assert t.fmt_demo("v", number) == "value=v ms=" + format(number, ".1f") + " n=42 end"


def test_formatter_with_cpp_values():
    assert t.fmt_native() == f"héllo|std|-7|{1.5}|{2.345:.2f}|{3:.0f}|{0.1}"


@pytest.mark.parametrize(
    "pattern, args, expected",
    [
        ("{}-{}-{}", (1, "b", None), "1-b-None"),
        ("{:.3f}/{:.0f}/{}", (2 / 3, 2.5, "\ud800"), f"{2 / 3:.3f}/{2.5:.0f}/\ud800"),
        ("é{}ü {} {}", ("ß", "", "x"), "éßü  x"),
        ("{x} {} {y} {} {}", (1, 2, 3), "{x} 1 {y} 2 3"),
        ("only {}", ("one", "unused", "unused"), "only one"),
        ("no placeholders", (1, 2, 3), "no placeholders"),
        ("open { brace {}{}{}", (1, 2, 3), "open { brace 123"),
        ("", (1, 2, 3), ""),
    ],
)
def test_formatter_patterns(pattern, args, expected):
    assert t.fmt3(pattern, *args) == expected


def test_formatter_errors():
    assert error_of(t.fmt3, "{}{}{}{}", 1, 2, 3) == (RuntimeError, "format: more placeholders than arguments")

    class BadStr:
        def __str__(self):
            raise OSError("no text")

    class NotText:
        def __str__(self):
            return 5

    assert error_of(t.fmt_demo, BadStr(), 1) == (OSError, "no text")
    assert error_of(t.fmt_demo, NotText(), 1) == error_of(str, NotText())
    assert error_of(t.fmt_demo, "v", 10**400)[0] is OverflowError
