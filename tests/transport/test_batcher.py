"""MessageBatcher: messages collected within one interval leave as one "batch"
message, a single one unwrapped; stop flushes what is queued, even after the flush
loop died."""
import asyncio
import json
import logging

from .conftest import kernel_session, kmod, run


class RecordingKernel:
    """The batcher's owner as far as the batcher cares: its _send_message_direct."""

    def __init__(self, failures=0):
        self.sent = []
        self.failures = failures

    async def _send_message_direct(self, message):
        if self.failures:
            self.failures -= 1
            raise ConnectionError("send failed")
        self.sent.append(message)


async def until(condition):
    while not condition():
        await asyncio.sleep(0.005)


def test_messages_within_one_interval_leave_as_one_batch_in_order():
    async def main():
        owner = RecordingKernel()
        batcher = kmod.MessageBatcher(owner)
        await batcher.start()
        messages = [{"type": "a", "n": 1}, {"type": "b", "n": 2}, {"type": "c", "n": 3}]
        for message in messages:  # no suspension in between: all within one interval
            await batcher.enqueue(message)
        await asyncio.wait_for(until(lambda: owner.sent), 5)
        await batcher.stop()
        assert owner.sent == [{"type": "batch", "messages": messages}]
        assert list(owner.sent[0]) == ["type", "messages"]
        assert owner.sent[0]["messages"][0] is messages[0]

    run(main())


def test_a_single_message_leaves_unwrapped():
    async def main():
        owner = RecordingKernel()
        batcher = kmod.MessageBatcher(owner)
        await batcher.start()
        message = {"type": "alone"}
        await batcher.enqueue(message)
        await asyncio.wait_for(until(lambda: owner.sent), 5)
        await batcher.stop()
        assert owner.sent == [message] and owner.sent[0] is message

    run(main())


def test_stop_sends_what_is_queued_and_can_be_repeated():
    async def main():
        owner = RecordingKernel()
        batcher = kmod.MessageBatcher(owner)
        batcher.FLUSH_INTERVAL = 60.0  # read through the instance: the loop would not flush for a minute
        await batcher.start()
        await batcher.enqueue({"type": "pending"})
        await batcher.stop()
        assert owner.sent == [{"type": "pending"}]
        assert batcher._running is False and batcher._flush_task.cancelled()
        await batcher.stop()
        assert owner.sent == [{"type": "pending"}]

    run(main())


def test_an_empty_flush_sends_nothing():
    async def main():
        owner = RecordingKernel()
        batcher = kmod.MessageBatcher(owner)
        await batcher._flush_now()
        await batcher.start()
        await asyncio.sleep(0.05)
        await batcher.stop()
        assert owner.sent == []

    run(main())


def test_stop_after_the_flush_loop_died_logs_it_and_still_flushes(klog):
    async def main():
        owner = RecordingKernel(failures=1)
        batcher = kmod.MessageBatcher(owner)
        await batcher.start()
        await batcher.enqueue({"type": "lost"})
        await asyncio.wait_for(until(batcher._flush_task.done), 5)
        await batcher.enqueue({"type": "kept"})
        await batcher.stop()
        assert owner.sent == [{"type": "kept"}]

    run(main())
    assert klog.texts(logging.ERROR) == ["[Kernel] Message batcher flush task failed: send failed"]


def test_the_kernels_batcher_sends_through_the_socket_and_is_flushed_on_disconnect():
    async def main():
        async with kernel_session() as s:
            batcher = s.kernel._batcher
            assert isinstance(batcher, kmod.MessageBatcher) and batcher._running
            await batcher.enqueue({"type": "one", "n": 1})
            await batcher.enqueue({"type": "two", "n": 2})
            await s.wait_for("two")
            assert json.loads(s.server.raw_frames(s.wb)[-1]) == {
                "type": "batch", "messages": [{"type": "one", "n": 1}, {"type": "two", "n": 2}]}
            batcher.FLUSH_INTERVAL = 60.0
            await asyncio.sleep(0.05)  # past the current short interval: the loop now sleeps for a minute
            await batcher.enqueue({"type": "last words"})
            await s.kernel.disconnect()
            await s.ended()
            assert s.messages()[-1] == {"type": "last words"}

    run(main())


def test_an_idle_batcher_waits_without_flushing_and_wakes_for_the_next_message():
    async def main():
        owner = RecordingKernel()
        batcher = kmod.MessageBatcher(owner)
        batcher.FLUSH_INTERVAL = 0.005
        flushes = []
        flush_now = batcher._flush_now

        async def counted_flush():
            flushes.append(len(owner.sent))
            await flush_now()

        batcher._flush_now = counted_flush
        await batcher.start()
        await asyncio.sleep(0.25)  # fifty intervals with nothing queued
        assert flushes == [] and not batcher._flush_task.done()
        await batcher.enqueue({"type": "late"})
        await asyncio.wait_for(until(lambda: owner.sent), 5)
        await asyncio.sleep(0.05)
        assert owner.sent == [{"type": "late"}] and flushes == [0]  # one interval, one flush, idle again
        await batcher.stop()

    run(main())
