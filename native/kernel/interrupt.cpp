// Interrupts: an interrupt_request raises KeyboardInterrupt in the worker thread that runs
// the user code of the named request; the request then ends with its own error replies.
//
// The exception is delivered asynchronously (PyThreadState_SetAsyncExc) and raised when the
// thread next runs Python code. One delivered just as the user code ends may still be
// pending then; it is consumed on the worker right away (by running a line of Python
// there) so that it can never hit the kernel's own code or the next request that thread
// runs. A pending interrupt is never cleared with SetAsyncExc(id, NULL): that leaves the
// interpreter's eval breaker set, after which code traced in another thread can hang.
#include "kernel/invocation.hpp"

#include <pythread.h>

namespace kernel {

namespace {

// (kernel, request_id) -> ident of the thread running that request's user code.
PyObject* running = nullptr;
// Idents of threads an interrupt was delivered to, until their user code ends.
PyObject* delivered = nullptr;
// compile("None"): any Python code run on a thread raises an interrupt pending for it.
PyObject* no_op = nullptr;

void ensure_tables() {
    if (running) return;
    running = PyDict_New();
    delivered = PySet_New(nullptr);
    if (!running || !delivered) throw py::error_already_set();
    no_op = builtin("compile")(S("None"), S("<kernel>"), S("eval")).release().ptr();
}

// Raises here an interrupt still pending for this thread, and swallows it.
void consume_pending_interrupt() {
    PyObject* globals = PyDict_New();
    if (!globals) {
        PyErr_Clear();
        return;
    }
    PyObject* r = PyEval_EvalCode(no_op, globals, globals);
    Py_DECREF(globals);
    if (r) {
        Py_DECREF(r);
    } else if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        PyErr_Clear();
    } else {
        PyErr_WriteUnraisable(no_op);
    }
}

}  // namespace

Interruptible::Interruptible(py::handle self, py::handle request_id) {
    if (request_id.is_none() || PyObject_Hash(request_id.ptr()) == -1) {
        PyErr_Clear();  // a request without a usable id cannot be named by an interrupt
        return;
    }
    ensure_tables();
    key_ = py::make_tuple(self, request_id);
    ident_ = py::int_(PyThread_get_thread_ident());
    if (PyDict_SetItem(running, key_.ptr(), ident_.ptr()) < 0) throw py::error_already_set();
}

void Interruptible::end() {
    if (!key_ || pyco::unwinding_at_exit()) return;
    py::object key = std::move(key_);
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject* current = PyDict_GetItemWithError(running, key.ptr());
    if (current && PyObject_RichCompareBool(current, ident_.ptr(), Py_EQ) == 1) PyDict_DelItem(running, key.ptr());
    int was_delivered = PySet_Discard(delivered, ident_.ptr());
    PyErr_Clear();
    if (was_delivered == 1) consume_pending_interrupt();
    PyErr_Restore(t, v, tb);
}

bool interrupt(py::handle self, py::handle request_id) {
    if (!running || request_id.is_none() || PyObject_Hash(request_id.ptr()) == -1) {
        PyErr_Clear();
        return false;
    }
    py::tuple key = py::make_tuple(self, request_id);
    PyObject* ident = PyDict_GetItemWithError(running, key.ptr());
    if (!ident) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return false;
    }
    unsigned long id = PyLong_AsUnsignedLong(ident);
    if (PyErr_Occurred()) throw py::error_already_set();
    if (PyThreadState_SetAsyncExc(id, PyExc_KeyboardInterrupt) != 1) return false;
    if (PySet_Add(delivered, ident) < 0) throw py::error_already_set();
    return true;
}

namespace handlers {

py::object interrupt_request(const py::object& self, const py::object& message) {
    py::object request_id = field(message, "request_id");
    bool interrupted = interrupt(self, request_id);
    info("[Kernel] Received interrupt_request for request_id: {} (interrupted: {})", request_id, py::bool_(interrupted));
    return send(self, msg::interrupt_reply(request_id, interrupted, self.attr(S("workbook_id"))));
}

}  // namespace handlers

}  // namespace kernel
