// The coroutine object: a C++20 coroutine frame driven as Python drives its own
// coroutines (send, throw, close, finalisation), through am_send on the fast path.
#include "pyco/pyco.hpp"

#include <frameobject.h>

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
    PyObject* frame;   // cr_frame, made when first asked for
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
PyObject* anonymous_code = nullptr;   // frame code of coroutines without a function
PyObject* anonymous_globals = nullptr;
getter native_suspended_getter = nullptr;  // the interpreter's own cr_suspended
void* native_suspended_closure = nullptr;

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

// Ends the frame (its locals and the promise's references are released). The coroutine
// counts as finished from here on, also for code the released objects run.
void destroy_frame(CoroObject* c) {
    c->state = FINISHED;
    if (c->h) {
        Handle h = std::exchange(c->h, {});
        h.destroy();
    }
    Py_CLEAR(c->frame);
}

// `name` of `obj`, or null without an error when it has none (-1: another error).
int lookup_optional(PyObject* obj, PyObject* name, PyObject** out) {
    *out = PyObject_GetAttr(obj, name);
    if (*out) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

// "coroutine is being awaited already": `obj` is a coroutine whose frame waits on an await.
bool awaited_already(PyObject* obj) {
    bool suspended = false;
    if (Py_TYPE(obj) == &CoroType) {
        suspended = as_coro(obj)->state == SUSPENDED;
    } else if (PyCoro_CheckExact(obj) && native_suspended_getter) {
        PyObject* r = native_suspended_getter(obj, native_suspended_closure);
        suspended = r == Py_True;
        Py_XDECREF(r);
    }
    if (suspended) PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
    return suspended;
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

// Resumes the frame with the pending error raised at its await.
PySendResult resume_with_error(CoroObject* c, PyObject** out) {
    Promise& p = c->h.promise();
    Py_CLEAR(p.awaiting);
    p.error.fetch();
    return resume(c, out);
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
    if (!p.awaiting) {  // cannot happen: a suspended frame always waits on an iterator
        PyErr_SetString(PyExc_SystemError, "suspended coroutine without an awaited iterator");
        return PYGEN_ERROR;
    }
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

// Raises StopIteration(value) as a method call must report a return. As native
// coroutines do, tuples and exception instances are wrapped so that they arrive as the
// value itself; anything else is left for the interpreter to instantiate when needed.
PyObject* return_via_stop_iteration(PyObject* value) {
    if (!PyTuple_Check(value) && !PyExceptionInstance_Check(value)) {
        PyErr_SetObject(PyExc_StopIteration, value);
    } else {
        PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value);
        if (stop) {
            PyErr_SetObject(PyExc_StopIteration, stop);
            Py_DECREF(stop);
        }
    }
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
    int found = lookup_optional(it, intern(name), &meth);
    if (found < 0) {
        *res = nullptr;
        return 1;
    }
    if (!found) return 0;
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

// The return value carried by the pending StopIteration, as the interpreter reads it
// (the exception's own field, whatever a subclass makes of the attribute). Returns -1
// with an error pending when there is none, or when the exception cannot be made.
int fetch_stop_value(PyObject** value) {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return -1;
    PyObject *t, *v, *b;
    PyErr_Fetch(&t, &v, &b);
    PyErr_NormalizeException(&t, &v, &b);
    if (!v || !PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(PyExc_StopIteration))) {
        PyErr_Restore(t, v, b);  // making the exception failed: this is the error now
        return -1;
    }
    PyObject* r = reinterpret_cast<PyStopIterationObject*>(v)->value;
    *value = Py_NewRef(r ? r : Py_None);
    Py_XDECREF(t);
    Py_DECREF(v);
    Py_XDECREF(b);
    return 0;
}

// Puts the exception described by throw()'s arguments into the error indicator, as
// `raise` would make it; -1 with a TypeError when they do not describe one.
int set_thrown(PyObject* typ, PyObject* val, PyObject* tb) {
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
            return -1;
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
        return -1;
    }
    if (tb && val) PyException_SetTraceback(val, tb);
    PyErr_Restore(typ, val, tb);
    return 0;
}

// throw(type[, value[, traceback]]) with the interpreter's own argument rules.
//
// Every path that lets go of the awaited iterator also resumes the frame (or ends the
// coroutine), so a suspended coroutine always has an iterator to send to.
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

    // The awaited iterator gets the exception first. It stays the awaited one while it
    // handles it (a re-entrant call sees the coroutine running).
    if (c->state == SUSPENDED) {
        Promise& p = c->h.promise();
        PyObject* it = Py_NewRef(p.awaiting);
        PyObject* res = nullptr;
        if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
            c->state = RUNNING;
            int err = close_inner(it);
            Py_DECREF(it);
            c->state = SUSPENDED;
            if (err < 0) {
                PySendResult r = resume_with_error(c, &res);
                return send_result_to_call(r, res);
            }
            // closed: GeneratorExit is raised at the await below
        } else {
            c->state = RUNNING;
            int has = call_inner(it, "throw", args, nargs, &res);
            Py_DECREF(it);
            c->state = SUSPENDED;
            if (has) {
                if (res) return res;  // the iterator handled it and yielded again
                // The iterator ended: its return value is the await's result; anything it
                // raised (or a StopIteration that cannot be made) is raised at the await.
                PyObject* value = nullptr;
                PySendResult r;
                if (fetch_stop_value(&value) < 0) {
                    r = resume_with_error(c, &res);
                } else {
                    Py_CLEAR(p.awaiting);
                    p.sent = value;
                    r = resume(c, &res);
                }
                return send_result_to_call(r, res);
            }
            // no throw method: the exception is raised at the await below
        }
    }

    // Build the exception as `raise` would; arguments that describe none leave the
    // coroutine as it was.
    if (set_thrown(typ, val, tb) < 0) return nullptr;
    switch (c->state) {
        case FINISHED:
            PyErr_Clear();
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return nullptr;
        case CREATED: {
            // Raised before the first statement: the coroutine ends with it.
            SavedError err;
            err.fetch();
            destroy_frame(c);
            raise_ending_error(err);
            return nullptr;
        }
        default: {
            PyObject* res = nullptr;
            PySendResult r = resume_with_error(c, &res);
            return send_result_to_call(r, res);
        }
    }
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

