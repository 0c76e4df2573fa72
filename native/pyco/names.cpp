// A module's own names read when used (late binding), its imports and its logging.
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

namespace {

PyObject* logger_class = nullptr;  // logging.Logger (kept for the process)

// An item of a dict, or null (an error is thrown on, not left pending).
PyObject* item(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value && PyErr_Occurred()) throw py::error_already_set();
    return value;
}

// Logger.isEnabledFor's own first steps (a disabled logger, the answer it cached for the
// level) done here, or -1 when the method has to be called (a logger of another class,
// nothing cached yet).
int cached_enabled(PyObject* logger, PyObject* number) {
    if (!logger_class) logger_class = py::object(py::module_::import("logging").attr("Logger")).release().ptr();
    if (reinterpret_cast<PyObject*>(Py_TYPE(logger)) != logger_class) return -1;
    if (attribute(logger, "disabled").ptr() != Py_False) return -1;
    py::object cache = attribute(logger, "_cache");
    if (!PyDict_CheckExact(cache.ptr())) return -1;
    PyObject* known = item(cache.ptr(), number);
    return known == Py_True ? 1 : known == Py_False ? 0 : -1;
}

}  // namespace

bool ModuleNames::log_enabled(int level) const {
    py::object logger = get("logger");
    py::object number = py::int_(level);  // a small int: the interpreter's cached object
    int known = cached_enabled(logger.ptr(), number.ptr());
    if (known >= 0) return known == 1;
    PyObject* check = PyObject_GetAttr(logger.ptr(), intern("isEnabledFor"));
    if (!check) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        return true;  // a logger without the query gets every line
    }
    py::object method = py::reinterpret_steal<py::object>(check);
    return truthy(method(number));
}

void ModuleNames::log(int level, py::handle text) const {
    const char* method = level <= 10 ? "debug" : level <= 20 ? "info" : level <= 30 ? "warning" : "error";
    PyObject* r = PyObject_CallMethodOneArg(get("logger").ptr(), intern(method), text.ptr());
    if (!r) throw py::error_already_set();
    Py_DECREF(r);
}

void ModuleNames::log_at(int level, py::handle text, const char* function, int line) const {
    py::object logger = get("logger");
    if (!logger_class) logger_class = py::object(py::module_::import("logging").attr("Logger")).release().ptr();
    int is_logger = PyObject_IsInstance(logger.ptr(), logger_class);
    if (is_logger < 0) throw py::error_already_set();
    if (!is_logger) return log(level, text);
    PyObject* file = PyModule_GetFilenameObject(module_);
    if (!file) PyErr_Clear();
    py::object path = file ? py::reinterpret_steal<py::object>(file) : get("__name__");
    py::object record = make_record(logger, level, path, line, text, function);
    PyObject* r = PyObject_CallMethodOneArg(logger.ptr(), intern("handle"), record.ptr());
    if (!r) throw py::error_already_set();
    Py_DECREF(r);
}

py::object attribute(py::handle obj, const char* name) {
    PyObject* value = PyObject_GetAttr(obj.ptr(), intern(name));
    if (!value) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
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
