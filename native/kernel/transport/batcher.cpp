// MessageBatcher: collects outgoing messages for a short interval and sends them as one
// "batch" message (a single message goes out unwrapped).
#include "kernel/messages.hpp"

namespace kernel {

namespace {

using pyco::arg;
using pyco::Check;
using pyco::Task;

py::object batcher_init(py::object self, py::object kernel) {
    self.attr(S("_kernel")) = kernel;
    self.attr(S("_queue")) = attr_of("asyncio", "Queue")();
    self.attr(S("_flush_task")) = py::none();
    self.attr(S("_running")) = py::bool_(false);
    // Set by enqueue: the flush loop sleeps until there is something to flush.
    self.attr(S("_wake")) = attr_of("asyncio", "Event")();
    return py::none();
}

Task start(py::handle self) {
    self.attr(S("_running")) = py::bool_(true);
    self.attr(S("_flush_task")) = attr_of("asyncio", "create_task")(self.attr(S("_flush_loop"))());
    co_return py::none();
}

// self._wake.wait() after clearing the event, or null when something is queued already.
// (Made here so that no reference to the event outlives the call in the awaiting frame,
// where the collector would not see it.)
py::object wait_for_wake(py::handle self) {
    py::object wake = self.attr(S("_wake"));
    wake.attr(S("clear"))();
    if (!pyco::truthy(self.attr(S("_queue")).attr(S("empty"))())) return py::object();
    return wake.attr(S("wait"))();
}

// An interval starts when something is queued, not on a timer: an idle kernel's loop
// waits without waking up.
Task flush_loop(py::handle self) {
    while (pyco::truthy(py::object(self.attr(S("_running"))))) {
        py::object waiting = wait_for_wake(self);
        if (waiting) co_await pyco::await(std::move(waiting));
        co_await pyco::await(attr_of("asyncio", "sleep")(self.attr(S("FLUSH_INTERVAL"))));
        co_await pyco::await(pyco::call_method(self, "_flush_now"));
    }
    co_return py::none();
}

Task enqueue(py::handle self, py::object message) {
    co_await pyco::await(self.attr(S("_queue")).attr(S("put"))(message));
    self.attr(S("_wake")).attr(S("set"))();
    co_return py::none();
}

Task flush_now(py::handle self) {
    py::object queue = self.attr(S("_queue"));
    py::object queue_empty = attr_of("asyncio", "QueueEmpty");
    py::list items;
    while (!pyco::truthy(queue.attr(S("empty"))())) {
        try {
            items.append(queue.attr(S("get_nowait"))());
        } catch (py::error_already_set& e) {
            if (!e.matches(queue_empty.ptr())) throw;
            break;
        }
    }
    Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    if (n == 0) co_return py::none();
    py::object send = self.attr(S("_kernel")).attr(S("_send_message_direct"));
    if (n == 1) {
        co_await pyco::await(send(items[0]));
    } else {
        co_await pyco::await(send(msg::batch(items)));
    }
    co_return py::none();
}

Task stop(py::handle self) {
    self.attr(S("_running")) = py::bool_(false);
    py::object task = self.attr(S("_flush_task"));
    if (!task.is_none()) {
        task.attr(S("cancel"))();
        py::object ended = co_await pyco::await_nothrow(task);
        if (!ended) {
            pyco::SavedError err;
            err.fetch();
            if (err.matches(attr_of("asyncio", "CancelledError").ptr())) {
                // the loop was cancelled, as asked
            } else if (err.matches(PyExc_Exception)) {
                // A flush that failed earlier ended the loop; what is queued still goes out below.
                error("[Kernel] Message batcher flush task failed: {}", py::handle(err.value));
            } else {
                err.restore();
                pyco::throw_error();
            }
        }
    }
    co_await pyco::await(pyco::call_method(self, "_flush_now"));
    co_return py::none();
}

}  // namespace

void define_batcher_class(py::module_ m) {
    m.attr(S("MessageBatcher")) =
        pyco::ClassBuilder("MessageBatcher", module_name(), py::tuple(),
                           "Collects outgoing messages for a short interval and sends them together.")
            .attr("FLUSH_INTERVAL", py::float_(0.01))
            .method(pyco::fn<batcher_init>("__init__", {"self", "kernel"})
                        .annotated(annotations({{"kernel", py::str("PythonKernel")}})))
            .method(pyco::fn<start>("start", {"self"}, "Start the background flush loop."))
            .method(pyco::fn<stop>("stop", {"self"}, "Stop the batcher and flush remaining messages."))
            .method(pyco::fn<enqueue>("enqueue", {"self", arg("message").type(Check::Dict)},
                                      "Add a message to the batch queue."))
            .method(pyco::fn<flush_loop>("_flush_loop", {"self"}, "Background loop that flushes batches periodically."))
            .method(pyco::fn<flush_now>("_flush_now", {"self"}, "Flush all queued messages as a batch."))
            .build();
}

}  // namespace kernel
