// The environment and module messages, handled inline by the dispatcher (import paths,
// package folders and the modules that came from them, the console namespace, the
// workbook's in-memory modules), and VirtualEnvironment, the workbook's import-path record.
#include "kernel/routes.hpp"

#include <algorithm>
#include <vector>

namespace kernel {

namespace {

using pyco::arg;
using pyco::Check;

// --- VirtualEnvironment -----------------------------------------------------

py::object venv_init(py::object self, py::object workbook_id) {
    self.attr(S("workbook_id")) = workbook_id;
    self.attr(S("original_path")) = attr_of("sys", "path").attr(S("copy"))();
    self.attr(S("custom_paths")) = py::list();
    return py::none();
}

py::object venv_add_path(py::object self, py::object path) {
    py::object custom = self.attr(S("custom_paths"));
    if (has(custom, path)) return py::none();
    custom.attr(S("append"))(path);
    py::object sys_path = attr_of("sys", "path");
    if (!has(sys_path, path)) sys_path.attr(S("insert"))(0, path);
    return py::none();
}

py::object venv_remove_path(py::object self, py::object path) {
    py::object custom = self.attr(S("custom_paths"));
    if (!has(custom, path)) return py::none();
    custom.attr(S("remove"))(path);
    py::object sys_path = attr_of("sys", "path");
    if (has(sys_path, path)) sys_path.attr(S("remove"))(path);
    return py::none();
}

py::object venv_reset_path(py::object self) {
    py::object sys_path = attr_of("sys", "path");
    sys_path.attr(S("clear"))();
    sys_path.attr(S("extend"))(self.attr(S("original_path")));
    self.attr(S("custom_paths")).attr(S("clear"))();
    return py::none();
}

py::object venv_get_paths(py::object self) { return self.attr(S("custom_paths")).attr(S("copy"))(); }



// A rejected message: answered with an error naming the field; nothing is changed.
class BadField : public std::exception {
public:
    BadField(const char* type, const char* key, const char* expected) : type_(type), key_(key), expected_(expected) {}
    py::str text() const { return pyco::fmt("Invalid {} message: '{}' must be {}", type_, key_, expected_); }
    const char* what() const noexcept override { return "bad field"; }

private:
    const char *type_, *key_, *expected_;
};

py::object text_field(const py::object& message, const char* type, const char* key) {
    py::object value = field(message, key, S(""));
    if (!PyUnicode_Check(value.ptr())) throw BadField(type, key, "a string");
    return value;
}

py::list paths_field(const py::object& message, const char* type, const char* key) {
    py::object value = field(message, key, py::list());
    if (!PyList_Check(value.ptr())) throw BadField(type, key, "a list of strings");
    for (py::handle item : value) {
        if (!PyUnicode_Check(item.ptr())) throw BadField(type, key, "a list of strings");
    }
    return py::reinterpret_borrow<py::list>(value);
}

py::object sys_path() { return attr_of("sys", "path"); }

// Removes every module whose file lies under one of `folders`, together with the whole
// top-level package it belongs to; deepest submodules first. Returns how many names
// were selected.
Py_ssize_t unload_modules_from(const py::list& folders) {
    py::object modules = attr_of("sys", "modules");
    py::list items = py::list(modules.attr(S("items"))());
    py::set base_packages;
    for (py::handle item : items) {
        py::object name = py::reinterpret_borrow<py::tuple>(item)[0];
        py::object module = py::reinterpret_borrow<py::tuple>(item)[1];
        py::object file;
        try {
            file = py::getattr(module, "__file__", py::none());
        } catch (py::error_already_set& e) {
            if (!pyco::is_exception(e)) throw;
            continue;  // a module that cannot even say where it lives is left alone
        }
        if (!PyUnicode_Check(file.ptr())) continue;
        for (py::handle folder : folders) {
            if (pyco::truthy(file.attr(S("startswith"))(folder))) {
                base_packages.add(name.attr(S("split"))(S("."))[py::int_(0)]);
                break;
            }
        }
    }
    std::vector<std::pair<Py_ssize_t, py::object>> to_remove;
    py::list names = py::list(modules.attr(S("keys"))());
    for (py::handle name : names) {
        if (!PyUnicode_Check(name.ptr())) continue;
        py::object top = name.attr(S("split"))(S("."))[py::int_(0)];
        if (has(base_packages, top)) {
            Py_ssize_t depth = name.attr(S("count"))(S(".")).cast<Py_ssize_t>();
            to_remove.emplace_back(depth, py::reinterpret_borrow<py::object>(name));
        }
    }
    std::stable_sort(to_remove.begin(), to_remove.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& [depth, name] : to_remove) {
        if (has(modules, name)) {
            modules.attr(S("__delitem__"))(name);
            debug("Unloaded module: {}", name);
        }
    }
    return static_cast<Py_ssize_t>(to_remove.size());
}

void remove_present(const py::list& paths, const char* log_text) {
    py::object path_list = sys_path();
    for (py::handle p : paths) {
        if (has(path_list, p)) {
            path_list.attr(S("remove"))(p);
            debug(log_text, p);
        }
    }
}

// A handler whose fields are checked: a malformed field is answered with an error naming
// it, and nothing is changed.
template <class F>
py::object checked(const py::object& self, F&& f) {
    try {
        return f();
    } catch (const BadField& bad) {
        py::str text = bad.text();
        warning("[Kernel] {}", text);
        return send(self, msg::error(text));
    }
}

}  // namespace

namespace handlers {

py::object add_path(const py::object& self, const py::object& message) {
    return checked(self, [&] {
        py::object path = text_field(message, "add_path", "path");
        self.attr(S("virtual_env")).attr(S("add_path"))(path);
        return send(self, msg::path_added(path, sys_path()));
    });
}

py::object remove_path(const py::object& self, const py::object& message) {
    return checked(self, [&] {
        py::object path = text_field(message, "remove_path", "path");
        self.attr(S("virtual_env")).attr(S("remove_path"))(path);
        return send(self, msg::path_removed(path, sys_path()));
    });
}

py::object reset_namespace(const py::object& self, const py::object&) {
    self.attr(S("executor")).attr(S("reset_namespace"))();
    return send(self, msg::namespace_reset());
}

py::object reset_path(const py::object& self, const py::object&) {
    self.attr(S("virtual_env")).attr(S("reset_path"))();
    return send(self, msg::path_reset(sys_path()));
}

py::object set_package_paths(const py::object& self, const py::object& message) {
    return checked(self, [&] {
        py::list old_paths = paths_field(message, "set_package_paths", "old_paths");
        py::list new_paths = paths_field(message, "set_package_paths", "new_paths");
        Py_ssize_t unloaded = unload_modules_from(old_paths);
        remove_present(old_paths, "Removed old path from sys.path: {}");
        py::object path_list = sys_path();
        for (Py_ssize_t i = PyList_GET_SIZE(new_paths.ptr()) - 1; i >= 0; --i) {
            py::object p = new_paths[i];
            if (!has(path_list, p)) {
                path_list.attr(S("insert"))(0, p);
                debug("Added new path to sys.path: {}", p);
            }
        }
        self.attr(S("virtual_env")).attr(S("custom_paths")) = new_paths.attr(S("copy"))();
        py::object bridge = self.attr(S("_lsp_bridge"));
        if (pyco::truthy(bridge)) bridge.attr(S("update_sys_paths"))(new_paths);
        Py_ssize_t added = PyList_GET_SIZE(new_paths.ptr());
        py::object reply = send(self, msg::package_paths_updated(added, unloaded, self.attr(S("workbook_id"))));
        info("Package paths updated: {} paths added, {} modules unloaded", added, unloaded);
        return reply;
    });
}

py::object set_python_paths(const py::object& self, const py::object& message) {
    return checked(self, [&] {
        py::list old_paths = paths_field(message, "set_python_paths", "old_paths");
        py::list new_paths = paths_field(message, "set_python_paths", "new_paths");
        remove_present(old_paths, "Removed old python path from sys.path: {}");
        py::object path_list = sys_path();
        for (py::handle p : new_paths) {
            if (!has(path_list, p)) {
                path_list.attr(S("append"))(p);
                debug("Added new python path to sys.path: {}", p);
            }
        }
        py::object bridge = self.attr(S("_lsp_bridge"));
        if (pyco::truthy(bridge)) bridge.attr(S("update_sys_paths"))(path_list.attr(S("copy"))());
        Py_ssize_t added = PyList_GET_SIZE(new_paths.ptr());
        py::object reply = send(self, msg::python_paths_updated(added, self.attr(S("workbook_id"))));
        info("Python paths updated: {} paths added", added);
        return reply;
    });
}

py::object unload_and_clear_paths(const py::object& self, const py::object& message) {
    return checked(self, [&] {
        py::list paths = paths_field(message, "unload_and_clear_paths", "paths");
        Py_ssize_t unloaded = unload_modules_from(paths);
        remove_present(paths, "Removed path from sys.path: {}");
        Py_ssize_t cleared = PyList_GET_SIZE(paths.ptr());
        py::object reply = send(self, msg::modules_unloaded(unloaded, cleared, self.attr(S("workbook_id"))));
        info("Modules unloaded: {}, paths cleared: {}", unloaded, cleared);
        return reply;
    });
}

py::object update_module(const py::object& self, const py::object& message) {
    return checked(self, [&] {
        py::object module_name = field(message, "module_name", S(""));
        if (!pyco::truthy(module_name)) {
            warning("[Kernel] Received update_module without module_name");
            return send(self, msg::error(S("update_module requires module_name")));
        }
        if (!PyUnicode_Check(module_name.ptr())) throw BadField("update_module", "module_name", "a string");
        py::object code = text_field(message, "update_module", "code");
        g("in_memory_loader").attr(S("update_module"))(module_name, code);
        info("[Kernel] Updated virtual module: {}", module_name);
        return send(self, msg::module_updated(module_name));
    });
}

py::object delete_module(const py::object& self, const py::object& message) {
    return checked(self, [&] {
        py::object module_name = field(message, "module_name", S(""));
        if (!pyco::truthy(module_name)) {
            warning("[Kernel] Received delete_module without module_name");
            return send(self, msg::error(S("delete_module requires module_name")));
        }
        if (!PyUnicode_Check(module_name.ptr())) throw BadField("delete_module", "module_name", "a string");
        g("in_memory_loader").attr(S("delete_module"))(module_name);
        py::object bridge = self.attr(S("_lsp_bridge"));
        if (pyco::truthy(bridge)) bridge.attr(S("delete_module"))(module_name);
        info("[Kernel] Deleted virtual module: {}", module_name);
        return send(self, msg::module_deleted(module_name));
    });
}

}  // namespace handlers

void define_environment_classes(py::module_ m) {
    m.attr(S("VirtualEnvironment")) =
        pyco::ClassBuilder("VirtualEnvironment", module_name(), py::tuple(),
                           "The import paths a workbook added, and the path to return to.")
            .method(pyco::fn<venv_init>("__init__", {"self", arg("workbook_id").type(Check::Str)}))
            .method(pyco::fn<venv_add_path>("add_path", {"self", arg("path").type(Check::Str)}))
            .method(pyco::fn<venv_remove_path>("remove_path", {"self", arg("path").type(Check::Str)}))
            .method(pyco::fn<venv_reset_path>("reset_path", {"self"}))
            .method(pyco::fn<venv_get_paths>("get_paths", {"self"}).annotated(annotations({{"return", builtin("list")}})))
            .build();
}

}  // namespace kernel
