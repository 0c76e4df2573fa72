// `async with` and `async for` around C++ bodies, for test_asyncio.py (which runs the
// coroutines of test_coroutines.cpp inside asyncio too).
#include "pyco_test/pyco_test.hpp"

namespace pyco_test {

namespace {

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

}  // namespace

void init_asyncio(py::module_& m) {
    def(m, pyco::fn<with_cm>("with_cm", {"cm", "aw"}));
    def(m, pyco::fn<collect>("collect", {"aiterable", arg("stop").def_none()}));
    def(m, pyco::fn<for_each>("for_each", {"aiterable", "fn"}));
}

}  // namespace pyco_test
