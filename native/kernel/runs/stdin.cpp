// Input from the front end. A request may carry "allow_stdin": true (a front end that can
// answer, such as the console); while its user code runs, input() and getpass.getpass()
// on its worker send {"type": "input_request", "request_id", "prompt", "password"} and wait
// for {"type": "input_reply", "request_id", "value"}: a str is the line read, null the end
// of input (EOFError in user code). The wait is the kernel's own: an interrupt of the
// request ends it at once (KeyboardInterrupt), and so does the end of the connection
// (EOFError). Without allow_stdin (the product's server) input() raises EOFError saying
// that the request's front end cannot answer input. Threads that run no request's user
// code (the kernel's own, threads user code started) keep Python's own input().
//
// connect puts the kernel's input and getpass into builtins and the getpass module;
// disconnect puts back what was there.
#include "kernel/runs/invocation.hpp"

#include <pythread.h>

namespace kernel {

using pyco::arg;

namespace {

// (kernel, request_id) of the requests whose front end answers input, oldest first; an
// entry goes when the request's user code ends, and the table keeps at most this many.
constexpr Py_ssize_t kStdinRequestsKept = 1024;
PyObject* stdin_requests = nullptr;  // dict used as an ordered set
// (kernel, request_id) -> [threading.Event, answer] of a worker waiting for input_reply.
PyObject* waiting = nullptr;
// What connect replaced: (builtins.input, getpass.getpass), or null while not installed.
PyObject* replaced = nullptr;
// The answer slot's value while no answer has come.
PyObject* no_answer = nullptr;

void ensure_tables() {
    if (stdin_requests) return;
    stdin_requests = PyDict_New();
    waiting = PyDict_New();
    no_answer = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    if (!stdin_requests || !waiting || !no_answer) throw py::error_already_set();
}

[[noreturn]] void raise_eof(const py::str& text) {
    PyErr_SetObject(PyExc_EOFError, text.ptr());
    throw py::error_already_set();
}

// The input of the request whose user code runs on this thread: its line, or EOFError.
py::object ask_front_end(const py::object& key, const py::object& prompt, bool password) {
    py::object kernel = key[py::int_(0)];
    py::object request_id = key[py::int_(1)];
    if (PyDict_Contains(stdin_requests, key.ptr()) != 1) {
        PyErr_Clear();
        raise_eof(pyco::fmt("input(): the front end of request {} cannot answer input (the request did not "
                            "carry \"allow_stdin\": true)", request_id));
    }
    // What was printed before the question goes out first, as input() flushes stdout.
    py::object out = attr_of("sys", "stdout");
    if (!out.is_none()) {
        try {
            out.attr(S("flush"))();
        } catch (py::error_already_set& e) {
            if (!pyco::is_exception(e)) throw;
        }
    }
    py::object event = attr_of("threading", "Event")();
    py::list slot;
    slot.append(event);
    slot.append(py::handle(no_answer));
    if (PyDict_SetItem(waiting, key.ptr(), slot.ptr()) < 0) throw py::error_already_set();
    struct Forget {
        PyObject* key;
        ~Forget() {
            if (pyco::unwinding_at_exit()) return;
            PyObject *t, *v, *tb;
            PyErr_Fetch(&t, &v, &tb);
            if (PyDict_DelItem(waiting, key) < 0) PyErr_Clear();
            PyErr_Restore(t, v, tb);
        }
    } forget{key.ptr()};
    py::str text = PyUnicode_Check(prompt.ptr()) ? py::reinterpret_borrow<py::str>(prompt) : py::str(prompt);
    debug("[Kernel] [Worker Thread {}] Waiting for input_reply: {}", current_thread_name(), request_id);
    {
        InterruptibleWait interruptible(event);
        attr_of("asyncio", "run_coroutine_threadsafe")(
            send(kernel, msg::input_request(request_id, text, password, kernel.attr(S("workbook_id")))),
            kernel.attr(S("_loop")));
        event.attr(S("wait"))();
        interruptible.check();
    }
    py::object answer = slot[1];
    if (answer.ptr() == no_answer || answer.is_none()) raise_eof(py::str("EOF when reading a line"));
    return answer;
}

// The (kernel, request_id) whose user code runs on this thread, or null.
py::object request_of_this_thread() { return running_request_key(PyThread_get_thread_ident()); }

py::object kernel_input(py::object prompt) {
    py::object key = request_of_this_thread();
    if (!key) return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(replaced, 0))(prompt);
    return ask_front_end(key, prompt, false);
}

py::object kernel_getpass(py::object prompt, py::object stream) {
    py::object key = request_of_this_thread();
    if (!key) return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(replaced, 1))(prompt, stream);
    return ask_front_end(key, prompt, true);
}

}  // namespace

