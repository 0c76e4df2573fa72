"""Classes built by pyco's class builder: made by the bases' metaclass from a complete
namespace, so that io.TextIOBase, ABCs, __init_subclass__, __set_name__, metaclasses and
Python subclasses behave as for a class statement."""

import abc
import asyncio
import contextlib
import io
import pickle
import typing
import weakref

from ._support import error_of, native, run, t

# ---------------------------------------------------------------------------
# A text stream on io.TextIOBase


def test_buffer_captures_print_through_redirect_stdout():
    buf = t.Buffer()
    with contextlib.redirect_stdout(buf):
        print("héllo", 1, "\ud83d\ude00", sep="|")
        print("second line", end="")
    assert buf.getvalue() == "héllo|1|\ud83d\ude00\nsecond line"


def test_buffer_is_a_text_stream():
    buf = t.Buffer()
    assert isinstance(buf, io.TextIOBase) and isinstance(buf, io.IOBase)
    assert issubclass(t.Buffer, io.TextIOBase)
    assert type(t.Buffer) is abc.ABCMeta
    assert t.Buffer.__abstractmethods__ == frozenset()
    assert buf.writable() and not buf.readable() and not buf.seekable()
    buf.writelines(["a", "b"])
    print("c", file=buf)
    assert buf.getvalue() == "abc\n"
    with t.Buffer() as managed:
        managed.write("x")
    assert managed.closed
    assert t.Buffer.__doc__ == "Collects text."
    assert (t.Buffer.__module__, t.Buffer.__qualname__, t.Buffer.__name__) == (t.__name__, "Buffer", "Buffer")
    assert t.Buffer.write.__qualname__ == "Buffer.write"


def test_buffer_subclassed_in_python_with_super_calls():
    class Upper(t.Buffer):
        def __init__(self, prefix):
            super().__init__()
            self.prefix = prefix

        def write(self, s):
            return super().write(self.prefix + s.upper() if s else s)

    buf = Upper("> ")
    with contextlib.redirect_stdout(buf):
        print("quiet", end="")
    assert buf.getvalue() == "> QUIET"
    assert isinstance(buf, t.Buffer) and isinstance(buf, io.TextIOBase)
    assert Upper.__mro__[1] is t.Buffer
    assert Upper.__abstractmethods__ == frozenset()


def test_redirect_stderr_and_traceback_printing():
    import traceback

    buf = t.Buffer()
    try:
        raise ValueError("shown")
    except ValueError:
        with contextlib.redirect_stderr(buf):
            traceback.print_exc()
    assert buf.getvalue().startswith("Traceback (most recent call last):")
    assert buf.getvalue().endswith("ValueError: shown\n")


# ---------------------------------------------------------------------------
# A plain class: property, constant, annotations, classmethod, staticmethod


class ReferenceCounter:
    @property
    def doubled(self):
        return 0


def test_plain_class_shape():
    counter = t.Counter(4)
    assert type(t.Counter) is type
    assert vars(counter) == {"count": 4}
    assert t.Counter().count == 0
    assert counter.doubled == 8
    assert isinstance(t.Counter.__dict__["doubled"], property)
    assert t.Counter.LIMIT == counter.LIMIT == 10
    assert t.Counter.__annotations__ == {"count": int}
    assert typing.get_type_hints(t.Counter) == {"count": int}
    assert t.Counter.__doc__ is None
    assert (t.Counter.__module__, t.Counter.__qualname__) == (t.__name__, "Counter")
    assert weakref.ref(counter)() is counter


def test_property_without_setter_refuses_assignment_as_python_does():
    counter = t.Counter(1)
    ref = ReferenceCounter()
    kind, text = error_of(setattr, counter, "doubled", 3)
    ref_kind, ref_text = error_of(setattr, ref, "doubled", 3)
    assert kind is ref_kind is AttributeError
    assert text == ref_text.replace("ReferenceCounter", "Counter")


def test_instances_pickle_by_module_and_qualname():
    counter = t.Counter(7)
    copy = pickle.loads(pickle.dumps(counter))
    assert type(copy) is t.Counter and copy.count == 7


def test_async_method_and_python_subclass_overriding_it():
    class Logged(t.Counter):
        LIMIT = 20

        def __init__(self, start=5):
            super().__init__(start)
            self.log = []

        async def bump(self, aw):
            result = await super().bump(aw)
            self.log.append(result)
            return ("logged", result)

        @property
        def doubled(self):
            return ("sub", super().doubled)

    logged = Logged()
    assert run(logged.bump(native(1, suspend=True))) == ("logged", 6)
    assert logged.log == [6]
    assert logged.doubled == ("sub", 12)
    assert Logged.LIMIT == 20 and t.Counter.LIMIT == 10
    made = Logged.make()
    assert type(made) is Logged and made.count == 100


def test_async_method_concurrently_on_one_instance():
    async def main():
        counter = t.Counter(0)
        futures = [asyncio.get_running_loop().create_future() for _ in range(3)]
        tasks = [asyncio.create_task(counter.bump(f)) for f in futures]
        await asyncio.sleep(0)
        for i, f in enumerate(futures):
            f.set_result(10**i)
        await asyncio.gather(*tasks)
        return counter.count

    assert run(main()) == 111


# ---------------------------------------------------------------------------
# Classes built on Python-defined bases, at run time


