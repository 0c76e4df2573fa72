// The hand-over of worker bodies between the event loop and the kernel's worker pool.
//
// Every body still runs on a thread of the kernel's ThreadPoolExecutor, at most
// max_workers at a time, in the order the loop handed them over. What differs from one
// loop.run_in_executor per body is the way there and back:
//  - a body waits in the kernel's own queue and is taken by a runner: a task of the pool
//    that runs queued bodies one after the other and, when the queue is empty, waits a
//    moment for the next before it gives its thread back to the pool. A burst of calls
//    (a recalculation) costs one submit per runner, not one per call;
//  - runners are added as the queue needs them, not one per queued body: a body that finds
//    no idle runner starts one only when none is running; otherwise the loop looks again
//    a moment later (kStallTime) and adds a runner when the oldest body is still waiting,
//    up to max_workers. Short bodies (a recalculation's cells) are run one after the
//    other by one or two runners instead of by ten threads taking the GIL from each other
//    after every call; bodies that block (sleep, I/O, a wait for another call) get their
//    own threads after one stall time each, as many as the pool allows;
//  - a finished body's result goes into a list of finished bodies, and the loop is woken
//    once for everything that finished while it was busy (one call_soon_threadsafe per
//    batch instead of one per body), then resolves each body's future.
// The awaitable of a body is a plain asyncio future of the loop; when the task awaiting it
// is cancelled before a runner took the body, the body is not run (as an executor's
// pending work item is cancelled).
//
// When the pool is not a ThreadPoolExecutor, has been shut down, or the loop's
// run_in_executor is not asyncio's own (a test or an integration replaced it), the body
// goes through loop.run_in_executor as it always did.
#include "kernel/runs/invocation.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

