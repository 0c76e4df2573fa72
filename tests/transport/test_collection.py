"""A kernel dropped while tasks of its own methods are pending is collected, as objects
of Python classes would be: the kernel -> task -> coroutine -> kernel cycles are seen by
the garbage collector, and asyncio reports each pending task it destroys."""
import asyncio
import gc
import weakref

from .conftest import FakeWebSocket, kmod


class SilentWebSocket(FakeWebSocket):
    """A connection on which no frame ever arrives."""

    def __aiter__(self):
        return self

    async def __anext__(self):
        await asyncio.get_running_loop().create_future()


def test_kernel_dropped_with_its_own_tasks_pending_is_collected():
    loop = asyncio.new_event_loop()
    reported = []
    loop.set_exception_handler(lambda loop, context: reported.append(context))

    async def start():
        kernel = kmod.PythonKernel("wb-collected")
        kernel.websocket = SilentWebSocket()
        kernel._socket_lock = asyncio.Lock()
        kernel.listening = asyncio.ensure_future(kernel.listen())  # waits for a frame
        kernel._batcher = kmod.MessageBatcher(kernel)
        await kernel._batcher.start()  # batcher -> flush task -> _flush_loop -> batcher
        await kernel._socket_lock.acquire()  # the socket is busy ...
        # ... so this send waits for the lock: kernel -> task -> send_message -> kernel
        kernel.pending = asyncio.ensure_future(kernel.send_message({"type": "held"}))
        await asyncio.sleep(0)
        assert not any(t.done() for t in (kernel.listening, kernel.pending, kernel._batcher._flush_task))
        return weakref.ref(kernel), weakref.ref(kernel._batcher)

    try:
        refs = loop.run_until_complete(start())
    finally:
        loop.close()
    for _ in range(3):
        gc.collect()
    assert [r() for r in refs] == [None, None]
    assert sorted((c["message"], c["task"].get_coro().__qualname__) for c in reported) == [
        ("Task was destroyed but it is pending!", "MessageBatcher._flush_loop"),
        ("Task was destroyed but it is pending!", "PythonKernel.listen"),
        ("Task was destroyed but it is pending!", "PythonKernel.send_message"),
    ]
