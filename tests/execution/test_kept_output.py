"""What a run keeps of the text it prints, seen from the peer of a kernel process: a console
run keeps none of it (its replies carry none: the streamed messages have it all), and a
call whose replies carry its output keeps its beginning and its end, with a line saying how
much was left out between them."""
import asyncio

from tests.harness import kernel_process


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 120))


def test_a_console_run_keeps_none_of_what_it_prints(scratch):
    async def main():
        async with kernel_process(scratch) as k:
            assert (await k.execute("import tracemalloc; tracemalloc.start()", "trace"))["type"] == "execution_result"
            printed = await k.execute("for i in range(200):\n    print('x' * 100_000)", "print")
            assert printed["type"] == "execution_result"
            peak = await k.execute("tracemalloc.get_traced_memory()[1]", "peak")
            # code the console runs that runs an executor itself still gets that run's text
            inner = await k.execute("from vantrel_master.python_server import kernel; "
                                    "kernel.CodeExecutor().execute('print(1)')['stdout']", "inner")
            assert inner["result"] == repr("1\n")
            streamed = sum(len(m["content"]) for m in k.server.messages(k.wb)
                           if m.get("type") == "stdout" and m.get("request_id") == "print")
            return int(peak["result"]), streamed
    peak, streamed = run(main())
    assert streamed == 200 * 100_001
    assert peak < 8_000_000  # 20 MB printed; kept, it would be at least that


CALL_OUTPUT = '''import sys

def chatty(lines):
    for i in range(lines):
        print(f"out {i:05}")
    for i in range(lines):
        sys.stderr.write(f"err {i:05}\\n")
    return lines
'''


def test_a_call_keeps_the_beginning_and_the_end_of_its_output(scratch):
    async def main():
        async with kernel_process(scratch) as k:
            setup = (f"import sys\nsys.modules['vantrel_master.python_server.kernel']._KEPT_OUTPUT_CHARS = 1000\n"
                     f"sys.modules['vantrel_master.python_server.kernel'].in_memory_loader.update_module("
                     f"'chatty_mod', {CALL_OUTPUT!r})")
            assert (await k.execute(setup, "setup"))["type"] == "execution_result"
            await k.server.send(k.wb, {"type": "custom_function_call", "module_name": "chatty_mod",
                                       "function_name": "chatty", "args": [600], "request_id": "call"})
            done = await k.server.wait_for(k.wb, lambda m: m.get("type") == "function_execution_result"
                                           and m.get("request_id") == "call", 30)
            streamed = "".join(m["content"] for m in k.server.messages(k.wb)
                               if m.get("type") in ("stdout", "stderr") and m.get("request_id") == "call")
            return done, streamed
    done, streamed = run(main())
    out = "".join(f"out {i:05}\n" for i in range(600))
    err = "".join(f"err {i:05}\n" for i in range(600))
    assert sorted(streamed.splitlines()) == sorted((out + err).splitlines())  # every line was streamed
    # the first 1000 characters of the run (stdout's) and its last 1000 (stderr's)
    assert done["logs"] == (out[:1000] + "[... 5000 characters of output left out ...]\n"
                            + "[... 5000 characters of output left out ...]\n" + err[-1000:])
    assert (done["status"], done["result"]) == ("success", 600)
