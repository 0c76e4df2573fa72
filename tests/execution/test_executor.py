"""CodeExecutor: the console's expression/statement rule, its results and errors, the
captured output, the persistent namespace and what it never swallows."""
import contextlib
import io
import sys
import threading

import pytest

from vantrel_master.python_server import kernel as kmod

vantrel = sys.modules["vantrel"]

RESULT_KEYS = ["success", "stdout", "stderr", "error", "result"]
ERROR_KEYS = ["type", "message", "traceback"]
INJECTED = ("__builtins__", "vantrel", "excel", "context")


def user_names(executor):
    """The names console code bound (the namespace less the injected ones)."""
    return {k: v for k, v in executor.locals.items() if k not in INJECTED}


def raised(code):
    """The exception that plain Python raises for `code` (the expected type and text)."""
    try:
        exec(code, {})
    except Exception as e:  # noqa: BLE001 - any is what we want
        return e
    raise AssertionError(f"{code!r} did not raise")


def assert_error(result, expected):
    assert result["success"] is False and result["result"] is None
    error = result["error"]
    assert list(error) == ERROR_KEYS
    assert error["type"] == type(expected).__name__
    assert error["message"] == str(expected)
    assert error["traceback"].startswith("Traceback (most recent call last):\n")
    assert error["traceback"].endswith(f"{type(expected).__name__}: {expected}\n")


# --- the split rule -----------------------------------------------------------------


@pytest.mark.parametrize("code, value, names, stdout", [
    ("1 + 2", 3, {}, ""),
    ("x = 5", None, {"x": 5}, ""),
    ("x = 5; x * 2", 10, {"x": 5}, ""),
    ("a = 1; b = 2; a + b", None, {"a": 1, "b": 2}, ""),
    ("x = 1;y = 2", None, {"x": 1, "y": 2}, ""),
    ("print(1); ", None, {}, "1\n"),
    ("x = 5; ", None, {"x": 5}, ""),
    ("", None, {}, ""),
])
def test_split_rule(code, value, names, stdout):
    executor = kmod.CodeExecutor()
    result = executor.execute(code)
    assert list(result) == RESULT_KEYS
    assert result == {"success": True, "stdout": stdout, "stderr": "", "error": None, "result": value}
    assert user_names(executor) == names


@pytest.mark.parametrize("code", [
    "s = 'a; b'",
    "for i in range(2): print(i); print('x')",
    "if False: print('no'); print('never')",
])
def test_a_semicolon_inside_one_statement_is_no_split_point(code):
    # The text is split at its first "; " only between statements: inside a string
    # literal the halves would not compile, and after a compound statement's header the
    # last part would run once, outside the loop or the condition. The split is made
    # when both parts compile and together hold the same top-level statements as the
    # whole text; otherwise the whole text runs.
    expected_names, printed = {}, io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(code, {}, expected_names)
    executor = kmod.CodeExecutor()
    result = executor.execute(code)
    assert result["error"] is None and result["success"] is True
    assert result["stdout"] == printed.getvalue()
    assert user_names(executor) == expected_names


def reference_value(code, namespace):
    """What the rule gives for text without "; ": the value of a single expression, else None."""
    try:
        compiled = compile(code, "<kernel>", "eval")
    except SyntaxError:
        exec(code, namespace)
        return None
    return eval(compiled, namespace)


def test_expression_or_statements_as_compile_decides(monkeypatch):
    # Texts whose first tokens look like a statement's (or are one) next to expressions
    # that begin the same way: each runs as compile() in "eval" mode decides.
    namespace, executor = {"f": lambda **kw: kw, "ifx": 1}, kmod.CodeExecutor()
    executor.locals.update(namespace)
    for code in ["x = 1", "x == 1", "x <= 1", "x >>= 1", "x += 2", "x", "ifx", "ifx == 1",
                 "lambda x=1: x", "f(a=1)", "match = 3", "match", "type = 4", "if x: y = 2",
                 "import os", "async def g(): pass", "déjà = 'vu'", "déjà", "x = 'é'; x * 2",
                 "for i in range(2): print(i)", "x \\\n= 5", "y = 5; y"]:
        expected_names, printed = dict(namespace), io.StringIO()
        with contextlib.redirect_stdout(printed):
            head, _, last = code.partition("; ")
            if last:
                exec(head, expected_names)
            expected = reference_value(last or code, expected_names)
        result = executor.execute(code)
        assert (result["success"], result["stdout"]) == (True, printed.getvalue()), code
        assert type(result["result"]) is type(expected) and (callable(expected) or result["result"] == expected), code
        expected_names.pop("__builtins__")
        namespace = expected_names
        assert user_names(executor).keys() == namespace.keys(), code
    # Text compile() refuses outright is refused as it would refuse it.
    for code in ["x = 1\0", "x = '\ud800'"]:
        with pytest.raises(Exception) as refused:
            compile(code, "<kernel>", "eval")
        error = kmod.CodeExecutor().execute(code)["error"]
        assert (error["type"], error["message"]) == (type(refused.value).__name__, str(refused.value))
    # A compile() the user replaced is still asked first, for any text.
    asked = []
    real = compile
    monkeypatch.setattr("builtins.compile", lambda *a, **kw: asked.append(a[2]) or real(*a, **kw))
    assert kmod.CodeExecutor().execute("z = 3")["success"] is True
    assert asked == ["eval"]


