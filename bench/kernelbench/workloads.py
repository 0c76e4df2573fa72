"""The benchmarks: what each one sends, what it waits for and what it counts.

Every benchmark has a ``prepare`` (set-up plus one probe request with a short
timeout: a system that does not answer, answers with an error or drops the
connection is reported as not available, with the reason) and a ``batch`` that does
``n`` units of work and returns a Batch. The runner (bench_kernel.py) interleaves the
batches of all systems round by round and reads their CPU clocks around each batch.
"""

from __future__ import annotations

import asyncio
import itertools
import time
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional

from .peer import LinkClosed

clock = time.perf_counter_ns
_ids = itertools.count()

EXEC_FINAL = ("execution_result", "execution_error")
CELL_MODULE = "bench_cells"
CELL_SOURCE = '''\
def one(x):
    return x


def count(n):
    for i in range(n):
        yield i
'''
BIG_CHARS = 10_000_000  # base64 of 7.5 MB of seeded random bytes: no JSON escapes, not compressible
BIG_SETUP = ("import base64 as _b64, random as _random\n"
             "_big = _b64.b64encode(_random.Random(1).randbytes(7_500_000)).decode()\n")


class NotAvailable(Exception):
    """The system does not do this (yet): no answer, an error answer, or the session ended."""


class BadReply(Exception):
    """A reply that is not the success reply the benchmark asked for."""


@dataclass
class Batch:
    ops: float                                        # units of work done (requests, lines, MB, values)
    elapsed_ns: int
    latencies_ns: List[int] = field(default_factory=list)
    notes: Dict[str, Any] = field(default_factory=dict)
    requests: int = 0                                 # messages sent to the system (default: ops)

    def __post_init__(self):
        self.requests = self.requests or int(self.ops)


def new_id(prefix: str) -> str:
    return f"{prefix}-{next(_ids)}"


def execution_request(code: str, function_name: Optional[str] = None) -> Dict[str, Any]:
    return {"type": "execution_request", "code": code, "request_id": new_id("exec"),
            "function_name": function_name, "source": "ide"}


def final_for(system, types):
    """The echo client's final reply is its copy of the request."""
    if system.kind == "echo":
        return lambda message: True
    return types


def check_exec(system, reply: Dict[str, Any]) -> Dict[str, Any]:
    if system.kind != "echo" and reply.get("type") != "execution_result":
        error = reply.get("error")
        if isinstance(error, dict):
            error = f"{error.get('type')}: {error.get('message')}"
        raise BadReply(f"{reply.get('type')}: {str(error)[:300]}")
    return reply


async def probe(coro, timeout: float):
    """Runs a set-up or probe step; failures become NotAvailable with the reason."""
    try:
        return await asyncio.wait_for(coro, timeout)
    except (asyncio.TimeoutError, TimeoutError):
        raise NotAvailable(f"no answer within {timeout:g} s") from None
    except LinkClosed as exc:
        raise NotAvailable(f"the system closed the connection: {exc}") from None
    except BadReply as exc:
        raise NotAvailable(f"answered {exc}") from None


async def define(system, code: str, timeout: float) -> None:
    """Runs set-up statements (definitions) in the console namespace."""
    reply, _ = await system.link.request(execution_request(code), EXEC_FINAL, timeout)
    check_exec(system, reply)


async def sync_module(system, timeout: float) -> None:
    link = system.link
    answered = link.watch(lambda m: m.get("type") in ("module_updated", "error", "update_module"))
    await link.send({"type": "update_module", "module_name": CELL_MODULE, "code": CELL_SOURCE})
    reply = await asyncio.wait_for(answered, timeout)
    if reply.get("type") == "error":
        raise BadReply(f"error: {reply.get('message')}")


