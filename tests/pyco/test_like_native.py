"""One harness, two implementations: every scenario here runs on a pyco coroutine and on
the same `async def` (tests/pyco/_native.py), and both must end the same way — what
inspect, asyncio and the garbage collector report, and how send/throw behave at the edges.
A scenario that only the native side passes is a deviation of the C++ coroutine type."""

import asyncio
import gc
import inspect
import io
import types
import warnings
import weakref

import pytest

from . import _native
from ._support import GenAwaitable, PlainAwaitable, native, t


@pytest.fixture(params=["pyco", "native"])
def impl(request):
    if request.param == "native":
        return _native
    return types.SimpleNamespace(
        await_value=t.await_value,
        hold_await=t.hold_await,
        cleanup_await=t.cleanup_await,
        catch_exception=t.catch_exception,
        locked_await=t.locked_await,
        each_await=t.each_await,
        await_method=t.await_method,
        Counter=t.Counter,
    )


def _finish(coro, value=None):
    with pytest.raises(StopIteration) as info:
        coro.send(value)
    return info.value.value


# ---------------------------------------------------------------------------
# State as inspect and asyncio read it


def test_created_suspended_running_closed(impl):
    seen = []

    class Peek:
        def __await__(self):
            yield "suspended"
            seen.append(inspect.getcoroutinestate(self.outer))
            seen.append(self.outer.cr_frame is not None)
            return "done"

    aw = Peek()
    coro = aw.outer = impl.await_value(aw)
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
    frame = coro.cr_frame
    assert frame is not None and frame.f_code is coro.cr_code and frame.f_back is None
    assert coro.send(None) == "suspended"
    assert inspect.getcoroutinestate(coro) == inspect.CORO_SUSPENDED
    assert coro.cr_frame is frame
    assert _finish(coro) == "done"
    assert seen == [inspect.CORO_RUNNING, True]
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED and coro.cr_frame is None

    unstarted = impl.await_value(aw)
    unstarted.close()
    assert inspect.getcoroutinestate(unstarted) == inspect.CORO_CLOSED


def test_task_repr_and_stack_of_a_pending_and_a_finished_task(impl):
    async def main():
        fut = asyncio.get_running_loop().create_future()
        task = asyncio.create_task(impl.await_value(fut), name="waiter")
        await asyncio.sleep(0)
        pending = repr(task)
        stack = task.get_stack()
        out = io.StringIO()
        task.print_stack(file=out)
        fut.set_result(7)
        assert await task == 7
        return pending, stack, out.getvalue(), repr(task), task.get_coro()

    pending, stack, printed, finished, coro = asyncio.run(main())
    assert pending.startswith("<Task pending name='waiter' coro=<await_value() running at ")
    assert "wait_for=<Future pending" in pending
    assert [f.f_code for f in stack] == [coro.cr_code]
    assert printed.startswith(f"Stack for {pending} (most recent call last):\n  File ")
    assert ", in await_value\n" in printed
    assert finished.startswith("<Task finished name='waiter' coro=<await_value() done, defined at ")
    assert finished.endswith(" result=7>")


# ---------------------------------------------------------------------------
# Awaiting twice


def test_a_coroutine_awaited_already_cannot_be_awaited_again(impl):
    async def by_native(coro):
        return await coro

    async def main():
        fut = asyncio.get_running_loop().create_future()
        coro = impl.await_value(fut)
        first = asyncio.create_task(by_native(coro))
        await asyncio.sleep(0)
        errors = []
        for second in (by_native, t.await_value):
            try:
                await second(coro)
            except RuntimeError as e:
                errors.append(str(e))
        fut.set_result("first")
        return errors, await first

    errors, result = asyncio.run(main())
    assert errors == ["coroutine is being awaited already"] * 2
    assert result == "first"


# ---------------------------------------------------------------------------
# throw() at the edges


class _ThrowTarget:
    """Awaitable whose iterator yields once; its throw() is set per scenario."""

    def __init__(self, throw):
        self.throw = types.MethodType(throw, self)

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return "waiting"