def test_expression_value_is_the_object_itself_and_none_like_statements():
    executor = kmod.CodeExecutor()
    marker = object()
    executor.locals["marker"] = marker
    assert executor.execute("marker")["result"] is marker
    assert executor.execute("[marker, 2]")["result"] == [marker, 2]
    assert executor.execute("None")["result"] is None


def test_print_is_an_expression_with_two_writes():
    pieces = []
    result = kmod.CodeExecutor().execute("print('hi')", stdout_callback=pieces.append)
    assert result["success"] is True and result["result"] is None
    assert result["stdout"] == "hi\n"
    assert pieces == ["hi", "\n"]


@pytest.mark.parametrize("code, filename", [
    ("1 / 0", "<kernel>"),
    ("x = 1 / 0", "<string>"),
    ("x = 1; x / 0", "<kernel>"),
    ("a = 1; b = 2; a / 0", "<string>"),
    ("for i in range(1):\n    i / 0", "<string>"),
])
def test_traceback_file_names_of_expressions_and_statements(code, filename):
    result = kmod.CodeExecutor().execute(code)
    assert_error(result, raised("1 / 0"))
    assert f'File "{filename}", line ' in result["error"]["traceback"]
    other = {"<kernel>": "<string>", "<string>": "<kernel>"}[filename]
    assert other not in result["error"]["traceback"]


# --- errors and output ---------------------------------------------------------------


def test_error_keeps_the_output_written_before_it():
    out, err = [], []
    code = "print('one')\nimport sys\nsys.stderr.write('warn\\n')\nprint('two')\n1 / 0\nprint('never')"
    result = kmod.CodeExecutor().execute(code, stdout_callback=out.append, stderr_callback=err.append)
    assert_error(result, raised("1 / 0"))
    assert result["stdout"] == "one\ntwo\n" == "".join(out)
    assert result["stderr"] == "warn\n" == "".join(err)


def test_user_defined_exception_and_chained_traceback():
    code = ("class Boom(Exception):\n    pass\n"
            "try:\n    {}['k']\nexcept KeyError as e:\n    raise Boom('bad value') from e\n")
    result = kmod.CodeExecutor().execute(code)
    error = result["error"]
    assert (error["type"], error["message"]) == ("Boom", "bad value")
    assert "KeyError: 'k'" in error["traceback"]
    assert "direct cause of the following exception" in error["traceback"]
    assert error["traceback"].endswith("Boom: bad value\n")


def test_syntax_error_in_statements_is_reported():
    try:
        compile("x = = 1", "<string>", "exec")
    except SyntaxError as e:
        expected = e
    result = kmod.CodeExecutor().execute("x = = 1")
    assert result["success"] is False and result["result"] is None
    error = result["error"]
    assert (error["type"], error["message"]) == ("SyntaxError", str(expected))
    # a syntax error's last line carries its bare message; the location is above it
    assert error["traceback"].endswith(f"SyntaxError: {expected.msg}\n")
    assert 'File "<string>", line 1' in error["traceback"]


def test_failed_run_flushes_restored_streams_and_swallows_their_failure(monkeypatch):
    class BadFlush:
        flushes = 0

        def write(self, text):
            return len(text)

        def flush(self):
            BadFlush.flushes += 1
            raise OSError("console gone")

    monkeypatch.setattr(sys, "stdout", BadFlush())
    monkeypatch.setattr(sys, "stderr", BadFlush())
    result = kmod.CodeExecutor().execute("print('x'); 1 / 0")
    assert result["error"]["type"] == "ZeroDivisionError"
    assert result["stdout"] == "x\n"
    assert BadFlush.flushes >= 1


def test_callbacks_run_on_the_writing_thread_with_every_non_empty_write():
    seen = []

    def callback(text):
        seen.append((text, threading.get_ident()))

    code = "import sys\nsys.stdout.write('')\nsys.stdout.write('a')\nsys.stderr.write('b')"
    result = kmod.CodeExecutor().execute(code, stdout_callback=callback, stderr_callback=callback)
    assert result["stdout"] == "a" and result["stderr"] == "b"
    assert seen == [("a", threading.get_ident()), ("b", threading.get_ident())]


def test_during_a_run_the_standard_streams_are_its_captures(standard_streams):
    result = kmod.CodeExecutor().execute("import sys; (sys.stdout, sys.stderr, sys.stdout.getvalue())",
                                         stdout_callback=lambda t: None)
    out, err, _ = result["result"]
    assert isinstance(out, kmod.StreamCapture) and isinstance(err, kmod.StreamCapture)
    assert out is not err
    assert (sys.stdout, sys.stderr) == standard_streams


def test_failing_callback_never_reaches_user_code():
    def broken(text):
        raise ValueError("callback broke")

    result = kmod.CodeExecutor().execute("print('a'); 40 + 2", stdout_callback=broken)
    assert result["success"] is True and result["result"] == 42
    assert result["stdout"] == "a\n"


