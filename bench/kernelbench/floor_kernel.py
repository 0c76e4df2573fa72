"""The floor: a minimal pure-Python kernel of the same design as the real one.

    python floor_kernel.py WS_URL

One event loop reads frames; each request is a task that runs the user code with
``loop.run_in_executor`` on a ThreadPoolExecutor of 10 threads and sends its replies
with ``json.dumps`` under one asyncio.Lock (a text longer than 65536 characters goes
out as chunk messages, the lock held for all pieces). Output is sent as the real kernel
sends it: one ``asyncio.run_coroutine_threadsafe`` of a send coroutine per write, from the
worker thread. The replies have the real kernel's shapes, so the peer treats both alike:
execution_request (the value of a single expression, sent as is with ``function_name``),
update_module + custom_function_call, execute_streaming_function (each value sent and
waited for before the generator advances, 1 ms pause after every 10th value, as the
design prescribes) and ``vantrel.messaging.send_request_sync``.
Nothing is logged, checked or guarded beyond that: it is what such a kernel cannot avoid.
"""
import asyncio, io, json, sys, threading, time, types, uuid  # noqa: E401
from concurrent.futures import ThreadPoolExecutor

import websockets

CHUNK = 65536


async def main(url):
    loop, pool, lock = asyncio.get_running_loop(), ThreadPoolExecutor(10), asyncio.Lock()
    ns, waiting, local = {}, {}, threading.local()
    async with websockets.connect(url) as ws:
        async def send(msg):
            text = json.dumps(msg)
            async with lock:
                if len(text) <= CHUNK:
                    return await ws.send(text)
                cid, n = str(uuid.uuid4()), -(-len(text) // CHUNK)
                for i in range(n):
                    await ws.send(json.dumps({
                        "type": "chunk", "chunk_id": cid, "chunk_index": i, "total_chunks": n,
                        "data": text[i * CHUNK:(i + 1) * CHUNK], "original_type": msg["type"],
                        "request_id": str(msg.get("request_id"))}))

        def post(msg):  # from a worker thread, without waiting
            return asyncio.run_coroutine_threadsafe(send(msg), loop)

        class Out(io.TextIOBase):  # routes each write to the request running on this thread
            def write(self, text):
                if text:
                    post({"type": "stdout", "content": text, "request_id": getattr(local, "rid", None)})
                return len(text)

        def send_request_sync(req, timeout=30.0):
            rid, event = uuid.uuid4().hex, threading.Event()
            waiting[rid] = [event, None]
            post({"type": "sys_request", "payload": {**req, "requestId": rid, "kind": "request"}})
            event.wait(timeout)
            return waiting.pop(rid)[1]

        sys.stdout = Out()
        sys.modules["vantrel"] = vantrel = types.ModuleType("vantrel")
        vantrel.messaging = types.SimpleNamespace(send_request_sync=send_request_sync)

        def run_code(code, rid):  # a single expression gives a value; anything else runs as statements
            local.rid = rid
            try:
                compiled = compile(code, "<kernel>", "eval")
            except SyntaxError:
                return exec(compile(code, "<kernel>", "exec"), ns)
            return eval(compiled, ns)

        def call(m, rid):
            local.rid = rid
            value = getattr(sys.modules[m["module_name"]], m["function_name"])(*m.get("args", []))
            if not m["type"].startswith("execute_streaming"):
                return value
            count = 0
            for count, item in enumerate(value, 1):
                post({"type": "streaming_function_result", "request_id": rid, "result": item,
                      "done": False}).result(1.0)
                if count % 10 == 0:  # the design's pause after every 10th value
                    time.sleep(0.001)
            return count

        async def handle(m):
            rid, kind, wb = m.get("request_id"), m.get("type"), m.get("workbook_id")
            try:
                if kind == "execution_request":
                    value = await loop.run_in_executor(pool, run_code, m.get("code", ""), rid)
                    if value is not None:
                        await send({"type": "result_output", "content": f"Out: {value!r}\n", "request_id": rid})
                    result = value if m.get("function_name") else None if value is None else repr(value)
                    return await send({"type": "execution_result", "success": True, "result": result,
                                       "request_id": rid, "function_name": m.get("function_name")})
                value = await loop.run_in_executor(pool, call, m, rid)
                if kind == "execute_streaming_function":
                    return await send({"type": "streaming_function_result", "request_id": rid, "done": True})
                if value is not None:
                    await send({"type": "result_output", "content": f"Out: {value!r}\n", "request_id": rid})
                await send({"type": "execution_result", "success": True, "result": value, "request_id": rid,
                            "workbook_id": wb})
                await send({"type": "function_execution_result", "request_id": rid, "status": "success",
                            "result": value})
            except Exception as e:
                await send({"type": "execution_error", "success": False, "error": repr(e), "request_id": rid})

        tasks = set()
        async for frame in ws:
            m = json.loads(frame)
            if m.get("type") == "sys_response":
                entry = waiting.get(m["payload"]["requestId"])
                entry[1] = m["payload"]
                entry[0].set()
            elif m.get("type") == "update_module":
                module = sys.modules[m["module_name"]] = types.ModuleType(m["module_name"])
                exec(compile(m["code"], f"<virtual:{m['module_name']}>", "exec"), module.__dict__)
                await send({"type": "module_updated", "module_name": m["module_name"]})
            else:
                task = asyncio.create_task(handle(m))
                tasks.add(task)
                task.add_done_callback(tasks.discard)


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1]))
