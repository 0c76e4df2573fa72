// The coroutine object: a C++20 coroutine frame driven as Python drives its own
// coroutines (send, throw, close, finalisation), through am_send on the fast path.
#include "pyco/pyco.hpp"

#include <cstring>
#include <iterator>

namespace pyco {

namespace detail_func {
PyObject* function_attr(PyObject* function, int which);
}

namespace {

enum State : unsigned char { CREATED, SUSPENDED, RUNNING, FINISHED };

struct CoroObject {
    PyObject_HEAD
    Handle h;
    PyObject* name;
    PyObject* qualname;
    PyObject* code;
    PyObject* origin;  // the pyco function that made it: names and code come from there
    PyObject* weakreflist;
    State state;
};

PyTypeObject CoroType = {PyVarObject_HEAD_INIT(nullptr, 0)};

// Free lists hide use-after-free from AddressSanitizer: sanitizer builds go without.
#ifdef PYCO_NO_FREELISTS
constexpr int kFreelistSize = 0;
#else
constexpr int kFreelistSize = 128;
#endif
CoroObject* freelist[kFreelistSize > 0 ? kFreelistSize : 1];
int freelist_len = 0;
Py_ssize_t live = 0;

PyObject* break_sentinel = nullptr;

inline CoroObject* as_coro(PyObject* o) { return reinterpret_cast<CoroObject*>(o); }

// The coroutine's name, qualified name and code: its own when set, else its function's.
PyObject* own_or_origin(PyObject* own, CoroObject* c, int which) {
    if (own) return own;
    return c->origin ? detail_func::function_attr(c->origin, which) : nullptr;
}
PyObject* name_of(CoroObject* c) { return own_or_origin(c->name, c, 0); }
PyObject* qualname_of(CoroObject* c) {
    PyObject* q = own_or_origin(c->qualname, c, 1);
    return q ? q : name_of(c);
}

void destroy_frame(CoroObject* c) {
    if (c->h) {
        Handle h = std::exchange(c->h, {});
        h.destroy();
    }
}

// Raises the exception that ended a coroutine. As for Python coroutines, a StopIteration
// must not pass for a return: it becomes RuntimeError("coroutine raised StopIteration").
void raise_ending_error(SavedError& err) {
    if (!err.matches(PyExc_StopIteration)) {
        err.restore();
        return;
    }
    PyObject* stop = Py_NewRef(err.value);
    err.clear();
    PyObject* rt = PyObject_CallFunction(PyExc_RuntimeError, "s", "coroutine raised StopIteration");
    if (!rt) {
        Py_DECREF(stop);
        return;
    }
    PyException_SetCause(rt, Py_NewRef(stop));
    PyException_SetContext(rt, stop);
    PyErr_SetObject(PyExc_RuntimeError, rt);
    Py_DECREF(rt);
}

// Resumes the frame and reports how it stopped: at an await whose iterator yielded
// (NEXT, *out = the yielded value), by returning (RETURN, *out = the value) or by raising
// (ERROR, error indicator set). The frame is destroyed once it has finished.
PySendResult resume(CoroObject* c, PyObject** out) {
    Promise& p = c->h.promise();
    c->state = RUNNING;
    c->h.resume();
    if (!c->h.done()) {
        c->state = SUSPENDED;
        *out = std::exchange(p.yielded, nullptr);
        return PYGEN_NEXT;
    }
    c->state = FINISHED;
    if (p.error.is_set()) {
        SavedError err = std::move(p.error);
        destroy_frame(c);
        raise_ending_error(err);
        return PYGEN_ERROR;
    }
    PyObject* result = std::exchange(p.result, nullptr);
    destroy_frame(c);
    *out = result ? result : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

PySendResult coro_send_impl(CoroObject* c, PyObject* arg, PyObject** out) {
    switch (c->state) {
        case RUNNING:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return PYGEN_ERROR;
        case FINISHED:
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        case CREATED:
            if (arg != Py_None) {
                PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                return PYGEN_ERROR;
            }
            return resume(c, out);
        case SUSPENDED:
            break;
    }
    Promise& p = c->h.promise();
    PyObject* res = nullptr;
    c->state = RUNNING;
    PySendResult r = PyIter_Send(p.awaiting, arg, &res);
    if (r == PYGEN_NEXT) {
        c->state = SUSPENDED;
        *out = res;
        return PYGEN_NEXT;
    }
    Py_CLEAR(p.awaiting);
    if (r == PYGEN_RETURN) {
        p.sent = res;
    } else {
        p.error.fetch();
    }
    return resume(c, out);
}

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** out) {
    return coro_send_impl(as_coro(self), arg, out);
}

// Raises StopIteration(value) as a method call must report a return; tuples and
// exception instances are wrapped so they arrive as the value itself.
PyObject* return_via_stop_iteration(PyObject* value) {
    // As native coroutines do: tuples and exception instances are wrapped so that they
    // arrive as the value itself.
    _PyGen_SetStopIterationValue(value);
    Py_DECREF(value);
    return nullptr;
}

// The result of a send/throw/close method call: the yielded value, or StopIteration.
PyObject* send_result_to_call(PySendResult r, PyObject* res) {
    if (r == PYGEN_NEXT) return res;
    if (r == PYGEN_RETURN) return return_via_stop_iteration(res);
    return nullptr;
}

PyObject* coro_iternext(PyObject* self) {
    PyObject* res = nullptr;
    PySendResult r = coro_send_impl(as_coro(self), Py_None, &res);
    if (r == PYGEN_RETURN) {
        if (res == Py_None) {
            Py_DECREF(res);
            return nullptr;  // iterator exhausted without a value
        }
        return return_via_stop_iteration(res);
    }
    return send_result_to_call(r, res);
}

PyObject* coro_send(PyObject* self, PyObject* arg) {
    PyObject* res = nullptr;
    PySendResult r = coro_send_impl(as_coro(self), arg, &res);
    return send_result_to_call(r, res);
}

// Calls `name` on the awaited iterator, if it has such a method.
// Returns 1 with *res set (may be null on error), 0 when there is no such method.
int call_inner(PyObject* it, const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject** res) {
    PyObject* meth = nullptr;
    if (_PyObject_LookupAttr(it, intern(name), &meth) < 0) {
        *res = nullptr;
        return 1;
    }
    if (!meth) return 0;
    *res = PyObject_Vectorcall(meth, args, static_cast<size_t>(nargs), nullptr);
    Py_DECREF(meth);
    return 1;
}

// Closes the awaited iterator; on failure the error indicator is set and -1 returned.
int close_inner(PyObject* it) {
    PyObject* res = nullptr;
    if (!call_inner(it, "close", nullptr, 0, &res)) return 0;
    if (!res) return -1;
    Py_DECREF(res);
    return 0;
}

PyObject* coro_close(PyObject* self, PyObject* = nullptr) {
    CoroObject* c = as_coro(self);
    switch (c->state) {
        case RUNNING:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return nullptr;
        case CREATED:
            c->state = FINISHED;
            destroy_frame(c);
            Py_RETURN_NONE;
        case FINISHED:
            Py_RETURN_NONE;
        case SUSPENDED:
            break;
    }
    Promise& p = c->h.promise();
    PyObject* it = std::exchange(p.awaiting, nullptr);
    c->state = RUNNING;
    int err = it ? close_inner(it) : 0;
    Py_XDECREF(it);
    if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
    p.error.fetch();
    PyObject* res = nullptr;
    PySendResult r = resume(c, &res);
    if (r == PYGEN_NEXT) {
        Py_DECREF(res);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (r == PYGEN_RETURN) {
        Py_DECREF(res);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

// throw(type[, value[, traceback]]) with the interpreter's own argument rules.
PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        if (nargs > 3) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        }
        return nullptr;
    }
    CoroObject* c = as_coro(self);
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : nullptr;
    PyObject* tb = nargs > 2 ? args[2] : nullptr;
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    if (c->state == RUNNING) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }

    // The awaited iterator gets the exception first.
    if (c->state == SUSPENDED) {
        Promise& p = c->h.promise();
        PyObject* it = p.awaiting;
        if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
            p.awaiting = nullptr;
            c->state = RUNNING;
            int err = close_inner(it);
            Py_DECREF(it);
            c->state = SUSPENDED;
            if (err < 0) {
                p.error.fetch();
                PyObject* res = nullptr;
                PySendResult r = resume(c, &res);
                return send_result_to_call(r, res);
            }
            // fall through: raise GeneratorExit at the await point
        } else {
            PyObject* res = nullptr;
            c->state = RUNNING;
            Py_INCREF(it);
            int has = call_inner(it, "throw", args, nargs, &res);
            Py_DECREF(it);
            c->state = SUSPENDED;
            if (has) {
                if (res) return res;  // the iterator handled it and yielded again
                Py_CLEAR(p.awaiting);
                PyObject* value = nullptr;
                if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                    // The iterator returned: its value is the await's result.
                    PyObject *t, *v, *b;
                    PyErr_Fetch(&t, &v, &b);
                    PyErr_NormalizeException(&t, &v, &b);
                    value = v ? PyObject_GetAttrString(v, "value") : Py_NewRef(Py_None);
                    Py_XDECREF(t);
                    Py_XDECREF(v);
                    Py_XDECREF(b);
                    if (!value) return nullptr;
                    p.sent = value;
                } else {
                    p.error.fetch();
                }
                PyObject* out = nullptr;
                PySendResult r = resume(c, &out);
                return send_result_to_call(r, out);
            }
            // No throw method: the iterator is dropped and the exception raised at the await point.
            Py_CLEAR(p.awaiting);
        }
    }

    // Build the exception as `raise` would and raise it at the suspension point.
    Py_INCREF(typ);
    Py_XINCREF(val);
    Py_XINCREF(tb);
    if (PyExceptionClass_Check(typ)) {
        PyErr_NormalizeException(&typ, &val, &tb);
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            Py_DECREF(typ);
            Py_XDECREF(val);
            Py_XDECREF(tb);
            return nullptr;
        }
        Py_XDECREF(val);
        val = typ;
        typ = Py_NewRef(reinterpret_cast<PyObject*>(PyExceptionInstance_Class(typ)));
        if (!tb) tb = PyException_GetTraceback(val);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        Py_DECREF(typ);
        Py_XDECREF(val);
        Py_XDECREF(tb);
        return nullptr;
    }
    if (tb && val) PyException_SetTraceback(val, tb);
    PyErr_Restore(typ, val, tb);

    if (c->state == FINISHED) {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return nullptr;
    }
    if (c->state == CREATED) {
        // Raised before the first statement: the coroutine ends with it.
        c->state = FINISHED;
        SavedError err;
        err.fetch();
        destroy_frame(c);
        raise_ending_error(err);
        return nullptr;
    }
    c->h.promise().error.fetch();
    PyObject* res = nullptr;
    PySendResult r = resume(c, &res);
    return send_result_to_call(r, res);
}