# --- namespace -------------------------------------------------------------------------


def test_injected_namespace():
    executor = kmod.CodeExecutor()
    ns = executor.globals
    assert list(ns) == ["__builtins__", "vantrel", "excel", "context"]
    assert ns["vantrel"] is vantrel
    assert ns["excel"] is vantrel.excel and ns["context"] is vantrel.context
    assert executor.execute("len('abc')")["result"] == 3
    assert executor.locals is ns  # one namespace, as a module's top level has


def test_names_persist_across_calls_until_reset():
    executor = kmod.CodeExecutor()
    executor.execute("x = 41")
    executor.execute("def f(y):\n    return y + 1")
    assert executor.execute("f(x)")["result"] == 42
    # functions look their globals up in `globals`, where the bridge names live
    assert executor.execute("def g():\n    return vantrel\ng()")["success"] is True
    old_globals, old_locals = executor.globals, executor.locals
    executor.reset_namespace()
    result = executor.execute("x")
    assert_error(result, raised("x"))
    assert executor.globals is not old_globals and executor.locals is not old_locals
    # the old dictionaries are dropped, not emptied
    assert old_locals["x"] == 41 and "vantrel" in old_globals


# Sessions a Python console runs as one `exec` per entry in one dictionary would: the last
# entry's value (or error) must be what that gives.
REPL_SESSIONS = [
    ["import math", "def m(): return math.pi", "m()"],
    ["y = 2", "[x * y for x in range(3)]"],
    ["def a(): return 1", "def b(): return a() + 1", "b()"],
    ["def fact(n): return 1 if n < 2 else n * fact(n - 1)", "fact(5)"],
    ["k = 3", "(lambda: k * 2)()"],
    ["base = 10", "def outer():\n    def inner():\n        return base + 1\n    return inner()", "outer()"],
    ["import os", "class C:\n    def sep(self):\n        return os.sep", "C().sep()"],
    ["z = 1", "def bump():\n    global z\n    z = z + 10", "bump(); z"],
    ["w = 5; del w", "w"],
]


@pytest.mark.parametrize("entries", REPL_SESSIONS, ids=lambda e: e[-1])
def test_console_code_sees_its_own_names_as_a_repl_does(entries):
    executor, ns = kmod.CodeExecutor(), {}
    for entry in entries:
        result = executor.execute(entry)
        head, _, last = entry.partition("; ")
        try:
            if last:
                exec(head, ns)
            expected, failure = reference_value(last or entry, ns), None
        except Exception as e:  # noqa: BLE001 - the entry's own error is the expected outcome
            expected, failure = None, e
        if failure is None:
            assert (result["success"], result["result"]) == (True, expected), entry
        else:
            assert_error(result, failure)


def test_reset_brings_back_the_bridge_names_user_code_overwrote(monkeypatch):
    executor = kmod.CodeExecutor()
    result = executor.execute("global vantrel, excel\nvantrel = excel = None\nglobals().pop('context')")
    assert result["success"] is True
    assert executor.globals["vantrel"] is None and "context" not in executor.globals
    replacement = object()
    monkeypatch.setattr(vantrel, "excel", replacement)
    executor.reset_namespace()
    assert list(executor.globals) == ["__builtins__", "vantrel", "excel", "context"]
    assert executor.globals["vantrel"] is vantrel
    assert executor.globals["excel"] is replacement
    assert executor.globals["context"] is vantrel.context
    assert executor.locals is executor.globals


def test_executors_do_not_share_namespaces():
    first, second = kmod.CodeExecutor(), kmod.CodeExecutor()
    first.execute("only_here = 1")
    assert second.execute("only_here")["error"]["type"] == "NameError"


# --- argument checks and exceptions that are not errors ----------------------------------


@pytest.mark.parametrize("code, type_name", [
    (b"1", "bytes"),
    (None, "NoneType"),
    (type("Text", (str,), {})("1"), "Text"),
])
def test_code_must_be_exactly_a_str(code, type_name, standard_streams):
    called = []
    with pytest.raises(TypeError) as info:
        kmod.CodeExecutor().execute(code, stdout_callback=called.append)
    assert str(info.value) == f"Argument 'code' has incorrect type (expected str, got {type_name})"
    assert called == []
    assert (sys.stdout, sys.stderr) == standard_streams


@pytest.mark.parametrize("code, exc_type", [
    ("raise SystemExit(3)", SystemExit),
    ("import sys; sys.exit('bye')", SystemExit),
    ("raise KeyboardInterrupt", KeyboardInterrupt),
    ("print('a'); raise GeneratorExit", GeneratorExit),
])
def test_base_exceptions_propagate_and_streams_come_back(code, exc_type, standard_streams):
    written = []
    executor = kmod.CodeExecutor()
    with pytest.raises(exc_type):
        executor.execute("print('before')\n" + code, stdout_callback=written.append)
    assert "".join(written).startswith("before\n")
    assert (sys.stdout, sys.stderr) == standard_streams
    # the executor is still usable
    assert executor.execute("print('after')")["stdout"] == "after\n"
