"""The console end to end: a real kernel process behind a piped prompt."""
import re
import signal
import sys
import textwrap
import time
from pathlib import Path

import pytest

from .conftest import NAP, WAIT, process_alive

WINDOWS = sys.platform == "win32"


def assert_ended_cleanly(session, code, expected_code=0):
    assert code == expected_code, session.transcript()
    assert not process_alive(session.kernel_pid), "the kernel process outlived the console"


def test_code_runs_with_streamed_output_results_and_tracebacks(console):
    session = console()
    code = session.run(textwrap.dedent("""\
        print("hello"); 6 * 7
        import sys; print("to" + "-stderr", file=sys.stderr)
        def triple(a):
            return a * 3

        triple(5)
        total = 1 + \\
            2

        total
        1/0
        pair = [1,
        2]
        pair
        print("no end", end="")
        :vars
        :quit
        """))
    assert_ended_cleanly(session, code)
    out, err = session.out, session.err
    # each entry's output comes after its prompt and before the next one
    assert 'In [1]: print("hello"); 6 * 7\nhello\nOut: 42\nIn [2]: ' in out
    assert "to-stderr\n" in err and "to-stderr" not in out
    assert "In [3]: def triple(a):\n   ...:     return a * 3\n   ...: \nIn [4]: triple(5)\nOut: 15\n" in out
    assert "In [6]: total\nOut: 3\n" in out
    assert re.search(r"Traceback \(most recent call last\):\n.*\nZeroDivisionError: division by zero\n", err, re.S)
    assert "Out:" not in out.split("In [7]: 1/0\n", 1)[1].split("In [8]: ")[0]
    # an entry is complete when its bracket closes; output without its line end does not
    # run into the next prompt
    assert "In [8]: pair = [1,\n   ...: 2]\nIn [9]: pair\nOut: [1, 2]\n" in out
    assert 'In [10]: print("no end", end="")\nno end\nIn [11]: :vars\n' in out
    listing = out.split(":vars\n", 1)[1]
    assert re.search(r"^sys\s+module$", listing, re.M)
    assert re.search(r"^total\s+int$", listing, re.M)
    assert re.search(r"^triple\s+function$", listing, re.M)
    assert "vantrel" not in listing
    assert "kernel exited with code 0" in out  # shut down, not killed


def test_load_module_then_reset_namespace_and_end_of_input(console, scratch):
    module = scratch / "shapes.py"
    module.write_text("def area(w, h):\n    return w * h\n")
    broken = scratch / "broken.py"
    broken.write_text("def area(w, h):\n    return w * h)\n")
    session = console()
    log = Path(session.wait_for(r"log (\S+) \(removed at exit").group(1))
    assert log.exists()
    code = session.run(textwrap.dedent(f"""\
        :load {module}
        :load {module} geometry
        :load {broken}
        :modules
        import shapes, geometry; shapes.area(3, 4) + geometry.area(1, 1)
        :load {scratch / "missing.py"}
        kept = 1
        :reset
        :vars
        kept
        """))  # no :quit: end of input ends the console
    assert_ended_cleanly(session, code)
    out, err = session.out, session.err
    assert f"module shapes updated from {module}" in out
    assert f"module geometry updated from {module}" in out
    assert re.search(rf'File "{re.escape(str(broken))}", line 2\n.*\nSyntaxError: unmatched \'\)\'\n'
                     rf'module broken not loaded', err, re.S)
    assert re.search(rf"^geometry  \({re.escape(str(module))}\)\nshapes  \({re.escape(str(module))}\)$", out, re.M)
    assert "Out: 13\n" in out
    assert "cannot read" in err and "missing.py" in err
    assert "namespace reset" in out and "(no names defined)" in out
    assert "NameError: name 'kept' is not defined" in err
    assert "kernel exited with code 0" in out
    assert not log.parent.exists()


