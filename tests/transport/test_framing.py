"""Outgoing framing: one frame up to CHUNK_SIZE characters of JSON text, chunk messages
above it, all writes under the socket lock; what happens when the kernel cannot send."""
import asyncio
import json
import logging
import uuid

import pytest

from .conftest import FakeWebSocket, kernel_session, kmod, run, wire_fake_socket

CHUNK_KEYS = ["type", "chunk_id", "chunk_index", "total_chunks", "data", "original_type", "request_id"]


def message_of_length(n_chars, **fields):
    """A message whose JSON text (as the kernel encodes it) is exactly n_chars
    characters long, with plenty of non-ASCII text (2-, 3- and 4-byte UTF-8)."""
    message = {"type": "big", **fields, "text": "é€😀" * 5000}
    short = n_chars - len(kmod.json_dumps(message))
    assert short >= 0
    message["text"] += "a" * short
    assert len(kmod.json_dumps(message)) == n_chars
    return message


def new_kernel(workbook_id="wb-framing"):
    return kmod.PythonKernel(workbook_id)


# ---------------------------------------------------------------------------
# Whole frames and chunks
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("n_chars, pieces", [(65536, 0), (65537, 2), (2 * 65536, 2), (2 * 65536 + 1, 3)])
def test_json_text_is_cut_into_pieces_of_65536_characters(n_chars, pieces):
    async def main():
        kernel = new_kernel()
        ws = wire_fake_socket(kernel)
        message = message_of_length(n_chars, request_id="r-7")
        raw = kmod.json_dumps(message)
        assert len(raw.encode("utf-8")) > n_chars + 20000  # characters, not bytes, are counted
        await kernel.send_message(message)
        if pieces == 0:
            assert ws.frames == [raw]
            return
        chunks = [json.loads(frame) for frame in ws.frames]
        assert len(chunks) == pieces
        chunk_id = chunks[0]["chunk_id"]
        assert str(uuid.UUID(chunk_id)) == chunk_id and uuid.UUID(chunk_id).version == 4
        for index, chunk in enumerate(chunks):
            assert list(chunk) == CHUNK_KEYS
            assert chunk["type"] == "chunk" and chunk["chunk_id"] == chunk_id
            assert (chunk["chunk_index"], chunk["total_chunks"]) == (index, pieces)
            assert (chunk["original_type"], chunk["request_id"]) == ("big", "r-7")
        assert [len(c["data"]) for c in chunks[:-1]] == [65536] * (pieces - 1)
        assert len(chunks[-1]["data"]) == n_chars - 65536 * (pieces - 1)
        assert "".join(c["data"] for c in chunks) == raw

    run(main())


def test_boundary_over_a_real_socket():
    async def main():
        async with kernel_session() as s:
            whole = message_of_length(65536, request_id="whole")
            split = message_of_length(65537)
            before = len(s.server.raw_frames(s.wb))
            await s.kernel.send_message(whole)
            await s.kernel.send_message(split)
            await s.wait_for(lambda m: m.get("type") == "big" and m.get("request_id") == "whole")
            got = await s.wait_for(lambda m: m.get("type") == "big" and "request_id" not in m)
            assert got == split
            frames = s.server.raw_frames(s.wb)[before:before + 3]
            assert frames[0] == kmod.json_dumps(whole)
            chunks = [json.loads(f) for f in frames[1:]]
            assert [(c["chunk_index"], c["total_chunks"], len(c["data"])) for c in chunks] == [(0, 2, 65536),
                                                                                                 (1, 2, 1)]
            assert chunks[0]["chunk_id"] == chunks[1]["chunk_id"]
            assert [(c["original_type"], c["request_id"]) for c in chunks] == [("big", "N/A")] * 2
            assert s.server.errors(s.wb) == []

    run(main())


