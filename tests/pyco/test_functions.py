"""pyco function objects: argument binding and its error texts, exact-type argument
checks, introspection (signature, __code__, defaults, coroutine detection), mock and
functools.wraps, and descriptor binding as for Python functions."""

import asyncio
import functools
import inspect
import types
from unittest import mock

import pytest

from ._support import error_of, native, run, t


# Python functions and a class with the same signatures and qualified names as the C++ ones.
def params(a, b=2, *args, c, d=4, **kw):
    return (a, b, args, c, d, kw)


async def await_value(aw):
    return await aw


def typed(code: str, items: list, opts: dict = None, tags: set = None):
    return (code, items, opts, tags)


def kwonly_fn(a, *, b, c=3):
    return (a, b, c)


def three(x, y, z, *, p, q, r):
    return (x, y, z, p, q, r)


async def no_await():
    return 1


class Counter:
    def __init__(self, start=0):
        self.count = start

    async def bump(self, aw):
        pass

    @classmethod
    def make(cls):
        return cls(100)

    @staticmethod
    def add(a, b):
        return a + b

    def describe(self, prefix="n="):
        return f"{prefix}{self.count}"


REFERENCE = {
    "params": params,
    "await_value": await_value,
    "typed": typed,
    "kwonly_fn": kwonly_fn,
    "three": three,
    "no_await": no_await,
}


# ---------------------------------------------------------------------------
# Binding


BINDINGS = [
    ((1,), {"c": 3}),
    ((1, 20), {"c": 3}),
    ((1, 20, 30, 40), {"c": 3, "d": 5}),
    ((), {"a": 1, "c": 3}),
    ((), {"c": 3, "a": 1, "b": 9}),
    ((1,), {"c": 3, "e": 5, "f": 6}),
    ((1,), {"c": 3, "args": "named args", "kw": "named kw"}),
    ((1, 2, 3), {"c": None, "d": None, "zz": None}),
]


@pytest.mark.parametrize("args, kwargs", BINDINGS)
def test_keyword_only_and_var_keyword_binding(args, kwargs):
    assert t.params(*args, **kwargs) == params(*args, **kwargs)


def test_binding_other_shapes():
    assert t.kwonly_fn(1, b=2) == (1, 2, 3)
    assert t.kwonly_fn(b=2, a=1, c=4) == (1, 2, 4)
    assert t.three(1, 2, 3, r=6, q=5, p=4) == (1, 2, 3, 4, 5, 6)
    assert t.typed("x", [1]) == ("x", [1], None, None)
    assert t.typed(items=[], code="c", tags={1}) == ("c", [], None, {1})
    # keyword names built at run time (not interned) bind as well
    a_name, c_name = "".join(["a"]), "".join(["c"])
    assert t.params(**{a_name: 1, c_name: 2, "".join(["x", "y"]): 3}) == (1, 2, (), 2, 4, {"xy": 3})
    # the very objects are passed, not copies
    items = [1]
    assert t.typed("x", items)[1] is items


def test_binding_many_parameters():
    ref = eval(
        "lambda a0, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11=11, *, a12=12, a13: "
        "(a0, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13)"
    )
    ref.__qualname__ = "many"
    calls = [
        (tuple(range(11)), {"a13": "s"}),
        (tuple(range(12)), {"a13": "s", "a12": "k"}),
        ((), {f"a{i}": i for i in range(13)} | {"a13": "s"}),
        (tuple(range(5)), {f"a{i}": -i for i in range(5, 11)} | {"a13": ""}),
    ]
    for args, kwargs in calls:
        assert t.many(*args, **kwargs) == ref(*args, **kwargs)
    for args, kwargs in [(tuple(range(13)), {"a13": "s"}), (tuple(range(10)), {"a13": "s"}), (tuple(range(11)), {})]:
        assert error_of(t.many, *args, **kwargs) == error_of(ref, *args, **kwargs)
    assert error_of(t.many, *range(11), a13=1) == (
        TypeError,
        "Argument 'a13' has incorrect type (expected str, got int)",
    )


