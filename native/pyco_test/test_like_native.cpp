// Coroutines with `async def` twins in tests/pyco/_native.py, for test_like_native.py:
// async with and async for over a borrowed owner, an attribute call awaited, and an
// iterator's throw() reporting its exception as C code may.
#include "pyco_test/pyco_test.hpp"

namespace pyco_test {

namespace {

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

// throw() of an iterator that reports `self.stop_class(*args)` the way C code may: as a
// class and a value, the exception instance to be made when someone needs it.
PyObject* lazy_throw(py::object self, py::object args) {
    py::object cls = self.attr("stop_class");
    PyErr_SetObject(cls.ptr(), PyTuple_GET_SIZE(args.ptr()) ? PyTuple_GET_ITEM(args.ptr(), 0) : Py_None);
    return nullptr;
}

}  // namespace

void init_like_native(py::module_& m) {
    def(m, pyco::fn<locked_await>("locked_await", {"owner", "aw"}));
    def(m, pyco::fn<await_method>("await_method", {"owner", "aw"}));
    def(m, pyco::fn<each_await>("each_await", {"owner", "aw"}));
    def(m, pyco::fn<lazy_throw>("lazy_throw", {"self", pyco::star_args("args")}));
}

}  // namespace pyco_test
