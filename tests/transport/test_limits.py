"""What a peer can make the kernel keep is bounded, and a truth test that raises is an
error, never a silent false."""
import logging
import threading

from .conftest import kernel_session, kmod, run


def test_unclaimed_sys_responses_are_kept_up_to_a_limit(klog):
    async def main():
        async with kernel_session() as s:
            waiting = s.kernel._response_futures
            waiting["claimed"] = threading.Event()  # stands for a worker that is still waiting
            await s.send({"type": "sys_response", "payload": {"requestId": "claimed", "n": -1}})
            for n in range(1030):
                await s.send({"type": "sys_response", "payload": {"requestId": f"late-{n}", "n": n}})
            await s.send({"type": "sys_response", "payload": ["not", "an", "object"]})
            replies = await s.mark()
            data = s.kernel._response_data
            assert len(data) == 1025
            assert data["claimed"] == {"requestId": "claimed", "n": -1} and waiting["claimed"].is_set()
            assert "late-5" not in data and data["late-6"]["n"] == 6 and data["late-1029"]["n"] == 1029
            assert replies == [{"type": "error", "message": "Error handling sys_response: "
                                                            "sys_response payload must be an object, not list"}]

    run(main())
    dropped = [t for t in klog.texts(logging.WARNING) if t.startswith("[Kernel] Dropped")]
    assert dropped[0] == "[Kernel] Dropped 1 unclaimed sys_response payloads (at most 1024 are kept)"
    assert len(dropped) == 6


def test_open_chunked_messages_are_bounded_in_number_and_size(klog):
    def piece(chunk_id, index, total, data):
        return {"type": "chunk", "chunk_id": chunk_id, "chunk_index": index, "total_chunks": total, "data": data}

    async def main():
        kernel = kmod.PythonKernel("wb-chunks")
        try:
            for n in range(65):
                assert await kernel._handle_chunk_message(piece(f"id-{n}", 0, 2, '{"a": ')) is None
            assert len(kernel._chunk_buffers) == 64 and "id-0" not in kernel._chunk_buffers
            whole = await kernel._handle_chunk_message(piece("id-64", 1, 2, f'"{n}"}}'))
            assert whole == {"a": "64"}

            big = "x" * (60 * 1024 * 1024)  # one string, counted once per buffer that holds it
            for n in range(5):
                await kernel._handle_chunk_message(piece(f"big-{n}", 0, 2, big))
            held = [cid for cid in kernel._chunk_buffers if cid.startswith("big-")]
            assert held == ["big-1", "big-2", "big-3", "big-4"]
        finally:
            kernel._thread_pool.shutdown(wait=False)

    run(main())
    warnings = klog.texts(logging.WARNING)
    assert "[Kernel] Dropped incomplete chunked message id-0: more than 64 chunked messages are open" in warnings
    assert ("[Kernel] Dropped incomplete chunked message big-0: more than 268435456 characters of chunks "
            "are buffered") in warnings


def test_a_truth_test_that_raises_is_answered_as_an_error():
    class Undecided:
        def __bool__(self):
            raise ValueError("cannot tell")

    async def main():
        async with kernel_session() as s:
            s.kernel._lsp_bridge = Undecided()
            s.kernel._com_event_registrar = Undecided()
            await s.send({"type": "set_hover_mode", "mode": "full"})
            await s.send({"type": "com_event_config_update", "com_config": {}})
            replies = [m for m in s.messages()[s.ready_at:] if m["type"] == "error"]
            while len(replies) < 2:
                await s.wait_for("error")
                replies = [m for m in s.messages()[s.ready_at:] if m["type"] == "error"]
            assert replies == [{"type": "error", "message": "Error handling set_hover_mode: cannot tell"},
                               {"type": "error", "message": "Error handling com_event_config_update: cannot tell"}]
            assert (await s.execute("1 + 1", "still-serving"))["result"] == "2"
            s.kernel._com_event_registrar = None

    run(main())
