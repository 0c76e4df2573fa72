"""A workbook recalculation end to end: many cell calls in flight at once, with output,
failures, interrupts and a stream canceled among them, then a shutdown while calls still
run. Every call runs on a thread of the kernel's worker pool, at most WORKER_POOL_SIZE at
a time, and answers with its own messages in their order."""
import asyncio

from .conftest import kernel_session, kmod, run, sync_module

SOURCE = '''import sys, threading, time

lock = threading.Lock()
running = 0
most = 0

def cell(i):
    sys.stdout.write(f"out {i}\\n")
    sys.stderr.write(f"err {i}\\n")
    return [i * 2, threading.get_ident()]

def boom(i):
    print("before", i)
    raise ValueError(f"bad {i}")

def nap(seconds):
    global running, most
    with lock:
        running += 1
        most = max(most, running)
    try:
        time.sleep(seconds)
    finally:
        with lock:
            running -= 1
    return threading.get_ident()

def spin(tag):
    print("spinning", tag, flush=True)
    end = time.monotonic() + 60  # bounded: a failed test leaves no thread behind for good
    while time.monotonic() < end:
        pass
    return "not interrupted"

def endless():
    n = 0
    while True:
        print("tick", n)
        yield n
        n += 1
'''


def call(s, name, function, args, rid):
    return s.send({"type": "custom_function_call", "module_name": name, "function_name": function,
                   "args": args, "request_id": rid, "workbook_id": s.wb})


def finals(s, rid):
    return [m["type"] for m in s.of_request(rid) if m["type"] not in ("stdout", "stderr", "interrupt_reply")]


async def done(s, rid, timeout=30):
    return await s.wait_for(lambda m: m.get("type") == "function_execution_result" and m.get("request_id") == rid,
                            timeout)


def test_a_recalculation_with_output_failures_interrupts_and_a_canceled_stream(module_name):
    async def main():
        async with kernel_session() as s:
            name = await sync_module(s, module_name(), SOURCE)
            pool = s.kernel._thread_pool

            # two runaway calls and a stream take three workers; a burst of 150 calls, a tenth
            # of them failing, goes through the other seven meanwhile
            await call(s, name, "spin", ["a"], "spin-a")
            await call(s, name, "spin", ["b"], "spin-b")
            await s.send({"type": "execute_streaming_function", "request_id": "stream", "module_name": name,
                          "function_name": "endless", "args": [], "workbook_id": s.wb, "source": "addin"})
            burst = [(f"c{i}", "boom" if i % 10 == 3 else "cell") for i in range(150)]
            for rid, function in burst:
                await call(s, name, function, [int(rid[1:])], rid)
            for rid, _ in burst:
                await done(s, rid)

            for rid, function in burst:
                i = int(rid[1:])
                replies = s.of_request(rid)
                # everything printed is sent before the call's replies
                kinds = [m["type"] in ("stdout", "stderr") for m in replies]
                assert kinds == sorted(kinds, reverse=True), [m["type"] for m in replies]
                if function == "cell":
                    assert finals(s, rid) == ["result_output", "execution_result", "function_execution_result"]
                    assert replies[0] == {"type": "stdout", "content": f"out {i}\n", "request_id": rid,
                                          "workbook_id": s.wb, "source": "addin"}
                    last = replies[-1]
                    assert last["status"] == "success" and last["result"][0] == i * 2
                    assert last["logs"] == f"out {i}\nerr {i}\n"
                    assert s.streamed(rid, "stderr") == f"err {i}\n"
                else:
                    assert finals(s, rid) == ["execution_error", "function_execution_result"]
                    assert replies[-1]["status"] == "error"
                    assert replies[-1]["error"].endswith(f"ValueError: bad {i}\n")
                    assert s.streamed(rid, "stderr").endswith(f"ValueError: bad {i}\n")
            workers = {t.ident for t in pool._threads}
            used = {s.of_request(rid)[-1]["result"][1] for rid, function in burst if function == "cell"}
            assert used <= workers and len(workers) <= s.kernel.WORKER_POOL_SIZE

            # the runaway calls are interrupted, the stream canceled; each ends with its own replies
            for rid in ("spin-a", "spin-b"):
                await s.wait_for(lambda m, rid=rid: m.get("request_id") == rid and m.get("type") == "stdout")
                await s.send({"type": "interrupt_request", "request_id": rid})
                final = await done(s, rid)
                assert final["status"] == "error" and "KeyboardInterrupt" in final["error"]
                assert finals(s, rid) == ["execution_error", "function_execution_result"]
            await s.send({"type": "cancel_streaming_function", "request_id": "stream"})
            await s.wait_for(lambda m: m.get("request_id") == "stream" and m.get("done"))

            # calls that block in C do not hold each other up, and never more run at once
            # than the pool has workers
            naps = [f"nap{i}" for i in range(25)]
            for rid in naps:
                await call(s, name, "nap", [0.05], rid)
            for rid in naps:
                assert (await done(s, rid))["status"] == "success"
            most = s.kernel.executor.execute(f"import {name}; {name}.most")["result"]
            assert 1 < most <= s.kernel.WORKER_POOL_SIZE
            assert {s.of_request(rid)[-1]["result"] for rid in naps} <= {t.ident for t in pool._threads}
    run(main(), timeout=120)


def test_a_worker_body_that_fails_is_answered_and_calls_in_flight_survive_a_shutdown(module_name, monkeypatch):
    async def main():
        async with kernel_session() as s:
            name = await sync_module(s, module_name(), SOURCE)

            # the kernel's own part of the worker fails (not the user's code): each call is
            # answered with the reduced error replies, and the next calls run as before
            def broken(*args, **kwargs):
                raise RuntimeError("capture broke")

            real = kmod.StreamCapture
            monkeypatch.setattr(kmod, "StreamCapture", broken)
            for i in range(12):
                await call(s, name, "cell", [i], f"broken{i}")
            for i in range(12):
                final = await done(s, f"broken{i}")
                assert final == {"type": "function_execution_result", "request_id": f"broken{i}", "status": "error",
                                 "error": {"type": "RuntimeError", "message": "capture broke",
                                           "traceback": final["error"]["traceback"]}}
                assert "RuntimeError: capture broke" in final["error"]["traceback"]
                assert finals(s, f"broken{i}") == ["execution_error", "function_execution_result"]
            monkeypatch.setattr(kmod, "StreamCapture", real)
            await call(s, name, "cell", [7], "after")
            assert (await done(s, "after"))["result"][0] == 14

            # shutdown with 40 calls queued or running: the session ends normally and every
            # worker thread ends (none is left waiting for bodies that will never come)
            pool = s.kernel._thread_pool
            for i in range(40):
                await call(s, name, "nap", [0.02], f"late{i}")
            await s.send({"type": "shutdown"})
            await s.ended(timeout=10)
            assert not s.kernel.running
            threads = list(pool._threads)
            for t in threads:
                await asyncio.get_running_loop().run_in_executor(None, t.join, 10)
            assert threads and not any(t.is_alive() for t in threads)
    run(main(), timeout=120)
