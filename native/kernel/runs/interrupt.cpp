// Interrupts: an interrupt_request raises KeyboardInterrupt in the worker thread that runs
// the user code of the named request; the request then ends with its own error replies.
//
// An interrupt is an exception raised between two bytecodes of whatever the thread runs,
// the standard library included, so it is delivered from the event loop's thread, one
// step at a time, only where it can do no harm:
//  - a thread in a wait the kernel owns (a bridge request, see InterruptibleWait) has its
//    wait ended; the thread raises KeyboardInterrupt itself;
//  - a debug run paused in its debugger has the pause ended by the debugger, which raises
//    KeyboardInterrupt on the worker;
//  - a thread inside the logging package (whose lock helpers and handlers take locks that
//    a reused worker would keep for good if the exception landed between an acquire and
//    its try), or in the kernel's output path (asyncio scheduling a send on the loop from
//    the user's print), is looked at again a moment later;
//  - otherwise the exception is set asynchronously (PyThreadState_SetAsyncExc). In 3.11 a
//    pending asynchronous exception keeps the interpreter-wide eval breaker set, which
//    stalls traced code on every other thread, so it must not stay pending: when the
//    thread has not raised it shortly afterwards it is blocked in C (a time.sleep, a socket
//    read), the exception is withdrawn and tried again later, less often the longer the
//    thread stays blocked.
// An interrupt that arrives as the user code ends is consumed on that worker: it never
// reaches the kernel's own code or the next request the thread runs.
#include "kernel/runs/invocation.hpp"

#include <pythread.h>

#include <cstring>

#include <unordered_map>
#include <utility>