void coro_finalize(PyObject* self) {
    CoroObject* c = as_coro(self);
    if (c->state == FINISHED || !c->h) return;
    PyObject *t, *v, *b;
    PyErr_Fetch(&t, &v, &b);
    if (c->state == CREATED) {
        PyObject* name = qualname_of(c);
        int w = name ? PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", name)
                     : PyErr_WarnEx(PyExc_RuntimeWarning, "coroutine was never awaited", 1);
        if (w < 0) PyErr_WriteUnraisable(self);
    } else {
        PyObject* res = coro_close(self);
        if (res) {
            Py_DECREF(res);
        } else {
            PyErr_WriteUnraisable(self);
        }
    }
    PyErr_Restore(t, v, b);
}

void coro_dealloc(PyObject* self) {
    CoroObject* c = as_coro(self);
    // Only an unfinished coroutine has anything to finalise (close or warn).
    if (c->h && c->state != FINISHED && PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    if (c->weakreflist) PyObject_ClearWeakRefs(self);
    destroy_frame(c);
    Py_CLEAR(c->name);
    Py_CLEAR(c->qualname);
    Py_CLEAR(c->code);
    Py_CLEAR(c->origin);
    --live;
    if (freelist_len < kFreelistSize) {
        freelist[freelist_len++] = c;
    } else {
        PyObject_Free(self);
    }
}

PyObject* coro_repr(PyObject* self) {
    CoroObject* c = as_coro(self);
    PyObject* n = qualname_of(c);
    if (n) return PyUnicode_FromFormat("<coroutine object %U at %p>", n, self);
    return PyUnicode_FromFormat("<coroutine object at %p>", self);
}

PyObject* coro_await(PyObject* self) { return Py_NewRef(self); }

PyObject* get_name(PyObject* self, void*) {
    CoroObject* c = as_coro(self);
    PyObject* n = name_of(c);
    return Py_NewRef(n ? n : intern("coroutine"));
}
PyObject* get_qualname(PyObject* self, void*) {
    CoroObject* c = as_coro(self);
    PyObject* q = qualname_of(c);
    return Py_NewRef(q ? q : intern("coroutine"));
}
int set_str_field(PyObject** field, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*field, Py_NewRef(value));
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) { return set_str_field(&as_coro(self)->name, value, "__name__"); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_field(&as_coro(self)->qualname, value, "__qualname__");
}
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == RUNNING); }
PyObject* get_suspended(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == SUSPENDED); }
PyObject* get_await(PyObject* self, void*) {
    CoroObject* c = as_coro(self);
    if (c->state == SUSPENDED && c->h && c->h.promise().awaiting) return Py_NewRef(c->h.promise().awaiting);
    Py_RETURN_NONE;
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) {
    CoroObject* c = as_coro(self);
    PyObject* code = own_or_origin(c->code, c, 2);
    return Py_NewRef(code ? code : Py_None);
}

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value or raise\nStopIteration."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods coro_as_async = {coro_await, nullptr, nullptr, coro_am_send};

