// PythonKernel: construction, connect, listen, run, disconnect; the synchronous request
// channel and stream sender installed by connect; and the process entry `main`.
#include "kernel/messages.hpp"

namespace kernel {

void add_framing_methods(pyco::ClassBuilder& cls);
void add_dispatch_methods(pyco::ClassBuilder& cls);
void add_execution_methods(pyco::ClassBuilder& cls);

namespace {

using pyco::arg;
using pyco::Check;
using pyco::Task;


bool secured() {
    py::object value = attr_of("os", "environ").attr("get")(S("VANTREL_SECURED"), S("1"));
    return !value.equal(S("0"));
}

// --- construction ------------------------------------------------------------

py::object kernel_init(py::object self, py::object workbook_id, py::object host, py::object port,
                       py::object connection_args) {
    self.attr("workbook_id") = workbook_id;
    py::str scheme = secured() ? S("wss") : S("ws");
    self.attr("server_url") = scheme + S("://") + host + S(":") + port;
    self.attr("websocket") = py::none();
    self.attr("executor") = g("CodeExecutor")();
    self.attr("virtual_env") = g("VirtualEnvironment")(workbook_id);
    self.attr("running") = py::bool_(false);
    self.attr("_loop") = py::none();
    self.attr("_thread_pool") =
        attr_of("concurrent", "futures").attr("ThreadPoolExecutor")(py::arg("max_workers") = self.attr("WORKER_POOL_SIZE"));
    self.attr("_lsp_bridge") = g("LSPBridge")();
    py::object bridge = g("vantrel");
    self.attr("agent") = g("Agent")(bridge.attr("excel"), bridge.attr("context"));
    self.attr("connection_args") = PyObject_IsTrue(connection_args.ptr()) == 1 ? connection_args : py::dict();
    self.attr("_win32_watcher") = py::none();
    self.attr("_com_event_registrar") = py::none();
    self.attr("_object_keeper") = py::dict();
    self.attr("_object_keeper_lock") = attr_of("threading", "Lock")();
    self.attr("_response_futures") = py::dict();
    self.attr("_response_data") = py::dict();
    self.attr("_response_lock") = attr_of("threading", "Lock")();
    self.attr("_canceled_streaming_requests") = py::set();
    self.attr("_chunk_buffers") = py::dict();
    self.attr("_socket_lock") = py::none();
    self.attr("_batcher") = py::none();
    self.attr("_original_stdout") = attr_of("sys", "stdout");
    self.attr("_original_stderr") = attr_of("sys", "stderr");
    py::object meta_path = attr_of("sys", "meta_path");
    py::object loader = g("in_memory_loader");
    if (!meta_path.contains(loader)) {
        meta_path.attr("insert")(0, loader);
        debug("[Kernel] Registered InMemoryModuleLoader in sys.meta_path");
    }
    return py::none();
}

py::object has_active_debugger(py::object self) {
    py::object debugger = py::getattr(self, "_debugger", py::none());
    return py::bool_(!debugger.is_none());
}

// --- closures installed by connect ----------------------------------------------

py::object send_stream_message(py::object self, py::object stream_type, py::object content) {
    try {
        py::dict message = msg::stream(stream_type, content, self.attr("workbook_id"));
        attr_of("asyncio", "run_coroutine_threadsafe")(self.attr("send_message")(message), self.attr("_loop"));
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        debug("[Kernel] {} streaming error: {}", stream_type, e.value());
    }
    return py::none();
}

py::object send_sys_request(py::object self, py::object payload, py::object timeout) {
    py::object request_id = payload.attr("get")(S("requestId"));
    py::object current = attr_of("threading", "current_thread")();
    py::object name = current.attr("name");
    py::object loop_thread = g("vantrel").attr("messaging").attr("loop_thread");
    if (!loop_thread.is_none() && current.is(loop_thread)) {
        PyErr_SetString(PyExc_RuntimeError,
                        "send_sys_request must not be called from the async event loop thread to avoid deadlock");
        throw py::error_already_set();
    }
    debug("[Kernel] [Worker Thread {}] Sending sys_request: {}", name, request_id);
    py::object event = attr_of("threading", "Event")();
    {
        Locked lock(self.attr("_response_lock"));
        self.attr("_response_futures")[request_id] = event;
    }
    attr_of("asyncio", "run_coroutine_threadsafe")(self.attr("send_message")(msg::sys_request(payload)),
                                                    self.attr("_loop"));
    debug("[Kernel] [Worker Thread {}] Waiting for sys_response: {}", name, request_id);
    py::object answered = event.attr("wait")(py::arg("timeout") = timeout);
    if (PyObject_IsTrue(answered.ptr()) == 1) {
        debug("[Kernel] [Worker Thread {}] Received sys_response: {}", name, request_id);
        py::object response;
        {
            Locked lock(self.attr("_response_lock"));
            response = self.attr("_response_data").attr("pop")(request_id, py::none());
            self.attr("_response_futures").attr("pop")(request_id, py::none());
        }
        if (response.is_none()) {
            py::str text = pyco::fmt("sys_response data missing for request_id: {}", request_id);
            error("[Kernel] {}", text);
            PyErr_SetObject(PyExc_RuntimeError, text.ptr());
            throw py::error_already_set();
        }
        return response;
    }
    {
        Locked lock(self.attr("_response_lock"));
        self.attr("_response_futures").attr("pop")(request_id, py::none());
        self.attr("_response_data").attr("pop")(request_id, py::none());
    }
    error("[Kernel] [Worker Thread {}] sys_request timeout: {}", name, request_id);
    py::object seconds = py::float_(PyFloat_AsDouble(timeout.ptr()));
    if (PyErr_Occurred()) throw py::error_already_set();
    py::str text = pyco::fmt("sys_request timeout after {}s: {}", seconds, request_id);
    PyErr_SetObject(PyExc_TimeoutError, text.ptr());
    throw py::error_already_set();
}

py::object new_send_request_sync(py::object self, py::object req, py::object timeout) {
    py::object rid = attr_of("uuid", "uuid4")().attr("hex");
    py::dict payload = py::reinterpret_steal<py::dict>(PyDict_Copy(req.ptr()));
    if (!payload) throw py::error_already_set();
    payload["requestId"] = rid;
    payload["kind"] = S("request");
    return send_sys_request(self, payload, timeout);
}

py::object closure(pyco::Def def, const py::object& kernel) {
    def.qualname = std::string("PythonKernel.connect.<locals>.") + def.name;
    def.closure = kernel;
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
        protocol.attr("max_message_size") = limit;
    } else if (py::hasattr(protocol, "max_size")) {
        protocol.attr("max_size") = limit;
    }
}

Task start_com_watchers(py::object self) {
    py::object win32_tools_func = g("vantrel").attr("_get_win32");
    py::dict definitions = msg::win32_event_definitions(g("get_win32_events_dictionary")());
    co_await pyco::await(self.attr("send_message")(definitions));
    self.attr("_win32_watcher") = g("Win32ComWatcher")(self);
    self.attr("_win32_watcher").attr("start")(win32_tools_func);
    self.attr("_com_event_registrar") = g("Win32ComEventRegistrar")(self);
    self.attr("_com_event_registrar").attr("start")(win32_tools_func);
    info("[Kernel] Win32 COM watcher started");
    co_return py::none();
}

Task connect(py::object self) {
    py::object ws_url = py::str(self.attr("server_url")) + S("/ws/kernel/") + self.attr("workbook_id");
    py::object ssl_context = py::none();
    if (secured()) {
        ssl_context = attr_of("ssl", "create_default_context")();
        ssl_context.attr("check_hostname") = py::bool_(false);
        ssl_context.attr("verify_mode") = attr_of("ssl", "CERT_NONE");
    }
    py::object opening = attr_of("websockets", "connect")(ws_url, py::arg("ssl") = ssl_context);
    py::object websocket = co_await pyco::await(opening);
    self.attr("websocket") = websocket;
    raise_incoming_limit(websocket);

    self.attr("running") = py::bool_(true);
    self.attr("_loop") = attr_of("asyncio", "get_running_loop")();
    self.attr("_socket_lock") = attr_of("asyncio", "Lock")();

    py::object bridge = g("vantrel");
    bridge.attr("messaging").attr("loop") = self.attr("_loop");
    bridge.attr("messaging").attr("loop_thread") = attr_of("threading", "current_thread")();
    bridge.attr("connection_args") = self.attr("connection_args");
    bridge.attr("_kernel_instance") = self;

    self.attr("_batcher") = g("MessageBatcher")(self);
    co_await pyco::await(self.attr("_batcher").attr("start")());

    py::object platform = self.attr("connection_args").attr("get")(S("platform"));
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
                                       self);
    py::object hook = g("KernelStreamHook");
    py::object sys = g("sys");
    sys.attr("stdout") = hook(S("stdout"), stream_sender);
    sys.attr("stderr") = hook(S("stderr"), stream_sender);

