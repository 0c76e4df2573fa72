// StreamCapture (the per-run capture of output), KernelStreamHook (the process-wide
// stream while the kernel is connected) and the routing that keeps overlapping runs'
// output apart.
//
// Runs overlap: up to WORKER_POOL_SIZE runs capture the process-wide sys.stdout and
// sys.stderr at once. Each run registers its pair of captures for its own thread; while
// any run is active sys.stdout/sys.stderr are routers (StreamCapture objects of a pool
// that is never freed) standing for the most recently started run. A write to a router is
// routed to the writing thread's own run when it has one; threads without a run of their
// own (threads started by user code, companions) write to the run the router stands for,
// as a plain redirect would have sent them.
#include "kernel/output/capture.hpp"
#include "kernel/routes.hpp"

#include <pythread.h>

#include <vector>

namespace kernel {

namespace {

using pyco::arg;
using pyco::Check;

// The classes as this module defined them (zero-argument super() in a Python class uses
// the defining class, not whatever the module-level name is bound to later).
PyObject* capture_class = nullptr;
PyObject* hook_class = nullptr;

// A pair of routers. Never freed: print() on another thread may hold one at any time.
struct RouterPair {
    PyObject* streams[2];      // stdout router, stderr router (owned, never released)
    PyObject* bound = nullptr;  // the (out, err) capture pair of the run it stands for, or null
    bool in_use = false;
};

// Routing state. Python containers where entries come and go; the process keeps it.
struct Routing {
    PyObject* by_thread = nullptr;  // dict: thread ident -> list of active (out, err) pairs, innermost last
    PyObject* order = nullptr;      // list of active (out, err) pairs, in start order
    PyObject* saved = nullptr;      // (stdout, stderr) found when the first of the active runs started
    PyObject* hooks = nullptr;      // (stdout, stderr) hooks of the connected kernel, or null
    const void* hooks_owner = nullptr;  // that kernel (compared, never dereferenced)
    PyObject* permanent = nullptr;  // list: every hook ever registered (kept alive for good)
    PyObject* displaced = nullptr;  // list: streams of user code that were replaced (kept alive)
    // dict: threading.Thread -> the (out, err) pair of the active run that started it. A
    // thread started during a run writes to that run while it is active (its entry goes
    // when the thread ends, or when the run ends), as a child thread's output belongs to the
    // cell that started it.
    PyObject* children = nullptr;
    // dict: thread ident -> list of the (out, err) pairs of the runs that submitted the
    // executor tasks the thread runs now, innermost last. A task writes to the run that
    // submitted it while that run is active, whichever pool thread runs it.
    PyObject* tasks = nullptr;
    std::vector<RouterPair> routers;
};
Routing routing;

// Streams user code installed and that a run's start or end replaced are kept alive this
// many at a time (another thread may be inside print() with one of them).
constexpr Py_ssize_t kDisplacedKept = 256;

void ensure_routing() {
    if (routing.by_thread) return;
    PyObject* by_thread = PyDict_New();
    PyObject* order = PyList_New(0);
    PyObject* permanent = PyList_New(0);
    PyObject* displaced = PyList_New(0);
    PyObject* children = PyDict_New();
    PyObject* tasks = PyDict_New();
    if (!by_thread || !order || !permanent || !displaced || !children || !tasks) {
        Py_XDECREF(by_thread);
        Py_XDECREF(order);
        Py_XDECREF(permanent);
        Py_XDECREF(displaced);
        Py_XDECREF(children);
        Py_XDECREF(tasks);
        throw py::error_already_set();
    }
    routing.children = children;
    routing.tasks = tasks;
    routing.by_thread = by_thread;
    routing.order = order;
    routing.permanent = permanent;
    routing.displaced = displaced;
}

const char* const kStreamNames[2] = {"stdout", "stderr"};

PyObject* sys_stream(int kind) { return PySys_GetObject(kStreamNames[kind]); }  // borrowed, may be null

// The router pair `obj` belongs to (and which of its two it is), or -1.
int router_of(PyObject* obj, int* kind) {
    for (size_t i = 0; i < routing.routers.size(); ++i) {
        for (int k = 0; k < 2; ++k) {
            if (routing.routers[i].streams[k] == obj) {
                *kind = k;
                return static_cast<int>(i);
            }
        }
    }
    return -1;
}

bool is_permanent(PyObject* obj) {
    int kind;
    if (router_of(obj, &kind) >= 0) return true;
    if (!routing.permanent) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(routing.permanent); ++i) {
        if (PyList_GET_ITEM(routing.permanent, i) == obj) return true;
    }
    return false;
}

// Keeps a stream that is being replaced alive (unless it lives for good anyway).
void keep_displaced(PyObject* obj) {
    if (!obj || obj == Py_None || is_permanent(obj)) return;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(routing.displaced); ++i) {
        if (PyList_GET_ITEM(routing.displaced, i) == obj) return;
    }
    if (PyList_Append(routing.displaced, obj) < 0) throw py::error_already_set();
    Py_ssize_t n = PyList_GET_SIZE(routing.displaced);
    if (n > kDisplacedKept && PySequence_DelSlice(routing.displaced, 0, n - kDisplacedKept) < 0)
        throw py::error_already_set();
}

