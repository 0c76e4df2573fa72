"""pyco coroutines inside asyncio: tasks, gather, wait_for, threads; cancellation and
close() with cleanup that awaits; async with (asyncio.Lock, suppressing and failing
__aexit__) and async for (early break, failures in the middle)."""

import asyncio
import threading

import pytest

from ._support import GenAwaitable, error_of, native, native_raise, run, t


def _never():
    return asyncio.get_running_loop().create_future()


# ---------------------------------------------------------------------------
# Tasks, gather, wait_for, threads


def test_create_task_runs_the_coroutine_object():
    async def main():
        coro = t.await_value(native("v", suspend=True))
        task = asyncio.create_task(coro, name="pyco-task")
        assert task.get_coro() is coro
        assert task.get_name() == "pyco-task"
        assert not task.done()
        await asyncio.sleep(0)
        assert [f.f_code for f in task.get_stack()] == [coro.cr_code]
        return await task, task

    result, task = run(main())
    assert result == "v" and task.done() and task.result() == "v"


def test_run_and_run_until_complete_accept_the_coroutine():
    assert asyncio.run(t.await_value(native(1, suspend=True))) == 1
    loop = asyncio.new_event_loop()
    try:
        assert loop.run_until_complete(t.await_pair(native(2, suspend=True), native(3))) == (2, 3)
        assert loop.run_until_complete(asyncio.ensure_future(t.return_value(4), loop=loop)) == 4
    finally:
        loop.close()


def test_debug_mode_loop_drives_the_coroutine():
    async def main():
        task = asyncio.create_task(t.await_value(native("dbg", suspend=True)))
        text = repr(task)
        return await task, text

    result, text = asyncio.run(main(), debug=True)
    assert result == "dbg" and text.startswith("<Task pending")


def test_gather_collects_results_and_exceptions():
    async def main():
        exc = ValueError("one failed")
        results = await asyncio.gather(
            t.return_value(1),
            t.await_value(native(2, suspend=True)),
            t.raise_value(exc),
            t.raise_cpp_after(asyncio.sleep(0), "key", "missing"),
            t.catch_exception(native_raise(OSError("io"), suspend=True)),
            return_exceptions=True,
        )
        return exc, results

    exc, results = run(main())
    assert results[:3] == [1, 2, exc]
    assert type(results[3]) is KeyError and results[3].args == ("missing",)
    assert results[4][0] == "caught" and type(results[4][1]) is OSError


def test_gather_without_return_exceptions_raises_the_first_failure():
    async def main():
        slow = t.await_value(native("slow", suspend=True))
        with pytest.raises(ZeroDivisionError, match="first"):
            await asyncio.gather(slow, t.raise_cpp_after(native(), "python", "first"))

    run(main())


def test_wait_for_timeout_cancels_and_cleanup_awaits():
    events = []

    async def cleanup():
        events.append("cleanup started")
        await asyncio.sleep(0)
        events.append("cleanup finished")

    async def main():
        never = _never()
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(t.cleanup_await(never, cleanup), timeout=0.01)
        assert never.cancelled()
        # within the limit the value comes through
        assert await asyncio.wait_for(t.await_value(native("quick", suspend=True)), timeout=60) == "quick"

    run(main())
    assert events == ["cleanup started", "cleanup finished"]


def test_asyncio_timeout_context_cancels_the_coroutine():
    async def main():
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0.01):
                await t.await_value(_never())
        return "after"

    assert run(main()) == "after"


def test_run_coroutine_threadsafe_into_a_loop_in_another_thread():
    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_forever)
    thread.start()
    try:
        fut = asyncio.run_coroutine_threadsafe(t.await_value(native("from main", suspend=True)), loop)
        assert fut.result(timeout=60) == "from main"
        failing = asyncio.run_coroutine_threadsafe(t.raise_value(KeyError("k")), loop)
        with pytest.raises(KeyError):
            failing.result(timeout=60)
    finally:
        loop.call_soon_threadsafe(loop.stop)
        thread.join()
        loop.close()


