// Late-bound access to the kernel module's namespace, imports and logging.
#include "kernel/kernel.hpp"

namespace kernel {

namespace {
PyObject* the_module = nullptr;
}

void set_module(PyObject* module) {
    Py_XINCREF(module);
    the_module = module;
}

PyObject* module_ptr() { return the_module; }

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
    py::object exc = py::module_::import("builtins").attr("ImportError")(
        pyco::fmt("cannot import name '{}' from '{}'", name, mod_name));
    PyErr_SetObject(PyExc_ImportError, exc.ptr());
    throw py::error_already_set();
}

py::object import_module(const char* module) { return py::module_::import(module); }


py::dict annotations(std::initializer_list<std::pair<const char*, py::object>> items) {
    py::dict d;
    for (const auto& [name, value] : items) d[py::str(name)] = value;
    return d;
}

py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

py::object optional_of(const py::object& t) { return g("Optional")[t]; }

py::str safe_str(py::handle obj) {
    PyObject* text = PyObject_Str(obj.ptr());
    if (text) return py::reinterpret_steal<py::str>(text);
    PyErr_Clear();  // whatever user code's __str__ raised
    return pyco::fmt("<unprintable {} object>", py::type::of(obj).attr("__name__"));
}

py::object traceback_text(py::handle e) {
    if (PyObject_TypeCheck(e.ptr(), reinterpret_cast<PyTypeObject*>(PyExc_Exception))) return g("extract_tracebak_string")(e);
    py::object lines = attr_of("traceback", "format_exception")(py::type::of(e), e, e.attr("__traceback__"));
    return py::str("").attr("join")(lines);
}

double now() { return attr_of("time", "time")().cast<double>(); }

bool log_enabled(Level level) {
    // Small ints are the interpreter's own cached objects: no allocation here.
    PyObject* number = PyLong_FromLong(static_cast<long>(level));
    if (!number) throw py::error_already_set();
    PyObject* enabled = PyObject_CallMethodOneArg(g("logger").ptr(), pyco::intern("isEnabledFor"), number);
    Py_DECREF(number);
    if (!enabled) throw py::error_already_set();
    return pyco::truthy(py::reinterpret_steal<py::object>(enabled));
}

void log(Level level, py::handle text) {
    const char* method = level == DEBUG ? "debug" : level == INFO ? "info" : level == WARNING ? "warning" : "error";
    PyObject* r = PyObject_CallMethodOneArg(g("logger").ptr(), pyco::intern(method), text.ptr());
    if (!r) throw py::error_already_set();
    Py_DECREF(r);
}

}  // namespace kernel