void note_stdin_request(py::handle self, const py::object& message) {
    if (!PyDict_Check(message.ptr())) return;
    PyObject* allow = PyDict_GetItemString(message.ptr(), "allow_stdin");
    if (allow != Py_True) return;
    py::object request_id = field(message, "request_id");
    if (request_id.is_none() || PyObject_Hash(request_id.ptr()) == -1) {
        PyErr_Clear();
        return;
    }
    ensure_tables();
    py::tuple key = py::make_tuple(self, request_id);
    if (PyDict_SetItem(stdin_requests, key.ptr(), Py_None) < 0) throw py::error_already_set();
    while (PyDict_GET_SIZE(stdin_requests) > kStdinRequestsKept) {
        Py_ssize_t pos = 0;
        PyObject *oldest, *value;
        if (!PyDict_Next(stdin_requests, &pos, &oldest, &value)) break;
        py::object gone = py::reinterpret_borrow<py::object>(oldest);
        if (PyDict_DelItem(stdin_requests, gone.ptr()) < 0) throw py::error_already_set();
    }
}

void forget_stdin_request(py::handle key) {
    if (!stdin_requests) return;
    if (PyDict_DelItem(stdin_requests, key.ptr()) < 0) PyErr_Clear();
}

void install_input_hooks() {
    ensure_tables();
    if (replaced) return;
    py::object builtins = py::module_::import("builtins");
    py::object getpass = py::module_::import("getpass");
    replaced = py::make_tuple(builtins.attr(S("input")), getpass.attr(S("getpass"))).release().ptr();
    builtins.attr(S("input")) = function(pyco::fn<kernel_input>(
        "input", {arg("prompt").def(S(""))}, "Read a line: from the front end of the request that runs this code."));
    getpass.attr(S("getpass")) = function(pyco::fn<kernel_getpass>(
        "getpass", {arg("prompt").def(S("Password: ")), arg("stream").def_none()},
        "Read a password without echo: from the front end of the request that runs this code."));
}

void remove_input_hooks(py::handle self) {
    if (!replaced) return;
    py::object saved = py::reinterpret_steal<py::object>(replaced);
    replaced = nullptr;
    py::module_::import("builtins").attr(S("input")) = saved[py::int_(0)];
    py::module_::import("getpass").attr(S("getpass")) = saved[py::int_(1)];
    // The waits of this kernel's requests end: nobody will answer them now.
    py::list items = py::reinterpret_borrow<py::dict>(waiting).attr(S("items"))();
    for (py::handle item : items) {
        py::object key = item[py::int_(0)];
        if (py::object(key[py::int_(0)]).ptr() != self.ptr()) continue;
        py::object slot = item[py::int_(1)];
        slot[py::int_(1)] = py::none();
        slot[py::int_(0)].attr(S("set"))();
    }
}

namespace handlers {

py::object input_reply(const py::object& self, const py::object& message) {
    py::object request_id = field(message, "request_id");
    py::object value = field(message, "value");
    if (!value.is_none() && !PyUnicode_Check(value.ptr())) {
        warning("[Kernel] Ignored input_reply for request_id {}: value of type {} (a str or null is expected)",
                request_id, py::type::of(value).attr(S("__name__")));
        return send(self, msg::error(pyco::fmt("input_reply: value must be a string or null, not {}",
                                               py::type::of(value).attr(S("__name__")))));
    }
    PyObject* slot = nullptr;
    if (waiting && PyObject_Hash(request_id.ptr()) != -1) {
        py::tuple key = py::make_tuple(self, request_id);
        slot = PyDict_GetItemWithError(waiting, key.ptr());
        if (!slot && PyErr_Occurred()) throw py::error_already_set();
    }
    PyErr_Clear();
    if (!slot) {
        warning("[Kernel] Received input_reply for request_id {}, which is not waiting for input", request_id);
        return send(self, msg::error(pyco::fmt("input_reply: request {} is not waiting for input", request_id)));
    }
    py::object answer = py::reinterpret_borrow<py::object>(slot);
    debug("[Kernel] [Listener Thread] input_reply for request_id: {}", request_id);
    answer[py::int_(1)] = value;
    answer[py::int_(0)].attr(S("set"))();
    return py::none();
}

}  // namespace handlers

}  // namespace kernel