// Installs `value` as sys.stdout (kind 0) or sys.stderr (kind 1).
void install(int kind, PyObject* value) {
    PyObject* current = sys_stream(kind);
    if (current == value) return;
    keep_displaced(current);
    if (PySys_SetObject(kStreamNames[kind], value) < 0) throw py::error_already_set();
}

PyObject* thread_key() {
    PyObject* key = PyLong_FromUnsignedLong(PyThread_get_thread_ident());
    if (!key) throw py::error_already_set();
    return key;
}

// The writing thread's innermost active run pair, or null (borrowed).
PyObject* own_run() {
    if (!routing.by_thread || PyDict_GET_SIZE(routing.by_thread) == 0) return nullptr;
    PyObject* key = thread_key();
    PyObject* stack = PyDict_GetItemWithError(routing.by_thread, key);
    Py_DECREF(key);
    if (!stack) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return nullptr;
    }
    return PyList_GET_ITEM(stack, PyList_GET_SIZE(stack) - 1);
}

// threading._active, the threading module's own table of its threads (kept for good; set
// when the start hook is installed).
PyObject* threads_by_ident = nullptr;

// The threading.Thread object of the calling thread, or null (a thread the threading
// module does not know). Borrowed.
PyObject* current_thread_object() {
    PyObject* key = thread_key();
    PyObject* thread = PyDict_GetItemWithError(threads_by_ident, key);
    Py_DECREF(key);
    if (!thread && PyErr_Occurred()) throw py::error_already_set();
    return thread;
}

// The active run the writing thread was started from (its own, or its starter's), or null
// (borrowed).
PyObject* inherited_run() {
    if (!routing.children || PyDict_GET_SIZE(routing.children) == 0) return nullptr;
    PyObject* thread = current_thread_object();
    if (!thread) return nullptr;
    PyObject* pair = PyDict_GetItemWithError(routing.children, thread);
    if (!pair && PyErr_Occurred()) throw py::error_already_set();
    return pair;
}

bool is_active(PyObject* pair) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(routing.order); ++i) {
        if (PyList_GET_ITEM(routing.order, i) == pair) return true;
    }
    return false;
}

// The run that submitted the executor task the writing thread runs, while that run is
// active (borrowed), or null; `in_task` tells whether the thread runs such a task at all.
PyObject* task_run(bool* in_task) {
    *in_task = false;
    if (!routing.tasks || PyDict_GET_SIZE(routing.tasks) == 0) return nullptr;
    PyObject* key = thread_key();
    PyObject* stack = PyDict_GetItemWithError(routing.tasks, key);
    Py_DECREF(key);
    if (!stack) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return nullptr;
    }
    *in_task = true;
    PyObject* pair = PyList_GET_ITEM(stack, PyList_GET_SIZE(stack) - 1);
    return is_active(pair) ? pair : nullptr;
}

// The run the writing thread's output belongs to besides its own: that of the task it runs,
// else that of the thread that started it (none for a task whose run has ended: its output
// is late output).
PyObject* borrowed_run() {
    bool in_task = false;
    PyObject* run = task_run(&in_task);
    if (run || in_task) return run;
    return inherited_run();
}

// threading.Thread.start as the kernel installs it: the new thread belongs to the run of
// the thread that starts it, if that has one. `closure` is the original start.
py::object start_thread(py::object original, py::object thread) {
    PyObject* run = own_run();
    if (!run) run = borrowed_run();
    if (run && PyDict_SetItem(routing.children, thread.ptr(), run) < 0) throw py::error_already_set();
    try {
        return original(thread);
    } PYCO_RETHROW_FORCED_UNWIND catch (...) {
        if (run && PyDict_DelItem(routing.children, thread.ptr()) < 0) PyErr_Clear();  // it never ran
        throw;
    }
}

