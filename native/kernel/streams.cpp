// StreamCapture (the per-call capture of a run's output), KernelStreamHook (the
// process-wide stream while the kernel is connected) and the routing that keeps
// overlapping calls' output apart.
//
// Calls overlap: up to WORKER_POOL_SIZE runs redirect the process-wide sys.stdout and
// sys.stderr at once. Each run registers its pair of captures for its own thread; while
// any run is active sys.stdout/sys.stderr are the captures of the most recently started
// one (what a plain redirect would leave), and a write made by a thread that has a run
// of its own is routed to that run's capture. Threads without a run of their own (threads
// started by user code, companions) write where sys.stdout points. When the last run
// ends, the streams found before the first one come back, unless somebody else replaced
// sys.stdout/sys.stderr in the meantime.
#include "kernel/kernel.hpp"

#include <pythread.h>

namespace kernel {

namespace {

using pyco::arg;
using pyco::Check;

// Routing state, in Python containers (never freed: it lives as long as the process).
struct Routing {
    PyObject* by_thread;  // dict: thread ident -> list of active (out, err) pairs, innermost last
    PyObject* order;      // list of active (out, err) pairs, in start order
    PyObject* saved;      // (stdout, stderr) found when the first run started, or null
    // capture -> False (stdout) / True (stderr), for the captures of active runs and of
    // the most recently ended ones. It also keeps the ended ones alive for a while:
    // print() holds sys.stdout only as a borrowed reference between its writes, so a
    // capture must outlive its run by more than a thread switch.
    PyObject* kinds;
    PyObject* retained;  // list of recently replaced process streams, kept alive likewise
};
Routing routing{nullptr, nullptr, nullptr, nullptr, nullptr};

// Ended runs' captures kept alive (and routable) besides the active ones.
constexpr Py_ssize_t kEndedCapturesKept = 32;
constexpr Py_ssize_t kStreamsKept = 8;

void ensure_routing() {
    if (routing.by_thread) return;
    routing.by_thread = PyDict_New();
    routing.order = PyList_New(0);
    routing.kinds = PyDict_New();
    routing.retained = PyList_New(0);
    if (!routing.by_thread || !routing.order || !routing.kinds || !routing.retained) throw py::error_already_set();
}

py::object sys_stream(const char* name) {
    PyObject* s = PySys_GetObject(name);  // borrowed
    return py::reinterpret_borrow<py::object>(s ? s : Py_None);
}

void set_sys_stream(const char* name, py::handle value) {
    if (PySys_SetObject(name, value.ptr()) < 0) throw py::error_already_set();
}

bool is_active(PyObject* capture) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(routing.order); ++i) {
        PyObject* pair = PyList_GET_ITEM(routing.order, i);
        if (capture == PyTuple_GET_ITEM(pair, 0) || capture == PyTuple_GET_ITEM(pair, 1)) return true;
    }
    return false;
}

// Forgets the oldest ended captures beyond the number kept.
void prune_kinds() {
    Py_ssize_t limit = 2 * PyList_GET_SIZE(routing.order) + 2 * kEndedCapturesKept;
    if (PyDict_GET_SIZE(routing.kinds) <= limit) return;
    py::list keys = py::reinterpret_steal<py::list>(PyDict_Keys(routing.kinds));
    Py_ssize_t excess = PyDict_GET_SIZE(routing.kinds) - limit;
    for (py::handle key : keys) {
        if (excess <= 0) break;
        if (is_active(key.ptr())) continue;
        if (PyDict_DelItem(routing.kinds, key.ptr()) < 0) throw py::error_already_set();
        --excess;
    }
}

// The capture a write to `self` by the current thread belongs in: the thread's own run's
// capture of the same kind; for a thread without a run, `self` while its run is active,
// otherwise where the process stream points now (an ended run's capture is not read
// any more, so text written to it late would be lost).
PyObject* route(PyObject* self) {
    if (!routing.kinds) return self;
    PyObject* kind = PyDict_GetItemWithError(routing.kinds, self);
    if (!kind) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return self;  // a capture used on its own, outside any run
    }
    Py_ssize_t index = kind == Py_True ? 1 : 0;
    PyObject* key = PyLong_FromUnsignedLong(PyThread_get_thread_ident());
    if (!key) throw py::error_already_set();
    PyObject* stack = PyDict_GetItemWithError(routing.by_thread, key);
    Py_DECREF(key);
    if (stack) return PyTuple_GET_ITEM(PyList_GET_ITEM(stack, PyList_GET_SIZE(stack) - 1), index);
    if (PyErr_Occurred()) throw py::error_already_set();
    if (is_active(self)) return self;
    PyObject* current = PySys_GetObject(index ? "stderr" : "stdout");
    return current && current != Py_None ? current : self;
}

