"""Collection of pyco coroutines: what the collector sees of a coroutine, the two ways of
taking parameters, and finalisation of coroutines recycled through the free lists."""

import gc
import sys
import weakref

from ._support import GenAwaitable, native, t


def test_the_collector_sees_names_code_arguments_and_the_awaited_iterator():
    owner, aw = object(), GenAwaitable()
    coro = t.hold_await(owner, aw)
    assert gc.is_tracked(coro)
    referents = gc.get_referents(coro)
    assert t.hold_await in referents  # names and code come from the function
    assert owner in referents and aw in referents  # borrowed parameters
    coro.send(None)
    it = coro.cr_await
    assert it in gc.get_referents(coro)
    frame = coro.cr_frame
    assert frame in gc.get_referents(coro)
    # with the function's module as globals, as a Python function's frame has
    assert frame.f_globals is vars(t)
    coro.close()
    assert gc.get_referents(coro) == [t.hold_await]  # the finished frame holds nothing

    # more borrowed parameters than the promise keeps inline: all of them still seen
    a, b, c, d = object(), object(), object(), object()
    coro = t.hold_five(a, b, c, d, native("v"))
    held = [x for x in gc.get_referents(coro) if isinstance(x, tuple)]
    assert len(held) == 1 and held[0][:4] == (a, b, c, d)
    with_result = []
    try:
        coro.send(None)
    except StopIteration as stop:
        with_result.append(stop.value)
    assert with_result == [(a, b, c, d, "v")]


def test_py_object_parameters_stay_out_of_sight():
    # the form taking py::object keeps its arguments alive but the collector cannot
    # count those references: a cycle through them is not collected
    class Owner:
        pass

    owner = Owner()
    owner.coro = t.await_value(owner)
    ref = weakref.ref(owner)
    del owner
    gc.collect()
    assert ref() is not None
    ref().coro.close()  # the frame lets go of it: nothing else held the owner
    assert ref() is None


def test_borrowed_parameters_of_a_coroutine_called_from_cpp_are_held():
    # echo_temporary calls a coroutine with a tuple that dies at the end of that C++
    # statement; the callee's promise keeps it for the whole run
    coro = t.echo_temporary(GenAwaitable("x"))
    coro.send(None)
    gc.collect()
    junk = [(i,) for i in range(100)]  # a freed tuple's memory would be in use again
    try:
        coro.send(None)
    except StopIteration as stop:
        result = stop.value
    assert type(result) is tuple and len(result) == 1 and type(result[0]) is GenAwaitable
    del junk


def test_anonymous_awaited_coroutine_has_a_frame_too():
    coro = t.await_task(GenAwaitable())
    coro.send(None)
    inner = coro.cr_await  # the Task made in C++: no function behind it
    assert inner.cr_code is None
    assert inner.cr_frame.f_code.co_name == "coroutine"
    assert inner.cr_suspended and inner.cr_frame.f_back is None
    coro.close()
    assert inner.cr_frame is None


def test_recycled_coroutines_are_finalised_every_time():
    # objects are recycled through a free list; one that was finalised once (closed when
    # dropped, or by the collector) must not pass for finalised when used again
    cleaned = []

    def cleanup():
        cleaned.append(1)
        return native()

    class Owner:
        pass

    start = t.live_coroutines()
    for i in range(300):
        if i % 2:
            coro = t.cleanup_await(GenAwaitable(), cleanup)
            coro.send(None)
            del coro  # closed by its finaliser
        else:
            owner = Owner()
            owner.coro = t.cleanup_await(GenAwaitable(), lambda owner=owner: cleanup())
            owner.coro.send(None)
            del owner
            gc.collect()  # closed by the collector
        assert len(cleaned) == i + 1
    assert t.live_coroutines() == start
    assert sys.getrefcount(cleanup) == 2
