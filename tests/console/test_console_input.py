"""The console's reading of typed text: when an entry is complete, :call's arguments and
the lines a breakpoint can stop at."""
import re

import pytest

from vantrel_master.devtools.console_input import code_lines, entry_complete, parse_call

COMPLETE = [
    "x = 1",
    "x = [1,\n2]",                                  # the bracket closed
    "total = 1 + \\\n    2",                        # the continued line ended
    "if a: b",                                      # a block on one line
    "def f():\n    a = 1\n",                        # a blank line ends the block
    "def f():\n    a = 1\n    ",                    # ... also one with the indentation left on it
    "def f():\n    a = 1\n\n    return a\n",        # a blank line inside, then one at the end
    "def f():\n    a = 1\nf()",                     # back at the left margin
    "1 +",                                          # does not compile: the kernel says why
    ":call m.f [1,",                                # a command is one line
    "",
]
UNFINISHED = [
    "x = [1,",
    "total = 1 + \\",
    "def f():",
    "def f():\n    a = 1",
    "def f():\n    a = 1\n\n    return a",          # the blank line inside does not end it
    "if a:\n    pass\nelse:",
    "s = '''text",
    "@decorator",
]


def test_an_entry_is_complete_when_python_would_run_it():
    assert [text for text in COMPLETE if not entry_complete(text)] == []
    assert [text for text in UNFINISHED if entry_complete(text)] == []


def test_call_arguments_are_literals_positional_or_named():
    call = parse_call("shapes.area 2, [1, (2, 3)], unit='cm', scale=-1.5")
    assert (call.module, call.function) == ("shapes", "area")
    assert call.args == [2, [1, (2, 3)]] and call.kwargs == {"unit": "cm", "scale": -1.5}
    assert call.source == ["2", "[1, (2, 3)]", "unit='cm'", "scale=-1.5"]
    assert parse_call("pkg.mod.f").args == [] and parse_call("pkg.mod.f").module == "pkg.mod"
    for text, message in [("f 1", "MODULE.FUNCTION"), ("m.f x", "x is a name, not a literal"),
                          ("m.f 1, len('a')", "len('a') is not a Python literal"),
                          ("m.f 1, *rest", "*arguments"), ("m.f **opts", "**arguments"),
                          ("m.f 1)(2", "do not parse as a list"), ("m.f 1,, 2", "do not parse"),
                          ("m.1f 2", "not a dotted Python name")]:
        with pytest.raises(ValueError, match=re.escape(message)):
            parse_call(text)


def test_breakpoint_lines_are_the_lines_a_call_runs():
    source = ("import os\n"           # 1: ran at import
              "\n"                    # 2
              "@staticmethod\n"       # 3: ran at import
              "def f(a,\n"            # 4
              "      b=1):\n"         # 5
              "    # note\n"          # 6
              "    x = [a,\n"         # 7
              "         b]\n"         # 8
              "    return x\n"        # 9
              "class C:\n"            # 10: class body, ran at import
              "    y = 1\n"           # 11
              "    def m(self): return 2\n")  # 12: a one-line function
    assert code_lines(source) == {7, 8, 9, 12}
    with pytest.raises(SyntaxError):
        code_lines("def f(:\n")
