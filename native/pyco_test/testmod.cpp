// A test-only module exercising pyco: coroutines awaiting every kind of awaitable,
// exceptions both ways, cleanup that awaits, async with / async for, functions with
// every parameter kind and exact-type checks, classes built on Python bases,
// handled-exception state inside C++ catch blocks, and the text formatter.
#include "pyco/pyco.hpp"

#include <new>
#include <stdexcept>
#include <string>

namespace py = pybind11;
using pyco::arg;
using pyco::Check;
using pyco::Task;

namespace {

Task await_value(py::object aw) { co_return co_await pyco::await(aw); }

Task await_pair(py::object a, py::object b) {
    py::object x = co_await pyco::await(a);
    py::object y = co_await pyco::await(b);
    co_return py::make_tuple(x, y);
}

Task return_value(py::object v) { co_return v; }

Task raise_value(py::object exc) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    throw py::error_already_set();
    co_return py::none();
}

// try: return await aw  except BaseException: await cleanup(); raise
// (borrowed parameters: the collector sees them through the coroutine)
Task cleanup_await(py::handle aw, py::handle cleanup) {
    pyco::SavedError err;
    py::object result;
    try {
        result = co_await pyco::await(aw);
    } PYCO_RETHROW_FORCED_UNWIND catch (...) {
        pyco::set_error_from_current_exception();
        err.fetch();
    }
    if (err.is_set()) {
        co_await pyco::await(cleanup());
        err.restore();
        pyco::throw_error();
    }
    co_return result;
}

// try: return ("ok", await aw)  except Exception as e: return ("caught", e)
Task catch_exception(py::object aw) {
    py::object caught;
    try {
        py::object r = co_await pyco::await(aw);
        co_return py::make_tuple("ok", r);
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        caught = pyco::caught(e);
    }
    co_return py::make_tuple("caught", caught);
}

// The same through await_nothrow and take_exception.
Task catch_nothrow(py::object aw) {
    py::object r = co_await pyco::await_nothrow(aw);
    if (r) co_return py::make_tuple("ok", r);
    pyco::SavedError err = pyco::take_exception();
    co_return py::make_tuple("caught", py::reinterpret_borrow<py::object>(err.value));
}

// async with cm as v: return (v, await aw)
Task with_cm(py::object cm, py::object aw) {
    // A lambda must not appear inside a co_await expression (g++ 12 destroys such
    // closures twice): make the Task in its own statement.
    Task body = pyco::async_with(cm, [aw](py::object v) -> Task {
        py::object x = co_await pyco::await(aw);
        co_return py::make_tuple(v, x);
    });
    co_return co_await pyco::await(std::move(body));
}

// [x async for x in aiterable], stopping early at `stop`
Task collect(py::object aiterable, py::object stop) {
    py::list out;
    Task loop = pyco::async_for(aiterable, [out, stop](py::object item) mutable -> Task {
        if (!stop.is_none() && item.equal(stop)) co_return pyco::break_loop();
        out.append(item);
        co_return py::none();
    });
    co_await pyco::await(std::move(loop));
    co_return out;
}

// Swallows GeneratorExit and awaits again: close() must report it.
Task ignore_exit(py::object aw1, py::object aw2) {
    bool exiting = false;
    try {
        co_await pyco::await(aw1);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_GeneratorExit)) throw;
        exiting = true;
    }
    if (exiting) co_await pyco::await(aw2);
    co_return py::none();
}

Task no_await() { co_return py::int_(1); }

// Calls fn(); on an Exception returns traceback.format_exc() as seen inside the catch.
py::object format_exc_in_catch(py::object fn) {
    try {
        fn();
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        pyco::HandledScope scope(e);
        return py::module_::import("traceback").attr("format_exc")();
    }
    return py::none();
}

// Calls fn(); raises `exc` from inside the catch with the caught exception as context.
py::object raise_in_handler(py::object fn, py::object exc) {
    py::object caught;
    try {
        fn();
        return py::none();
    } catch (py::error_already_set& e) {
        caught = pyco::caught(e);
    }
    pyco::raise_with_context(exc, caught);
}