// --- StreamCapture ---------------------------------------------------------

py::object capture_init(py::object self, py::object on_write) {
    py::module_::import("builtins").attr("super")(g("StreamCapture"), self).attr("__init__")();
    self.attr("_buffer") = attr_of("io", "StringIO")();
    self.attr("_on_write") = on_write;
    return py::none();
}

py::object capture_write(py::object self, py::object text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    if (n == 0) return py::int_(0);
    PyObject* target = route(self.ptr());
    if (target != self.ptr()) return py::reinterpret_borrow<py::object>(target).attr("write")(text);
    self.attr("_buffer").attr("write")(text);
    py::object on_write = self.attr("_on_write");
    if (PyObject_IsTrue(on_write.ptr()) == 1) {
        try {
            on_write(text);
        } catch (py::error_already_set& e) {
            if (!pyco::is_exception(e)) throw;
        }
    }
    return py::int_(n);
}

py::object capture_getvalue(py::object self) { return self.attr("_buffer").attr("getvalue")(); }
py::object do_nothing(py::object) { return py::none(); }
py::object no(py::object) { return py::bool_(false); }
py::object yes(py::object) { return py::bool_(true); }

// --- KernelStreamHook ------------------------------------------------------

py::object hook_init(py::object self, py::object stream_type, py::object send_callback) {
    py::module_::import("builtins").attr("super")(g("KernelStreamHook"), self).attr("__init__")();
    self.attr("stream_type") = stream_type;
    self.attr("send_callback") = send_callback;
    bool is_stdout = stream_type.equal(py::str("stdout"));
    self.attr("_original_stream") = attr_of("sys", is_stdout ? "stdout" : "stderr");
    return py::none();
}

py::object hook_write(py::object self, py::object text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    if (n == 0) return py::int_(0);
    py::object original = self.attr("_original_stream");
    try {
        original.attr("write")(text);
        original.attr("flush")();
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
    }
    py::object send = self.attr("send_callback");
    if (PyObject_IsTrue(send.ptr()) == 1) {
        py::object failure;
        try {
            send(self.attr("stream_type"), text);
        } catch (py::error_already_set& e) {
            if (!pyco::is_exception(e)) throw;
            failure = e.value();
        }
        if (failure) {
            // Reported on the console stream only: never through logging or sys.stdout.
            try {
                original.attr("write")(pyco::fmt("[KernelStreamHook Error] {}\n", failure));
            } catch (py::error_already_set& e) {
                if (!pyco::is_exception(e)) throw;
            }
        }
    }
    return py::int_(n);
}

py::object hook_flush(py::object self) {
    try {
        self.attr("_original_stream").attr("flush")();
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
    }
    return py::none();
}

}  // namespace

CaptureScope::CaptureScope(py::object out, py::object err) : out_(std::move(out)), err_(std::move(err)) {
    ensure_routing();
    pair_ = py::make_tuple(out_, err_);
    py::object key = py::int_(PyThread_get_thread_ident());
    if (PyList_GET_SIZE(routing.order) == 0) {
        Py_XDECREF(routing.saved);
        routing.saved = py::make_tuple(sys_stream("stdout"), sys_stream("stderr")).release().ptr();
    }
    PyObject* stack = PyDict_GetItemWithError(routing.by_thread, key.ptr());
    if (!stack) {
        if (PyErr_Occurred()) throw py::error_already_set();
        py::list fresh;
        if (PyDict_SetItem(routing.by_thread, key.ptr(), fresh.ptr()) < 0) throw py::error_already_set();
        stack = fresh.ptr();
    }
    if (PyList_Append(stack, pair_.ptr()) < 0 || PyList_Append(routing.order, pair_.ptr()) < 0)
        throw py::error_already_set();
    if (PyDict_SetItem(routing.kinds, out_.ptr(), Py_False) < 0 || PyDict_SetItem(routing.kinds, err_.ptr(), Py_True) < 0)
        throw py::error_already_set();
    set_sys_stream("stdout", out_);
    set_sys_stream("stderr", err_);
}