bool ready = false;

}  // namespace

Py_ssize_t live_coroutines() { return live; }

void set_coroutine_origin(PyObject* coro, PyObject* function) {
    if (Py_TYPE(coro) != &CoroType) return;
    Py_XSETREF(as_coro(coro)->origin, Py_NewRef(function));
}

py::object make_coroutine(Task&& t, PyObject* name, PyObject* qualname, PyObject* code) {
    Handle h = t.release();
    CoroObject* c;
    if (freelist_len > 0) {
        c = freelist[--freelist_len];
        (void)PyObject_Init(reinterpret_cast<PyObject*>(c), &CoroType);
    } else {
        c = PyObject_New(CoroObject, &CoroType);
        if (!c) {
            if (h) h.destroy();
            throw py::error_already_set();
        }
    }
    c->h = h;
    c->name = Py_XNewRef(name);
    c->qualname = Py_XNewRef(qualname);
    c->code = Py_XNewRef(code);
    c->origin = nullptr;
    c->weakreflist = nullptr;
    c->state = h ? CREATED : FINISHED;
    ++live;
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(c));
}

Task::~Task() {
    if (h_) h_.destroy();
}

Promise::~Promise() {
    Py_XDECREF(result);
    Py_XDECREF(awaiting);
    Py_XDECREF(yielded);
    Py_XDECREF(sent);
}

