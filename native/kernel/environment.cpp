// The environment and module messages, handled inline by the dispatcher: import paths,
// package folders (unloading the modules that came from them), the console namespace and
// the workbook's in-memory modules.
#include "kernel/environment.hpp"

#include <algorithm>
#include <vector>

namespace kernel {

namespace {


py::object field(const py::object& message, const char* key, py::object fallback) {
    return message.attr("get")(S(key), fallback);
}

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
    py::list items = py::list(modules.attr("items")());
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
            if (PyObject_IsTrue(file.attr("startswith")(folder).ptr()) == 1) {
                base_packages.add(name.attr("split")(S("."))[py::int_(0)]);
                break;
            }
        }
    }
    std::vector<std::pair<Py_ssize_t, py::object>> to_remove;
    py::list names = py::list(modules.attr("keys")());
    for (py::handle name : names) {
        if (!PyUnicode_Check(name.ptr())) continue;
        py::object top = name.attr("split")(S("."))[py::int_(0)];
        if (base_packages.contains(top)) {
            Py_ssize_t depth = name.attr("count")(S(".")).cast<Py_ssize_t>();
            to_remove.emplace_back(depth, py::reinterpret_borrow<py::object>(name));
        }
    }
    std::stable_sort(to_remove.begin(), to_remove.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& [depth, name] : to_remove) {
        if (modules.contains(name)) {
            modules.attr("__delitem__")(name);
            debug("Unloaded module: {}", name);
        }
    }
    return static_cast<Py_ssize_t>(to_remove.size());
}

void remove_present(const py::list& paths, const char* log_text) {
    py::object path_list = sys_path();
    for (py::handle p : paths) {
        if (path_list.contains(p)) {
            path_list.attr("remove")(p);
            debug(log_text, p);
        }
    }
}

py::object send(const py::object& self, py::dict message) { return self.attr("send_message")(message); }

}  // namespace

// Each handler returns the awaitable of its reply.
py::object handle_environment_message(const py::object& self, EnvMessage which, const py::object& message) {
    py::object wb = self.attr("workbook_id");
    try {
        switch (which) {
            case EnvMessage::AddPath: {
                py::object path = text_field(message, "add_path", "path");
                self.attr("virtual_env").attr("add_path")(path);
                return send(self, msg::path_added(path, sys_path()));
            }
            case EnvMessage::RemovePath: {
                py::object path = text_field(message, "remove_path", "path");
                self.attr("virtual_env").attr("remove_path")(path);
                return send(self, msg::path_removed(path, sys_path()));
            }
            case EnvMessage::ResetNamespace:
                self.attr("executor").attr("reset_namespace")();
                return send(self, msg::namespace_reset());
            case EnvMessage::ResetPath:
                self.attr("virtual_env").attr("reset_path")();
                return send(self, msg::path_reset(sys_path()));
            case EnvMessage::SetPackagePaths: {
                py::list old_paths = paths_field(message, "set_package_paths", "old_paths");
                py::list new_paths = paths_field(message, "set_package_paths", "new_paths");
                Py_ssize_t unloaded = unload_modules_from(old_paths);
                remove_present(old_paths, "Removed old path from sys.path: {}");
                py::object path_list = sys_path();
                for (Py_ssize_t i = PyList_GET_SIZE(new_paths.ptr()) - 1; i >= 0; --i) {
                    py::object p = new_paths[i];
                    if (!path_list.contains(p)) {
                        path_list.attr("insert")(0, p);
                        debug("Added new path to sys.path: {}", p);
                    }
                }
                self.attr("virtual_env").attr("custom_paths") = new_paths.attr("copy")();
                py::object bridge = self.attr("_lsp_bridge");
                if (PyObject_IsTrue(bridge.ptr()) == 1) bridge.attr("update_sys_paths")(new_paths);
                Py_ssize_t added = PyList_GET_SIZE(new_paths.ptr());
                py::object reply = send(self, msg::package_paths_updated(added, unloaded, wb));
                info("Package paths updated: {} paths added, {} modules unloaded", added, unloaded);
                return reply;
            }
            case EnvMessage::SetPythonPaths: {
                py::list old_paths = paths_field(message, "set_python_paths", "old_paths");
                py::list new_paths = paths_field(message, "set_python_paths", "new_paths");
                remove_present(old_paths, "Removed old python path from sys.path: {}");
                py::object path_list = sys_path();
                for (py::handle p : new_paths) {
                    if (!path_list.contains(p)) {
                        path_list.attr("append")(p);
                        debug("Added new python path to sys.path: {}", p);
                    }
                }
                py::object bridge = self.attr("_lsp_bridge");
                if (PyObject_IsTrue(bridge.ptr()) == 1) bridge.attr("update_sys_paths")(path_list.attr("copy")());
                Py_ssize_t added = PyList_GET_SIZE(new_paths.ptr());
                py::object reply = send(self, msg::python_paths_updated(added, wb));
                info("Python paths updated: {} paths added", added);
                return reply;
            }
            case EnvMessage::UnloadAndClearPaths: {
                py::list paths = paths_field(message, "unload_and_clear_paths", "paths");
                Py_ssize_t unloaded = unload_modules_from(paths);
                remove_present(paths, "Removed path from sys.path: {}");
                Py_ssize_t cleared = PyList_GET_SIZE(paths.ptr());
                py::object reply = send(self, msg::modules_unloaded(unloaded, cleared, wb));
                info("Modules unloaded: {}, paths cleared: {}", unloaded, cleared);
                return reply;
            }
            case EnvMessage::UpdateModule: {
                py::object module_name = field(message, "module_name", S(""));
                if (PyObject_IsTrue(module_name.ptr()) != 1) {
                    warning("[Kernel] Received update_module without module_name");
                    return send(self, msg::error(S("update_module requires module_name")));
                }
                if (!PyUnicode_Check(module_name.ptr())) throw BadField("update_module", "module_name", "a string");
                py::object code = text_field(message, "update_module", "code");
                g("in_memory_loader").attr("update_module")(module_name, code);
                info("[Kernel] Updated virtual module: {}", module_name);
                return send(self, msg::module_updated(module_name));
            }
            case EnvMessage::DeleteModule: {
                py::object module_name = field(message, "module_name", S(""));
                if (PyObject_IsTrue(module_name.ptr()) != 1) {
                    warning("[Kernel] Received delete_module without module_name");
                    return send(self, msg::error(S("delete_module requires module_name")));
                }
                if (!PyUnicode_Check(module_name.ptr())) throw BadField("delete_module", "module_name", "a string");
                g("in_memory_loader").attr("delete_module")(module_name);
                py::object bridge = self.attr("_lsp_bridge");
                if (PyObject_IsTrue(bridge.ptr()) == 1) bridge.attr("delete_module")(module_name);
                info("[Kernel] Deleted virtual module: {}", module_name);
                return send(self, msg::module_deleted(module_name));
            }
        }
    } catch (const BadField& bad) {
        py::str text = bad.text();
        warning("[Kernel] {}", text);
        return send(self, msg::error(text));
    }
    return py::none();
}

}  // namespace kernel
