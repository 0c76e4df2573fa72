// Late-bound access to the caskwell module's namespace, Python semantics helpers and
// logging through the module-level logger.
#include "caskwell/caskwell.hpp"

namespace caskwell {

namespace {
PyObject* the_module = nullptr;
}

void set_module(PyObject* module) {
    Py_XINCREF(module);
    the_module = module;
}

py::dict globals() { return py::reinterpret_borrow<py::dict>(PyModule_GetDict(the_module)); }

py::object g(const char* name) {
    PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(the_module), pyco::intern(name));
    if (!v) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(v);
}

py::object attr_of(const char* name, const char* attribute) {
    PyObject* r = PyObject_GetAttr(g(name).ptr(), pyco::intern(attribute));
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object module_name() { return g("__name__"); }

py::object function(const pyco::Def& def) { return pyco::make_function(def, module_name()); }

py::object import_from(const char* module, const char* name, int level) {
    py::object importer = py::module_::import("builtins").attr("__import__");
    py::object mod = importer(py::str(module), globals(), py::none(), py::make_tuple(py::str(name)), py::int_(level));
    PyObject* value = PyObject_GetAttrString(mod.ptr(), name);
    if (value) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    py::object mod_name = py::getattr(mod, "__name__", py::str("<unknown module name>"));
    py::object exc = builtin("ImportError")(pyco::fmt("cannot import name '{}' from '{}'", name, mod_name));
    PyErr_SetObject(PyExc_ImportError, exc.ptr());
    throw py::error_already_set();
}

py::dict annotations(std::initializer_list<std::pair<const char*, py::object>> items) {
    py::dict d;
    for (const auto& [name, value] : items) d[py::str(name)] = value;
    return d;
}

py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

py::object optional_of(const py::object& t) { return g("Optional")[t]; }
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

bool log_enabled(Level level) {
    py::object logger = g("logger");
    PyObject* check = nullptr;
    if (_PyObject_LookupAttr(logger.ptr(), pyco::intern("isEnabledFor"), &check) < 0) throw py::error_already_set();
    // A logger without the query (only debug/info/warning/error are required of it)
    // gets every line.
    if (!check) return true;
    py::object method = py::reinterpret_steal<py::object>(check);
    return truthy(method(py::int_(static_cast<int>(level))));
}

void log(Level level, py::handle text) {
    const char* method = level == DEBUG ? "debug" : level == INFO ? "info" : level == WARNING ? "warning" : "error";
    g("logger").attr(method)(text);
}

}  // namespace caskwell
