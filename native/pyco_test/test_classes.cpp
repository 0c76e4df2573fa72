// Classes for test_classes.py: a text stream on io.TextIOBase, a plain class with an async
// method, a property, constants and annotations, and classes built on the caller's bases.
#include "pyco_test/pyco_test.hpp"

#include <string>

namespace pyco_test {

namespace {

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
py::object counter_describe(py::object self, py::object prefix) { return pyco::fmt("{}{}", prefix, self.attr("count")); }

// A method whose self and awaitable are borrowed: the collector sees them through the
// coroutine (as for hold_await).
Task counter_wait_for(py::handle self, py::handle aw) {
    py::object v = co_await pyco::await(aw);
    self.attr("count") = v;
    co_return v;
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

}  // namespace

void init_classes(py::module_& m) {
    py::object name = m.attr("__name__");
    def(m, pyco::fn<build_class>("build_class", {arg("name").type(Check::Str), arg("bases").def(py::tuple()),
                                                 arg("attrs").type(Check::Dict, true).def_none()})
               .with_closure(name));

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

}  // namespace pyco_test
