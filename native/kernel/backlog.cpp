// Back-pressure on output: every write of a run is a send scheduled on the event loop; a
// run that prints faster than the loop can send makes its writing thread wait once too
// much is scheduled and not yet sent, instead of piling up sends without bound.
#include "kernel/capture.hpp"

#include <pythread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kernel {

namespace {

using pyco::Task;

// Above either limit a writer waits until the backlog is down to half of both.
constexpr Py_ssize_t kMaxPendingSends = 1000;
constexpr Py_ssize_t kMaxPendingChars = 4 * 1024 * 1024;
// A writer that sees no send finish for this long stops waiting (the loop may be stuck
// behind something the writer holds; output then goes on without back-pressure).
constexpr auto kNoProgressLimit = std::chrono::seconds(2);
constexpr auto kWaitSlice = std::chrono::milliseconds(50);

struct Backlog {
    std::mutex m;
    std::condition_variable cv;
    Py_ssize_t sends = 0;
    Py_ssize_t chars = 0;
    int waiters = 0;
    unsigned long loop_thread = 0;
    PyObject* loop = nullptr;  // owned

    bool over_limit() const { return sends > kMaxPendingSends || chars > kMaxPendingChars; }
    bool caught_up() const { return sends <= kMaxPendingSends / 2 && chars <= kMaxPendingChars / 2; }
};

constexpr const char* kCapsuleName = "vantrel.kernel.backlog";

void destroy_backlog(PyObject* capsule) {
    auto* b = static_cast<Backlog*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (!b) {
        PyErr_Clear();
        return;
    }
    Py_XDECREF(b->loop);
    delete b;
}

Backlog* backlog_of(py::handle capsule) {
    auto* b = static_cast<Backlog*>(PyCapsule_GetPointer(capsule.ptr(), kCapsuleName));
    if (!b) throw py::error_already_set();
    return b;
}

void release(Backlog* b, Py_ssize_t chars) {
    std::lock_guard<std::mutex> lock(b->m);
    b->sends -= 1;
    b->chars -= chars;
    if (b->waiters > 0 && b->caught_up()) b->cv.notify_all();
}

// The send, counted until it has finished (whatever its outcome).
Task counted_send(py::object coroutine, py::object backlog, Py_ssize_t chars) {
    py::object result = co_await pyco::await_nothrow(coroutine);
    release(backlog_of(backlog), chars);
    if (!result) pyco::throw_error();
    co_return result;
}

bool loop_gone(Backlog* b) {
    try {
        py::handle loop(b->loop);
        return pyco::truthy(loop.attr(S("is_closed"))()) || !pyco::truthy(loop.attr(S("is_running"))());
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        return true;
    }
}

// Waits (without the GIL) until the loop has sent enough of what is scheduled.
void wait_for_room(Backlog* b) {
    auto last_progress = std::chrono::steady_clock::now();
    Py_ssize_t last_sends = b->sends;
    for (;;) {
        bool done = false;
        Py_BEGIN_ALLOW_THREADS
        {
            // The mutex is released before the GIL is taken back: the loop's thread takes
            // the mutex while holding the GIL.
            std::unique_lock<std::mutex> lock(b->m);
            ++b->waiters;
            b->cv.wait_for(lock, kWaitSlice, [b] { return b->caught_up(); });
            --b->waiters;
            done = b->caught_up();
            if (b->sends < last_sends) {
                last_sends = b->sends;
                last_progress = std::chrono::steady_clock::now();
            }
        }
        Py_END_ALLOW_THREADS
        if (done || pyco::exit_begun) return;
        if (std::chrono::steady_clock::now() - last_progress > kNoProgressLimit) return;
        if (loop_gone(b)) return;
    }
}

}  // namespace

py::object make_backlog(py::handle loop) {
    auto* b = new Backlog();
    b->loop_thread = PyThread_get_thread_ident();
    b->loop = Py_NewRef(loop.ptr());
    PyObject* capsule = PyCapsule_New(b, kCapsuleName, destroy_backlog);
    if (!capsule) {
        Py_DECREF(b->loop);
        delete b;
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(capsule);
}

void send_counted(py::handle backlog, py::object coroutine, Py_ssize_t chars, py::handle loop) {
    Backlog* b = backlog_of(backlog);
    py::object inner = coroutine;
    py::object counted = pyco::make_coroutine(
        counted_send(std::move(coroutine), py::reinterpret_borrow<py::object>(backlog), chars));
    {
        std::lock_guard<std::mutex> lock(b->m);
        b->sends += 1;
        b->chars += chars;
    }
    try {
        attr_of("asyncio", "run_coroutine_threadsafe")(counted, loop);
    } PYCO_RETHROW_FORCED_UNWIND catch (...) {
        release(b, chars);
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        // The send is dropped: neither coroutine will run (and neither warns that it
        // was never awaited).
        for (PyObject* coro : {inner.ptr(), counted.ptr()}) {
            PyObject* closed = PyObject_CallMethod(coro, "close", nullptr);
            Py_XDECREF(closed);
            PyErr_Clear();
        }
        PyErr_Restore(t, v, tb);
        throw;
    }
    if (b->over_limit() && PyThread_get_thread_ident() != b->loop_thread) wait_for_room(b);
}

}  // namespace kernel