def test_keywords_skip_defaults_input_and_exit_leaves_as_quit_does(console, scratch):
    module = scratch / "shapes.py"
    module.write_text("def area(width, depth=2, height=1, *, unit='m'):\n    return (width * depth * height, unit)\n")
    session = console()
    code = session.run(textwrap.dedent(f"""\
        :load {module}
        :call shapes.area 2, height=3.5
        :call shapes.area 2, unit='cm'
        name = input('Name: '); print('hi', name)
        ada
        exit()
        print('never run')
        """))
    assert_ended_cleanly(session, code)
    assert "Name: ada\nhi ada\n" in session.out  # input() answered by the next line, echoed
    assert "Out: (14.0, 'm')\n" in session.out  # the defaults fill what the keyword skipped
    assert "takes unit by keyword only, which a cell call cannot pass" in session.err
    assert "SystemExit" not in session.err and "never run" not in session.out


def test_quit_while_a_cell_spins_forever_ends_the_kernel(console):
    session = console("--grace", "0.5")
    code = session.run("while True: pass\n:quit\nprint('never run')\n")
    assert_ended_cleanly(session, code)
    assert "quitting: the running entry gets 0.5 s to finish" in session.err
    assert "never run" not in session.out


def test_quit_lets_a_running_cell_finish_within_the_grace_period(console):
    session = console("--grace", "30")
    code = session.run("import time; time.sleep(0.2); print('finished')\n:quit\n")
    assert_ended_cleanly(session, code)
    assert "finished\n" in session.out


def test_kernel_that_does_not_exit_is_killed_after_the_grace_period(console):
    session = console("--grace", "0.3")
    # the kernel's event loop will block for good in its teardown: the shutdown goes unanswered
    session.send("import time, vantrel; vantrel._kernel_instance.disconnect = lambda: time.sleep(3600)\n")
    code = session.run(":quit\n")
    assert_ended_cleanly(session, code)
    assert "kernel did not exit within 0.3 s after shutdown: killed" in session.err


# A terminating signal ends the console's session in order (exit status 128 + signal).
# Windows has no such signals: Popen.send_signal(SIGTERM) is TerminateProcess, which ends
# the console at once (status 1), and its kernel must not outlive it.
@pytest.mark.parametrize("signum", [
    pytest.param(signal.SIGTERM, id="SIGTERM"),
    pytest.param(getattr(signal, "SIGHUP", None), id="SIGHUP",
                 marks=pytest.mark.skipif(WINDOWS, reason="Windows has no SIGHUP (no terminal hang-up)")),
])
def test_terminating_signals_end_console_and_kernel(console, signum):
    session = console()
    session.send("import time; print('sleeping', flush=True); time.sleep(3600)\n")
    session.wait_for(r"^sleeping$")
    session.proc.send_signal(signum)
    code = session.finish()
    if WINDOWS:
        assert code == 1, session.transcript()
        deadline = time.monotonic() + WAIT
        while process_alive(session.kernel_pid):  # the kernel follows its killed parent
            assert time.monotonic() < deadline, "the kernel process outlived the killed console"
            time.sleep(0.05)
    else:
        assert_ended_cleanly(session, code, expected_code=128 + signum)


@pytest.mark.skipif(WINDOWS, reason="Ctrl-C reaches a Windows console program only through a console of its own "
                    "(GenerateConsoleCtrlEvent), which a program with piped standard streams does not have")
