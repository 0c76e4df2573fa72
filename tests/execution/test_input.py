"""input() and getpass.getpass() in user code: asked of the front end with input_request
when the request allows it (allow_stdin), refused with EOFError otherwise."""
import asyncio
import builtins
import getpass
import time

from .conftest import kernel_session, run


OUTCOMES = []  # what user code saw, where the test cannot wait for a reply


def asked(s, request_id):
    return s.wait_for(lambda m: m.get("type") == "input_request" and m.get("request_id") == request_id)


def test_input_is_asked_of_the_front_end_that_allows_it(monkeypatch):
    monkeypatch.setenv("VANTREL_SECURED", "0")
    async def main():
        async with kernel_session() as s:
            # answered: input() returns the line, getpass() asks with the password flag
            await s.start("name = input('Name: '); secret = __import__('getpass').getpass('Key: '); "
                          "print(name.upper(), len(secret))", "r1", allow_stdin=True)
            first = await asked(s, "r1")
            assert list(first) == ["type", "request_id", "prompt", "password", "workbook_id"]
            assert (first["prompt"], first["password"]) == ("Name: ", False)
            await s.send({"type": "input_reply", "request_id": "r1", "value": "ada"})
            second = await asked(s, "r1")
            assert (second["prompt"], second["password"]) == ("Key: ", True)
            await s.send({"type": "input_reply", "request_id": "r1", "value": "xyz"})
            final = await s.final("r1")
            assert final["type"] == "execution_result" and final["success"] is True
            assert s.streamed("r1") == "ADA 3\n"

            # a null answer is the end of input: EOFError in user code
            await s.start("input('> ')", "r2", allow_stdin=True)
            await asked(s, "r2")
            await s.send({"type": "input_reply", "request_id": "r2", "value": None})
            assert (await s.final("r2"))["error"]["type"] == "EOFError"

            # without allow_stdin (the product's server): EOFError at once, saying why
            final = await s.execute("input('> ')", "r3")
            assert final["error"]["type"] == "EOFError"
            assert "cannot answer input" in final["error"]["message"]

            # an interrupt ends the wait at once
            await s.start("input('> ')", "r4", allow_stdin=True)
            await asked(s, "r4")
            await s.send({"type": "interrupt_request", "request_id": "r4"})
            assert (await s.final("r4"))["error"]["type"] == "KeyboardInterrupt"

            # answers nobody waits for, and malformed ones, are errors; the kernel goes on
            await s.send({"type": "input_reply", "request_id": "nobody", "value": "x"})
            await s.send({"type": "input_reply", "request_id": "r5", "value": 42})
            errors = [m for m in await s.mark() if m.get("type") == "error"]
            assert len(errors) == 2
            assert (await s.execute("1 + 1", "r6"))["result"] == "2"

            # the peer gone: the wait ends with EOFError, not never
            await s.start(f"import sys\ntry:\n    input('> ')\nexcept BaseException as e:\n"
                          f"    sys.modules[{__name__!r}].OUTCOMES.append(type(e).__name__)", "r7", allow_stdin=True)
            await asked(s, "r7")
            await s.kernel.disconnect()
            deadline = time.monotonic() + 10
            while not OUTCOMES and time.monotonic() < deadline:
                await asyncio.sleep(0.01)
            assert OUTCOMES == ["EOFError"]
        # outside a connected kernel input and getpass are Python's own again
        assert builtins.input.__module__ == "builtins" and getpass.getpass.__module__ == "getpass"

    run(main(), timeout=60)
