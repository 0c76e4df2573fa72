// json_dumps: orjson when it imports (compact, UTF-8 kept), the standard json otherwise.
#include "kernel/kernel.hpp"

namespace kernel {

namespace {

py::object dumps_orjson(py::object obj) {
    py::object raw = attr_of("orjson", "dumps")(obj);
    PyObject* text = PyUnicode_FromEncodedObject(raw.ptr(), "utf-8", "strict");
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
}

py::object dumps_json(py::object obj) { return attr_of("json", "dumps")(obj); }

}  // namespace

void define_json(py::module_ m) {
    bool have_orjson = true;
    try {
        m.attr(S("orjson")) = py::module_::import("orjson");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        have_orjson = false;
    }
    m.attr(S("json_dumps")) = have_orjson ? function(pyco::fn<dumps_orjson>("json_dumps", {"obj"}))
                                       : function(pyco::fn<dumps_json>("json_dumps", {"obj"}));
}

}  // namespace kernel
