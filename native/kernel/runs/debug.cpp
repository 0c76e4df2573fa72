// Run-module requests from the IDE: a plain run goes through the custom-function path; a
// debug run calls the function under the debugger companion on a worker thread, so the
// loop stays free to relay the IDE's stepping commands while the code is paused.
//
// Whatever the debugged code raises (any BaseException) is that run's exception: reported
// once as debug_exception with its position in the workbook source, or as execution_error
// when it could not be delivered. A run whose exception was delivered ends with
// debug_terminated as a successful one does, so the IDE knows the session is over.
#include "kernel/runs/invocation.hpp"

namespace kernel {

namespace {

using pyco::arg;
using pyco::Check;
using pyco::Task;

const std::string kOwner = "PythonKernel._handle_debug_run_module";
const std::string kWorker = kOwner + ".<locals>.debug_execute";

// What a debugged generator's driver needs.
struct GeneratorRun {
    py::object self, func, positional, loop, request_id, workbook_id, source, backlog;
    PYCO_FIELDS(self, func, positional, loop, request_id, workbook_id, source, backlog)
};

// Yield lines are sent as run output is: not waited for, but counted in the run's
// backlog, so a generator yielding faster than the loop sends waits here.
py::object iteration_to_debug(py::object closure) {
    GeneratorRun& c = pyco::closure_of<GeneratorRun>(closure);
    py::object self = c.self;
    py::list values;
    Py_ssize_t count = 0;
    py::object generator = call_with(c.func, c.positional);
    for (py::handle item : generator) {
        ++count;
        values.append(item);
        py::object content = pyco::fmt("Yield [{}]: {}\n", count, py::repr(item));
        Py_ssize_t chars = PyUnicode_GET_LENGTH(content.ptr());
        send_counted(c.backlog, send(self, msg::result_output(content, c.request_id, c.workbook_id, c.source)), chars,
                     c.loop);
    }
    return py::make_tuple(values, count);
}

py::object in_memory_module_names() { return g("in_memory_loader").attr(S("source_cache")).attr(S("keys"))(); }

// Reports the run's exception as debug_exception (waiting, bounded, for it to be sent);
// true when it was delivered.
bool send_debug_exception(const py::object& self, const py::object& debugger, const py::object& failure,
                          const py::object& traceback_text, const py::object& module_name,
                          const py::object& workbook_id) {
    py::object location = g("_parse_error_location")(traceback_text, py::set(in_memory_module_names()));
    info("[Kernel] Parsed error location: {}", location);
    py::object loop = pyco::truthy(debugger) ? py::object(debugger.attr(S("loop"))) : py::none();
    if (!pyco::truthy(loop)) {
        warning("[Kernel] Cannot send debug_exception - no debugger or loop");
        return false;
    }
    info("[Kernel] Sending debug_exception message...");
    try {
        py::dict message = msg::debug_exception(
            workbook_id, location.attr(S("get"))(S("module"), module_name), location.attr(S("get"))(S("line"), 1),
            location.attr(S("get"))(S("file"), S("")), py::type::of(failure).attr(S("__name__")), safe_str(failure),
            traceback_text);
        py::object future = attr_of("asyncio", "run_coroutine_threadsafe")(send(self, message), loop);
        future.attr(S("result"))(py::arg("timeout") = g("DEBUG_MESSAGE_SEND_TIMEOUT"));
        info("[Kernel] debug_exception message sent successfully");
        return true;
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        error("[Kernel] Failed to send debug_exception: {}", safe_str(e.value()));
        return false;
    }
}

// What a debug run's worker needs. The run uses its own debugger throughout: a later
// session may replace _debugger.
struct DebugRun {
    py::object self, module_name, function_name, args, debugger, out_cb, err_cb;
    CallOutput output;
    PYCO_FIELDS(self, module_name, function_name, args, debugger, out_cb, err_cb, output)
};

// What a debug run's worker hands back to its coroutine.
struct DebugResult {
    enum class End { Value, Generator, Failed } end = End::Failed;
    py::object value;        // the function's value, or the values a generator yielded
    py::object yield_count;  // a generator's count of yields; -1 when it stopped before ending
    Shown shown;             // the repr of a function's value
    py::object type_name, message, traceback;  // the run's exception, when it failed
    bool exception_sent = false;               // whether debug_exception reported it
    PYCO_FIELDS(value, yield_count, type_name, message, traceback, shown)
};

py::object debug_value(py::object value, py::handle self, py::handle request_id) {
    DebugResult r;
    r.end = DebugResult::End::Value;
    r.shown = shown_of(value, self, request_id);
    r.value = std::move(value);
    return pyco::make_closure(std::move(r));
}

py::object debug_generator(py::object values, py::object yield_count) {
    DebugResult r;
    r.end = DebugResult::End::Generator;
    r.value = std::move(values);
    r.yield_count = std::move(yield_count);
    return pyco::make_closure(std::move(r));
}

py::object debug_execute(py::object closure) {
    DebugRun& c = pyco::closure_of<DebugRun>(closure);
    const CallOutput& o = c.output;
    py::object self = c.self, module_name = c.module_name, function_name = c.function_name, workbook_id = o.workbook_id,
               debugger = c.debugger;
    // The run's text is not returned: the streamed messages carry it.
    auto [out, err] = make_captures(c.out_cb, c.err_cb, Keep::Nothing);
    CaptureScope scope(out, err);
    py::object failure;
    try {
        Interruptible user_code(self, o.request_id);
        user_code.set_debugger(debugger);  // an interrupt while it pauses ends the pause
        py::object func = import_function(module_name, function_name, pyco::fmt("Module '{}' not found", module_name));
        py::object call_args = self.attr(S("_deserialize_args"))(c.args);
        py::object runcall = debugger.attr(S("runcall"));
        py::tuple positional = py::reinterpret_steal<py::tuple>(PySequence_Tuple(call_args.ptr()));
        if (!positional) throw py::error_already_set();
        py::object value = call_with(runcall, py::make_tuple(func) + positional);
        if (!pyco::truthy(attr_of("inspect", "isgenerator")(value))) {
            user_code.finish();
            return debug_value(value, self, o.request_id);
        }
        // The generator from the first call is dropped unstarted; the debugger drives a fresh one.
        value = py::object();
        py::object drive = nested_function(pyco::fn<iteration_to_debug>("iteration_to_debug", {}), kWorker,
                                           pyco::make_closure(GeneratorRun{self, func, positional, o.loop, o.request_id,
                                                                           workbook_id, o.source, o.backlog}));
        py::object driven = debugger.attr(S("runcall"))(drive);
        user_code.finish();
        if (pyco::truthy(driven)) return debug_generator(driven[py::int_(0)], driven[py::int_(1)]);
        return debug_generator(py::list(), py::int_(-1));
    } catch (py::error_already_set& e) {
        failure = pyco::caught(e);
    }
    error("[Kernel] Debug execution error: {}", safe_str(failure));
    py::object text = traceback_text(failure);
    error("[Kernel] Traceback: {}", text);
    DebugResult r;
    r.exception_sent = send_debug_exception(self, debugger, failure, text, module_name, workbook_id);
    r.type_name = py::type::of(failure).attr(S("__name__"));
    r.message = safe_str(failure);
    r.traceback = text;
    return pyco::make_closure(std::move(r));
}

// What a successful run shows before debug_terminated (the repr of its value was made on
// the worker).
py::object outcome_line(const DebugResult& result) {
    if (result.end == DebugResult::End::Generator) {
        if (result.yield_count >= py::int_(0))
            return pyco::fmt("Out: Generator completed with {} yields\n", result.yield_count);
        return S("Out: Generator stoped before ending\n");
    }
    return S("Out: ") + result.shown.text + S("\n");
}

// _debugger = None, unless another session has taken its place meanwhile.
void forget_debugger(py::handle self, const py::list& mine) {
    if (PyList_GET_SIZE(mine.ptr()) == 0) return;
    if (py::object(self.attr(S("_debugger"))).is(py::object(mine[0]))) self.attr(S("_debugger")) = py::none();
}

// One debug session at a time: a session still active (paused, say) when another starts
// is stopped first, as debug_stop would stop it, so that it ends (its run's own
// debug_terminated follows) instead of being stranded on its thread.
Task stop_earlier_session(py::handle self) {
    if (!pyco::truthy(self.attr(S("has_active_debugger")))) co_return py::none();
    py::object earlier = self.attr(S("_debugger"));
    warning("[Kernel] A debug run started while another was active; stopping the earlier one");
    earlier.attr(S("stop_debugging"))();
    co_await pyco::await(send(self, msg::debug_terminated(self.attr(S("workbook_id")))));
    if (py::object(self.attr(S("_debugger"))).is(earlier)) self.attr(S("_debugger")) = py::none();
    co_return py::none();
}

// `mine` receives the session's debugger once it is made.
Task debug_session(py::handle self, py::list mine, py::object module_name, py::object function_name, py::object args,
                   py::object breakpoints, py::object request_id, py::object workbook_id, py::object source) {
    Task stop_earlier = stop_earlier_session(self);
    co_await pyco::await(std::move(stop_earlier));
    py::object debugger = g("VantrelDebugger")(self.attr(S("send_message")), workbook_id);
    mine.append(debugger);
    self.attr(S("_debugger")) = debugger;
    debugger.attr(S("loop")) = attr_of("asyncio", "get_running_loop")();
    debugger.attr(S("step_mode")) = py::none();
    debugger.attr(S("set_breakpoints"))(breakpoints);
    debugger.attr(S("set_in_memory_modules"))(py::list(in_memory_module_names()));
    CallOutput output = call_output(self, request_id, workbook_id, source);
    auto [out_cb, err_cb] = output_callbacks(output, kWorker);
    py::object worker = nested_function(pyco::fn<debug_execute>("debug_execute", {}), kOwner,
                                        pyco::make_closure(DebugRun{py::reinterpret_borrow<py::object>(self), module_name,
                                                                    function_name, args, debugger, out_cb, err_cb,
                                                                    output}));
    py::object returned = co_await pyco::await(run_in_pool(output, worker));
    const DebugResult& result = pyco::closure_of<DebugResult>(returned);
    if (result.end != DebugResult::End::Failed) {
        if (result.shown.failure) co_return result.shown.failure;  // the repr of the result raised
        py::object line = outcome_line(result);
        co_await pyco::await(send(self, msg::result_output(line, request_id, workbook_id, source)));
        info("[Kernel] Debug execution completed successfully, sending debug_terminated");
        co_await pyco::await(send(self, msg::debug_run_terminated(request_id, workbook_id)));
    } else if (result.exception_sent) {
        info("[Kernel] Debug exception already sent, sending debug_terminated");
        co_await pyco::await(send(self, msg::debug_run_terminated(request_id, workbook_id)));
    } else {
        // The error object on the wire is the worker's report of the run's exception.
        py::dict report = msg::debug_worker_error(result.type_name, result.message, result.traceback, false);
        error("[Kernel] Debug execution failed: {}", report);
        co_await pyco::await(send(self, msg::debug_run_error(report, request_id, workbook_id, source)));
    }
    forget_debugger(self, mine);
    debug("[Kernel] Debugger instance cleaned up");
    co_return py::none();
}

// An unexpected failure of a debug run (or the repr of its result): logged, answered by
// an error message, and the run's debugger forgotten.
Task report_debug_failure(py::handle self, py::list mine, py::object request_id, py::object workbook_id,
                          py::object source, py::object failure) {
    error("[Kernel] Error in debug execution: {}", safe_str(failure));
    error("[Kernel] Traceback: {}", format_traceback(failure));
    py::object reply = send(self, msg::debug_run_error(error_object_of(failure), request_id, workbook_id, source));
    co_await pyco::await(reply);
    forget_debugger(self, mine);
    co_return py::none();
}

Task handle_debug_run_module(py::handle self, py::object module_name, py::object function_name, py::object args,
                             py::object breakpoints, py::object request_id, py::object workbook_id,
                             py::object source) {
    py::list mine;
    Task session =
        debug_session(self, mine, module_name, function_name, args, breakpoints, request_id, workbook_id, source);
    Task run = guarded_request(std::move(session), [self, mine, request_id, workbook_id, source](py::object failure) {
        return report_debug_failure(self, mine, request_id, workbook_id, source, std::move(failure));
    });
    co_await pyco::await(std::move(run));
    co_return py::none();
}

Task handle_run_module(py::handle self, py::object message) {
    py::object workbook_id = field(message, "workbook_id", S(""));
    py::object module_name = field(message, "module_name", S(""));
    py::object function_name = field(message, "function_name", S(""));
    py::object args = field(message, "args", py::list());
    py::object debug_flag = field(message, "debug", py::bool_(false));
    py::object breakpoints = field(message, "breakpoints", py::list());
    py::object request_id = field(message, "request_id");
    py::object source = field(message, "source", S("ide"));
    info("[Kernel] Received run_module: {}.{} (workbook_id={}, debug={}, source={}, request_id={})", module_name,
         function_name, workbook_id, debug_flag, source, request_id);
    if (!pyco::truthy(debug_flag)) {
        py::dict call = msg::run_module_call(module_name, function_name, args, request_id, workbook_id, source);
        co_await pyco::await(pyco::call_method(self, "_handle_custom_function_call", call));
        co_return py::none();
    }
    Started run = call_typed(
        self, "_handle_debug_run_module",
        [&](const py::object& failure) {
            error("[Kernel] Error in debug execution: {}", safe_str(failure));
            return send(self, msg::debug_run_error(error_object_of(failure), request_id, workbook_id, source));
        },
        module_name, function_name, args, breakpoints, request_id, workbook_id, source);
    co_await pyco::await(std::move(run.awaitable));
    co_return py::none();
}

}  // namespace

void add_debug_methods(pyco::ClassBuilder& cls) {
    cls.method(pyco::fn<handle_run_module>("_handle_run_module", {"self", arg("message").type(Check::Dict)},
                                           "Run a module function for the IDE, under the debugger when asked."));
    cls.method(pyco::fn<handle_debug_run_module>(
        "_handle_debug_run_module",
        {"self", arg("module_name").type(Check::Str), arg("function_name").type(Check::Str),
         arg("args").type(Check::List), arg("breakpoints").type(Check::List),
         arg("request_id").type(Check::Str, true), arg("workbook_id").type(Check::Str),
         arg("source").type(Check::Str).def(S("ide"))},
        "Run a module function under the debugger on a worker thread.")
                   .annotated(annotations({{"args", g("List")}, {"breakpoints", g("List")},
                                           {"request_id", optional_of(builtin("str"))}})));
}

}  // namespace kernel