BINDING_ERRORS = [
    ("params", (), {}),
    ("params", (1,), {}),
    ("params", (), {"c": 1}),
    ("params", (1,), {"a": 2, "c": 3}),
    ("params", (1, 2), {"b": 3, "c": 4}),
    ("await_value", (), {}),
    ("await_value", (1, 2), {}),
    ("await_value", (), {"bogus": 1}),
    ("await_value", (), {"aw": 1, "x": 2}),
    ("await_value", (1,), {"aw": 2}),
    ("typed", (), {}),
    ("typed", ("a",), {}),
    ("typed", ("a", [], None, None, 5), {}),
    ("typed", ("a", []), {"code": "again"}),
    ("kwonly_fn", (1,), {}),
    ("kwonly_fn", (), {"b": 1}),
    ("kwonly_fn", (1, 2), {}),
    ("kwonly_fn", (1, 2), {"b": 1}),
    ("kwonly_fn", (1, 2, 3), {"b": 1, "c": 2}),
    ("kwonly_fn", (1,), {"b": 1, "d": 2}),
    ("three", (), {}),
    ("three", (1,), {}),
    ("three", (1, 2, 3), {}),
    ("three", (1, 2, 3), {"q": 1}),
    ("three", (1, 2, 3, 4), {"p": 1, "q": 2, "r": 3}),
    ("no_await", (1,), {}),
    ("no_await", (1, 2), {}),
    ("no_await", (), {"x": 1}),
    # keyword problems are reported before surplus positional arguments
    ("await_value", (1, 2), {"bogus": 3}),
    ("await_value", (1, 2), {"aw": 3}),
    ("kwonly_fn", (1, 2), {"a": 3, "b": 4}),
]


@pytest.mark.parametrize("name, args, kwargs", BINDING_ERRORS)
def test_binding_errors_have_the_interpreters_texts(name, args, kwargs):
    expected = error_of(REFERENCE[name], *args, **kwargs)
    assert expected[0] is TypeError
    assert error_of(getattr(t, name), *args, **kwargs) == expected


def test_method_binding_errors_name_the_class():
    c, ref = t.Counter(1), Counter(1)
    calls = [
        lambda o: o.bump(),
        lambda o: o.bump(1, 2),
        lambda o: o.bump(aw=1, other=2),
        lambda o: type(o).bump(),
        lambda o: type(o).make(1),
        lambda o: type(o).add(1),
        lambda o: type(o)(1, 2),
        lambda o: type(o)(begin=1),
        lambda o: o.describe(1, 2),
    ]
    for call in calls:
        expected = error_of(call, ref)
        assert expected[0] is TypeError
        assert error_of(call, c) == expected


def test_coroutine_function_checks_arguments_before_the_coroutine_exists():
    before = t.live_coroutines()
    with pytest.raises(TypeError, match=r"^await_value\(\) missing 1 required positional argument: 'aw'$"):
        t.await_value()
    with pytest.raises(TypeError, match=r"^Argument 'code' has incorrect type \(expected str, got int\)$"):
        t.typed_async(1)
    assert t.live_coroutines() == before
    assert run(t.typed_async("ok")) == "ok"


# ---------------------------------------------------------------------------
# Exact-type argument checks


class StrSub(str):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


class SetSub(set):
    pass


TYPE_ERRORS = [
    ((1, []), {}, "Argument 'code' has incorrect type (expected str, got int)"),
    ((None, []), {}, "Argument 'code' has incorrect type (expected str, got NoneType)"),
    ((b"code", []), {}, "Argument 'code' has incorrect type (expected str, got bytes)"),
    ((StrSub("x"), []), {}, "Argument 'code' has incorrect type (expected str, got StrSub)"),
    (("x", ListSub()), {}, "Argument 'items' has incorrect type (expected list, got ListSub)"),
    (("x", (1,)), {}, "Argument 'items' has incorrect type (expected list, got tuple)"),
    (("x", None), {}, "Argument 'items' has incorrect type (expected list, got NoneType)"),
    (("x", [], DictSub()), {}, "Argument 'opts' has incorrect type (expected dict, got DictSub)"),
    (("x", [], []), {}, "Argument 'opts' has incorrect type (expected dict, got list)"),
    (("x", [], None, frozenset()), {}, "Argument 'tags' has incorrect type (expected set, got frozenset)"),
    (("x", [], None, SetSub()), {}, "Argument 'tags' has incorrect type (expected set, got SetSub)"),
    ((), {"code": 1, "items": []}, "Argument 'code' has incorrect type (expected str, got int)"),
    ((), {"items": (), "code": 1}, "Argument 'code' has incorrect type (expected str, got int)"),
    (("x", []), {"tags": {}}, "Argument 'tags' has incorrect type (expected set, got dict)"),
]


