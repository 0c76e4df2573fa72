// Exceptions across C++ and the text formatter, for test_errors_and_text.py: handled-
// exception state inside a C++ catch, raising in a handler, C++ exceptions reaching Python.
#include "pyco_test/pyco_test.hpp"

#include <new>
#include <stdexcept>
#include <string>

namespace pyco_test {

namespace {

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

py::object fmt_demo(py::object value, py::object number) {
    return pyco::fmt("value={} ms={:.1f} n={} end", value, number, 42);
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

}  // namespace

void init_errors_and_text(py::module_& m) {
    def(m, pyco::fn<format_exc_in_catch>("format_exc_in_catch", {"fn"}));
    def(m, pyco::fn<raise_in_handler>("raise_in_handler", {"fn", "exc"}));
    def(m, pyco::fn<fmt_demo>("fmt_demo", {"value", "number"}));
    def(m, pyco::fn<raise_cpp>("raise_cpp", {arg("kind").type(Check::Str), arg("message").type(Check::Str)}));
    def(m, pyco::fn<raise_cpp_after>("raise_cpp_after", {"aw", arg("kind").type(Check::Str), arg("message").type(Check::Str)}));
    def(m, pyco::fn<exc_info_in_catch>("exc_info_in_catch", {"fn"}));
    def(m, pyco::fn<fmt3>("fmt3", {arg("pattern").type(Check::Str), "a", "b", "c"}));
    def(m, pyco::fn<fmt_native>("fmt_native", {}));
}

}  // namespace pyco_test