def test_run_coroutine_threadsafe_from_a_worker_thread_into_the_main_loop():
    async def main():
        loop = asyncio.get_running_loop()

        def worker():
            coro = t.await_pair(native("a", suspend=True), t.return_value("b"))
            return asyncio.run_coroutine_threadsafe(coro, loop).result(timeout=60)

        return await loop.run_in_executor(None, worker)

    assert run(main()) == ("a", "b")


def test_many_tasks_interleave():
    async def main():
        futures = [_never() for _ in range(20)]
        tasks = [asyncio.create_task(t.await_pair(f, native(i, suspend=True))) for i, f in enumerate(futures)]
        await asyncio.sleep(0)
        for i, f in reversed(list(enumerate(futures))):
            f.set_result(-i)
        return await asyncio.gather(*tasks)

    assert run(main()) == [(-i, i) for i in range(20)]


# ---------------------------------------------------------------------------
# Cancellation and close()


def test_cancellation_mid_await_runs_cleanup_that_awaits():
    events = []

    async def cleanup():
        events.append("cleanup")
        await asyncio.sleep(0)
        await asyncio.sleep(0)
        events.append("cleanup done")

    async def main():
        never = _never()
        task = asyncio.create_task(t.cleanup_await(never, cleanup))
        await asyncio.sleep(0)
        assert task.cancel("stop now")
        with pytest.raises(asyncio.CancelledError) as info:
            await task
        assert info.value.args == ("stop now",)
        assert task.cancelled() and never.cancelled()

    run(main())
    assert events == ["cleanup", "cleanup done"]


def test_cancellation_reaches_native_coroutines_under_the_pyco_one():
    events = []

    async def inner():
        try:
            await _never()
        finally:
            events.append("inner finally")

    async def main():
        task = asyncio.create_task(t.await_task(inner()))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    run(main())
    assert events == ["inner finally"]


def test_cancelled_error_can_be_handled_by_the_awaited_code():
    async def swallows():
        try:
            await _never()
        except asyncio.CancelledError:
            return "swallowed"

    async def main():
        task = asyncio.create_task(t.await_value(swallows()))
        await asyncio.sleep(0)
        task.cancel()
        return await task

    assert run(main()) == "swallowed"


def test_native_coroutine_awaiting_pyco_coroutine_cancelled():
    events = []

    async def cleanup():
        await asyncio.sleep(0)
        events.append("pyco cleanup")

    async def outer(never):
        try:
            return await t.cleanup_await(never, cleanup)
        finally:
            events.append("outer finally")

    async def main():
        never = _never()
        task = asyncio.create_task(outer(never))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert never.cancelled()

    run(main())
    assert events == ["pyco cleanup", "outer finally"]


def test_native_coroutine_awaiting_pyco_coroutine_closed():
    events = []

    def cleanup():
        events.append("pyco cleanup")
        return native()

    async def outer(inner):
        try:
            return await inner
        finally:
            events.append("outer finally")

    async def main():
        inner = t.cleanup_await(GenAwaitable(), cleanup)
        coro = outer(inner)
        assert coro.send(None) == "await-yield"
        assert coro.cr_await is inner and inner.cr_suspended
        assert coro.close() is None
        assert not inner.cr_suspended
        assert error_of(inner.send, None) == (RuntimeError, "cannot reuse already awaited coroutine")

    run(main())
    assert events == ["pyco cleanup", "outer finally"]


def test_native_coroutine_awaiting_pyco_coroutine_gets_its_result_and_errors():
    async def outer():
        a = await t.await_value(native("a", suspend=True))
        try:
            await t.raise_cpp_after(native(), "value", "bad value")
        except ValueError as e:
            b = str(e)
        return a, b

    assert run(outer()) == ("a", "bad value")


def test_close_inside_async_with_releases_the_lock():
    async def main():
        lock = asyncio.Lock()
        never = _never()
        coro = t.with_cm(lock, never)
        assert coro.send(None) is never  # the Future yields itself to its driver
        assert lock.locked()
        assert coro.close() is None
        assert not lock.locked()
        # a lock closed this way can be taken again at once
        assert await t.with_cm(lock, native("again")) == (None, "again")

    run(main())


