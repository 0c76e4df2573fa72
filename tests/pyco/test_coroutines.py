"""pyco coroutine objects driven as Python drives coroutines: awaiting every kind of
awaitable, results and exceptions crossing in both directions, send/throw/close,
finalisation and the coroutine attributes."""

import asyncio
import collections.abc
import gc
import inspect
import sys
import traceback
import types
import warnings
import weakref

import pytest

from ._support import (
    GenAwaitable,
    PlainAwaitable,
    Recovering,
    error_of,
    finish,
    gen_coroutine,
    native,
    native_raise,
    run,
    t,
)

# ---------------------------------------------------------------------------
# Awaiting each kind of awaitable


def _loop_awaitables():
    """name -> factory of an awaitable resolving to 'v' while running in a loop."""

    async def task_of():
        return await asyncio.create_task(native("v", suspend=True))

    def future_soon():
        fut = asyncio.get_running_loop().create_future()
        asyncio.get_running_loop().call_soon(fut.set_result, "v")
        return fut

    @types.coroutine
    def bare_yield():
        yield  # a bare yield hands control to the loop
        return "v"

    class LoopAwaitable:
        def __await__(self):
            yield from asyncio.sleep(0).__await__()
            return "v"

    return {
        "native-immediate": lambda: native("v"),
        "native-suspending": lambda: native("v", suspend=True),
        "task": lambda: asyncio.ensure_future(native("v", suspend=True)),
        "future": future_soon,
        "done-future": lambda: _done_future("v"),
        "__await__": LoopAwaitable,
        "types.coroutine": bare_yield,
        "pyco": lambda: t.await_value(native("v", suspend=True)),
        "pyco-immediate": lambda: t.return_value("v"),
        "native-awaiting-task": task_of,
    }


def _done_future(value):
    fut = asyncio.get_running_loop().create_future()
    fut.set_result(value)
    return fut


@pytest.mark.parametrize("kind", sorted(_loop_awaitables()))
def test_awaits_each_kind_through_the_loop(kind):
    factory = _loop_awaitables()[kind]

    async def main():
        single = await t.await_value(factory())
        pair = await t.await_pair(factory(), factory())
        via_task = await t.await_task(factory())
        return single, pair, via_task

    assert run(main()) == ("v", ("v", "v"), "v")


def _hand_awaitables():
    """name -> factory of (awaitable, the value it yields); each returns ('r', sent)."""

    async def native_yielding():
        return await gen_coroutine("r", marker="native-yield")

    class AwaitReturningSent:
        def __await__(self):
            sent = yield "dunder-yield"
            return ("r", sent)

    return {
        "types.coroutine": (lambda: gen_coroutine("r", marker="g"), "g"),
        "__await__": (AwaitReturningSent, "dunder-yield"),
        "native": (native_yielding, "native-yield"),
        "pyco": (lambda: t.await_value(gen_coroutine("r", marker="p")), "p"),
        "pyco-in-pyco": (lambda: t.await_task(gen_coroutine("r", marker="q")), "q"),
    }


@pytest.mark.parametrize("kind", sorted(_hand_awaitables()))
def test_yielded_value_reaches_the_driver_and_sent_value_the_awaitable(kind):
    factory, marker = _hand_awaitables()[kind]
    coro = t.await_value(factory())
    assert coro.send(None) == marker
    assert finish(coro, "reply") == ("r", "reply")


def test_next_drives_like_send_none():
    coro = t.await_value(gen_coroutine("r", marker="m"))
    assert next(coro) == "m"
    with pytest.raises(StopIteration) as info:
        next(coro)
    assert info.value.value == ("r", None)


def test_awaits_in_sequence_each_get_their_own_result():
    a, b = GenAwaitable("A", marker="ma"), GenAwaitable("B", marker="mb")
    coro = t.await_pair(a, b)
    assert coro.send(None) == "ma"
    assert coro.send(1) == "mb"
    assert finish(coro, 2) == ("A", "B")
    assert a.events == [("sent", 1)] and b.events == [("sent", 2)]


@pytest.mark.filterwarnings("ignore:coroutine .* was never awaited:RuntimeWarning")
def test_not_awaitable_objects_fail_with_the_interpreters_texts():
    class ReturnsInt:
        def __await__(self):
            return 42

    def plain_generator():
        yield 1

    async def coroutine_inside():
        return 1

    class ReturnsCoroutine:
        def __await__(self):
            return coroutine_inside()

    async def reference(x):
        return await x

    for make in (lambda: 42, plain_generator, ReturnsInt, ReturnsCoroutine):
        expected = error_of(run, reference(make()))
        assert error_of(run, t.await_value(make())) == expected
    assert expected == (TypeError, "__await__() returned a coroutine")


