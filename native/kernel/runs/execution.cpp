// _execute_code_async: an execution request runs on a worker thread against the console
// namespace; output streams as it is written; the run ends with result_output and
// execution_result, or with execution_error.
#include "kernel/runs/invocation.hpp"

namespace kernel {

namespace {

using pyco::arg;
using pyco::Check;
using pyco::Task;


// A run ended by something user code raised that is not an Exception (SystemExit,
// KeyboardInterrupt, GeneratorExit, a BaseException of its own): reported like any failed
// run, so the request is answered and the kernel goes on serving.
py::dict interrupted_result(const py::error_already_set& e) {
    py::object exc = pyco::caught(e);
    py::dict result = msg::run_result();
    result["success"] = py::bool_(false);
    result["error"] = error_object_of(exc);
    return result;
}

// What the console run's worker hands back: the executor's result dictionary (what
// CodeExecutor.execute returns) and the repr of its value.
struct ConsoleResult {
    py::object result;
    Shown shown;
    PYCO_FIELDS(result, shown)
};

// What the console run's worker needs.
struct ConsoleRun {
    py::object self, code, request_id, out_cb, err_cb;
    PYCO_FIELDS(self, code, request_id, out_cb, err_cb)
};

py::object execute_with_callbacks(py::object closure) {
    ConsoleRun& c = pyco::closure_of<ConsoleRun>(closure);
    py::object self = c.self;
    py::object request_id = c.request_id;
    bool traced = log_enabled(DEBUG);
    if (traced) debug("[Kernel] [Worker Thread {}] Executing code (request_id={})", current_thread_name(), request_id);
    py::object result;
    try {
        Interruptible user_code(self, request_id);
        OutputNotKept not_kept;  // the console's replies carry none of the text it printed
        result = call_kw(self.attr(S("executor")).attr(S("execute")), {c.code},
                         {{"stdout_callback", c.out_cb}, {"stderr_callback", c.err_cb}});
        user_code.finish();
    } catch (py::error_already_set& e) {
        // This thread runs only the user's code: whatever escapes it is the run's outcome.
        result = interrupted_result(e);
    }
    if (traced) debug("[Kernel] [Worker Thread {}] Execution completed (request_id={})", current_thread_name(), request_id);
    py::object value = result.attr(S("get"))(S("result"));
    bool shows = pyco::truthy(result.attr(S("get"))(S("success"))) && !value.is_none();
    ConsoleResult run{std::move(result), shows ? shown_of(value, self, request_id) : Shown{}};
    return pyco::make_closure(std::move(run));
}

const std::string kOwner = "PythonKernel._execute_code_async";

// An unexpected failure of the request's handling, reported with the reduced error reply.
Task report_failure(py::handle self, py::object e, py::object request_id, py::object source, double start_time) {
    double elapsed_ms = (now() - start_time) * 1000.0;
    error("[TIMING] Execution failed: request_id={}, elapsed={:.1f}ms, error={}", request_id, elapsed_ms, safe_str(e));
    error("[Kernel] Unexpected error in _execute_code_async: {}", safe_str(e));
    py::dict error_obj = error_object_of(e);
    py::object sent = co_await pyco::await_nothrow(send(self, msg::execution_failure(error_obj, request_id, source)));
    if (!sent) {
        pyco::SavedError send_err = pyco::take_exception();
        error("[Kernel] Failed to send error message: {}", py::handle(send_err.value));
    }
    co_return py::none();
}

Task run_and_reply(py::handle self, py::object code, py::object request_id, py::object function_name, py::object source,
                   double start_time) {
    bool traced = log_enabled(DEBUG);
    debug_if(traced, "[Kernel] [Async Task] Submitting execution to worker thread pool (request_id={})", request_id);
    // The stream messages carry the kernel's workbook id (read when each is built).
    CallOutput output = call_output(self, request_id, py::object(), source);
    auto [out_cb, err_cb] = output_callbacks(output, kOwner);
    py::object worker = nested_function(pyco::fn<execute_with_callbacks>("execute_with_callbacks", {}), kOwner,
                                        pyco::make_closure(ConsoleRun{py::reinterpret_borrow<py::object>(self), code,
                                                                      request_id, out_cb, err_cb}));
    py::object returned = co_await pyco::await(run_in_pool(output, worker));
    const ConsoleResult& run = pyco::closure_of<ConsoleResult>(returned);
    const py::object& result = run.result;
    if (traced) debug("[TIMING] Execution completed: request_id={}, elapsed={:.1f}ms", request_id, (now() - start_time) * 1000.0);
    py::object success = result[S("success")];
    debug_if(traced, "[Kernel] [Async Task] Execution finished, success={} (request_id={})", success, request_id);
    py::object wb = self.attr(S("workbook_id"));
    if (!pyco::truthy(success)) {
        py::object error_obj = result[S("error")];
        info("[Kernel] Sending execution_error for request_id={}: {}", request_id, error_obj);
        co_await pyco::await(
            send(self, msg::execution_error(error_obj, request_id, function_name, wb, source)));
        co_return py::none();
    }
    info("[Kernel] Sending execution_result (success) for request_id={}", request_id);
    py::object value = result[S("result")];
    py::object shown = py::none();
    if (!value.is_none()) {
        // Whatever the user's __repr__ raised is this request's failure (reported here, so
        // that a failure of the report itself is the request's failure as well).
        shown = run.shown.text;
        if (run.shown.failure) {
            Task report = report_failure(self, run.shown.failure, request_id, source, start_time);
            co_await pyco::await(std::move(report));
            co_return py::none();
        }
        py::object content = S("Out: ") + shown + S("\n");
        co_await pyco::await(send(self, msg::result_output(content, request_id, wb, source)));
    }
    bool named = PyUnicode_Check(function_name.ptr()) && PyUnicode_GET_LENGTH(function_name.ptr()) > 0;
    py::object reported = named ? value : shown;
    co_await pyco::await(send(self, msg::execution_result(reported, request_id, function_name, wb, source)));
    co_return py::none();
}

Task execute_code_async(py::handle self, py::object code, py::object request_id, py::object function_name,
                        py::object source) {
    double start_time = now();
    debug("[TIMING] Execution started: request_id={}, function={}", request_id, function_name);
    Task run = guarded_request(run_and_reply(self, code, request_id, function_name, source, start_time),
                               [self, request_id, source, start_time](py::object failure) {
                                   return report_failure(self, std::move(failure), request_id, source, start_time);
                               });
    co_await pyco::await(std::move(run));
    co_return py::none();
}

}  // namespace

namespace handlers {

py::object execution_request(const py::object& self, const py::object& message) {
    py::object code = field(message, "code", S(""));
    py::object request_id = field(message, "request_id");
    py::object function_name = field(message, "function_name");
    py::object source = field(message, "source", S("ide"));
    info("[Kernel] [Listener Thread] Received execution_request (source={}, request_id={})", source, request_id);
    Started run = call_typed(
        self, "_execute_code_async",
        [&](const py::object& failure) {
            return send(self, msg::execution_failure(error_object_of(failure), request_id, source));
        },
        code, request_id, function_name, source);
    if (run.refused) throw Rejected{run.awaitable};
    debug("[Kernel] Code length: {} chars", PyObject_Length(code.ptr()));
    return run.awaitable;
}

}  // namespace handlers

void add_execution_methods(pyco::ClassBuilder& cls) {
    cls.method(pyco::fn<execute_code_async>(
        "_execute_code_async",
        {"self", arg("code").type(Check::Str), arg("request_id").type(Check::Str, true),
         arg("function_name").type(Check::Str, true).def_none(), arg("source").type(Check::Str).def(S("ide"))},
        "Run console code on a worker thread and report its outcome.")
                   .annotated(annotations({{"request_id", optional_of(builtin("str"))},
                                           {"function_name", optional_of(builtin("str"))}})));
}

}  // namespace kernel
