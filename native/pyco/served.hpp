// pyco's module support layer: the module a copy of this library serves (its namespace
// read when used, its functions, imports and logging), and the module's set-up.
// Part of pyco.hpp, the one header every translation unit includes.
#pragma once

#include "pyco/functions.hpp"
#include "pyco/text.hpp"

#include <string_view>

namespace pyco {

// ---------------------------------------------------------------------------
// A module's own names
// ---------------------------------------------------------------------------

// The namespace of one extension module. Every name is read from the module's dict at
// the moment it is used, as Python code reads its globals, so callers and tests that
// patch the module's attributes are honoured.
class ModuleNames {
public:
    // Records the module object (in its exec slot; null forgets it).
    void set_module(PyObject* module);
    PyObject* module() const { return module_; }
    py::dict dict() const;
    // dict()[name]; NameError when it is missing.
    py::object get(const char* name) const;
    // An attribute of a module-level name, e.g. attr_of("sys", "modules").
    py::object attr_of(const char* name, const char* attribute) const;
    // A function of this module (its __module__ is the module's __name__).
    py::object function(const Def& def) const;
    // `from <module> import <name>` with the statement's semantics; `level` as for __import__.
    py::object import_from(const char* module, const char* name, int level) const;
    // Logging through the module-level `logger`: whether it is enabled for `level` (a
    // Logger's cached answer is read without a call), and one line at that level.
    bool log_enabled(int level) const;
    void log(int level, py::handle text) const;
    // The same line as a record made and handled directly (for a logging.Logger: what
    // Logger.makeRecord and Logger.handle do, done in C++; the call above otherwise), its
    // source the module's file and the C++ function and line given: no stack walk, which
    // from C++ would only find whatever Python frame happens to be below.
    void log_at(int level, py::handle text, const char* function, int line) const;

private:
    PyObject* module_ = nullptr;
};

// ---------------------------------------------------------------------------
// The module this copy of the library serves
// ---------------------------------------------------------------------------
//
// Every extension module links its own copy of this library, so these speak of that
// module: its namespace read when used (late binding), its functions, its imports and its
// logging through its module-level `logger`.

ModuleNames& this_module();

// The layer itself, brought into a module's namespace with `using namespace pyco::served;`.
namespace served {

// Records the module object once, in its exec slot (null forgets it).
inline void set_module(PyObject* module) { this_module().set_module(module); }
// The module's namespace; globals()[name] (NameError when missing); an attribute of a
// module-level name, e.g. attr_of("sys", "modules"); the module's __name__.
inline py::dict globals() { return this_module().dict(); }
inline py::object g(const char* name) { return this_module().get(name); }
inline py::object attr_of(const char* name, const char* attribute) { return this_module().attr_of(name, attribute); }
inline py::object module_name() { return g("__name__"); }
// A function of this module (its __module__ is the module's).
inline py::object function(const Def& def) { return this_module().function(def); }
// `from <module> import <name>` with the statement's semantics; `level` as for __import__.
inline py::object import_from(const char* module, const char* name, int level) {
    return this_module().import_from(module, name, level);
}
// typing.Optional[t] with the module's own `Optional`.
inline py::object optional_of(const py::object& t) { return g("Optional")[t]; }

enum Level { DEBUG = 10, INFO = 20, WARNING = 30, ERROR = 40 };
inline bool log_enabled(Level level) { return this_module().log_enabled(static_cast<int>(level)); }

// A line's text pattern with where it is logged from (the calling C++ function and line,
// the record's source).
struct Pattern {
    std::string_view text;
    const char* function;
    int line;
    Pattern(const char* text, const char* function = __builtin_FUNCTION(), int line = __builtin_LINE())
        : text(text), function(function), line(line) {}
};
inline void log(Level level, py::handle text, const Pattern& where) {
    this_module().log_at(static_cast<int>(level), text, where.function, where.line);
}

// A line is built only when the logger is enabled for its level.
template <class... A>
void debug(Pattern pattern, const A&... args) {
    if (log_enabled(DEBUG)) log(DEBUG, fmt(pattern.text, args...), pattern);
}
// A debug line when `enabled` (log_enabled(DEBUG) asked once for several lines).
template <class... A>
void debug_if(bool enabled, Pattern pattern, const A&... args) {
    if (enabled) log(DEBUG, fmt(pattern.text, args...), pattern);
}
template <class... A>
void info(Pattern pattern, const A&... args) {
    if (log_enabled(INFO)) log(INFO, fmt(pattern.text, args...), pattern);
}
template <class... A>
void warning(Pattern pattern, const A&... args) {
    if (log_enabled(WARNING)) log(WARNING, fmt(pattern.text, args...), pattern);
}
template <class... A>
void error(Pattern pattern, const A&... args) {
    if (log_enabled(ERROR)) log(ERROR, fmt(pattern.text, args...), pattern);
}

}  // namespace served

// ---------------------------------------------------------------------------
// The module's set-up
// ---------------------------------------------------------------------------

// Readies pyco's types once per process; called from every module's exec slot.
void init();

// Runs a module's set-up in its exec slot, turning C++ exceptions into the import's error
// (a thread's forced unwinding at exit goes on through the interpreter's frames).
int exec_module(PyObject* module, void (*setup)(py::module_ m));

}  // namespace pyco

// Defines the multi-phase initialisation entry of extension module `name`, whose exec
// slot runs `setup(py::module_)`.
#define PYCO_MODULE(name, doc, setup)                                                    \
    static int pyco_exec_##name(PyObject* m) { return ::pyco::exec_module(m, setup); }  \
    static PyModuleDef_Slot pyco_slots_##name[] = {                                      \
        {Py_mod_exec, reinterpret_cast<void*>(&pyco_exec_##name)}, {0, nullptr}};        \
    static PyModuleDef pyco_def_##name = {PyModuleDef_HEAD_INIT, #name, doc, 0, nullptr, \
                                          pyco_slots_##name, nullptr, nullptr, nullptr}; \
    extern "C" PYBIND11_EXPORT PyObject* PyInit_##name() { return PyModuleDef_Init(&pyco_def_##name); }