namespace kernel {

namespace {

// A thread inside the logging package (or the output path) is looked at again after this long.
constexpr double kOutsideLoggingRetry = 0.002;
// A thread that runs Python raises an exception set for it within a switch interval or
// two; one that has not after this long is blocked in C.
constexpr double kRaisedWithin = 0.025;
// A thread found blocked in C is tried again after this long, doubled each time up to the
// last (so the eval breaker is set for a small share of the time it stays blocked).
constexpr double kBlockedRetryFirst = 0.05;
constexpr double kBlockedRetryLast = 0.5;

// What the kernel knows about a thread that runs user code of an interruptible request.
struct Target {
    unsigned long long generation = 0;  // tells a later run of the same thread from this one
    int depth = 0;                      // Interruptible scopes of the thread (nested ones share this)
    PyObject* loop = nullptr;           // the loop that delivers this thread's interrupt (owned)
    PyObject* debugger = nullptr;       // the debug run's debugger session, or null (owned)
    PyObject* waker = nullptr;          // ends the kernel-owned wait the thread is in, or null (owned)
    bool wanted = false;                // an interrupt was asked for and has not reached the thread
    bool set_async = false;             // KeyboardInterrupt was set asynchronously, not seen raised yet
    unsigned long long next_step = 0;   // the delivery step to run next (earlier scheduled ones are stale)
    int withdrawn = 0;                  // how often an exception set for it was withdrawn
};

// Thread ident -> target. Touched only with the GIL held; kept for the process.
std::unordered_map<unsigned long, Target>* targets = nullptr;
unsigned long long next_generation = 1;
// (kernel, request_id) -> ident of the thread running that request's user code.
PyObject* running = nullptr;
// compile("None"): any Python code run on a thread raises an exception pending for it.
PyObject* no_op = nullptr;
// The exception the loop's thread sets on itself and takes at once to reset the eval
// breaker after a withdrawal (never seen outside this file).
PyObject* withdrawn_type = nullptr;
// The prototype of the delivery step's callback.
PyObject* step_prototype = nullptr;

void ensure_tables() {
    if (running) return;
    running = PyDict_New();
    if (!running) throw py::error_already_set();
    targets = new std::unordered_map<unsigned long, Target>();
    no_op = builtin("compile")(S("None"), S("<kernel>"), S("eval")).release().ptr();
    withdrawn_type = PyErr_NewException("vantrel_master.python_server.kernel._InterruptWithdrawn", PyExc_BaseException,
                                        nullptr);
    if (!withdrawn_type) throw py::error_already_set();
}

Target* target_of(unsigned long ident) {
    if (!targets) return nullptr;
    auto found = targets->find(ident);
    return found == targets->end() ? nullptr : &found->second;
}

PyThreadState* thread_state_of(unsigned long ident) {
    PyThreadState* me = PyThreadState_Get();
    for (PyThreadState* t = PyInterpreterState_ThreadHead(PyThreadState_GetInterpreter(me)); t;
         t = PyThreadState_Next(t)) {
        if (t->thread_id == ident) return t;
    }
    return nullptr;
}

// Runs a line of Python on this thread: an exception pending for it is raised here (and
// left in the error indicator); true when one was.
bool raise_pending() {
    PyObject* globals = PyDict_New();
    if (!globals) return true;
    PyObject* r = PyEval_EvalCode(no_op, globals, globals);
    Py_DECREF(globals);
    if (!r) return true;
    Py_DECREF(r);
    return false;
}

// Raises here an interrupt still pending for this thread, and swallows it.
void consume_pending_interrupt() {
    if (!raise_pending()) return;
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        PyErr_Clear();
    } else {
        PyErr_WriteUnraisable(no_op);
    }
}

// Whether an interrupt must wait: the thread runs code of the logging package (any frame
// of its stack: its lock helpers and handlers take locks that a reused worker would keep
// for good if the exception landed between an acquire and its try), or it is in the
// kernel's output path, which the user code's print entered to schedule a send on the loop
// (an exception there would show those frames under the user's, and could leave a
// scheduled callback without its wake-up). The output path is told by the frames on top of
// the stack: standard-library frames down to one of its entry functions. A user's own event
// loop runs asyncio's code too, reached from asyncio.run or run_until_complete and not from
// an output-path entry, and is interrupted as any other code (its proactor waiting in C on
// Windows as well as its selector on Linux).
bool delivery_must_wait(PyThreadState* tstate) {
    bool wait = false;
    bool at_top = true;  // still in the standard-library frames on top of the stack
    PyFrameObject* frame = PyThreadState_GetFrame(tstate);
    while (frame && !wait) {
        if (at_top) {
            if (frame_in(frame, "asyncio", output_path_entries)) {
                wait = true;
            } else if (!output_path_frame(frame)) {
                at_top = false;
            }
        }
        wait = wait || frame_in(frame, "logging");
        PyFrameObject* back = PyFrame_GetBack(frame);
        Py_DECREF(frame);
        frame = back;
    }
    Py_XDECREF(frame);
    return wait;
}

// Takes back the exception set for `ident` (blocked in C, it has not raised it) and resets
// the interpreter-wide eval breaker, which only a thread raising its pending exception
// does: this thread sets one on itself and raises it at once. Exceptions pending for other
// threads are signalled again afterwards.
void withdraw(unsigned long ident) {
    PyThreadState_SetAsyncExc(ident, nullptr);
    unsigned long me = PyThread_get_thread_ident();
    if (PyThreadState_SetAsyncExc(me, withdrawn_type) != 1) return;
    pyco::SavedError other;  // what else running that line raised (a signal handler's exception)
    for (int tries = 0; tries < 3; ++tries) {
        if (!raise_pending()) break;
        if (PyErr_ExceptionMatches(withdrawn_type)) {
            PyErr_Clear();
            break;
        }
        if (other.is_set()) {
            PyErr_WriteUnraisable(no_op);
        } else {
            other.fetch();
        }
    }
    PyThreadState* self_state = PyThreadState_Get();
    for (PyThreadState* t = PyInterpreterState_ThreadHead(PyThreadState_GetInterpreter(self_state)); t;
         t = PyThreadState_Next(t)) {
        if (t == self_state || !t->async_exc) continue;
        PyObject* exc = Py_NewRef(t->async_exc);
        PyThreadState_SetAsyncExc(t->thread_id, exc);
        Py_DECREF(exc);
    }
    if (other.is_set()) {
        other.restore();
        throw py::error_already_set();
    }
}

// Schedules the next delivery step of the target's current run on its loop.
void schedule(unsigned long ident, unsigned long long generation, double delay);

// One delivery step for the thread `ident` (on the loop's thread).
void step(unsigned long ident, unsigned long long generation, unsigned long long number) {
    Target* t = target_of(ident);
    if (!t || t->generation != generation || t->next_step != number) return;  // that run has ended, or a stale step
    if (t->set_async) {
        t->set_async = false;
        PyThreadState* tstate = thread_state_of(ident);
        if (!tstate || !tstate->async_exc) {
            t->wanted = false;  // raised
            return;
        }
        withdraw(ident);
        t = target_of(ident);  // the line run by withdraw() may have let the thread end its run
        if (!t || t->generation != generation) return;
        double delay = kBlockedRetryFirst;
        for (int i = 0; i < t->withdrawn && delay < kBlockedRetryLast; ++i) delay *= 2;
        ++t->withdrawn;
        schedule(ident, generation, delay < kBlockedRetryLast ? delay : kBlockedRetryLast);
        return;
    }
    if (!t->wanted) return;
    if (t->waker) {
        // The thread waits for the kernel: ending the wait is enough, the thread raises.
        py::object waker = py::reinterpret_borrow<py::object>(t->waker);
        waker();
        return;
    }
    if (t->debugger) {
        py::object debugger = py::reinterpret_borrow<py::object>(t->debugger);
        if (pyco::truthy(py::getattr(debugger, "paused", py::bool_(false))) && py::hasattr(debugger, "interrupt") &&
            pyco::truthy(debugger.attr("interrupt")())) {
            t = target_of(ident);
            if (t && t->generation == generation) t->wanted = false;
            return;
        }
        t = target_of(ident);
        if (!t || t->generation != generation) return;
    }
    PyThreadState* tstate = thread_state_of(ident);
    if (!tstate) return;
    if (delivery_must_wait(tstate)) {
        schedule(ident, generation, kOutsideLoggingRetry);
        return;
    }
    if (PyThreadState_SetAsyncExc(ident, PyExc_KeyboardInterrupt) != 1) return;
    t->set_async = true;
    schedule(ident, generation, kRaisedWithin);
}

py::object run_step(py::object closure) {
    py::tuple args = py::reinterpret_borrow<py::tuple>(closure);
    step(args[0].cast<unsigned long>(), args[1].cast<unsigned long long>(), args[2].cast<unsigned long long>());
    return py::none();
}

// (Python calls here may let other threads run, and end the target's run: the target is
// looked up again afterwards.)
void schedule(unsigned long ident, unsigned long long generation, double delay) {
    Target* t = target_of(ident);
    if (!t || t->generation != generation || !t->loop) return;
    py::object loop = py::reinterpret_borrow<py::object>(t->loop);
    unsigned long long number = ++t->next_step;
    if (!step_prototype) {
        pyco::Def def = pyco::fn<run_step>("deliver_interrupt", {});
        def.closure = py::none();
        step_prototype = function(def).release().ptr();
    }
    py::object callback = pyco::with_closure(
        step_prototype, py::make_tuple(py::int_(ident), py::int_(generation), py::int_(number)));
    try {
        loop.attr(S("call_later"))(py::float_(delay), callback);
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        // The loop is closed: the kernel is gone and nothing can be delivered any more.
    }
}

// Raises on this thread an interrupt asked for its user code and not raised yet (one set
// asynchronously a moment ago is raised rather than left pending).
void raise_wanted(Target* t) {
    if (t->set_async) {
        // The interrupt was set for the thread: raised by its code already, or here.
        t->set_async = false;
        t->wanted = false;
        if (PyThreadState_Get()->async_exc && raise_pending()) pyco::throw_error();
        return;
    }
    if (t->wanted) {
        t->wanted = false;
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        pyco::throw_error();
    }
}

}  // namespace

