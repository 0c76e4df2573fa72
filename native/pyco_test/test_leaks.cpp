// The count that test_leaks.py (and the collection tests) check for leaks.
#include "pyco_test/pyco_test.hpp"

namespace pyco_test {

namespace {

py::object live() { return py::int_(pyco::live_coroutines()); }

}  // namespace

void init_leaks(py::module_& m) {
    def(m, pyco::fn<live>("live_coroutines", {}));
}

}  // namespace pyco_test
