"""Reassembly of inbound chunk messages: order, duplicates, interleaving, and every
way a piece or a reassembled text is refused (each with its log line)."""
import json
import logging

import pytest

from .conftest import kernel_session, kmod, run

ORIGINAL = {"type": "execution_request", "code": "x = 'é€😀' * 3", "request_id": "r-chunks"}
TEXT = json.dumps(ORIGINAL, ensure_ascii=False)


def piece(chunk_id, index, total, data=None, **extra):
    message = {"type": "chunk", "chunk_id": chunk_id, "chunk_index": index, "total_chunks": total, **extra}
    if data is not None:
        message["data"] = data
    return message


def split(text, n):
    size = -(-len(text) // n)
    return [text[i * size:(i + 1) * size] for i in range(n)]


def feed(kernel, *pieces):
    async def main():
        return [await kernel._handle_chunk_message(p) for p in pieces]

    return run(main())


@pytest.fixture
def kernel():
    return kmod.PythonKernel("wb-chunks")


def test_pieces_out_of_order_reassemble_and_the_buffer_goes(kernel, klog):
    parts = split(TEXT, 3)
    results = feed(kernel, piece("c1", 2, 3, parts[2]), piece("c1", 0, 3, parts[0]), piece("c1", 1, 3, parts[1]))
    assert results[:2] == [None, None]
    assert results[2] == ORIGINAL
    assert kernel._chunk_buffers == {}
    assert klog.texts(logging.ERROR) == []


def test_a_repeated_piece_is_ignored_and_the_first_copy_wins(kernel):
    parts = split(TEXT, 2)
    assert feed(kernel, piece("c1", 0, 2, parts[0]), piece("c1", 0, 2, "garbage")) == [None, None]
    assert kernel._chunk_buffers["c1"] == {"chunks": [parts[0], None], "received": 1, "total": 2}
    assert feed(kernel, piece("c1", 1, 2, parts[1])) == [ORIGINAL]


def test_pieces_of_different_messages_interleave(kernel):
    other = {"type": "sys_response", "payload": {"requestId": "abc", "result": [1, 2]}}
    a, b = split(TEXT, 2), split(json.dumps(other), 2)
    results = feed(kernel, piece("A", 0, 2, a[0]), piece("B", 1, 2, b[1]), piece("B", 0, 2, b[0]),
                   piece("A", 1, 2, a[1]))
    assert results == [None, None, other, ORIGINAL]


def test_missing_data_counts_as_empty_text_and_booleans_count_as_integers(kernel):
    assert feed(kernel, piece("x", 0, 3, '{"type": "t"'), piece("x", 1, 3), piece("x", 2, 3, "}")) \
        == [None, None, {"type": "t"}]
    assert feed(kernel, piece("y", True, 2, "}"), piece("y", 0, 2, '{"a": 1')) == [None, {"a": 1}]


def test_json_null_completes_the_buffer_without_a_message(kernel, klog):
    assert feed(kernel, piece("n", 0, 2, "nu"), piece("n", 1, 2, "ll")) == [None, None]
    assert kernel._chunk_buffers == {}
    assert klog.texts(logging.ERROR) == []


MISSING = "[Kernel] Invalid chunk message: missing required fields"
NOT_INT = "[Kernel] Invalid chunk message: chunk_index and total_chunks must be integers"


@pytest.mark.parametrize("bad, text", [
    ({"chunk_index": 0, "total_chunks": 2, "data": ""}, MISSING),
    ({"chunk_id": None, "chunk_index": 0, "total_chunks": 2}, MISSING),
    ({"chunk_id": "c", "total_chunks": 2}, MISSING),
    ({"chunk_id": "c", "chunk_index": 0}, MISSING),
    ({"chunk_id": "c", "chunk_index": "0", "total_chunks": 2}, NOT_INT),
    ({"chunk_id": "c", "chunk_index": 0, "total_chunks": 2.0}, NOT_INT),
    ({"chunk_id": "c", "chunk_index": 0.5, "total_chunks": 2}, NOT_INT),
    ({"chunk_id": "c", "chunk_index": 2, "total_chunks": 2}, "[Kernel] Invalid chunk_index 2 for total_chunks 2"),
    ({"chunk_id": "c", "chunk_index": -1, "total_chunks": 2}, "[Kernel] Invalid chunk_index -1 for total_chunks 2"),
    ({"chunk_id": "c", "chunk_index": 0, "total_chunks": 0}, "[Kernel] Invalid chunk_index 0 for total_chunks 0"),
    ({"chunk_id": "c", "chunk_index": 0, "total_chunks": 16385},
     "[Kernel] Invalid chunk message: total_chunks 16385 exceeds the limit of 16384"),
    ({"chunk_id": "c", "chunk_index": 0, "total_chunks": 10 ** 30},
     f"[Kernel] Invalid chunk message: total_chunks {10 ** 30} exceeds the limit of 16384"),
    ({"chunk_id": "c", "chunk_index": 0, "total_chunks": 2, "data": 5},
     "[Kernel] Invalid chunk message: data must be a string"),
    ({"chunk_id": ["c"], "chunk_index": 0, "total_chunks": 2, "data": ""},
     "[Kernel] Invalid chunk message: chunk_id must be a string"),
])
def test_an_invalid_piece_is_logged_and_dropped_without_a_buffer(kernel, klog, bad, text):
    assert feed(kernel, {"type": "chunk", **bad}) == [None]
    assert kernel._chunk_buffers == {}
    assert klog.texts(logging.ERROR) == [text]


def test_the_largest_accepted_piece_count(kernel):
    assert feed(kernel, piece("big", 16383, 16384, "}")) == [None]
    assert kernel._chunk_buffers["big"]["total"] == 16384
    assert len(kernel._chunk_buffers["big"]["chunks"]) == 16384


def test_a_piece_disagreeing_with_its_buffer_is_refused_and_the_buffer_kept(kernel, klog):
    parts = split(TEXT, 3)
    assert feed(kernel, piece("c1", 0, 3, parts[0]), piece("c1", 1, 2, "zzz"), piece("c1", 4, 5, "zzz")) \
        == [None, None, None]
    assert kernel._chunk_buffers["c1"] == {"chunks": [parts[0], None, None], "received": 1, "total": 3}
    assert klog.texts(logging.ERROR) == [
        "[Kernel] Chunk total_chunks 2 does not match 3 for chunk_id c1, rejecting",
        "[Kernel] Chunk total_chunks 5 does not match 3 for chunk_id c1, rejecting",
    ]
    assert feed(kernel, piece("c1", 2, 3, parts[2]), piece("c1", 1, 3, parts[1])) == [None, ORIGINAL]


def test_reassembled_text_that_is_not_json_is_logged_and_forgotten(kernel, klog):
    try:
        json.loads("{not json")
    except json.JSONDecodeError as e:
        reason = str(e)
    assert feed(kernel, piece("c1", 1, 2, " json"), piece("c1", 0, 2, "{not")) == [None, None]
    assert kernel._chunk_buffers == {}
    assert klog.texts(logging.ERROR) == [f"[Kernel] Failed to parse reassembled message: {reason}"]


def test_a_chunk_inside_a_chunk_is_refused(kernel, klog):
    inner = json.dumps(piece("inner", 0, 1, json.dumps(ORIGINAL)))
    assert feed(kernel, piece("outer", 0, 1, inner)) == [None]
    assert kernel._chunk_buffers == {}
    assert klog.texts(logging.ERROR) == ["[Kernel] Nested chunk message detected for chunk_id outer, rejecting"]


@pytest.mark.parametrize("text", ["[1, 2]", '"text"', "3", "true"])
def test_reassembled_json_that_is_not_an_object_is_refused(kernel, klog, text):
    assert feed(kernel, piece("c1", 0, 1, text)) == [None]
    assert kernel._chunk_buffers == {}
    assert klog.texts(logging.ERROR) == ["[Kernel] Reassembled message for chunk_id c1 is not a JSON object, rejecting"]


# ---------------------------------------------------------------------------
# Through the receive loop
# ---------------------------------------------------------------------------

def test_a_chunked_execution_request_runs_once_after_its_last_piece(klog):
    async def main():
        async with kernel_session() as s:
            request = {"type": "execution_request", "request_id": "chunked-1",
                       "code": "print('ran', " + repr("é€😀" * 100) + ")"}
            await s.server.send_chunked(s.wb, request, chunk_size=40)
            await s.wait_for(lambda m: m.get("type") == "execution_result" and m.get("request_id") == "chunked-1")
            later = await s.mark()
            mine = [m for m in later if m.get("request_id") == "chunked-1"]
            assert [m["type"] for m in mine].count("execution_result") == 1
            printed = "".join(m["content"] for m in mine if m["type"] == "stdout")
            assert printed == "ran " + "é€😀" * 100 + "\n"
        received = [t for t in klog.texts(logging.INFO) if "Received execution_request" in t]
        assert received == ["[Kernel] [Listener Thread] Received execution_request (source=ide, request_id=chunked-1)"]
        assert not any("type=chunk" in t for t in klog.texts(logging.DEBUG))

    run(main())


def test_refused_pieces_get_no_reply_and_the_session_goes_on():
    async def main():
        async with kernel_session() as s:
            for bad in (piece("c", 5, 2, "x"), piece("c", "0", 2), piece("d", 0, 1, "[1]"), piece("e", 0, 1, "null"),
                        piece("f", 0, 1, "{oops"), piece("g", 0, 1, json.dumps(piece("h", 0, 1, "{}")))):
                await s.send(bad)
            assert await s.mark() == []
            assert s.kernel._chunk_buffers == {}

    run(main())
