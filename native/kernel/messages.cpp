#include "kernel/messages.hpp"

namespace kernel::msg {

namespace {
// A dict with its keys in the given order.
py::dict make(std::initializer_list<std::pair<const char*, py::handle>> items) {
    py::dict d;
    for (const auto& [key, value] : items) {
        if (PyDict_SetItem(d.ptr(), pyco::intern(key), value.ptr()) < 0) throw py::error_already_set();
    }
    return d;
}
py::object n(Py_ssize_t v) { return py::int_(v); }
}  // namespace

py::dict error(H message) { return make({{"type", S("error")}, {"message", message}}); }

py::dict chunk(H chunk_id, Py_ssize_t chunk_index, Py_ssize_t total_chunks, H data, H original_type, H request_id) {
    return make({{"type", S("chunk")},
                 {"chunk_id", chunk_id},
                 {"chunk_index", n(chunk_index)},
                 {"total_chunks", n(total_chunks)},
                 {"data", data},
                 {"original_type", original_type},
                 {"request_id", request_id}});
}

py::dict batch(H messages) { return make({{"type", S("batch")}, {"messages", messages}}); }

py::dict stream(H stream_type, H content, H workbook_id) {
    return make({{"type", stream_type}, {"content", content}, {"workbook_id", workbook_id}});
}

py::dict sys_request(H payload) { return make({{"type", S("sys_request")}, {"payload", payload}}); }

py::dict win32_event_definitions(H definitions) {
    return make({{"type", S("win32_event_definitions")}, {"definitions", definitions}});
}

py::dict debug_resumed() { return make({{"type", S("debug_resumed")}}); }

py::dict debug_terminated(H workbook_id) {
    return make({{"type", S("debug_terminated")}, {"workbook_id", workbook_id}});
}

py::dict debug_evaluate_result(H workbook_id, H request_id, H expression, H result) {
    py::dict d = make({{"type", S("debug_evaluate_result")},
                       {"workbook_id", workbook_id},
                       {"request_id", request_id},
                       {"expression", expression}});
    if (result) {
        d.attr(S("update"))(result);
    } else {
        d["error"] = S("No active debug session");
    }
    return d;
}

py::dict object_registry_response(H objects, H workbook_id) {
    return make({{"type", S("object_registry_response")}, {"objects", objects}, {"workbook_id", workbook_id}});
}

py::dict hover_mode_updated(H mode, H workbook_id) {
    return make({{"type", S("hover_mode_updated")}, {"mode", mode}, {"workbook_id", workbook_id}});
}

py::dict path_added(H path, H current_paths) {
    return make({{"type", S("path_added")}, {"path", path}, {"current_paths", current_paths}});
}

py::dict path_removed(H path, H current_paths) {
    return make({{"type", S("path_removed")}, {"path", path}, {"current_paths", current_paths}});
}

py::dict namespace_reset() { return make({{"type", S("namespace_reset")}}); }

py::dict path_reset(H current_paths) { return make({{"type", S("path_reset")}, {"current_paths", current_paths}}); }

py::dict package_paths_updated(Py_ssize_t paths_added, Py_ssize_t modules_unloaded, H workbook_id) {
    return make({{"type", S("package_paths_updated")},
                 {"paths_added", n(paths_added)},
                 {"modules_unloaded", n(modules_unloaded)},
                 {"workbook_id", workbook_id}});
}

py::dict python_paths_updated(Py_ssize_t paths_added, H workbook_id) {
    return make({{"type", S("python_paths_updated")}, {"paths_added", n(paths_added)}, {"workbook_id", workbook_id}});
}

py::dict modules_unloaded(Py_ssize_t modules_unloaded, Py_ssize_t paths_cleared, H workbook_id) {
    return make({{"type", S("modules_unloaded")},
                 {"modules_unloaded", n(modules_unloaded)},
                 {"paths_cleared", n(paths_cleared)},
                 {"workbook_id", workbook_id}});
}

py::dict module_updated(H module_name) { return make({{"type", S("module_updated")}, {"module_name", module_name}}); }

py::dict module_deleted(H module_name) { return make({{"type", S("module_deleted")}, {"module_name", module_name}}); }

py::dict request_stream(H stream_type, H content, H request_id, H workbook_id, H source) {
    return make({{"type", stream_type},
                 {"content", content},
                 {"request_id", request_id},
                 {"workbook_id", workbook_id},
                 {"source", source}});
}

py::dict result_output(H content, H request_id, H workbook_id, H source) {
    return make({{"type", S("result_output")},
                 {"content", content},
                 {"request_id", request_id},
                 {"workbook_id", workbook_id},
                 {"source", source}});
}

py::dict execution_result(H result, H request_id, H function_name, H workbook_id, H source) {
    return make({{"type", S("execution_result")},
                 {"success", Py_True},
                 {"result", result},
                 {"request_id", request_id},
                 {"function_name", function_name},
                 {"workbook_id", workbook_id},
                 {"source", source}});
}

py::dict execution_error(H error, H request_id, H function_name, H workbook_id, H source) {
    return make({{"type", S("execution_error")},
                 {"success", Py_False},
                 {"error", error},
                 {"request_id", request_id},
                 {"function_name", function_name},
                 {"workbook_id", workbook_id},
                 {"source", source}});
}

py::dict execution_failure(H error, H request_id, H source) {
    return make({{"type", S("execution_error")},
                 {"success", Py_False},
                 {"error", error},
                 {"request_id", request_id},
                 {"source", source}});
}

py::dict error_object(H type_name, H message, H traceback) {
    return make({{"type", type_name}, {"message", message}, {"traceback", traceback}});
}

py::dict run_result() {
    return make({{"success", Py_True}, {"stdout", S("")}, {"stderr", S("")}, {"error", Py_None}, {"result", Py_None}});
}

py::dict call_result(H result, H logs, H request_id, H module_name, H function_name, H workbook_id, H source) {
    return make({{"type", S("execution_result")},
                 {"success", Py_True},
                 {"result", result},
                 {"logs", logs},
                 {"request_id", request_id},
                 {"module_name", module_name},
                 {"function_name", function_name},
                 {"workbook_id", workbook_id},
                 {"source", source}});
}

py::dict call_error(H error, H logs, H request_id, H module_name, H function_name, H workbook_id, H source) {
    return make({{"type", S("execution_error")},
                 {"success", Py_False},
                 {"error", error},
                 {"logs", logs},
                 {"request_id", request_id},
                 {"module_name", module_name},
                 {"function_name", function_name},
                 {"workbook_id", workbook_id},
                 {"source", source}});
}

py::dict call_failure(H error, H request_id, H module_name, H function_name, H workbook_id, H source) {
    return make({{"type", S("execution_error")},
                 {"success", Py_False},
                 {"error", error},
                 {"request_id", request_id},
                 {"module_name", module_name},
                 {"function_name", function_name},
                 {"workbook_id", workbook_id},
                 {"source", source}});
}

py::dict function_result_success(H request_id, H result, H logs) {
    return make({{"type", S("function_execution_result")},
                 {"request_id", request_id},
                 {"status", S("success")},
                 {"result", result},
                 {"logs", logs}});
}

py::dict function_result_error(H request_id, H logs, H error) {
    return make({{"type", S("function_execution_result")},
                 {"request_id", request_id},
                 {"status", S("error")},
                 {"result", Py_None},
                 {"logs", logs},
                 {"error", error}});
}

py::dict function_result_failure(H request_id, H error) {
    return make({{"type", S("function_execution_result")},
                 {"request_id", request_id},
                 {"status", S("error")},
                 {"error", error}});
}

py::dict callable_result_output(H content, H request_id, H workbook_id) {
    return make({{"type", S("result_output")},
                 {"content", content},
                 {"request_id", request_id},
                 {"workbook_id", workbook_id}});
}

py::dict callable_result(H result, H logs, H request_id, H workbook_id) {
    return make({{"type", S("python_function_result")},
                 {"success", Py_True},
                 {"result", result},
                 {"logs", logs},
                 {"request_id", request_id},
                 {"workbook_id", workbook_id}});
}

py::dict callable_error(H error, H logs, H request_id, H workbook_id) {
    return make({{"type", S("python_function_result")},
                 {"success", Py_False},
                 {"error", error},
                 {"logs", logs},
                 {"request_id", request_id},
                 {"workbook_id", workbook_id}});
}

py::dict callable_failure(H error, H request_id, H workbook_id) {
    return make({{"type", S("python_function_result")},
                 {"success", Py_False},
                 {"error", error},
                 {"request_id", request_id},
                 {"workbook_id", workbook_id}});
}

py::dict event_result(H status, H logs, H error, H request_id, H module_name, H function_name, H workbook_id) {
    return make({{"type", S("event_execution_result")},
                 {"status", status},
                 {"logs", logs},
                 {"error", error},
                 {"request_id", request_id},
                 {"module_name", module_name},
                 {"function_name", function_name},
                 {"workbook_id", workbook_id}});
}

py::dict com_ok(H return_value) { return make({{"status", S("ok")}, {"return_value", return_value}}); }

py::dict com_nok() { return make({{"status", S("nok")}}); }

py::dict request_module_sync(H module_name, H workbook_id) {
    return make({{"type", S("request_module_sync")}, {"module_name", module_name}, {"workbook_id", workbook_id}});
}

py::dict streaming_value(H request_id, H result, H workbook_id) {
    return make({{"type", S("streaming_function_result")},
                 {"request_id", request_id},
                 {"result", result},
                 {"done", Py_False},
                 {"workbook_id", workbook_id}});
}

py::dict streaming_canceled(H request_id, H workbook_id) {
    return make({{"type", S("streaming_function_result")},
                 {"request_id", request_id},
                 {"result", S("Canceled")},
                 {"done", Py_True},
                 {"workbook_id", workbook_id}});
}

py::dict streaming_done(H request_id, H workbook_id) {
    return make({{"type", S("streaming_function_result")},
                 {"request_id", request_id},
                 {"done", Py_True},
                 {"workbook_id", workbook_id}});
}

py::dict run_module_call(H module_name, H function_name, H args, H request_id, H workbook_id, H source) {
    return make({{"type", S("custom_function_call")},
                 {"module_name", module_name},
                 {"function_name", function_name},
                 {"args", args},
                 {"request_id", request_id},
                 {"workbook_id", workbook_id},
                 {"source", source}});
}

py::dict debug_run_terminated(H request_id, H workbook_id) {
    return make({{"type", S("debug_terminated")}, {"request_id", request_id}, {"workbook_id", workbook_id}});
}

py::dict debug_run_error(H error, H request_id, H workbook_id, H source) {
    return make({{"type", S("execution_error")},
                 {"success", Py_False},
                 {"error", error},
                 {"request_id", request_id},
                 {"workbook_id", workbook_id},
                 {"source", source}});
}

py::dict debug_exception(H workbook_id, H module, H line, H file, H exception_type, H exception_message,
                         H exception_traceback) {
    return make({{"type", S("debug_exception")},
                 {"workbook_id", workbook_id},
                 {"module", module},
                 {"line", line},
                 {"file", file},
                 {"exception_type", exception_type},
                 {"exception_message", exception_message},
                 {"exception_traceback", exception_traceback},
                 {"locals", py::list()},
                 {"globals", py::list()},
                 {"call_stack", py::list()}});
}

py::dict debug_worker_error(H type_name, H message, H traceback, bool debug_exception_sent) {
    return make({{"status", S("error")},
                 {"type", type_name},
                 {"message", message},
                 {"traceback", traceback},
                 {"debug_exception_sent", debug_exception_sent ? Py_True : Py_False}});
}

py::dict completion_response(H completions, H error, H request_id, H workbook_id, H module_name) {
    return make({{"type", S("completion_response")},
                 {"completions", completions},
                 {"error", error},
                 {"request_id", request_id},
                 {"workbook_id", workbook_id},
                 {"module_name", module_name}});
}

py::dict signature_help_response(H signatures, H active_signature, H active_parameter, H error, H request_id,
                                 H workbook_id, H module_name) {
    return make({{"type", S("signature_help_response")},
                 {"signatures", signatures},
                 {"activeSignature", active_signature},
                 {"activeParameter", active_parameter},
                 {"error", error},
                 {"request_id", request_id},
                 {"workbook_id", workbook_id},
                 {"module_name", module_name}});
}

py::dict hover_response(H contents, H error, H request_id, H workbook_id, H module_name) {
    return make({{"type", S("hover_response")},
                 {"contents", contents},
                 {"error", error},
                 {"request_id", request_id},
                 {"workbook_id", workbook_id},
                 {"module_name", module_name}});
}

py::dict diagnostic_response(H diagnostics, H error, H request_id, H workbook_id, H module_name) {
    return make({{"type", S("diagnostic_response")},
                 {"diagnostics", diagnostics},
                 {"error", error},
                 {"request_id", request_id},
                 {"workbook_id", workbook_id},
                 {"module_name", module_name}});
}

py::dict object_updated(H key, H object_type, H repr, H workbook_id) {
    return make({{"type", S("object_registry_update")},
                 {"action", S("update")},
                 {"key", key},
                 {"object_type", object_type},
                 {"repr", repr},
                 {"workbook_id", workbook_id}});
}

py::dict object_deleted(H key, H workbook_id) {
    return make({{"type", S("object_registry_update")},
                 {"action", S("delete")},
                 {"key", key},
                 {"workbook_id", workbook_id}});
}

py::dict objects_cleared(H workbook_id) {
    return make({{"type", S("object_registry_update")}, {"action", S("clear_all")}, {"workbook_id", workbook_id}});
}

py::dict registry_entry(H key, H type_name, H repr) {
    return make({{"key", key}, {"type", type_name}, {"repr", repr}});
}

py::dict set_enable_events(bool enable, H workbook_id) {
    return make({{"type", S("set_enable_events")},
                 {"enable", enable ? Py_True : Py_False},
                 {"workbook_id", workbook_id}});
}

py::dict show_message_box(H message, H title, H msg_type, H workbook_id) {
    return make({{"type", S("show_message_box")},
                 {"message", message},
                 {"title", title},
                 {"msg_type", msg_type},
                 {"workbook_id", workbook_id}});
}

py::dict streaming_error(H request_id, H error, H workbook_id) {
    return make({{"type", S("streaming_function_result")},
                 {"request_id", request_id},
                 {"error", error},
                 {"done", Py_True},
                 {"workbook_id", workbook_id}});
}

py::dict interrupt_reply(H request_id, bool interrupted, H workbook_id) {
    return make({{"type", S("interrupt_reply")},
                 {"request_id", request_id},
                 {"interrupted", interrupted ? Py_True : Py_False},
                 {"workbook_id", workbook_id}});
}

py::dict input_request(H request_id, H prompt, bool password, H workbook_id) {
    return make({{"type", S("input_request")},
                 {"request_id", request_id},
                 {"prompt", prompt},
                 {"password", password ? Py_True : Py_False},
                 {"workbook_id", workbook_id}});
}

}  // namespace kernel::msg
