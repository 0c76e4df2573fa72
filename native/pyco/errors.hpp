// pyco's errors: the idioms for Python exceptions in C++ code.
// Part of pyco.hpp, the one header every translation unit includes.
#pragma once

#include "pyco/exit_guard.hpp"

#include <pybind11/pybind11.h>

#include <utility>

namespace pyco {

namespace py = pybind11;

// Which idiom when (the only ones the modules use):
//  - A failed Python call throws py::error_already_set: pybind11 does so itself; after a
//    C API call that returned an error, `throw py::error_already_set()` (or throw_error(),
//    which attaches the traceback to the exception first).
//  - `except Exception:` is `catch (py::error_already_set& e) { if (!is_exception(e)) throw; }`.
//    Only the boundary around user code (a run, a call, the repr of its result) catches
//    every error_already_set: there whatever user code raised is the request's outcome,
//    kept as caught(e), the exception with every frame it passed.
//  - In a coroutine, where no C++ exception may cross an await: await_nothrow gives a null
//    result with the error pending; take_exception() then is `except Exception:` and
//    SavedError::fetch() takes anything (to restore or rethrow after cleanup).
//  - HandledScope runs traceback.print_exc()/format_exc() as inside the except block.
//  - A module's own C++ exception types (the kernel's Rejected and its environment
//    messages' field errors) never leave the module: each is caught where it is answered.
//
// An exception taken out of the interpreter's error indicator (owned references).
struct SavedError {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;

    SavedError() = default;
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    SavedError(SavedError&& o) noexcept : type(o.type), value(o.value), tb(o.tb) { o.type = o.value = o.tb = nullptr; }
    SavedError& operator=(SavedError&& o) noexcept {
        if (this != &o) { clear(); std::swap(type, o.type); std::swap(value, o.value); std::swap(tb, o.tb); }
        return *this;
    }
    ~SavedError() {
        if (type || value || tb) clear();
    }

    bool is_set() const noexcept { return type != nullptr; }
    // Takes the current error (normalised, traceback attached) out of the indicator.
    void fetch() noexcept;
    // Puts it back into the indicator; this object is empty afterwards.
    void restore() noexcept;
    void clear() noexcept;
    bool matches(PyObject* exc_type) const noexcept { return type && PyErr_GivenExceptionMatches(type, exc_type); }
};

// `except Exception as e:` for the pending error (e.g. after await_nothrow): takes it out
// of the indicator when it is an Exception; anything else (CancelledError, SystemExit,
// KeyboardInterrupt, GeneratorExit) is thrown on as error_already_set.
SavedError take_exception();

// Sets the Python error indicator from the C++ exception being handled
// (error_already_set, pybind11's builtin exceptions, std::exception, anything else).
// Called inside a catch (...) that has let forced unwinding through already: being
// noexcept, it could not rethrow it.
void set_error_from_current_exception() noexcept;

// Throws the pending Python error as error_already_set (the exception object carries
// its traceback).
[[noreturn]] void throw_error();

// The exception object of a caught error, with its traceback attached (pybind11 keeps
// the traceback apart, so `e.value().__traceback__` would be None).
py::object caught(const py::error_already_set& e);

// `except Exception:` — true for Exception subclasses; CancelledError, SystemExit,
// KeyboardInterrupt and GeneratorExit are not caught by it.
inline bool is_exception(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

// `bool(obj)` as an `if` statement evaluates it: a __bool__ or __len__ that raises throws
// error_already_set instead of leaving the error pending behind a result.
inline bool truthy(py::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw_error();
    return r != 0;
}

// While alive, the interpreter's handled exception is `e`, so traceback.print_exc(),
// format_exc() and sys.exc_info() inside a C++ catch see it as an except block would.
class HandledScope {
public:
    explicit HandledScope(const py::error_already_set& e);
    explicit HandledScope(py::handle exc_value);
    ~HandledScope();
    HandledScope(const HandledScope&) = delete;
    HandledScope& operator=(const HandledScope&) = delete;

private:
    PyObject* previous_;
};

// Raises `exc` (an exception instance) with __context__ set to `context`, as a raise
// inside an except block would.
[[noreturn]] void raise_with_context(py::handle exc, py::handle context);

}  // namespace pyco