py::object typed(py::object code, py::object items, py::object opts, py::object tags) {
    return py::make_tuple(code, items, opts, tags);
}

py::object params(py::object a, py::object b, py::object args, py::object c, py::object d, py::object kw) {
    return py::make_tuple(a, b, args, c, d, kw);
}

py::object fmt_demo(py::object value, py::object number) {
    return pyco::fmt("value={} ms={:.1f} n={} end", value, number, 42);
}

py::object live() { return py::int_(pyco::live_coroutines()); }

// A text stream with C++ methods, built on io.TextIOBase.
py::object buffer_init(py::object self) {
    self.attr("_parts") = py::list();
    return py::none();
}
py::object buffer_write(py::object self, py::object s) {
    self.attr("_parts").attr("append")(s);
    return py::int_(PyUnicode_GET_LENGTH(s.ptr()));
}
py::object buffer_getvalue(py::object self) { return py::str("").attr("join")(self.attr("_parts")); }
py::object buffer_writable(py::object) { return py::bool_(true); }

// A plain class with an async method, a property, a constant and annotations.
py::object counter_init(py::object self, py::object start) {
    self.attr("count") = start;
    return py::none();
}
Task counter_bump(py::object self, py::object aw) {
    py::object step = co_await pyco::await(aw);
    self.attr("count") = py::object(self.attr("count")) + step;
    co_return self.attr("count");
}
py::object counter_doubled(py::object self) { return py::object(self.attr("count")) * py::int_(2); }
py::object counter_make(py::object cls) { return cls(py::int_(100)); }
py::object counter_add(py::object a, py::object b) { return a + b; }


// ---------------------------------------------------------------------------
// Further cases for the test suite.

// Awaits a C++ Task made by another C++ coroutine (no Python object in between).
Task await_task(py::object aw) {
    Task inner = await_value(aw);
    co_return co_await pyco::await(std::move(inner));
}

// for item in aiterable: if await fn(item) is True: break; returns the items seen.
Task for_each(py::object aiterable, py::object fn) {
    py::list seen;
    Task loop = pyco::async_for(aiterable, [seen, fn](py::object item) mutable -> Task {
        seen.append(item);
        py::object r = co_await pyco::await(fn(item));
        if (r.ptr() == Py_True) co_return pyco::break_loop();
        co_return py::none();
    });
    co_await pyco::await(std::move(loop));
    co_return seen;
}

// An async def with a checked parameter: the check happens at the call.
Task typed_async(py::object code) { co_return code; }

py::object kwonly_fn(py::object a, py::object b, py::object c) { return py::make_tuple(a, b, c); }

py::object three(py::object x, py::object y, py::object z, py::object p, py::object q, py::object r) {
    return py::make_tuple(x, y, z, p, q, r);
}

// Throws a C++ exception of the named kind.
[[noreturn]] void throw_kind(const std::string& kind, const std::string& message) {
    if (kind == "runtime") throw std::runtime_error(message);
    if (kind == "logic") throw std::logic_error(message);
    if (kind == "value") throw py::value_error(message);
    if (kind == "key") throw py::key_error(message);
    if (kind == "type") throw py::type_error(message);
    if (kind == "bad_alloc") throw std::bad_alloc();
    if (kind == "python") {
        PyErr_SetString(PyExc_ZeroDivisionError, message.c_str());
        throw py::error_already_set();
    }
    throw 42;  // not an exception class at all
}

py::object raise_cpp(py::str kind, py::str message) { throw_kind(kind.cast<std::string>(), message.cast<std::string>()); }

// await aw, then throw a C++ exception of the named kind.
Task raise_cpp_after(py::object aw, py::object kind, py::object message) {
    co_await pyco::await(aw);
    throw_kind(kind.cast<std::string>(), message.cast<std::string>());
    co_return py::none();
}

// Calls fn(); on an Exception returns sys.exc_info() as seen inside the catch.
py::object exc_info_in_catch(py::object fn) {
    try {
        fn();
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        pyco::HandledScope scope(e);
        return py::module_::import("sys").attr("exc_info")();
    }
    return py::none();
}