// The collector sees every reference the object and its promise hold. References held
// by C++ locals of the frame (and parameters taken as py::object) it does not see: they
// keep what they refer to alive, as any reference from outside would.
int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroObject* c = as_coro(self);
    Py_VISIT(c->name);
    Py_VISIT(c->qualname);
    Py_VISIT(c->code);
    Py_VISIT(c->origin);
    Py_VISIT(c->frame);
    if (c->h) {
        Promise& p = c->h.promise();
        for (unsigned i = 0; i < p.nheld; ++i) Py_VISIT(p.held[i]);
        Py_VISIT(p.args);
        Py_VISIT(p.awaiting);
        Py_VISIT(p.yielded);
        Py_VISIT(p.sent);
        Py_VISIT(p.result);
        Py_VISIT(p.error.type);
        Py_VISIT(p.error.value);
        Py_VISIT(p.error.tb);
    }
    return 0;
}

// Breaks a cycle the collector found unreachable. It has already finalised (closed)
// the coroutine if it could; a frame still unfinished is destroyed without running.
int coro_clear(PyObject* self) {
    CoroObject* c = as_coro(self);
    if (c->state != RUNNING) destroy_frame(c);
    Py_CLEAR(c->origin);
    Py_CLEAR(c->code);
    Py_CLEAR(c->frame);
    return 0;
}

void coro_dealloc(PyObject* self) {
    CoroObject* c = as_coro(self);
    // Only an unfinished coroutine has anything to finalise (close or warn); the object
    // is still tracked, as the finaliser may resurrect it.
    if (c->h && c->state != FINISHED && PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    if (c->weakreflist) PyObject_ClearWeakRefs(self);
    destroy_frame(c);
    Py_CLEAR(c->name);
    Py_CLEAR(c->qualname);
    Py_CLEAR(c->code);
    Py_CLEAR(c->origin);
    --live;
    // A finalised object keeps that mark: only unmarked ones are used again.
    if (freelist_len < kFreelistSize && !PyObject_GC_IsFinalized(self)) {
        freelist[freelist_len++] = c;
    } else {
        PyObject_GC_Del(self);
    }
}

PyObject* coro_repr(PyObject* self) {
    CoroObject* c = as_coro(self);
    PyObject* n = qualname_of(c);
    if (n) return PyUnicode_FromFormat("<coroutine object %U at %p>", n, self);
    return PyUnicode_FromFormat("<coroutine object at %p>", self);
}

// `await coro` (the interpreter asks for the iterator): the coroutine itself, unless
// another await already drives it.
PyObject* coro_await(PyObject* self) {
    if (as_coro(self)->state == SUSPENDED) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return Py_NewRef(self);
}

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

// The globals of the coroutine's function: its module's namespace when it is imported.
PyObject* frame_globals(CoroObject* c) {
    PyObject* module_name = c->origin ? detail_func::function_attr(c->origin, 3) : nullptr;
    if (module_name && PyUnicode_Check(module_name)) {
        PyObject* module = PyImport_GetModule(module_name);
        if (!module && PyErr_Occurred()) return nullptr;
        if (module) {
            PyObject* dict = PyModule_Check(module) ? PyModule_GetDict(module) : nullptr;
            Py_XINCREF(dict);
            Py_DECREF(module);
            if (dict) return dict;
        }
    }
    return Py_NewRef(anonymous_globals);
}

// cr_frame: a frame object for the coroutine's code while the coroutine can still run
// (created, suspended or running), None once it has finished, as Python reports its own:
// inspect.getcoroutinestate and asyncio's task repr and stacks read it. The C++ frame
// has no line numbers: the frame stands at the code's first line.
PyObject* get_frame(PyObject* self, void*) {
    CoroObject* c = as_coro(self);
    if (c->state == FINISHED || !c->h) Py_RETURN_NONE;
    if (!c->frame) {
        PyObject* code = own_or_origin(c->code, c, 2);
        if (!code || !PyCode_Check(code)) code = anonymous_code;
        PyObject* globals = frame_globals(c);
        if (!globals) return nullptr;
        PyFrameObject* f = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
        Py_DECREF(globals);
        if (!f) return nullptr;
        Py_XSETREF(c->frame, reinterpret_cast<PyObject*>(f));
    }
    return Py_NewRef(c->frame);
}

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
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
        c = PyObject_GC_New(CoroObject, &CoroType);
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
    c->frame = nullptr;
    c->weakreflist = nullptr;
    c->state = h ? CREATED : FINISHED;
    ++live;
    PyObject_GC_Track(c);
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
    // Last: what the frame awaited may still use the borrowed parameters as it goes.
    for (unsigned i = 0; i < nheld; ++i) Py_XDECREF(held[i]);
    Py_XDECREF(args);
}

