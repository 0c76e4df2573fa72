"""StreamCapture (one run's output) and KernelStreamHook (the connected kernel's
process-wide streams): what they keep, echo and forward, and how they fail."""
import contextlib
import io
import sys

import pytest

from vantrel_master.python_server.kernel import KernelStreamHook, StreamCapture

NON_ASCII = "héllo"  # five characters, six UTF-8 bytes


class Recorder(io.TextIOBase):
    """A console stream that logs every call into a shared event list."""

    def __init__(self, events, fail_write=False, fail_flush=False):
        super().__init__()
        self.events = events
        self.fail_write = fail_write
        self.fail_flush = fail_flush
        self.text = ""

    def write(self, text):
        self.events.append(("write", text))
        if self.fail_write:
            raise OSError("console closed")
        self.text += text
        return len(text)

    def flush(self):
        self.events.append(("flush",))
        if self.fail_flush:
            raise OSError("console closed")


class Untouchable(io.TextIOBase):
    def write(self, text):
        raise AssertionError(f"written through sys.stdout/sys.stderr: {text!r}")


def sender(events, error=None):
    def send(stream_type, content):
        events.append(("send", stream_type, content))
        if error is not None:
            raise error
    return send


# --- common to both -----------------------------------------------------------------


def make_capture():
    return StreamCapture()


def make_hook():
    return KernelStreamHook("stdout", None)


@pytest.mark.parametrize("make", [make_capture, make_hook])
def test_text_stream_basics(make):
    stream = make()
    assert isinstance(stream, io.TextIOBase)
    assert stream.readable() is False
    assert stream.writable() is True
    assert stream.flush() is None


@pytest.mark.parametrize("make", [make_capture, make_hook])
@pytest.mark.parametrize("bad, type_name", [
    (None, "NoneType"),
    (b"x", "bytes"),
    (type("Text", (str,), {})("x"), "Text"),
])
def test_write_takes_exactly_a_str(make, bad, type_name, standard_streams):
    with pytest.raises(TypeError) as info:
        make().write(bad)
    assert str(info.value) == f"Argument 'text' has incorrect type (expected str, got {type_name})"


# --- StreamCapture ------------------------------------------------------------------------


def test_capture_keeps_every_write_and_calls_back_with_each():
    seen = []
    capture = StreamCapture(on_write=seen.append)
    assert capture.write("") == 0
    assert seen == [] and capture.getvalue() == ""
    assert capture.write(NON_ASCII) == 5
    assert capture.write("\n") == 1
    assert capture.getvalue() == NON_ASCII + "\n"
    assert seen == [NON_ASCII, "\n"]


@pytest.mark.parametrize("capture", [StreamCapture(), StreamCapture(None), StreamCapture(on_write=None)])
def test_capture_without_callback(capture):
    capture.write("a")
    capture.write("bc")
    assert capture.getvalue() == "abc"


def test_capture_swallows_a_failing_callback():
    calls = []

    def broken(text):
        calls.append(text)
        raise ValueError("no")

    capture = StreamCapture(on_write=broken)
    assert capture.write("abc") == 3
    assert capture.write("d") == 1
    assert capture.getvalue() == "abcd"
    assert calls == ["abc", "d"]


def test_capture_lets_a_base_exception_of_the_callback_through():
    def interrupted(text):
        raise KeyboardInterrupt

    capture = StreamCapture(on_write=interrupted)
    with pytest.raises(KeyboardInterrupt):
        capture.write("abc")
    assert capture.getvalue() == "abc"


def test_capture_works_as_a_print_target_and_a_redirect():
    seen = []
    capture = StreamCapture(on_write=seen.append)
    print("a", 1, file=capture)
    with contextlib.redirect_stdout(capture):
        print("b")
    capture.writelines(["c", "", "d\n"])
    assert capture.getvalue() == "a 1\nb\ncd\n"
    assert "".join(seen) == capture.getvalue()
    assert "" not in seen


def test_capture_subclass_overrides_and_calls_the_base():
    class Upper(StreamCapture):
        def write(self, text):
            return super().write(text.upper())

    capture = Upper()
    print("shout", file=capture)
    assert capture.getvalue() == "SHOUT\n"


