#!/usr/bin/env python3
"""A kernel on Windows driven by a Business Layer on Linux (run by scripts/windows-tests.sh
with the Linux interpreter of .venv).

Starts the development Business Layer on 127.0.0.1, a kernel process on the Windows
interpreter through scripts/windows-python.sh (the launcher, plain ws://), and goes through
a session as the product's server would: a console run with output, a workbook module and a
cell call that reads and writes the workbook through synchronous requests, a streaming
generator, an error with its traceback, an interrupt of a runaway run, and the shutdown,
after which the kernel process must end with status 0. Exits 1 with the kernel's log on the
first thing that does not go as expected.
"""
import asyncio
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from vantrel_master.devtools.business_layer import DevBusinessLayer

ROOT = Path(__file__).resolve().parent.parent
WB = "wb-windows"
WAIT = 60.0  # a guard against hanging (a Windows process under wine starts slowly)

MODULE = """\
import vantrel

def read_cell(factor):
    vantrel.excel.set_value("Sheet1", "B2", 7)
    return vantrel.excel.get_value("Sheet1", "B2") * factor

def count(n):
    for i in range(n):
        yield i * i

def fails():
    raise ValueError("bad input")
"""


class Failed(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failed(what)


async def session(server, log_path):
    process = subprocess.Popen(
        [str(ROOT / "scripts" / "windows-python.sh"), "-m", "vantrel_master.devtools.launcher", WB,
         str(server.port), "--plain"],
        stdin=subprocess.DEVNULL, stdout=open(log_path, "wb"), stderr=subprocess.STDOUT,
        env=dict(os.environ, VANTREL_LOG_LEVEL="INFO"))
    try:
        await server.wait_connected(WB, timeout=WAIT)

        def final(rid, kind):
            return server.wait_for(WB, lambda m: m.get("type") == kind and m.get("request_id") == rid, WAIT)

        # a console run: its output streamed, its result and what platform it runs on
        await server.send(WB, {"type": "execution_request", "request_id": "e0", "source": "console",
                               "code": "import sys\nprint('running on', sys.platform)"})
        reply = await final("e0", "execution_result")
        check(reply.get("success") is True, f"console run: {reply}")
        await server.send(WB, {"type": "execution_request", "request_id": "e1", "source": "console",
                               "code": "6 * 7"})
        reply = await final("e1", "execution_result")
        check(reply.get("success") is True and reply.get("result") == "42", f"console run: {reply}")
        out = "".join(m["content"] for m in server.messages(WB)
                      if m.get("type") == "stdout" and m.get("request_id") == "e0")
        check(out == "running on win32\n", f"console output: {out!r}")

        # a workbook module and a cell call that goes to the workbook and back
        await server.send(WB, {"type": "update_module", "module_name": "winmod", "code": MODULE})
        await server.wait_for(WB, lambda m: m.get("type") == "module_updated" and m.get("module_name") == "winmod",
                              WAIT)
        await server.send(WB, {"type": "custom_function_call", "request_id": "c1", "module_name": "winmod",
                               "function_name": "read_cell", "args": [6]})
        reply = await final("c1", "function_execution_result")
        check(reply.get("result") == 42, f"cell call: {reply}")
        check(server.workbook(WB).get_value("Sheet1", "B2") == 7, "the cell call did not write the workbook")

        # a streaming generator
        await server.send(WB, {"type": "execute_streaming_function", "request_id": "s1", "module_name": "winmod",
                               "function_name": "count", "args": [4]})
        await server.wait_for(WB, lambda m: m.get("type") == "streaming_function_result"
                              and m.get("request_id") == "s1" and m.get("done") is True, WAIT)
        values = [m.get("result") for m in server.messages(WB)
                  if m.get("type") == "streaming_function_result" and m.get("request_id") == "s1"
                  and m.get("done") is False]
        check(values == [0, 1, 4, 9], f"stream values: {values}")

        # an error, with its traceback from the workbook module
        await server.send(WB, {"type": "custom_function_call", "request_id": "c2", "module_name": "winmod",
                               "function_name": "fails"})
        reply = await final("c2", "function_execution_result")
        text = str(reply)
        check("ValueError" in text and "bad input" in text and "<virtual:winmod>" in text, f"error reply: {reply}")

        # an interrupt of a runaway run; the kernel goes on
        await server.send(WB, {"type": "execution_request", "request_id": "spin", "source": "console",
                               "code": "print('spinning', flush=True)\nwhile True:\n    pass"})
        await server.wait_for(WB, lambda m: m.get("type") == "stdout" and "spinning" in m.get("content", ""), WAIT)
        interrupted = False
        for attempt in range(50):
            await server.send(WB, {"type": "interrupt_request", "request_id": "spin"})
            answer = await server.wait_for(WB, lambda m: m.get("type") == "interrupt_reply"
                                           and m.get("request_id") == "spin", WAIT)
            if answer.get("interrupted"):
                interrupted = True
                break
            await asyncio.sleep(0.1)
        check(interrupted, "the runaway run was never interrupted")
        reply = await final("spin", "execution_error")
        check(reply.get("error", {}).get("type") == "KeyboardInterrupt", f"interrupted run: {reply}")
        await server.send(WB, {"type": "execution_request", "request_id": "e2", "source": "console",
                               "code": "1 + 1"})
        reply = await final("e2", "execution_result")
        check(reply.get("result") == "2", f"after the interrupt: {reply}")

        # the shutdown ends the kernel process
        await server.send(WB, {"type": "shutdown"})
        await server.wait_disconnected(WB, timeout=WAIT)
        code = await asyncio.get_running_loop().run_in_executor(None, process.wait, WAIT)
        check(code == 0, f"the kernel process ended with status {code}")
        return len(server.messages(WB))
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


async def main():
    with tempfile.TemporaryDirectory(prefix="vantrel-windows-peer-") as scratch:
        log_path = Path(scratch) / "kernel.log"
        async with DevBusinessLayer() as server:
            try:
                count = await session(server, log_path)
            except (Failed, asyncio.TimeoutError, TimeoutError, subprocess.TimeoutExpired) as exc:
                print(f"windows-peer: {type(exc).__name__}: {exc}", file=sys.stderr)
                print("windows-peer: the kernel's log:\n" + log_path.read_text(errors="replace")[-4000:],
                      file=sys.stderr)
                return 1
    print(f"windows-peer: a kernel on Windows served a Linux peer: {count} messages, interrupt and shutdown included")
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