def test_awaits_an_object_whose_await_delegates_to_a_pyco_coroutine():
    class Delegating:
        def __init__(self, coro):
            self.coro = coro

        def __await__(self):
            return self.coro.__await__()

    async def from_python():
        return await Delegating(t.return_value("py"))

    assert run(from_python()) == "py"
    inner = t.return_value("pyco")
    try:
        assert run(t.await_value(Delegating(inner))) == "pyco"
    finally:
        inner.close()


# ---------------------------------------------------------------------------
# Results that are None, tuples and exception instances


RESULTS = [None, (), (1,), (1, 2), ((1, 2),), (None,), [3], ValueError("returned"), StopIteration(5), KeyError("k")]


def _same(a, b):
    if isinstance(b, BaseException):
        return a is b
    return type(a) is type(b) and a == b


@pytest.mark.parametrize("value", RESULTS, ids=repr)
def test_results_arrive_unchanged_on_every_route(value):
    # through am_send, driven by a Task
    assert _same(run(t.return_value(value)), value)

    async def from_native():
        direct = await t.return_value(value)
        immediate = await t.await_value(native(value))
        suspended = await t.await_value(native(value, suspend=True))
        fut = asyncio.get_running_loop().create_future()
        asyncio.get_running_loop().call_soon(fut.set_result, value)
        future = await t.await_value(fut)
        nested = await t.await_task(native(value, suspend=True))
        return direct, immediate, suspended, future, nested

    for got in run(from_native()):
        assert _same(got, value)

    # through the method calls: StopIteration carries the value
    assert _same(finish(t.return_value(value)), value)
    with pytest.raises(StopIteration) as info:
        next(t.return_value(value))
    assert _same(info.value.value, value)
    coro = t.await_value(GenAwaitable(value))
    coro.send(None)
    assert _same(finish(coro), value)


def test_result_of_throw_that_the_awaitable_turns_into_a_return():
    inner = Recovering(on_throw="return")
    coro = t.await_value(inner)
    assert coro.send(None) == "first"
    exc = ValueError("boom")
    with pytest.raises(StopIteration) as info:
        coro.throw(exc)
    assert info.value.value == ("handled", exc)
    assert inner.caught is exc


# ---------------------------------------------------------------------------
# Exceptions into the C++ coroutine


def _raising_awaitables(exc):
    async def in_task():
        return await asyncio.create_task(native_raise(exc, suspend=True))

    def failed_future():
        fut = asyncio.get_running_loop().create_future()
        asyncio.get_running_loop().call_soon(fut.set_exception, exc)
        return fut

    class RaisesAfterYield:
        def __await__(self):
            yield
            raise exc

    return {
        "native": lambda: native_raise(exc),
        "native-suspending": lambda: native_raise(exc, suspend=True),
        "task": in_task,
        "future": failed_future,
        "__await__": RaisesAfterYield,
        "pyco": lambda: t.raise_value(exc),
        "pyco-after-await": lambda: t.raise_cpp_after(asyncio.sleep(0), "python", "div"),
    }


CATCHERS = ["catch_exception", "catch_nothrow"]  # C++ try/catch, and await_nothrow + take_exception


@pytest.mark.parametrize("catcher", CATCHERS)
@pytest.mark.parametrize("kind", sorted(_raising_awaitables(None)))
def test_exceptions_of_the_awaited_thing_are_caught_as_exception(kind, catcher):
    exc = LookupError("inner failure")
    factory = _raising_awaitables(exc)[kind]
    catch = getattr(t, catcher)

    async def main():
        return await catch(factory())

    result = run(main())
    assert result[0] == "caught"
    if kind == "pyco-after-await":
        assert type(result[1]) is ZeroDivisionError and str(result[1]) == "div"
    else:
        assert result[1] is exc
    assert run(catch(native("fine", suspend=True))) == ("ok", "fine")
    assert run(catch(native((), suspend=False))) == ("ok", ())


class RaisesAtOnce:
    def __init__(self, exc):
        self.exc = exc

    def __await__(self):
        raise self.exc
        yield  # a generator that fails on its first step


