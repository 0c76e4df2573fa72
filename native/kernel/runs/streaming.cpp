// Streaming generator functions: a workbook generator runs on a worker thread and each
// value it yields is sent as its own message, one value ahead of the sender at most;
// a cancel mark is honoured between values.
#include "kernel/runs/invocation.hpp"

namespace kernel {

namespace {

using pyco::arg;
using pyco::Check;
using pyco::Task;

const std::string kOwner = "PythonKernel._execute_streaming_function";
const std::string kWorker = kOwner + ".<locals>.run_streaming_in_thread";

// How long a module the Business Layer was asked to sync is waited for, and how often the
// cache is looked at meanwhile.
constexpr double kSyncWait = 5.0;
constexpr double kSyncPoll = 0.1;
// Each value's message must be sent within this many seconds; after every 10th value the
// worker pauses a moment.
constexpr double kValueSendTimeout = 1.0;
constexpr double kPauseEvery10 = 0.001;

bool in_source_cache(const py::object& module_name) {
    return has(g("in_memory_loader").attr(S("source_cache")), module_name);
}

// Sends `message` from the worker and waits until the loop has sent it (bounded).
void send_and_wait(const py::object& self, const py::object& loop, py::dict message) {
    py::object future = attr_of("asyncio", "run_coroutine_threadsafe")(send(self, message), loop);
    call_kw(future.attr(S("result")), {}, {{"timeout", py::float_(kValueSendTimeout)}});
}

py::list public_names(const py::object& names, Py_ssize_t limit) {
    py::list picked;
    for (py::handle name : names) {
        if (limit >= 0 && PyList_GET_SIZE(picked.ptr()) >= limit) break;
        if (PyUnicode_Check(name.ptr()) && !pyco::truthy(name.attr(S("startswith"))(S("_")))) picked.append(name);
    }
    return picked;
}

// How a stream's worker ended.
struct StreamResult {
    enum class End { Completed, Canceled, Failed } end = End::Failed;
    Py_ssize_t count = 0;  // values sent, when completed
    py::object error;      // why it failed (never empty)
    PYCO_FIELDS(error)
};

py::object stream_completed(Py_ssize_t count) {
    StreamResult r;
    r.end = StreamResult::End::Completed;
    r.count = count;
    return pyco::make_closure(std::move(r));
}

py::object stream_canceled() {
    StreamResult r;
    r.end = StreamResult::End::Canceled;
    return pyco::make_closure(std::move(r));
}

py::object stream_failed(py::object error) {
    StreamResult r;
    r.error = std::move(error);
    return pyco::make_closure(std::move(r));
}

// The generator's values, one message each, until it is exhausted or the request is
// cancelled. A cancelled stream's "Canceled" message is its final one: an interrupt can no
// longer add another.
py::object drain(const py::object& self, const py::object& loop, const py::object& request_id, py::object generator,
                 Interruptible& user_code) {
    py::object canceled = self.attr(S("_canceled_streaming_requests"));
    Py_ssize_t count = 0;
    for (py::handle value : generator) {
        if (has(canceled, request_id)) {
            user_code.end();
            canceled.attr(S("discard"))(request_id);
            send_and_wait(self, loop, msg::streaming_canceled(request_id, self.attr(S("workbook_id"))));
            return stream_canceled();
        }
        py::object wire = to_wire(py::reinterpret_borrow<py::object>(value));
        send_and_wait(self, loop, msg::streaming_value(request_id, wire, self.attr(S("workbook_id"))));
        if (++count % 10 == 0) attr_of("time", "sleep")(kPauseEvery10);
    }
    user_code.finish();
    return stream_completed(count);
}

// What the stream's worker needs.
struct StreamRun {
    py::object self, request_id, module_name, function_name, args, loop, out_cb, err_cb;
    PYCO_FIELDS(self, request_id, module_name, function_name, args, loop, out_cb, err_cb)
};

py::object run_streaming_in_thread(py::object closure) {
    StreamRun& c = pyco::closure_of<StreamRun>(closure);
    py::object self = c.self, request_id = c.request_id, module_name = c.module_name, function_name = c.function_name,
               loop = c.loop;
    if (log_enabled(DEBUG))
        debug("[TIMING] Streaming worker started: thread={}, request_id={}", current_thread_name(), request_id);
    auto [out, err] = make_captures(c.out_cb, c.err_cb, Keep::Nothing);  // no reply carries the text
    CaptureScope scope(out, err);
    py::object failure;
    try {
        Interruptible user_code(self, request_id);
        builtin("__import__")(module_name);
        py::object modules = attr_of("sys", "modules");
        if (!has(modules, module_name)) {
            error("[Kernel] Module not found in sys.modules: {}", module_name);
            error("[Kernel] Sample of available modules: {}", public_names(modules, 20));
            error("[Kernel] in_memory_loader.source_cache keys: {}",
                  py::list(g("in_memory_loader").attr(S("source_cache")).attr(S("keys"))()));
            return stream_failed(pyco::fmt("Module not found: {}", module_name));
        }
        py::object module = modules[module_name];
        debug("[Kernel] Found module in sys.modules: {}", module_name);
        if (!pyco::truthy(builtin("hasattr")(module, function_name))) {
            error("[Kernel] Function not found in module: {}", function_name);
            error("[Kernel] Available functions in module: {}", public_names(builtin("dir")(module), -1));
            return stream_failed(pyco::fmt("Function not found: {}", function_name));
        }
        py::object func = builtin("getattr")(module, function_name);
        debug("[Kernel] Found function: {}", function_name);
        py::object generator = call_with(func, self.attr(S("_deserialize_args"))(c.args));
        if (!pyco::truthy(attr_of("inspect", "isgenerator")(generator))) {
            error("[Kernel] Function {} is not a generator function", function_name);
            return stream_failed(pyco::fmt("Function {} is not a generator function", function_name));
        }
        info("[Kernel] Starting to stream results from generator: {}", function_name);
        return drain(self, loop, request_id, std::move(generator), user_code);
    } catch (py::error_already_set& e) {
        failure = pyco::caught(e);  // whatever the generator raised: the stream's failure
    }
    print_traceback(failure);
    error("[TIMING] Streaming error: request_id={}, error={}", request_id, safe_str(failure));
    return stream_failed(failure_text(failure));
}

double elapsed_ms(double start) { return (now() - start) * 1000.0; }

// Runs the worker and sends the final message.
Task stream_body(py::handle self, py::object request_id, py::object module_name, py::object function_name,
                 py::object args, py::object workbook_id, py::object source, double start) {
    CallOutput output = call_output(self, request_id, workbook_id, source);
    auto [out_cb, err_cb] = output_callbacks(output, kWorker);
    py::object worker = nested_function(
        pyco::fn<run_streaming_in_thread>("run_streaming_in_thread", {}), kOwner,
        pyco::make_closure(StreamRun{py::reinterpret_borrow<py::object>(self), request_id, module_name, function_name,
                                     args, output.loop, out_cb, err_cb}));
    py::object returned = co_await pyco::await(run_in_pool(output, worker));
    const StreamResult& result = pyco::closure_of<StreamResult>(returned);
    double elapsed = elapsed_ms(start);
    switch (result.end) {
    case StreamResult::End::Failed:
        error("[TIMING] Streaming failed: request_id={}, elapsed={:.1f}ms, error={}", request_id, elapsed,
              result.error);
        co_await pyco::await(send(self, msg::streaming_error(request_id, result.error, self.attr(S("workbook_id")))));
        break;
    case StreamResult::End::Canceled:
        debug("[TIMING] Streaming canceled: request_id={}, elapsed={:.1f}ms", request_id, elapsed);
        break;
    case StreamResult::End::Completed:
        debug("[TIMING] Streaming completed: request_id={}, elapsed={:.1f}ms, results={}", request_id, elapsed,
              result.count);
        co_await pyco::await(send(self, msg::streaming_done(request_id, self.attr(S("workbook_id")))));
        break;
    }
    co_return py::none();
}

// An unexpected failure of the stream's handling: logged and answered by an error message.
Task report_stream_failure(py::handle self, py::object request_id, double start, py::object failure) {
    error("[TIMING] Streaming exception: request_id={}, elapsed={:.1f}ms, error={}", request_id, elapsed_ms(start),
          safe_str(failure));
    py::object reply = send(self, msg::streaming_error(request_id, failure_text(failure), self.attr(S("workbook_id"))));
    failure = py::object();
    co_await pyco::await(std::move(reply));
    co_return py::none();
}

Task execute_streaming_function(py::handle self, py::object request_id, py::object module_name,
                                py::object function_name, py::object args, py::object workbook_id,
                                py::object source) {
    double start = now();
    debug("[TIMING] Streaming execution started: request_id={}, function={}.{}", request_id, module_name,
          function_name);
    info("[Kernel] _execute_streaming_function: module={}, function={}, request_id={}", module_name, function_name,
         request_id);
    if (!in_source_cache(module_name)) {
        warning("[Kernel] Module '{}' not in cache, requesting sync", module_name);
        co_await pyco::await(send(self, msg::request_module_sync(module_name, self.attr(S("workbook_id")))));
        double waited = 0.0;
        while (!in_source_cache(module_name) && waited < kSyncWait) {
            co_await pyco::await(attr_of("asyncio", "sleep")(kSyncPoll));
            waited += kSyncPoll;
        }
        if (!in_source_cache(module_name)) {
            error("[TIMING] Streaming failed: request_id={}, elapsed={:.1f}ms, error=Module not found after sync",
                  request_id, elapsed_ms(start));
            error("[Kernel] Module '{}' not found after sync attempt", module_name);
            py::str text = pyco::fmt("Module '{}' not found after sync attempt", module_name);
            co_await pyco::await(send(self, msg::streaming_error(request_id, text, self.attr(S("workbook_id")))));
            co_return py::none();
        }
    }
    Task body = stream_body(self, request_id, module_name, function_name, args, workbook_id, source, start);
    Task guarded = guarded_request(std::move(body), [self, request_id, start](py::object failure) {
        return report_stream_failure(self, request_id, start, std::move(failure));
    });
    py::object done = co_await pyco::await_nothrow(pyco::make_coroutine(std::move(guarded)));
    pyco::SavedError err;
    if (!done) err.fetch();
    // Whatever happened, a cancel mark of this request is not kept.
    self.attr(S("_canceled_streaming_requests")).attr(S("discard"))(request_id);
    if (err.is_set()) {
        err.restore();
        pyco::throw_error();
    }
    co_return py::none();
}

}  // namespace

namespace handlers {

py::object execute_streaming_function(const py::object& self, const py::object& message) {
    py::object request_id = field(message, "request_id");
    py::object module_name = field(message, "module_name");
    py::object function_name = field(message, "function_name");
    py::object args = field(message, "args", py::list());
    py::object workbook_id = field(message, "workbook_id", S(""));
    py::object source = field(message, "source", S("addin"));
    debug("[TIMING] Dispatching streaming function to background task");
    info("[Kernel] [Listener Thread] Dispatching execute_streaming_function to background task");
    Started run = call_typed(
        self, "_execute_streaming_function",
        [&](const py::object& failure) {
            error("[Kernel] Rejected execute_streaming_function: {}", failure);
            return send(self, msg::streaming_error(request_id, failure_text(failure), self.attr(S("workbook_id"))));
        },
        request_id, module_name, function_name, args, workbook_id, source);
    if (run.refused) throw Rejected{run.awaitable};
    return run.awaitable;
}

}  // namespace handlers

void add_streaming_methods(pyco::ClassBuilder& cls) {
    cls.method(pyco::fn<execute_streaming_function>(
        "_execute_streaming_function",
        {"self", arg("request_id").type(Check::Str), arg("module_name").type(Check::Str),
         arg("function_name").type(Check::Str), arg("args").type(Check::List), arg("workbook_id").type(Check::Str),
         arg("source").type(Check::Str)},
        "Run a generator function on a worker thread and stream each value it yields."));
}

}  // namespace kernel
