// A test-only module exercising pyco: coroutines awaiting every kind of awaitable,
// exceptions both ways, cleanup that awaits, async with / async for, functions with
// every parameter kind and exact-type checks, classes built on Python bases,
// handled-exception state inside C++ catch blocks, and the text formatter.
#include "pyco/pyco.hpp"

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
Task cleanup_await(py::object aw, py::object cleanup) {
    pyco::SavedError err;
    py::object result;
    try {
        result = co_await pyco::await(aw);
    } catch (...) {
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
        caught = e.value();
    }
    co_return py::make_tuple("caught", caught);
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
        caught = e.value();
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

void setup(py::module_ m) {
    py::object name = m.attr("__name__");
    auto def = [&](pyco::Def d) { m.attr(d.name) = pyco::make_function(d, name); };

    def(pyco::fn<await_value>("await_value", {"aw"}, "Await aw and return its result."));
    def(pyco::fn<await_pair>("await_pair", {"a", "b"}));
    def(pyco::fn<return_value>("return_value", {"v"}));
    def(pyco::fn<raise_value>("raise_value", {"exc"}));
    def(pyco::fn<cleanup_await>("cleanup_await", {"aw", "cleanup"}));
    def(pyco::fn<catch_exception>("catch_exception", {"aw"}));
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
                            .build();
}

}  // namespace

PYCO_MODULE(_pyco_test, "Test-only module exercising the pyco support library.", setup)