@pytest.mark.parametrize("args, kwargs, message", TYPE_ERRORS)
def test_exact_type_checks(args, kwargs, message):
    assert error_of(t.typed, *args, **kwargs) == (TypeError, message)


def test_exact_type_checks_accept_exact_types_and_allowed_none():
    assert t.typed("", [], {}, set()) == ("", [], {}, set())
    assert t.typed("", [], None, None) == ("", [], None, None)
    assert t.typed("\ud800", []) == ("\ud800", [], None, None)
    # binding errors come before type errors
    assert error_of(t.typed, 1) == (TypeError, "typed() missing 1 required positional argument: 'items'")


def test_checked_method_argument():
    buf = t.Buffer()
    assert error_of(buf.write, 5) == (TypeError, "Argument 's' has incorrect type (expected str, got int)")
    assert error_of(buf.write, StrSub("x")) == (TypeError, "Argument 's' has incorrect type (expected str, got StrSub)")
    assert buf.write("ok") == 2


# ---------------------------------------------------------------------------
# Introspection


def test_function_attributes_match_a_python_function():
    code, ref = t.params.__code__, params.__code__
    for attr in ("co_varnames", "co_argcount", "co_kwonlyargcount", "co_posonlyargcount", "co_nlocals", "co_name"):
        assert getattr(code, attr) == getattr(ref, attr), attr
    flags = inspect.CO_VARARGS | inspect.CO_VARKEYWORDS | inspect.CO_COROUTINE
    assert code.co_flags & flags == ref.co_flags & flags
    assert t.params.__defaults__ == (2,)
    assert t.params.__kwdefaults__ == {"d": 4}
    assert t.await_value.__defaults__ is None and t.await_value.__kwdefaults__ is None
    assert t.params.__name__ == t.params.__qualname__ == "params"
    assert t.params.__module__ == t.__name__ == "vantrel_master._pyco_test"
    assert t.params.__doc__ is None
    assert t.await_value.__doc__ == "Await aw and return its result."
    assert t.await_value.__code__.co_flags & inspect.CO_COROUTINE
    assert not t.params.__code__.co_flags & inspect.CO_COROUTINE
    assert t.kwonly_fn.__code__.co_varnames == kwonly_fn.__code__.co_varnames
    assert t.three.__code__.co_varnames == three.__code__.co_varnames
    assert t.params.__closure__ is None
    assert t.params.__annotations__ == {}
    # checked parameters are annotated with their type
    assert t.typed.__annotations__ == typed.__annotations__ == {"code": str, "items": list, "opts": dict, "tags": set}
    assert repr(t.params).startswith("<function params at 0x")
    assert callable(t.params) and type(t.params).__name__ == "function"


def test_method_attributes():
    bump = t.Counter.__dict__["bump"]
    assert (bump.__name__, bump.__qualname__, bump.__module__) == ("bump", "Counter.bump", t.__name__)
    assert bump.__doc__ == "Add what aw gives."
    assert bump.__code__.co_varnames == ("self", "aw") and bump.__code__.co_argcount == 2
    assert t.Counter.__dict__["describe"].__defaults__ == ("n=",)
    assert t.Counter.__dict__["make"].__func__.__qualname__ == "Counter.make"
    assert t.Counter.__dict__["add"].__func__.__qualname__ == "Counter.add"
    assert t.Counter.__init__.__qualname__ == "Counter.__init__"