// An executor task submitted during a run, as a pool thread runs it: its output goes to
// that run while the run is active. `closure` is (fn, pair).
py::object run_task(py::object closure, py::object args, py::object kwargs) {
    PyObject* fn = PyTuple_GET_ITEM(closure.ptr(), 0);
    PyObject* pair = PyTuple_GET_ITEM(closure.ptr(), 1);
    py::object key = py::reinterpret_steal<py::object>(thread_key());
    PyObject* stack = PyDict_GetItemWithError(routing.tasks, key.ptr());
    if (!stack) {
        if (PyErr_Occurred()) throw py::error_already_set();
        py::list fresh;
        if (PyDict_SetItem(routing.tasks, key.ptr(), fresh.ptr()) < 0) throw py::error_already_set();
        stack = fresh.ptr();
    }
    if (PyList_Append(stack, pair) < 0) throw py::error_already_set();
    auto done = [&]() noexcept {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyObject* now = PyDict_GetItemWithError(routing.tasks, key.ptr());
        if (now) {
            Py_ssize_t n = PyList_GET_SIZE(now);
            if (n > 0 && PyList_GET_ITEM(now, n - 1) == pair && PySequence_DelItem(now, n - 1) < 0) PyErr_Clear();
            if (PyList_GET_SIZE(now) == 0 && PyDict_DelItem(routing.tasks, key.ptr()) < 0) PyErr_Clear();
        }
        PyErr_Clear();
        PyErr_Restore(t, v, tb);
    };
    PyObject* result = PyObject_Call(fn, args.ptr(), kwargs.ptr());
    done();
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

PyObject* task_prototype = nullptr;

// ThreadPoolExecutor.submit as the kernel installs it: a task submitted by a thread that
// writes to a run belongs to that run. `original` is the original submit.
py::object submit_task(py::object original, py::object self, py::object args, py::object kwargs) {
    if (PyTuple_GET_SIZE(args.ptr()) == 0) {
        PyErr_SetString(PyExc_TypeError, "ThreadPoolExecutor.submit() missing 1 required positional argument: 'fn'");
        throw py::error_already_set();
    }
    PyObject* run = own_run();
    if (!run) run = borrowed_run();
    py::tuple forwarded = py::reinterpret_borrow<py::tuple>(args);
    if (run) {
        if (!task_prototype) {
            pyco::Def def = pyco::fn<run_task>("task", {pyco::star_args("args"), pyco::star_kwargs("kwargs")});
            def.closure = py::none();
            task_prototype = function(def).release().ptr();
        }
        py::object task = pyco::with_closure(task_prototype, py::make_tuple(py::handle(PyTuple_GET_ITEM(args.ptr(), 0)),
                                                                              py::handle(run)));
        PyObject* rest = PyTuple_GetSlice(args.ptr(), 1, PyTuple_GET_SIZE(args.ptr()));
        if (!rest) throw py::error_already_set();
        forwarded = py::make_tuple(task) + py::reinterpret_steal<py::tuple>(rest);
    }
    PyObject* call_args = PyTuple_New(PyTuple_GET_SIZE(forwarded.ptr()) + 1);
    if (!call_args) throw py::error_already_set();
    PyTuple_SET_ITEM(call_args, 0, Py_NewRef(self.ptr()));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(forwarded.ptr()); ++i)
        PyTuple_SET_ITEM(call_args, i + 1, Py_NewRef(PyTuple_GET_ITEM(forwarded.ptr(), i)));
    py::object positional = py::reinterpret_steal<py::object>(call_args);
    PyObject* future = PyObject_Call(original.ptr(), positional.ptr(), kwargs.ptr());
    if (!future) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(future);
}

// threading.Thread._bootstrap_inner as the kernel installs it: a thread that ends takes its
// entry (the run it writes to) with it. `original` is the original method.
py::object run_thread(py::object original, py::object thread) {
    try {
        original(thread);
    } PYCO_RETHROW_FORCED_UNWIND catch (...) {
        if (routing.children && PyDict_DelItem(routing.children, thread.ptr()) < 0) PyErr_Clear();
        throw;
    }
    if (routing.children && PyDict_DelItem(routing.children, thread.ptr()) < 0) PyErr_Clear();  // none: fine
    return py::none();
}

// Where output goes when no run is active: the kernel's hooks, else the streams found
// before the runs, else the interpreter's own streams.
// Never a router: a router routed to itself would recurse without end.
PyObject* home(int kind) {
    int ignored;
    for (PyObject* pair : {routing.hooks, routing.saved}) {
        if (!pair) continue;
        PyObject* s = PyTuple_GET_ITEM(pair, kind);
        if (s != Py_None && router_of(s, &ignored) < 0) return s;
    }
    PyObject* s = PySys_GetObject(kind ? "__stderr__" : "__stdout__");
    return s && router_of(s, &ignored) < 0 ? s : Py_None;
}