def test_cancel_inside_async_with_releases_the_lock_to_the_next_waiter():
    async def main():
        lock = asyncio.Lock()
        first = asyncio.create_task(t.with_cm(lock, _never()))
        await asyncio.sleep(0)
        assert lock.locked()
        second = asyncio.create_task(t.with_cm(lock, native("second", suspend=True)))
        await asyncio.sleep(0)
        first.cancel()
        with pytest.raises(asyncio.CancelledError):
            await first
        assert await second == (None, "second")
        assert not lock.locked()

    run(main())


def test_dropping_a_coroutine_suspended_in_async_with_releases_the_lock():
    async def main():
        lock = asyncio.Lock()
        coro = t.with_cm(lock, _never())
        coro.send(None)
        assert lock.locked()
        del coro
        assert not lock.locked()

    run(main())


# ---------------------------------------------------------------------------
# async with


class RecordingCM:
    """An async context manager recording its calls; __aexit__ returns `suppress` or raises `exit_error`."""

    def __init__(self, suppress=None, exit_error=None, suspend=True):
        self.suppress = suppress
        self.exit_error = exit_error
        self.suspend = suspend
        self.calls = []

    async def __aenter__(self):
        if self.suspend:
            await asyncio.sleep(0)
        self.calls.append("enter")
        return "entered"

    async def __aexit__(self, exc_type, exc, tb):
        if self.suspend:
            await asyncio.sleep(0)
        self.calls.append(("exit", exc_type, exc, tb))
        if self.exit_error is not None:
            raise self.exit_error
        return self.suppress


def test_async_with_passes_the_entered_value_and_exits_cleanly():
    cm = RecordingCM()
    assert run(t.with_cm(cm, native("body", suspend=True))) == ("entered", "body")
    assert cm.calls == ["enter", ("exit", None, None, None)]


def test_async_with_exit_gets_the_exception_and_may_suppress_it():
    exc = ValueError("in body")
    cm = RecordingCM(suppress=True)
    assert run(t.with_cm(cm, native_raise(exc, suspend=True))) is None
    _, exc_type, got, tb = cm.calls[1]
    assert exc_type is ValueError and got is exc and tb is got.__traceback__ and tb is not None


@pytest.mark.parametrize("suppress", [None, False, 0, ""], ids=repr)
def test_async_with_falsy_exit_result_reraises(suppress):
    exc = ValueError("in body")
    cm = RecordingCM(suppress=suppress)
    with pytest.raises(ValueError) as info:
        run(t.with_cm(cm, native_raise(exc)))
    assert info.value is exc


def test_async_with_exit_result_truth_failure_propagates():
    class Untruthy:
        def __bool__(self):
            raise OSError("no truth")

    cm = RecordingCM(suppress=Untruthy())
    with pytest.raises(OSError, match="no truth"):
        run(t.with_cm(cm, native_raise(ValueError())))


def test_async_with_exit_raising_sets_the_context():
    body_exc = ValueError("body")
    exit_exc = KeyError("exit")

    async def reference():
        async with RecordingCM(exit_error=KeyError("ref exit")):
            raise ValueError("ref body")

    with pytest.raises(KeyError) as ref:
        run(reference())
    assert type(ref.value.__context__) is ValueError

    cm = RecordingCM(exit_error=exit_exc)
    with pytest.raises(KeyError) as info:
        run(t.with_cm(cm, native_raise(body_exc)))
    assert info.value is exit_exc
    assert info.value.__context__ is body_exc
    assert info.value.__cause__ is None

    # with a clean body, __aexit__'s error carries no context
    cm = RecordingCM(exit_error=KeyError("exit only"))
    with pytest.raises(KeyError) as info:
        run(t.with_cm(cm, native("fine")))
    assert info.value.__context__ is None


def test_async_with_enter_failure_skips_exit():
    class EnterFails(RecordingCM):
        async def __aenter__(self):
            raise OSError("no entry")

    cm = EnterFails()
    with pytest.raises(OSError, match="no entry"):
        run(t.with_cm(cm, GenAwaitable()))
    assert cm.calls == []


