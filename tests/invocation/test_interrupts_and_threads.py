"""Interactive work end to end against the development Business Layer: interrupting a
runaway console run, cell call, stream and callable (the kernel answers the next request),
interrupts that arrive too late or name nothing, and the output of threads a call starts
kept with that call while calls overlap."""
import importlib
import sys

from vantrel_master.python_server.vantrel import messaging

from .conftest import kernel_session, run, sync_module

SOURCE = '''import threading, time

def spin():
    while True:
        pass

def endless():
    n = 0
    while True:
        n += 1
        yield n

def caught():
    try:
        while True:
            pass
    except KeyboardInterrupt:
        return "stopped politely"

def with_thread(tag, lines):
    def child():
        for n in range(lines):
            print(tag, n)
            time.sleep(0.0005)
    t = threading.Thread(target=child)
    t.start()
    t.join()
    return tag
'''


def test_interrupts_end_runaway_requests_and_the_kernel_goes_on(module_name):
    async def main():
        async with kernel_session() as s:
            name = await sync_module(s, module_name(), SOURCE)

            async def interrupt(rid):
                await s.send({"type": "interrupt_request", "request_id": rid})
                return await s.wait_for(lambda m: m["type"] == "interrupt_reply" and m["request_id"] == rid)

            async def started(rid):
                # the request's user code is running once it has printed (or, silent, once
                # its worker has begun: wait for the interrupt to find it)
                for _ in range(200):
                    reply = await interrupt(rid)
                    if reply["interrupted"]:
                        return reply
                raise AssertionError(f"{rid} never ran")

            await s.start("print('go', flush=True)\nwhile True:\n    pass", "console")
            reply = await started("console")
            assert reply == {"type": "interrupt_reply", "request_id": "console", "interrupted": True,
                             "workbook_id": s.wb}
            final = await s.final("console")
            assert final["type"] == "execution_error" and final["error"]["type"] == "KeyboardInterrupt"
            assert final["error"]["traceback"].endswith("KeyboardInterrupt\n")

            call = {"type": "custom_function_call", "module_name": name, "workbook_id": s.wb}
            await s.send({**call, "function_name": "spin", "request_id": "cell"})
            await started("cell")
            done = await s.wait_for(lambda m: m["type"] == "function_execution_result" and m["request_id"] == "cell")
            assert done["status"] == "error" and done["error"].endswith("KeyboardInterrupt\n")

            await s.send({**call, "function_name": "caught", "request_id": "polite"})
            await started("polite")
            done = await s.wait_for(lambda m: m["type"] == "function_execution_result" and m["request_id"] == "polite")
            assert (done["status"], done["result"]) == ("success", "stopped politely")

            await s.send({"type": "execute_streaming_function", "request_id": "stream", "module_name": name,
                          "function_name": "endless", "args": [], "workbook_id": s.wb})
            await started("stream")
            final = await s.wait_for(lambda m: m["type"] == "streaming_function_result"
                                     and m["request_id"] == "stream" and m.get("done"))
            assert final["error"] == "KeyboardInterrupt"

            cid = messaging.register_callable(importlib.import_module(name).spin)
            await s.send({"type": "python_function_call", "callable_id": cid, "request_id": "callable"})
            await started("callable")
            done = await s.wait_for(lambda m: m["type"] == "python_function_result" and m["request_id"] == "callable")
            assert done["success"] is False and "KeyboardInterrupt" in done["error"]

            # nothing of that name runs (any more): answered, nothing raised anywhere
            assert (await interrupt("console"))["interrupted"] is False
            assert (await interrupt("never-sent"))["interrupted"] is False
            assert (await interrupt(["unhashable"]))["interrupted"] is False

            # interrupts racing the end of short runs: each run has exactly one final reply, and
            # an interrupt that arrives as user code ends never reaches the thread's next request
            for i in range(40):
                await s.start("sum(range(3000))", f"race-{i}")
                await s.send({"type": "interrupt_request", "request_id": f"race-{i}"})
            for i in range(40):
                await s.final(f"race-{i}")
            for i in range(40):
                assert (await s.execute("1 + 1", f"after-{i}"))["result"] == "2"
            await s.mark()
            finals = [m for m in s.messages() if str(m.get("request_id")).startswith("race-")
                      and m["type"] in ("execution_result", "execution_error")]
            assert sorted(m["request_id"] for m in finals) == sorted(f"race-{i}" for i in range(40))
            assert all(m["type"] == "execution_result" or m["error"]["type"] == "KeyboardInterrupt" for m in finals)
            assert s.kernel.running
    run(main(), timeout=90)


