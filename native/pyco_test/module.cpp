// A test-only module exercising pyco: coroutines awaiting every kind of awaitable,
// exceptions both ways, cleanup that awaits, async with / async for, functions with
// every parameter kind and exact-type checks, classes built on Python bases,
// handled-exception state inside C++ catch blocks, and the text formatter. Each feature's
// functions are in the test_X.cpp of the tests/pyco/test_X.py that uses them.
#include "pyco_test/pyco_test.hpp"

namespace pyco_test {
namespace {

void setup(py::module_ m) {
    init_coroutines(m);
    init_asyncio(m);
    init_errors_and_text(m);
    init_functions(m);
    init_classes(m);
    init_collection(m);
    init_like_native(m);
    init_leaks(m);
}

}  // namespace
}  // namespace pyco_test

PYCO_MODULE(_pyco_test, "Test-only module exercising the pyco support library.", pyco_test::setup)
