import asyncio
import concurrent.futures
import datetime as dt
import json
import os
import shutil
import subprocess
import sys
import uuid
from pathlib import Path

import pytest
from websockets.asyncio.client import connect
from websockets.exceptions import InvalidStatus

from vantrel_master.devtools.business_layer import DevBusinessLayer
from vantrel_master.devtools.tls import make_throwaway_server_context, make_unverified_client_context
from vantrel_master.python_server import vantrel


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 20))


def sys_request(request_id, **fields):
    return json.dumps({"type": "sys_request", "payload": {**fields, "requestId": request_id, "kind": "request"}})


async def write_then_read(server, client_ssl=None):
    async with connect(server.kernel_url("wb1"), ssl=client_ssl) as ws:
        await server.wait_connected("wb1")
        await ws.send(sys_request("r1", action="set_value", sheet="Sheet1", address="B2", value=41.5))
        assert json.loads(await ws.recv()) == {"type": "sys_response", "payload": {"requestId": "r1", "result": None}}
        await ws.send(sys_request("r2", action="get_value", sheet="Sheet1", address="b2"))
        assert json.loads(await ws.recv()) == {"type": "sys_response", "payload": {"requestId": "r2", "result": 41.5}}
        await ws.send(sys_request("r3", action="get_value", sheet="Missing", address="A1"))
        answer = json.loads(await ws.recv())["payload"]
        assert answer["requestId"] == "r3" and "Unknown sheet" in answer["error"]
    await server.wait_disconnected("wb1")
    assert [m["payload"]["requestId"] for m in server.messages("wb1")] == ["r1", "r2", "r3"]
    assert server.workbook("wb1").sheets["Sheet1"] == {"B2": 41.5}


def test_sys_requests_answered_from_the_in_memory_workbook():
    async def main():
        async with DevBusinessLayer() as server:
            assert server.url.startswith("ws://127.0.0.1:") and server.port > 0
            await write_then_read(server)
    run(main())


@pytest.mark.parametrize("backend", [
    "cryptography",
    pytest.param("openssl", marks=pytest.mark.skipif(shutil.which("openssl") is None, reason="no openssl tool")),
])
def test_tls_with_a_throwaway_certificate(backend):
    if backend == "cryptography":
        pytest.importorskip("cryptography")

    async def main():
        async with DevBusinessLayer(ssl_context=make_throwaway_server_context(backend=backend)) as server:
            assert server.url.startswith("wss://")
            await write_then_read(server, client_ssl=make_unverified_client_context())
    run(main())


def test_other_paths_are_refused_with_404():
    async def main():
        async with DevBusinessLayer() as server:
            for path in ["/", "/ws/kernel/", "/ws/kernels/wb1", "/ws/kernel/a/b"]:
                with pytest.raises(InvalidStatus) as info:
                    async with connect(server.url + path):
                        pass
                assert info.value.response.status_code == 404, path
            assert server.connections == {}
            # an encoded id and a query string are fine
            async with connect(server.url + "/ws/kernel/my%20book?x=1"):
                await server.wait_connected("my book")
    run(main())


def test_chunks_are_reassembled_and_batches_expanded():
    original = {"type": "execution_result", "request_id": "q1", "result": "é\"\\" * 50 + "x" * 300}
    text = json.dumps(original)
    pieces = [text[i:i + 100] for i in range(0, len(text), 100)]
    assert len(pieces) >= 3

    def chunk(index, chunk_id="c1", total=len(pieces), data=None):
        return json.dumps({"type": "chunk", "chunk_id": chunk_id, "chunk_index": index, "total_chunks": total,
                           "data": pieces[index] if data is None else data,
                           "original_type": "execution_result", "request_id": "q1"})

    batch = {"type": "batch", "messages": [{"type": "stdout", "content": "a"}, {"type": "stdout", "content": "b"}]}
    batch_text = json.dumps(batch)

    async def main():
        async with DevBusinessLayer() as server:
            async with connect(server.kernel_url("wb1")) as ws:
                order = [2, 0] + list(range(3, len(pieces))) + [0, 1]  # out of order, 0 twice
                await ws.send(chunk(order[0]))
                await ws.send(json.dumps({"type": "stdout", "content": "between"}))
                # a second split message interleaved with the first, carrying a batch
                await ws.send(chunk(1, "c2", 2, batch_text[20:]))
                for index in order[1:]:
                    await ws.send(chunk(index))
                await ws.send(chunk(0, "c2", 2, batch_text[:20]))
                # rejected pieces
                await ws.send(chunk(len(pieces), "c3", data="x"))
                await ws.send(json.dumps({"type": "chunk", "chunk_index": 0, "total_chunks": 1, "data": "{}"}))
                await ws.send(chunk(0, "c4", 1, "{not json"))
                await ws.send(chunk(0, "c5", 1, json.dumps({"type": "chunk"})))
                await ws.send("not json")
                await ws.send(json.dumps(batch))
                await ws.send(json.dumps({"type": "done"}))
                await server.wait_for("wb1", "done")
            messages = server.messages("wb1")
            assert messages == [{"type": "stdout", "content": "between"}, original,
                                batch["messages"][0], batch["messages"][1],
                                batch["messages"][0], batch["messages"][1], {"type": "done"}]
            assert len(server.raw_frames("wb1")) == len(order) + 10
            reasons = [e["error"] for e in server.errors("wb1")]
            assert len(reasons) == 5 and "not valid JSON" in reasons[2] and "itself a chunk" in reasons[3]
    run(main())


