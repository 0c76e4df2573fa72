// Every message shape the kernel sends, one builder each; keys in the order the Business
// Layer expects them.
#pragma once

#include "kernel/kernel.hpp"

namespace kernel::msg {

using H = py::handle;

// Generic replies and framing.
py::dict error(H message);
py::dict chunk(H chunk_id, Py_ssize_t chunk_index, Py_ssize_t total_chunks, H data, H original_type, H request_id);
py::dict batch(H messages);

// Synchronous requests and process output.
py::dict stream(H stream_type, H content, H workbook_id);
py::dict sys_request(H payload);
py::dict win32_event_definitions(H definitions);

// Control replies of the dispatcher.
py::dict debug_resumed();
py::dict debug_terminated(H workbook_id);
py::dict debug_evaluate_result(H workbook_id, H request_id, H expression, H result /* null: no debugger */);
py::dict object_registry_response(H objects, H workbook_id);
py::dict hover_mode_updated(H mode, H workbook_id);

// Environment and module messages.
py::dict path_added(H path, H current_paths);
py::dict path_removed(H path, H current_paths);
py::dict namespace_reset();
py::dict path_reset(H current_paths);
py::dict package_paths_updated(Py_ssize_t paths_added, Py_ssize_t modules_unloaded, H workbook_id);
py::dict python_paths_updated(Py_ssize_t paths_added, H workbook_id);
py::dict modules_unloaded(Py_ssize_t modules_unloaded, Py_ssize_t paths_cleared, H workbook_id);
py::dict module_updated(H module_name);
py::dict module_deleted(H module_name);

// Execution requests.
py::dict request_stream(H stream_type, H content, H request_id, H workbook_id, H source);
py::dict result_output(H content, H request_id, H workbook_id, H source);
py::dict execution_result(H result, H request_id, H function_name, H workbook_id, H source);
py::dict execution_error(H error, H request_id, H function_name, H workbook_id, H source);
py::dict execution_failure(H error, H request_id, H source);
py::dict error_object(H type_name, H message, H traceback);
// The execution result of a console run, with its initial values.
py::dict run_result();

// Streaming functions.
py::dict streaming_error(H request_id, H error, H workbook_id);

}  // namespace kernel::msg
