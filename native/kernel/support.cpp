// Helpers of the kernel module: keyword calls, safe texts, traceback texts, time.
#include "kernel/kernel.hpp"

namespace kernel {

py::object import_module(const char* module) { return py::module_::import(module); }


py::object call_kw(py::handle f, std::initializer_list<py::handle> args,
                   std::initializer_list<std::pair<const char*, py::handle>> kwargs) {
    constexpr size_t kMax = 8;
    PyObject* stack[kMax];
    size_t n = 0;
    for (py::handle a : args) stack[n++] = a.ptr();
    size_t positional = n;
    PyObject* kwnames = nullptr;
    if (kwargs.size() > 0) {
        kwnames = PyTuple_New(static_cast<Py_ssize_t>(kwargs.size()));
        if (!kwnames) throw py::error_already_set();
        Py_ssize_t i = 0;
        for (const auto& [name, value] : kwargs) {
            PyTuple_SET_ITEM(kwnames, i++, Py_NewRef(pyco::intern(name)));
            stack[n++] = value.ptr();
        }
    }
    PyObject* r = PyObject_Vectorcall(f.ptr(), stack, positional, kwnames);
    Py_XDECREF(kwnames);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}


py::str safe_str(py::handle obj) {
    PyObject* text = PyObject_Str(obj.ptr());
    if (text) return py::reinterpret_steal<py::str>(text);
    PyErr_Clear();  // whatever user code's __str__ raised
    return pyco::fmt("<unprintable {} object>", py::type::of(obj).attr(S("__name__")));
}

py::str failure_text(py::handle exc) {
    py::str text = safe_str(exc);
    if (PyUnicode_GET_LENGTH(text.ptr()) > 0) return text;
    return py::str(py::type::of(exc).attr(S("__name__")));
}

py::object traceback_text(py::handle e) {
    if (PyObject_TypeCheck(e.ptr(), reinterpret_cast<PyTypeObject*>(PyExc_Exception))) return g("extract_tracebak_string")(e);
    py::object lines = attr_of("traceback", "format_exception")(py::type::of(e), e, e.attr(S("__traceback__")));
    return py::str("").attr(S("join"))(lines);
}

double now() { return attr_of("time", "time")().cast<double>(); }

}  // namespace kernel
