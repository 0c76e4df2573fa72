// Python semantics helpers of the caskwell module.
#include "caskwell/caskwell.hpp"

namespace caskwell {

py::object list_of(const py::object& t) { return g("List")[t]; }
py::object set_of(const py::object& t) { return g("Set")[t]; }
py::object dict_of(const py::object& k, const py::object& v) { return g("Dict")[py::make_tuple(k, v)]; }

py::object get_or(py::handle obj, py::handle key, py::handle default_value) {
    if (PyDict_CheckExact(obj.ptr())) {
        PyObject* v = PyDict_GetItemWithError(obj.ptr(), key.ptr());
        if (v) return py::reinterpret_borrow<py::object>(v);
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::reinterpret_borrow<py::object>(default_value);
    }
    PyObject* args[] = {obj.ptr(), key.ptr(), default_value.ptr()};
    PyObject* r = PyObject_VectorcallMethod(pyco::intern("get"), args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object get_or_none(py::handle obj, py::handle key) {
    if (PyDict_CheckExact(obj.ptr())) return get_or(obj, key, py::none());
    PyObject* args[] = {obj.ptr(), key.ptr()};
    PyObject* r = PyObject_VectorcallMethod(pyco::intern("get"), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::str str_of(py::handle obj) {
    PyObject* s = PyObject_Str(obj.ptr());
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

Py_ssize_t length_of(py::handle obj) {
    Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0) throw py::error_already_set();
    return n;
}

py::object timeout_error() { return attr_of("asyncio", "TimeoutError"); }

void pass_turn(Py_ssize_t& count) {
    if (++count % 1024 != 0) return;
    // A thread waiting for the interpreter takes it here (the interpreter hands it over when
    // a thread has asked for it), as it would between two bytecodes of Python code.
    Py_BEGIN_ALLOW_THREADS
    Py_END_ALLOW_THREADS
}

}  // namespace caskwell