void interrupt_point() {
    if (!targets) return;
    Target* t = target_of(PyThread_get_thread_ident());
    if (!t || !t->wanted || t->set_async || t->waker) return;
    t->wanted = false;
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    pyco::throw_error();
}

Interruptible::Interruptible(py::handle self, py::handle request_id) {
    if (request_id.is_none() || PyObject_Hash(request_id.ptr()) == -1) {
        PyErr_Clear();  // a request without a usable id cannot be named by an interrupt
        return;
    }
    ensure_tables();
    unsigned long ident = PyThread_get_thread_ident();
    key_ = py::make_tuple(self, request_id);
    ident_ = py::int_(ident);
    if (PyDict_SetItem(running, key_.ptr(), ident_.ptr()) < 0) {
        key_ = py::object();
        throw py::error_already_set();
    }
    Target& t = (*targets)[ident];
    if (t.depth++ == 0) t.generation = next_generation++;
}

void Interruptible::set_debugger(py::handle debugger) {
    if (!key_) return;
    Target* t = target_of(PyThread_get_thread_ident());
    if (t) Py_XSETREF(t->debugger, Py_NewRef(debugger.ptr()));
}

void Interruptible::finish() {
    if (!key_) return;
    if (Target* t = target_of(PyThread_get_thread_ident())) raise_wanted(t);
}