    py::object request_sync = closure(
        pyco::fn<new_send_request_sync>("new_send_request_sync",
                                        {arg("req").type(Check::Dict), arg("timeout").def(py::float_(30.0))})
            .annotated(annotations({{"timeout", builtin("float")}})),
        self);
    bridge.attr("messaging").attr("send_request_sync") = request_sync;
    co_return py::none();
}


// --- listen ------------------------------------------------------------------------

bool is_connection_closed(const pyco::SavedError& err) {
    return err.matches(attr_of("websockets", "ConnectionClosed").ptr());
}

// One received frame: size check, JSON parse, dispatch. Bad input is answered and the
// loop goes on; only a closed connection (or a BaseException) ends it.
Task handle_frame(py::object self, py::object frame) {
    Py_ssize_t length = PyObject_Length(frame.ptr());
    if (length < 0) throw py::error_already_set();
    if (length > g("MAX_MESSAGE_SIZE").cast<Py_ssize_t>()) {
        warning("Message too large: {} bytes", length);
        co_await pyco::await(self.attr("send_message")(msg::error(S("Message too large"))));
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
        co_await pyco::await(self.attr("send_message")(msg::error(S("Invalid JSON received"))));
        co_return py::none();
    }
    if (!PyDict_Check(data.ptr())) {
        co_await pyco::await(self.attr("send_message")(msg::error(S("Invalid message: expected a JSON object"))));
        co_return py::none();
    }
    py::object handled = co_await pyco::await_nothrow(self.attr("handle_message")(data));
    if (handled) co_return py::none();
    pyco::SavedError err;
    err.fetch();
    if (err.matches(decode_error.ptr())) {
        co_await pyco::await(self.attr("send_message")(msg::error(S("Invalid JSON received"))));
        co_return py::none();
    }
    if (!err.matches(PyExc_Exception) || is_connection_closed(err)) {
        err.restore();
        pyco::throw_error();
    }
    py::object msg_type = data.attr("get")(S("type"));
    py::handle exc(err.value);
    error("[Kernel] Error handling message type '{}': {}", msg_type, exc);
    co_await pyco::await(self.attr("send_message")(msg::error(pyco::fmt("Error handling {}: {}", msg_type, exc))));
    co_return py::none();
}