def test_server_sends_to_the_kernel_and_waits_for_messages():
    async def main():
        async with DevBusinessLayer() as server:
            with pytest.raises(RuntimeError, match="no kernel connected"):
                await server.send("wb1", {"type": "ping"})
            async with connect(server.kernel_url("wb1")) as ws:
                await server.wait_connected("wb1")
                await server.send("wb1", {"type": "execution_request", "code": "1+1"})
                assert json.loads(await ws.recv()) == {"type": "execution_request", "code": "1+1"}

                big = {"type": "update_module", "module_name": "m", "code": "x = 1\n" * 30000}
                await server.send_chunked("wb1", big, chunk_size=65536)
                frames = []
                while not frames or frames[-1]["chunk_index"] < frames[-1]["total_chunks"] - 1:
                    frames.append(json.loads(await ws.recv()))
                expected = -(-len(json.dumps(big)) // 65536)
                assert [f["chunk_index"] for f in frames] == list(range(expected))
                assert list(frames[0]) == ["type", "chunk_id", "chunk_index", "total_chunks", "data",
                                           "original_type", "request_id"]
                assert {(f["original_type"], f["request_id"]) for f in frames} == {("update_module", "N/A")}
                assert json.loads("".join(f["data"] for f in frames)) == big

                for text in ["one", "two"]:
                    await ws.send(json.dumps({"type": "stdout", "content": text}))
                # each wait returns the next message not yet returned
                assert (await server.wait_for("wb1", "stdout"))["content"] == "one"
                assert (await server.wait_for("wb1", lambda m: m.get("type") == "stdout"))["content"] == "two"
                with pytest.raises(TimeoutError, match="received types: \\['stdout', 'stdout'\\]"):
                    await server.wait_for("wb1", "stdout", timeout=0.1)
                waiter = asyncio.create_task(server.wait_for("wb1", "stderr"))
                await ws.send(json.dumps({"type": "stderr", "content": "late"}))
                assert (await waiter)["content"] == "late"
    run(main())


def test_auto_answer_can_be_switched_off():
    async def main():
        async with DevBusinessLayer(auto_answer=False) as server:
            async with connect(server.kernel_url("wb1")) as ws:
                await ws.send(sys_request("r1", action="get_sheet_names"))
                await ws.send(json.dumps({"type": "marker"}))
                await server.wait_for("wb1", "marker")
                # frames are taken in order, so an answer would already have been sent
                await server.send("wb1", {"type": "after"})
                assert json.loads(await ws.recv()) == {"type": "after"}
                assert (await server.wait_for("wb1", "sys_request"))["payload"]["requestId"] == "r1"
    run(main())


def test_bridge_excel_end_to_end_from_a_worker_thread(monkeypatch):
    """User code on a worker thread uses vantrel.excel; a stand-in for the kernel's
    synchronous request channel carries the requests over the WebSocket."""

    async def main():
        async with DevBusinessLayer() as server:
            async with connect(server.kernel_url("wb1")) as ws:
                loop = asyncio.get_running_loop()
                waiting = {}

                async def reader():
                    async for frame in ws:
                        message = json.loads(frame)
                        if message["type"] == "sys_response":
                            waiting.pop(message["payload"]["requestId"]).set_result(message["payload"])

                def send_request_sync(req, timeout=30.0):
                    payload = dict(req, requestId=uuid.uuid4().hex, kind="request")
                    future = waiting[payload["requestId"]] = concurrent.futures.Future()
                    text = json.dumps({"type": "sys_request", "payload": payload})
                    asyncio.run_coroutine_threadsafe(ws.send(text), loop)
                    return future.result(timeout)

                def user_code():
                    excel = vantrel.excel
                    when = dt.datetime(2024, 3, 1, 9, 30)
                    excel.set_value("Sheet1", "A1", when)
                    excel.set_range("Sheet1", "B1", [[1, "two"], [3.5, None]])
                    with pytest.raises(vantrel.ExcelRequestError, match="Unknown sheet"):
                        excel.get_value("Nope", "A1")
                    return (excel.get_value("Sheet1", "A1"), excel.get_range("Sheet1", "A1:C2"),
                            excel.get_sheet_names(), vantrel.context.active_sheet())

                monkeypatch.setattr(vantrel.messaging, "send_request_sync", send_request_sync)
                reading = asyncio.create_task(reader())
                try:
                    result = await loop.run_in_executor(None, user_code)
                finally:
                    reading.cancel()
            when = dt.datetime(2024, 3, 1, 9, 30)
            assert result == (when, [[when, 1, "two"], [None, 3.5, None]], ["Sheet1"], "Sheet1")
            # the workbook holds the wire form
            assert server.workbook("wb1").sheets["Sheet1"]["A1"] == {"__vantrel__": "datetime",
                                                                    "value": "2024-03-01T09:30:00"}
    run(main())


def test_command_line_prints_received_messages():
    src = Path(__file__).resolve().parents[2] / "src"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(src), os.environ.get("PYTHONPATH")])))
    process = subprocess.Popen(
        [sys.executable, "-m", "vantrel_master.devtools.business_layer", "--port", "0"],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        for line in process.stderr:
            if line.startswith("listening on "):
                base = line.split()[2].split("/ws/kernel/")[0]
                break
        else:
            pytest.fail("the server did not start")

        async def client():
            async with connect(base + "/ws/kernel/wb9") as ws:
                await ws.send(json.dumps({"type": "batch", "messages": [{"type": "stdout", "content": "hi"}]}))
                await ws.send(sys_request("r1", action="get_active_sheet"))
                return json.loads(await ws.recv())

        assert run(client())["payload"] == {"requestId": "r1", "result": "Sheet1"}
        assert json.loads(process.stdout.readline()) == {"workbook_id": "wb9",
                                                         "message": {"type": "stdout", "content": "hi"}}
        assert json.loads(process.stdout.readline())["message"]["type"] == "sys_request"
    finally:
        process.kill()
        process.wait()
        process.stdout.close()
        process.stderr.close()
