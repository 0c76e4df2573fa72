"""Awaitables and small tools shared by the pyco tests.

Everything here is plain Python: the objects a C++ coroutine awaits, and reference
implementations whose behaviour the C++ side has to reproduce.
"""

import asyncio
import types

import pytest

import vantrel_master._pyco_test as t  # noqa: F401  (re-exported for the test modules)


@types.coroutine
def gen_coroutine(value, marker="gen-yield"):
    """A generator-based coroutine: yields `marker` once, returns (value, what was sent)."""
    sent = yield marker
    return (value, sent)


class GenAwaitable:
    """An object with a generator __await__: yields `marker` once, returns `value`.

    Records what it was resumed with and what happened to it.
    """

    def __init__(self, value=None, marker="await-yield"):
        self.value = value
        self.marker = marker
        self.events = []

    def __await__(self):
        try:
            sent = yield self.marker
        except GeneratorExit:
            self.events.append("closed")
            raise
        except BaseException as e:
            self.events.append(("thrown", e))
            raise
        self.events.append(("sent", sent))
        return self.value


class Recovering:
    """An awaitable whose iterator handles a thrown exception: it either yields again
    ("recovered") or returns ("handled", exc), as chosen."""

    def __init__(self, on_throw="yield"):
        self.on_throw = on_throw
        self.caught = None

    def __await__(self):
        try:
            sent = yield "first"
        except Exception as e:
            self.caught = e
            if self.on_throw == "return":
                return ("handled", e)
            sent = yield "recovered"
        return ("done", sent)


class PlainIterator:
    """An iterator without send/throw/close methods: yields once, then returns `value`."""

    def __init__(self, value="plain"):
        self.value = value
        self.calls = 0

    def __iter__(self):
        return self

    def __next__(self):
        self.calls += 1
        if self.calls == 1:
            return "plain-yield"
        raise StopIteration(self.value)


class PlainAwaitable:
    def __init__(self, value="plain"):
        self.iterator = PlainIterator(value)

    def __await__(self):
        return self.iterator


async def native(value=None, suspend=False):
    """A native coroutine returning `value`, optionally passing through the loop once."""
    if suspend:
        await asyncio.sleep(0)
    return value


async def native_raise(exc, suspend=False):
    if suspend:
        await asyncio.sleep(0)
    raise exc


def error_of(fn, *args, **kwargs):
    """(type, message) of what fn(*args, **kwargs) raises."""
    try:
        fn(*args, **kwargs)
    except BaseException as e:  # noqa: BLE001 - every kind is compared
        return type(e), str(e)
    pytest.fail(f"{fn!r} raised nothing")


def finish(coro, value=None):
    """Sends `value` into a suspended coroutine and returns what it returns."""
    with pytest.raises(StopIteration) as info:
        coro.send(value)
    return info.value.value


def run(coro):
    return asyncio.run(coro)