def test_async_with_body_cancelled_passes_cancelled_error_to_exit():
    async def main():
        cm = RecordingCM(suspend=False)
        task = asyncio.create_task(t.with_cm(cm, _never()))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return cm.calls

    calls = run(main())
    assert calls[0] == "enter" and calls[1][1] is asyncio.CancelledError


def test_async_with_looks_up_the_protocol_on_the_type():
    class InstanceOnly:
        pass

    obj = InstanceOnly()
    obj.__aenter__ = RecordingCM().__aenter__
    obj.__aexit__ = RecordingCM().__aexit__

    async def reference(cm):
        async with cm:
            pass

    for cm in (obj, 5):
        expected = error_of(run, reference(cm))
        assert error_of(run, t.with_cm(cm, GenAwaitable())) == expected
        assert expected[0] is TypeError


def test_async_with_missing_aexit_text():
    class EnterOnly:
        async def __aenter__(self):
            return self

    async def reference(cm):
        async with cm:
            pass

    expected = error_of(run, reference(EnterOnly()))
    assert error_of(run, t.with_cm(EnterOnly(), GenAwaitable())) == expected


# ---------------------------------------------------------------------------
# async for


async def agen(items, fail_at=None, suspend=True):
    for i, item in enumerate(items):
        if i == fail_at:
            raise LookupError(f"failed at {i}")
        if suspend:
            await asyncio.sleep(0)
        yield item


class CountingAIter:
    """A hand-written async iterator (no generator) over range(n)."""

    def __init__(self, n):
        self.n = n
        self.i = 0

    def __aiter__(self):
        return self

    async def __anext__(self):
        await asyncio.sleep(0)
        if self.i >= self.n:
            raise StopAsyncIteration
        self.i += 1
        return self.i - 1


def test_async_for_collects_every_item():
    assert run(t.collect(agen(["a", "b", "c"]))) == ["a", "b", "c"]
    assert run(t.collect(agen([]))) == []
    assert run(t.collect(CountingAIter(4))) == [0, 1, 2, 3]
    assert run(t.collect(agen([None, (), 0], suspend=False))) == [None, (), 0]


def test_async_for_breaks_early():
    it = CountingAIter(10)
    assert run(t.collect(it, 3)) == [0, 1, 2]
    assert it.i == 4  # nothing read after the item that stopped it


def test_async_for_failure_in_the_middle_propagates():
    with pytest.raises(LookupError, match="failed at 2"):
        run(t.collect(agen([1, 2, 3, 4], fail_at=2)))


def test_async_for_body_awaits_and_breaks_or_fails():
    async def check(item):
        await asyncio.sleep(0)
        if item == "boom":
            raise OSError("body failed")
        return item == "stop"

    assert run(t.for_each(agen(["a", "b", "stop", "c"]), check)) == ["a", "b", "stop"]
    it = CountingAIter(5)
    assert run(t.for_each(it, lambda item: native(False))) == [0, 1, 2, 3, 4]
    it = agen(["a", "boom", "c"])
    with pytest.raises(OSError, match="body failed"):
        run(t.for_each(it, check))


def test_async_for_cancelled_mid_iteration():
    async def main():
        seen = []

        async def record(item):
            seen.append(item)
            return False

        async def endless():
            i = 0
            while True:
                await asyncio.sleep(0)
                yield i
                i += 1

        task = asyncio.create_task(t.for_each(endless(), record))
        for _ in range(5):
            await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return seen

    seen = run(main())
    assert seen and seen == list(range(len(seen)))


def test_async_for_rejects_what_is_not_async_iterable_as_python_does():
    class AiterReturnsInt:
        def __aiter__(self):
            return 1

    async def reference(x):
        async for _ in x:
            pass

    for bad in ([1, 2], AiterReturnsInt()):
        expected = error_of(run, reference(bad))
        assert error_of(run, t.collect(bad)) == expected
        assert expected[0] is TypeError
