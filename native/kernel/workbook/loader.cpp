// InMemoryModuleLoader: makes workbook modules, whose source lives in memory, importable.
// One object is both the meta-path finder and the loader.
#include "kernel/support.hpp"

namespace kernel {

namespace {

using pyco::arg;
using pyco::Check;

py::str virtual_filename(py::handle module_name) { return pyco::fmt("<virtual:{}>", module_name); }

py::object loader_init(py::object self) {
    self.attr(S("source_cache")) = py::dict();
    return py::none();
}

py::object find_spec(py::object self, py::object fullname, py::object path, py::object target) {
    if (!has(self.attr(S("source_cache")), fullname)) return py::none();
    return attr_of("importlib", "machinery").attr(S("ModuleSpec"))(fullname, self);
}

py::object create_module(py::object self, py::object spec) { return py::none(); }

// The source's lines, each ending in a newline, in the shape linecache keeps.
void register_lines(const py::object& source, const py::object& filename) {
    py::list lines;
    py::object split = source.attr(S("splitlines"))();
    py::str newline("\n");
    for (py::handle line : split) lines.append(py::reinterpret_borrow<py::object>(line) + newline);
    py::object entry = py::make_tuple(py::int_(PyUnicode_GET_LENGTH(source.ptr())), py::none(), lines, filename);
    attr_of("linecache", "cache")[filename] = entry;
}

py::object exec_module(py::object self, py::object module) {
    py::object module_name = module.attr(S("__name__"));
    py::object cache = self.attr(S("source_cache"));
    if (!has(cache, module_name)) {
        PyErr_SetObject(PyExc_ImportError, pyco::fmt("No source code found for module '{}'", module_name).ptr());
        throw py::error_already_set();
    }
    py::object source = cache[module_name];
    py::object filename = virtual_filename(module_name);
    register_lines(source, filename);

    py::object failure;
    try {
        py::object compile = builtin("compile");
        py::object code = compile(source, filename, py::str("exec"));
        py::object ns = module.attr(S("__dict__"));
        // As exec() does: the namespace gets __builtins__ when it has none (code that
        // imports through the C API from this module's frames looks it up there).
        if (PyDict_Check(ns.ptr()) && !PyDict_SetDefault(ns.ptr(), S("__builtins__").ptr(), PyEval_GetBuiltins()))
            throw py::error_already_set();
        PyObject* r = PyEval_EvalCode(code.ptr(), ns.ptr(), ns.ptr());
        if (!r) throw py::error_already_set();
        Py_DECREF(r);
        return py::none();
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        failure = pyco::caught(e);
    }
    error("[InMemoryModuleLoader] Error executing module '{}': {}", module_name, failure);
    // Leave out the kernel's own frames: the importer sees the workbook module's.
    py::object own_name = kernel::module_name();
    py::object tb = failure.attr(S("__traceback__"));
    while (!tb.is_none()) {
        py::object frame_globals = tb.attr(S("tb_frame")).attr(S("f_globals"));
        py::object name = frame_globals.attr(S("get"))(py::str("__name__"));
        if (!name.equal(own_name)) break;
        tb = tb.attr(S("tb_next"));
    }
    failure = failure.attr(S("with_traceback"))(tb);
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(failure.ptr()))), Py_NewRef(failure.ptr()),
                  tb.is_none() ? nullptr : Py_NewRef(tb.ptr()));
    throw py::error_already_set();
}

py::object update_module(py::object self, py::object module_name, py::object code) {
    self.attr(S("source_cache"))[module_name] = code;
    py::object modules = attr_of("sys", "modules");
    if (has(modules, module_name)) {
        modules.attr(S("__delitem__"))(module_name);
        debug("[InMemoryModuleLoader] Removed '{}' from sys.modules to force reload", module_name);
    }
    return py::none();
}

py::object delete_module(py::object self, py::object module_name) {
    py::object cache = self.attr(S("source_cache"));
    if (has(cache, module_name)) {
        cache.attr(S("__delitem__"))(module_name);
        debug("[InMemoryModuleLoader] Removed '{}' from source_cache", module_name);
    }
    py::object modules = attr_of("sys", "modules");
    if (has(modules, module_name)) {
        modules.attr(S("__delitem__"))(module_name);
        debug("[InMemoryModuleLoader] Removed '{}' from sys.modules", module_name);
    }
    py::object filename = virtual_filename(module_name);
    py::object lines = attr_of("linecache", "cache");
    if (has(lines, filename)) {
        lines.attr(S("__delitem__"))(filename);
        debug("[InMemoryModuleLoader] Removed '{}' from linecache", filename);
    }
    return py::none();
}

}  // namespace

void define_loader_class(py::module_ m) {
    py::object abc = attr_of("importlib", "abc");
    m.attr(S("InMemoryModuleLoader")) =
        pyco::ClassBuilder("InMemoryModuleLoader", module_name(),
                           py::make_tuple(abc.attr(S("MetaPathFinder")), abc.attr(S("Loader"))),
                           "Finds and loads workbook modules from their source held in memory.")
            .method(pyco::fn<loader_init>("__init__", {"self"}))
            .method(pyco::fn<find_spec>("find_spec", {"self", arg("fullname").type(Check::Str), "path",
                                                      arg("target").def_none()}))
            .method(pyco::fn<create_module>("create_module", {"self", "spec"}))
            .method(pyco::fn<exec_module>("exec_module", {"self", "module"}))
            .method(pyco::fn<update_module>("update_module", {"self", arg("module_name").type(Check::Str),
                                                              arg("code").type(Check::Str)}))
            .method(pyco::fn<delete_module>("delete_module", {"self", arg("module_name").type(Check::Str)}))
            .build();
}

}  // namespace kernel
