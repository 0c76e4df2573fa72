// MessageBatcher: collects outgoing messages for a short interval and sends them as one
// "batch" message (a single message goes out unwrapped).
#include "kernel/messages.hpp"

namespace kernel {

namespace {

using pyco::arg;
using pyco::Check;
using pyco::Task;

py::object batcher_init(py::object self, py::object kernel) {
    self.attr("_kernel") = kernel;
    self.attr("_queue") = attr_of("asyncio", "Queue")();
    self.attr("_flush_task") = py::none();
    self.attr("_running") = py::bool_(false);
    return py::none();
}

Task start(py::object self) {
    self.attr("_running") = py::bool_(true);
    self.attr("_flush_task") = attr_of("asyncio", "create_task")(self.attr("_flush_loop")());
    co_return py::none();
}

Task flush_loop(py::object self) {
    while (PyObject_IsTrue(py::object(self.attr("_running")).ptr()) == 1) {
        co_await pyco::await(attr_of("asyncio", "sleep")(self.attr("FLUSH_INTERVAL")));
        co_await pyco::await(self.attr("_flush_now")());
    }
    co_return py::none();
}

Task enqueue(py::object self, py::object message) {
    co_await pyco::await(self.attr("_queue").attr("put")(message));
    co_return py::none();
}

Task flush_now(py::object self) {
    py::object queue = self.attr("_queue");
    py::object queue_empty = attr_of("asyncio", "QueueEmpty");
    py::list items;
    while (PyObject_IsTrue(queue.attr("empty")().ptr()) == 0) {
        try {
            items.append(queue.attr("get_nowait")());
        } catch (py::error_already_set& e) {
            if (!e.matches(queue_empty.ptr())) throw;
            break;
        }
    }
    Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    if (n == 0) co_return py::none();
    py::object send = self.attr("_kernel").attr("_send_message_direct");
    if (n == 1) {
        co_await pyco::await(send(items[0]));
    } else {
        co_await pyco::await(send(msg::batch(items)));
    }
    co_return py::none();
}

Task stop(py::object self) {
    self.attr("_running") = py::bool_(false);
    py::object task = self.attr("_flush_task");
    if (!task.is_none()) {
        task.attr("cancel")();
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
    co_await pyco::await(self.attr("_flush_now")());
    co_return py::none();
}

}  // namespace

void define_batcher_class(py::module_ m) {
    m.attr("MessageBatcher") =
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