namespace detail {
PyObject* hold_arguments(PyObject* const* objects, std::size_t n) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(n));
    if (!t) throw py::error_already_set();
    for (std::size_t i = 0; i < n; ++i) {
        PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), Py_NewRef(objects[i] ? objects[i] : Py_None));
    }
    return t;
}
}  // namespace detail

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
    if (tp == &CoroType || PyCoro_CheckExact(obj)) return awaited_already(obj) ? nullptr : Py_NewRef(obj);
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
    if (Py_TYPE(res) == &CoroType && awaited_already(res)) {
        Py_DECREF(res);
        return nullptr;
    }
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
    PyObject* it;
    if (tp == &CoroType || tp == &PyCoro_Type) {
        it = awaited_already(obj) ? nullptr : Py_NewRef(obj);
    } else {
        it = get_awaitable_iter(obj);
    }
    // From here on the iterator holds what the await needs (as the interpreter keeps only
    // the iterator): a reference the collector could not see must not outlive this call.
    Py_CLEAR(obj);
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

namespace {
// A special method found on the type, bound to the instance as the interpreter binds it.
py::object bind_special(py::object f, py::handle obj) {
    descrgetfunc get = Py_TYPE(f.ptr())->tp_descr_get;
    if (!get) return f;
    PyObject* bound = get(f.ptr(), obj.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())));
    if (!bound) throw_error();
    return py::reinterpret_steal<py::object>(bound);
}
}  // namespace

AsyncCM async_cm(py::handle cm) {
    PyObject* tp = reinterpret_cast<PyObject*>(Py_TYPE(cm.ptr()));
    PyObject* enter = nullptr;
    PyObject* exit = nullptr;
    if (lookup_optional(tp, intern("__aenter__"), &enter) < 0) throw_error();
    if (enter && lookup_optional(tp, intern("__aexit__"), &exit) < 0) {
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
    AsyncCM m;
    m.exit = py::reinterpret_steal<py::object>(exit);
    m.enter = bind_special(py::reinterpret_steal<py::object>(enter), cm);
    return m;
}

py::object exit_call(const AsyncCM& m, py::handle cm, const SavedError* err) {
    py::object exit = bind_special(m.exit, cm);
    PyObject* args[3] = {Py_None, Py_None, Py_None};
    if (err) {
        args[0] = err->type;
        args[1] = err->value ? err->value : Py_None;
        args[2] = err->tb ? err->tb : Py_None;
    }
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
    CoroType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    CoroType.tp_dealloc = coro_dealloc;
    CoroType.tp_traverse = coro_traverse;
    CoroType.tp_clear = coro_clear;
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
    // Frames of coroutines that no function made (awaited Tasks) show this code.
    py::object code = py::reinterpret_steal<py::object>(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty("<native>", "coroutine", 0)));
    if (!code) throw_error();
    anonymous_code = code.attr("replace")(py::arg("co_flags") = CO_OPTIMIZED | CO_NEWLOCALS | CO_COROUTINE).release().ptr();
    anonymous_globals = PyDict_New();
    if (!anonymous_globals) throw_error();
    // The interpreter's test whether one of its coroutines waits on an await.
    for (PyGetSetDef* d = PyCoro_Type.tp_getset; d && d->name; ++d) {
        if (std::strcmp(d->name, "cr_suspended") == 0) {
            native_suspended_getter = d->get;
            native_suspended_closure = d->closure;
        }
    }
    ready = true;
}
}  // namespace detail_coro

}  // namespace pyco