// The formatter with a pattern chosen by the caller and three values.
py::object fmt3(py::str pattern, py::object a, py::object b, py::object c) {
    std::string p = pattern.cast<std::string>();
    return pyco::fmt(p, a, b, c);
}

// The formatter with C++ values (text, integers, doubles).
py::object fmt_native() {
    return pyco::fmt("{}|{}|{}|{}|{:.2f}|{:.0f}|{}", "h\xc3\xa9llo", std::string("std"), -7, 1.5, 2.345, 3LL, 0.1);
}

// A class whose bases come from the caller: methods in C++, extra attributes from `attrs`.
py::object hello(py::object self) { return py::make_tuple("hello", py::type::of(self).attr("__name__")); }
Task ahello(py::object self, py::object aw) {
    py::object v = co_await pyco::await(aw);
    co_return py::make_tuple("ahello", v);
}
py::object label_get(py::object self) { return self.attr("__dict__").attr("get")("_label", "unset"); }
py::object label_set(py::object self, py::object value) {
    self.attr("_label") = value;
    return py::none();
}
py::object build_class(py::object module, py::object name, py::object bases, py::object attrs) {
    std::string n = name.cast<std::string>();
    pyco::ClassBuilder b(n.c_str(), module, py::reinterpret_borrow<py::tuple>(bases), "Built at run time.");
    if (!attrs.is_none()) {
        for (auto item : py::reinterpret_borrow<py::dict>(attrs)) {
            std::string key = py::str(item.first).cast<std::string>();
            b.attr(key.c_str(), py::reinterpret_borrow<py::object>(item.second));
        }
    }
    b.method(pyco::fn<hello>("hello", {"self"}))
        .method(pyco::fn<ahello>("ahello", {"self", "aw"}))
        .property(pyco::fn<label_get>("label", {"self"}),
                  pyco::fn<label_set>("label", {"self", arg("value").type(Check::Str)}));
    return b.build();
}

// A function object made at run time whose C++ body receives a closure value.
py::object closure_body(py::object closure, py::object x) { return py::make_tuple(closure, x); }
py::object make_closure(py::object module, py::object value) {
    return pyco::make_function(pyco::fn<closure_body>("closure_fn", {"x"}).with_closure(value), module);
}

// A closure as a named struct: the function returns its two fields.
struct Pair {
    py::object first, second;
    template <class V>
    void fields(V&& visit) {
        visit(first);
        visit(second);
    }
};
py::object pair_body(py::object closure) {
    Pair& pair = pyco::closure_of<Pair>(closure);
    return py::make_tuple(pair.first, pair.second);
}
py::object make_pair_closure(py::object module, py::object first, py::object second) {
    return pyco::make_function(pyco::fn<pair_body>("pair_fn", {}).with_closure(pyco::make_closure(Pair{first, second})),
                               module);
}

// More parameters than fit the argument slots kept on the stack.
py::object many(py::object a0, py::object a1, py::object a2, py::object a3, py::object a4, py::object a5,
                py::object a6, py::object a7, py::object a8, py::object a9, py::object a10, py::object a11,
                py::object a12, py::object a13) {
    return py::make_tuple(a0, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13);
}

py::object counter_describe(py::object self, py::object prefix) { return pyco::fmt("{}{}", prefix, self.attr("count")); }

// ---------------------------------------------------------------------------
// Borrowed coroutine parameters, collection and throw().

// return await aw; `owner` is only held (as a method's self would be).
Task hold_await(py::handle owner, py::handle aw) { co_return co_await pyco::await(aw); }

// A method of the same form: self and what it awaits are visible to the collector.
Task counter_wait_for(py::handle self, py::handle aw) {
    py::object v = co_await pyco::await(aw);
    self.attr("count") = v;
    co_return v;
}