# --- KernelStreamHook --------------------------------------------------------------------


def test_hook_echoes_flushes_then_forwards(monkeypatch):
    events = []
    console = Recorder(events)
    monkeypatch.setattr(sys, "stdout", console)
    hook = KernelStreamHook("stdout", sender(events))
    assert hook.stream_type == "stdout"
    assert hook._original_stream is console
    assert hook.write(NON_ASCII) == 5
    assert events == [("write", NON_ASCII), ("flush",), ("send", "stdout", NON_ASCII)]


def test_hook_ignores_empty_writes(monkeypatch):
    events = []
    monkeypatch.setattr(sys, "stdout", Recorder(events))
    hook = KernelStreamHook("stdout", sender(events))
    assert hook.write("") == 0
    assert events == []


@pytest.mark.parametrize("stream_type", ["stderr", "other", ""])
def test_hook_echoes_to_stderr_of_construction_time_unless_stdout(monkeypatch, stream_type):
    events_out, events_err, sent = [], [], []
    monkeypatch.setattr(sys, "stdout", Recorder(events_out))
    console_err = Recorder(events_err)
    monkeypatch.setattr(sys, "stderr", console_err)
    hook = KernelStreamHook(stream_type, sender(sent))
    monkeypatch.setattr(sys, "stderr", Untouchable())  # later changes do not matter
    hook.write("x")
    assert console_err.text == "x" and events_out == []
    assert sent == [("send", stream_type, "x")]


def test_hook_reports_a_failing_send_on_its_console_only(monkeypatch):
    events = []
    console = Recorder(events)
    monkeypatch.setattr(sys, "stdout", console)
    hook = KernelStreamHook("stdout", sender(events, RuntimeError("x")))
    monkeypatch.setattr(sys, "stdout", Untouchable())
    monkeypatch.setattr(sys, "stderr", Untouchable())
    assert hook.write("text") == 4
    assert console.text == "text[KernelStreamHook Error] x\n"
    assert events[-1] == ("write", "[KernelStreamHook Error] x\n")


def test_hook_forwards_even_when_its_console_fails(monkeypatch):
    events = []
    monkeypatch.setattr(sys, "stdout", Recorder(events, fail_write=True, fail_flush=True))
    hook = KernelStreamHook("stdout", sender(events, ValueError("down too")))
    assert hook.write("abc") == 3
    assert ("send", "stdout", "abc") in events
    assert events[-1] == ("write", "[KernelStreamHook Error] down too\n")
    assert hook.flush() is None


def test_hook_flush_flushes_its_console(monkeypatch):
    events = []
    monkeypatch.setattr(sys, "stdout", Recorder(events))
    hook = KernelStreamHook("stdout", None)
    hook.flush()
    assert events == [("flush",)]


def test_hook_without_callback_only_echoes(monkeypatch):
    events = []
    console = Recorder(events)
    monkeypatch.setattr(sys, "stdout", console)
    hook = KernelStreamHook("stdout", None)
    print("p", file=hook)
    assert console.text == "p\n"


def test_hook_lets_a_base_exception_of_the_callback_through(monkeypatch):
    monkeypatch.setattr(sys, "stdout", Recorder([]))
    hook = KernelStreamHook("stdout", sender([], KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        hook.write("x")


def test_hook_built_over_a_hook_echoes_into_it(monkeypatch):
    events = []
    console = Recorder(events)
    monkeypatch.setattr(sys, "stdout", console)
    outer = KernelStreamHook("stdout", sender(events))
    monkeypatch.setattr(sys, "stdout", outer)
    inner = KernelStreamHook("stdout", lambda kind, text: events.append(("inner", kind, text)))
    inner.write("z")
    assert console.text == "z"
    assert ("send", "stdout", "z") in events and events[-1] == ("inner", "stdout", "z")


@pytest.mark.parametrize("stream_type", [None, b"stdout"])
def test_hook_stream_type_must_be_a_str(stream_type):
    with pytest.raises(TypeError, match="Argument 'stream_type' has incorrect type"):
        KernelStreamHook(stream_type, None)
