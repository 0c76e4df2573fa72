"""One harness, two implementations: every scenario runs on pyco coroutines and on the
same `async def`s (_native.py, same names as the test module's) and must end the same
way: state as inspect and asyncio read it, awaiting twice, throw() at the edges, and
collection of cycles through suspended coroutines. A scenario that only the native side
passes is a deviation of the C++ coroutine type."""

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

S = inspect


@pytest.fixture(params=["pyco", "native"])
def impl(request):
    return t if request.param == "pyco" else _native


def _finish(coro, value=None, throw=None):
    with pytest.raises(StopIteration) as info:
        coro.throw(throw) if throw is not None else coro.send(value)
    return info.value.value


def test_state_as_inspect_and_asyncio_report_it(impl):
    seen = []

    class Peek:
        def __await__(self):
            yield "suspended"
            seen.append(S.getcoroutinestate(self.outer))
            return "done"

    aw = Peek()
    coro = aw.outer = impl.await_value(aw)
    states = [S.getcoroutinestate(coro)]
    frame = coro.cr_frame
    assert frame.f_code is coro.cr_code and frame.f_back is None
    coro.send(None)
    states.append(S.getcoroutinestate(coro))
    assert coro.cr_frame is frame and _finish(coro) == "done"
    states += seen + [S.getcoroutinestate(coro)]
    assert states == [S.CORO_CREATED, S.CORO_SUSPENDED, S.CORO_RUNNING, S.CORO_CLOSED]
    assert coro.cr_frame is None

    async def main():
        fut = asyncio.get_running_loop().create_future()
        task = asyncio.create_task(impl.await_value(fut), name="waiter")
        await asyncio.sleep(0)
        printed = io.StringIO()
        task.print_stack(file=printed)
        reports = [repr(task), [f.f_code for f in task.get_stack()], printed.getvalue()]
        fut.set_result(7)
        await task
        return reports + [repr(task), task.get_coro().cr_code]

    pending, stack, printed, finished, code = asyncio.run(main())
    assert pending.startswith("<Task pending name='waiter' coro=<await_value() running at ")
    assert "wait_for=<Future pending" in pending and stack == [code]
    assert printed.startswith(f"Stack for {pending} (most recent call last):\n  File ")
    assert ", in await_value\n" in printed
    assert finished.startswith("<Task finished name='waiter' coro=<await_value() done, defined at ")


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
            with pytest.raises(RuntimeError) as info:
                await second(coro)
            errors.append(str(info.value))
        fut.set_result("first")
        return errors, await first

    assert asyncio.run(main()) == (["coroutine is being awaited already"] * 2, "first")


class _Waiting:
    """An awaitable whose iterator yields once and whose throw() is given."""

    def __init__(self, throw, stop_class=None):
        self.throw = types.MethodType(throw, self)
        self.stop_class = stop_class

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return "waiting"


def test_throw_at_the_edges(impl):
    # the iterator ends with a StopIteration whose `value` attribute cannot be read: the
    # value travels in the exception itself, as the interpreter reads it
    class OddStop(StopIteration):
        @property
        def value(self):
            raise AttributeError("unreadable")

    def odd(self, *args):
        raise OddStop("from throw")

    coro = impl.catch_exception(_Waiting(odd))
    coro.send(None)
    assert _finish(coro, throw=ValueError) == ("ok", "from throw")
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        coro.send(None)

    # ... or with a StopIteration (reported as class and value) that cannot be made: the
    # error making it is raised at the await
    class Unmakeable(StopIteration):
        def __init__(self, *args):
            raise LookupError("cannot make it")

    coro = impl.catch_exception(_Waiting(t.lazy_throw, Unmakeable))
    coro.send(None)
    caught = _finish(coro, throw=ValueError("thrown"))
    assert caught[0] == "caught" and type(caught[1]) is LookupError

    # arguments that make no exception leave the coroutine waiting on its iterator, also
    # one without throw() and one that GeneratorExit has closed
    coro = impl.await_value(PlainAwaitable("plain"))
    coro.send(None)
    with pytest.raises(TypeError, match="^instance exception may not have a separate value$"):
        coro.throw(ValueError("x"), "separate")
    with pytest.raises(TypeError, match="^exceptions must be classes or instances deriving from BaseException"):
        coro.throw(42)
    assert _finish(coro) == "plain"
    aw = GenAwaitable("never")
    coro = impl.await_value(aw)
    coro.send(None)
    with pytest.raises(TypeError, match="^instance exception may not have a separate value$"):
        coro.throw(GeneratorExit(), "separate")
    assert aw.events == ["closed"] and _finish(coro) is None


