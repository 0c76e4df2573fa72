// The synchronous request channel: a worker thread sends a sys_request and blocks until
// the event-loop thread stores the matching sys_response and wakes it.
#include "kernel/runs/invocation.hpp"

#include <vector>

namespace kernel {

namespace {

using pyco::arg;
using pyco::Check;

// A request's entries in the two tables: registered with the waiting event; removed however
// the wait ends (answered, timed out, interrupted, or any other exception leaving it).
class PendingRequest {
public:
    PendingRequest(py::object self, py::object request_id, const py::object& event)
        : self_(std::move(self)), request_id_(std::move(request_id)) {
        Locked lock(self_.attr(S("_response_lock")));
        self_.attr(S("_response_futures"))[request_id_] = event;
    }
    PendingRequest(const PendingRequest&) = delete;
    PendingRequest& operator=(const PendingRequest&) = delete;

    // The stored answer (None when there is none); both entries are removed.
    py::object take_response() {
        Locked lock(self_.attr(S("_response_lock")));
        py::object response = self_.attr(S("_response_data")).attr(S("pop"))(request_id_, py::none());
        self_.attr(S("_response_futures")).attr(S("pop"))(request_id_, py::none());
        return response;
    }

    // Removes both entries (the waiter's first). Called where an exception may be on its way
    // (not from a destructor: taking the lock may end this thread at interpreter exit, which
    // unwinds its stack); an Exception raised here is dropped, the one on its way goes on.
    void forget() {
        try {
            Locked lock(self_.attr(S("_response_lock")));
            self_.attr(S("_response_futures")).attr(S("pop"))(request_id_, py::none());
            self_.attr(S("_response_data")).attr(S("pop"))(request_id_, py::none());
        } catch (py::error_already_set& e) {
            if (!pyco::is_exception(e)) throw;
        }
    }

private:
    py::object self_, request_id_;
};

py::object send_sys_request(py::object self, py::object payload, py::object timeout) {
    py::object request_id = payload.attr(S("get"))(S("requestId"));
    py::object current = attr_of("threading", "current_thread")();
    py::object name = current.attr(S("name"));
    py::object loop_thread = g("vantrel").attr(S("messaging")).attr(S("loop_thread"));
    if (!loop_thread.is_none() && current.is(loop_thread)) {
        PyErr_SetString(PyExc_RuntimeError,
                        "send_sys_request must not be called from the async event loop thread to avoid deadlock");
        throw py::error_already_set();
    }
    debug("[Kernel] [Worker Thread {}] Sending sys_request: {}", name, request_id);
    py::object event = attr_of("threading", "Event")();
    PendingRequest pending(self, request_id, event);
    py::object answered;
    try {
        // The kernel owns this wait: an interrupt of the user code waiting here ends it at
        // once (one asked for already: before anything is sent).
        InterruptibleWait interruptible(event);
        attr_of("asyncio", "run_coroutine_threadsafe")(send(self, msg::sys_request(payload)),
                                                        self.attr(S("_loop")));
        debug("[Kernel] [Worker Thread {}] Waiting for sys_response: {}", name, request_id);
        answered = call_kw(event.attr(S("wait")), {}, {{"timeout", timeout}});
        interruptible.check();
    } PYCO_RETHROW_FORCED_UNWIND catch (...) {
        pending.forget();
        throw;
    }
    if (pyco::truthy(answered)) {
        debug("[Kernel] [Worker Thread {}] Received sys_response: {}", name, request_id);
        py::object response = pending.take_response();
        if (response.is_none()) {
            py::str text = pyco::fmt("sys_response data missing for request_id: {}", request_id);
            error("[Kernel] {}", text);
            PyErr_SetObject(PyExc_RuntimeError, text.ptr());
            throw py::error_already_set();
        }
        return response;
    }
    pending.forget();
    error("[Kernel] [Worker Thread {}] sys_request timeout: {}", name, request_id);
    py::object seconds = py::float_(PyFloat_AsDouble(timeout.ptr()));
    if (PyErr_Occurred()) throw py::error_already_set();
    py::str text = pyco::fmt("sys_request timeout after {}s: {}", seconds, request_id);
    PyErr_SetObject(PyExc_TimeoutError, text.ptr());
    throw py::error_already_set();
}

py::object new_send_request_sync(py::object self, py::object req, py::object timeout) {
    py::object rid = attr_of("uuid", "uuid4")().attr(S("hex"));
    py::dict payload = py::reinterpret_steal<py::dict>(PyDict_Copy(req.ptr()));
    if (!payload) throw py::error_already_set();
    payload["requestId"] = rid;
    payload["kind"] = S("request");
    return send_sys_request(self, payload, timeout);
}

// Payloads of sys_response messages that no worker waits for (unknown or late ids) are kept
// as they arrive, up to this many; beyond it the oldest are dropped.
constexpr Py_ssize_t kUnclaimedResponsesKept = 1024;

// Drops the oldest unclaimed payloads beyond the number kept; returns how many.
Py_ssize_t drop_unclaimed_responses(const py::object& data, const py::object& waiting) {
    py::list ids = py::list(data.attr(S("keys"))());
    std::vector<py::object> unclaimed;
    for (py::handle id : ids) {
        if (!has(waiting, id)) unclaimed.push_back(py::reinterpret_borrow<py::object>(id));
    }
    Py_ssize_t excess = static_cast<Py_ssize_t>(unclaimed.size()) - kUnclaimedResponsesKept;
    for (Py_ssize_t i = 0; i < excess; ++i) data.attr(S("pop"))(unclaimed[static_cast<size_t>(i)], py::none());
    return excess > 0 ? excess : 0;
}

}  // namespace

namespace handlers {

py::object sys_response(const py::object& self, const py::object& message) {
    py::object payload = field(message, "payload");
    if (!pyco::truthy(payload)) payload = message;
    if (!PyDict_Check(payload.ptr())) {
        // Answered by the receive loop's error reply; no worker is released by it.
        PyErr_Format(PyExc_TypeError, "sys_response payload must be an object, not %.200s", Py_TYPE(payload.ptr())->tp_name);
        throw py::error_already_set();
    }
    py::object request_id = field(payload, "requestId");
    debug("[Kernel] [Listener Thread] Received sys_response for request_id: {}, unblocking worker", request_id);
    if (!pyco::truthy(request_id)) {
        warning("[Kernel] Received sys_response without requestId");
        return py::none();
    }
    py::object event;
    Py_ssize_t dropped = 0;
    {
        // Held only for the table operations and the wake-up.
        Locked lock(self.attr(S("_response_lock")));
        py::object data = self.attr(S("_response_data"));
        data[request_id] = payload;
        py::object waiting = self.attr(S("_response_futures"));
        event = waiting.attr(S("get"))(request_id);
        if (!event.is_none()) {
            event.attr(S("set"))();
        } else if (PyObject_Length(data.ptr()) > kUnclaimedResponsesKept) {
            dropped = drop_unclaimed_responses(data, waiting);
        }
    }
    if (!event.is_none()) {
        debug("[Kernel] [Listener Thread] Worker unblocked for request_id: {}", request_id);
    } else {
        warning("[Kernel] Received sys_response for unknown request_id: {}", request_id);
        if (dropped > 0) {
            warning("[Kernel] Dropped {} unclaimed sys_response payloads (at most {} are kept)", dropped,
                    kUnclaimedResponsesKept);
        }
    }
    return py::none();
}

}  // namespace handlers

py::object make_request_sync(py::handle self) {
    pyco::Def def = pyco::fn<new_send_request_sync>(
                        "new_send_request_sync", {arg("req").type(Check::Dict), arg("timeout").def(py::float_(30.0))})
                        .annotated(annotations({{"timeout", builtin("float")}}));
    def.qualname = "PythonKernel.connect.<locals>.new_send_request_sync";
    def.closure = py::reinterpret_borrow<py::object>(self);
    return function(def);
}

}  // namespace kernel