// The object a write to router pair `index`, stream `kind`, goes to (borrowed).
PyObject* route(int index, int kind) {
    if (PyObject* run = own_run()) return PyTuple_GET_ITEM(run, kind);
    if (PyObject* run = borrowed_run()) return PyTuple_GET_ITEM(run, kind);
    if (PyObject* bound = routing.routers[static_cast<size_t>(index)].bound) return PyTuple_GET_ITEM(bound, kind);
    // A late write (the run it stood for has ended): where output goes now.
    PyObject* current = sys_stream(kind);
    int current_kind = kind;
    int current_index = current ? router_of(current, &current_kind) : -1;
    if (current && current != Py_None && current_index < 0) return current;
    if (current_index >= 0) {
        if (PyObject* bound = routing.routers[static_cast<size_t>(current_index)].bound)
            return PyTuple_GET_ITEM(bound, current_kind);
    }
    return home(kind);
}

// --- what a run's captures keep ------------------------------------------------
//
// The two captures of a run share one Keeper (an instance attribute `_keep`: the keeper's
// capsule and which of the two the capture is). With nothing to keep, a capture keeps no
// text (getvalue() is empty). Otherwise the run keeps the first `half` characters written
// to either capture (each capture's `_buffer` holds its part) and the last `half`
// characters written after those; what falls between is left out, and getvalue() shows a
// line saying how many characters were. A capture without a keeper keeps everything.
struct Keeper {
    bool keeps = true;
    Py_ssize_t head_left = 0;   // characters the heads may still take
    Py_ssize_t tail_limit = 0;  // characters the tails keep at most
    Py_ssize_t tail_chars = 0;
    Py_ssize_t left_out[2] = {0, 0};
    PyObject* tail = nullptr;   // list of (which, piece), oldest first (owned)
    Py_ssize_t tail_start = 0;  // items before it are dropped
    ~Keeper() { Py_XDECREF(tail); }
};

constexpr const char* kKeeperName = "vantrel.kernel.kept_output";

// The keeper of a capture (held while in use) and which of its run's two captures it is.
struct KeeperRef {
    py::object held;
    Keeper* k = nullptr;
    int which = 0;
    explicit operator bool() const { return k != nullptr; }
};

KeeperRef keeper_of(const py::object& capture) {
    KeeperRef ref;
    PyObject* keep = PyObject_GetAttr(capture.ptr(), S("_keep").ptr());
    if (!keep) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        return ref;
    }
    ref.held = py::reinterpret_steal<py::object>(keep);
    if (!PyTuple_Check(keep) || PyTuple_GET_SIZE(keep) != 2) return ref;
    ref.k = static_cast<Keeper*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(keep, 0), kKeeperName));
    if (!ref.k) PyErr_Clear();
    ref.which = PyTuple_GET_ITEM(keep, 1) == Py_True ? 1 : 0;
    return ref;
}

// Keeps the tail within its limit, oldest pieces (or their starts) first out.
void trim_tail(Keeper* k) {
    while (k->tail_chars > k->tail_limit && k->tail_start < PyList_GET_SIZE(k->tail)) {
        PyObject* item = PyList_GET_ITEM(k->tail, k->tail_start);
        int which = PyTuple_GET_ITEM(item, 0) == Py_True ? 1 : 0;
        PyObject* piece = PyTuple_GET_ITEM(item, 1);
        Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
        Py_ssize_t excess = k->tail_chars - k->tail_limit;
        if (n <= excess) {
            k->left_out[which] += n;
            k->tail_chars -= n;
            ++k->tail_start;
            continue;
        }
        PyObject* rest = PyUnicode_Substring(piece, excess, n);
        if (!rest) throw py::error_already_set();
        PyObject* replaced = PyTuple_Pack(2, PyTuple_GET_ITEM(item, 0), rest);
        Py_DECREF(rest);
        if (!replaced) throw py::error_already_set();
        PyList_SetItem(k->tail, k->tail_start, replaced);  // steals `replaced`
        k->left_out[which] += excess;
        k->tail_chars -= excess;
    }
    // Dropped items are removed in batches, so trimming stays linear in what is written.
    if (k->tail_start > 1024 && k->tail_start * 2 > PyList_GET_SIZE(k->tail)) {
        if (PySequence_DelSlice(k->tail, 0, k->tail_start) < 0) throw py::error_already_set();
        k->tail_start = 0;
    }
}