class Bench:
    name = ""
    title = ""
    kinds = ("vantrel", "floor", "echo")
    op = "request"            # the unit of work
    batch_unit = ""           # what n counts, when not ops
    rate_unit = ""            # set for throughput benchmarks: the headline figure is ops per second
    floors = ("floor", "echo")
    sizes = {"quick": (5, 50), "full": (15, 200)}   # rounds, n per batch
    probe_timeout = 10.0
    timeout = 30.0            # per request while measuring

    def warmup(self, n: int) -> int:
        return max(1, n // 5)

    async def prepare(self, system) -> None:
        await probe(self.batch(system, 1), self.probe_timeout)

    async def batch(self, system, n: int) -> Batch:
        raise NotImplementedError


class Console(Bench):
    name = "console"
    title = 'console round trip: execution_request "x = 1" to execution_result'
    kinds = ("vantrel", "floor", "echo", "ipykernel")

    async def batch(self, system, n):
        latencies = []
        if system.kind == "ipykernel":
            for _ in range(n):
                reply, ns = await system.execute("x = 1", self.timeout)
                if reply["content"].get("status") != "ok":
                    raise BadReply(f"execute_reply status {reply['content'].get('status')}")
                latencies.append(ns)
            await system.drain_iopub()
        else:
            final = final_for(system, EXEC_FINAL)
            for _ in range(n):
                reply, ns = await system.link.request(execution_request("x = 1"), final, self.timeout)
                check_exec(system, reply)
                latencies.append(ns)
        return Batch(n, sum(latencies), latencies)


def cell_call(system, function_name: str, args: list) -> Dict[str, Any]:
    return {"type": "custom_function_call", "module_name": CELL_MODULE, "function_name": function_name,
            "args": args, "request_id": new_id("cell"), "workbook_id": system.workbook_id, "source": "addin"}


async def one_cell_call(system, timeout: float) -> int:
    final = final_for(system, ("function_execution_result",))
    reply, ns = await system.link.request(cell_call(system, "one", [1]), final, timeout)
    if system.kind != "echo" and (reply.get("status") != "success" or reply.get("result") != 1):
        raise BadReply(f"function_execution_result status={reply.get('status')} "
                       f"error={str(reply.get('error'))[:300]}")
    return ns


class CellCall(Bench):
    name = "cell"
    title = "cell call, 1 in flight: custom_function_call bench_cells.one(1) to function_execution_result"
    probe_timeout = 5.0

    async def prepare(self, system):
        await probe(sync_module(system, 5.0), 5.0)
        await probe(one_cell_call(system, self.probe_timeout), self.probe_timeout)

    async def batch(self, system, n):
        latencies = [await one_cell_call(system, self.timeout) for _ in range(n)]
        return Batch(n, sum(latencies), latencies)


class CellCalls10(CellCall):
    name = "cell10"
    title = "cell calls, 10 in flight: the same call, 10 outstanding at all times"
    op = "call"
    rate_unit = "calls/s"
    sizes = {"quick": (3, 100), "full": (10, 500)}
    in_flight = 10

    async def batch(self, system, n):
        latencies: List[int] = []
        shares = [n // self.in_flight + (1 if i < n % self.in_flight else 0) for i in range(self.in_flight)]

        async def caller(count):
            for _ in range(count):
                latencies.append(await one_cell_call(system, self.timeout))

        start = clock()
        await asyncio.gather(*(caller(c) for c in shares))
        return Batch(n, clock() - start, latencies)


class CellCalls100(CellCalls10):
    name = "cell100"
    title = "cell calls, 100 in flight: a recalculation's burst, 100 outstanding at all times"
    sizes = {"quick": (3, 300), "full": (10, 1000)}
    in_flight = 100


class Output(Bench):
    name = "output"
    title = 'printed lines reaching the peer: print(f"line {i}") in a loop, stdout messages counted'
    kinds = ("vantrel", "floor")
    floors = ("floor",)
    op = "line"
    rate_unit = "lines/s"
    sizes = {"quick": (2, 20_000), "full": (3, 100_000)}
    linger = 5.0  # after the final reply, how long to wait for lines still on their way

    async def prepare(self, system):
        await probe(self.batch(system, 10), self.probe_timeout)

    async def batch(self, system, n):
        state = {"lines": 0, "last": 0}
        all_in = asyncio.Event()

        def on_message(message, arrived):
            if message.get("type") == "stdout":
                state["lines"] += str(message.get("content", "")).count("\n")
                state["last"] = arrived
                if state["lines"] >= n:
                    all_in.set()

        code = f"for _i in range({n}):\n    print(f'line {{_i}}')\n"
        start = clock()
        reply, ns = await system.link.request(execution_request(code), EXEC_FINAL, 30 + n / 1000, on_message)
        check_exec(system, reply)
        if state["lines"] < n:
            try:
                await asyncio.wait_for(all_in.wait(), self.linger)
            except asyncio.TimeoutError:
                pass
        end = max(start + ns, state["last"])
        return Batch(state["lines"], end - start, notes={"lines_lost": n - state["lines"]}, requests=1)


class BigResult(Bench):
    name = "bigresult"
    title = "10 MB str result: execution_request with function_name, chunked reply reassembled by the peer"
    kinds = ("vantrel", "floor")
    floors = ("floor",)
    op = "MB"
    batch_unit = "request"
    rate_unit = "MB/s"
    sizes = {"quick": (2, 1), "full": (5, 1)}
    probe_timeout = 60.0
    timeout = 120.0

    def warmup(self, n):
        return 1

    async def prepare(self, system):
        await probe(define(system, BIG_SETUP, self.probe_timeout), self.probe_timeout)
        await probe(self.batch(system, 1), self.probe_timeout)

    async def batch(self, system, n):
        latencies = []
        for _ in range(n):
            reply, ns = await system.link.request(execution_request("_big", "bench_big"), EXEC_FINAL, self.timeout)
            check_exec(system, reply)
            if not isinstance(reply.get("result"), str) or len(reply["result"]) != BIG_CHARS:
                raise BadReply(f"execution_result whose result is not the {BIG_CHARS}-character string")
            latencies.append(ns)
        return Batch(n * BIG_CHARS / 1e6, sum(latencies), latencies, requests=n)


class SysRequest(Bench):
    name = "sysreq"
    title = "sys_request round trip from a worker: vantrel.messaging.send_request_sync in a loop (timed by the worker)"
    kinds = ("vantrel", "floor")
    floors = ("floor",)
    sizes = {"quick": (3, 100), "full": (10, 500)}

    SETUP = ("def _bench_sysreq(n):\n"
             "    import time, vantrel\n"
             "    latencies = []\n"
             "    for _ in range(n):\n"
             "        start = time.perf_counter_ns()\n"
             "        vantrel.messaging.send_request_sync({'action': 'bench_ping'})\n"
             "        latencies.append(time.perf_counter_ns() - start)\n"
             "    return latencies\n")

    async def prepare(self, system):
        await probe(define(system, self.SETUP, self.probe_timeout), self.probe_timeout)
        await super().prepare(system)

    async def batch(self, system, n):
        before = system.link.sys_requests
        reply, ns = await system.link.request(execution_request(f"_bench_sysreq({n})", "bench_sysreq"),
                                              EXEC_FINAL, self.timeout + n * 0.1)
        check_exec(system, reply)
        latencies = reply.get("result")
        answered = system.link.sys_requests - before
        if not isinstance(latencies, list) or len(latencies) != n or answered != n:
            raise BadReply(f"execution_result after {answered} sys_requests with result {str(latencies)[:100]}")
        return Batch(n, ns, latencies, requests=1)


class Streaming(Bench):
    name = "stream"
    title = "streamed values: execute_streaming_function of a generator yielding n ints"
    kinds = ("vantrel", "floor")
    floors = ("floor",)
    op = "value"
    rate_unit = "values/s"
    sizes = {"quick": (3, 1_000), "full": (7, 5_000)}
    probe_timeout = 5.0
    timeout = 120.0

    async def prepare(self, system):
        await probe(sync_module(system, 5.0), 5.0)
        await probe(self.batch(system, 3), self.probe_timeout)

    async def batch(self, system, n):
        state = {"values": 0}

        def on_message(message, arrived):
            if message.get("type") == "streaming_function_result" and message.get("done") is False:
                state["values"] += 1

        def is_final(message):
            return message.get("type") == "streaming_function_result" and message.get("done") is not False

        message = {"type": "execute_streaming_function", "request_id": new_id("stream"),
                   "module_name": CELL_MODULE, "function_name": "count", "args": [n],
                   "workbook_id": system.workbook_id, "source": "addin"}
        reply, ns = await system.link.request(message, is_final, self.timeout, on_message)
        if reply.get("error") or state["values"] != n:
            raise BadReply(f"stream ended after {state['values']} values: {str(reply.get('error'))[:300]}")
        return Batch(n, ns, requests=1)


BENCHES = [Console(), CellCall(), CellCalls10(), CellCalls100(), Output(), BigResult(), SysRequest(), Streaming()]