def test_output_of_threads_a_call_starts_stays_with_that_call(module_name):
    async def main():
        async with kernel_session() as s:
            name = await sync_module(s, module_name(), SOURCE)
            call = {"type": "custom_function_call", "module_name": name, "function_name": "with_thread",
                    "workbook_id": s.wb}
            for i in range(10):
                await s.send({**call, "args": [f"t{i}", 40], "request_id": f"call-{i}"})
            for i in range(10):
                await s.wait_for(lambda m, i=i: m["type"] == "function_execution_result"
                                 and m["request_id"] == f"call-{i}")
            for i in range(10):
                expected = "".join(f"t{i} {n}\n" for n in range(40))
                assert s.streamed(f"call-{i}") == expected
                done = s.of_request(f"call-{i}", "function_execution_result")[0]
                assert done["logs"] == expected
    run(main(), timeout=60)


def test_threads_a_run_started_are_forgotten_as_they_end():
    code = '''import gc, threading
class Child(threading.Thread):
    def run(self):
        print("child", self.n)
for n in range(3000):
    t = Child()
    t.n = n
    t.start()
    t.join()
del t
gc.collect(); sum(isinstance(o, Child) for o in gc.get_objects())'''

    async def main():
        async with kernel_session() as s:
            await s.start(code, "many-threads")
            final = await s.final("many-threads", timeout=90)
            assert final["type"] == "execution_result"
            assert s.streamed("many-threads") == "".join(f"child {n}\n" for n in range(3000))
            return int(final["result"])
    live = run(main(), timeout=120)
    assert live < 10  # threads that ended are not kept alive for the run


POOLED = '''import asyncio, concurrent.futures, threading, time

POOL = concurrent.futures.ThreadPoolExecutor(max_workers=3)

def lines(tag):
    for n in range(30):
        print(tag, n)
        time.sleep(0.0005)
    def grandchild():
        print(tag, "grandchild")
    t = threading.Thread(target=grandchild)
    t.start()
    t.join()
    return tag

def submitted(tag):
    return POOL.submit(lines, tag).result()

def in_executor(tag):
    async def main():
        return await asyncio.get_running_loop().run_in_executor(POOL, lines, tag)
    return asyncio.run(main())
'''


def test_output_of_executor_tasks_goes_to_the_run_that_submitted_them(module_name):
    async def main():
        async with kernel_session() as s:
            name = await sync_module(s, module_name(), POOLED)
            call = {"type": "custom_function_call", "module_name": name, "workbook_id": s.wb}
            # the pool's threads are started by the first calls; later calls reuse them, also
            # after the calls that started them have ended
            for round_ in range(2):
                for i in range(10):
                    function = "submitted" if i % 2 else "in_executor"
                    await s.send({**call, "function_name": function, "args": [f"t{round_}-{i}"],
                                  "request_id": f"call-{round_}-{i}"})
                for i in range(10):
                    await s.wait_for(lambda m, r=round_, i=i: m["type"] == "function_execution_result"
                                     and m["request_id"] == f"call-{r}-{i}", timeout=20)
            for round_ in range(2):
                for i in range(10):
                    tag = f"t{round_}-{i}"
                    expected = "".join(f"{tag} {n}\n" for n in range(30)) + f"{tag} grandchild\n"
                    assert s.streamed(f"call-{round_}-{i}") == expected
                    done = s.of_request(f"call-{round_}-{i}", "function_execution_result")[0]
                    assert (done["logs"], done["result"]) == (expected, tag)
    run(main(), timeout=90)


ALTERNATING = '''import sys, threading

def alternate(name, count):
    for n in range(count):
        sys.stdout.write(f"{name} out {n}\\n")
        sys.stderr.write(f"{name} err {n}\\n")

def three_writers(count):
    threads = [threading.Thread(target=alternate, args=(f"thread{k}", count)) for k in range(2)]
    for t in threads:
        t.start()
    alternate("call", count)
    for t in threads:
        t.join()
    return count
'''


def test_merged_output_keeps_each_writers_order_across_stdout_and_stderr(module_name):
    # (fewer under wine, whose interpreter writes a few thousand messages a second)
    count = 6000 if sys.platform != "win32" else 1500

    async def main():
        async with kernel_session() as s:
            name = await sync_module(s, module_name(), ALTERNATING)
            await s.send({"type": "custom_function_call", "module_name": name, "function_name": "three_writers",
                          "args": [count], "workbook_id": s.wb, "request_id": "alternating"})
            await s.wait_for(lambda m: m["type"] == "function_execution_result" and m["request_id"] == "alternating",
                             timeout=60)
            streamed = s.of_request("alternating", "stdout", "stderr")
            # where the loop fell behind, writes were merged into fewer messages (a slower
            # interpreter, such as Windows' under wine, may keep up and merge none)
            assert len(streamed) <= 3 * 2 * count
            by_writer = {}
            for message in streamed:
                for line in message["content"].splitlines():
                    writer, stream, n = line.split()
                    assert (stream == "out") == (message["type"] == "stdout")
                    by_writer.setdefault(writer, []).append((int(n), stream))
            want = [(n, stream) for n in range(count) for stream in ("out", "err")]
            for writer in ("call", "thread0", "thread1"):
                assert by_writer[writer] == want, writer
    run(main(), timeout=120)
