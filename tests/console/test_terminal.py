"""The console on a terminal (a pseudo-terminal): the line editor in front of a real kernel."""
import re
import sys
import textwrap

import pytest

from .conftest import NAP, process_alive

PASTE = "\x1b[200~{}\x1b[201~"  # bracketed paste, as a terminal sends pasted text
pytestmark = pytest.mark.skipif(
    sys.platform == "win32", reason="drives the line editor through a POSIX pseudo-terminal; "
    "on Windows it runs on a Windows console, which this suite has no way to drive")

UP, LEFT, CTRL_C, CTRL_D = "\x1b[A", "\x1b[D", "\x03", "\x04"


def test_editing_completion_history_and_ctrl_c(console, scratch):
    history = scratch / "state" / "history"
    module = scratch / "steps.py"
    module.write_text(textwrap.dedent("""\
        import time

        def step(n):
            m = n + 1
            return m

        """) + NAP)
    session = console(terminal=True, VANTREL_CONSOLE_HISTORY=str(history), VANTREL_CONSOLE_CTRL_C_WINDOW="60")
    session.wait_for(r"In \[1\]: ")
    # an open bracket continues the entry; closing it runs it
    session.type("x = [1,\r", wait=r"\.\.\.: ")
    session.type("2]\r", wait=r"In \[2\]: ")
    # Tab completes through the kernel, which knows x from the entry before
    session.type("x.app\t", wait=r"end")  # the rest of "append", written in place
    session.type("(3)\r", wait=r"In \[3\]: ")
    session.type("x\r", wait=r"Out: \[1, 2, 3\]\nIn \[4\]: ")
    # a pasted block keeps its blank line; Enter on the blank line at its end runs it
    session.type(PASTE.format("def g():\n    a = 1\n\n    return a + 1\n") + "\r", wait=r"In \[5\]: ")
    session.type("g()\r", wait=r"Out: 2\nIn \[6\]: ")
    # output without its line end, then the prompt on a line of its own; a coloured traceback
    session.type("print('no end', end='')\r", wait=r"In \[7\]: ")
    assert "no end\r\n" in session.raw
    session.type("1/0\r", wait=r"ZeroDivisionError: division by zero\nIn \[8\]: ")
    assert re.search(r"\x1b\[[0-9;]*mZeroDivisionError", session.raw)
    # Ctrl-C drops what is being typed; commands complete
    session.type("half typed" + CTRL_C, wait=r"^KeyboardInterrupt\nIn \[8\]: ")
    session.type(":lo\t", wait=r":load")
    session.type(f"{module}\r", wait=r"module steps updated from .*\nIn \[8\]: ")
    # the debugger reads its commands at its own prompt
    session.type(":break steps 5\r", wait=r"breakpoint steps:5\nIn \[8\]: ")
    session.type(":debug steps.step 4\r", wait=r"\(debug\) ")
    session.type("p m * 10\r", wait=r"^50  \(int\)\n\(debug\) ")
    session.type("c\r", wait=r"Out: 5\ndebug run ended\nIn \[8\]: ")
    # Ctrl-C twice while an entry runs: asked first, the kernel is killed only on yes
    session.type("import steps; steps.nap()\r", wait=r"^asleep$")
    session.type(CTRL_C, wait=r"interrupting the running entry")
    session.type(CTRL_C, wait=r"Kill the kernel and leave the console\? \[y/N\] ")
    session.type("n\r", wait=r"the entry keeps running")
    assert process_alive(session.kernel_pid)
    session.type(CTRL_C, wait=r"interrupting the running entry")
    session.type(CTRL_C, wait=r"Kill the kernel and leave the console\? \[y/N\] ")
    session.type("y\r", wait=r"kernel killed")
    assert session.finish() == 130
    assert not process_alive(session.kernel_pid)

    # the next session has the history of this one, multi-line entries whole
    assert "\n+x = [1,\n+2]\n" in history.read_text()
    session = console(terminal=True, VANTREL_CONSOLE_HISTORY=str(history))
    session.wait_for(r"In \[1\]: ")
    session.type(UP, wait=r"import steps; steps\.nap\(\)")
    session.type(CTRL_C, wait=r"^KeyboardInterrupt\nIn \[1\]: ")
    session.type(CTRL_D, wait=r"kernel exited with code 0")
    assert session.finish() == 0


def test_commands_typed_while_an_entry_runs_and_entries_that_end_the_session(console, scratch):
    module = scratch / "shapes.py"
    module.write_text(textwrap.dedent("""\
        def area(width, depth=2, height=1):
            return width * depth * height

        def ticks():
            while True:
                yield 1
        """))
    session = console("--grace", "0.5", terminal=True, VANTREL_CONSOLE_HISTORY=str(scratch / "history"))
    session.wait_for(r"In \[1\]: ")
    # Enter with the cursor inside a complete one-line entry runs it whole
    session.type("s = 'a b'" + LEFT * 3 + "\r", wait=r"In \[2\]: ")
    session.type("s\r", wait=r"Out: 'a b'\nIn \[3\]: ")
    # a keyword may skip a defaulted parameter
    session.type(f":load {module}\r", wait=r"module shapes updated from .*\nIn \[3\]: ")
    session.type(":call shapes.area 2, height=3.5\r", wait=r"Out: 14\.0\nIn \[3\]: ")
    # :cancel typed while a stream runs cancels it at once
    session.type(":stream shapes.ticks\r", wait=r"^\[2\] 1$")
    session.type(":cancel\r", wait=r"stream canceled after \d+ values\nIn \[3\]: ")
    # a line typed while an entry runs waits for the next prompt, which starts with it
    session.type("import time; print('napping', flush=True); time.sleep(1); print('slept')\r", wait=r"^napping")
    session.type("s * 2\r", wait=r"slept\nIn \[4\]: s \* 2")
    session.type("\r", wait=r"Out: 'a ba b'\nIn \[5\]: ")
    # :quit typed while an entry spins: after the grace period the kernel is shut down
    session.type("print('spinning', flush=True); all(1 for _ in iter(int, 1))\r", wait=r"^spinning")
    session.type(":quit\r", wait=r"quitting: the running entry gets 0\.5 s to finish")
    assert session.finish() == 0, session.screen
    assert re.search(r"kernel exited with code 0|kernel did not exit .*: killed", session.screen)
    assert not process_alive(session.kernel_pid)

    # exit() leaves as :quit does, without a traceback
    session = console(terminal=True, VANTREL_CONSOLE_HISTORY=str(scratch / "history"))
    session.wait_for(r"In \[1\]: ")
    session.type("print(1484293, end=''); 1/0\r", wait=r"ZeroDivisionError: division by zero\nIn \[2\]: ")
    assert re.search(r"^1484293\nTraceback", session.screen, re.M)  # the traceback on a line of its own
    # input() asks at the console's prompt; Ctrl-C there interrupts the entry
    session.type("input('Name: ').upper()\r", wait=r"^Name: ")
    session.type("ada\r", wait=r"Out: 'ADA'\nIn \[3\]: ")
    session.type("input('Again: ')\r", wait=r"^Again: ")
    session.type(CTRL_C, wait=r"KeyboardInterrupt\nIn \[4\]: ")
    session.type("exit()\r", wait=r"kernel exited with code 0")
    assert session.finish() == 0
    assert "SystemExit" not in session.screen
