// What the collector sees, for test_collection.py: coroutine parameters borrowed from the
// caller (held by the promise, inline or in a tuple) and closures as named structs.
#include "pyco_test/pyco_test.hpp"

namespace pyco_test {

// return await aw; `owner` is only held (as a method's self would be).
Task hold_await(py::handle owner, py::handle aw) { co_return co_await pyco::await(aw); }

namespace {

// A closure as a named struct: the function returns its two fields.
struct Pair {
    py::object first, second;
    PYCO_FIELDS(first, second)
};
py::object pair_body(py::object closure) {
    Pair& pair = pyco::closure_of<Pair>(closure);
    return py::make_tuple(pair.first, pair.second);
}
py::object make_pair_closure(py::object module, py::object first, py::object second) {
    return pyco::make_function(pyco::fn<pair_body>("pair_fn", {}).with_closure(pyco::make_closure(Pair{first, second})),
                               module);
}

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

}  // namespace

void init_collection(py::module_& m) {
    py::object name = m.attr("__name__");
    def(m, pyco::fn<make_pair_closure>("make_pair_closure", {"first", "second"}).with_closure(name));
    def(m, pyco::fn<hold_await>("hold_await", {"owner", "aw"}));
    def(m, pyco::fn<hold_five>("hold_five", {"a", "b", "c", "d", "aw"}));
    def(m, pyco::fn<echo_temporary>("echo_temporary", {"aw"}));
}

}  // namespace pyco_test
