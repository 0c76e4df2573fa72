// Function objects for test_functions.py: every parameter kind, exact-type checks, an
// async def with a checked parameter, closures and more parameters than the stack slots.
#include "pyco_test/pyco_test.hpp"

namespace pyco_test {

namespace {

py::object typed(py::object code, py::object items, py::object opts, py::object tags) {
    return py::make_tuple(code, items, opts, tags);
}

py::object params(py::object a, py::object b, py::object args, py::object c, py::object d, py::object kw) {
    return py::make_tuple(a, b, args, c, d, kw);
}

// An async def with a checked parameter: the check happens at the call.
Task typed_async(py::object code) { co_return code; }

py::object kwonly_fn(py::object a, py::object b, py::object c) { return py::make_tuple(a, b, c); }

py::object three(py::object x, py::object y, py::object z, py::object p, py::object q, py::object r) {
    return py::make_tuple(x, y, z, p, q, r);
}

// A function object made at run time whose C++ body receives a closure value.
py::object closure_body(py::object closure, py::object x) { return py::make_tuple(closure, x); }
py::object make_closure(py::object module, py::object value) {
    return pyco::make_function(pyco::fn<closure_body>("closure_fn", {"x"}).with_closure(value), module);
}

// More parameters than fit the argument slots kept on the stack.
py::object many(py::object a0, py::object a1, py::object a2, py::object a3, py::object a4, py::object a5,
                py::object a6, py::object a7, py::object a8, py::object a9, py::object a10, py::object a11,
                py::object a12, py::object a13) {
    return py::make_tuple(a0, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13);
}

}  // namespace

void init_functions(py::module_& m) {
    py::object name = m.attr("__name__");
    def(m, pyco::fn<typed>("typed", {arg("code").type(Check::Str), arg("items").type(Check::List),
                                     arg("opts").type(Check::Dict, true).def_none(),
                                     arg("tags").type(Check::Set, true).def_none()}));
    def(m, pyco::fn<params>("params", {"a", arg("b").def(py::int_(2)), pyco::star_args("args"), pyco::kwonly("c"),
                                       pyco::kwonly("d").def(py::int_(4)), pyco::star_kwargs("kw")}));
    def(m, pyco::fn<typed_async>("typed_async", {arg("code").type(Check::Str)}));
    def(m, pyco::fn<kwonly_fn>("kwonly_fn", {"a", pyco::kwonly("b"), pyco::kwonly("c").def(py::int_(3))}));
    def(m, pyco::fn<three>("three", {"x", "y", "z", pyco::kwonly("p"), pyco::kwonly("q"), pyco::kwonly("r")}));
    def(m, pyco::fn<make_closure>("make_closure", {"value"}).with_closure(name));
    def(m, pyco::fn<many>("many", {"a0", "a1", "a2", "a3", "a4", "a5", "a6", "a7", "a8", "a9", "a10",
                                   arg("a11").def(py::int_(11)), pyco::kwonly("a12").def(py::int_(12)),
                                   pyco::kwonly("a13").type(Check::Str)}));
}

}  // namespace pyco_test