void Interruptible::end() {
    if (!key_ || pyco::unwinding_at_exit()) return;
    py::object key = std::move(key_);
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* current = PyDict_GetItemWithError(running, key.ptr());
    if (current && PyObject_RichCompareBool(current, ident_.ptr(), Py_EQ) == 1) PyDict_DelItem(running, key.ptr());
    PyErr_Clear();
    forget_stdin_request(key);
    unsigned long ident = PyThread_get_thread_ident();
    auto found = targets->find(ident);
    if (found != targets->end() && --found->second.depth <= 0) {
        Target gone = found->second;
        targets->erase(found);
        // An interrupt set for the user code but not raised by it is raised and swallowed
        // here, before the kernel's own code runs on.
        // (Not once the process exits: running a line may then end this thread, which would
        // unwind through this destructor.)
        if (gone.set_async && PyThreadState_Get()->async_exc && !pyco::exit_begun.load(std::memory_order_acquire))
            consume_pending_interrupt();
        Py_XDECREF(gone.loop);
        Py_XDECREF(gone.debugger);
        Py_XDECREF(gone.waker);
    }
    PyErr_Restore(type, value, tb);
}

InterruptibleWait::InterruptibleWait(py::handle event) {
    if (!targets) return;
    unsigned long ident = PyThread_get_thread_ident();
    Target* t = target_of(ident);
    if (!t) return;  // no interruptible user code runs on this thread
    raise_wanted(t);  // not left pending while this thread blocks
    py::object set = event.attr(S("set"));
    Py_XSETREF(t->waker, set.release().ptr());
    ident_ = ident;
    active_ = true;
}

void InterruptibleWait::release() noexcept {
    if (!active_ || pyco::unwinding_at_exit()) return;
    active_ = false;
    Target* t = target_of(ident_);
    if (t) Py_CLEAR(t->waker);
}

void InterruptibleWait::check() {
    if (!active_) return;
    release();
    Target* t = target_of(ident_);
    if (t && t->wanted) {
        t->wanted = false;
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        pyco::throw_error();
    }
}

py::object running_request_key(unsigned long ident) {
    if (!running) return py::object();
    py::int_ wanted(ident);
    py::object found;  // the most recent registration of the thread (nested runs)
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(running, &pos, &key, &value)) {
        int same = PyObject_RichCompareBool(value, wanted.ptr(), Py_EQ);
        if (same < 0) throw py::error_already_set();
        if (same) found = py::reinterpret_borrow<py::object>(key);
    }
    return found;
}

bool interrupt(py::handle self, py::handle request_id) {
    if (!running || request_id.is_none() || PyObject_Hash(request_id.ptr()) == -1) {
        PyErr_Clear();
        return false;
    }
    py::tuple key = py::make_tuple(self, request_id);
    PyObject* found = PyDict_GetItemWithError(running, key.ptr());
    if (!found) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return false;
    }
    unsigned long ident = PyLong_AsUnsignedLong(found);
    if (PyErr_Occurred()) throw py::error_already_set();
    py::object loop = attr_of("asyncio", "get_running_loop")();
    Target* t = target_of(ident);
    if (!t) return false;
    if (t->set_async) {
        PyThreadState* tstate = thread_state_of(ident);
        if (tstate && tstate->async_exc) return true;  // the one set is still to be raised: it is this one too
        t->set_async = false;                        // raised: this is a new interrupt
    }
    t->wanted = true;
    if (!t->loop) t->loop = loop.release().ptr();
    step(ident, t->generation, ++t->next_step);  // now, and no step scheduled earlier runs
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
