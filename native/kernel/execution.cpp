// _execute_code_async: an execution request runs on a worker thread against the console
// namespace; output streams as it is written; the run ends with result_output and
// execution_result, or with execution_error.
#include "kernel/messages.hpp"

namespace kernel {

namespace {

using pyco::arg;
using pyco::Check;
using pyco::Task;


// closure: (kernel, request_id, source, loop, stream type)
py::object stream_callback(py::object closure, py::object text) {
    py::tuple c = py::reinterpret_borrow<py::tuple>(closure);
    try {
        py::object self = c[0];
        py::dict message = msg::request_stream(c[4], text, c[1], self.attr("workbook_id"), c[2]);
        attr_of("asyncio", "run_coroutine_threadsafe")(self.attr("send_message")(message), c[3]);
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        debug("[Kernel] {} streaming error: {}", py::object(c[4]), e.value());
    }
    return py::none();
}

// A run that user code ended with SystemExit or KeyboardInterrupt: reported like any
// failed run, so the kernel goes on serving.
py::dict interrupted_result(const py::error_already_set& e) {
    py::object exc = e.value();
    py::object tb = e.trace() ? py::reinterpret_borrow<py::object>(e.trace()) : py::none();
    py::object lines = attr_of("traceback", "format_exception")(py::type::of(exc), exc, tb);
    py::dict result = msg::run_result();
    result["success"] = py::bool_(false);
    result["error"] = msg::error_object(py::type::of(exc).attr("__name__"), py::str(exc), py::str("").attr("join")(lines));
    return result;
}

// closure: (kernel, code, request_id, stdout callback, stderr callback)
py::object execute_with_callbacks(py::object closure) {
    py::tuple c = py::reinterpret_borrow<py::tuple>(closure);
    py::object self = c[0];
    py::object request_id = c[2];
    py::object thread_name = attr_of("threading", "current_thread")().attr("name");
    debug("[Kernel] [Worker Thread {}] Executing code (request_id={})", thread_name, request_id);
    py::object result;
    try {
        result = self.attr("executor").attr("execute")(c[1], py::arg("stdout_callback") = c[3],
                                                       py::arg("stderr_callback") = c[4]);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_SystemExit) && !e.matches(PyExc_KeyboardInterrupt)) throw;
        result = interrupted_result(e);
    }
    debug("[Kernel] [Worker Thread {}] Execution completed (request_id={})", thread_name, request_id);
    return result;
}

py::object nested(pyco::Def def, py::object closure) {
    def.qualname = std::string("PythonKernel._execute_code_async.<locals>.") + def.name;
    def.closure = std::move(closure);
    return function(def);
}

Task run_and_reply(py::object self, py::object code, py::object request_id, py::object function_name, py::object source,
                   double start_time) {
    debug("[Kernel] [Async Task] Submitting execution to worker thread pool (request_id={})", request_id);
    py::object loop = attr_of("asyncio", "get_running_loop")();
    py::object out_cb = nested(pyco::fn<stream_callback>("stdout_callback", {"text"}),
                               py::make_tuple(self, request_id, source, loop, S("stdout")));
    py::object err_cb = nested(pyco::fn<stream_callback>("stderr_callback", {"text"}),
                               py::make_tuple(self, request_id, source, loop, S("stderr")));
    py::object worker = nested(pyco::fn<execute_with_callbacks>("execute_with_callbacks", {}),
                               py::make_tuple(self, code, request_id, out_cb, err_cb));
    py::object result = co_await pyco::await(loop.attr("run_in_executor")(self.attr("_thread_pool"), worker));
    double elapsed_ms = (now() - start_time) * 1000.0;
    debug("[TIMING] Execution completed: request_id={}, elapsed={:.1f}ms", request_id, elapsed_ms);
    py::object success = result[S("success")];
    debug("[Kernel] [Async Task] Execution finished, success={} (request_id={})", success, request_id);
    py::object wb = self.attr("workbook_id");
    if (PyObject_IsTrue(success.ptr()) != 1) {
        py::object error_obj = result[S("error")];
        info("[Kernel] Sending execution_error for request_id={}: {}", request_id, error_obj);
        co_await pyco::await(
            self.attr("send_message")(msg::execution_error(error_obj, request_id, function_name, wb, source)));
        co_return py::none();
    }
    info("[Kernel] Sending execution_result (success) for request_id={}", request_id);
    py::object value = result[S("result")];
    py::object shown = py::none();
    if (!value.is_none()) {
        shown = py::repr(value);
        py::object content = S("Out: ") + shown + S("\n");
        co_await pyco::await(self.attr("send_message")(msg::result_output(content, request_id, wb, source)));
    }
    bool named = PyUnicode_Check(function_name.ptr()) && PyUnicode_GET_LENGTH(function_name.ptr()) > 0;
    py::object reported = named ? value : shown;
    co_await pyco::await(self.attr("send_message")(msg::execution_result(reported, request_id, function_name, wb, source)));
    co_return py::none();
}

Task execute_code_async(py::object self, py::object code, py::object request_id, py::object function_name,
                        py::object source) {
    double start_time = now();
    debug("[TIMING] Execution started: request_id={}, function={}", request_id, function_name);
    py::object done = co_await pyco::await_nothrow(
        pyco::make_coroutine(run_and_reply(self, code, request_id, function_name, source, start_time)));
    if (done) co_return py::none();
    pyco::SavedError err = pyco::take_exception();
    py::object e = py::reinterpret_borrow<py::object>(err.value);
    double elapsed_ms = (now() - start_time) * 1000.0;
    error("[TIMING] Execution failed: request_id={}, elapsed={:.1f}ms, error={}", request_id, elapsed_ms, e);
    error("[Kernel] Unexpected error in _execute_code_async: {}", e);
    py::dict error_obj = msg::error_object(py::type::of(e).attr("__name__"), py::str(e), g("extract_tracebak_string")(e));
    py::object sent = co_await pyco::await_nothrow(self.attr("send_message")(msg::execution_failure(error_obj, request_id, source)));
    if (!sent) {
        pyco::SavedError send_err = pyco::take_exception();
        error("[Kernel] Failed to send error message: {}", py::handle(send_err.value));
    }
    co_return py::none();
}

}  // namespace

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