def test_signatures():
    cases = [
        (t.params, params),
        (t.typed, typed),
        (t.kwonly_fn, kwonly_fn),
        (t.await_value, await_value),
        (t.Counter.bump, Counter.bump),
        (t.Counter(1).bump, Counter(1).bump),
        (t.Counter.make, Counter.make),
        (t.Counter.add, Counter.add),
        (t.Counter(1).add, Counter(1).add),
        (t.Counter, Counter),
        (t.Counter(1).describe, Counter(1).describe),
    ]
    for pyco_obj, python_obj in cases:
        assert str(inspect.signature(pyco_obj)) == str(inspect.signature(python_obj))
    assert str(inspect.signature(t.Counter(1).bump)) == "(aw)"
    assert str(inspect.signature(t.params)) == "(a, b=2, *args, c, d=4, **kw)"
    bound = inspect.signature(t.params).bind(1, 2, 3, c=4, x=5)
    assert bound.arguments == {"a": 1, "b": 2, "args": (3,), "c": 4, "kw": {"x": 5}}


@pytest.mark.parametrize(
    "check", [inspect.iscoroutinefunction, asyncio.iscoroutinefunction], ids=["inspect", "asyncio"]
)
def test_coroutine_function_detection(check):
    counter = t.Counter(1)
    for obj in (t.await_value, t.typed_async, t.Counter.bump, counter.bump, functools.partial(t.await_value)):
        assert check(obj) is True, obj
    for obj in (t.params, t.typed, t.Counter.make, t.Counter.add, counter.describe, t.Counter.__init__):
        assert check(obj) is False, obj


def test_defaults_can_be_replaced_as_on_python_functions(monkeypatch):
    monkeypatch.setattr(t.params, "__defaults__", (20,))
    monkeypatch.setattr(t.params, "__kwdefaults__", {"d": 40})
    assert t.params(1, c=3) == (1, 20, (), 3, 40, {})
    monkeypatch.setattr(t.params, "__defaults__", None)
    monkeypatch.setattr(t.params, "__kwdefaults__", None)
    assert error_of(t.params, 1, c=3) == (TypeError, "params() missing 1 required positional argument: 'b'")
    assert error_of(t.params, 1, 2, c=3) == (TypeError, "params() missing 1 required keyword-only argument: 'd'")
    assert error_of(setattr, t.params, "__defaults__", [1]) == error_of(setattr, params, "__defaults__", [1])
    assert error_of(setattr, t.params, "__kwdefaults__", 1) == error_of(setattr, params, "__kwdefaults__", 1)
    assert error_of(setattr, t.params, "__name__", None) == error_of(setattr, params, "__name__", None)


def test_function_attributes_are_writable(monkeypatch):
    monkeypatch.setattr(t.params, "marker", "set", raising=False)
    assert t.params.__dict__["marker"] == "set"
    monkeypatch.setattr(t.params, "__doc__", "new doc")
    monkeypatch.setattr(t.params, "__qualname__", "Other.params")
    assert t.params.__doc__ == "new doc"
    # the texts follow the qualified name, as the interpreter's do
    assert error_of(t.params) == (TypeError, "Other.params() missing 1 required positional argument: 'a'")


def test_functools_wraps_over_a_pyco_function(monkeypatch):
    monkeypatch.setattr(t.await_value, "tag", "copied", raising=False)

    @functools.wraps(t.await_value)
    async def wrapper(*args, **kwargs):
        return ("wrapped", await t.await_value(*args, **kwargs))

    assert wrapper.__name__ == "await_value"
    assert wrapper.__qualname__ == "await_value"
    assert wrapper.__module__ == t.__name__
    assert wrapper.__doc__ == "Await aw and return its result."
    assert wrapper.__wrapped__ is t.await_value
    assert wrapper.tag == "copied"
    assert str(inspect.signature(wrapper)) == "(aw)"
    assert run(wrapper(native("x"))) == ("wrapped", "x")

    @functools.wraps(t.params)
    def sync_wrapper(*args, **kwargs):
        return t.params(*args, **kwargs)

    assert str(inspect.signature(sync_wrapper)) == "(a, b=2, *args, c, d=4, **kw)"
    assert sync_wrapper(1, c=2) == (1, 2, (), 2, 4, {})