AWAITED_RAISERS = {
    "native": lambda exc: native_raise(exc),
    "native-suspending": lambda exc: native_raise(exc, suspend=True),
    "__await__": RaisesAtOnce,
    "pyco-over-native": lambda exc: t.await_value(native_raise(exc)),
}


@pytest.mark.parametrize(
    "kind, catcher",
    [(kind, catcher) for kind in AWAITED_RAISERS for catcher in CATCHERS],
)
def test_caught_exception_keeps_its_traceback(kind, catcher):
    make = AWAITED_RAISERS[kind]

    async def reference():
        try:
            await make(LookupError("with frames"))
        except Exception as e:
            return [f.name for f in traceback.extract_tb(e.__traceback__)]

    expected = run(reference())[1:]  # without the reference's own frame
    exc = LookupError("with frames")
    outcome, caught = run(getattr(t, catcher)(make(exc)))
    assert outcome == "caught" and caught is exc
    assert [f.name for f in traceback.extract_tb(caught.__traceback__)] == expected
    assert expected  # the frames the exception passed through


@pytest.mark.parametrize("catcher", CATCHERS)
@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, asyncio.CancelledError, GeneratorExit])
@pytest.mark.parametrize("kind", ["native", "native-suspending", "__await__", "pyco"])
def test_base_exceptions_are_not_caught_as_exception(kind, exc_type, catcher):
    exc = exc_type("stop")
    factory = _raising_awaitables(exc)[kind]
    catch = getattr(t, catcher)

    async def main():
        return await catch(factory())

    loop = asyncio.new_event_loop()
    try:
        with pytest.raises(exc_type) as info:
            loop.run_until_complete(main())
    finally:
        loop.close()
    if exc_type is not asyncio.CancelledError:  # the Task replaces a CancelledError
        assert info.value is exc


@pytest.mark.parametrize("catcher", CATCHERS)
def test_cancelled_future_is_not_caught_as_exception(catcher):
    async def main():
        fut = asyncio.get_running_loop().create_future()
        asyncio.get_running_loop().call_soon(fut.cancel, "gone")
        return await getattr(t, catcher)(fut)

    with pytest.raises(asyncio.CancelledError):
        run(main())


def test_stop_iteration_inside_becomes_runtime_error():
    stop = StopIteration("escaped")
    coro = t.raise_value(stop)
    with pytest.raises(RuntimeError) as info:
        coro.send(None)
    assert str(info.value) == "coroutine raised StopIteration"
    assert info.value.__cause__ is stop
    assert info.value.__context__ is stop
    with pytest.raises(RuntimeError, match="^coroutine raised StopIteration$"):
        run(t.raise_value(StopIteration()))
    # one level further out it is an ordinary Exception
    kind, caught = run(t.catch_exception(t.raise_value(StopIteration(1))))
    assert kind == "caught" and type(caught) is RuntimeError


def test_exception_raised_in_the_coroutine_keeps_identity_and_traceback():
    exc = KeyError("k")
    with pytest.raises(KeyError) as info:
        t.raise_value(exc).send(None)
    assert info.value is exc
    assert info.value.__traceback__ is not None


# ---------------------------------------------------------------------------
# send()


def _native_unstarted():
    async def reference():
        return 1

    return reference()


def test_send_non_none_to_a_just_started_coroutine():
    ref = _native_unstarted()
    expected = error_of(ref.send, 1)
    ref.close()
    coro = t.return_value("x")
    assert (
        error_of(coro.send, 1)
        == expected
        == (
            TypeError,
            "can't send non-None value to a just-started coroutine",
        )
    )
    # the coroutine is still unstarted and usable
    assert finish(coro) == "x"


def test_send_value_to_an_awaited_iterator_without_send():
    async def reference(aw):
        return await aw

    ref = reference(PlainAwaitable())
    assert ref.send(None) == "plain-yield"
    expected = error_of(ref.send, "value")
    coro = t.await_value(PlainAwaitable())
    assert coro.send(None) == "plain-yield"
    assert error_of(coro.send, "value") == expected
    assert expected[0] is AttributeError
    # None resumes it through __next__
    coro = t.await_value(PlainAwaitable("returned"))
    coro.send(None)
    assert finish(coro) == "returned"


