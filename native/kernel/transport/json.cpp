// json_dumps: orjson when it imports (compact, UTF-8 kept), the standard json otherwise.
#include "kernel/support.hpp"

namespace kernel {

namespace {

py::object dumps_json(py::object obj) { return attr_of("json", "dumps")(obj); }

// orjson refuses text holding a lone surrogate (a file name decoded with surrogateescape,
// say), which is still a valid str. Such a message goes out all the same, written by the
// standard json module, which escapes the surrogate ("\udcff") as it escapes any
// character outside ASCII.
bool refused_for_surrogates(const py::error_already_set& e) {
    if (!e.matches(PyExc_TypeError)) return false;
    py::str text = safe_str(e.value());
    return PyUnicode_Find(text.ptr(), S("surrogates").ptr(), 0, PyUnicode_GET_LENGTH(text.ptr()), 1) >= 0;
}

py::object dumps_orjson(py::object obj) {
    py::object raw;
    try {
        raw = attr_of("orjson", "dumps")(obj);
    } catch (py::error_already_set& e) {
        if (!refused_for_surrogates(e)) throw;
    }
    if (!raw) return dumps_json(obj);
    PyObject* text = PyUnicode_FromEncodedObject(raw.ptr(), "utf-8", "strict");
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
}

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