namespace kernel {

namespace {

// An idle runner keeps its pool thread this long before it gives it back: calls of a
// recalculation arrive closer together than this, so the runner takes the next one
// without a new submit.
constexpr auto kRunnerLinger = std::chrono::milliseconds(5);

// How long the oldest queued body may wait while every runner is busy before another
// runner is started for it.
constexpr auto kStallTime = std::chrono::milliseconds(2);
constexpr double kStallSeconds = std::chrono::duration<double>(kStallTime).count();

using Clock = std::chrono::steady_clock;

// One body handed over: owned references, touched (and released) with the GIL held; the
// mutex only moves them between lists.
struct Body {
    PyObject* worker = nullptr;  // the callable, run with no arguments
    PyObject* future = nullptr;  // the loop's future awaiting it
    PyObject* result = nullptr;  // its return value, or null
    PyObject* error = nullptr;   // or the exception it raised (with its traceback)
    Clock::time_point queued_at{};
};

struct Gate {
    std::mutex m;
    std::condition_variable cv;
    std::deque<Body> queued;   // handed over, not taken by a runner yet (oldest first)
    std::vector<Body> done;    // finished, not yet taken by the loop
    std::vector<Body> settling;  // taken by the loop, resolved at its next turn (loop thread only)
    int runners = 0;           // runners submitted to the pool and not yet ended
    int idle = 0;              // runners waiting for a body
    bool wake_pending = false;  // the loop has been asked to resolve `done`
    bool watching = false;      // a stall check is scheduled on the loop (loop thread only)
    Py_ssize_t max_workers = 1;  // the pool's
    PyObject* loop = nullptr;   // owned
    PyObject* pool = nullptr;   // owned
    PyObject* work_queue = nullptr;  // the pool's own queue of work items, or null (owned)
    PyObject* runner = nullptr;  // the runner function submitted to the pool (owned)
    PyObject* resolve = nullptr;  // the loop's callback taking `done` (owned)
    PyObject* settle = nullptr;   // the loop's callback resolving `settling` (owned)
    PyObject* watch = nullptr;    // the loop's stall check (owned)
    ~Gate();
};

constexpr const char* kGateName = "vantrel.kernel.handover";

void release_body(Body& b) {
    Py_CLEAR(b.worker);
    Py_CLEAR(b.future);
    Py_CLEAR(b.result);
    Py_CLEAR(b.error);
}

// Nothing refers to the gate any more when it goes: no runner is alive and the loop holds
// no callback of it, so its lists are empty but for bodies of a loop that has gone.
Gate::~Gate() {
    for (Body& b : queued) release_body(b);
    for (Body& b : done) release_body(b);
    for (Body& b : settling) release_body(b);
    for (PyObject* owned : {loop, pool, work_queue, runner, resolve, settle, watch}) Py_XDECREF(owned);
}

Gate* gate_of(py::handle capsule) { return pyco::capsule_value<Gate>(capsule, kGateName); }

// The closure of the runner and of the loop's callback: the gate.
struct GateRef {
    py::object capsule;
    PYCO_FIELDS(capsule)
};

// Submits another runner to the pool; false, with the pool's error set, when it refuses
// (it was shut down).
bool submit_runner(Gate* g) {
    PyObject* r = PyObject_CallMethodOneArg(g->pool, S("submit").ptr(), g->runner);
    Py_XDECREF(r);
    return r != nullptr;
}

// Runs one body on this (pool) thread and files its outcome.
void run_body(Gate* g, Body& b) {
    if (method_returns(b.future, "cancelled", Py_True)) {
        release_body(b);
        return;
    }
    PyObject* r = PyObject_CallNoArgs(b.worker);
    if (r) {
        b.result = r;
    } else {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        if (v && tb) PyException_SetTraceback(v, tb);
        Py_XDECREF(t);
        Py_XDECREF(tb);
        b.error = v ? v : Py_NewRef(Py_None);
    }
    Py_CLEAR(b.worker);
    bool wake;
    {
        std::lock_guard<std::mutex> lock(g->m);
        g->done.push_back(b);
        wake = !g->wake_pending;
        g->wake_pending = true;
    }
    b = Body{};
    if (!wake) return;
    PyObject* scheduled = PyObject_CallMethodOneArg(g->loop, S("call_soon_threadsafe").ptr(), g->resolve);
    if (scheduled) {
        Py_DECREF(scheduled);
        return;
    }
    // The loop is closed: nobody awaits these any more (as run_in_executor drops the
    // result of a loop that has closed).
    PyErr_Clear();
    std::vector<Body> dropped;
    {
        std::lock_guard<std::mutex> lock(g->m);
        dropped.swap(g->done);
        g->wake_pending = false;
    }
    for (Body& d : dropped) release_body(d);
}

// Waits (without the GIL) for a body to be queued; false when none came within the
// linger time, in which case the runner has been counted out under the same lock that
// told the queue was empty.
bool wait_for_body(Gate* g) {
    bool got = false;
    Py_BEGIN_ALLOW_THREADS
    {
        std::unique_lock<std::mutex> lock(g->m);
        ++g->idle;
        g->cv.wait_for(lock, kRunnerLinger, [g] { return !g->queued.empty(); });
        --g->idle;
        got = !g->queued.empty();
        if (!got) --g->runners;
    }
    Py_END_ALLOW_THREADS
    return got;
}

// Whether other work waits in the pool's own queue (submitted to the pool directly).
bool pool_has_work(Gate* g) { return g->work_queue && method_returns(g->work_queue, "empty", Py_False); }

// Ends this runner in favour of work waiting in the pool's queue: the runner's place goes
// to the back of that queue when bodies are left. False when the pool refuses a new runner
// (shut down): this one goes on.
bool yield_thread(Gate* g) {
    bool left;
    {
        std::lock_guard<std::mutex> lock(g->m);
        left = !g->queued.empty();
        if (!left) --g->runners;
    }
    if (!left) return true;
    if (submit_runner(g)) return true;
    PyErr_Clear();
    return false;
}

// The runner, as the pool runs it: queued bodies one after the other, then a moment's
// wait for more, then the thread goes back to the pool. Work submitted to the pool
// directly is not kept waiting behind the bodies: the runner gives its thread back first.
py::object run_queued(py::object closure) {
    Gate* g = gate_of(pyco::closure_of<GateRef>(closure).capsule);
    for (;;) {
        Body b;
        bool got = false;
        {
            std::lock_guard<std::mutex> lock(g->m);
            if (!g->queued.empty()) {
                b = g->queued.front();
                g->queued.pop_front();
                got = true;
            }
        }
        if (got) {
            run_body(g, b);
            if (pool_has_work(g) && yield_thread(g)) return py::none();
            continue;
        }
        if (pyco::exit_begun.load(std::memory_order_acquire)) {
            std::lock_guard<std::mutex> lock(g->m);
            if (g->queued.empty()) {
                --g->runners;
                return py::none();
            }
            continue;
        }
        if (!wait_for_body(g)) return py::none();
    }
}

// The loop's callback: takes every finished body, to be resolved at the loop's next turn.
//
// A body schedules its output (each write a call_soon_threadsafe of its send) before it
// finishes, and a send must go out before the replies of its call: the callback that takes
// the body may have been scheduled before the body's output (by a body that finished
// earlier), so the futures are resolved one turn later, after every callback that was
// scheduled when the body was taken (as a future resolved through its own
// call_soon_threadsafe would be).
py::object resolve_done(py::object closure) {
    Gate* g = gate_of(pyco::closure_of<GateRef>(closure).capsule);
    std::vector<Body> finished;
    {
        std::lock_guard<std::mutex> lock(g->m);
        finished.swap(g->done);
        g->wake_pending = false;
    }
    if (finished.empty()) return py::none();
    bool schedule = g->settling.empty();
    g->settling.insert(g->settling.end(), finished.begin(), finished.end());
    if (schedule) py::handle(g->loop).attr(S("call_soon"))(py::handle(g->settle));
    return py::none();
}

// The loop's callback one turn later: resolves the futures of the bodies taken.
py::object settle_taken(py::object closure) {
    Gate* g = gate_of(pyco::closure_of<GateRef>(closure).capsule);
    std::vector<Body> finished;
    finished.swap(g->settling);
    for (Body& b : finished) {
        if (method_returns(b.future, "done", Py_False)) {
            PyObject* r = b.error ? PyObject_CallMethodOneArg(b.future, S("set_exception").ptr(), b.error)
                                  : PyObject_CallMethodOneArg(b.future, S("set_result").ptr(), b.result);
            if (r) {
                Py_DECREF(r);
            } else {
                PyErr_WriteUnraisable(b.future);
            }
        }
        release_body(b);
    }
    return py::none();
}

// Asks the loop to run the stall check kStallTime from now, unless it is asked already.
// Loop thread only.
void watch_queue(Gate* g) {
    if (g->watching) return;
    py::object delay = py::float_(kStallSeconds);
    PyObject* r = PyObject_CallMethodObjArgs(g->loop, S("call_later").ptr(), delay.ptr(), g->watch, nullptr);
    if (!r) {
        // The loop is closing: the runners there are take the queue in turn.
        PyErr_Clear();
        return;
    }
    Py_DECREF(r);
    g->watching = true;
}

// The loop's stall check: when the oldest queued body has waited kStallTime with every
// runner busy (a body that blocks, or a long one), one more runner is started, while the
// pool has room; the check comes back as long as bodies wait.
py::object check_stall(py::object closure) {
    Gate* g = gate_of(pyco::closure_of<GateRef>(closure).capsule);
    g->watching = false;
    bool submit = false, again = false;
    {
        std::lock_guard<std::mutex> lock(g->m);
        if (!g->queued.empty() && g->runners < g->max_workers) {
            again = true;
            if (g->idle == 0 && Clock::now() - g->queued.front().queued_at >= kStallTime) {
                ++g->runners;
                submit = true;
            }
        }
    }
    if (submit && !submit_runner(g)) {
        // The pool was shut down: the runners there are take the queue in turn.
        PyErr_Clear();
        std::lock_guard<std::mutex> lock(g->m);
        --g->runners;
        return py::none();
    }
    if (again) watch_queue(g);
    return py::none();
}

const char* const kGateAttr = "_worker_handover";

// asyncio's own BaseEventLoop.run_in_executor (kept for the process).
PyObject* standard_run_in_executor = nullptr;

bool standard_loop(const py::object& loop) {
    if (!standard_run_in_executor) {
        py::object base = py::module_::import("asyncio.base_events").attr("BaseEventLoop");
        standard_run_in_executor = py::object(base.attr("run_in_executor")).release().ptr();
    }
    return bound_to(loop, "run_in_executor", standard_run_in_executor);
}

// The kernel's gate for this pool and loop (made when there is none, or the kernel's pool
// or loop has changed).
py::object gate_for(const py::object& self, const py::object& pool, const py::object& loop) {
    py::object held = py::getattr(self, kGateAttr, py::none());
    if (PyCapsule_IsValid(held.ptr(), kGateName)) {
        Gate* g = gate_of(held);
        if (g->pool == pool.ptr() && g->loop == loop.ptr()) return held;
    }
    auto made = std::make_unique<Gate>();
    Gate* g = made.get();
    g->loop = Py_NewRef(loop.ptr());
    g->pool = Py_NewRef(pool.ptr());
    g->work_queue = PyObject_GetAttr(pool.ptr(), S("_work_queue").ptr());
    if (!g->work_queue) PyErr_Clear();
    py::object capsule = pyco::make_capsule(std::move(made), kGateName);
    // The runner and the callbacks hold the gate; the gate holds them too (a cycle through
    // the collected closures, broken when the kernel drops the gate and no runner is alive).
    auto over_gate = [&](pyco::Def def) {
        return function(def.with_closure(pyco::make_closure(GateRef{capsule}))).release().ptr();
    };
    g->runner = over_gate(pyco::fn<run_queued>("_run_handed_over", {}));
    g->resolve = over_gate(pyco::fn<resolve_done>("_resolve_handed_over", {}));
    g->settle = over_gate(pyco::fn<settle_taken>("_settle_handed_over", {}));
    g->watch = over_gate(pyco::fn<check_stall>("_check_handed_over", {}));
    self.attr(kGateAttr) = capsule;
    return capsule;
}

}  // namespace

py::object run_in_pool(const CallOutput& output, const py::object& worker) {
    py::object pool = output.self.attr(S("_thread_pool"));
    const py::object& loop = output.loop;
    py::object executor_class = attr_of("concurrent", "futures").attr(S("ThreadPoolExecutor"));
    bool handed_over = Py_TYPE(pool.ptr()) == reinterpret_cast<PyTypeObject*>(executor_class.ptr()) &&
                       !pyco::truthy(py::getattr(pool, S("_shutdown"), py::bool_(true))) && standard_loop(loop);
    if (!handed_over) return loop.attr(S("run_in_executor"))(pool, worker);
    py::object capsule = gate_for(output.self, pool, loop);
    Gate* g = gate_of(capsule);
    Py_ssize_t max_workers = py::getattr(pool, S("_max_workers"), py::int_(1)).cast<Py_ssize_t>();
    py::object future = loop.attr(S("create_future"))();
    Body b;
    b.worker = Py_NewRef(worker.ptr());
    b.future = Py_NewRef(future.ptr());
    b.queued_at = Clock::now();
    bool submit = false, wake = false, watch = false;
    {
        std::lock_guard<std::mutex> lock(g->m);
        g->max_workers = max_workers;
        g->queued.push_back(b);
        // Every queued body has a runner to take it: an idle one, the first one, or a busy
        // one as it finishes; the stall check adds runners for bodies that wait too long.
        if (g->idle > 0) wake = true;
        if (g->runners == 0) {
            ++g->runners;
            submit = true;
        } else if (static_cast<Py_ssize_t>(g->queued.size()) > g->idle && g->runners < max_workers) {
            watch = true;
        }
    }
    if (wake) g->cv.notify_one();
    if (watch) watch_queue(g);
    if (submit) {
        if (!submit_runner(g)) {
            // The pool refused (it was shut down meanwhile): the body is not run, and the
            // refusal is the caller's, as from run_in_executor.
            Body refused;
            bool found = false;
            {
                std::lock_guard<std::mutex> lock(g->m);
                --g->runners;
                for (auto it = g->queued.begin(); it != g->queued.end(); ++it) {
                    if (it->future == b.future) {
                        refused = *it;
                        g->queued.erase(it);
                        found = true;
                        break;
                    }
                }
            }
            if (!found) {
                // A runner took the body meanwhile: it runs, and its future is the answer.
                PyErr_Clear();
                return future;
            }
            PyObject *t, *v, *tb;
            PyErr_Fetch(&t, &v, &tb);
            release_body(refused);
            PyErr_Restore(t, v, tb);
            throw py::error_already_set();
        }
    }
    return future;
}

}  // namespace kernel