// Frames of one coroutine function all have the same size, so a few per-size free lists
// serve nearly every allocation (the GIL is held whenever frames are made or freed).
namespace {
struct FrameBucket {
    std::size_t size = 0;
    int count = 0;
    void* blocks[32];
};
FrameBucket frame_buckets[16];

FrameBucket* bucket_for(std::size_t n) {
    if (kFreelistSize == 0) return nullptr;
    for (FrameBucket& b : frame_buckets) {
        if (b.size == n) return &b;
        if (b.size == 0) {
            b.size = n;
            return &b;
        }
    }
    return nullptr;
}
}  // namespace

void* Promise::operator new(std::size_t n) {
    FrameBucket* b = bucket_for(n);
    if (b && b->count > 0) return b->blocks[--b->count];
    void* p = PyObject_Malloc(n);
    if (!p) throw std::bad_alloc();
    return p;
}

void Promise::operator delete(void* p, std::size_t n) noexcept {
    FrameBucket* b = bucket_for(n);
    if (b && b->count < static_cast<int>(std::size(b->blocks))) {
        b->blocks[b->count++] = p;
        return;
    }
    PyObject_Free(p);
}

void Promise::unhandled_exception() noexcept {
    set_error_from_current_exception();
    error.fetch();
}

PyObject* get_awaitable_iter(PyObject* obj) {
    PyTypeObject* tp = Py_TYPE(obj);
    if (tp == &CoroType || PyCoro_CheckExact(obj)) return Py_NewRef(obj);
    if (PyGen_CheckExact(obj)) {
        // Generator-based coroutines (types.coroutine) are awaitable as they are.
        PyObject* code = PyObject_GetAttrString(obj, "gi_code");
        if (!code) return nullptr;
        PyObject* flags = PyObject_GetAttrString(code, "co_flags");
        Py_DECREF(code);
        if (!flags) return nullptr;
        long f = PyLong_AsLong(flags);
        Py_DECREF(flags);
        if (f & CO_ITERABLE_COROUTINE) return Py_NewRef(obj);
    }
    unaryfunc getter = tp->tp_as_async ? tp->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", tp->tp_name);
        return nullptr;
    }
    PyObject* res = getter(obj);
    if (!res) return nullptr;
    if (PyCoro_CheckExact(res)) {
        Py_DECREF(res);
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(res)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(res)->tp_name);
        Py_DECREF(res);
        return nullptr;
    }
    return res;
}

bool Awaiter::await_ready() noexcept {
    PyTypeObject* tp = Py_TYPE(obj);
    PyObject* it = (tp == &CoroType || tp == &PyCoro_Type) ? Py_NewRef(obj) : get_awaitable_iter(obj);
    if (!it) {
        failed = true;
        return true;
    }
    PyObject* res = nullptr;
    PySendResult r = PyIter_Send(it, Py_None, &res);
    if (r == PYGEN_NEXT) {
        p->awaiting = it;
        p->yielded = res;
        return false;
    }
    Py_DECREF(it);
    if (r == PYGEN_RETURN) {
        value = res;
    } else {
        failed = true;
    }
    return true;
}

py::object Awaiter::await_resume() {
    if (value) return py::reinterpret_steal<py::object>(std::exchange(value, nullptr));
    if (failed) {
        if (nothrow) return py::object();
        throw_error();
    }
    // Resumed by the driver after the awaited iterator finished.
    if (p->error.is_set()) {
        p->error.restore();
        if (nothrow) return py::object();
        throw_error();
    }
    PyObject* s = std::exchange(p->sent, nullptr);
    return py::reinterpret_steal<py::object>(s ? s : Py_NewRef(Py_None));
}

py::handle break_loop() { return break_sentinel; }

