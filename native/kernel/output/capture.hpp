// Output capture of runs (console code, cell functions, callables, handlers, streams)
// and the back-pressure that keeps a run's unsent output bounded.
#pragma once

#include "kernel/support.hpp"

namespace kernel {

// While alive, the current thread's output goes to `out`/`err` (StreamCapture objects)
// and sys.stdout/sys.stderr are routers standing for the most recently started run.
//
// The objects installed as process streams are never freed: print() holds sys.stdout only
// as a borrowed reference between its writes, so anything installed there may still be in
// use by another thread long after it was replaced. Routers come from a pool that grows to
// the largest number of runs active at once and are reused; each forwards a write to the
// writing thread's own run, else to the run it stands for, else to where output goes now.
// When the last run ends, the connected kernel's hooks are installed again whatever user
// code left in sys.stdout/sys.stderr (when no kernel is connected: the streams found when
// the first of the runs started).
class CaptureScope {
public:
    CaptureScope(py::object out, py::object err);
    ~CaptureScope();
    CaptureScope(const CaptureScope&) = delete;
    CaptureScope& operator=(const CaptureScope&) = delete;

private:
    void end() noexcept;
    py::object pair_;  // (out, err)
    int router_ = -1;  // index of the router pair standing for this run
};

// What a run's two captures (StreamCapture objects) keep of the text written to them: none
// (its replies carry no text: the streamed messages had it all), or, where a reply carries
// the captured text, at most the first and the last _KEPT_OUTPUT_CHARS characters of the
// run (16 MiB each by default) with a line saying how many characters between them were
// left out. The streamed messages carry everything either way.
enum class Keep { Nothing, Bounded };
void limit_captures(const py::object& out, const py::object& err, Keep keep);

// While alive on a thread, the next CodeExecutor.execute called there keeps none of its
// run's text (its "stdout" and "stderr" are empty): the caller's replies carry none of it.
class OutputNotKept {
public:
    OutputNotKept();
    ~OutputNotKept();
    OutputNotKept(const OutputNotKept&) = delete;
    OutputNotKept& operator=(const OutputNotKept&) = delete;

private:
    bool previous_;
};

// The connected kernel's stream hooks, installed whenever no run is active (they are kept
// alive for good). When `owner` disconnects, runs still active end by putting back
// `restore_out`/`restore_err` instead.
void set_kernel_hooks(py::handle owner, py::handle out, py::handle err);
void clear_kernel_hooks(py::handle owner, py::handle restore_out, py::handle restore_err);

// Output scheduled for sending but not sent yet by the event loop. A thread that writes
// while the backlog is over its limit waits until the loop has caught up; the loop's own
// thread never waits. Nothing is dropped and the order of sends is kept.
//
// make_backlog(loop), called on the loop's thread, returns an object to keep with the
// writer (in a callback's closure); send_counted schedules `coroutine` (a send) on `loop`
// through asyncio.run_coroutine_threadsafe and counts `chars` characters until it has
// finished.
py::object make_backlog(py::handle loop);
void send_counted(py::handle backlog, py::object coroutine, Py_ssize_t chars, py::handle loop);

// Stream output of a call while the loop is behind (a number of its sends wait): a write is appended to the call's open
// stream message (the last one scheduled, of the same stream, whose send has not started)
// instead of becoming a message of its own; when the loop keeps up, every write is still
// a message sent at once. Text, order and stream kind are kept; only the number of
// messages falls. append_to_open_stream is true when `text` was appended; otherwise
// send_stream_counted schedules the write's own `message` (its `content` is the text),
// which is then open.
bool append_to_open_stream(py::handle backlog, py::handle kind, py::handle text);
void send_stream_counted(py::handle backlog, py::dict message, py::handle kind, py::object coroutine,
                         py::handle loop);

}  // namespace kernel