def test_throw_ending_the_awaited_iterator_with_a_stop_iteration_subclass(impl):
    class OddStop(StopIteration):
        @property
        def value(self):
            raise AttributeError("unreadable")

    def throw(self, *args):
        raise OddStop("from throw")

    coro = impl.await_value(_ThrowTarget(throw))
    assert coro.send(None) == "waiting"
    # the return value travels in the exception itself, as the interpreter reads it
    with pytest.raises(StopIteration) as info:
        coro.throw(ValueError)
    assert info.value.args == ("from throw",)
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        coro.send(None)


def test_throw_ending_in_a_stop_iteration_that_cannot_be_made(impl):
    class Unmakeable(StopIteration):
        def __init__(self, *args):
            raise LookupError("cannot make it")

    target = _ThrowTarget(lambda self, *a: None)
    target.stop_class = Unmakeable
    target.throw = types.MethodType(t.lazy_throw, target)  # class + value, made on demand
    coro = impl.catch_exception(target)
    assert coro.send(None) == "waiting"
    result = _finish_throw(coro, ValueError("thrown"))
    assert result[0] == "caught" and type(result[1]) is LookupError
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        coro.send(None)


def _finish_throw(coro, exc):
    with pytest.raises(StopIteration) as info:
        coro.throw(exc)
    return info.value.value


def test_throw_with_arguments_that_make_no_exception_leaves_the_coroutine_waiting(impl):
    # an iterator without throw(): the exception would be raised at the await
    coro = impl.await_value(PlainAwaitable("plain"))
    assert coro.send(None) == "plain-yield"
    with pytest.raises(TypeError, match="^instance exception may not have a separate value$"):
        coro.throw(ValueError("x"), "separate")
    with pytest.raises(TypeError, match="^exceptions must be classes or instances deriving from BaseException"):
        coro.throw(42)
    assert _finish(coro) == "plain"

    # GeneratorExit closes the awaited iterator first; the coroutine waits on it, closed
    aw = GenAwaitable("never")
    coro = impl.await_value(aw)
    coro.send(None)
    with pytest.raises(TypeError, match="^instance exception may not have a separate value$"):
        coro.throw(GeneratorExit(), "separate")
    assert aw.events == ["closed"]
    assert _finish(coro) is None


# ---------------------------------------------------------------------------
# Garbage collection


def _live():
    gc.collect()  # what earlier tests left in cycles goes first
    return t.live_coroutines()


def _collect_until(predicate):
    for _ in range(3):
        gc.collect()
        if predicate():
            return True
    return False


def test_suspended_coroutine_in_a_cycle_through_its_arguments_is_collected_and_closed(impl):
    class Owner:
        pass

    start = _live()
    aw = GenAwaitable()
    owner = Owner()
    owner.coro = impl.hold_await(owner, aw)  # owner -> coroutine -> (argument) owner
    assert owner.coro.send(None) == "await-yield"
    ref = weakref.ref(owner)
    del owner
    assert _collect_until(lambda: ref() is None)
    assert aw.events == ["closed"]  # finalised as Python finalises its own: closed
    assert t.live_coroutines() == start


def test_suspended_coroutine_in_a_cycle_runs_its_cleanup(impl):
    cleaned = []

    class Owner:
        pass

    def make_cycle():
        owner = Owner()

        def cleanup():
            cleaned.append(owner)  # the coroutine holds cleanup, cleanup holds owner ...
            return native()

        owner.coro = impl.cleanup_await(GenAwaitable(), cleanup)  # ... owner holds the coroutine
        owner.coro.send(None)

    make_cycle()
    gc.collect()
    assert len(cleaned) == 1


def test_unstarted_coroutine_in_a_cycle_is_collected_with_a_warning(impl):
    class Owner:
        pass

    owner = Owner()
    owner.coro = impl.hold_await(owner, GenAwaitable())
    ref = weakref.ref(owner)
    del owner
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert _collect_until(lambda: ref() is None)
    assert [str(w.message) for w in caught] == ["coroutine 'hold_await' was never awaited"]


def _loop_with_recorded_errors():
    loop = asyncio.new_event_loop()
    reported = []
    loop.set_exception_handler(lambda loop, context: reported.append(context))
    return loop, reported


def _check_destroyed_pending(reported, live_at_start):
    assert [c["message"] for c in reported] == ["Task was destroyed but it is pending!"]
    # the report holds the task; its coroutine was closed when the cycle was collected
    assert inspect.getcoroutinestate(reported[0]["task"].get_coro()) == inspect.CORO_CLOSED
    reported.clear()
    assert _live() == live_at_start


