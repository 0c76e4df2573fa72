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
        d.attr("update")(result);
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

py::dict streaming_error(H request_id, H error, H workbook_id) {
    return make({{"type", S("streaming_function_result")},
                 {"request_id", request_id},
                 {"error", error},
                 {"done", Py_True},
                 {"workbook_id", workbook_id}});
}

}  // namespace kernel::msg