// Keeps what the keeper allows of `text` written to `capture` (its run's capture `which`).
void keep_text(Keeper* k, int which, const py::object& capture, const py::object& text, Py_ssize_t n) {
    if (!k->keeps) return;
    Py_ssize_t to_head = n < k->head_left ? n : k->head_left;
    if (to_head > 0) {
        py::object head = to_head == n ? text
                                       : py::reinterpret_steal<py::object>(PyUnicode_Substring(text.ptr(), 0, to_head));
        if (!head) throw py::error_already_set();
        capture.attr(S("_buffer")).attr(S("write"))(head);
        k->head_left -= to_head;
    }
    if (to_head == n) return;
    py::object rest = to_head == 0 ? text : py::reinterpret_steal<py::object>(PyUnicode_Substring(text.ptr(), to_head, n));
    if (!rest) throw py::error_already_set();
    py::tuple item = py::make_tuple(py::bool_(which == 1), rest);
    if (PyList_Append(k->tail, item.ptr()) < 0) throw py::error_already_set();
    k->tail_chars += n - to_head;
    trim_tail(k);
}

// What a capture with a keeper shows: its head, the line on what was left out, its tail.
py::object kept_text(Keeper* k, int which, const py::object& capture) {
    if (!k->keeps) return py::str("");
    py::object head = capture.attr(S("_buffer")).attr(S("getvalue"))();
    py::list parts;
    parts.append(head);
    if (Py_ssize_t left_out = k->left_out[which]) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(head.ptr());
        bool ends_line = n == 0 || PyUnicode_ReadChar(head.ptr(), n - 1) == '\n';
        parts.append(pyco::fmt("{}[... {} characters of output left out ...]\n", ends_line ? "" : "\n", left_out));
    }
    for (Py_ssize_t i = k->tail_start; i < PyList_GET_SIZE(k->tail); ++i) {
        PyObject* item = PyList_GET_ITEM(k->tail, i);
        if ((PyTuple_GET_ITEM(item, 0) == Py_True) == (which == 1)) parts.append(PyTuple_GET_ITEM(item, 1));
    }
    return py::str("").attr(S("join"))(parts);
}

// --- StreamCapture ---------------------------------------------------------

py::object capture_init(py::object self, py::object on_write) {
    // The base initialiser, as super().__init__() finds it; for a StreamCapture itself
    // that is object.__init__, which does nothing.
    if (Py_TYPE(self.ptr()) != reinterpret_cast<PyTypeObject*>(capture_class))
        builtin("super")(py::handle(capture_class), self).attr(S("__init__"))();
    self.attr(S("_buffer")) = attr_of("io", "StringIO")();
    self.attr(S("_on_write")) = on_write;
    return py::none();
}

// A capture's own write: keep the text (as much of it as the run keeps), hand it to the
// callback.
py::object capture_write_own(const py::object& self, const py::object& text, Py_ssize_t n) {
    if (KeeperRef keeper = keeper_of(self)) {
        keep_text(keeper.k, keeper.which, self, text, n);
    } else {
        self.attr(S("_buffer")).attr(S("write"))(text);
    }
    py::object on_write = self.attr(S("_on_write"));
    if (pyco::truthy(on_write)) {
        try {
            on_write(text);
        } catch (py::error_already_set& e) {
            if (!pyco::is_exception(e)) throw;
        }
    }
    return py::int_(n);
}

py::object capture_write(py::object self, py::object text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    if (n == 0) return py::int_(0);
    int kind = 0;
    int index = router_of(self.ptr(), &kind);
    if (index < 0) return capture_write_own(self, text, n);
    py::object target = py::reinterpret_borrow<py::object>(route(index, kind));
    if (Py_TYPE(target.ptr()) == reinterpret_cast<PyTypeObject*>(capture_class)) {
        int ignored;
        if (router_of(target.ptr(), &ignored) < 0) return capture_write_own(target, text, n);
    }
    if (target.is_none()) return py::int_(n);
    return target.attr(S("write"))(text);
}

py::object capture_getvalue(py::object self) {
    int kind = 0;
    int index = router_of(self.ptr(), &kind);
    if (index >= 0) {
        // A router shows the text of the run it writes to.
        py::object target = py::reinterpret_borrow<py::object>(route(index, kind));
        int ignored;
        if (router_of(target.ptr(), &ignored) < 0 && py::hasattr(target, "getvalue")) return target.attr(S("getvalue"))();
    }
    if (KeeperRef keeper = keeper_of(self)) return kept_text(keeper.k, keeper.which, self);
    return self.attr(S("_buffer")).attr(S("getvalue"))();
}

