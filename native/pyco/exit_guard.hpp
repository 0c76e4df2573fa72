// pyco's exit guard: C++ frames of threads that CPython ends at interpreter exit.
// Part of pyco.hpp, the one header every translation unit includes.
//
// Included before pybind11 (and before anything else of Python's), so that every
// reference pybind11 releases goes through the check it installs.
#pragma once

#include <Python.h>

#include <atomic>

// Once the interpreter finalizes, CPython 3.11 ends a daemon thread that wants the GIL
// back (after a blocking call, or at a thread switch in Python code it runs) with
// pthread_exit, which unwinds its stack: the destructors of C++ frames on it run without
// the GIL while the main thread tears the interpreter down, and a catch (...) that does not
// rethrow the unwinding aborts the process. So:
//  - from the moment exit begins (an atexit hook, which runs before finalization), a
//    reference released by a thread that does not hold the GIL is left alone (leaked,
//    which is harmless at exit) instead of being released: every Py_DECREF and Py_XDECREF
//    of this library, the modules and the pybind11 code they include goes through the
//    check below (one load of a flag until exit begins);
//  - destructors that call into the interpreter (scopes that restore state) return at
//    once when unwinding_at_exit();
//  - every catch (...) starts with PYCO_RETHROW_FORCED_UNWIND.
//
// Whether a thread holds the GIL is told by comparing the thread state that holds it with
// the calling thread's own, not by PyGILState_Check(): that answers 1 on every thread once
// any subinterpreter was ever created, and after finalization. A thread whose own state
// cannot be told (finalization has gone that far) counts as not holding it.
namespace pyco {
// Set by the atexit hook init() registers; read by any thread at any time.
inline std::atomic<bool> exit_begun{false};
// Whether the calling thread holds the GIL (one interpreter lock in 3.11: the thread state
// holding it is process-wide).
inline bool holds_gil() {
    PyThreadState* mine = PyGILState_GetThisThreadState();
    return mine && _PyThreadState_UncheckedGet() == mine;
}
// True on a thread that is being ended at exit (it does not hold the GIL).
inline bool unwinding_at_exit() { return exit_begun.load(std::memory_order_acquire) && !holds_gil(); }
namespace detail {
inline void checked_decref(PyObject* op) {
    if (unwinding_at_exit()) return;
    (Py_DECREF)(op);
}
inline void checked_xdecref(PyObject* op) {
    if (op) checked_decref(op);
}
}  // namespace detail
}  // namespace pyco
#undef Py_DECREF
#define Py_DECREF(op) ::pyco::detail::checked_decref(_PyObject_CAST(op))
#undef Py_XDECREF
#define Py_XDECREF(op) ::pyco::detail::checked_xdecref(_PyObject_CAST(op))

// The unwinding that ends a thread is an exception every catch (...) must let through
// (libstdc++: abi::__forced_unwind; other runtimes end threads without unwinding).
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#define PYCO_RETHROW_FORCED_UNWIND \
    catch (abi::__forced_unwind&) { throw; }
#else
#define PYCO_RETHROW_FORCED_UNWIND
#endif
