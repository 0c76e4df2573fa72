"""No growth: many awaits, calls, failures, cancellations and closes leave the number of
allocated blocks flat and the live pyco coroutine count where it started."""

import asyncio
import gc
import sys
import types

import pytest

from ._support import GenAwaitable, PlainAwaitable, Recovering, native, t

SLACK = 200  # blocks; caches of the interpreter and asyncio settle during warm-up


def _blocks():
    gc.collect()
    return sys.getallocatedblocks()


@types.coroutine
def tick(value=None):
    """Hands control to the event loop (or to whoever drives by hand) once."""
    sent = yield
    return value if sent is None else sent


class Growth:
    """Blocks and live coroutines gained between start() and stop()."""

    def start(self):
        self.blocks = _blocks()  # collects first: leftovers of earlier tests go before counting
        self.live = t.live_coroutines()

    def stop(self):
        return _blocks() - self.blocks, t.live_coroutines() - self.live


def test_100000_awaits_through_the_loop_in_one_task():
    async def awaits(n):
        total = 0
        for i in range(n):
            if i % 10 == 0:
                total += await t.await_value(tick(1))  # through the loop
            elif i % 10 == 1:
                total += (await t.await_pair(t.return_value(1), native(0)))[0]
            else:
                total += await t.await_value(t.return_value(1))
        return total

    async def main():
        growth = Growth()
        await awaits(2000)
        growth.start()
        total = await awaits(100_000)
        return total, growth.stop()

    gc.collect()
    start_live = t.live_coroutines()
    total, (blocks, live) = asyncio.run(t.await_value(main()))  # the task drives a pyco coroutine
    assert total == 100_000
    # One window only: the interpreter's free lists may take a few hundred blocks in it
    # (see test_no_growth); a leak in even the rarest branch grows by 10,000.
    assert blocks < 5 * SLACK and live == 0
    assert t.live_coroutines() == start_live


def test_100000_awaits_driven_by_send():
    def drive(n):
        for i in range(n):
            coro = t.await_value(tick())
            assert coro.send(None) is None
            try:
                coro.send(i)
            except StopIteration as stop:
                assert stop.value == i
            else:
                pytest.fail("the coroutine did not finish")

    growth = Growth()
    drive(2000)
    growth.start()
    drive(100_000)
    blocks, live = growth.stop()
    assert blocks < SLACK and live == 0


# Scenarios run 2000 times after a warm-up (a leak of one block per run shows clearly);
# each drives its coroutines to the end (or abandons them) and must leave nothing behind.


def _raised():
    coro = t.raise_value(ValueError("x"))
    with pytest.raises(ValueError):
        coro.send(None)


def _raised_cpp():
    with pytest.raises(KeyError):
        t.raise_cpp("key", "k")
    coro = t.raise_cpp_after(tick(), "runtime", "r")
    coro.send(None)
    with pytest.raises(RuntimeError):
        coro.send(None)


def _stop_iteration_inside():
    with pytest.raises(RuntimeError):
        t.raise_value(StopIteration(1)).send(None)


def _closed_unstarted():
    t.await_value(GenAwaitable()).close()


def _closed_suspended():
    coro = t.cleanup_await(GenAwaitable(), lambda: native("cleaned"))
    coro.send(None)
    coro.close()


def _dropped_suspended():
    coro = t.with_cm(NoSuspendCM(), GenAwaitable())
    coro.send(None)
    del coro


class _Owner:
    pass


def _collected_in_a_cycle():
    # owner -> coroutine -> (borrowed argument) owner, and through cleanup's closure;
    # the collection at the end of each window closes and frees them
    owner = _Owner()
    owner.coro = t.hold_await(owner, GenAwaitable())
    owner.coro.send(None)
    other = _Owner()
    other.coro = t.cleanup_await(GenAwaitable(), lambda: native(other))
    other.coro.send(None)


def _ignored_exit():
    coro = t.ignore_exit(GenAwaitable(), GenAwaitable())
    coro.send(None)
    with pytest.raises(RuntimeError):
        coro.close()
    with pytest.raises(GeneratorExit):
        coro.throw(GeneratorExit)


def _thrown():
    coro = t.await_value(Recovering())
    coro.send(None)
    coro.throw(ValueError("again"))
    with pytest.raises(StopIteration):
        coro.send(1)
    coro = t.catch_exception(GenAwaitable())
    coro.send(None)
    with pytest.raises(StopIteration):
        coro.throw(KeyError, "k", None)
    with pytest.raises(ValueError):
        t.await_value(GenAwaitable()).throw(ValueError)


