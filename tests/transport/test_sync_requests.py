"""Synchronous requests from worker threads (the bridge's send_request_sync while a
kernel is connected) and the process-wide stream sender."""
import asyncio
import concurrent.futures
import contextlib
import logging
import re
import sys
import threading

import pytest

from .conftest import bridge, kernel_session, run


@contextlib.asynccontextmanager
async def manual_session():
    """A session whose peer does not answer sys_request by itself, and worker threads
    that call the bridge as user code does."""
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=4, thread_name_prefix="user-code")
    try:
        async with kernel_session(auto_answer=False) as s:
            loop = asyncio.get_running_loop()

            def call(req, timeout=5.0):
                def worker():
                    # looked up at call time, as the bridge's own operations do
                    return bridge.messaging.send_request_sync(req, timeout)

                return loop.run_in_executor(pool, worker)

            s.call = call
            yield s
    finally:
        pool.shutdown(wait=True)


def request_with(s, **fields):
    def match(message):
        payload = message.get("payload") or {}
        return message.get("type") == "sys_request" and all(payload.get(k) == v for k, v in fields.items())

    return s.wait_for(match)


async def answer(s, request_id, **fields):
    await s.send({"type": "sys_response", "payload": {"requestId": request_id, **fields}})


def test_workers_are_released_in_the_order_answers_arrive_while_the_loop_serves():
    async def main():
        async with manual_session() as s:
            first = s.call({"action": "get_value", "n": 1})
            second = s.call({"action": "get_value", "n": 2})
            id1 = (await request_with(s, n=1))["payload"]["requestId"]
            id2 = (await request_with(s, n=2))["payload"]["requestId"]
            assert id1 != id2
            await s.mark()  # both workers wait; the loop keeps reading and answering
            assert not first.done() and not second.done()
            await answer(s, id2, result="two")
            assert await asyncio.wait_for(second, 5) == {"requestId": id2, "result": "two"}
            assert not first.done()
            await answer(s, id1, result="one")
            assert await asyncio.wait_for(first, 5) == {"requestId": id1, "result": "one"}
            assert s.kernel._response_futures == {} and s.kernel._response_data == {}

    run(main())


def test_the_request_payload_and_the_callers_dict():
    async def main():
        async with manual_session() as s:
            req = {"action": "set_value", "value": [1, "é"], "kind": "mine", "requestId": "mine"}
            original = {**req}
            pending = s.call(req)
            message = await s.wait_for("sys_request")
            assert list(message) == ["type", "payload"]
            payload = message["payload"]
            assert re.fullmatch(r"[0-9a-f]{32}", payload["requestId"])
            assert payload == {**original, "requestId": payload["requestId"], "kind": "request"}
            await answer(s, payload["requestId"], result=None)
            await asyncio.wait_for(pending, 5)
            assert req == original

    run(main())


@pytest.mark.parametrize("extra", [{}, {"payload": {}}, {"payload": None}])
def test_an_answer_without_payload_is_matched_by_its_own_request_id(extra):
    async def main():
        async with manual_session() as s:
            pending = s.call({"action": "get_value"})
            request_id = (await s.wait_for("sys_request"))["payload"]["requestId"]
            response = {"type": "sys_response", **extra, "requestId": request_id, "result": 5}
            await s.send(response)
            assert await asyncio.wait_for(pending, 5) == response

    run(main())


def test_an_answer_without_request_id_releases_nobody(klog):
    async def main():
        async with manual_session() as s:
            pending = s.call({"action": "get_value"})
            request_id = (await s.wait_for("sys_request"))["payload"]["requestId"]
            await s.send({"type": "sys_response", "payload": {"result": 1}})
            await s.send({"type": "sys_response", "result": 2})
            await s.send({"type": "sys_response", "payload": {"requestId": "", "result": 3}})
            assert [m for m in await s.mark() if m["type"] != "sys_request"] == []
            assert not pending.done()
            await answer(s, request_id, result=4)
            assert (await asyncio.wait_for(pending, 5))["result"] == 4

    run(main())
    assert klog.texts(logging.WARNING).count("[Kernel] Received sys_response without requestId") == 3


def test_a_request_times_out_and_a_late_answer_is_unknown(klog):
    async def main():
        async with manual_session() as s:
            pending = s.call({"action": "slow"}, timeout=0.5)
            request_id = (await s.wait_for("sys_request"))["payload"]["requestId"]
            with pytest.raises(TimeoutError) as caught:
                await asyncio.wait_for(pending, 5)
            assert str(caught.value) == f"sys_request timeout after 0.5s: {request_id}"
            assert s.kernel._response_futures == {}
            await answer(s, request_id, result="late")
            await s.mark()
            # an integer timeout is reported as a float
            pending = s.call({"action": "at once"}, timeout=0)
            with pytest.raises(TimeoutError, match=r"^sys_request timeout after 0\.0s: [0-9a-f]{32}$"):
                await asyncio.wait_for(pending, 5)
            return request_id

    request_id = run(main())
    assert f"[Kernel] Received sys_response for unknown request_id: {request_id}" in klog.texts(logging.WARNING)
    timeouts = [t for t in klog.texts(logging.ERROR) if t.endswith(f"sys_request timeout: {request_id}")]
    assert len(timeouts) == 1
    assert re.fullmatch(r"\[Kernel\] \[Worker Thread user-code_\d+\] sys_request timeout: [0-9a-f]{32}", timeouts[0])


def test_an_event_set_without_an_answer_is_an_error(klog):
    async def main():
        async with manual_session() as s:
            pending = s.call({"action": "get_value"})
            request_id = (await s.wait_for("sys_request"))["payload"]["requestId"]
            with s.kernel._response_lock:
                s.kernel._response_futures[request_id].set()
            with pytest.raises(RuntimeError) as caught:
                await asyncio.wait_for(pending, 5)
            assert str(caught.value) == f"sys_response data missing for request_id: {request_id}"
            return request_id

    request_id = run(main())
    assert f"[Kernel] sys_response data missing for request_id: {request_id}" in klog.texts(logging.ERROR)


def test_a_request_from_the_event_loop_thread_is_refused_before_sending():
    async def main():
        async with manual_session() as s:
            with pytest.raises(RuntimeError) as caught:
                bridge.messaging.send_request_sync({"action": "get_value"}, 5.0)
            assert str(caught.value) == ("send_sys_request must not be called from the async event loop thread "
                                         "to avoid deadlock")
            assert await s.mark() == []
            assert s.kernel._response_futures == {}

    run(main())


def test_output_from_any_thread_becomes_stream_messages():
    async def main():
        async with kernel_session() as s:
            def other_thread():
                print("from a thread")
                sys.stderr.write("to stderr")

            thread = threading.Thread(target=other_thread)
            thread.start()
            thread.join()
            print("from the loop é€😀")
            await s.wait_for(lambda m: m.get("content") == "to stderr")
            await s.wait_for(lambda m: m.get("content") == "from the loop é€😀")
            streamed = [m for m in await s.mark() if m["type"] in ("stdout", "stderr")]
            assert all(list(m) == ["type", "content", "workbook_id"] and m["workbook_id"] == s.wb for m in streamed)
            out = "".join(m["content"] for m in streamed if m["type"] == "stdout")
            assert out == "from a thread\nfrom the loop é€😀\n"
            assert [m["content"] for m in streamed if m["type"] == "stderr"] == ["to stderr"]

    run(main())