Task listen(py::object self) {
    Task frames = pyco::async_for(self.attr("websocket"), [self](py::object frame) { return handle_frame(self, frame); });
    py::object done = co_await pyco::await_nothrow(pyco::make_coroutine(std::move(frames)));
    if (!done) {
        pyco::SavedError err;
        err.fetch();
        if (!is_connection_closed(err)) {
            err.restore();
            pyco::throw_error();
        }
        self.attr("running") = py::bool_(false);
    }
    co_return py::none();
}

// --- run and disconnect ---------------------------------------------------------------

Task connect_and_listen(py::object self) {
    co_await pyco::await(self.attr("connect")());
    info("Kernel connected for workbook: {}", py::object(self.attr("workbook_id")));
    co_await pyco::await(self.attr("listen")());
    co_return py::none();
}

Task run(py::object self) {
    py::object finished = co_await pyco::await_nothrow(pyco::make_coroutine(connect_and_listen(self)));
    pyco::SavedError pending;
    if (!finished) {
        pending.fetch();
        if (pending.matches(PyExc_Exception)) {
            error("Kernel error: {}", py::handle(pending.value));
            pending.clear();
        }
    }
    co_await pyco::await(self.attr("disconnect")());
    info("Kernel disconnected for workbook: {}", py::object(self.attr("workbook_id")));
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

Task stop_batcher(py::object self) {
    py::object batcher = self.attr("_batcher");
    if (PyObject_IsTrue(batcher.ptr()) == 1) co_await pyco::await(batcher.attr("stop")());
    co_return py::none();
}

Task close_socket(py::object self) {
    py::object websocket = self.attr("websocket");
    if (PyObject_IsTrue(websocket.ptr()) == 1) co_await pyco::await(websocket.attr("close")());
    co_return py::none();
}

Task disconnect(py::object self) {
    self.attr("running") = py::bool_(false);
    teardown_step("win32 watcher", [&] {
        py::object watcher = self.attr("_win32_watcher");
        if (PyObject_IsTrue(watcher.ptr()) == 1) {
            watcher.attr("stop")();
            self.attr("_win32_watcher") = py::none();
        }
    });
    teardown_step("COM event registrar", [&] {
        py::object registrar = self.attr("_com_event_registrar");
        if (PyObject_IsTrue(registrar.ptr()) == 1) {
            registrar.attr("stop")();
            self.attr("_com_event_registrar") = py::none();
        }
    });
    if (!co_await pyco::await_nothrow(pyco::make_coroutine(stop_batcher(self)))) {
        pyco::SavedError err = pyco::take_exception();
        step_failed("batcher", err);
    }
    teardown_step("bridge", [&] {
        py::object bridge = g("vantrel");
        bridge.attr("messaging").attr("reset")();
        bridge.attr("_kernel_instance") = py::none();
    });
    teardown_step("streams", [&] {
        py::object sys = g("sys");
        retain_stream(sys.attr("stdout"));
        retain_stream(sys.attr("stderr"));
        sys.attr("stdout") = self.attr("_original_stdout");
        sys.attr("stderr") = self.attr("_original_stderr");
    });
    if (!co_await pyco::await_nothrow(pyco::make_coroutine(close_socket(self)))) {
        pyco::SavedError err = pyco::take_exception();
        step_failed("websocket", err);
    }
    teardown_step("worker pool", [&] { self.attr("_thread_pool").attr("shutdown")(py::arg("wait") = false); });
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
        if (!connection_args.is_none()) platform = connection_args.attr("get")(S("platform"), S(""));
        if (!platform.equal(S("web"))) {
            py::object init_excel_host = find_init_excel_host();
            if (!init_excel_host.is_none()) init_excel_host(py::arg("vantrel_id") = workbook_id);
        }
    }
    py::object kernel = g("PythonKernel")(workbook_id, py::arg("port") = port, py::arg("connection_args") = connection_args);
    co_await pyco::await(kernel.attr("run")());
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
    m.attr("PythonKernel") = cls.build();
    m.attr("main") = function(pyco::fn<main_entry>(
        "main", {arg("workbook_id").type(Check::Str), arg("port").type(Check::Str),
                 arg("connection_args").type(Check::Dict, true).def_none()},
        "Main entry point for the kernel."));
}

}  // namespace kernel
