"""The receive loop: frames that are too large, not JSON, not objects, or whose
handling fails are answered and the session goes on; a few hundred random frames do
not end it either."""
import json
import logging
import random

import pytest

from .conftest import kernel_session, kmod, run

MAX = kmod.MAX_MESSAGE_SIZE
TOO_LARGE = {"type": "error", "message": "Message too large"}
INVALID_JSON = {"type": "error", "message": "Invalid JSON received"}
NOT_AN_OBJECT = {"type": "error", "message": "Invalid message: expected a JSON object"}


def hover_frame(n_chars, filler, mode):
    """A set_hover_mode frame of exactly n_chars characters (non-ASCII kept as is)."""
    message = {"type": "set_hover_mode", "mode": mode, "pad": ""}
    message["pad"] = filler * ((n_chars - len(json.dumps(message, ensure_ascii=False))) // len(filler))
    text = json.dumps(message, ensure_ascii=False)
    assert len(text) == n_chars
    return text


def hover_reply(s, mode):
    return {"type": "hover_mode_updated", "mode": mode, "workbook_id": s.wb}


# ---------------------------------------------------------------------------
# Size limit
# ---------------------------------------------------------------------------

def test_frame_size_limit_is_counted_in_characters(klog):
    async def main():
        async with kernel_session() as s:
            # exactly MAX_MESSAGE_SIZE characters: parsed, both in ASCII and as 2 MiB of UTF-8
            await s.send_raw(hover_frame(MAX, "a", "ascii-max"))
            await s.send_raw(hover_frame(MAX, "é", "utf8-max"))
            # one character more: refused without being parsed
            await s.send_raw(hover_frame(MAX + 1, "a", "ascii-over"))
            assert await s.mark() == [hover_reply(s, "ascii-max"), hover_reply(s, "utf8-max"), TOO_LARGE]
        assert f"Message too large: {MAX + 1} bytes" in klog.texts(logging.WARNING)

    run(main())


def test_frames_above_one_mebibyte_of_utf8_reach_the_kernel_and_are_answered():
    # The library's own default limit (1 MiB of bytes) would close the connection with
    # code 1009 before the kernel could answer; the kernel raises the limit on connect.
    async def main():
        async with kernel_session() as s:
            await s.send_raw(hover_frame(MAX + 1, "€", "utf8-over"))   # about 3 MiB of UTF-8
            await s.send_raw(b"x" * (MAX + 1))                          # binary, just above 1 MiB
            assert await s.mark() == [TOO_LARGE, TOO_LARGE]
            assert s.server.is_connected(s.wb) and not s.task.done()

    run(main())


# ---------------------------------------------------------------------------
# Frames that are not messages
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("frame", ["not json", "{", "", "{'single': 'quotes'}", b"{bad}", b"\xff\xfe\x00x"])
def test_invalid_json_is_answered_and_the_next_frame_served(frame):
    async def main():
        async with kernel_session() as s:
            await s.send_raw(frame)
            assert await s.mark() == [INVALID_JSON]

    run(main())


@pytest.mark.parametrize("frame", [b"\x80abc", '{"a": "\xc3\x28"}'.encode("latin-1")])
def test_binary_frame_that_is_not_utf8_is_answered_as_invalid_json(frame):
    # json.loads raises UnicodeDecodeError (not JSONDecodeError) for such a frame: it is
    # bad input all the same and must not end the session.
    async def main():
        async with kernel_session() as s:
            await s.send_raw(frame)
            assert await s.mark() == [INVALID_JSON]

    run(main())


def test_json_nested_too_deeply_to_parse_is_answered_as_invalid_json():
    # json.loads raises RecursionError for 100000 nested arrays (well below
    # MAX_MESSAGE_SIZE): answered like any undecodable frame, the session goes on.
    async def main():
        async with kernel_session() as s:
            await s.send_raw("[" * 100000 + "]" * 100000)
            assert await s.mark() == [INVALID_JSON]

    run(main())


@pytest.mark.parametrize("frame", ["[1, 2]", '"text"', "3", "null", "true", b"[]"])
def test_json_that_is_not_an_object_is_answered(frame):
    async def main():
        async with kernel_session() as s:
            await s.send_raw(frame)
            assert await s.mark() == [NOT_AN_OBJECT]

    run(main())


def test_binary_frames_carrying_json_are_served():
    async def main():
        async with kernel_session() as s:
            await s.send_raw(json.dumps({"type": "set_hover_mode", "mode": "détaillé"}).encode("utf-8"))
            assert await s.mark() == [hover_reply(s, "détaillé")]

    run(main())


# ---------------------------------------------------------------------------
# Failing handlers
# ---------------------------------------------------------------------------

class FailingDebugger:
    def step_over(self):
        raise ValueError("boom")


def test_a_failing_handler_is_answered_and_the_session_goes_on(klog):
    async def main():
        async with kernel_session() as s:
            s.kernel._debugger = FailingDebugger()
            await s.send({"type": "debug_step_over"})
            # a peer's requestId that cannot be a table key
            await s.send({"type": "sys_response", "payload": {"requestId": ["not", "hashable"]}})
            assert await s.mark() == [
                {"type": "error", "message": "Error handling debug_step_over: boom"},
                {"type": "error", "message": "Error handling sys_response: unhashable type: 'list'"},
            ]
            assert s.server.is_connected(s.wb)
        errors = klog.texts(logging.ERROR)
        assert "[Kernel] Error handling message type 'debug_step_over': boom" in errors
        assert "[Kernel] Error handling message type 'sys_response': unhashable type: 'list'" in errors
        assert not s.kernel._response_lock.locked()

    run(main())


# ---------------------------------------------------------------------------
# Random frames
# ---------------------------------------------------------------------------

CATALOGUE = [
    "chunk", "execution_request", "add_path", "remove_path", "reset_namespace", "reset_path",
    "set_package_paths", "set_python_paths", "unload_and_clear_paths", "update_module", "delete_module",
    "completion_request", "signature_help_request", "hover_request", "diagnostic_request",
    "custom_function_call", "run_module", "event_execution", "com_event_config_update", "python_function_call",
    "execute_streaming_function", "cancel_streaming_function", "debug_continue", "debug_step_over",
    "debug_step_into", "debug_step_out", "debug_stop", "debug_evaluate", "debug_update_breakpoints",
    "sys_response", "get_object_registry", "set_hover_mode", "batch", "ping", "", "CHUNK",
]  # "shutdown" ends the session by design and is left out
# Messages that change the process's import paths or loaded modules get no text values,
# so random input cannot unload or shadow the test run's own modules.
NO_TEXT = {"add_path", "remove_path", "set_package_paths", "set_python_paths", "unload_and_clear_paths",
           "update_module", "delete_module"}
FIELDS = ["code", "request_id", "function_name", "source", "path", "old_paths", "new_paths", "paths",
          "module_name", "args", "workbook_id", "com_config", "expression", "breakpoints", "payload", "mode",
          "chunk_id", "chunk_index", "total_chunks", "data", "requestId", "line", "column", "messages"]
# No letters that spell an importable module or a builtin: random names fail to resolve.
ALPHABET = "qxzQXZ_ -.0129é€😀\"\\/{}[]:,\n\t"


def random_text(rng, longest=12):
    return "".join(rng.choice(ALPHABET) for _ in range(rng.randint(0, longest)))


def random_value(rng, depth=0, text=True):
    kinds = ["none", "bool", "int", "float", "list", "dict"] + (["text", "text"] if text else [])
    kind = rng.choice(kinds if depth < 3 else kinds[:4])
    if kind == "none":
        return None
    if kind == "bool":
        return rng.random() < 0.5
    if kind == "int":
        return rng.choice([0, 1, -1, 2, 65536, 16384, 16385, 2 ** 63, -(2 ** 70), rng.randint(-100, 100)])
    if kind == "float":
        return rng.choice([0.5, -1.0, 1e308, rng.random()])
    if kind == "text":
        return random_text(rng)
    if kind == "list":
        return [random_value(rng, depth + 1, text) for _ in range(rng.randint(0, 3))]
    return {random_text(rng, 5): random_value(rng, depth + 1, text) for _ in range(rng.randint(0, 3))}


def random_message(rng):
    kind = rng.choice(CATALOGUE)
    text = kind not in NO_TEXT
    message = {"type": kind} if rng.random() < 0.9 else {}
    for field in rng.sample(FIELDS, rng.randint(0, 5)):
        message[field] = random_value(rng, text=text)
    if kind == "chunk" and rng.random() < 0.7:
        message.update(chunk_id=rng.choice(["a", "b", 3]), chunk_index=rng.randint(-1, 3),
                       total_chunks=rng.choice([1, 2, 3, 16385]), data=random_text(rng))
    return message


FUZZ_BYTES = 0.12


def random_frame(rng):
    roll = rng.random()
    if roll < FUZZ_BYTES:
        return bytes(rng.randrange(256) for _ in range(rng.randint(0, 40)))
    if roll < 0.25:
        return random_text(rng, 40)
    if roll < 0.40:
        return json.dumps(random_value(rng), ensure_ascii=rng.random() < 0.5)
    return json.dumps(random_message(rng), ensure_ascii=rng.random() < 0.5)


def test_random_and_malformed_frames_do_not_end_the_session(klog):
    # Fails while the receive loop's fault shown above lasts (kernel.cpp, handle_frame):
    # a random binary frame that is not UTF-8 ends the session.
    rng = random.Random(20240611)
    frames = [random_frame(rng) for _ in range(400)]

    async def main():
        async with kernel_session() as s:
            for index in range(0, len(frames), 10):
                batch = frames[index:index + 10]
                for frame in batch:
                    await s.send_raw(frame)
                try:
                    await s.mark()
                except AssertionError:
                    pytest.fail(f"the session ended within frames {index}-{index + len(batch) - 1}: {batch!r}; "
                                f"last errors: {klog.texts(logging.ERROR)[-2:]}")
            await s.send({"type": "execution_request", "code": "print(6 * 7)", "request_id": "after-fuzz"})
            reply = await s.wait_for(lambda m: m.get("type") in ("execution_result", "execution_error")
                                     and m.get("request_id") == "after-fuzz")
            assert reply["type"] == "execution_result"
            out = await s.wait_for(lambda m: m.get("type") == "stdout" and m.get("request_id") == "after-fuzz")
            assert out["content"].startswith("42")
            assert not s.task.done()

    run(main(), timeout=60)