def test_reuse_after_completion():
    ref = _native_unstarted()
    with pytest.raises(StopIteration):
        ref.send(None)
    expected = error_of(ref.send, None)
    assert expected == (RuntimeError, "cannot reuse already awaited coroutine")

    coro = t.return_value(1)
    assert finish(coro) == 1
    assert error_of(coro.send, None) == expected
    assert error_of(next, coro) == expected
    assert error_of(coro.throw, ValueError) == expected
    assert coro.close() is None

    async def await_twice(c):
        await c
        await c

    assert error_of(run, await_twice(t.return_value(2))) == expected
    # after it raised, too
    failed = t.raise_value(ValueError("once"))
    with pytest.raises(ValueError):
        failed.send(None)
    assert error_of(failed.send, None) == expected


# ---------------------------------------------------------------------------
# throw()


def _suspended_native():
    async def reference(aw):
        return await aw

    coro = reference(GenAwaitable())
    coro.send(None)
    return coro


def _traceback():
    try:
        raise OSError("for its traceback")
    except OSError as e:
        return e.__traceback__


BAD_THROWS = {
    "no arguments": (),
    "four arguments": (ValueError, None, None, None),
    "not an exception": (42,),
    "instance with a value": (ValueError("x"), "value"),
    "bad traceback": (ValueError, None, "tb"),
    "class that is no exception": (int,),
}


@pytest.mark.parametrize("case", sorted(BAD_THROWS))
def test_throw_with_bad_arguments_has_the_interpreters_texts(case):
    args = BAD_THROWS[case]
    ref = _native_unstarted()
    expected = error_of(ref.throw, *args)
    ref.close()
    coro = t.return_value("still usable")
    assert error_of(coro.throw, *args) == expected
    assert expected[0] is TypeError
    assert finish(coro) == "still usable"


def test_throw_argument_count_texts():
    coro = t.no_await()
    assert error_of(coro.throw) == (TypeError, "throw expected at least 1 argument, got 0")
    assert error_of(coro.throw, 1, 2, 3, 4) == (TypeError, "throw expected at most 3 arguments, got 4")
    coro.close()


THROW_FORMS = {
    "class": lambda tb: (ValueError,),
    "class and message": lambda tb: (ValueError, "msg"),
    "class and args tuple": lambda tb: (ValueError, ("a", 1)),
    "class and instance": lambda tb: (ValueError, ValueError("inst")),
    "class, None, traceback": lambda tb: (ValueError, None, tb),
    "class, message, None": lambda tb: (ValueError, "m", None),
    "instance": lambda tb: (KeyError("inst"),),
    "instance, None": lambda tb: (KeyError("inst"), None),
    "instance, None, traceback": lambda tb: (KeyError("inst"), None, tb),
}


@pytest.mark.parametrize("form", sorted(THROW_FORMS))
def test_throw_forms_end_the_coroutine_as_in_python(form):
    tb = _traceback()
    args = THROW_FORMS[form](tb)
    ref = _suspended_native()
    with pytest.raises(BaseException) as expected:
        ref.throw(*args)

    inner = GenAwaitable()
    coro = t.await_value(inner)
    assert coro.send(None) == "await-yield"
    with pytest.raises(BaseException) as got:
        coro.throw(*args)
    assert type(got.value) is type(expected.value)
    assert got.value.args == expected.value.args
    if isinstance(args[0], BaseException):
        assert got.value is args[0]
    # the awaited iterator got it first
    assert inner.events and inner.events[0][0] == "thrown" and inner.events[0][1] is got.value
    if len(args) == 3 and args[2] is not None:
        chain = []
        tb_walk = got.value.__traceback__
        while tb_walk is not None:
            chain.append(tb_walk)
            tb_walk = tb_walk.tb_next
        assert tb in chain
    # the coroutine is over
    assert error_of(coro.send, None) == (RuntimeError, "cannot reuse already awaited coroutine")


def test_throw_handled_by_the_awaited_iterator_continues_the_coroutine():
    inner = Recovering(on_throw="yield")
    coro = t.await_value(inner)
    assert coro.send(None) == "first"
    exc = ValueError("try again")
    assert coro.throw(exc) == "recovered"
    assert inner.caught is exc
    assert coro.cr_suspended
    assert finish(coro, "after") == ("done", "after")


def test_throw_into_an_unstarted_coroutine_ends_it():
    gc.collect()
    coro = t.await_value(GenAwaitable())
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(ValueError, match="early"):
            coro.throw(ValueError("early"))
        assert error_of(coro.send, None) == (RuntimeError, "cannot reuse already awaited coroutine")
        del coro
        gc.collect()