// The run's own capture a router writes to now, or null (a late write goes to the kernel's
// hooks or the interpreter's streams, which belong to the whole process).
PyObject* routed_capture(int index, int kind) {
    PyObject* target = route(index, kind);
    int ignored;
    if (Py_TYPE(target) == reinterpret_cast<PyTypeObject*>(capture_class) && router_of(target, &ignored) < 0) return target;
    return nullptr;
}

// close(): routers are shared by every run, so closing one closes the run it writes to (its
// own capture), never the router itself nor the process's streams; any other capture
// closes as a text stream does.
py::object capture_close(py::object self) {
    int kind = 0;
    int index = router_of(self.ptr(), &kind);
    if (index < 0) return attr_of("io", "TextIOBase").attr(S("close"))(self);
    if (PyObject* run = routed_capture(index, kind)) return py::handle(run).attr(S("close"))();
    return py::none();
}

py::object capture_closed(py::object self) {
    int kind = 0;
    int index = router_of(self.ptr(), &kind);
    if (index < 0) return attr_of("io", "TextIOBase").attr(S("closed")).attr(S("__get__"))(self);
    if (PyObject* run = routed_capture(index, kind)) return py::handle(run).attr(S("closed"));
    return py::bool_(false);
}

py::object do_nothing(py::object) { return py::none(); }
py::object no(py::object) { return py::bool_(false); }
py::object yes(py::object) { return py::bool_(true); }

// --- KernelStreamHook ------------------------------------------------------

py::object hook_init(py::object self, py::object stream_type, py::object send_callback) {
    builtin("super")(py::handle(hook_class), self).attr(S("__init__"))();
    self.attr(S("stream_type")) = stream_type;
    self.attr(S("send_callback")) = send_callback;
    bool is_stdout = stream_type.equal(py::str("stdout"));
    self.attr(S("_original_stream")) = attr_of("sys", is_stdout ? "stdout" : "stderr");
    return py::none();
}

py::object hook_write(py::object self, py::object text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    if (n == 0) return py::int_(0);
    py::object original = self.attr(S("_original_stream"));
    try {
        original.attr(S("write"))(text);
        original.attr(S("flush"))();
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
    }
    py::object send = self.attr(S("send_callback"));
    if (pyco::truthy(send)) {
        py::object failure;
        try {
            send(self.attr(S("stream_type")), text);
        } catch (py::error_already_set& e) {
            if (!pyco::is_exception(e)) throw;
            failure = e.value();
        }
        if (failure) {
            // Reported on the console stream only: never through logging or sys.stdout.
            try {
                original.attr(S("write"))(pyco::fmt("[KernelStreamHook Error] {}\n", failure));
            } catch (py::error_already_set& e) {
                if (!pyco::is_exception(e)) throw;
            }
        }
    }
    return py::int_(n);
}

py::object hook_flush(py::object self) {
    try {
        self.attr(S("_original_stream")).attr(S("flush"))();
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
    }
    return py::none();
}

// A free router pair (made when all are in use).
int take_router() {
    for (size_t i = 0; i < routing.routers.size(); ++i) {
        if (!routing.routers[i].in_use) return static_cast<int>(i);
    }
    py::object cls = py::reinterpret_borrow<py::object>(capture_class);
    py::object out = cls();
    py::object err = cls();
    RouterPair pair;
    pair.streams[0] = out.release().ptr();
    pair.streams[1] = err.release().ptr();
    routing.routers.push_back(pair);
    return static_cast<int>(routing.routers.size() - 1);
}

// The threads of a run that ends write as late writers from now on.
void forget_children(PyObject* pair) {
    if (!routing.children || PyDict_GET_SIZE(routing.children) == 0) return;
    py::list gone;
    Py_ssize_t pos = 0;
    PyObject *thread, *run;
    while (PyDict_Next(routing.children, &pos, &thread, &run)) {
        if (run == pair && PyList_Append(gone.ptr(), thread) < 0) throw py::error_already_set();
    }
    for (py::handle thread : gone) {
        if (PyDict_DelItem(routing.children, thread.ptr()) < 0) throw py::error_already_set();
    }
}

// Removes `item` (by identity) from `list`, if present.
void remove_item(PyObject* list, PyObject* item) {
    for (Py_ssize_t i = PyList_GET_SIZE(list) - 1; i >= 0; --i) {
        if (PyList_GET_ITEM(list, i) == item) {
            if (PySequence_DelItem(list, i) < 0) throw py::error_already_set();
            return;
        }
    }
}

}  // namespace