// async with owner.lock: return await aw
Task locked_await(py::handle owner, py::handle aw) {
    Task body = pyco::async_with(owner.attr("lock"), [aw](py::object) -> Task { return hold_await(py::none(), aw); });
    co_return co_await pyco::await(std::move(body));
}

// seen = []; async for item in owner.items(): seen.append((item, await aw)); return seen
Task each_await(py::handle owner, py::handle aw) {
    py::list seen;
    Task loop = pyco::async_for(owner.attr("items")(), [seen, aw](py::object item) mutable -> Task {
        py::object v = co_await pyco::await(aw);
        seen.append(py::make_tuple(item, v));
        co_return py::none();
    });
    co_await pyco::await(std::move(loop));
    co_return seen;
}

// return await owner.wait(aw) — an attribute call that leaves no bound method behind
Task await_method(py::handle owner, py::handle aw) { co_return co_await pyco::await(pyco::call_method(owner, "wait", aw)); }

// More borrowed parameters than the promise keeps inline: (a, b, c, d, await aw).
Task hold_five(py::handle a, py::handle b, py::handle c, py::handle d, py::handle aw) {
    py::object v = co_await pyco::await(aw);
    co_return py::make_tuple(a, b, c, d, v);
}

// await aw; return value — with its objects borrowed from the caller.
Task echo_after(py::handle value, py::handle aw) {
    co_await pyco::await(aw);
    co_return value;
}

// Calls echo_after from C++ with a tuple that dies at the end of the statement: the
// callee's promise holds it, so it is still (aw,) when echoed.
Task echo_temporary(py::object aw) {
    Task inner = echo_after(py::make_tuple(aw), aw);
    co_return co_await pyco::await(std::move(inner));
}

// throw() of an iterator that reports `self.stop_class(*args)` the way C code may: as a
// class and a value, the exception instance to be made when someone needs it.
PyObject* lazy_throw(py::object self, py::object args) {
    py::object cls = self.attr("stop_class");
    PyErr_SetObject(cls.ptr(), PyTuple_GET_SIZE(args.ptr()) ? PyTuple_GET_ITEM(args.ptr(), 0) : Py_None);
    return nullptr;
}