def test_stop_iteration_thrown_into_an_unstarted_coroutine_becomes_runtime_error():
    ref = _native_unstarted()
    with pytest.raises(RuntimeError) as expected:
        ref.throw(StopIteration(5))
    coro = t.return_value(1)
    stop = StopIteration(5)
    with pytest.raises(RuntimeError) as got:
        coro.throw(stop)
    assert str(got.value) == str(expected.value) == "coroutine raised StopIteration"
    assert got.value.__cause__ is stop


def test_stop_iteration_thrown_at_a_suspended_await_becomes_runtime_error():
    for aw in (GenAwaitable(), PlainAwaitable()):
        coro = t.await_value(aw)
        coro.send(None)
        with pytest.raises(RuntimeError, match="raised StopIteration"):
            coro.throw(StopIteration(5))
        assert error_of(coro.send, None) == (RuntimeError, "cannot reuse already awaited coroutine")


def test_throw_generator_exit_closes_the_awaited_iterator_first():
    inner = GenAwaitable()
    coro = t.cleanup_await(inner, lambda: native("cleaned"))
    coro.send(None)
    with pytest.raises(GeneratorExit):
        coro.throw(GeneratorExit)
    assert inner.events == ["closed"]
    assert error_of(coro.send, None)[0] is RuntimeError


def test_throw_into_iterator_without_throw_raises_at_the_await():
    aw = PlainAwaitable()
    cleaned = []

    async def cleanup():
        cleaned.append(True)

    coro = t.cleanup_await(aw, cleanup)
    assert coro.send(None) == "plain-yield"
    with pytest.raises(ValueError, match="no throw here"):
        coro.throw(ValueError("no throw here"))
    assert cleaned == [True]
    assert aw.iterator.calls == 1


def test_throw_into_iterator_without_throw_releases_it():
    aw = PlainAwaitable()
    iterator = weakref.ref(aw.iterator)
    coro = t.cleanup_await(aw, lambda: GenAwaitable(marker="cleanup-yield"))
    assert coro.send(None) == "plain-yield"
    del aw
    assert coro.throw(ValueError("x")) == "cleanup-yield"
    assert not isinstance(coro.cr_await, type(iterator()))
    with pytest.raises(ValueError):
        coro.send(None)
    del coro
    gc.collect()
    assert iterator() is None


# ---------------------------------------------------------------------------
# close() and finalisation


def test_close_before_start():
    aw = GenAwaitable()
    held = weakref.ref(aw)
    coro = t.await_value(aw)
    del aw
    gc.collect()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert coro.close() is None
        assert held() is None  # the frame and its arguments are gone
        assert not coro.cr_suspended and not coro.cr_running
        assert error_of(coro.send, None) == (RuntimeError, "cannot reuse already awaited coroutine")
        assert coro.close() is None
        del coro
        gc.collect()


def test_close_while_suspended_closes_the_awaitable_then_runs_cleanup():
    inner = GenAwaitable()
    order = []

    def cleanup():
        order.append(("cleanup", list(inner.events)))
        return native("cleanup done")

    coro = t.cleanup_await(inner, cleanup)
    coro.send(None)
    assert coro.close() is None
    assert order == [("cleanup", ["closed"])]
    assert not coro.cr_suspended
    assert coro.close() is None


def test_close_when_cleanup_suspends_reports_ignored_generator_exit():
    async def reference(aw, cleanup):
        try:
            return await aw
        except BaseException:
            await cleanup()
            raise

    ref = reference(GenAwaitable(), lambda: GenAwaitable(marker="again"))
    ref.send(None)
    expected = error_of(ref.close)
    assert expected == (RuntimeError, "coroutine ignored GeneratorExit")

    coro = t.cleanup_await(GenAwaitable(), lambda: GenAwaitable(marker="again"))
    coro.send(None)
    assert error_of(coro.close) == expected
    assert coro.cr_suspended  # left at the await that ignored the exit, as Python leaves it
    with pytest.raises(ValueError):  # finish both without noise
        ref.throw(ValueError)
    with pytest.raises(GeneratorExit):
        coro.throw(GeneratorExit)