CaptureScope::CaptureScope(py::object out, py::object err) {
    ensure_routing();
    pair_ = py::make_tuple(std::move(out), std::move(err));
    try {
        router_ = take_router();
        RouterPair& r = routing.routers[static_cast<size_t>(router_)];
        r.in_use = true;
        r.bound = Py_NewRef(pair_.ptr());
        if (PyList_GET_SIZE(routing.order) == 0) {
            PyObject* out_now = sys_stream(0);
            PyObject* err_now = sys_stream(1);
            PyObject* saved = PyTuple_Pack(2, out_now ? out_now : Py_None, err_now ? err_now : Py_None);
            if (!saved) throw py::error_already_set();
            Py_XSETREF(routing.saved, saved);
        }
        py::object key = py::reinterpret_steal<py::object>(thread_key());
        PyObject* stack = PyDict_GetItemWithError(routing.by_thread, key.ptr());
        if (!stack) {
            if (PyErr_Occurred()) throw py::error_already_set();
            py::list fresh;
            if (PyDict_SetItem(routing.by_thread, key.ptr(), fresh.ptr()) < 0) throw py::error_already_set();
            stack = fresh.ptr();
        }
        if (PyList_Append(stack, pair_.ptr()) < 0) throw py::error_already_set();
        if (PyList_Append(routing.order, pair_.ptr()) < 0) throw py::error_already_set();
        install(0, r.streams[0]);
        install(1, r.streams[1]);
    } PYCO_RETHROW_FORCED_UNWIND catch (...) {
        end();  // undoes whatever part was done
        throw;
    }
}

CaptureScope::~CaptureScope() { end(); }

void CaptureScope::end() noexcept {
    // A thread ended at interpreter exit leaves the routing as it is.
    if (pyco::unwinding_at_exit()) return;
    // May run while an exception propagates: the error indicator is kept intact.
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject* unbound = nullptr;
    try {
        py::object key = py::reinterpret_steal<py::object>(thread_key());
        PyObject* stack = PyDict_GetItemWithError(routing.by_thread, key.ptr());
        if (stack) {
            remove_item(stack, pair_.ptr());
            if (PyList_GET_SIZE(stack) == 0 && PyDict_DelItem(routing.by_thread, key.ptr()) < 0)
                throw py::error_already_set();
        }
        remove_item(routing.order, pair_.ptr());
        forget_children(pair_.ptr());
        PyObject* mine[2] = {nullptr, nullptr};
        if (router_ >= 0) {
            RouterPair& r = routing.routers[static_cast<size_t>(router_)];
            unbound = std::exchange(r.bound, nullptr);
            r.in_use = false;
            mine[0] = r.streams[0];
            mine[1] = r.streams[1];
        }
        Py_ssize_t left = PyList_GET_SIZE(routing.order);
        if (left > 0) {
            // The streams stand for the latest run still active, where they stood for this one.
            PyObject* latest = PyList_GET_ITEM(routing.order, left - 1);
            int kind;
            for (const RouterPair& r : routing.routers) {
                if (r.bound != latest) continue;
                for (int k = 0; k < 2; ++k) {
                    if (mine[k] && sys_stream(k) == mine[k] && router_of(r.streams[k], &kind) >= 0) install(k, r.streams[k]);
                }
                break;
            }
        } else if (routing.hooks || routing.saved) {
            // No run is active any more: the kernel's hooks (or what was there before).
            py::object restore = py::reinterpret_borrow<py::object>(routing.hooks ? routing.hooks : routing.saved);
            install(0, PyTuple_GET_ITEM(restore.ptr(), 0));
            install(1, PyTuple_GET_ITEM(restore.ptr(), 1));
            Py_CLEAR(routing.saved);
        }
    } catch (...) {
        // noexcept (it ends a scope): this catch-all cannot let a thread's forced unwinding
        // through, so a thread being ended returns at the top instead.
        PyErr_Clear();
    }
    Py_XDECREF(unbound);
    PyErr_Clear();
    PyErr_Restore(t, v, tb);
}

void limit_captures(const py::object& out, const py::object& err, Keep keep) {
    auto k = std::make_unique<Keeper>();
    k->keeps = keep == Keep::Bounded;
    if (k->keeps) {
        Py_ssize_t half = g("_KEPT_OUTPUT_CHARS").cast<Py_ssize_t>();
        k->head_left = half;
        k->tail_limit = half;
    }
    k->tail = PyList_New(0);
    if (!k->tail) throw py::error_already_set();
    py::object keeper = pyco::make_capsule(std::move(k), kKeeperName);
    out.attr(S("_keep")) = py::make_tuple(keeper, py::bool_(false));
    err.attr(S("_keep")) = py::make_tuple(keeper, py::bool_(true));
}

