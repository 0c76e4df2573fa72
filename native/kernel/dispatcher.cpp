// handle_message: routes each inbound message by its `type` through one table — long work
// to tasks, language services and environment messages awaited inline, small control
// messages handled here.
#include "kernel/routes.hpp"

namespace kernel {

namespace {

using pyco::arg;
using pyco::Check;
using pyco::Task;

// Starts the task of a Task row, logging `text` at info first.
py::object started(const py::object& self, const char* method, const char* text, const py::object& message) {
    info(text);
    return self.attr(method)(message);
}

bool debugger_active(py::handle self) { return pyco::truthy(self.attr(S("has_active_debugger"))); }
py::object debugger(py::handle self) { return self.attr(S("_debugger")); }

// --- control messages --------------------------------------------------------

py::object com_event_config_update(const py::object& self, const py::object& message) {
    py::object config = field(message, "com_config", py::dict());
    py::object registrar = self.attr(S("_com_event_registrar"));
    if (pyco::truthy(registrar)) {
        registrar.attr(S("apply_config"))(config);
    } else {
        debug("[Kernel] com_event_config_update received but registrar not active");
    }
    return py::none();
}

// Cancel marks wait in _canceled_streaming_requests until their stream sees them; marks of
// ids that never run stay. So that a peer cannot grow the set without end, at most this
// many ids and characters of id text are kept: beyond either, the oldest marks go.
constexpr Py_ssize_t kCancelMarksKept = 1024;
constexpr Py_ssize_t kCancelMarkCharsKept = 16 * 1024 * 1024;

Py_ssize_t id_chars(py::handle id) { return PyUnicode_Check(id.ptr()) ? PyUnicode_GET_LENGTH(id.ptr()) : 0; }

// `marks` (the set) within its bounds, oldest first out; `order` (a dict used as an ordered
// set, kept on the kernel next to the set) records the order in which marks were added.
void bound_cancel_marks(const py::object& marks, const py::dict& order) {
    Py_ssize_t chars = 0;
    py::list stale;
    for (auto item : order) {
        if (has(marks, item.first)) {
            chars += id_chars(item.first);
        } else {
            stale.append(item.first);  // honoured by its stream meanwhile
        }
    }
    for (py::handle id : stale) {
        if (PyDict_DelItem(order.ptr(), id.ptr()) < 0) throw py::error_already_set();
    }
    Py_ssize_t dropped = 0;
    while (PyDict_GET_SIZE(order.ptr()) > 0 &&
           (PyObject_Length(marks.ptr()) > kCancelMarksKept || chars > kCancelMarkCharsKept)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        PyDict_Next(order.ptr(), &pos, &key, &value);
        py::object id = py::reinterpret_borrow<py::object>(key);
        if (PyDict_DelItem(order.ptr(), id.ptr()) < 0) throw py::error_already_set();
        marks.attr(S("discard"))(id);
        chars -= id_chars(id);
        ++dropped;
    }
    if (dropped)
        warning("[Kernel] Dropped {} cancel marks of streams that were not running (at most {} ids and {} characters "
                "are kept)",
                dropped, kCancelMarksKept, kCancelMarkCharsKept);
}

py::object cancel_streaming_function(const py::object& self, const py::object& message) {
    py::object request_id = field(message, "request_id");
    info("[Kernel] Received cancel_streaming_function for request_id: {}", request_id);
    if (!request_id.is_none() && !PyUnicode_Check(request_id.ptr())) {
        // No stream can have such an id (a stream's id is a string): answered as every
        // other malformed message is, and nothing is marked.
        py::str text("Invalid cancel_streaming_function message: 'request_id' must be a string");
        warning("[Kernel] {}", text);
        return send(self, msg::error(text));
    }
    py::object marks = self.attr(S("_canceled_streaming_requests"));
    marks.attr(S("add"))(request_id);
    py::object order = py::getattr(self, S("_canceled_streaming_order"), py::none());
    if (!PyDict_CheckExact(order.ptr())) {
        order = py::dict();
        self.attr(S("_canceled_streaming_order")) = order;
    }
    if (PyDict_Contains(order.ptr(), request_id.ptr()) == 1 && PyDict_DelItem(order.ptr(), request_id.ptr()) < 0)
        throw py::error_already_set();
    order[request_id] = py::none();  // re-added: now the most recent
    bound_cancel_marks(marks, py::reinterpret_borrow<py::dict>(order));
    return py::none();
}

py::object debug_continue(const py::object& self, const py::object&) {
    if (!debugger_active(self)) return py::none();
    debugger(self).attr(S("continue_execution"))();
    return send(self, msg::debug_resumed());
}

py::object debug_step_over(const py::object& self, const py::object&) {
    if (debugger_active(self)) debugger(self).attr(S("step_over"))();
    return py::none();
}

py::object debug_step_into(const py::object& self, const py::object&) {
    if (debugger_active(self)) debugger(self).attr(S("step_into"))();
    return py::none();
}

py::object debug_step_out(const py::object& self, const py::object&) {
    if (debugger_active(self)) debugger(self).attr(S("step_out"))();
    return py::none();
}

// The session ends with the reply: the debugger is forgotten once it is sent (unless a
// new session has taken its place meanwhile).
Task stop_and_forget(py::handle self) {
    py::object stopped = debugger(self);
    stopped.attr(S("stop_debugging"))();
    co_await pyco::await(send(self, msg::debug_terminated(self.attr(S("workbook_id")))));
    if (debugger(self).is(stopped)) self.attr(S("_debugger")) = py::none();
    co_return py::none();
}

py::object debug_stop(const py::object& self, const py::object&) {
    if (!debugger_active(self)) return py::none();
    return pyco::make_coroutine(stop_and_forget(self));
}

// The paused worker evaluates; the handler waits for it on a thread of the loop's default
// executor, so the loop goes on reading (the expression may make a synchronous request,
// or print more than the output backlog holds, and both need the loop).
Task evaluate_and_reply(py::handle self, py::object session, py::object expression, py::object request_id) {
    py::object loop = attr_of("asyncio", "get_running_loop")();
    py::object result = co_await pyco::await(
        loop.attr(S("run_in_executor"))(py::none(), session.attr(S("evaluate_expression")), expression));
    co_await pyco::await(send(self, msg::debug_evaluate_result(self.attr(S("workbook_id")), request_id, expression, result)));
    co_return py::none();
}

py::object debug_evaluate(const py::object& self, const py::object& message) {
    py::object expression = field(message, "expression", S(""));
    py::object request_id = field(message, "request_id");
    if (debugger_active(self)) return pyco::make_coroutine(evaluate_and_reply(self, debugger(self), expression, request_id));
    return send(self, msg::debug_evaluate_result(self.attr(S("workbook_id")), request_id, expression, py::handle()));
}

// --- debug commands in arrival order -------------------------------------------
//
// An evaluation is answered by a task of its own (above); debug commands arriving while
// one is pending wait for it, each as the next task of a chain (the kernel's
// `_debug_chain` is its last), so that the replies of a session keep the order of the
// requests. With nothing pending, a command is handled at once, inline.

Task run_after(py::handle self, py::object previous, py::object message, Handler handler) {
    if (!previous.is_none()) {
        py::object done = co_await pyco::await_nothrow(previous);
        if (!done) PyErr_Clear();  // the earlier command's failure is its own (its task reported it)
    }
    py::object step = handler(py::reinterpret_borrow<py::object>(self), message);
    if (!step.is_none()) co_await pyco::await(step);
    co_return py::none();
}

template <Handler handler, bool off_loop>
py::object in_order(const py::object& self, const py::object& message) {
    py::object tail = py::getattr(self, S("_debug_chain"), py::none());
    bool busy = !tail.is_none() && !pyco::truthy(tail.attr(S("done"))());
    if (!busy && !off_loop) return handler(self, message);
    py::object task = attr_of("asyncio", "create_task")(
        pyco::make_coroutine(run_after(self, busy ? tail : py::none(), message, handler)));
    self.attr(S("_debug_chain")) = task;
    return py::none();
}

py::object debug_update_breakpoints(const py::object& self, const py::object& message) {
    py::object breakpoints = field(message, "breakpoints", py::list());
    if (!debugger_active(self)) {
        warning("[Kernel] Received debug_update_breakpoints but no active debugger");
    } else if (PyList_Check(breakpoints.ptr())) {
        debugger(self).attr(S("set_breakpoints"))(breakpoints);
        info("[Kernel] Updated breakpoints during debug session: {} breakpoints", PyList_GET_SIZE(breakpoints.ptr()));
    } else {
        warning("[Kernel] Invalid breakpoints data type: {}", py::type::of(breakpoints));
    }
    return py::none();
}

py::object set_hover_mode(const py::object& self, const py::object& message) {
    py::object mode = field(message, "mode", S("compact"));
    debug("[Kernel] Received set_hover_mode: {}", mode);
    py::object bridge = self.attr(S("_lsp_bridge"));
    if (pyco::truthy(bridge)) {
        bridge.attr(S("set_hover_mode"))(mode);
        return send(self, msg::hover_mode_updated(mode, self.attr(S("workbook_id"))));
    }
    warning("[Kernel] LSP Bridge not available for hover mode change");
    return py::none();
}

// --- the catalogue ---------------------------------------------------------------

py::object completion_request(const py::object& self, const py::object& m) {
    return self.attr(S("_handle_completion_request"))(m);
}
py::object signature_help_request(const py::object& self, const py::object& m) {
    return self.attr(S("_handle_signature_help_request"))(m);
}
py::object hover_request(const py::object& self, const py::object& m) { return self.attr(S("_handle_hover_request"))(m); }
py::object diagnostic_request(const py::object& self, const py::object& m) {
    return self.attr(S("_handle_diagnostic_request"))(m);
}
py::object shutdown(const py::object& self, const py::object&) { return self.attr(S("disconnect"))(); }
py::object run_module(const py::object& self, const py::object& m) {
    return started(self, "_handle_run_module", "[Kernel] [Listener Thread] Dispatching run_module to worker", m);
}

// Every type handled, one row each (found by its type through route_index).
const Route kRoutes[] = {
    {"execution_request", Runs::Task, handlers::execution_request},
    {"add_path", Runs::Inline, handlers::add_path},
    {"remove_path", Runs::Inline, handlers::remove_path},
    {"reset_namespace", Runs::Inline, handlers::reset_namespace},
    {"reset_path", Runs::Inline, handlers::reset_path},
    {"set_package_paths", Runs::Inline, handlers::set_package_paths},
    {"set_python_paths", Runs::Inline, handlers::set_python_paths},
    {"unload_and_clear_paths", Runs::Inline, handlers::unload_and_clear_paths},
    {"update_module", Runs::Inline, handlers::update_module},
    {"delete_module", Runs::Inline, handlers::delete_module},
    {"completion_request", Runs::Inline, completion_request},
    {"signature_help_request", Runs::Inline, signature_help_request},
    {"hover_request", Runs::Inline, hover_request},
    {"diagnostic_request", Runs::Inline, diagnostic_request},
    {"shutdown", Runs::Inline, shutdown},
    {"custom_function_call", Runs::Task, handlers::custom_function_call},
    {"run_module", Runs::Task, run_module},
    {"event_execution", Runs::Task, handlers::event_execution},
    {"com_event_config_update", Runs::Inline, com_event_config_update},
    {"python_function_call", Runs::Task, handlers::python_function_call},
    {"execute_streaming_function", Runs::Task, handlers::execute_streaming_function},
    {"cancel_streaming_function", Runs::Inline, cancel_streaming_function},
    {"debug_continue", Runs::Inline, in_order<debug_continue, false>},
    {"debug_step_over", Runs::Inline, in_order<debug_step_over, false>},
    {"debug_step_into", Runs::Inline, in_order<debug_step_into, false>},
    {"debug_step_out", Runs::Inline, in_order<debug_step_out, false>},
    {"debug_stop", Runs::Inline, in_order<debug_stop, false>},
    {"debug_evaluate", Runs::Inline, in_order<debug_evaluate, true>},
    {"debug_update_breakpoints", Runs::Inline, in_order<debug_update_breakpoints, false>},
    {"sys_response", Runs::Inline, handlers::sys_response},
    {"get_object_registry", Runs::Task, handlers::get_object_registry},
    {"set_hover_mode", Runs::Inline, set_hover_mode},
    {"interrupt_request", Runs::Inline, handlers::interrupt_request},
    {"input_reply", Runs::Inline, handlers::input_reply},
};

// type text -> index into kRoutes (built once; lives as long as the process).
PyObject* route_index = nullptr;

const Route* route_of(const py::object& msg_type) {
    if (!route_index) {
        py::dict d;
        for (size_t i = 0; i < std::size(kRoutes); ++i) d[py::str(kRoutes[i].type)] = py::int_(i);
        route_index = d.release().ptr();
    }
    if (!PyUnicode_CheckExact(msg_type.ptr())) return nullptr;
    PyObject* index = PyDict_GetItemWithError(route_index, msg_type.ptr());
    if (!index) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return nullptr;
    }
    return &kRoutes[PyLong_AsSize_t(index)];
}

// Tasks started for requests. The dispatcher does not wait for them; the set only keeps
// them alive until they finish (the event loop itself holds tasks weakly).
PyObject* running_tasks = nullptr;

// The request's coroutine as its task runs it: the task leaves the set when the coroutine
// ends (a done callback would cost the loop one more turn per request).
Task kept_until_done(py::object coroutine) {
    py::object result = co_await pyco::await_nothrow(coroutine);
    pyco::SavedError failure;
    if (!result) failure.fetch();
    py::object task = attr_of("asyncio", "current_task")();
    if (PySet_Discard(running_tasks, task.ptr()) < 0) PyErr_Clear();
    if (failure.is_set()) {
        failure.restore();
        pyco::throw_error();
    }
    co_return result;
}

void start_task(const py::object& coroutine) {
    if (!running_tasks) {
        running_tasks = PySet_New(nullptr);
        if (!running_tasks) throw py::error_already_set();
    }
    // Named as the request's coroutine, which task reprs and stack dumps show.
    py::object name = py::getattr(coroutine, S("__name__"), py::none());
    py::object qualname = py::getattr(coroutine, S("__qualname__"), py::none());
    py::object kept = pyco::make_coroutine(kept_until_done(coroutine), PyUnicode_Check(name.ptr()) ? name.ptr() : nullptr,
                                           PyUnicode_Check(qualname.ptr()) ? qualname.ptr() : nullptr);
    py::object task = attr_of("asyncio", "create_task")(kept);
    if (PySet_Add(running_tasks, task.ptr()) < 0) throw py::error_already_set();
}

Task handle_message(py::handle self, py::object message) {
    py::object msg_type = field(message, "type");
    py::object request_id = field(message, "request_id", S("N/A"));
    if (msg_type.equal(S("chunk"))) {
        py::object whole = co_await pyco::await(pyco::call_method(self, "_handle_chunk_message", message));
        if (pyco::truthy(whole)) co_await pyco::await(pyco::call_method(self, "handle_message", whole));
        co_return py::none();
    }
    bool traced = log_enabled(DEBUG);
    debug_if(traced, "[TIMING] Message received: type={}, request_id={}", msg_type, request_id);
    debug_if(traced, "[Kernel] [Listener Thread] Received message type: {}", msg_type);
    const Route* route = route_of(msg_type);
    if (!route) co_return py::none();
    py::object step;
    bool task = route->runs == Runs::Task;
    if (task) note_stdin_request(self, message);
    try {
        step = route->handler(py::reinterpret_borrow<py::object>(self), message);
    } catch (Rejected& r) {
        step = std::move(r.reply);  // answered instead of run
        task = false;
    }
    if (task) {
        start_task(step);
    } else if (!step.is_none()) {
        co_await pyco::await(step);
    }
    co_return py::none();
}

}  // namespace

// message.get(key, fallback); for a message that is exactly a dict (every inbound one),
// the dict's own lookup, which is what its get method does.
py::object field(const py::object& message, const char* key, py::object fallback) {
    if (PyDict_CheckExact(message.ptr())) {
        PyObject* value = PyDict_GetItemWithError(message.ptr(), pyco::intern(key));
        if (value) return py::reinterpret_borrow<py::object>(value);
        if (PyErr_Occurred()) throw py::error_already_set();
        return fallback;
    }
    return message.attr(S("get"))(S(key), fallback);
}
py::object field(const py::object& message, const char* key) { return field(message, key, py::none()); }


void add_dispatch_methods(pyco::ClassBuilder& cls) {
    cls.method(pyco::fn<handle_message>("handle_message", {"self", arg("message").type(Check::Dict)},
                                        "Route one inbound message by its type."));
}

}  // namespace kernel