CaptureScope::~CaptureScope() {
    // Runs while an exception may be propagating: keep the error indicator intact.
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    try {
        py::object key = py::int_(PyThread_get_thread_ident());
        PyObject* stack = PyDict_GetItem(routing.by_thread, key.ptr());
        if (stack) {
            for (Py_ssize_t i = PyList_GET_SIZE(stack) - 1; i >= 0; --i) {
                if (PyList_GET_ITEM(stack, i) == pair_.ptr()) {
                    PySequence_DelItem(stack, i);
                    break;
                }
            }
            if (PyList_GET_SIZE(stack) == 0) PyDict_DelItem(routing.by_thread, key.ptr());
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(routing.order); ++i) {
            if (PyList_GET_ITEM(routing.order, i) == pair_.ptr()) {
                PySequence_DelItem(routing.order, i);
                break;
            }
        }
        prune_kinds();
        // Only streams that are still ours are replaced.
        bool out_ours = sys_stream("stdout").ptr() == out_.ptr();
        bool err_ours = sys_stream("stderr").ptr() == err_.ptr();
        Py_ssize_t left = PyList_GET_SIZE(routing.order);
        if (left > 0) {
            PyObject* latest = PyList_GET_ITEM(routing.order, left - 1);
            if (out_ours) set_sys_stream("stdout", PyTuple_GET_ITEM(latest, 0));
            if (err_ours) set_sys_stream("stderr", PyTuple_GET_ITEM(latest, 1));
        } else if (routing.saved) {
            py::object saved = py::reinterpret_steal<py::object>(routing.saved);
            routing.saved = nullptr;
            if (out_ours) set_sys_stream("stdout", PyTuple_GET_ITEM(saved.ptr(), 0));
            if (err_ours) set_sys_stream("stderr", PyTuple_GET_ITEM(saved.ptr(), 1));
        }
    } catch (...) {
        PyErr_Clear();
    }
    PyErr_Clear();
    PyErr_Restore(t, v, tb);
}

void retain_stream(py::handle stream) {
    ensure_routing();
    if (PyList_Append(routing.retained, stream.ptr()) < 0) throw py::error_already_set();
    Py_ssize_t n = PyList_GET_SIZE(routing.retained);
    if (n > kStreamsKept && PySequence_DelSlice(routing.retained, 0, n - kStreamsKept) < 0)
        throw py::error_already_set();
}

void define_stream_classes(py::module_ m) {
    py::object io = attr_of("io", "TextIOBase");
    py::tuple bases = py::make_tuple(io);
    py::dict returns_int = annotations({{"return", builtin("int")}});
    m.attr("StreamCapture") =
        pyco::ClassBuilder("StreamCapture", module_name(), bases,
                           "Captures one run's output and hands every write to a callback.")
            .method(pyco::fn<capture_init>("__init__", {"self", arg("on_write").def_none()}))
            .method(pyco::fn<capture_write>("write", {"self", arg("text").type(Check::Str)}).annotated(returns_int))
            .method(pyco::fn<capture_getvalue>("getvalue", {"self"}).annotated(annotations({{"return", builtin("str")}})))
            .method(pyco::fn<do_nothing>("flush", {"self"}))
            .method(pyco::fn<no>("readable", {"self"}))
            .method(pyco::fn<yes>("writable", {"self"}))
            .build();
    m.attr("KernelStreamHook") =
        pyco::ClassBuilder("KernelStreamHook", module_name(), bases,
                           "Forwards process output to the Business Layer and echoes it to the console.")
            .method(pyco::fn<hook_init>("__init__", {"self", arg("stream_type").type(Check::Str), "send_callback"}))
            .method(pyco::fn<hook_write>("write", {"self", arg("text").type(Check::Str)}).annotated(returns_int))
            .method(pyco::fn<hook_flush>("flush", {"self"}))
            .method(pyco::fn<no>("readable", {"self"}))
            .method(pyco::fn<yes>("writable", {"self"}))
            .build();
}

}  // namespace kernel