def _thrown_into_plain_iterator():
    coro = t.cleanup_await(PlainAwaitable(), lambda: GenAwaitable())
    coro.send(None)
    coro.throw(ValueError("x"))
    with pytest.raises(ValueError):
        coro.send(None)


def _reentered():
    class Reenter:
        def __await__(self):
            with pytest.raises(ValueError):
                self.outer.send(None)
            return (yield)

    aw = Reenter()
    coro = t.await_value(aw)
    aw.outer = coro
    coro.send(None)
    with pytest.raises(StopIteration):
        coro.send(None)


def _calls():
    t.params(1, 2, 3, c=4, e=5)
    t.params(a=1, c=2)
    t.typed("x", [], {}, set())
    with pytest.raises(TypeError):
        t.params()
    with pytest.raises(TypeError):
        t.params(1, c=2, a=3)
    with pytest.raises(TypeError):
        t.typed("x", ())
    with pytest.raises(TypeError):
        t.await_value(1, 2)
    with pytest.raises(TypeError):
        t.typed_async(1)
    t.make_closure("c")(1)
    t.Counter(1).describe("p")
    t.fmt_demo("\ud800", 1.25)
    t.format_exc_in_catch(_raised)
    t.exc_info_in_catch(lambda: t.raise_cpp("value", "v"))


class NoSuspendCM:
    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        return isinstance(exc[1], LookupError)


async def _agen(n):
    for i in range(n):
        yield i


async def _async_with_and_for():
    await t.with_cm(NoSuspendCM(), native(1))
    await t.with_cm(NoSuspendCM(), native(suspend=True))
    await t.with_cm(NoSuspendCM(), t.raise_value(LookupError("suppressed")))
    try:
        await t.with_cm(NoSuspendCM(), t.raise_value(OSError("kept")))
    except OSError:
        pass
    await t.with_cm(asyncio.Lock(), tick())
    await t.collect(_agen(5))
    await t.collect(_agen(5), 2)
    await t.for_each(_agen(3), lambda item: native(item == 1))


async def _cancelled():
    never = asyncio.get_running_loop().create_future()

    async def cleanup():
        await asyncio.sleep(0)

    task = asyncio.create_task(t.cleanup_await(never, cleanup))
    await asyncio.sleep(0)
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        pass
    lock = asyncio.Lock()
    task = asyncio.create_task(t.with_cm(lock, asyncio.get_running_loop().create_future()))
    await asyncio.sleep(0)
    task.cancel()
    await asyncio.gather(task, return_exceptions=True)
    assert not lock.locked()


async def _gathered():
    results = await asyncio.gather(
        t.await_value(native(1, suspend=True)),
        t.raise_cpp_after(tick(), "type", "t"),
        t.Counter(0).bump(native(1)),
        return_exceptions=True,
    )
    assert results[0] == 1 and type(results[1]) is TypeError and results[2] == 1
    try:
        await asyncio.wait_for(t.await_value(asyncio.get_running_loop().create_future()), 0)
    except asyncio.TimeoutError:
        pass


SCENARIOS = {
    "raised": _raised,
    "raised from C++": _raised_cpp,
    "StopIteration inside": _stop_iteration_inside,
    "closed before start": _closed_unstarted,
    "closed while suspended": _closed_suspended,
    "dropped while suspended": _dropped_suspended,
    "collected in a cycle": _collected_in_a_cycle,
    "ignored GeneratorExit": _ignored_exit,
    "thrown": _thrown,
    "thrown into a plain iterator": _thrown_into_plain_iterator,
    "re-entered": _reentered,
    "function calls": _calls,
    "async with and async for": _async_with_and_for,
    "cancelled": _cancelled,
    "gather and wait_for": _gathered,
}


def _run_scenario(step, n, loop):
    if asyncio.iscoroutinefunction(step):

        async def many():
            for _ in range(n):
                await step()

        loop.run_until_complete(many())
    else:
        for _ in range(n):
            step()


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_no_growth(name):
    step = SCENARIOS[name]
    loop = asyncio.new_event_loop()
    try:
        _run_scenario(step, 300, loop)
        # The interpreter's own free lists (tuples, frames, dicts) can still fill up in a
        # window, by a few hundred blocks at most; a leak grows by 2000 or more in each one.
        windows = []
        for _ in range(3):
            growth = Growth()
            growth.start()
            _run_scenario(step, 2000, loop)
            blocks, live = growth.stop()
            assert live == 0
            windows.append(blocks)
            if blocks < SLACK:
                break
    finally:
        loop.close()
    assert min(windows) < SLACK, windows
