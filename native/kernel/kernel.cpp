// PythonKernel: construction, connect, listen, run, disconnect; the synchronous request
// channel and stream sender installed by connect; and the process entry `main`.
#include "kernel/output/capture.hpp"
#include "kernel/routes.hpp"

namespace kernel {

namespace {

using pyco::arg;
using pyco::Check;
using pyco::Task;


bool secured() {
    py::object value = attr_of("os", "environ").attr(S("get"))(S("VANTREL_SECURED"), S("1"));
    return !value.equal(S("0"));
}

// --- construction ------------------------------------------------------------

py::object kernel_init(py::object self, py::object workbook_id, py::object host, py::object port,
                       py::object connection_args) {
    self.attr(S("workbook_id")) = workbook_id;
    py::str scheme = secured() ? S("wss") : S("ws");
    self.attr(S("server_url")) = scheme + S("://") + host + S(":") + port;
    self.attr(S("websocket")) = py::none();
    self.attr(S("executor")) = g("CodeExecutor")();
    self.attr(S("virtual_env")) = g("VirtualEnvironment")(workbook_id);
    self.attr(S("running")) = py::bool_(false);
    self.attr(S("_loop")) = py::none();
    self.attr(S("_thread_pool")) =
        attr_of("concurrent", "futures").attr(S("ThreadPoolExecutor"))(py::arg("max_workers") = self.attr(S("WORKER_POOL_SIZE")));
    self.attr(S("_lsp_bridge")) = g("LSPBridge")();
    py::object bridge = g("vantrel");
    self.attr(S("agent")) = g("Agent")(bridge.attr(S("excel")), bridge.attr(S("context")));
    self.attr(S("connection_args")) = pyco::truthy(connection_args) ? connection_args : py::dict();
    self.attr(S("_win32_watcher")) = py::none();
    self.attr(S("_com_event_registrar")) = py::none();
    self.attr(S("_object_keeper")) = py::dict();
    self.attr(S("_object_keeper_lock")) = attr_of("threading", "Lock")();
    self.attr(S("_response_futures")) = py::dict();
    self.attr(S("_response_data")) = py::dict();
    self.attr(S("_response_lock")) = attr_of("threading", "Lock")();
    self.attr(S("_canceled_streaming_requests")) = py::set();
    self.attr(S("_chunk_buffers")) = py::dict();
    self.attr(S("_socket_lock")) = py::none();
    self.attr(S("_batcher")) = py::none();
    self.attr(S("_original_stdout")) = attr_of("sys", "stdout");
    self.attr(S("_original_stderr")) = attr_of("sys", "stderr");
    py::object meta_path = attr_of("sys", "meta_path");
    py::object loader = g("in_memory_loader");
    if (!has(meta_path, loader)) {
        meta_path.attr(S("insert"))(0, loader);
        debug("[Kernel] Registered InMemoryModuleLoader in sys.meta_path");
    }
    return py::none();
}

py::object has_active_debugger(py::object self) {
    py::object debugger = py::getattr(self, "_debugger", py::none());
    return py::bool_(!debugger.is_none());
}

// --- closures installed by connect ----------------------------------------------

// The stream hooks' sender: the kernel and the backlog of its plain stream messages.
struct HookOutput {
    py::object self, backlog;
    PYCO_FIELDS(self, backlog)
};

py::object send_stream_message(py::object closure, py::object stream_type, py::object content) {
    try {
        HookOutput& o = pyco::closure_of<HookOutput>(closure);
        py::dict message = msg::stream(stream_type, content, o.self.attr(S("workbook_id")));
        send_counted(o.backlog, send(o.self, message), PyUnicode_GET_LENGTH(content.ptr()), o.self.attr(S("_loop")));
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        debug("[Kernel] {} streaming error: {}", stream_type, e.value());
    }
    return py::none();
}

py::object closure(pyco::Def def, const py::object& state) {
    def.qualname = std::string("PythonKernel.connect.<locals>.") + def.name;
    def.closure = state;
    return function(def);
}

// --- connect ---------------------------------------------------------------------

// Lets frames of up to MAX_MESSAGE_SIZE characters (4 bytes each at most in UTF-8) reach
// the kernel's own size check instead of closing the connection in the library.
void raise_incoming_limit(const py::object& websocket) {
    py::object protocol = py::getattr(websocket, "protocol", py::none());
    if (protocol.is_none()) return;
    py::object limit = g("MAX_MESSAGE_SIZE") * py::int_(4);
    if (py::hasattr(protocol, "max_message_size")) {
        protocol.attr(S("max_message_size")) = limit;
    } else if (py::hasattr(protocol, "max_size")) {
        protocol.attr(S("max_size")) = limit;
    }
}

Task start_com_watchers(py::handle self) {
    py::object win32_tools_func = g("vantrel").attr(S("_get_win32"));
    py::dict definitions = msg::win32_event_definitions(g("get_win32_events_dictionary")());
    co_await pyco::await(send(self, definitions));
    self.attr(S("_win32_watcher")) = g("Win32ComWatcher")(self);
    self.attr(S("_win32_watcher")).attr(S("start"))(win32_tools_func);
    self.attr(S("_com_event_registrar")) = g("Win32ComEventRegistrar")(self);
    self.attr(S("_com_event_registrar")).attr(S("start"))(win32_tools_func);
    info("[Kernel] Win32 COM watcher started");
    co_return py::none();
}

Task connect(py::handle self) {
    py::object ws_url = py::str(self.attr(S("server_url"))) + S("/ws/kernel/") + self.attr(S("workbook_id"));
    py::object ssl_context = py::none();
    if (secured()) {
        ssl_context = attr_of("ssl", "create_default_context")();
        ssl_context.attr(S("check_hostname")) = py::bool_(false);
        ssl_context.attr(S("verify_mode")) = attr_of("ssl", "CERT_NONE");
    }
    py::object opening = attr_of("websockets", "connect")(ws_url, py::arg("ssl") = ssl_context);
    py::object websocket = co_await pyco::await(opening);
    self.attr(S("websocket")) = websocket;
    raise_incoming_limit(websocket);
    gather_writes(websocket);

    self.attr(S("running")) = py::bool_(true);
    self.attr(S("_loop")) = attr_of("asyncio", "get_running_loop")();
    self.attr(S("_socket_lock")) = attr_of("asyncio", "Lock")();

    py::object bridge = g("vantrel");
    bridge.attr(S("messaging")).attr(S("loop")) = self.attr(S("_loop"));
    bridge.attr(S("messaging")).attr(S("loop_thread")) = attr_of("threading", "current_thread")();
    bridge.attr(S("connection_args")) = self.attr(S("connection_args"));
    bridge.attr(S("_kernel_instance")) = self;

    self.attr(S("_batcher")) = g("MessageBatcher")(self);
    co_await pyco::await(self.attr(S("_batcher")).attr(S("start"))());

    py::object platform = self.attr(S("connection_args")).attr(S("get"))(S("platform"));
    if (platform.equal(S("win32"))) {
        // A failure here is only a warning: the connection proceeds.
        py::object started = co_await pyco::await_nothrow(pyco::make_coroutine(start_com_watchers(self)));
        if (!started) {
            pyco::SavedError err = pyco::take_exception();
            warning("[Kernel] Could not start Win32 COM watcher: {}", py::handle(err.value));
        }
    }

    py::object stream_sender = closure(pyco::fn<send_stream_message>(
                                           "send_stream_message", {arg("stream_type").type(Check::Str),
                                                                   arg("content").type(Check::Str)}),
                                       pyco::make_closure(HookOutput{py::reinterpret_borrow<py::object>(self), make_backlog(self.attr(S("_loop")))}));
    py::object hook = g("KernelStreamHook");
    py::object sys = g("sys");
    py::object out_hook = hook(S("stdout"), stream_sender);
    sys.attr(S("stdout")) = out_hook;
    py::object err_hook = hook(S("stderr"), stream_sender);
    sys.attr(S("stderr")) = err_hook;
    set_kernel_hooks(self, out_hook, err_hook);
    install_input_hooks();

    bridge.attr(S("messaging")).attr(S("send_request_sync")) = make_request_sync(self);
    co_return py::none();
}


// --- listen ------------------------------------------------------------------------

bool is_connection_closed(const pyco::SavedError& err) {
    return err.matches(attr_of("websockets", "ConnectionClosed").ptr());
}

// One received frame: size check, JSON parse, dispatch. Bad input is answered and the
// loop goes on; only a closed connection (or a BaseException) ends it.
Task handle_frame(py::handle self, py::object frame) {
    Py_ssize_t length = PyObject_Length(frame.ptr());
    if (length < 0) throw py::error_already_set();
    if (length > g("MAX_MESSAGE_SIZE").cast<Py_ssize_t>()) {
        warning("Message too large: {} bytes", length);
        co_await pyco::await(send(self, msg::error(S("Message too large"))));
        co_return py::none();
    }
    py::object decode_error = attr_of("json", "JSONDecodeError");
    py::object data;
    bool invalid_json = false;
    try {
        data = attr_of("json", "loads")(frame);
    } catch (py::error_already_set& e) {
        // Not only JSONDecodeError: a binary frame that is not UTF-8 or JSON nested too
        // deeply to parse is bad input too, and must not end the session.
        if (!pyco::is_exception(e)) throw;
        invalid_json = true;
    }
    if (invalid_json) {
        co_await pyco::await(send(self, msg::error(S("Invalid JSON received"))));
        co_return py::none();
    }
    if (!PyDict_Check(data.ptr())) {
        co_await pyco::await(send(self, msg::error(S("Invalid message: expected a JSON object"))));
        co_return py::none();
    }
    py::object handled = co_await pyco::await_nothrow(pyco::call_method(self, "handle_message", data));
    if (handled) co_return py::none();
    pyco::SavedError err;
    err.fetch();
    if (err.matches(decode_error.ptr())) {
        co_await pyco::await(send(self, msg::error(S("Invalid JSON received"))));
        co_return py::none();
    }
    if (!err.matches(PyExc_Exception) || is_connection_closed(err)) {
        err.restore();
        pyco::throw_error();
    }
    py::object msg_type = data.attr(S("get"))(S("type"));
    py::handle exc(err.value);
    error("[Kernel] Error handling message type '{}': {}", msg_type, exc);
    co_await pyco::await(send(self, msg::error(pyco::fmt("Error handling {}: {}", msg_type, exc))));
    co_return py::none();
}

Task listen(py::handle self) {
    Task frames = pyco::async_for(self.attr(S("websocket")), [self](py::object frame) { return handle_frame(self, frame); });
    py::object done = co_await pyco::await_nothrow(pyco::make_coroutine(std::move(frames)));
    if (!done) {
        pyco::SavedError err;
        err.fetch();
        if (!is_connection_closed(err)) {
            err.restore();
            pyco::throw_error();
        }
        self.attr(S("running")) = py::bool_(false);
    }
    co_return py::none();
}

// --- run and disconnect ---------------------------------------------------------------

Task connect_and_listen(py::handle self) {
    co_await pyco::await(pyco::call_method(self, "connect"));
    info("Kernel connected for workbook: {}", py::object(self.attr(S("workbook_id"))));
    co_await pyco::await(pyco::call_method(self, "listen"));
    co_return py::none();
}

Task run(py::handle self) {
    py::object finished = co_await pyco::await_nothrow(pyco::make_coroutine(connect_and_listen(self)));
    pyco::SavedError pending;
    if (!finished) {
        pending.fetch();
        if (pending.matches(PyExc_Exception)) {
            error("Kernel error: {}", py::handle(pending.value));
            pending.clear();
        }
    }
    co_await pyco::await(pyco::call_method(self, "disconnect"));
    info("Kernel disconnected for workbook: {}", py::object(self.attr(S("workbook_id"))));
    if (pending.is_set()) {
        pending.restore();
        pyco::throw_error();
    }
    co_return py::none();
}

// Logs a failed teardown step; the remaining steps still run.
void step_failed(const char* step, pyco::SavedError& err) {
    error("[Kernel] Error during disconnect ({}): {}", step, py::handle(err.value));
}

template <class F>
void teardown_step(const char* step, F&& f) {
    try {
        f();
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        error("[Kernel] Error during disconnect ({}): {}", step, e.value());
    }
}

Task stop_batcher(py::handle self) {
    py::object batcher = self.attr(S("_batcher"));
    if (pyco::truthy(batcher)) co_await pyco::await(batcher.attr(S("stop"))());
    co_return py::none();
}

Task close_socket(py::handle self) {
    py::object websocket = self.attr(S("websocket"));
    if (pyco::truthy(websocket)) co_await pyco::await(websocket.attr(S("close"))());
    co_return py::none();
}

Task disconnect(py::handle self) {
    self.attr(S("running")) = py::bool_(false);
    teardown_step("win32 watcher", [&] {
        py::object watcher = self.attr(S("_win32_watcher"));
        if (pyco::truthy(watcher)) {
            watcher.attr(S("stop"))();
            self.attr(S("_win32_watcher")) = py::none();
        }
    });
    teardown_step("COM event registrar", [&] {
        py::object registrar = self.attr(S("_com_event_registrar"));
        if (pyco::truthy(registrar)) {
            registrar.attr(S("stop"))();
            self.attr(S("_com_event_registrar")) = py::none();
        }
    });
    if (!co_await pyco::await_nothrow(pyco::make_coroutine(stop_batcher(self)))) {
        pyco::SavedError err = pyco::take_exception();
        step_failed("batcher", err);
    }
    teardown_step("bridge", [&] {
        py::object bridge = g("vantrel");
        bridge.attr(S("messaging")).attr(S("reset"))();
        bridge.attr(S("_kernel_instance")) = py::none();
    });
    teardown_step("streams", [&] {
        py::object sys = g("sys");
        clear_kernel_hooks(self, self.attr(S("_original_stdout")), self.attr(S("_original_stderr")));
        sys.attr(S("stdout")) = self.attr(S("_original_stdout"));
        sys.attr(S("stderr")) = self.attr(S("_original_stderr"));
    });
    teardown_step("input", [&] { remove_input_hooks(self); });
    if (!co_await pyco::await_nothrow(pyco::make_coroutine(close_socket(self)))) {
        pyco::SavedError err = pyco::take_exception();
        step_failed("websocket", err);
    }
    teardown_step("worker pool", [&] { self.attr(S("_thread_pool")).attr(S("shutdown"))(py::arg("wait") = false); });
    co_return py::none();
}

// --- main --------------------------------------------------------------------------

py::object find_init_excel_host() {
    for (int level : {1, 0}) {
        try {
            return import_from("vantrel.old_com", "init_excel_host", level);
        } catch (py::error_already_set& e) {
            if (!pyco::is_exception(e)) throw;
        }
    }
    return py::none();
}

Task main_entry(py::object workbook_id, py::object port, py::object connection_args) {
    if (attr_of("sys", "platform").equal(S("win32"))) {
        py::object platform = S("");
        if (!connection_args.is_none()) platform = connection_args.attr(S("get"))(S("platform"), S(""));
        if (!platform.equal(S("web"))) {
            py::object init_excel_host = find_init_excel_host();
            if (!init_excel_host.is_none()) init_excel_host(py::arg("vantrel_id") = workbook_id);
        }
    }
    py::object kernel = g("PythonKernel")(workbook_id, py::arg("port") = port, py::arg("connection_args") = connection_args);
    co_await pyco::await(kernel.attr(S("run"))());
    co_return py::none();
}

}  // namespace

void define_kernel_class(py::module_ m) {
    pyco::ClassBuilder cls("PythonKernel", module_name(), py::tuple(),
                           "The kernel of one workbook: connects to the Business Layer and serves its messages.");
    cls.attr("WORKER_POOL_SIZE", py::int_(10));
    cls.method(pyco::fn<kernel_init>("__init__", {"self", arg("workbook_id").type(Check::Str),
                                                  arg("host").type(Check::Str).def(S("127.0.0.1")),
                                                  arg("port").type(Check::Str).def(S("8000")),
                                                  arg("connection_args").type(Check::Dict, true).def_none()}));
    cls.property(pyco::fn<has_active_debugger>("has_active_debugger", {"self"},
                                               "True while a debug session is active."));
    cls.method(pyco::fn<connect>("connect", {"self"}, "Connect to the Business Layer and install the kernel."));
    cls.method(pyco::fn<listen>("listen", {"self"}, "Receive and dispatch messages until the connection ends."));
    cls.method(pyco::fn<run>("run", {"self"}, "Connect and start listening for messages."));
    cls.method(pyco::fn<disconnect>("disconnect", {"self"}, "Disconnect from the Business Layer."));
    add_framing_methods(cls);
    add_dispatch_methods(cls);
    add_execution_methods(cls);
    add_invocation_methods(cls);
    add_streaming_methods(cls);
    add_keeper_methods(cls);
    add_debug_methods(cls);
    add_language_methods(cls);
    m.attr(S("PythonKernel")) = cls.build();
    m.attr(S("main")) = function(pyco::fn<main_entry>(
        "main", {arg("workbook_id").type(Check::Str), arg("port").type(Check::Str),
                 arg("connection_args").type(Check::Dict, true).def_none()},
        "Main entry point for the kernel."));
}

}  // namespace kernel
