// The inbound message catalogue: every message type the kernel handles, how it runs, and
// the one function that handles it. Adding a type is one row in dispatcher.cpp and one
// function here.
#pragma once

#include "kernel/messages.hpp"

namespace kernel {

// How a message type is handled:
//  - Task: the handler returns a coroutine that runs as its own asyncio task (long work:
//    user code on the worker pool); the dispatcher returns at once;
//  - Inline: the handler does its work and returns an awaitable (or None) the dispatcher
//    awaits before it reads the next message (environment and module messages, language
//    services, shutdown, and the control messages: cancels, debugger commands, interrupts,
//    input and sys responses, which must act while a task's user code runs).
enum class Runs { Inline, Task };

// Methods the kernel calls through its own attributes, not directly in C++: each is a
// described method that another one is described to call, late bound as in the Python this
// replaces, so a test, the debugger companion or an integration may replace it on the
// instance or the class and be called:
//   listen -> handle_message -> _handle_chunk_message, handle_message (reassembled) and the
//     handlers of Task rows (_handle_custom_function_call, _handle_python_function_call,
//     _handle_event_execution, _handle_run_module, _execute_code_async,
//     _execute_streaming_function) and of the language rows (_handle_*_request), disconnect;
//   run -> connect, listen, disconnect;
//   send_message -> _send_message_direct -> _send_chunked_message; every reply goes through
//     send_message (send() below), the batcher through _flush_now and _send_message_direct;
//   workers -> _deserialize_args; _handle_run_module -> _handle_custom_function_call,
//     _handle_debug_run_module.
// Everything else is called directly.

using Handler = py::object (*)(const py::object& self, const py::object& message);

struct Route {
    const char* type;
    Runs runs;
    Handler handler;
};

// A task message whose fields cannot be handed to its coroutine: the reply to await
// instead of starting a task.
struct Rejected {
    py::object reply;
};

// message.get(key) / message.get(key, fallback)
py::object field(const py::object& message, const char* key);
py::object field(const py::object& message, const char* key, py::object fallback);

// self.send_message(message): the awaitable of one outgoing message (an attribute call
// that makes no bound method, so that nothing in an awaiting frame holds `self`). The
// outgoing side lives in transport/framing.cpp.
py::object send(py::handle self, py::dict message);

// Has the connection's transport write the frames of one turn of the loop together
// (transport/framing.cpp); a connection without an asyncio transport is left as it is.
void gather_writes(py::handle websocket);

// Input from the front end (runs/stdin.cpp). A task message with "allow_stdin": true is noted
// as it arrives, and forgotten when its user code ends (the key is (kernel, request_id)).
void note_stdin_request(py::handle self, const py::object& message);
void forget_stdin_request(py::handle key);
// input() and getpass.getpass() of the kernel, put in place by connect; disconnect puts
// Python's own back and ends the waits of `self`'s requests.
void install_input_hooks();
void remove_input_hooks(py::handle self);
// The (kernel, request_id) whose user code runs on the thread `ident`, or null (runs/interrupt.cpp).
py::object running_request_key(unsigned long ident);

namespace handlers {

// Code execution (runs/execution.cpp).
py::object execution_request(const py::object& self, const py::object& message);

// Environment and module messages (workbook/environment.cpp).
py::object add_path(const py::object& self, const py::object& message);
py::object remove_path(const py::object& self, const py::object& message);
py::object reset_namespace(const py::object& self, const py::object& message);
py::object reset_path(const py::object& self, const py::object& message);
py::object set_package_paths(const py::object& self, const py::object& message);
py::object set_python_paths(const py::object& self, const py::object& message);
py::object unload_and_clear_paths(const py::object& self, const py::object& message);
py::object update_module(const py::object& self, const py::object& message);
py::object delete_module(const py::object& self, const py::object& message);

// Synchronous requests (transport/sync.cpp).
py::object sys_response(const py::object& self, const py::object& message);

// Function invocation (runs/invocation.cpp, runs/streaming.cpp).
py::object custom_function_call(const py::object& self, const py::object& message);
py::object python_function_call(const py::object& self, const py::object& message);
py::object event_execution(const py::object& self, const py::object& message);
py::object execute_streaming_function(const py::object& self, const py::object& message);

// Interrupts of running user code (runs/interrupt.cpp).
py::object interrupt_request(const py::object& self, const py::object& message);

// Input answered by the front end (runs/stdin.cpp).
py::object input_reply(const py::object& self, const py::object& message);

// The object keeper (workbook/keeper.cpp).
py::object get_object_registry(const py::object& self, const py::object& message);

}  // namespace handlers

// Methods each translation unit adds to PythonKernel.
void add_framing_methods(pyco::ClassBuilder& cls);
void add_dispatch_methods(pyco::ClassBuilder& cls);
void add_execution_methods(pyco::ClassBuilder& cls);
void add_invocation_methods(pyco::ClassBuilder& cls);
void add_streaming_methods(pyco::ClassBuilder& cls);
void add_keeper_methods(pyco::ClassBuilder& cls);
void add_debug_methods(pyco::ClassBuilder& cls);
void add_language_methods(pyco::ClassBuilder& cls);

// The closures connect installs (transport/sync.cpp): new_send_request_sync over the kernel.
py::object make_request_sync(py::handle self);

}  // namespace kernel