def test_close_of_a_coroutine_ignoring_generator_exit():
    coro = t.ignore_exit(GenAwaitable(), GenAwaitable(marker="second"))
    coro.send(None)
    assert error_of(coro.close) == (RuntimeError, "coroutine ignored GeneratorExit")
    # a coroutine that returns after GeneratorExit closes fine
    coro2 = t.ignore_exit(GenAwaitable(), native("no suspension"))
    coro2.send(None)
    assert coro2.close() is None
    assert not coro2.cr_suspended
    with pytest.raises(GeneratorExit):
        coro.throw(GeneratorExit)


def test_close_error_of_the_awaitable_propagates():
    class CloseFails:
        def __iter__(self):
            return self

        def __next__(self):
            return "yielded"

        def close(self):
            raise OSError("close failed")

    class Aw:
        def __await__(self):
            return CloseFails()

    async def reference():
        return await Aw()

    ref = reference()
    ref.send(None)
    expected = error_of(ref.close)
    coro = t.await_value(Aw())
    coro.send(None)
    assert error_of(coro.close) == expected == (OSError, "close failed")
    assert not coro.cr_suspended


def test_close_when_cleanup_raises_propagates_that_error():
    def cleanup():
        raise ValueError("cleanup failed")

    coro = t.cleanup_await(GenAwaitable(), cleanup)
    coro.send(None)
    with pytest.raises(ValueError, match="cleanup failed"):
        coro.close()


def test_dropping_a_suspended_coroutine_runs_its_cleanup():
    inner = GenAwaitable()
    cleaned = []

    def cleanup():
        cleaned.append(list(inner.events))
        return native()

    coro = t.cleanup_await(inner, cleanup)
    coro.send(None)
    del coro
    assert cleaned == [["closed"]]


def test_dropping_a_coroutine_that_ignores_generator_exit_reports_it(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((type(u.exc_value), str(u.exc_value))))
    coro = t.ignore_exit(GenAwaitable(), GenAwaitable(marker="second"))
    coro.send(None)
    del coro
    assert (RuntimeError, "coroutine ignored GeneratorExit") in seen


def test_never_awaited_coroutine_warns():
    with pytest.warns(RuntimeWarning, match="was never awaited"):
        t.no_await()
        gc.collect()


@pytest.mark.parametrize(
    "make, qualname",
    [(lambda: t.no_await(), "no_await"), (lambda: t.Counter().bump(None), "Counter.bump")],
    ids=["function", "method"],
)
def test_never_awaited_warning_names_the_coroutine(make, qualname):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        make()
        gc.collect()
    messages = [str(w.message) for w in caught if w.category is RuntimeWarning]
    assert f"coroutine '{qualname}' was never awaited" in messages


# ---------------------------------------------------------------------------
# Re-entry


def test_reentry_while_running_is_refused():
    outcome = {}

    class Reenter:
        def __init__(self):
            self.outer = None

        def __await__(self):
            outcome["running"] = self.outer.cr_running
            for name, call in [
                ("send", lambda: self.outer.send(None)),
                ("throw", lambda: self.outer.throw(ValueError)),
                ("close", lambda: self.outer.close()),
                ("next", lambda: next(self.outer)),
            ]:
                outcome[name] = error_of(call)
            yield "after"
            return "done"

    aw = Reenter()
    coro = t.await_value(aw)
    aw.outer = coro
    assert coro.send(None) == "after"
    assert outcome["running"] is True
    for name in ("send", "throw", "close", "next"):
        assert outcome[name] == (ValueError, "coroutine already executing")
    assert not coro.cr_running
    assert finish(coro) == "done"


def test_reentry_through_the_awaited_iterator_on_resume():
    errors = []

    class ResumeReenters:
        def __init__(self):
            self.outer = None

        def __await__(self):
            yield "first"
            errors.append(error_of(self.outer.send, None))
            return "ok"

    aw = ResumeReenters()
    coro = t.catch_exception(aw)
    aw.outer = coro
    coro.send(None)
    assert finish(coro) == ("ok", "ok")
    assert errors == [(ValueError, "coroutine already executing")]


def test_reentry_from_the_coroutines_own_code():
    errors = []
    outer = []

    def cleanup():
        coro = outer[0]
        errors.append((coro.cr_running, error_of(coro.send, None), error_of(coro.close)))
        return native()

    coro = t.cleanup_await(GenAwaitable(), cleanup)
    outer.append(coro)
    coro.send(None)
    with pytest.raises(KeyError):
        coro.throw(KeyError("go"))
    assert errors == [(True, (ValueError, "coroutine already executing"), (ValueError, "coroutine already executing"))]


