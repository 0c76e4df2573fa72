// Every message shape the kernel sends, one builder each; keys in the order the Business
// Layer expects them.
#pragma once

#include "kernel/support.hpp"

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

// Custom function calls (and IDE runs).
py::dict call_result(H result, H logs, H request_id, H module_name, H function_name, H workbook_id, H source);
py::dict call_error(H error, H logs, H request_id, H module_name, H function_name, H workbook_id, H source);
py::dict call_failure(H error, H request_id, H module_name, H function_name, H workbook_id, H source);
py::dict function_result_success(H request_id, H result, H logs);
py::dict function_result_error(H request_id, H logs, H error);
py::dict function_result_failure(H request_id, H error);

// Python callable calls.
py::dict callable_result_output(H content, H request_id, H workbook_id);
py::dict callable_result(H result, H logs, H request_id, H workbook_id);
py::dict callable_error(H error, H logs, H request_id, H workbook_id);
py::dict callable_failure(H error, H request_id, H workbook_id);

// Event handlers.
py::dict event_result(H status, H logs, H error, H request_id, H module_name, H function_name, H workbook_id);
py::dict com_ok(H return_value);
py::dict com_nok();

// Streaming functions.
py::dict request_module_sync(H module_name, H workbook_id);
py::dict streaming_value(H request_id, H result, H workbook_id);
py::dict streaming_canceled(H request_id, H workbook_id);
py::dict streaming_done(H request_id, H workbook_id);
py::dict streaming_error(H request_id, H error, H workbook_id);

// Run-module and debug runs.
py::dict run_module_call(H module_name, H function_name, H args, H request_id, H workbook_id, H source);
py::dict debug_run_terminated(H request_id, H workbook_id);
py::dict debug_run_error(H error, H request_id, H workbook_id, H source);
py::dict debug_exception(H workbook_id, H module, H line, H file, H exception_type, H exception_message,
                         H exception_traceback);
// The error object of a debug run whose exception could not be reported as debug_exception.
py::dict debug_worker_error(H type_name, H message, H traceback, bool debug_exception_sent);

// Language services.
py::dict completion_response(H completions, H error, H request_id, H workbook_id, H module_name);
py::dict signature_help_response(H signatures, H active_signature, H active_parameter, H error, H request_id,
                                 H workbook_id, H module_name);
py::dict hover_response(H contents, H error, H request_id, H workbook_id, H module_name);
py::dict diagnostic_response(H diagnostics, H error, H request_id, H workbook_id, H module_name);

// Object keeper and add-in UI requests.
py::dict object_updated(H key, H object_type, H repr, H workbook_id);
py::dict object_deleted(H key, H workbook_id);
py::dict objects_cleared(H workbook_id);
py::dict registry_entry(H key, H type_name, H repr);
py::dict set_enable_events(bool enable, H workbook_id);
py::dict show_message_box(H message, H title, H msg_type, H workbook_id);

// Interrupts.
py::dict interrupt_reply(H request_id, bool interrupted, H workbook_id);

// Input asked of the front end (input() and getpass.getpass() in user code).
py::dict input_request(H request_id, H prompt, bool password, H workbook_id);

}  // namespace kernel::msg
