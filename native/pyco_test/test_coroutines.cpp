// Coroutines for test_coroutines.py: awaiting every kind of awaitable, results and
// exceptions crossing both ways, cleanup that awaits, close() and a Task awaiting a Task.
#include "pyco_test/pyco_test.hpp"

namespace pyco_test {

namespace {

Task await_value(py::object aw) { co_return co_await pyco::await(aw); }

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

// Awaits a C++ Task made by another C++ coroutine (no Python object in between).
Task await_task(py::object aw) {
    Task inner = await_value(aw);
    co_return co_await pyco::await(std::move(inner));
}

}  // namespace

void init_coroutines(py::module_& m) {
    def(m, pyco::fn<await_value>("await_value", {"aw"}, "Await aw and return its result."));
    def(m, pyco::fn<await_pair>("await_pair", {"a", "b"}));
    def(m, pyco::fn<return_value>("return_value", {"v"}));
    def(m, pyco::fn<raise_value>("raise_value", {"exc"}));
    def(m, pyco::fn<cleanup_await>("cleanup_await", {"aw", "cleanup"}));
    def(m, pyco::fn<catch_exception>("catch_exception", {"aw"}));
    def(m, pyco::fn<catch_nothrow>("catch_nothrow", {"aw"}));
    def(m, pyco::fn<ignore_exit>("ignore_exit", {"aw1", "aw2"}));
    def(m, pyco::fn<no_await>("no_await", {}));
    def(m, pyco::fn<await_task>("await_task", {"aw"}));
}

}  // namespace pyco_test
