"""The console end to end: a real kernel process behind a piped prompt."""
import re
import signal
import textwrap
import time

import pytest

from .conftest import WAIT, process_alive, process_state


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
    listing = out.split(":vars\n", 1)[1]
    assert re.search(r"^sys\s+module$", listing, re.M)
    assert re.search(r"^total\s+int$", listing, re.M)
    assert re.search(r"^triple\s+function$", listing, re.M)
    assert "vantrel" not in listing
    assert "kernel exited with code 0" in out  # shut down, not killed


def test_load_module_then_reset_namespace_and_end_of_input(console, scratch):
    module = scratch / "shapes.py"
    module.write_text("def area(w, h):\n    return w * h\n")
    session = console()
    code = session.run(textwrap.dedent(f"""\
        :load {module}
        :load {module} geometry
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
    assert re.search(rf"^geometry  \({re.escape(str(module))}\)\nshapes  \({re.escape(str(module))}\)$", out, re.M)
    assert "Out: 13\n" in out
    assert "cannot read" in err and "missing.py" in err
    assert "namespace reset" in out and "(no names defined)" in out
    assert "NameError: name 'kept' is not defined" in err
    assert "kernel exited with code 0" in out


def test_quit_while_a_cell_spins_forever_ends_the_kernel(console):
    session = console("--grace", "0.5")
    code = session.run("while True: pass\n:quit\nprint('never run')\n")
    assert_ended_cleanly(session, code)
    assert "quitting: the running cell gets 0.5 s to finish" in session.err
    assert "never run" not in session.out


def test_quit_lets_a_running_cell_finish_within_the_grace_period(console):
    session = console("--grace", "30")
    code = session.run("import time; time.sleep(0.2); print('finished')\n:quit\n")
    assert_ended_cleanly(session, code)
    assert "finished\n" in session.out


def test_kernel_that_does_not_exit_is_killed_after_the_grace_period(console):
    session = console("--grace", "0.3")
    session.send("import os, signal; os.kill(os.getpid(), signal.SIGSTOP)\n")
    deadline = time.monotonic() + WAIT
    while process_state(session.kernel_pid) != "T":  # the kernel has stopped itself
        assert time.monotonic() < deadline, session.transcript()
        time.sleep(0.02)
    code = session.run(":quit\n")
    assert_ended_cleanly(session, code)
    assert "kernel did not exit within 0.3 s after shutdown: killed" in session.err


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP], ids=["SIGTERM", "SIGHUP"])
def test_terminating_signals_end_console_and_kernel(console, signum):
    session = console()
    session.send("import time; print('sleeping', flush=True); time.sleep(3600)\n")
    session.wait_for(r"^sleeping$")
    session.proc.send_signal(signum)
    assert_ended_cleanly(session, session.finish(), expected_code=128 + signum)


def test_ctrl_c_notes_a_running_cell_and_a_second_one_quits(console, scratch):
    flag = scratch / "release"
    session = console()
    session.send(f"import os, time\n"
                 f"while not os.path.exists({str(flag)!r}): time.sleep(0.02)\n"
                 "print('released')\n")
    session.wait_for(r"^In \[2\]: while not")
    session.proc.send_signal(signal.SIGINT)
    session.wait_for("a running cell cannot be interrupted", stream="err")
    flag.touch()  # the cell was not given up: it ends normally and the next entry runs
    session.wait_for(r"^In \[3\]: print\('released'\)\nreleased\nIn \[4\]: \Z")
    session.proc.send_signal(signal.SIGINT)  # at the prompt: nothing to interrupt
    session.wait_for(r"^In \[4\]: KeyboardInterrupt\nIn \[4\]: \Z")
    session.send("print('still here', flush=True); time.sleep(3600)\n")
    session.wait_for(r"^still here$")
    session.proc.send_signal(signal.SIGINT)
    session.wait_for(r"cannot be interrupted[\s\S]*cannot be interrupted", stream="err")
    session.proc.send_signal(signal.SIGINT)
    assert_ended_cleanly(session, session.finish(), expected_code=130)


def test_kernel_process_dying_ends_the_console(console):
    session = console()
    code = session.run("import os; os._exit(3)\nprint('never run')\n")
    assert_ended_cleanly(session, code, expected_code=1)
    assert "kernel process exited with code 3" in session.err
    assert "never run" not in session.out


def test_output_of_other_threads_is_shown_as_kernel_output(console):
    session = console()
    session.send("import threading\ngate = threading.Event()\n"
                 "threading.Thread(target=lambda gate=gate: gate.wait() and print('from a thread')).start()\n"
                 "gate.set()\n")
    session.wait_for(r"^\[kernel\] from a thread\n")  # on a line of its own, also below a prompt
    assert_ended_cleanly(session, session.run(":quit\n"))


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

        def area(w, h):
            print("computing")
            return w * h

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
    code = session.run(":stream cells.ticks 2\n:call cells.keep\n:objects\n:call nodot\n:quit\n")
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


def test_debug_a_workbook_function(console, scratch):
    module = scratch / "calc.py"
    module.write_text(textwrap.dedent("""\
        def total(a, b):
            doubled = a * 2
            result = doubled + b
            return result
        """))
    session = console()
    session.send(f":load {module}\n:break calc 3\n:debug calc.total 5, 1\n")
    session.wait_for(r"^stopped at calc:3 \(breakpoint\): result = doubled \+ b$")
    code = session.run("p doubled * 100\nn\nc\n:break clear\n:debug calc.total 1, 1\n:quit\n")
    assert_ended_cleanly(session, code)
    out = session.out
    assert re.search(r"^\s+doubled = 10\s+\(int\)$", out, re.M)
    assert "1000  (int)" in out
    assert re.search(r"^stopped at calc:4 \(step\): return result$", out, re.M)
    assert "Out: 11\ndebug run ended\n" in out
    assert "Out: 3\ndebug run ended\n" in out  # no breakpoints left: runs to the end

    # Input that ends while a run is paused stops the run, then the console ends.
    session = console()
    session.send(f":load {module}\n:break calc 3\n:debug calc.total 5, 1\n")
    session.wait_for(r"^stopped at calc:3 ")
    assert_ended_cleanly(session, session.finish())
    assert "debug run ended\n" in session.out