def _live():
    gc.collect()  # what earlier tests left in cycles goes first
    return t.live_coroutines()


def _collected(ref):
    for _ in range(3):
        gc.collect()
        if ref() is None:
            return True
    return False


class _Owner:
    """Holds a lock, an async generator method and a method to await, as a kernel does."""

    def __init__(self):
        self.lock = asyncio.Lock()

    async def items(self):
        yield "first"
        yield "second"

    async def wait(self, aw):
        return await aw


def test_suspended_and_unstarted_coroutines_in_cycles_are_collected(impl):
    start = _live()
    aw, cleaned = GenAwaitable(), []
    owner = _Owner()
    owner.coro = impl.hold_await(owner, aw)  # owner -> coroutine -> (argument) owner
    owner.coro.send(None)
    other = _Owner()  # owner -> coroutine -> cleanup -> owner
    other.coro = impl.cleanup_await(GenAwaitable(), lambda other=other: native(cleaned.append(id(other))))
    other.coro.send(None)
    refs = [weakref.ref(owner), weakref.ref(other)]
    del owner, other
    assert all(_collected(ref) for ref in refs)
    assert aw.events == ["closed"] and len(cleaned) == 1  # closed, cleanup ran
    assert t.live_coroutines() == start

    owner = _Owner()
    owner.coro = impl.hold_await(owner, aw)
    ref = weakref.ref(owner)
    del owner
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert _collected(ref)
    assert [str(w.message) for w in caught] == ["coroutine 'hold_await' was never awaited"]


def test_pending_tasks_are_collected_with_their_owner(impl):
    start = _live()
    loop = asyncio.new_event_loop()
    reported = []
    loop.set_exception_handler(lambda loop, context: reported.append(context))

    class Sub(_Owner):
        async def wait(self, aw):
            return ("sub", await aw)

    async def start_tasks():
        owner, ready = _Owner(), loop.create_future()
        ready.set_result(1)  # awaitable again and again
        # finished runs first: lookups as Python makes them, locks released
        assert await impl.locked_await(owner, ready) == 1 and not owner.lock.locked()
        assert await impl.each_await(owner, ready) == [("first", 1), ("second", 1)]
        assert await impl.await_method(Sub(), ready) == ("sub", 1)
        owner.wait = lambda aw: native(("patched", aw))  # an instance attribute wins
        assert await impl.await_method(owner, 2) == ("patched", 2)
        del owner.wait
        with pytest.raises(AttributeError, match="^'object' object has no attribute 'wait'$"):
            await impl.await_method(object(), 3)
        # then tasks that never finish: owner -> task -> coroutine -> owner, through the
        # arguments, the lock (entered, or waited for), the generator, a method of owner
        never = loop.create_future
        counter = impl.Counter()
        counter.task = asyncio.ensure_future(counter.wait_for(never()))
        owner.tasks = [asyncio.ensure_future(impl.locked_await(owner, never())), None, None, None]
        await asyncio.sleep(0)
        owner.tasks[1:] = [
            asyncio.ensure_future(impl.locked_await(owner, ready)),
            asyncio.ensure_future(impl.each_await(owner, never())),
            asyncio.ensure_future(impl.await_method(owner, never())),
        ]
        asyncio.ensure_future(impl.hold_await(None, never()))  # task -> coroutine -> future -> task
        await asyncio.sleep(0)
        return weakref.ref(owner), weakref.ref(counter)

    try:
        refs = loop.run_until_complete(start_tasks())
        assert all(_collected(ref) for ref in refs)
    finally:
        loop.close()
    assert [c["message"] for c in reported] == ["Task was destroyed but it is pending!"] * 6
    # each destroyed task's coroutine was closed
    assert {S.getcoroutinestate(c["task"].get_coro()) for c in reported} == {S.CORO_CLOSED}
    reported.clear()
    assert _live() == start