void setup(py::module_ m) {
    py::object name = m.attr("__name__");
    auto def = [&](pyco::Def d) { m.attr(d.name) = pyco::make_function(d, name); };

    def(pyco::fn<await_value>("await_value", {"aw"}, "Await aw and return its result."));
    def(pyco::fn<await_pair>("await_pair", {"a", "b"}));
    def(pyco::fn<return_value>("return_value", {"v"}));
    def(pyco::fn<raise_value>("raise_value", {"exc"}));
    def(pyco::fn<cleanup_await>("cleanup_await", {"aw", "cleanup"}));
    def(pyco::fn<catch_exception>("catch_exception", {"aw"}));
    def(pyco::fn<catch_nothrow>("catch_nothrow", {"aw"}));
    def(pyco::fn<with_cm>("with_cm", {"cm", "aw"}));
    def(pyco::fn<collect>("collect", {"aiterable", arg("stop").def_none()}));
    def(pyco::fn<ignore_exit>("ignore_exit", {"aw1", "aw2"}));
    def(pyco::fn<no_await>("no_await", {}));
    def(pyco::fn<format_exc_in_catch>("format_exc_in_catch", {"fn"}));
    def(pyco::fn<raise_in_handler>("raise_in_handler", {"fn", "exc"}));
    def(pyco::fn<typed>("typed", {arg("code").type(Check::Str), arg("items").type(Check::List),
                                  arg("opts").type(Check::Dict, true).def_none(),
                                  arg("tags").type(Check::Set, true).def_none()}));
    def(pyco::fn<params>("params", {"a", arg("b").def(py::int_(2)), pyco::star_args("args"), pyco::kwonly("c"),
                                    pyco::kwonly("d").def(py::int_(4)), pyco::star_kwargs("kw")}));
    def(pyco::fn<fmt_demo>("fmt_demo", {"value", "number"}));
    def(pyco::fn<live>("live_coroutines", {}));

    def(pyco::fn<await_task>("await_task", {"aw"}));
    def(pyco::fn<for_each>("for_each", {"aiterable", "fn"}));
    def(pyco::fn<typed_async>("typed_async", {arg("code").type(Check::Str)}));
    def(pyco::fn<kwonly_fn>("kwonly_fn", {"a", pyco::kwonly("b"), pyco::kwonly("c").def(py::int_(3))}));
    def(pyco::fn<three>("three", {"x", "y", "z", pyco::kwonly("p"), pyco::kwonly("q"), pyco::kwonly("r")}));
    def(pyco::fn<raise_cpp>("raise_cpp", {arg("kind").type(Check::Str), arg("message").type(Check::Str)}));
    def(pyco::fn<raise_cpp_after>("raise_cpp_after", {"aw", arg("kind").type(Check::Str), arg("message").type(Check::Str)}));
    def(pyco::fn<exc_info_in_catch>("exc_info_in_catch", {"fn"}));
    def(pyco::fn<fmt3>("fmt3", {arg("pattern").type(Check::Str), "a", "b", "c"}));
    def(pyco::fn<fmt_native>("fmt_native", {}));
    def(pyco::fn<build_class>("build_class", {arg("name").type(Check::Str), arg("bases").def(py::tuple()),
                                              arg("attrs").type(Check::Dict, true).def_none()})
            .with_closure(name));
    def(pyco::fn<make_closure>("make_closure", {"value"}).with_closure(name));
    def(pyco::fn<make_pair_closure>("make_pair_closure", {"first", "second"}).with_closure(name));
    def(pyco::fn<many>("many", {"a0", "a1", "a2", "a3", "a4", "a5", "a6", "a7", "a8", "a9", "a10",
                                arg("a11").def(py::int_(11)), pyco::kwonly("a12").def(py::int_(12)),
                                pyco::kwonly("a13").type(Check::Str)}));

    def(pyco::fn<hold_await>("hold_await", {"owner", "aw"}));
    def(pyco::fn<hold_five>("hold_five", {"a", "b", "c", "d", "aw"}));
    def(pyco::fn<locked_await>("locked_await", {"owner", "aw"}));
    def(pyco::fn<await_method>("await_method", {"owner", "aw"}));
    def(pyco::fn<each_await>("each_await", {"owner", "aw"}));
    def(pyco::fn<echo_temporary>("echo_temporary", {"aw"}));
    def(pyco::fn<lazy_throw>("lazy_throw", {"self", pyco::star_args("args")}));

    py::object io = py::module_::import("io");
    m.attr("Buffer") = pyco::ClassBuilder("Buffer", name, py::make_tuple(io.attr("TextIOBase")), "Collects text.")
                           .method(pyco::fn<buffer_init>("__init__", {"self"}))
                           .method(pyco::fn<buffer_write>("write", {"self", arg("s").type(Check::Str)}))
                           .method(pyco::fn<buffer_getvalue>("getvalue", {"self"}))
                           .method(pyco::fn<buffer_writable>("writable", {"self"}))
                           .build();

    py::object builtins = py::module_::import("builtins");
    m.attr("Counter") = pyco::ClassBuilder("Counter", name)
                            .attr("LIMIT", py::int_(10))
                            .annotate("count", builtins.attr("int"))
                            .method(pyco::fn<counter_init>("__init__", {"self", arg("start").def(py::int_(0))}))
                            .method(pyco::fn<counter_bump>("bump", {"self", "aw"}, "Add what aw gives."))
                            .property(pyco::fn<counter_doubled>("doubled", {"self"}))
                            .class_method(pyco::fn<counter_make>("make", {"cls"}))
                            .static_method(pyco::fn<counter_add>("add", {"a", "b"}))
                            .method(pyco::fn<counter_describe>("describe", {"self", arg("prefix").def(py::str("n="))}))
                            .method(pyco::fn<counter_wait_for>("wait_for", {"self", "aw"}))
                            .build();
}

}  // namespace

PYCO_MODULE(_pyco_test, "Test-only module exercising the pyco support library.", setup)
