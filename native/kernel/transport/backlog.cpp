// Back-pressure on output: every write of a run is a send scheduled on the event loop; a
// run that prints faster than the loop can send makes its writing thread wait once too
// much is scheduled and not yet sent, instead of piling up sends without bound.
#include "kernel/output/capture.hpp"

#include <pythread.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

namespace kernel {

namespace {

using pyco::Task;

// Above either limit a writer waits until the backlog is down to half of both.
constexpr Py_ssize_t kMaxPendingSends = 1000;
constexpr Py_ssize_t kMaxPendingChars = 1024 * 1024;
// An open stream message takes writes until its text would pass this many characters
// (it then goes out whole, without chunking).
constexpr Py_ssize_t kMaxMergedChars = 60 * 1024;
// Writes are merged only once this many sends of the call wait for the loop: a few writes
// in a row stay a message each.
constexpr Py_ssize_t kMergeWhenPending = 16;
// A writer that sees no send finish for this long stops waiting (the loop may be stuck
// behind something the writer holds; output then goes on without back-pressure).
constexpr auto kNoProgressLimit = std::chrono::seconds(2);
constexpr auto kWaitSlice = std::chrono::milliseconds(50);

struct Backlog {
    std::mutex m;
    // Held (never with the GIL while waiting for it) by a writer from before it closes the
    // open message until the one it schedules is open: messages of the call are scheduled
    // one at a time, so the open message is always the last one scheduled.
    std::mutex scheduling;
    std::condition_variable cv;
    Py_ssize_t sends = 0;
    Py_ssize_t chars = 0;
    int waiters = 0;
    unsigned long loop_thread = 0;
    PyObject* loop = nullptr;  // owned
    // The call's open stream message: the last one scheduled, while its send has not
    // started; writes of the same stream are appended to it (as pieces, joined when it
    // closes). A message is open only once it is scheduled, and only until another is: a
    // write appended to it is then sent before every later write of its writer, whatever
    // the stream. Owned; touched only with the GIL held.
    PyObject* open_message = nullptr;
    PyObject* open_pieces = nullptr;
    PyObject* open_kind = nullptr;
    Py_ssize_t open_chars = 0;

    ~Backlog() {
        Py_XDECREF(loop);
        Py_XDECREF(open_message);
        Py_XDECREF(open_pieces);
        Py_XDECREF(open_kind);
    }
    bool over_limit() const { return sends > kMaxPendingSends || chars > kMaxPendingChars; }
    bool caught_up() const { return sends <= kMaxPendingSends / 2 && chars <= kMaxPendingChars / 2; }
};

constexpr const char* kCapsuleName = "vantrel.kernel.backlog";

Backlog* backlog_of(py::handle capsule) { return pyco::capsule_value<Backlog>(capsule, kCapsuleName); }

void release(Backlog* b, Py_ssize_t chars) {
    std::lock_guard<std::mutex> lock(b->m);
    b->sends -= 1;
    b->chars -= chars;
    if (b->waiters > 0 && b->caught_up()) b->cv.notify_all();
}

// An open stream message takes no more text: its pieces become its content.
void close_open(Backlog* b) {
    if (!b->open_message) return;
    py::object message = py::reinterpret_steal<py::object>(std::exchange(b->open_message, nullptr));
    py::object pieces = py::reinterpret_steal<py::object>(std::exchange(b->open_pieces, nullptr));
    Py_CLEAR(b->open_kind);
    b->open_chars = 0;
    if (PyList_GET_SIZE(pieces.ptr()) > 1) message[S("content")] = py::str("").attr(S("join"))(pieces);
}

Py_ssize_t content_chars(const py::object& message) {
    PyObject* content = PyDict_GetItemWithError(message.ptr(), S("content").ptr());
    return content && PyUnicode_Check(content) ? PyUnicode_GET_LENGTH(content) : 0;
}

// The send, counted until it has finished (whatever its outcome). For a stream message
// (`message` not None) the send starting closes it if it is still open (and marks it
// started, so that it is not opened afterwards), and what is released is its whole text,
// merged writes included.
Task counted_send(py::object coroutine, py::object backlog, Py_ssize_t chars, py::object message,
                  std::shared_ptr<bool> started) {
    *started = true;
    if (!message.is_none()) {
        Backlog* b = backlog_of(backlog);
        if (b->open_message == message.ptr()) close_open(b);
        chars = content_chars(message);
    }
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
        if (done || pyco::exit_begun.load(std::memory_order_acquire)) return;
        if (std::chrono::steady_clock::now() - last_progress > kNoProgressLimit) return;
        if (loop_gone(b)) return;
    }
}

}  // namespace

