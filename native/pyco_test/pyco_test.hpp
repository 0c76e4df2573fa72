// The test-only module exercising pyco, one translation unit per feature, each paired with
// the test file of tests/pyco that uses it (test_X.cpp with test_X.py); module.cpp defines
// the module and calls every unit's init_X.
#pragma once

#include "pyco/pyco.hpp"

namespace pyco_test {

namespace py = pybind11;
using pyco::arg;
using pyco::Check;
using pyco::Task;

// Puts the function into the module as one of its own (its __module__ is the module's).
inline void def(py::module_& m, const pyco::Def& d) {
    py::object name = m.attr("__name__");
    m.attr(d.name) = pyco::make_function(d, name);
}

void init_coroutines(py::module_& m);
void init_asyncio(py::module_& m);
void init_errors_and_text(py::module_& m);
void init_functions(py::module_& m);
void init_classes(py::module_& m);
void init_collection(py::module_& m);
void init_like_native(py::module_& m);
void init_leaks(py::module_& m);

// return await aw; `owner` is only held (as a method's self would be). test_collection.cpp;
// also the body of test_like_native.cpp's locked_await.
Task hold_await(py::handle owner, py::handle aw);

}  // namespace pyco_test
