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
    py::object importer = py::module_::import("builtins").attr(S("__import__"));
    py::object mod = importer(py::str(module), globals(), py::none(), py::make_tuple(py::str(name)), py::int_(level));
    PyObject* value = PyObject_GetAttrString(mod.ptr(), name);
    if (value) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    py::object mod_name = py::getattr(mod, "__name__", py::str("<unknown module name>"));
    py::object exc = py::module_::import("builtins").attr(S("ImportError"))(
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

py::object builtin(const char* name) {
    PyObject* value = PyDict_GetItemWithError(PyEval_GetBuiltins(), pyco::intern(name));
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

py::object call_kw(py::handle f, std::initializer_list<py::handle> args,
                   std::initializer_list<std::pair<const char*, py::handle>> kwargs) {
    constexpr size_t kMax = 8;
    PyObject* stack[kMax];
    size_t n = 0;
    for (py::handle a : args) stack[n++] = a.ptr();
    size_t positional = n;
    PyObject* names = nullptr;
    if (kwargs.size() > 0) {
        names = PyTuple_New(static_cast<Py_ssize_t>(kwargs.size()));
        if (!names) throw py::error_already_set();
        Py_ssize_t i = 0;
        for (const auto& [name, value] : kwargs) {
            PyTuple_SET_ITEM(names, i++, Py_NewRef(pyco::intern(name)));
            stack[n++] = value.ptr();
        }
    }
    PyObject* r = PyObject_Vectorcall(f.ptr(), stack, positional, names);
    Py_XDECREF(names);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object optional_of(const py::object& t) { return g("Optional")[t]; }

py::str safe_str(py::handle obj) {
    PyObject* text = PyObject_Str(obj.ptr());
    if (text) return py::reinterpret_steal<py::str>(text);
    PyErr_Clear();  // whatever user code's __str__ raised
    return pyco::fmt("<unprintable {} object>", py::type::of(obj).attr(S("__name__")));
}

py::object traceback_text(py::handle e) {
    if (PyObject_TypeCheck(e.ptr(), reinterpret_cast<PyTypeObject*>(PyExc_Exception))) return g("extract_tracebak_string")(e);
    py::object lines = attr_of("traceback", "format_exception")(py::type::of(e), e, e.attr(S("__traceback__")));
    return py::str("").attr(S("join"))(lines);
}

double now() { return attr_of("time", "time")().cast<double>(); }

namespace {
PyObject* logger_class = nullptr;  // logging.Logger (leaked: the module lives as long as the process)

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
    if (!logger_class) {
        logger_class = py::object(py::module_::import("logging").attr("Logger")).release().ptr();
    }
    if (reinterpret_cast<PyObject*>(Py_TYPE(logger)) != logger_class) return -1;
    py::object disabled = py::reinterpret_steal<py::object>(PyObject_GetAttr(logger, pyco::intern("disabled")));
    if (!disabled) throw py::error_already_set();
    if (disabled.ptr() != Py_False) return -1;
    py::object cache = py::reinterpret_steal<py::object>(PyObject_GetAttr(logger, pyco::intern("_cache")));
    if (!cache) throw py::error_already_set();
    if (!PyDict_CheckExact(cache.ptr())) return -1;
    PyObject* known = item(cache.ptr(), number);
    return known == Py_True ? 1 : known == Py_False ? 0 : -1;
}
}  // namespace

bool log_enabled(Level level) {
    py::object logger = g("logger");
    py::object number = py::int_(static_cast<int>(level));  // a small int: the interpreter's cached object
    int known = cached_enabled(logger.ptr(), number.ptr());
    if (known >= 0) return known == 1;
    PyObject* enabled = PyObject_CallMethodOneArg(logger.ptr(), pyco::intern("isEnabledFor"), number.ptr());
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