# ---------------------------------------------------------------------------
# Interpreter exit with pyco objects alive


def _run_script(tmp_path, main, helper):
    """Runs `main` in a fresh interpreter that imports the test module as `t` and `helper`."""
    import os
    import shutil
    import subprocess

    # the extension module's init function is named after "_pyco_test": it imports from anywhere
    # (a copy: Windows makes symbolic links for administrators only)
    shutil.copy(t.__file__, tmp_path / os.path.basename(t.__file__))
    (tmp_path / "helper.py").write_text(helper)
    script = tmp_path / "main.py"
    script.write_text("import _pyco_test as t\nimport helper\n" + main)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path)] + [p for p in sys.path if p]))
    return subprocess.run(
        [sys.executable, "-W", "ignore::RuntimeWarning", str(script)],
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )


EXIT_HELPER = """
import types

@types.coroutine
def wait():
    yield "suspended"

async def cleanup():
    print("cleanup ran", flush=True)
"""


def test_interpreter_exit_with_live_coroutines_functions_and_classes(tmp_path):
    main = """
suspended = t.cleanup_await(helper.wait(), helper.cleanup)
assert suspended.send(None) == "suspended"
unstarted = t.await_value(None)
counter = t.Counter(3)
buffer = t.Buffer()
buffer.write("text")
fn = t.make_closure(counter)
Built = t.build_class("Built", (), {"buffer": buffer})
print("end of script", flush=True)
"""
    result = _run_script(tmp_path, main, EXIT_HELPER)
    assert result.returncode == 0, result.stderr
    # the suspended coroutine is finalised at exit: its cleanup runs
    assert result.stdout.splitlines() == ["end of script", "cleanup ran"]


# ---------------------------------------------------------------------------
# Attributes and type


def test_cr_await_follows_the_awaited_iterator():
    inner = native("v", suspend=True)
    coro = t.await_value(inner)
    assert coro.cr_await is None
    assert coro.send(None) is None  # asyncio.sleep(0) yields None
    assert coro.cr_await is inner
    assert coro.cr_suspended and not coro.cr_running
    assert finish(coro) == "v"
    assert coro.cr_await is None and not coro.cr_suspended

    gen = gen_coroutine(1)
    coro = t.await_value(gen)
    coro.send(None)
    assert coro.cr_await is gen
    coro.close()
    assert coro.cr_await is None


def test_coroutine_type_is_recognised_as_a_coroutine():
    coro = t.no_await()
    try:
        assert asyncio.iscoroutine(coro)
        assert isinstance(coro, collections.abc.Coroutine)
        assert isinstance(coro, collections.abc.Awaitable)
        assert inspect.isawaitable(coro)
        assert type(coro).__name__ == "coroutine"
        assert weakref.ref(coro)() is coro
        # a frame while it can run, as inspect and asyncio expect (see test_like_native)
        assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
        assert type(coro.cr_frame) is types.FrameType and coro.cr_frame.f_code is coro.cr_code
    finally:
        coro.close()
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED and coro.cr_frame is None
    # weak references die with the object, and a recycled object starts without any
    dead = []
    ref = weakref.ref(coro, dead.append)
    del coro
    assert ref() is None and dead == [ref]
    fresh = [t.no_await() for _ in range(3)]
    for c in fresh:
        assert weakref.getweakrefcount(c) == 0
        c.close()


def test_coroutine_names_can_be_set():
    coro = t.no_await()
    coro.__name__ = "renamed"
    coro.__qualname__ = "Some.renamed"
    assert (coro.__name__, coro.__qualname__) == ("renamed", "Some.renamed")
    assert repr(coro).startswith("<coroutine object Some.renamed at 0x")
    assert error_of(setattr, coro, "__name__", 1) == (TypeError, "__name__ must be set to a string object")
    coro.close()


def test_coroutine_carries_the_functions_names_and_code():
    coro = t.await_value(None)
    method_coro = t.Counter().bump(None)
    try:
        assert (coro.__name__, coro.__qualname__) == ("await_value", "await_value")
        assert repr(coro).startswith("<coroutine object await_value at 0x")
        assert coro.cr_code is t.await_value.__code__
        assert (method_coro.__name__, method_coro.__qualname__) == ("bump", "Counter.bump")
        assert method_coro.cr_code is t.Counter.bump.__code__
    finally:
        coro.close()
        method_coro.close()