AsyncCM async_cm(py::handle cm) {
    PyObject* tp = reinterpret_cast<PyObject*>(Py_TYPE(cm.ptr()));
    PyObject* enter = nullptr;
    PyObject* exit = nullptr;
    if (_PyObject_LookupAttr(tp, intern("__aenter__"), &enter) < 0) throw_error();
    if (enter && _PyObject_LookupAttr(tp, intern("__aexit__"), &exit) < 0) {
        Py_DECREF(enter);
        throw_error();
    }
    if (!enter || !exit) {
        Py_XDECREF(enter);
        Py_XDECREF(exit);
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the asynchronous context manager protocol%s",
                     Py_TYPE(cm.ptr())->tp_name, enter ? " (missed __aexit__ method)" : "");
        throw_error();
    }
    // Bind the special methods to the instance as the interpreter does.
    auto bind = [&](PyObject* f) -> py::object {
        descrgetfunc get = Py_TYPE(f)->tp_descr_get;
        if (!get) return py::reinterpret_steal<py::object>(f);
        PyObject* bound = get(f, cm.ptr(), tp);
        Py_DECREF(f);
        if (!bound) throw_error();
        return py::reinterpret_steal<py::object>(bound);
    };
    AsyncCM m;
    m.enter = bind(enter);
    m.exit = bind(exit);
    return m;
}

py::object exit_args_call(const py::object& exit, SavedError& err) {
    PyObject* tb = err.tb ? err.tb : Py_None;
    PyObject* args[3] = {err.type, err.value ? err.value : Py_None, tb};
    PyObject* r = PyObject_Vectorcall(exit.ptr(), args, 3, nullptr);
    if (!r) throw_error();
    return py::reinterpret_steal<py::object>(r);
}

py::object aiter_of(py::handle aiterable) {
    PyTypeObject* tp = Py_TYPE(aiterable.ptr());
    unaryfunc f = tp->tp_as_async ? tp->tp_as_async->am_aiter : nullptr;
    if (!f) {
        PyErr_Format(PyExc_TypeError, "'async for' requires an object with __aiter__ method, got %.100s", tp->tp_name);
        throw_error();
    }
    PyObject* it = f(aiterable.ptr());
    if (!it) throw_error();
    PyTypeObject* itp = Py_TYPE(it);
    if (!itp->tp_as_async || !itp->tp_as_async->am_anext) {
        PyErr_Format(PyExc_TypeError, "'async for' received an object from __aiter__ that does not implement __anext__: %.100s",
                     itp->tp_name);
        Py_DECREF(it);
        throw_error();
    }
    return py::reinterpret_steal<py::object>(it);
}

py::object anext_of(py::handle aiterator) {
    PyObject* aw = Py_TYPE(aiterator.ptr())->tp_as_async->am_anext(aiterator.ptr());
    if (!aw) throw_error();
    return py::reinterpret_steal<py::object>(aw);
}

namespace detail_coro {
void init_coroutine_type() {
    if (ready) return;
    CoroType.tp_name = "coroutine";
    CoroType.tp_basicsize = sizeof(CoroObject);
    CoroType.tp_flags = Py_TPFLAGS_DEFAULT;
    CoroType.tp_dealloc = coro_dealloc;
    CoroType.tp_finalize = coro_finalize;
    CoroType.tp_repr = coro_repr;
    CoroType.tp_as_async = &coro_as_async;
    CoroType.tp_iter = PyObject_SelfIter;
    CoroType.tp_iternext = coro_iternext;
    CoroType.tp_methods = coro_methods;
    CoroType.tp_getset = coro_getset;
    CoroType.tp_weaklistoffset = offsetof(CoroObject, weakreflist);
    CoroType.tp_doc = "A coroutine whose body is C++ code.";
    if (PyType_Ready(&CoroType) < 0) throw_error();
    // asyncio recognises coroutines through collections.abc.Coroutine.
    py::module_::import("collections.abc").attr("Coroutine").attr("register")(py::handle(reinterpret_cast<PyObject*>(&CoroType)));
    break_sentinel = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    if (!break_sentinel) throw_error();
    ready = true;
}
}  // namespace detail_coro

}  // namespace pyco