def test_patch_object_gives_async_mock_for_coroutine_methods():
    original = t.Counter.__dict__["bump"]
    with mock.patch.object(t.Counter, "bump") as patched:
        assert isinstance(patched, mock.AsyncMock)
        patched.return_value = "mocked"

        async def use():
            return await t.Counter(1).bump(5)

        assert run(use()) == "mocked"
        patched.assert_awaited_once_with(5)
    assert t.Counter.__dict__["bump"] is original

    # the patched attribute is seen by Python code that awaits it
    with mock.patch.object(t.Counter, "bump", return_value="other") as patched:

        async def caller(counter):
            return [await counter.bump(i) for i in range(3)]

        assert run(caller(t.Counter(1))) == ["other"] * 3
        assert patched.await_count == 3


def test_patch_object_gives_magic_mock_for_sync_methods():
    with mock.patch.object(t.Counter, "describe") as patched:
        assert isinstance(patched, mock.MagicMock) and not isinstance(patched, mock.AsyncMock)
        patched.return_value = "described"
        assert t.Counter(3).describe("p") == "described"
        patched.assert_called_once_with("p")
    assert t.Counter(3).describe("p") == "p3"


def test_patch_object_on_module_functions():
    with mock.patch.object(t, "await_value") as patched:
        assert isinstance(patched, mock.AsyncMock)
    with mock.patch.object(t, "params") as patched:
        assert not isinstance(patched, mock.AsyncMock)


# ---------------------------------------------------------------------------
# Descriptor binding


def test_methods_bind_like_python_functions():
    counter = t.Counter(2)
    func = t.Counter.__dict__["describe"]
    bound = counter.describe
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is counter and bound.__func__ is func
    assert t.Counter.describe is func
    assert func.__get__(None, t.Counter) is func
    assert func.__get__(counter).__self__ is counter
    assert t.Counter.describe(counter, "x=") == counter.describe("x=") == "x=2"
    assert t.Counter.describe(counter) == "n=2"
    assert counter.describe(prefix="k=") == "k=2"
    assert getattr(counter, "describe")("g=") == "g=2"


def test_async_method_bound_and_called_through_the_class():
    counter = t.Counter(1)
    assert run(counter.bump(native(2))) == 3
    assert run(t.Counter.bump(counter, native(10, suspend=True))) == 13
    assert counter.count == 13


def test_pyco_function_placed_on_a_python_class_becomes_a_method():
    class Holder:
        f = t.params
        g = staticmethod(t.params)

    holder = Holder()
    assert holder.f(c=3) == (holder, 2, (), 3, 4, {})
    assert holder.g(1, c=3) == (1, 2, (), 3, 4, {})
    assert Holder.f(1, c=3) == (1, 2, (), 3, 4, {})


def test_classmethod_and_staticmethod():
    class Sub(t.Counter):
        pass

    made = t.Counter.make()
    assert type(made) is t.Counter and made.count == 100
    sub_made = Sub.make()
    assert type(sub_made) is Sub and sub_made.count == 100
    assert t.Counter(1).make().count == 100
    assert t.Counter.add(2, 3) == t.Counter(0).add(2, 3) == 5
    assert isinstance(t.Counter.__dict__["make"], classmethod)
    assert isinstance(t.Counter.__dict__["add"], staticmethod)


def test_function_objects_in_reference_cycles_are_collected():
    import gc
    import weakref

    holder = []
    fn = t.make_closure(holder)  # the closure refers to a list that refers to the function
    holder.append(fn)
    fn.itself = fn  # and its __dict__ refers to it
    ref = weakref.ref(fn)
    del fn, holder
    gc.collect()
    assert ref() is None


def test_closure_functions_made_at_run_time():
    fn = t.make_closure(["captured"])
    assert fn(1) == (["captured"], 1)
    assert fn(x=2) == (["captured"], 2)
    assert (fn.__name__, fn.__module__) == ("closure_fn", t.__name__)
    assert str(inspect.signature(fn)) == "(x)"
    assert error_of(fn) == (TypeError, "closure_fn() missing 1 required positional argument: 'x'")
    assert error_of(fn, 1, 2) == (TypeError, "closure_fn() takes 1 positional argument but 2 were given")
    other = t.make_closure("second")
    assert other(0) == ("second", 0) and fn(0) == (["captured"], 0)
