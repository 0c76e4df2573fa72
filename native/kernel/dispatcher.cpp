// handle_message: routes each inbound message by its `type` — long work to tasks,
// language services and environment messages awaited inline, small control messages
// handled here.
#include "kernel/environment.hpp"

namespace kernel {

namespace {

using pyco::arg;
using pyco::Check;
using pyco::Task;


enum Row {
    UNKNOWN = 0,
    EXECUTION_REQUEST,
    ADD_PATH,
    REMOVE_PATH,
    RESET_NAMESPACE,
    RESET_PATH,
    SET_PACKAGE_PATHS,
    SET_PYTHON_PATHS,
    UNLOAD_AND_CLEAR_PATHS,
    UPDATE_MODULE,
    DELETE_MODULE,
    COMPLETION_REQUEST,
    SIGNATURE_HELP_REQUEST,
    HOVER_REQUEST,
    DIAGNOSTIC_REQUEST,
    SHUTDOWN,
    CUSTOM_FUNCTION_CALL,
    RUN_MODULE,
    EVENT_EXECUTION,
    COM_EVENT_CONFIG_UPDATE,
    PYTHON_FUNCTION_CALL,
    EXECUTE_STREAMING_FUNCTION,
    CANCEL_STREAMING_FUNCTION,
    DEBUG_CONTINUE,
    DEBUG_STEP_OVER,
    DEBUG_STEP_INTO,
    DEBUG_STEP_OUT,
    DEBUG_STOP,
    DEBUG_EVALUATE,
    DEBUG_UPDATE_BREAKPOINTS,
    SYS_RESPONSE,
    GET_OBJECT_REGISTRY,
    SET_HOVER_MODE,
};

// The catalogue, type text -> row (built once; lives as long as the process).
PyObject* rows = nullptr;

Row row_of(const py::object& msg_type) {
    if (!rows) {
        static const std::pair<const char*, Row> table[] = {
            {"execution_request", EXECUTION_REQUEST},
            {"add_path", ADD_PATH},
            {"remove_path", REMOVE_PATH},
            {"reset_namespace", RESET_NAMESPACE},
            {"reset_path", RESET_PATH},
            {"set_package_paths", SET_PACKAGE_PATHS},
            {"set_python_paths", SET_PYTHON_PATHS},
            {"unload_and_clear_paths", UNLOAD_AND_CLEAR_PATHS},
            {"update_module", UPDATE_MODULE},
            {"delete_module", DELETE_MODULE},
            {"completion_request", COMPLETION_REQUEST},
            {"signature_help_request", SIGNATURE_HELP_REQUEST},
            {"hover_request", HOVER_REQUEST},
            {"diagnostic_request", DIAGNOSTIC_REQUEST},
            {"shutdown", SHUTDOWN},
            {"custom_function_call", CUSTOM_FUNCTION_CALL},
            {"run_module", RUN_MODULE},
            {"event_execution", EVENT_EXECUTION},
            {"com_event_config_update", COM_EVENT_CONFIG_UPDATE},
            {"python_function_call", PYTHON_FUNCTION_CALL},
            {"execute_streaming_function", EXECUTE_STREAMING_FUNCTION},
            {"cancel_streaming_function", CANCEL_STREAMING_FUNCTION},
            {"debug_continue", DEBUG_CONTINUE},
            {"debug_step_over", DEBUG_STEP_OVER},
            {"debug_step_into", DEBUG_STEP_INTO},
            {"debug_step_out", DEBUG_STEP_OUT},
            {"debug_stop", DEBUG_STOP},
            {"debug_evaluate", DEBUG_EVALUATE},
            {"debug_update_breakpoints", DEBUG_UPDATE_BREAKPOINTS},
            {"sys_response", SYS_RESPONSE},
            {"get_object_registry", GET_OBJECT_REGISTRY},
            {"set_hover_mode", SET_HOVER_MODE},
        };
        py::dict d;
        for (const auto& [name, row] : table) d[py::str(name)] = py::int_(static_cast<int>(row));
        rows = d.release().ptr();
    }
    if (!PyUnicode_Check(msg_type.ptr())) return UNKNOWN;
    PyObject* r = PyDict_GetItemWithError(rows, msg_type.ptr());
    if (!r) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return UNKNOWN;
    }
    return static_cast<Row>(PyLong_AsLong(r));
}

// Tasks started for requests. The dispatcher does not wait for them; the set only keeps
// them alive until they finish (the event loop itself holds tasks weakly).
PyObject* running_tasks = nullptr;

void start_task(const py::object& coroutine) {
    if (!running_tasks) {
        running_tasks = PySet_New(nullptr);
        if (!running_tasks) throw py::error_already_set();
    }
    py::object task = attr_of("asyncio", "create_task")(coroutine);
    if (PySet_Add(running_tasks, task.ptr()) < 0) throw py::error_already_set();
    task.attr("add_done_callback")(py::reinterpret_borrow<py::object>(running_tasks).attr("discard"));
}

py::object get(const py::object& message, const char* key) { return message.attr("get")(S(key)); }
py::object get(const py::object& message, const char* key, py::object fallback) {
    return message.attr("get")(S(key), fallback);
}

py::object send(const py::object& self, py::dict message) { return self.attr("send_message")(message); }

// Handing a message's fields to a handler coroutine checks their types; a message whose
// fields cannot be handed on is answered with the handler's own error reply.
struct Started {
    py::object coroutine;
    py::object failure;  // the exception when the fields were rejected
};

template <class F>
Started make_coroutine_checked(F&& make) {
    Started s;
    try {
        s.coroutine = make();
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        s.failure = pyco::caught(e);
    }
    return s;
}

Task start_execution_request(py::object self, py::object message) {
    py::object code = get(message, "code", S(""));
    py::object request_id = get(message, "request_id");
    py::object function_name = get(message, "function_name");
    py::object source = get(message, "source", S("ide"));
    info("[Kernel] [Listener Thread] Received execution_request (source={}, request_id={})", source, request_id);
    py::object method = self.attr("_execute_code_async");
    Started s = make_coroutine_checked([&] { return method(code, request_id, function_name, source); });
    if (s.failure) {
        py::object error = msg::error_object(py::type::of(s.failure).attr("__name__"), py::str(s.failure),
                                             g("extract_tracebak_string")(s.failure));
        co_await pyco::await(send(self, msg::execution_failure(error, request_id, source)));
        co_return py::none();
    }
    debug("[Kernel] Code length: {} chars", PyObject_Length(code.ptr()));
    start_task(s.coroutine);
    co_return py::none();
}

Task start_streaming_function(py::object self, py::object message) {
    py::object request_id = get(message, "request_id");
    py::object module_name = get(message, "module_name");
    py::object function_name = get(message, "function_name");
    py::object args = get(message, "args", py::list());
    py::object workbook_id = get(message, "workbook_id", S(""));
    py::object source = get(message, "source", S("addin"));
    debug("[TIMING] Dispatching streaming function to background task");
    info("[Kernel] [Listener Thread] Dispatching execute_streaming_function to background task");
    py::object method = self.attr("_execute_streaming_function");
    Started s = make_coroutine_checked(
        [&] { return method(request_id, module_name, function_name, args, workbook_id, source); });
    if (s.failure) {
        error("[Kernel] Rejected execute_streaming_function: {}", s.failure);
        co_await pyco::await(send(self, msg::streaming_error(request_id, py::str(s.failure), self.attr("workbook_id"))));
        co_return py::none();
    }
    start_task(s.coroutine);
    co_return py::none();
}

void start_message_task(const py::object& self, const char* method, const char* log_text, const py::object& message) {
    info(log_text);
    start_task(self.attr(method)(message));
}

void handle_sys_response(const py::object& self, const py::object& message) {
    py::object payload = get(message, "payload");
    if (PyObject_IsTrue(payload.ptr()) != 1) payload = message;
    py::object request_id = PyDict_Check(payload.ptr()) ? get(payload, "requestId") : py::none();
    debug("[Kernel] [Listener Thread] Received sys_response for request_id: {}, unblocking worker", request_id);
    if (PyObject_IsTrue(request_id.ptr()) != 1) {
        warning("[Kernel] Received sys_response without requestId");
        return;
    }
    py::object event;
    {
        // Held only for the table operations and the wake-up.
        Locked lock(self.attr("_response_lock"));
        self.attr("_response_data")[request_id] = payload;
        event = self.attr("_response_futures").attr("get")(request_id);
        if (!event.is_none()) event.attr("set")();
    }
    if (!event.is_none()) {
        debug("[Kernel] [Listener Thread] Worker unblocked for request_id: {}", request_id);
    } else {
        warning("[Kernel] Received sys_response for unknown request_id: {}", request_id);
    }
}

bool debugger_active(const py::object& self) { return PyObject_IsTrue(self.attr("has_active_debugger").ptr()) == 1; }

// The awaitable of an inline control message's reply, or None when there is none.
py::object control_message(const py::object& self, Row row, const py::object& message) {
    py::object wb = self.attr("workbook_id");
    switch (row) {
        case COM_EVENT_CONFIG_UPDATE: {
            py::object config = get(message, "com_config", py::dict());
            py::object registrar = self.attr("_com_event_registrar");
            if (PyObject_IsTrue(registrar.ptr()) == 1) {
                registrar.attr("apply_config")(config);
            } else {
                debug("[Kernel] com_event_config_update received but registrar not active");
            }
            return py::none();
        }
        case CANCEL_STREAMING_FUNCTION: {
            py::object request_id = get(message, "request_id");
            info("[Kernel] Received cancel_streaming_function for request_id: {}", request_id);
            self.attr("_canceled_streaming_requests").attr("add")(request_id);
            return py::none();
        }
        case DEBUG_CONTINUE:
            if (!debugger_active(self)) return py::none();
            self.attr("_debugger").attr("continue_execution")();
            return send(self, msg::debug_resumed());
        case DEBUG_STEP_OVER:
            if (debugger_active(self)) self.attr("_debugger").attr("step_over")();
            return py::none();
        case DEBUG_STEP_INTO:
            if (debugger_active(self)) self.attr("_debugger").attr("step_into")();
            return py::none();
        case DEBUG_STEP_OUT:
            if (debugger_active(self)) self.attr("_debugger").attr("step_out")();
            return py::none();
        case DEBUG_STOP: {
            if (!debugger_active(self)) return py::none();
            self.attr("_debugger").attr("stop_debugging")();
            py::object reply = send(self, msg::debug_terminated(wb));
            // Cleared once the reply is on its way, as the session ends with it.
            return reply;
        }
        case DEBUG_EVALUATE: {
            py::object expression = get(message, "expression", S(""));
            py::object request_id = get(message, "request_id");
            if (debugger_active(self)) {
                py::object result = self.attr("_debugger").attr("evaluate_expression")(expression);
                return send(self, msg::debug_evaluate_result(wb, request_id, expression, result));
            }
            return send(self, msg::debug_evaluate_result(wb, request_id, expression, py::handle()));
        }
        case DEBUG_UPDATE_BREAKPOINTS: {
            py::object breakpoints = get(message, "breakpoints", py::list());
            if (!debugger_active(self)) {
                warning("[Kernel] Received debug_update_breakpoints but no active debugger");
            } else if (PyList_Check(breakpoints.ptr())) {
                self.attr("_debugger").attr("set_breakpoints")(breakpoints);
                info("[Kernel] Updated breakpoints during debug session: {} breakpoints",
                     PyList_GET_SIZE(breakpoints.ptr()));
            } else {
                warning("[Kernel] Invalid breakpoints data type: {}", py::type::of(breakpoints));
            }
            return py::none();
        }
        case GET_OBJECT_REGISTRY: {
            debug("[Kernel] Received get_object_registry request");
            py::object registry = self.attr("get_object_registry")();
            return send(self, msg::object_registry_response(registry, wb));
        }
        case SET_HOVER_MODE: {
            py::object mode = get(message, "mode", S("compact"));
            debug("[Kernel] Received set_hover_mode: {}", mode);
            py::object bridge = self.attr("_lsp_bridge");
            if (PyObject_IsTrue(bridge.ptr()) == 1) {
                bridge.attr("set_hover_mode")(mode);
                return send(self, msg::hover_mode_updated(mode, wb));
            }
            warning("[Kernel] LSP Bridge not available for hover mode change");
            return py::none();
        }
        default:
            return py::none();
    }
}

EnvMessage env_message(Row row) {
    switch (row) {
        case ADD_PATH: return EnvMessage::AddPath;
        case REMOVE_PATH: return EnvMessage::RemovePath;
        case RESET_NAMESPACE: return EnvMessage::ResetNamespace;
        case RESET_PATH: return EnvMessage::ResetPath;
        case SET_PACKAGE_PATHS: return EnvMessage::SetPackagePaths;
        case SET_PYTHON_PATHS: return EnvMessage::SetPythonPaths;
        case UNLOAD_AND_CLEAR_PATHS: return EnvMessage::UnloadAndClearPaths;
        case UPDATE_MODULE: return EnvMessage::UpdateModule;
        default: return EnvMessage::DeleteModule;
    }
}

Task handle_message(py::object self, py::object message) {
    py::object msg_type = get(message, "type");
    py::object request_id = get(message, "request_id", S("N/A"));
    if (msg_type.equal(S("chunk"))) {
        py::object whole = co_await pyco::await(self.attr("_handle_chunk_message")(message));
        if (PyObject_IsTrue(whole.ptr()) == 1) co_await pyco::await(self.attr("handle_message")(whole));
        co_return py::none();
    }
    debug("[TIMING] Message received: type={}, request_id={}", msg_type, request_id);
    debug("[Kernel] [Listener Thread] Received message type: {}", msg_type);

    Row row = row_of(msg_type);
    switch (row) {
        case UNKNOWN:
            break;
        case EXECUTION_REQUEST:
            co_await pyco::await(pyco::make_coroutine(start_execution_request(self, message)));
            break;
        case ADD_PATH:
        case REMOVE_PATH:
        case RESET_NAMESPACE:
        case RESET_PATH:
        case SET_PACKAGE_PATHS:
        case SET_PYTHON_PATHS:
        case UNLOAD_AND_CLEAR_PATHS:
        case UPDATE_MODULE:
        case DELETE_MODULE:
            co_await pyco::await(handle_environment_message(self, env_message(row), message));
            break;
        case COMPLETION_REQUEST:
            co_await pyco::await(self.attr("_handle_completion_request")(message));
            break;
        case SIGNATURE_HELP_REQUEST:
            co_await pyco::await(self.attr("_handle_signature_help_request")(message));
            break;
        case HOVER_REQUEST:
            co_await pyco::await(self.attr("_handle_hover_request")(message));
            break;
        case DIAGNOSTIC_REQUEST:
            co_await pyco::await(self.attr("_handle_diagnostic_request")(message));
            break;
        case SHUTDOWN:
            co_await pyco::await(self.attr("disconnect")());
            break;
        case CUSTOM_FUNCTION_CALL:
            start_message_task(self, "_handle_custom_function_call",
                               "[Kernel] [Listener Thread] Dispatching custom_function_call to worker", message);
            break;
        case RUN_MODULE:
            start_message_task(self, "_handle_run_module", "[Kernel] [Listener Thread] Dispatching run_module to worker",
                               message);
            break;
        case EVENT_EXECUTION:
            start_message_task(self, "_handle_event_execution",
                               "[Kernel] [Listener Thread] Dispatching event_execution to worker", message);
            break;
        case PYTHON_FUNCTION_CALL:
            start_message_task(self, "_handle_python_function_call",
                               "[Kernel] [Listener Thread] Dispatching python_function_call to worker", message);
            break;
        case EXECUTE_STREAMING_FUNCTION:
            co_await pyco::await(pyco::make_coroutine(start_streaming_function(self, message)));
            break;
        case SYS_RESPONSE:
            handle_sys_response(self, message);
            break;
        default: {
            py::object reply = control_message(self, row, message);
            if (!reply.is_none()) co_await pyco::await(reply);
            if (row == DEBUG_STOP && !reply.is_none()) self.attr("_debugger") = py::none();
            break;
        }
    }
    co_return py::none();
}

}  // namespace

void add_dispatch_methods(pyco::ClassBuilder& cls) {
    cls.method(pyco::fn<handle_message>("handle_message", {"self", arg("message").type(Check::Dict)},
                                        "Route one inbound message by its type."));
}

}  // namespace kernel