def test_built_class_on_a_python_base():
    class Base:
        def __init__(self, x):
            self.x = x

        def describe(self):
            return ("base", self.hello())

    Built = t.build_class("Built", (Base,))
    obj = Built(3)
    assert obj.x == 3
    assert obj.hello() == ("hello", "Built")
    assert obj.describe() == ("base", ("hello", "Built"))
    assert run(obj.ahello(native("a", suspend=True))) == ("ahello", "a")
    assert Built.__mro__ == (Built, Base, object)
    assert (Built.__qualname__, Built.__module__, Built.__doc__) == ("Built", t.__name__, "Built at run time.")
    assert Built.hello.__qualname__ == "Built.hello"


def test_property_with_a_checked_setter():
    Built = t.build_class("Built")
    obj = Built()
    assert obj.label == "unset"
    obj.label = "named"
    assert obj.label == "named" and vars(obj) == {"_label": "named"}
    assert error_of(setattr, obj, "label", 5) == (
        TypeError,
        "Argument 'value' has incorrect type (expected str, got int)",
    )
    prop = Built.__dict__["label"]
    assert isinstance(prop, property)
    assert prop.fget.__qualname__ == prop.fset.__qualname__ == "Built.label"
    assert error_of(delattr, obj, "label")[0] is AttributeError


def test_abc_bookkeeping():
    class Greeter(abc.ABC):
        @abc.abstractmethod
        def hello(self): ...

    class TwoMethods(Greeter):
        @abc.abstractmethod
        def other(self): ...

    Complete = t.build_class("Complete", (Greeter,))
    assert type(Complete) is abc.ABCMeta
    assert Complete.__abstractmethods__ == frozenset()
    assert Complete().hello() == ("hello", "Complete")
    assert isinstance(Complete(), Greeter)

    Partial = t.build_class("Partial", (TwoMethods,))
    assert Partial.__abstractmethods__ == frozenset({"other"})

    class PythonPartial(TwoMethods):
        def hello(self):
            pass

    expected = error_of(PythonPartial)[1].replace("PythonPartial", "Partial")
    assert error_of(Partial) == (TypeError, expected)


def test_init_subclass_sees_the_complete_namespace():
    seen = []

    class Plugin:
        def __init_subclass__(cls, **kwargs):
            super().__init_subclass__(**kwargs)
            seen.append((cls.__name__, "hello" in cls.__dict__, "ahello" in cls.__dict__, cls.__dict__.get("VERSION")))

    Built = t.build_class("Built", (Plugin,), {"VERSION": 2})

    class Further(Built):
        pass

    assert seen == [("Built", True, True, 2), ("Further", False, False, None)]


def test_set_name_runs_for_namespace_attributes():
    class Field:
        def __set_name__(self, owner, name):
            self.owner, self.name = owner, name

        def __get__(self, obj, objtype=None):
            return self if obj is None else ("field", self.name)

    a, b = Field(), Field()
    Built = t.build_class("Built", (), {"first": a, "second": b})
    assert (a.owner, a.name) == (Built, "first")
    assert (b.owner, b.name) == (Built, "second")
    assert Built().first == ("field", "first")


def test_metaclass_of_the_bases_makes_the_class_from_a_prepared_namespace():
    calls = []

    class Recording(dict):
        def __setitem__(self, key, value):
            calls.append(("set", key))
            super().__setitem__(key, value)

    class Meta(type):
        @classmethod
        def __prepare__(mcs, name, bases, **kwargs):
            calls.append(("prepare", name, bases))
            return Recording()

        def __new__(mcs, name, bases, ns, **kwargs):
            calls.append(("new", name, type(ns).__name__, sorted(k for k in ns if not k.startswith("__"))))
            return super().__new__(mcs, name, bases, dict(ns), **kwargs)

        def __init__(cls, name, bases, ns, **kwargs):
            calls.append(("init", name))
            super().__init__(name, bases, ns, **kwargs)

    class Base(metaclass=Meta):
        pass

    calls.clear()
    Built = t.build_class("Built", (Base,), {"extra": 1})
    assert type(Built) is Meta
    assert calls[0] == ("prepare", "Built", (Base,))
    set_keys = [c[1] for c in calls if c[0] == "set"]
    assert {"__module__", "__qualname__", "__doc__", "extra", "hello", "ahello", "label"} <= set(set_keys)
    assert calls[-2] == ("new", "Built", "Recording", ["ahello", "extra", "hello", "label"])
    assert calls[-1] == ("init", "Built")
    assert Built().hello() == ("hello", "Built")


def test_metaclass_conflict_is_reported_as_for_a_class_statement():
    class M1(type):
        pass

    class M2(type):
        pass

    class A(metaclass=M1):
        pass

    class B(metaclass=M2):
        pass

    def statement():
        class C(A, B):
            pass

    assert error_of(t.build_class, "C", (A, B)) == error_of(statement)


def test_class_builder_arguments_are_checked():
    assert error_of(t.build_class, 1) == (TypeError, "Argument 'name' has incorrect type (expected str, got int)")
    assert error_of(t.build_class, "X", (), []) == (
        TypeError,
        "Argument 'attrs' has incorrect type (expected dict, got list)",
    )


def test_generic_base_is_resolved_as_for_a_class_statement():
    T = typing.TypeVar("T")
    Built = t.build_class("Built", (typing.Generic[T],))
    assert Built.__orig_bases__ == (typing.Generic[T],)
    assert Built[int]().hello() == ("hello", "Built")
