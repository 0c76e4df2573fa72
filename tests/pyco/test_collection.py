"""What the collector sees of a pyco coroutine, the two forms of parameters, and
finalisation of coroutine objects recycled through the free list."""

import gc

from ._support import GenAwaitable, finish, native, t


def test_the_collector_sees_function_arguments_awaited_iterator_and_frame():
    owner, aw = object(), GenAwaitable()
    coro = t.hold_await(owner, aw)
    assert gc.is_tracked(coro) and {id(x) for x in gc.get_referents(coro)} == {id(t.hold_await), id(owner), id(aw)}
    coro.send(None)
    frame = coro.cr_frame
    assert frame.f_globals is vars(t)  # the function's module, as for a Python function
    assert coro.cr_await in gc.get_referents(coro) and frame in gc.get_referents(coro)
    coro.close()
    assert gc.get_referents(coro) == [t.hold_await]  # the finished frame holds nothing

    # more borrowed parameters than the promise keeps inline
    a, b, c, d, e = object(), object(), object(), object(), native("v")
    coro = t.hold_five(a, b, c, d, e)
    assert [x for x in gc.get_referents(coro) if type(x) is tuple] == [(a, b, c, d, e)]
    assert finish(coro) == (a, b, c, d, "v")


def test_borrowed_parameters_of_a_coroutine_called_from_cpp_are_held():
    # echo_temporary passes a tuple that dies at the end of that C++ statement; the
    # callee's promise keeps it for the whole run
    coro = t.echo_temporary(GenAwaitable("x"))
    coro.send(None)
    junk = [(i,) for i in range(100)]  # a freed tuple's memory would be in use again
    result = finish(coro)
    assert type(result) is tuple and len(result) == 1 and type(result[0]) is GenAwaitable
    del junk


def test_coroutine_of_a_cpp_task_has_a_frame_too():
    coro = t.await_task(GenAwaitable())
    coro.send(None)
    inner = coro.cr_await  # made from a Task in C++: no function behind it
    assert inner.cr_code is None and inner.cr_frame.f_code.co_name == "coroutine"
    coro.close()
    assert inner.cr_frame is None


def test_recycled_coroutines_are_finalised_every_time():
    # a coroutine object finalised once (closed when dropped, or by the collector) keeps
    # that mark: were it recycled, the next coroutine in it would never be closed
    class Holder:
        pass

    cleaned = []
    gc.collect()
    start = t.live_coroutines()
    for i in range(300):
        holder = Holder()
        holder.coro = t.cleanup_await(GenAwaitable(), lambda holder=holder: native(cleaned.append(i)))
        holder.coro.send(None)
        if i % 2:
            del holder  # holder -> coroutine -> cleanup -> holder
            gc.collect()  # closed by the collector
        else:
            del holder.coro  # closed by its finaliser when dropped
        assert len(cleaned) == i + 1
    assert t.live_coroutines() == start


def test_a_closure_struct_is_seen_by_the_collector():
    import weakref

    class Owner:
        pass

    owner, other = Owner(), Owner()
    fn = t.make_pair_closure(owner, other)
    assert fn() == (owner, other)
    owner.fn = fn  # owner -> function -> its closure struct -> owner
    gone = weakref.ref(owner)
    del owner, fn
    gc.collect()
    assert gone() is None
    assert t.make_pair_closure(1, None)() == (1, None)