void set_kernel_hooks(py::handle owner, py::handle out, py::handle err) {
    ensure_routing();
    if (PyList_Append(routing.permanent, out.ptr()) < 0 || PyList_Append(routing.permanent, err.ptr()) < 0)
        throw py::error_already_set();
    PyObject* hooks = PyTuple_Pack(2, out.ptr(), err.ptr());
    if (!hooks) throw py::error_already_set();
    Py_XSETREF(routing.hooks, hooks);
    routing.hooks_owner = owner.ptr();
}

void clear_kernel_hooks(py::handle owner, py::handle restore_out, py::handle restore_err) {
    ensure_routing();
    if (routing.hooks_owner != owner.ptr()) return;  // another kernel's hooks, or none
    routing.hooks_owner = nullptr;
    Py_CLEAR(routing.hooks);
    if (PyList_GET_SIZE(routing.order) > 0) {
        // Runs still active end by putting back what the kernel restores now.
        PyObject* saved = PyTuple_Pack(2, restore_out.ptr(), restore_err.ptr());
        if (!saved) throw py::error_already_set();
        Py_XSETREF(routing.saved, saved);
    }
}

void define_stream_classes(py::module_ m) {
    py::object io = attr_of("io", "TextIOBase");
    py::tuple bases = py::make_tuple(io);
    py::dict returns_int = annotations({{"return", builtin("int")}});
    py::object capture =
        pyco::ClassBuilder("StreamCapture", module_name(), bases,
                           "Captures one run's output and hands every write to a callback.")
            .method(pyco::fn<capture_init>("__init__", {"self", arg("on_write").def_none()}))
            .method(pyco::fn<capture_write>("write", {"self", arg("text").type(Check::Str)}).annotated(returns_int))
            .method(pyco::fn<capture_getvalue>("getvalue", {"self"}).annotated(annotations({{"return", builtin("str")}})))
            .method(pyco::fn<do_nothing>("flush", {"self"}))
            .method(pyco::fn<no>("readable", {"self"}))
            .method(pyco::fn<yes>("writable", {"self"}))
            .method(pyco::fn<capture_close>("close", {"self"}))
            .property(pyco::fn<capture_closed>("closed", {"self"}))
            .build();
    py::object hook =
        pyco::ClassBuilder("KernelStreamHook", module_name(), bases,
                           "Forwards process output to the Business Layer and echoes it to the console.")
            .method(pyco::fn<hook_init>("__init__", {"self", arg("stream_type").type(Check::Str), "send_callback"}))
            .method(pyco::fn<hook_write>("write", {"self", arg("text").type(Check::Str)}).annotated(returns_int))
            .method(pyco::fn<hook_flush>("flush", {"self"}))
            .method(pyco::fn<no>("readable", {"self"}))
            .method(pyco::fn<yes>("writable", {"self"}))
            .build();
    // The module is set up once per process, so these live as long as it does.
    capture_class = Py_NewRef(capture.ptr());
    hook_class = Py_NewRef(hook.ptr());
    m.attr(S("StreamCapture")) = capture;
    m.attr(S("KernelStreamHook")) = hook;
}

void install_thread_start_hook() {
    ensure_routing();
    // Threads started from now on remember the run that started them.
    py::module_ threading = py::module_::import("threading");
    threads_by_ident = py::object(threading.attr("_active")).release().ptr();
    py::object thread_class = threading.attr("Thread");
    py::object original_start = thread_class.attr("start");
    thread_class.attr("start") = pyco::make_function(pyco::fn<start_thread>("start", {"self"}, "Start the thread's activity.")
                                                         .with_qualname("Thread.start")
                                                         .with_closure(original_start),
                                                     py::str("threading"));
    // Executor tasks remember the run that submitted them.
    py::object pool_class = py::module_::import("concurrent.futures").attr("ThreadPoolExecutor");
    py::object original_submit = pool_class.attr("submit");
    pool_class.attr("submit") = pyco::make_function(
        pyco::fn<submit_task>("submit", {"self", pyco::star_args("args"), pyco::star_kwargs("kwargs")},
                              "Submit a callable to be executed with the given arguments.")
            .with_qualname("ThreadPoolExecutor.submit")
            .with_closure(original_submit),
        py::str("concurrent.futures.thread"));
    // A thread forgets its run when it ends.
    py::object original_bootstrap = thread_class.attr("_bootstrap_inner");
    thread_class.attr("_bootstrap_inner") = pyco::make_function(
        pyco::fn<run_thread>("_bootstrap_inner", {"self"}).with_qualname("Thread._bootstrap_inner").with_closure(original_bootstrap),
        py::str("threading"));
}

}  // namespace kernel