def test_ctrl_c_interrupts_the_running_entry_and_twice_ends_the_console(console, scratch):
    module = scratch / "loops.py"
    module.write_text(textwrap.dedent("""\
        import time

        def spin():
            print("spinning", flush=True)
            while True:
                pass

        def ticks():
            while True:
                yield 1

        """) + NAP)
    session = console(VANTREL_CONSOLE_CTRL_C_WINDOW="60")
    session.send(f":load {module}\nimport loops; loops.spin()\n")
    session.wait_for(r"^spinning$")
    session.proc.send_signal(signal.SIGINT)  # a cell
    session.wait_for(r"^KeyboardInterrupt$", stream="err")
    session.send("print('next')\n:call loops.spin\n")
    session.wait_for(r"^In \[2\]: print\('next'\)\nnext\nIn \[3\]: :call loops.spin\nspinning\n")
    session.proc.send_signal(signal.SIGINT)  # a call
    session.wait_for(r"^KeyboardInterrupt$[\s\S]*^KeyboardInterrupt$", stream="err")
    session.send(":stream loops.ticks\n")
    session.wait_for(r"^\[2\] 1$")
    session.proc.send_signal(signal.SIGINT)  # a stream
    session.wait_for(r"^In \[3\]: :stream loops.ticks\n[\s\S]*^In \[3\]: \Z")  # it ended
    if not re.search(r"^stream canceled after \d+ values$", session.out, re.M):  # the cancel came first
        session.wait_for(r"^stream failed: KeyboardInterrupt$", stream="err")  # or the interrupt did
    session.proc.send_signal(signal.SIGINT)  # at the prompt: the entry being read is dropped
    session.wait_for(r"^In \[3\]: KeyboardInterrupt\nIn \[3\]: \Z")
    session.send("loops.nap()\n")
    session.wait_for(r"^asleep$")
    session.proc.send_signal(signal.SIGINT)
    session.wait_for(r"interrupting the running entry \(Ctrl-C again within 60 s to end the console\)\n\Z",
                     stream="err")
    session.proc.send_signal(signal.SIGINT)  # again within the window, nobody to ask: the console ends
    assert_ended_cleanly(session, session.finish(), expected_code=130)
    assert "did not answer" not in session.err and "nothing to interrupt" not in session.err


def test_kernel_process_dying_ends_the_console(console):
    session = console()
    code = session.run("import os; os._exit(3)\nprint('never run')\n")
    assert_ended_cleanly(session, code, expected_code=1)
    assert "kernel process exited with code 3" in session.err
    log = re.search(r"last lines of (\S+) \(kept\)", session.err).group(1)
    assert Path(log).exists()
    assert "never run" not in session.out


def test_output_of_other_threads_is_shown_as_kernel_output(console, scratch):
    flag = scratch / "go"
    session = console()
    session.send(textwrap.dedent(f"""\
        import os, threading, time
        def chatter():
            while not os.path.exists({str(flag)!r}):
                time.sleep(0.01)
            for i in range(3):
                print(f"tick {{i}}", flush=True)

        threading.Thread(target=chatter).start()
        """))
    session.wait_for(r"^In \[4\]: \Z")
    flag.touch()  # the thread prints while the console waits for input
    session.wait_for(r"^In \[4\]: \n\[kernel\] tick 0\n\[kernel\] tick 1\n\[kernel\] tick 2\n\Z")
    assert_ended_cleanly(session, session.run("print('next')\n:quit\n"))
    # the prompt is shown again once, before the next entry
    assert "[kernel] tick 2\nIn [4]: print('next')\n" in session.out


def test_tls_console(console):
    session = console("--tls", "--workbook", "wb-tls")
    code = session.run("sum(range(5))\n")
    assert_ended_cleanly(session, code)
    assert "Business Layer wss://127.0.0.1:" in session.out and "'wb-tls'" in session.out
    assert "Out: 10\n" in session.out


