// A module's own names read when used (late binding) and its imports.
#include "pyco/pyco.hpp"

namespace pyco {

ModuleNames& this_module() {
    static ModuleNames names;  // holds a borrowed-for-good module pointer only
    return names;
}

void ModuleNames::set_module(PyObject* module) {
    Py_XINCREF(module);  // deliberately kept: modules live as long as the interpreter
    module_ = module;
}

py::dict ModuleNames::dict() const { return py::reinterpret_borrow<py::dict>(PyModule_GetDict(module_)); }

py::object ModuleNames::get(const char* name) const {
    PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(module_), intern(name));
    if (!v) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(v);
}

py::object ModuleNames::attr_of(const char* name, const char* attribute) const {
    PyObject* r = PyObject_GetAttr(get(name).ptr(), intern(attribute));
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object ModuleNames::function(const Def& def) const { return make_function(def, get("__name__")); }

py::object ModuleNames::import_from(const char* module, const char* name, int level) const {
    py::object mod = builtin("__import__")(py::str(module), dict(), py::none(), py::make_tuple(py::str(name)),
                                          py::int_(level));
    PyObject* value = PyObject_GetAttrString(mod.ptr(), name);
    if (value) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    py::object mod_name = py::getattr(mod, "__name__", py::str("<unknown module name>"));
    py::object exc = builtin("ImportError")(fmt("cannot import name '{}' from '{}'", name, mod_name));
    PyErr_SetObject(PyExc_ImportError, exc.ptr());
    throw py::error_already_set();
}

py::object builtin(const char* name) {
    PyObject* value = PyDict_GetItemWithError(PyEval_GetBuiltins(), intern(name));
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

py::dict annotations(std::initializer_list<std::pair<const char*, py::object>> items) {
    py::dict d;
    for (const auto& [name, value] : items) d[py::str(name)] = value;
    return d;
}

}  // namespace pyco
