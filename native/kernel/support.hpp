// Shared declarations of the kernel module's translation units.
#pragma once

#include "pyco/pyco.hpp"

namespace kernel {

namespace py = pybind11;

// The module's names, functions, imports and logging (pyco's layer for the module it
// serves): names are read from the module's namespace when used, so tests and callers that
// patch the module's attributes are honoured.
using namespace pyco::served;

using pyco::annotations;
using pyco::builtin;
using pyco::S;

// f(*args, name=value, ...) through vectorcall (keyword names are interned literals).
py::object call_kw(py::handle f, std::initializer_list<py::handle> args,
                   std::initializer_list<std::pair<const char*, py::handle>> kwargs);

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

// Probes of objects the kernel does not own (an asyncio future, a pool's queue, a
// websockets connection): whatever the lookup or call raises is cleared and counts as "no".
// owner.<name> is `expected`:
bool attribute_is(py::handle owner, const char* name, PyObject* expected);
// owner.<method>() returns `expected`:
bool method_returns(py::handle owner, const char* method, PyObject* expected);
// owner.<method> is `function` bound to owner (not replaced on the instance or a subclass):
bool bound_to(py::handle owner, const char* method, PyObject* function);

// Whether `frame` runs code of the module `package` or one of its submodules, told by the
// module name in the frame's globals (a code object's file name does not tell: the zipped
// standard library of Windows' embeddable CPython has relative ones); with `functions`
// (null-terminated), only in a function of one of those names.
bool frame_in(PyFrameObject* frame, const char* package, const char* const* functions = nullptr);

// The kernel's output path, entered from a worker's print or write, schedules sends on the
// loop through these asyncio functions; the standard-library frames a call of one of them
// runs (asyncio's, threading's and concurrent.futures') are the output path's.
extern const char* const output_path_entries[];
bool output_path_frame(PyFrameObject* frame);

// Where the output path returns to the user code that printed: an interrupt asked for the
// thread's user code and not delivered yet is raised here (KeyboardInterrupt), after the
// text was handed on. A run that prints all the time is mostly in the output path, where
// the interrupt waits, and would otherwise be found there at every try (runs/interrupt.cpp).
void interrupt_point();


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
// Patches the process, once, when the module is imported, so that output of threads a run
// starts reaches that run (output/streams.cpp): threading.Thread.start notes the run of the
// starting thread for the new thread, Thread._bootstrap_inner forgets it when the thread
// ends, and ThreadPoolExecutor.submit wraps a task submitted during a run so that it writes
// to that run while it is active. threading._active is read to find a thread's Thread
// object. Threads and tasks outside any run are left as they are.
void install_thread_start_hook();
void define_executor_functions(py::module_ m);
void define_environment_classes(py::module_ m);
void define_executor_classes(py::module_ m);
void define_batcher_class(py::module_ m);
void define_kernel_class(py::module_ m);

}  // namespace kernel
