"""execution_request end to end: a kernel connected to the development Business Layer
runs console code on its workers, streams the output as it is written and ends each
run with result_output + execution_result or with execution_error."""
import logging
import sys
import threading

import pytest

from vantrel_master.python_server import kernel as kmod

from .conftest import kernel_messages, run

WAIT = 20  # seconds; a guard against hanging, never part of an assertion

pytestmark = pytest.mark.timeout(60)

STREAM_KEYS = ["type", "content", "request_id", "workbook_id", "source"]
RESULT_KEYS = ["type", "success", "result", "request_id", "function_name", "workbook_id", "source"]
ERROR_KEYS = ["type", "success", "error", "request_id", "function_name", "workbook_id", "source"]
FAILURE_KEYS = ["type", "success", "error", "request_id", "source"]


def after_ready(session):
    return session.messages()[session.ready_at:]


def test_output_is_streamed_while_the_run_is_still_going(connected_kernel):
    gate = threading.Event()

    async def body():
        async with connected_kernel() as session:
            session.kernel.executor.locals["gate"] = gate
            await session.start(f"print('before')\nreleased = gate.wait({WAIT})\nprint('after')", "r1")
            first = await session.wait_for("stdout")
            assert first["content"] == "before" and first["request_id"] == "r1"
            # the run cannot have ended: it waits for the gate this test has not opened
            assert not any(m["type"] in ("execution_result", "execution_error") for m in session.messages()
                           if m.get("request_id") == "r1")
            gate.set()
            final = await session.final("r1")
            assert final["type"] == "execution_result" and final["result"] is None
            assert session.streamed("r1") == "before\nafter\n"
            assert session.kernel.executor.locals["released"] is True

    run(body())


@pytest.mark.parametrize("code, value", [("6 * 7", 42), ("'a' + 'b'", "ab"), ("[1, None]", [1, None])])
def test_expression_value(connected_kernel, code, value):
    async def body():
        async with connected_kernel() as session:
            final = await session.execute(code, "r1")
            messages = session.of_request("r1")
            assert [m["type"] for m in messages] == ["result_output", "execution_result"]
            out = messages[0]
            assert list(out) == STREAM_KEYS
            assert out == {"type": "result_output", "content": f"Out: {value!r}\n", "request_id": "r1",
                           "workbook_id": session.workbook_id, "source": "ide"}
            assert list(final) == RESULT_KEYS
            assert final == {"type": "execution_result", "success": True, "result": repr(value),
                             "request_id": "r1", "function_name": None, "workbook_id": session.workbook_id,
                             "source": "ide"}

    run(body())


def test_function_name_sends_the_value_itself(connected_kernel):
    async def body():
        async with connected_kernel() as session:
            final = await session.execute("6 * 7", "r1", function_name="answer")
            assert session.of_request("r1")[0]["content"] == "Out: 42\n"
            assert final["result"] == 42 and final["function_name"] == "answer"
            # an empty name counts as no name
            final = await session.execute("6 * 7", "r2", function_name="")
            assert final["result"] == "42" and final["function_name"] == ""

    run(body())


def test_statements_only(connected_kernel):
    async def body():
        async with connected_kernel() as session:
            final = await session.execute("x = 5", "r1")
            assert [m["type"] for m in session.of_request("r1")] == ["execution_result"]
            assert final["result"] is None
            # the console namespace persists between requests
            final = await session.execute("x + 1", "r2")
            assert final["result"] == "6"

    run(body())


def test_null_request_id_is_echoed_and_logged_as_none(connected_kernel, kernel_log):
    async def body():
        async with connected_kernel() as session:
            await session.send({"type": "execution_request", "code": "print('p'); 1", "request_id": None})
            final = await session.final(None)
            assert final["type"] == "execution_result"
            mine = [m for m in after_ready(session)]
            assert [m["type"] for m in mine] == ["stdout", "stdout", "result_output", "execution_result"]
            assert all(m["request_id"] is None for m in mine)

    run(body())
    logged = kernel_messages(kernel_log)
    assert "[Kernel] Sending execution_result (success) for request_id=None" in logged
    assert "[TIMING] Execution started: request_id=None, function=None" in logged


@pytest.mark.parametrize("source", ["addin", "ide"])
def test_source_is_echoed_in_every_message(connected_kernel, source):
    async def body():
        async with connected_kernel() as session:
            code = "import sys; print('o') or sys.stderr.write('e')"
            await session.execute(code, "r1", source=source)
            await session.execute("1 / 0", "r2", source=source)
            messages = session.of_request("r1") + session.of_request("r2")
            assert {m["type"] for m in messages} == {"stdout", "stderr", "result_output", "execution_result",
                                                     "execution_error"}
            assert all(m["source"] == source for m in messages)
            stderr = [m for m in messages if m["type"] == "stderr"]
            assert stderr == [{"type": "stderr", "content": "e", "request_id": "r1",
                               "workbook_id": session.workbook_id, "source": source}]

    run(body())


def test_source_defaults_to_ide(connected_kernel):
    async def body():
        async with connected_kernel() as session:
            await session.send({"type": "execution_request", "code": "print(1)", "request_id": "r1"})
            await session.final("r1")
            assert {m["source"] for m in session.of_request("r1")} == {"ide"}

    run(body())