py::object make_backlog(py::handle loop) {
    auto b = std::make_unique<Backlog>();
    b->loop_thread = PyThread_get_thread_ident();
    b->loop = Py_NewRef(loop.ptr());
    return pyco::make_capsule(std::move(b), kCapsuleName);
}

namespace {

// Takes the call's scheduling lock, waiting for it without the GIL.
std::unique_lock<std::mutex> take_scheduling(Backlog* b) {
    std::unique_lock<std::mutex> lock(b->scheduling, std::try_to_lock);
    if (!lock.owns_lock()) {
        Py_BEGIN_ALLOW_THREADS
        lock.lock();
        Py_END_ALLOW_THREADS
    }
    return lock;
}

// Schedules the send (any open message is closed first). A stream message (`message` not
// None, of stream `kind`) is then the open one, unless its send has started already.
void schedule_counted(py::handle backlog, py::object coroutine, Py_ssize_t chars, py::handle loop,
                      py::object message, py::handle kind = py::handle()) {
    Backlog* b = backlog_of(backlog);
    py::object inner = coroutine;
    auto started = std::make_shared<bool>(false);
    bool opens = !message.is_none();
    py::object opened = message;
    py::object counted = pyco::make_coroutine(counted_send(
        std::move(coroutine), py::reinterpret_borrow<py::object>(backlog), chars, std::move(message), started));
    {
        std::lock_guard<std::mutex> lock(b->m);
        b->sends += 1;
        b->chars += chars;
    }
    std::unique_lock<std::mutex> scheduling = take_scheduling(b);
    close_open(b);
    try {
        attr_of("asyncio", "run_coroutine_threadsafe")(counted, loop);
    } PYCO_RETHROW_FORCED_UNWIND catch (...) {
        scheduling.unlock();
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
    if (opens && !*started) {
        PyObject* pieces = PyList_New(1);
        if (!pieces) throw py::error_already_set();
        py::object text = opened[S("content")];
        PyList_SET_ITEM(pieces, 0, Py_NewRef(text.ptr()));
        b->open_message = Py_NewRef(opened.ptr());
        b->open_pieces = pieces;
        b->open_kind = Py_NewRef(kind.ptr());
        b->open_chars = PyUnicode_GET_LENGTH(text.ptr());
    }
    scheduling.unlock();
    if (b->over_limit() && PyThread_get_thread_ident() != b->loop_thread) wait_for_room(b);
    interrupt_point();
}

}  // namespace

void send_counted(py::handle backlog, py::object coroutine, Py_ssize_t chars, py::handle loop) {
    schedule_counted(backlog, std::move(coroutine), chars, loop, py::none());
}

bool append_to_open_stream(py::handle backlog, py::handle kind, py::handle text) {
    Backlog* b = backlog_of(backlog);
    if (!b->open_message || PyUnicode_Compare(b->open_kind, kind.ptr()) != 0) return false;
    {
        std::lock_guard<std::mutex> lock(b->m);
        if (b->sends < kMergeWhenPending) return false;
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    if (b->open_chars + n > kMaxMergedChars) {
        close_open(b);
        return false;
    }
    if (PyList_Append(b->open_pieces, text.ptr()) < 0) throw py::error_already_set();
    b->open_chars += n;
    {
        std::lock_guard<std::mutex> lock(b->m);
        b->chars += n;
    }
    if (b->over_limit() && PyThread_get_thread_ident() != b->loop_thread) wait_for_room(b);
    interrupt_point();
    return true;
}

void send_stream_counted(py::handle backlog, py::dict message, py::handle kind, py::object coroutine,
                         py::handle loop) {
    Py_ssize_t chars = content_chars(message);
    schedule_counted(backlog, std::move(coroutine), chars, loop, message, kind);
}

}  // namespace kernel
