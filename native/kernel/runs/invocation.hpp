// The pattern every call of user code follows: a coroutine on the event loop hands a worker
// closure to the kernel's pool; the worker runs the user's code with its output captured
// and streamed, and returns its result as a C++ struct (a typed closure object); the
// coroutine turns it into replies. Dictionaries are made only for what goes on the wire.
#pragma once

#include "kernel/output/capture.hpp"
#include "kernel/routes.hpp"

#include <string>
#include <utility>

namespace kernel {

// Where a call's output goes: stdout/stderr messages carrying the call's request id,
// workbook id and source, sent through the loop with back-pressure.
struct CallOutput {
    py::object self;         // the kernel
    py::object request_id;
    py::object workbook_id;  // null: the kernel's own, read when a message is built
    py::object source;
    py::object loop;
    py::object backlog;
    PYCO_FIELDS(self, request_id, workbook_id, source, loop, backlog)
};

// The output of a call made from the running loop (the loop and a fresh backlog).
CallOutput call_output(py::handle self, py::object request_id, py::object workbook_id, py::object source);

// The two on_write callbacks (stdout, stderr) of a call, named as functions nested in
// `owner` (e.g. "PythonKernel._handle_custom_function_call.<locals>.execute_function").
std::pair<py::object, py::object> output_callbacks(const CallOutput& output, const std::string& owner);

// The awaitable of a worker closure run on the kernel's pool (kernel._thread_pool), as
// loop.run_in_executor(kernel._thread_pool, worker) would give it (runs/handover.cpp).
py::object run_in_pool(const CallOutput& output, const py::object& worker);

// A function nested in `owner`, with `closure` handed to its C++ body first.
py::object nested_function(pyco::Def def, const std::string& owner, py::object closure);

// The two StreamCapture objects of a call, keeping what its replies carry (output/capture.hpp).
std::pair<py::object, py::object> make_captures(const py::object& out_callback, const py::object& err_callback,
                                                Keep keep);

// The captured stdout text followed by the captured stderr text.
py::object captured_logs(const py::object& out, const py::object& err);

// traceback.print_exc(file=sys.stderr) for `exc` as if in its except block (inside a
// capture this lands in the call's stderr); never raises.
void print_traceback(const py::object& exc);

// traceback.format_exc() for `exc`.
py::object format_traceback(const py::object& exc);

// Imports a module by its dotted name (as an import statement would) and returns its
// attribute `function_name`: ImportError `missing_module` when the module is not in
// sys.modules afterwards, AttributeError when it has no such attribute.
py::object import_function(const py::object& module_name, const py::object& function_name,
                           const py::str& missing_module);

// The name of the current thread.
py::object current_thread_name();

// vantrel.Serializer.to_wire(value), looked up when called.
py::object to_wire(const py::object& value);

// func(*args)
py::object call_with(const py::object& func, const py::object& args);

// repr() of a value from user code: whatever its __repr__ raises is caught and returned
// in `failure` (the caller reports it as that call's failure).
py::object user_repr(const py::object& value, py::object& failure);

// The repr of the value a request shows, made on the worker as part of its result: the
// loop never runs a user __repr__ (a slow or blocking one would stall every request).
struct Shown {
    py::object text = py::none();  // the repr, or None
    py::object failure;            // what the repr raised, or null
    PYCO_FIELDS(text, failure)
};
// The repr of `value`. It is part of the request's user code: an interrupt_request naming
// `request_id` of kernel `self` interrupts it.
Shown shown_of(const py::object& value, py::handle self, py::handle request_id);

// What went wrong in a call body awaited with await_nothrow (whose value is `outcome`): the
// Exception it raised, or the exception it returned because user code raised it (in the
// repr of a result); null when it completed. Anything else (a cancellation) is thrown on.
py::object body_failure(const py::object& outcome);

// A request's body, run with its failures answered: what the body raised (an Exception)
// or returned (what the repr of its result raised) goes to `failure_reply`, a callable
// making the Task that logs it and sends the request's error replies; what that Task
// raises propagates. Anything else the body raises (a cancellation) is thrown on.
template <class FailureReply>
pyco::Task guarded_request(pyco::Task body, FailureReply failure_reply) {
    py::object outcome = co_await pyco::await_nothrow(pyco::make_coroutine(std::move(body)));
    py::object failure = body_failure(outcome);
    if (!failure) co_return py::none();
    pyco::Task reply = failure_reply(std::move(failure));
    co_await pyco::await(std::move(reply));
    co_return py::none();
}

// What a typed method call started: the method's coroutine, or, when the call was refused,
// the awaitable of the reply that answers the request instead.
struct Started {
    py::object awaitable;
    bool refused = false;
};

// self.<method>(args...) for a kernel method with typed parameters, called through the
// attribute (tests and integrations patch these methods). A field of the wrong type makes
// the call itself raise and nothing runs: that Exception goes to `refuse`, which returns
// the awaitable of the reply.
template <class Refuse, class... A>
Started call_typed(py::handle self, const char* method, Refuse refuse, const A&... args) {
    py::object failure;
    try {
        return Started{self.attr(S(method))(args...)};
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        failure = pyco::caught(e);
    }
    return Started{refuse(failure), true};
}

// While alive, the user code of request `request_id` of kernel `self` runs on this thread:
// an interrupt_request naming it raises KeyboardInterrupt here (runs/interrupt.cpp says how it
// is delivered). On leaving, an interrupt delivered but not yet raised is consumed, so it
// cannot reach later code of the thread. A request id that is None or unhashable is not
// registered.
class Interruptible {
public:
    Interruptible(py::handle self, py::handle request_id);
    ~Interruptible() { end(); }
    // The user code has ended: an interrupt asked for while it ran that has not reached it
    // yet (it was blocked in C until its last moment) is raised now, as the run's end.
    void finish();
    // Ends interruptibility early (the request is about to send its final reply); idempotent.
    void end();
    // The debugger session the user code runs under: an interrupt while it is paused has
    // the debugger end the pause (its `interrupt()`) instead of waiting for the next command.
    void set_debugger(py::handle debugger);
    Interruptible(const Interruptible&) = delete;
    Interruptible& operator=(const Interruptible&) = delete;

private:
    py::object key_;    // (kernel, request_id), or null
    py::object ident_;  // this thread's ident
};

// A wait the kernel owns, on a thread that runs interruptible user code: while alive, an
// interrupt of that user code sets `event` (a threading.Event the thread waits on) instead
// of raising asynchronously, and check() then raises KeyboardInterrupt on the thread. An
// interrupt already asked for raises at construction. On other threads it does nothing.
class InterruptibleWait {
public:
    explicit InterruptibleWait(py::handle event);
    ~InterruptibleWait() { release(); }
    // After the wait: raises KeyboardInterrupt when an interrupt ended it (or came meanwhile).
    void check();
    InterruptibleWait(const InterruptibleWait&) = delete;
    InterruptibleWait& operator=(const InterruptibleWait&) = delete;

private:
    void release() noexcept;
    unsigned long ident_ = 0;
    bool active_ = false;
};

// Delivers KeyboardInterrupt to the thread running the user code of `request_id`; false
// when no user code of that request is running.
bool interrupt(py::handle self, py::handle request_id);

// The error object {type, message, traceback} of an exception.
py::dict error_object_of(const py::object& exc);

}  // namespace kernel