def test_pieces_of_one_message_are_never_interleaved_with_other_sends():
    async def main():
        kernel = new_kernel()
        ws = wire_fake_socket(kernel)
        big = message_of_length(3 * 65536)
        smalls = [{"type": "small", "i": i} for i in range(6)]
        await asyncio.gather(kernel.send_message(smalls[0]), kernel.send_message(big),
                             *(kernel.send_message(m) for m in smalls[1:]))
        frames = [json.loads(f) for f in ws.frames]
        assert len(frames) == 3 + len(smalls)
        at = [i for i, f in enumerate(frames) if f["type"] == "chunk"]
        assert at == list(range(at[0], at[0] + 3))
        assert [f["chunk_index"] for f in frames if f["type"] == "chunk"] == [0, 1, 2]
        assert sorted(f["i"] for f in frames if f["type"] == "small") == list(range(6))
        assert not kernel._socket_lock.locked()

    run(main())


@pytest.mark.parametrize("fields, envelope", [
    ({"type": 5, "request_id": None}, ("5", "N/A")),
    ({"type": None, "request_id": 7}, ("unknown", "7")),
    ({"type": "x", "request_id": ["a", 1]}, ("x", "['a', 1]")),
    ({}, ("unknown", "N/A")),
])
def test_chunk_envelope_for_missing_or_non_text_type_and_request_id(fields, envelope):
    async def main():
        kernel = new_kernel()
        ws = wire_fake_socket(kernel)
        message = {**fields, "pad": "p" * 70000}
        await kernel.send_message(message)
        chunks = [json.loads(f) for f in ws.frames]
        assert len(chunks) == 2
        assert {(c["original_type"], c["request_id"]) for c in chunks} == {envelope}
        assert json.loads("".join(c["data"] for c in chunks)) == message

    run(main())


# ---------------------------------------------------------------------------
# When sending cannot happen
# ---------------------------------------------------------------------------

def test_sending_while_disconnected_logs_and_drops(klog):
    async def main():
        kernel = new_kernel()
        assert await kernel.send_message({"type": "hello", "request_id": "r1"}) is None
        assert await kernel.send_message({"request_id": "r2"}) is None
        kernel.websocket = FakeWebSocket()  # a socket but no lock yet
        assert await kernel.send_message({"type": "late"}) is None
        assert kernel.websocket.frames == []

    run(main())
    assert klog.texts(logging.WARNING) == [
        "[Kernel] Cannot send message type 'hello': WebSocket not connected",
        "[Kernel] Cannot send message type 'unknown': WebSocket not connected",
        "[Kernel] Cannot send message type 'late': Socket lock not initialized",
    ]


def test_encoding_and_socket_errors_reach_the_caller_and_free_the_lock(monkeypatch):
    async def main():
        kernel = new_kernel()
        ws = wire_fake_socket(kernel)
        with pytest.raises(TypeError):
            await kernel.send_message({"type": "x", "value": object()})

        def refuse(obj):
            raise ValueError("cannot encode this")

        monkeypatch.setattr(kmod, "json_dumps", refuse)  # looked up at every send
        with pytest.raises(ValueError, match="cannot encode this"):
            await kernel.send_message({"type": "x"})
        monkeypatch.undo()

        async def broken_send(frame):
            raise ConnectionError("socket gone")

        ws.send = broken_send
        with pytest.raises(ConnectionError, match="socket gone"):
            await kernel.send_message({"type": "x"})
        with pytest.raises(ConnectionError, match="socket gone"):
            await kernel.send_message(message_of_length(70000))
        assert not kernel._socket_lock.locked()

        ws2 = wire_fake_socket(kernel)
        await kernel.send_message({"type": "after"})
        assert ws2.frames == [kmod.json_dumps({"type": "after"})]

    run(main())


def test_framing_methods_check_their_argument_types():
    kernel = new_kernel()
    with pytest.raises(TypeError, match=r"^Argument 'message' has incorrect type \(expected dict, got list\)$"):
        kernel.send_message([])
    with pytest.raises(TypeError, match=r"^Argument 'request_id' has incorrect type \(expected str, got NoneType\)$"):
        kernel._send_chunked_message("{}", "t", None)
    with pytest.raises(TypeError, match=r"expected dict, got str"):
        kernel._handle_chunk_message("chunk")
