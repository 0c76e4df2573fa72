// Calls of user code from the spreadsheet: custom functions (and IDE runs), Python
// callables registered with the bridge, and Excel event handlers. Each follows one
// pattern (runs/invocation.hpp): a coroutine on the loop, a worker closure on the pool, a
// typed result (CallResult), replies in a fixed order.
//
// Whatever user code raises on the worker (SystemExit, KeyboardInterrupt and any other
// BaseException included), and whatever the repr of its result raises, is
// that call's failure: it is reported with the call's error replies and the kernel goes on.
#include "kernel/runs/invocation.hpp"

#include <unordered_map>
#include <vector>

namespace kernel {

// --- the shared pattern ---------------------------------------------------------------

namespace {

using pyco::arg;
using pyco::Check;
using pyco::Task;

// Where one stream (stdout or stderr) of a call goes.
struct StreamTarget {
    CallOutput output;
    py::object kind;  // "stdout" or "stderr"
    PYCO_FIELDS(output, kind)
};

py::object stream_callback(py::object closure, py::object text) {
    StreamTarget& t = pyco::closure_of<StreamTarget>(closure);
    const CallOutput& o = t.output;
    try {
        if (append_to_open_stream(o.backlog, t.kind, text)) return py::none();
        // no workbook id of the request's own: the kernel's, read when the message is built
        py::object wb = o.workbook_id ? o.workbook_id : py::object(o.self.attr(S("workbook_id")));
        py::dict message = msg::request_stream(t.kind, text, o.request_id, wb, o.source);
        send_stream_counted(o.backlog, message, t.kind, send(o.self, message), o.loop);
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        debug("[Kernel] {} streaming error: {}", t.kind, e.value());
    }
    return py::none();
}

}  // namespace

CallOutput call_output(py::handle self, py::object request_id, py::object workbook_id, py::object source) {
    py::object loop = attr_of("asyncio", "get_running_loop")();
    py::object backlog = make_backlog(loop);
    return CallOutput{py::reinterpret_borrow<py::object>(self), std::move(request_id), std::move(workbook_id), std::move(source), loop, backlog};
}

py::object nested_function(pyco::Def def, const std::string& owner, py::object closure) {
    // One prototype per nested function (made once, kept for the process); each call gets
    // a function like it with the call's own closure.
    static auto* prototypes = new std::unordered_map<std::string, PyObject*>();
    std::string qualname = owner + ".<locals>." + def.name;
    auto found = prototypes->find(qualname);
    if (found == prototypes->end()) {
        def.qualname = qualname;
        def.closure = py::none();
        found = prototypes->emplace(qualname, function(def).release().ptr()).first;
    }
    return pyco::with_closure(found->second, std::move(closure));
}

std::pair<py::object, py::object> output_callbacks(const CallOutput& o, const std::string& owner) {
    auto make = [&](const char* name, const char* kind) {
        return nested_function(pyco::fn<stream_callback>(name, {arg("text").type(Check::Str)}), owner,
                               pyco::make_closure(StreamTarget{o, S(kind)}));
    };
    return {make("stdout_callback", "stdout"), make("stderr_callback", "stderr")};
}

std::pair<py::object, py::object> make_captures(const py::object& out_callback, const py::object& err_callback,
                                                Keep keep) {
    py::object capture = g("StreamCapture");
    py::object out = call_kw(capture, {}, {{"on_write", out_callback}});
    py::object err = call_kw(capture, {}, {{"on_write", err_callback}});
    limit_captures(out, err, keep);
    return {out, err};
}

py::object captured_logs(const py::object& out, const py::object& err) {
    return out.attr(S("getvalue"))() + err.attr(S("getvalue"))();
}

void print_traceback(const py::object& exc) {
    try {
        pyco::HandledScope handling(exc);
        attr_of("traceback", "print_exc")(py::arg("file") = attr_of("sys", "stderr"));
    } catch (py::error_already_set&) {
        // The traceback could not even be printed; the error reply still carries it.
    }
}

py::object format_traceback(const py::object& exc) {
    pyco::HandledScope handling(exc);
    return attr_of("traceback", "format_exc")();
}

py::object import_function(const py::object& module_name, const py::object& function_name,
                           const py::str& missing_module) {
    if (!PyUnicode_Check(module_name.ptr())) {
        PyErr_Format(PyExc_TypeError, "'module_name' must be a string, not %.200s", Py_TYPE(module_name.ptr())->tp_name);
        throw py::error_already_set();
    }
    builtin("__import__")(module_name);
    py::object modules = attr_of("sys", "modules");
    if (!has(modules, module_name)) {
        PyErr_SetObject(PyExc_ImportError, missing_module.ptr());
        throw py::error_already_set();
    }
    py::object module = modules[module_name];
    if (!pyco::truthy(builtin("hasattr")(module, function_name))) {
        PyErr_SetObject(PyExc_AttributeError,
                        pyco::fmt("Function '{}' not found in module '{}'", function_name, module_name).ptr());
        throw py::error_already_set();
    }
    return builtin("getattr")(module, function_name);
}

py::object current_thread_name() { return attr_of("threading", "current_thread")().attr(S("name")); }

py::object to_wire(const py::object& value) { return g("vantrel").attr(S("Serializer")).attr(S("to_wire"))(value); }

py::object call_with(const py::object& func, const py::object& args) {
    py::tuple positional = py::reinterpret_steal<py::tuple>(PySequence_Tuple(args.ptr()));
    if (!positional) throw py::error_already_set();
    PyObject* r = PyObject_Call(func.ptr(), positional.ptr(), nullptr);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object user_repr(const py::object& value, py::object& failure) {
    try {
        return py::repr(value);
    } catch (py::error_already_set& e) {
        failure = pyco::caught(e);
        return py::object();
    }
}

Shown shown_of(const py::object& value, py::handle self, py::handle request_id) {
    Shown shown;
    Interruptible user_code(self, request_id);
    if (py::object text = user_repr(value, shown.failure)) shown.text = std::move(text);
    return shown;
}

py::object body_failure(const py::object& outcome) {
    if (!outcome) return py::reinterpret_borrow<py::object>(pyco::take_exception().value);
    return outcome.is_none() ? py::object() : outcome;
}

py::dict error_object_of(const py::object& exc) {
    return msg::error_object(py::type::of(exc).attr(S("__name__")), safe_str(exc), traceback_text(exc));
}

namespace {

const std::string kCustomCall = "PythonKernel._handle_custom_function_call";
const std::string kCustomWorker = kCustomCall + ".<locals>.execute_function";
const std::string kCallableCall = "PythonKernel._handle_python_function_call";
const std::string kCallableWorker = kCallableCall + ".<locals>.execute_callable";
const std::string kEventCall = "PythonKernel._handle_event_execution";
const std::string kEventWorker = kEventCall + ".<locals>.execute_event";

// --- _deserialize_args --------------------------------------------------------------

py::object deserialize_args(py::object self, py::object args) {
    py::list converted;
    if (PyList_GET_SIZE(args.ptr()) == 0) return converted;
    py::object from_wire = g("vantrel").attr(S("Serializer")).attr(S("from_wire"));
    for (py::handle arg : args) converted.append(from_wire(arg));
    return converted;
}

// --- the worker closure of calls --------------------------------------------------------

// What a call's worker needs: the kernel, what to call (a module and function name, or a
// callable id), the wire arguments, the request id and the two output callbacks.
struct CallWorker {
    py::object self, target, function_name, args, request_id, out_cb, err_cb;
    PYCO_FIELDS(self, target, function_name, args, request_id, out_cb, err_cb)
};

// What a call's worker hands back to its coroutine.
struct CallResult {
    bool ok = false;
    py::object value;  // what the user's code returned (released with the result, on the loop)
    py::object wire;   // its wire form (None for an event handler's value, which is not sent)
    py::object logs;   // the captured output
    py::object error;  // the traceback text of a failed call
    Shown shown;       // the repr of the value, when the wire form is not None
    PYCO_FIELDS(value, wire, logs, error, shown)
};

py::object call_succeeded(py::object value, py::object wire, py::object logs, const CallWorker& c) {
    CallResult r;
    r.ok = true;
    if (!wire.is_none()) r.shown = shown_of(value, c.self, c.request_id);
    r.value = std::move(value);
    r.wire = std::move(wire);
    r.logs = std::move(logs);
    return pyco::make_closure(std::move(r));
}

py::object call_failed(py::object logs, py::object error) {
    CallResult r;
    r.wire = py::none();
    r.logs = std::move(logs);
    r.error = std::move(error);
    return pyco::make_closure(std::move(r));
}

// --- custom function calls and Python callable calls ---------------------------------------
//
// Both run the same way: a worker calls the user's code with its output captured, the
// coroutine sends "Out: repr" when there is a value, then the result replies; what differs
// is how the code is found and the replies' shapes and log lines (CallShape).

py::object execute_function(py::object closure) {
    CallWorker& c = pyco::closure_of<CallWorker>(closure);
    if (log_enabled(DEBUG))
        debug("[Kernel] [Worker Thread {}] Executing custom function: {}.{}", current_thread_name(), c.target,
              c.function_name);
    auto [out, err] = make_captures(c.out_cb, c.err_cb, Keep::Bounded);
    py::object raw, serialized, failure, logs;
    {
        CaptureScope scope(out, err);
        try {
            Interruptible user_code(c.self, c.request_id);
            py::object func = import_function(
                c.target, c.function_name,
                pyco::fmt("Module '{}' not found in sys.modules. Make sure the module has been synced via update_module.",
                          c.target));
            raw = call_with(func, c.self.attr(S("_deserialize_args"))(c.args));
            if (pyco::truthy(attr_of("inspect", "isgenerator")(raw))) {
                py::list items;
                for (py::handle item : raw) items.append(to_wire(py::reinterpret_borrow<py::object>(item)));
                serialized = items;
            } else {
                serialized = to_wire(raw);
            }
            user_code.finish();
        } catch (py::error_already_set& e) {
            failure = pyco::caught(e);
        }
        if (failure) print_traceback(failure);
        logs = captured_logs(out, err);
    }
    if (failure) return call_failed(logs, traceback_text(failure));
    return call_succeeded(raw, serialized, logs, c);
}

py::object execute_callable(py::object closure) {
    CallWorker& c = pyco::closure_of<CallWorker>(closure);
    if (log_enabled(DEBUG)) debug("[Kernel] [Worker Thread {}] Executing callable: {}", current_thread_name(), c.target);
    auto [out, err] = make_captures(c.out_cb, c.err_cb, Keep::Bounded);
    py::object serialized, raw, failure;
    try {
        CaptureScope scope(out, err);
        py::object target = g("vantrel").attr(S("messaging")).attr(S("get_callable"))(c.target);
        if (target.is_none()) {
            PyErr_SetObject(PyExc_ValueError, pyco::fmt("Callable '{}' not found in registry", c.target).ptr());
            throw py::error_already_set();
        }
        if (!PyCallable_Check(target.ptr())) {
            PyErr_SetObject(PyExc_TypeError, pyco::fmt("Object with id '{}' is not callable", c.target).ptr());
            throw py::error_already_set();
        }
        py::object args = c.self.attr(S("_deserialize_args"))(c.args);
        py::object inner;
        try {
            Interruptible user_code(c.self, c.request_id);
            raw = call_with(target, args);
            serialized = to_wire(raw);
            user_code.finish();
        } catch (py::error_already_set& e) {
            inner = pyco::caught(e);
        }
        if (inner) {
            // A failure of the call itself (not of the lookup) is also shown in the output.
            print_traceback(inner);
            failure = inner;
        }
    } catch (py::error_already_set& e) {
        failure = pyco::caught(e);
    }
    py::object logs = captured_logs(out, err);
    if (failure) return call_failed(logs, traceback_text(failure));
    return call_succeeded(raw, serialized, logs, c);
}

// A call as its handler read it from the message (`target`: the module name, or the callable id).
struct Call {
    py::object self, target, function_name, args, request_id, workbook_id, source;
};

using Messages = std::vector<py::dict>;

// Where a cell function call and a callable call differ.
struct CallShape {
    const char* handler;           // the handler method, as "Unexpected error in ..." names it
    const std::string* owner;      // its qualified name (owner of the nested worker)
    const std::string* worker_owner;  // the worker's qualified name (owner of its callbacks)
    pyco::Def (*worker)();         // the worker body
    py::dict (*out_line)(const Call&, py::handle content);
    Messages (*succeeded)(const Call&, py::handle wire, py::handle logs);
    Messages (*failed)(const Call&, py::handle error_text, py::handle logs);
    Messages (*refused)(const Call&, py::handle error);  // the reduced reply: an error object
    void (*log_logs)(py::handle logs);
    void (*log_outcome)(const Call&, bool succeeded);
};

const CallShape kCustomShape{
    "_handle_custom_function_call",
    &kCustomCall,
    &kCustomWorker,
    [] { return pyco::fn<execute_function>("execute_function", {}); },
    [](const Call& c, py::handle content) { return msg::result_output(content, c.request_id, c.workbook_id, c.source); },
    [](const Call& c, py::handle wire, py::handle logs) {
        return Messages{msg::call_result(wire, logs, c.request_id, c.target, c.function_name, c.workbook_id, c.source),
                        msg::function_result_success(c.request_id, wire, logs)};
    },
    [](const Call& c, py::handle error_text, py::handle logs) {
        return Messages{
            msg::call_error(error_text, logs, c.request_id, c.target, c.function_name, c.workbook_id, c.source),
            msg::function_result_error(c.request_id, logs, error_text)};
    },
    [](const Call& c, py::handle error) {
        return Messages{msg::call_failure(error, c.request_id, c.target, c.function_name, c.workbook_id, c.source),
                        msg::function_result_failure(c.request_id, error)};
    },
    [](py::handle logs) { info("[Kernel] Function logs:\n{}", logs); },
    [](const Call& c, bool ok) {
        if (ok) {
            info("[Kernel] Custom function call succeeded: {}.{}", c.target, c.function_name);
        } else {
            error("[Kernel] Custom function call failed: {}.{}", c.target, c.function_name);
        }
    },
};

const CallShape kCallableShape{
    "_handle_python_function_call",
    &kCallableCall,
    &kCallableWorker,
    [] { return pyco::fn<execute_callable>("execute_callable", {}); },
    [](const Call& c, py::handle content) { return msg::callable_result_output(content, c.request_id, c.workbook_id); },
    [](const Call& c, py::handle wire, py::handle logs) {
        return Messages{msg::callable_result(wire, logs, c.request_id, c.workbook_id)};
    },
    [](const Call& c, py::handle error_text, py::handle logs) {
        return Messages{msg::callable_error(error_text, logs, c.request_id, c.workbook_id)};
    },
    [](const Call& c, py::handle error) { return Messages{msg::callable_failure(error, c.request_id, c.workbook_id)}; },
    [](py::handle logs) { info("[Kernel] Callable logs:\n{}", logs); },
    [](const Call& c, bool ok) {
        if (ok) {
            info("[Kernel] Python function call succeeded: callable_id={}", c.target);
        } else {
            error("[Kernel] Python function call failed: callable_id={}", c.target);
        }
    },
};

Task send_all(py::handle self, Messages messages) {
    for (py::dict& message : messages) co_await pyco::await(send(self, std::move(message)));
    co_return py::none();
}

// The reduced error replies of a call, carrying the error object `error`.
Task send_refusal(Call call, const CallShape* shape, py::dict error) {
    Task replies = send_all(call.self, shape->refused(call, error));
    co_await pyco::await(std::move(replies));
    co_return py::none();
}

// Runs the call and sends its replies; returns the exception to report when the repr of
// the result failed, None otherwise.
Task call_body(Call call, const CallShape* shape) {
    CallOutput output = call_output(call.self, call.request_id, call.workbook_id, call.source);
    auto [out_cb, err_cb] = output_callbacks(output, *shape->worker_owner);
    py::object worker = nested_function(shape->worker(), *shape->owner,
                                        pyco::make_closure(CallWorker{call.self, call.target, call.function_name,
                                                                      call.args, call.request_id, out_cb, err_cb}));
    py::object returned = co_await pyco::await(run_in_pool(output, worker));
    const CallResult& result = pyco::closure_of<CallResult>(returned);
    if (pyco::truthy(result.logs)) shape->log_logs(result.logs);
    Messages replies;
    if (result.ok) {
        if (!result.wire.is_none()) {
            if (result.shown.failure) co_return result.shown.failure;
            replies.push_back(shape->out_line(call, S("Out: ") + result.shown.text + S("\n")));
        }
        for (py::dict& m : shape->succeeded(call, result.wire, result.logs)) replies.push_back(std::move(m));
    } else {
        replies = shape->failed(call, result.error, result.logs);
    }
    Task sending = send_all(call.self, std::move(replies));
    co_await pyco::await(std::move(sending));
    shape->log_outcome(call, result.ok);
    co_return py::none();
}

// An unexpected failure of a validated call: logged, and answered by the reduced replies.
Task report_call_failure(Call call, const CallShape* shape, py::object failure) {
    error("[Kernel] Unexpected error in {}: {}", shape->handler, safe_str(failure));
    Task reply = send_refusal(call, shape, error_object_of(failure));
    co_await pyco::await(std::move(reply));
    co_return py::none();
}

// A validated call, run with anything unexpected answered by the reduced replies.
Task run_call(Call call, const CallShape* shape) {
    return guarded_request(call_body(call, shape), [call, shape](py::object failure) {
        return report_call_failure(call, shape, std::move(failure));
    });
}

Task handle_custom_function_call(py::handle self, py::object message) {
    Call call{py::reinterpret_borrow<py::object>(self),
              field(message, "module_name", S("")),
              field(message, "function_name", S("")),
              field(message, "args", py::list()),
              field(message, "request_id"),
              field(message, "workbook_id"),
              field(message, "source", S("addin"))};
    info("[Kernel] Received custom_function_call: {}.{} (source={}, request_id={})", call.target,
         call.function_name, call.source, call.request_id);
    const char* missing = !pyco::truthy(call.target)          ? "Missing module_name"
                          : !pyco::truthy(call.function_name) ? "Missing function_name"
                                                               : nullptr;
    if (missing) {
        Task reply = send_refusal(call, &kCustomShape, msg::error_object(S("ValidationError"), py::str(missing), S("")));
        co_await pyco::await(std::move(reply));
        co_return py::none();
    }
    debug("[Kernel] [Async Task] Dispatching custom_function_call to worker: {}.{}", call.target, call.function_name);
    Task run = run_call(call, &kCustomShape);
    co_await pyco::await(std::move(run));
    co_return py::none();
}

Task handle_python_function_call(py::handle self, py::object message) {
    Call call{py::reinterpret_borrow<py::object>(self), field(message, "callable_id", S("")), py::none(),
              field(message, "args", py::list()), field(message, "request_id"), field(message, "workbook_id"),
              S("addin")};
    info("[Kernel] Received python_function_call: callable_id={} (request_id={})", call.target, call.request_id);
    if (!pyco::truthy(call.target)) {
        Task reply =
            send_refusal(call, &kCallableShape, msg::error_object(S("ValidationError"), S("Missing callable_id"), S("")));
        co_await pyco::await(std::move(reply));
        co_return py::none();
    }
    debug("[Kernel] [Async Task] Dispatching python_function_call to worker: callable_id={}", call.target);
    Task run = run_call(call, &kCallableShape);
    co_await pyco::await(std::move(run));
    co_return py::none();
}

// --- event handlers ---------------------------------------------------------------------
//
// An event call has the worker closure, the result and the guarded body of the calls
// above, but not their CallShape: its handler answers nothing when fields are missing, it
// shows no value, a COM caller gets its response before the reply, the outcome is logged
// before the reply is sent, and an unexpected failure is answered with the traceback text.

py::object execute_event(py::object closure) {
    CallWorker& c = pyco::closure_of<CallWorker>(closure);
    py::object self = c.self, module_name = c.target, function_name = c.function_name;
    if (log_enabled(DEBUG))
        debug("[Kernel] [Worker Thread {}] Executing event handler: {}.{}", current_thread_name(), module_name,
              function_name);
    auto [out, err] = make_captures(c.out_cb, c.err_cb, Keep::Bounded);
    CaptureScope scope(out, err);
    py::object failure;
    try {
        Interruptible user_code(self, c.request_id);
        py::object args = self.attr(S("_deserialize_args"))(c.args);
        py::object handler =
            import_function(module_name, function_name, pyco::fmt("Module '{}' not found in sys.modules", module_name));
        py::object value = call_with(handler, args);
        user_code.finish();
        return call_succeeded(std::move(value), py::none(), captured_logs(out, err), c);
    } catch (py::error_already_set& e) {
        failure = pyco::caught(e);
    }
    print_traceback(failure);
    return call_failed(captured_logs(out, err), traceback_text(failure));
}

struct EventCall {
    py::object self, module_name, function_name, request_id, workbook_id, is_com;
};

// Delivers the COM response of an event; a failed delivery is tried once more as "nok".
void deliver_com_response(const EventCall& call, const CallResult& result) {
    py::object registrar = call.self.attr(S("_com_event_registrar"));
    if (!pyco::truthy(call.is_com) || !pyco::truthy(registrar)) return;
    try {
        py::dict response = result.ok ? msg::com_ok(result.value) : msg::com_nok();
        registrar.attr(S("deliver_com_response"))(call.request_id, response);
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        error("[Kernel] Error delivering COM event response: {}", e.value());
        try {
            registrar.attr(S("deliver_com_response"))(call.request_id, msg::com_nok());
        } catch (py::error_already_set& again) {
            if (!pyco::is_exception(again)) throw;
        }
    }
}

Task event_body(EventCall call, py::object args, py::object loop) {
    CallOutput output{call.self, call.request_id, call.workbook_id, S("addin"), loop, make_backlog(loop)};
    auto [out_cb, err_cb] = output_callbacks(output, kEventWorker);
    py::object worker = nested_function(pyco::fn<execute_event>("execute_event", {}), kEventCall,
                                        pyco::make_closure(CallWorker{call.self, call.module_name, call.function_name,
                                                                      args, call.request_id, out_cb, err_cb}));
    py::object returned = co_await pyco::await(run_in_pool(output, worker));
    const CallResult& result = pyco::closure_of<CallResult>(returned);
    if (pyco::truthy(result.logs)) info("[Kernel] Event handler logs:\n{}", result.logs);
    deliver_com_response(call, result);
    if (result.ok) {
        info("[Kernel] Event handler executed successfully: {}.{}", call.module_name, call.function_name);
        co_await pyco::await(send(call.self, msg::event_result(S("success"), result.logs, py::none(), call.request_id,
                                                               call.module_name, call.function_name,
                                                               call.workbook_id)));
    } else {
        error("[Kernel] Event handler failed: {}.{}", call.module_name, call.function_name);
        co_await pyco::await(send(call.self, msg::event_result(S("error"), result.logs, result.error, call.request_id,
                                                               call.module_name, call.function_name,
                                                               call.workbook_id)));
    }
    co_return py::none();
}

// An unexpected failure of an event call: logged, a COM caller told "nok", and an error result.
Task report_event_failure(EventCall call, py::object failure) {
    error("[Kernel] Unexpected error in _handle_event_execution: {}", safe_str(failure));
    py::object registrar = call.self.attr(S("_com_event_registrar"));
    try {
        if (pyco::truthy(call.is_com) && pyco::truthy(registrar))
            registrar.attr(S("deliver_com_response"))(call.request_id, msg::com_nok());
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
    }
    co_await pyco::await(send(call.self, msg::event_result(S("error"), S(""), traceback_text(failure), call.request_id,
                                                           call.module_name, call.function_name, call.workbook_id)));
    co_return py::none();
}

Task handle_event_execution(py::handle self, py::object message) {
    EventCall call{py::reinterpret_borrow<py::object>(self),
                   field(message, "module_name", S("")),
                   field(message, "function_name", S("")),
                   field(message, "request_id"),
                   field(message, "workbook_id", self.attr(S("workbook_id"))),
                   field(message, "is_com", py::bool_(false))};
    if (!pyco::truthy(call.module_name) || !pyco::truthy(call.function_name)) {
        error("[Kernel] event_execution missing module_name or function_name");
        co_return py::none();
    }
    py::object args = field(message, "args", py::list());
    py::object object_name = field(message, "object_name", S(""));
    py::object event_type = field(message, "event_type", S(""));
    py::object object_type = field(message, "object_type", S(""));
    info("[Kernel] [Async Task] Received event_execution: {}.{} (object={}/{}, event={})", call.module_name,
         call.function_name, object_type, object_name, event_type);
    debug("[Kernel] [Async Task] Dispatching event_execution to worker: {}.{}", call.module_name, call.function_name);
    py::object loop = attr_of("asyncio", "get_running_loop")();
    Task run = guarded_request(event_body(call, args, loop),
                               [call](py::object failure) { return report_event_failure(call, std::move(failure)); });
    co_await pyco::await(std::move(run));
    co_return py::none();
}

}  // namespace

namespace handlers {

py::object custom_function_call(const py::object& self, const py::object& message) {
    info("[Kernel] [Listener Thread] Dispatching custom_function_call to worker");
    return self.attr(S("_handle_custom_function_call"))(message);
}

py::object python_function_call(const py::object& self, const py::object& message) {
    info("[Kernel] [Listener Thread] Dispatching python_function_call to worker");
    return self.attr(S("_handle_python_function_call"))(message);
}

py::object event_execution(const py::object& self, const py::object& message) {
    info("[Kernel] [Listener Thread] Dispatching event_execution to worker");
    return self.attr(S("_handle_event_execution"))(message);
}

}  // namespace handlers

void add_invocation_methods(pyco::ClassBuilder& cls) {
    cls.method(pyco::fn<handle_custom_function_call>("_handle_custom_function_call",
                                                     {"self", arg("message").type(Check::Dict)},
                                                     "Handle a custom function call from a cell or the IDE."));
    cls.method(pyco::fn<deserialize_args>("_deserialize_args", {"self", arg("args").type(Check::List)},
                                          "Convert wire-format arguments to Python values.")
                   .annotated(annotations({{"return", g("List")[g("Any")]}})));
    cls.method(pyco::fn<handle_python_function_call>("_handle_python_function_call",
                                                     {"self", arg("message").type(Check::Dict)},
                                                     "Handle a call of a Python callable registered with the bridge."));
    cls.method(pyco::fn<handle_event_execution>("_handle_event_execution", {"self", arg("message").type(Check::Dict)},
                                                "Run the workbook handler of a spreadsheet event."));
}

}  // namespace kernel