def test_calls_streams_and_kept_objects(console, scratch):
    module = scratch / "cells.py"
    module.write_text(textwrap.dedent("""\
        import time, vantrel

        def area(w, h, unit="m2"):
            print("computing")
            return w * h

        def slow():
            time.sleep(0.3)
            print("slow done")

        def broken():
            raise ValueError("no cell here")

        def ticks(n, pause=0):
            for i in range(n):
                time.sleep(pause)
                yield {"tick": i}

        def keep():
            vantrel._kernel_instance.save_object("answer", 42)
        """))
    session = console()
    session.send(f":load {module}\n:call cells.area 3, 2.5\n:call cells.broken\n:call cells.missing\n"
                 ":stream cells.ticks 400, 0.05\n")
    session.wait_for(r"^\[2\] \{\"tick\": 1\}$")
    session.send(":cancel\n")
    canceled_after = int(session.wait_for(r"stream canceled after (\d+) values").group(1))
    code = session.run(":stream cells.ticks 2\n:call cells.keep\n:objects\n:call nodot\n"
                       ":call cells.area 3, h=2\n:call cells.area w=2\n:call cells.area x\n"
                       ":call cells.slow\n:quit\nprint('after quit')\n")
    assert_ended_cleanly(session, code)
    out, err = session.out, session.err
    assert ":call cells.area 3, 2.5\ncomputing\nOut: 7.5\n" in out
    assert "ValueError: no cell here" in err
    assert "AttributeError: Function 'missing' not found in module 'cells'" in err
    assert "[1] {\"tick\": 0}\n[2] {\"tick\": 1}\n" in out
    assert 2 <= canceled_after < 100
    assert "stream completed: 2 values" in out
    assert re.search(r"^answer\s+int\s+42$", out, re.M)
    assert "usage: :call MODULE.FUNCTION" in err
    # keyword arguments are bound to the function's parameters; a name is no literal
    assert ":call cells.area 3, h=2\ncomputing\nOut: 6\n" in out
    assert "cannot pass the arguments to cells.area: TypeError: missing a required argument: 'h'" in err
    assert ":call: x is a name, not a literal" in err and "ast.Name" not in err
    # :quit while a call runs lets it finish, then quits
    assert "slow done\n" in out and "after quit" not in out


def test_debug_a_workbook_function(console, scratch):
    module = scratch / "calc.py"
    module.write_text(textwrap.dedent("""\
        def total(a, b):
            doubled = twice(a)
            result = doubled + b
            return result

        def twice(x):
            y = x * 2
            return y
        """))
    session = console()
    session.send(f":load {module}\n:break calc 3\n:break calc 5\n:break calc 40\n:break other 1\n"
                 ":debug calc.total 5, b=1\n")
    session.wait_for(r"^stopped at calc:3 \(breakpoint\): result = doubled \+ b$")
    session.send("p doubled * 100\nn\nc\n:break clear\n:break calc 7\n:debug calc.total 1, 1\n")
    session.wait_for(r"^stopped at calc:7 \(breakpoint\): y = x \* 2$")
    session.send("bt\nu\np a + 100\nl\nd\nb 8\nc\n")
    session.wait_for(r"^stopped at calc:8 \(breakpoint\): return y$")  # the breakpoint added while paused
    session.send("q\n:debug calc.total 2, 2\n")
    session.wait_for(r"^debug run stopped\n[\s\S]*^stopped at calc:7 ")
    code = session.run(":quit\n")  # stops the paused run, then quits
    assert_ended_cleanly(session, code)
    out, err = session.out, session.err
    assert "line 5 of calc runs no code when its functions are called (a blank line, a comment, a def line " \
           "or module-level code); the nearest line that does is 4" in err
    assert "calc has 8 lines: there is no line 40" in err
    assert "unknown module other: breakpoints go in modules loaded with :load (loaded: calc)" in err
    assert re.search(r"^\s+doubled = 10\s+\(int\)$", out, re.M)
    assert "1000  (int)" in out
    assert re.search(r"^stopped at calc:4 \(step\): return result$", out, re.M)
    assert "Out: 11\ndebug run ended\n" in out
    # the stack, outermost first; up one frame, where the caller's names are
    assert "(debug) bt\n  total (calc:2): doubled = twice(a)\n> twice (calc:7): y = x * 2\n" in out
    assert "(debug) u\n> total (calc:2): doubled = twice(a)\n(debug) p a + 100\n101  (int)\n" in out
    assert "   2  ->     doubled = twice(a)\n" in out and "   7 B       y = x * 2\n" in out
    assert "(debug) d\n> twice (calc:7): y = x * 2\n(debug) b 8\nbreakpoint calc:8\n" in out
    # q stops the run without a result; so does :quit
    assert out.count("debug run stopped\n") == 2 and "Out: None" not in out

    # Input that ends while a run is paused stops the run, then the console ends.
    session = console()
    session.send(f":load {module}\n:break calc 3\n:debug calc.total 5, 1\n")
    session.wait_for(r"^stopped at calc:3 ")
    assert_ended_cleanly(session, session.finish())
    assert "debug run stopped\n" in session.out