def test_output_then_error(connected_kernel):
    async def body():
        async with connected_kernel() as session:
            final = await session.execute("print('one')\nprint('two')\nraise ValueError('bad')", "r1",
                                          function_name="f")
            messages = session.of_request("r1")
            assert [m["type"] for m in messages] == ["stdout"] * 4 + ["execution_error"]
            assert session.streamed("r1") == "one\ntwo\n"
            assert list(final) == ERROR_KEYS
            assert final["success"] is False
            assert (final["function_name"], final["workbook_id"], final["source"]) == ("f", session.workbook_id, "ide")
            error = final["error"]
            assert list(error) == ["type", "message", "traceback"]
            assert (error["type"], error["message"]) == ("ValueError", "bad")
            assert error["traceback"].startswith("Traceback (most recent call last):\n")
            assert 'File "<string>", line 3' in error["traceback"]
            assert error["traceback"].endswith("ValueError: bad\n")

    run(body())


def test_value_that_cannot_be_encoded_ends_with_a_reduced_error(connected_kernel, kernel_log):
    try:
        kmod.json_dumps({"result": object()})
    except Exception as e:  # noqa: BLE001 - whatever the encoder raises
        expected_type = type(e).__name__
    else:
        pytest.fail("the kernel's encoder accepted a plain object")

    async def body():
        async with connected_kernel() as session:
            final = await session.execute("object()", "r1", function_name="make", source="addin")
            messages = session.of_request("r1")
            assert [m["type"] for m in messages] == ["result_output", "execution_error"]
            assert messages[0]["content"].startswith("Out: <object object at ")
            assert list(final) == FAILURE_KEYS
            assert final["request_id"] == "r1" and final["source"] == "addin" and final["success"] is False
            error = final["error"]
            assert list(error) == ["type", "message", "traceback"]
            assert error["type"] == expected_type
            assert error["traceback"].endswith(f"{expected_type}: {error['message']}\n")
            # the session goes on
            assert (await session.execute("2", "r2"))["result"] == "2"

    run(body())
    errors = kernel_messages(kernel_log, logging.ERROR)
    assert any(m.startswith("[Kernel] Unexpected error in _execute_code_async: ") for m in errors)
    assert any(m.startswith("[TIMING] Execution failed: request_id=r1, elapsed=") for m in errors)


@pytest.mark.parametrize("code, exc_name, message", [
    ("raise SystemExit(3)", "SystemExit", "3"),
    ("import sys\nsys.exit('leaving')", "SystemExit", "leaving"),
    ("raise KeyboardInterrupt('stop')", "KeyboardInterrupt", "stop"),
])
def test_system_exit_and_interrupt_end_only_their_run(connected_kernel, code, exc_name, message):
    async def body():
        async with connected_kernel() as session:
            hooks = (sys.stdout, sys.stderr)
            final = await session.execute("print('first')\n" + code, "r1")
            assert session.streamed("r1") == "first\n"
            assert list(final) == ERROR_KEYS
            error = final["error"]
            assert (error["type"], error["message"]) == (exc_name, message)
            assert error["traceback"].endswith(f"{exc_name}: {message}\n")
            assert (sys.stdout, sys.stderr) == hooks
            # the kernel keeps serving
            assert (await session.execute("1 + 1", "r2"))["result"] == "2"
            assert session.server.is_connected(session.workbook_id)

    run(body())


@pytest.mark.parametrize("fields, argument, type_name", [
    ({"code": 5}, "code", "int"),
    ({"code": None}, "code", "NoneType"),
    ({"code": "1", "request_id": 7}, "request_id", "int"),
    ({"code": "1", "function_name": ["f"]}, "function_name", "list"),
    ({"code": "1", "source": None}, "source", "NoneType"),
])
def test_malformed_fields_are_answered_and_the_session_goes_on(connected_kernel, fields, argument, type_name):
    async def body():
        async with connected_kernel() as session:
            request_id = fields.get("request_id", "bad")
            await session.send({"type": "execution_request", "request_id": request_id, **fields})
            reply = await session.final(request_id)
            assert list(reply) == FAILURE_KEYS
            assert reply["type"] == "execution_error" and reply["success"] is False
            assert reply["source"] == fields.get("source", "ide")
            error = reply["error"]
            assert error["type"] == "TypeError"
            expected = f"Argument '{argument}' has incorrect type (expected str, got {type_name})"
            assert error["message"] == expected
            assert error["traceback"].endswith(f"TypeError: {expected}\n")
            assert not [m for m in session.of_request(request_id) if m["type"] != "execution_error"]
            assert (await session.execute("3", "next"))["result"] == "3"

    run(body())


def test_reset_namespace_message(connected_kernel):
    async def body():
        async with connected_kernel() as session:
            await session.execute("kept = 1", "r1")
            reply = await session.reply({"type": "reset_namespace"}, "namespace_reset")
            assert reply == {"type": "namespace_reset"}
            final = await session.execute("kept", "r2")
            assert final["type"] == "execution_error" and final["error"]["type"] == "NameError"
            final = await session.execute("excel is vantrel.excel and context is vantrel.context", "r3")
            assert final["result"] == "True"

    run(body())
