// Shared declarations of the kernel module's translation units.
#pragma once

#include "pyco/pyco.hpp"

namespace kernel {

namespace py = pybind11;

// The module object, recorded once by the module's set-up (a deliberately leaked
// reference: modules live as long as the interpreter).
void set_module(PyObject* module);
PyObject* module_ptr();

// The module's namespace. Names are read from it at the moment they are used, so
// tests and callers that patch the module's attributes are honoured.
py::dict globals();
// globals()[name]; NameError when it is missing.
py::object g(const char* name);
// An attribute of a module-level name, e.g. attr_of("sys", "modules").
py::object attr_of(const char* name, const char* attribute);
// The module's __name__ (used as __module__ of its functions and classes).
py::object module_name();

// A function of this module (its __module__ is the kernel's).
py::object function(const pyco::Def& def);

// `from <module> import <name>` with the statement's semantics; `level` as for __import__.
py::object import_from(const char* module, const char* name, int level);
// `import <module>` as a statement binding the top-level package would; returns the
// named module itself.
py::object import_module(const char* module);

using pyco::annotations;
using pyco::builtin;
using pyco::S;

// f(*args, name=value, ...) through vectorcall (keyword names are interned literals).
py::object call_kw(py::handle f, std::initializer_list<py::handle> args,
                   std::initializer_list<std::pair<const char*, py::handle>> kwargs);
// typing.Optional[t], with the module's own `Optional`.
py::object optional_of(const py::object& t);

// `item in container`, as Python evaluates it.
inline bool has(py::handle container, py::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// str(obj), or "<unprintable T object>" when str() itself raises (as tracebacks show it).
py::str safe_str(py::handle obj);

// str(exc), or the exception's type name when that text is empty: a failure is never
// reported as an empty (falsy) error text.
py::str failure_text(py::handle exc);

// The traceback text of an exception: extract_tracebak_string(e) for an Exception, the
// same standard text for any other BaseException.
py::object traceback_text(py::handle e);

// time.time(), looked up when called.
double now();

// Logging through the module-level `logger`.
enum Level { DEBUG = 10, INFO = 20, WARNING = 30, ERROR = 40 };
bool log_enabled(Level level);

// A line's text pattern with where it is logged from (the calling C++ function and line,
// the record's source).
struct Pattern {
    std::string_view text;
    const char* function;
    int line;
    Pattern(const char* text, const char* function = __builtin_FUNCTION(), int line = __builtin_LINE())
        : text(text), function(function), line(line) {}
};
void log(Level level, py::handle text, const Pattern& where);

template <class... A>
void debug(Pattern pattern, const A&... args) {
    if (log_enabled(DEBUG)) log(DEBUG, pyco::fmt(pattern.text, args...), pattern);
}
// A debug line when `enabled` (log_enabled(DEBUG) asked once for several lines).
template <class... A>
void debug_if(bool enabled, Pattern pattern, const A&... args) {
    if (enabled) log(DEBUG, pyco::fmt(pattern.text, args...), pattern);
}

// A line is built only when the logger is enabled for its level.
template <class... A>
void info(Pattern pattern, const A&... args) {
    if (log_enabled(INFO)) log(INFO, pyco::fmt(pattern.text, args...), pattern);
}
template <class... A>
void warning(Pattern pattern, const A&... args) {
    if (log_enabled(WARNING)) log(WARNING, pyco::fmt(pattern.text, args...), pattern);
}
template <class... A>
void error(Pattern pattern, const A&... args) {
    if (log_enabled(ERROR)) log(ERROR, pyco::fmt(pattern.text, args...), pattern);
}

// Pieces of the module's set-up, in the order the module defines them.
void define_json(py::module_ m);
void define_loader_class(py::module_ m);

}  // namespace kernel

namespace kernel {

// A threading.Lock held for a scope (acquire blocks with the GIL released).
class Locked {
public:
    explicit Locked(py::object lock) : lock_(std::move(lock)) { lock_.attr("acquire")(); }
    ~Locked() {
        if (pyco::unwinding_at_exit()) return;
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyObject* r = PyObject_CallMethod(lock_.ptr(), "release", nullptr);
        if (r) {
            Py_DECREF(r);
        } else {
            PyErr_WriteUnraisable(lock_.ptr());
        }
        PyErr_Restore(t, v, tb);
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    py::object lock_;
};

void define_stream_classes(py::module_ m);
void define_executor_functions(py::module_ m);
void define_environment_classes(py::module_ m);
void define_executor_classes(py::module_ m);
void define_batcher_class(py::module_ m);
void define_kernel_class(py::module_ m);

}  // namespace kernel
