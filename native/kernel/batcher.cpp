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
    return py::none();
}

Task start(py::object self) {
    self.attr(S("_running")) = py::bool_(true);
    self.attr(S("_flush_task")) = attr_of("asyncio", "create_task")(self.attr(S("_flush_loop"))());
    co_return py::none();
}

Task flush_loop(py::object self) {
    while (pyco::truthy(py::object(self.attr(S("_running"))))) {
        co_await pyco::await(attr_of("asyncio", "sleep")(self.attr(S("FLUSH_INTERVAL"))));
        co_await pyco::await(self.attr(S("_flush_now"))());
    }
    co_return py::none();
}

Task enqueue(py::object self, py::object message) {
    co_await pyco::await(self.attr(S("_queue")).attr(S("put"))(message));
    co_return py::none();
}

Task flush_now(py::object self) {
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

Task stop(py::object self) {
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
    co_await pyco::await(self.attr(S("_flush_now"))());
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