def test_task_abandoned_on_a_future_nobody_completes(impl):
    start = _live()
    loop, reported = _loop_with_recorded_errors()
    try:
        aw = GenAwaitable()

        async def abandon():
            fut = loop.create_future()
            # task -> coroutine -> future -> task (hold_await: borrowed parameters, which
            # the collector sees; what a py::object parameter holds it cannot see)
            asyncio.ensure_future(impl.hold_await(None, fut))
            await asyncio.sleep(0)

        loop.run_until_complete(abandon())
        assert _collect_until(lambda: reported)
    finally:
        loop.close()
    _check_destroyed_pending(reported, start)
    del aw


def test_object_holding_its_own_task(impl):
    # as a kernel keeps the task of its own method: owner -> task -> coroutine -> owner
    start = _live()
    loop, reported = _loop_with_recorded_errors()
    try:

        async def start_waiting():
            owner = impl.Counter(0)
            owner.task = asyncio.ensure_future(owner.wait_for(loop.create_future()))
            owner.done_task = asyncio.ensure_future(owner.wait_for(native(5, suspend=True)))
            await owner.done_task
            assert owner.count == 5
            return weakref.ref(owner)

        ref = loop.run_until_complete(start_waiting())
        assert _collect_until(lambda: ref() is None)
    finally:
        loop.close()
    _check_destroyed_pending(reported, start)


class _LockOwner:
    """Holds a lock and an async generator method, as a kernel holds its socket lock."""

    def __init__(self):
        self.lock = asyncio.Lock()

    async def items(self):
        yield "first"
        yield "second"

    async def wait(self, aw):
        return await aw


def test_tasks_waiting_inside_async_with_and_async_for_are_collected(impl):
    # owner -> tasks -> coroutines -> the owner's lock (waiting to enter, or entered and
    # waiting in the body) and the owner's async generator -> owner
    start = _live()
    loop, reported = _loop_with_recorded_errors()
    try:

        async def start_waiting():
            owner = _LockOwner()
            done = await impl.locked_await(owner, native("free"))
            assert done == "free" and not owner.lock.locked()
            ready = loop.create_future()
            ready.set_result(1)  # awaitable again and again
            assert await impl.each_await(owner, ready) == [("first", 1), ("second", 1)]
            owner.inside = asyncio.ensure_future(impl.locked_await(owner, loop.create_future()))
            await asyncio.sleep(0)
            assert owner.lock.locked()
            owner.entering = asyncio.ensure_future(impl.locked_await(owner, ready))
            owner.looping = asyncio.ensure_future(impl.each_await(owner, loop.create_future()))
            await asyncio.sleep(0)
            return weakref.ref(owner)

        ref = loop.run_until_complete(start_waiting())
        assert _collect_until(lambda: ref() is None)
    finally:
        loop.close()
    assert [c["message"] for c in reported] == ["Task was destroyed but it is pending!"] * 3
    reported.clear()
    assert _live() == start


def test_method_called_for_an_await_looks_up_like_python_and_holds_nothing_unseen(impl):
    start = _live()
    loop, reported = _loop_with_recorded_errors()
    try:

        class Sub(_LockOwner):
            async def wait(self, aw):
                return ("sub", await aw)

        async def start_waiting():
            owner = _LockOwner()
            assert await impl.await_method(owner, native(1)) == 1
            assert await impl.await_method(Sub(), native(2)) == ("sub", 2)
            owner.wait = lambda aw: native(("patched", aw))  # an instance attribute wins
            assert await impl.await_method(owner, 3) == ("patched", 3)
            del owner.wait
            try:
                await impl.await_method(object(), 4)
            except AttributeError as e:
                assert str(e) == "'object' object has no attribute 'wait'"
            else:
                raise AssertionError("no AttributeError")
            # owner -> task -> coroutine -> owner, waiting inside owner.wait(...)
            owner.task = asyncio.ensure_future(impl.await_method(owner, loop.create_future()))
            await asyncio.sleep(0)
            return weakref.ref(owner)

        ref = loop.run_until_complete(start_waiting())
        assert _collect_until(lambda: ref() is None)
    finally:
        loop.close()
    _check_destroyed_pending(reported, start)
