// pyco: the support library shared by the kernel and caskwell modules.
//
// It gives C++ code the shapes Python code has:
//  - Task: a C++20 coroutine that Python sees as a coroutine object (send/throw/close,
//    am_send/am_await), awaiting any Python awaitable with `co_await pyco::await(obj)`;
//  - Function: a function type that Python cannot tell from its own (signature,
//    __code__, descriptor binding, vectorcall) around a C++ body;
//  - ClassBuilder: classes created by calling the metaclass of their bases with a
//    complete namespace, as a class statement would;
//  - helpers for exceptions (except-Exception semantics, handled-exception state),
//    exact-type argument checks and str()-style text formatting.
#pragma once

#include <Python.h>

#include <atomic>

// --- threads ended at interpreter exit ------------------------------------------
//
// Once the interpreter finalizes, CPython 3.11 ends a daemon thread that wants the GIL
// back (after a blocking call, or at a thread switch in Python code it runs) with
// pthread_exit, which unwinds its stack: the destructors of C++ frames on it run without
// the GIL while the main thread tears the interpreter down, and a catch (...) that does not
// rethrow the unwinding aborts the process. So:
//  - from the moment exit begins (an atexit hook, which runs before finalization), a
//    reference released by a thread that does not hold the GIL is left alone (leaked,
//    which is harmless at exit) instead of being released: every Py_DECREF and Py_XDECREF
//    of this library, the modules and the pybind11 code they include goes through the
//    check below (one load of a flag until exit begins);
//  - destructors that call into the interpreter (scopes that restore state) return at
//    once when unwinding_at_exit();
//  - every catch (...) starts with PYCO_RETHROW_FORCED_UNWIND.
//
// Whether a thread holds the GIL is told by comparing the thread state that holds it with
// the calling thread's own, not by PyGILState_Check(): that answers 1 on every thread once
// any subinterpreter was ever created, and after finalization. A thread whose own state
// cannot be told (finalization has gone that far) counts as not holding it.
namespace pyco {
// Set by the atexit hook init() registers; read by any thread at any time.
inline std::atomic<bool> exit_begun{false};
// Whether the calling thread holds the GIL (one interpreter lock in 3.11: the thread state
// holding it is process-wide).
inline bool holds_gil() {
    PyThreadState* mine = PyGILState_GetThisThreadState();
    return mine && _PyThreadState_UncheckedGet() == mine;
}
// True on a thread that is being ended at exit (it does not hold the GIL).
inline bool unwinding_at_exit() { return exit_begun.load(std::memory_order_acquire) && !holds_gil(); }
namespace detail {
inline void checked_decref(PyObject* op) {
    if (unwinding_at_exit()) return;
    (Py_DECREF)(op);
}
inline void checked_xdecref(PyObject* op) {
    if (op) checked_decref(op);
}
}  // namespace detail
}  // namespace pyco
#undef Py_DECREF
#define Py_DECREF(op) ::pyco::detail::checked_decref(_PyObject_CAST(op))
#undef Py_XDECREF
#define Py_XDECREF(op) ::pyco::detail::checked_xdecref(_PyObject_CAST(op))

// The unwinding that ends a thread is an exception every catch (...) must let through
// (libstdc++: abi::__forced_unwind; other runtimes end threads without unwinding).
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#define PYCO_RETHROW_FORCED_UNWIND \
    catch (abi::__forced_unwind&) { throw; }
#else
#define PYCO_RETHROW_FORCED_UNWIND
#endif

#include <pybind11/pybind11.h>

#include <coroutine>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace pyco {

namespace py = pybind11;

// ---------------------------------------------------------------------------
// Set-up
// ---------------------------------------------------------------------------

// Readies pyco's types once per process; called from every module's exec slot.
void init();

// Number of pyco coroutine objects alive (for leak checks).
Py_ssize_t live_coroutines();

// ---------------------------------------------------------------------------
// Exceptions
// ---------------------------------------------------------------------------

// Which idiom when (the only ones the modules use):
//  - A failed Python call throws py::error_already_set: pybind11 does so itself; after a
//    C API call that returned an error, `throw py::error_already_set()` (or throw_error(),
//    which attaches the traceback to the exception first).
//  - `except Exception:` is `catch (py::error_already_set& e) { if (!is_exception(e)) throw; }`.
//    Only the boundary around user code (a run, a call, the repr of its result) catches
//    every error_already_set: there whatever user code raised is the request's outcome,
//    kept as caught(e), the exception with every frame it passed.
//  - In a coroutine, where no C++ exception may cross an await: await_nothrow gives a null
//    result with the error pending; take_exception() then is `except Exception:` and
//    SavedError::fetch() takes anything (to restore or rethrow after cleanup).
//  - HandledScope runs traceback.print_exc()/format_exc() as inside the except block.
//  - A module's own C++ exception types (the kernel's Rejected and its environment
//    messages' field errors) never leave the module: each is caught where it is answered.
//
// An exception taken out of the interpreter's error indicator (owned references).
struct SavedError {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;

    SavedError() = default;
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    SavedError(SavedError&& o) noexcept : type(o.type), value(o.value), tb(o.tb) { o.type = o.value = o.tb = nullptr; }
    SavedError& operator=(SavedError&& o) noexcept {
        if (this != &o) { clear(); std::swap(type, o.type); std::swap(value, o.value); std::swap(tb, o.tb); }
        return *this;
    }
    ~SavedError() {
        if (type || value || tb) clear();
    }

    bool is_set() const noexcept { return type != nullptr; }
    // Takes the current error (normalised, traceback attached) out of the indicator.
    void fetch() noexcept;
    // Puts it back into the indicator; this object is empty afterwards.
    void restore() noexcept;
    void clear() noexcept;
    bool matches(PyObject* exc_type) const noexcept { return type && PyErr_GivenExceptionMatches(type, exc_type); }
};

// `except Exception as e:` for the pending error (e.g. after await_nothrow): takes it out
// of the indicator when it is an Exception; anything else (CancelledError, SystemExit,
// KeyboardInterrupt, GeneratorExit) is thrown on as error_already_set.
SavedError take_exception();

// Sets the Python error indicator from the C++ exception being handled
// (error_already_set, pybind11's builtin exceptions, std::exception, anything else).
void set_error_from_current_exception() noexcept;

// Throws the pending Python error as error_already_set (the exception object carries
// its traceback).
[[noreturn]] void throw_error();

// The exception object of a caught error, with its traceback attached (pybind11 keeps
// the traceback apart, so `e.value().__traceback__` would be None).
py::object caught(const py::error_already_set& e);

// `except Exception:` — true for Exception subclasses; CancelledError, SystemExit,
// KeyboardInterrupt and GeneratorExit are not caught by it.
inline bool is_exception(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

// `bool(obj)` as an `if` statement evaluates it: a __bool__ or __len__ that raises throws
// error_already_set instead of leaving the error pending behind a result.
inline bool truthy(py::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw_error();
    return r != 0;
}

// While alive, the interpreter's handled exception is `e`, so traceback.print_exc(),
// format_exc() and sys.exc_info() inside a C++ catch see it as an except block would.
class HandledScope {
public:
    explicit HandledScope(const py::error_already_set& e);
    explicit HandledScope(py::handle exc_value);
    ~HandledScope();
    HandledScope(const HandledScope&) = delete;
    HandledScope& operator=(const HandledScope&) = delete;

private:
    PyObject* previous_;
};

// Raises `exc` (an exception instance) with __context__ set to `context`, as a raise
// inside an except block would.
[[noreturn]] void raise_with_context(py::handle exc, py::handle context);

// ---------------------------------------------------------------------------
// Argument checks
// ---------------------------------------------------------------------------

enum class Check : unsigned char { Any, Str, List, Dict, Set };

// TypeError "Argument 'code' has incorrect type (expected str, got int)" unless `obj`
// has exactly the checked type (or is None where None is allowed).
void check_arg(PyObject* obj, Check check, const char* name, bool allow_none);
bool arg_ok(PyObject* obj, Check check, bool allow_none) noexcept;

// ---------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------

// One piece of a formatted text: Python values are written as str() writes them.
struct FmtArg {
    enum Kind { Obj, Text, Int, Double } kind;
    PyObject* obj = nullptr;
    std::string_view text;
    long long i = 0;
    double d = 0;
    py::object holder;  // keeps a value read through an accessor alive
    template <class T, std::enable_if_t<std::is_base_of_v<py::handle, T>, int> = 0>
    FmtArg(const T& h) : kind(Obj), obj(h.ptr()) {}
    template <class Policy>
    FmtArg(const py::detail::accessor<Policy>& a) : kind(Obj), holder(a) { obj = holder.ptr(); }
    FmtArg(const char* s) : kind(Text), text(s) {}
    FmtArg(std::string_view s) : kind(Text), text(s) {}
    FmtArg(const std::string& s) : kind(Text), text(s) {}
    FmtArg(int v) : kind(Int), i(v) {}
    FmtArg(long v) : kind(Int), i(v) {}
    FmtArg(long long v) : kind(Int), i(v) {}
    FmtArg(unsigned long v) : kind(Int), i(static_cast<long long>(v)) {}
    FmtArg(unsigned long long v) : kind(Int), i(static_cast<long long>(v)) {}
    FmtArg(double v) : kind(Double), d(v) {}
};

// Formats `pattern`, replacing each "{}" with the next argument as str() shows it and
// each "{:.Nf}" with the next argument in fixed notation with N decimals.
// The result is a Python str; user text never passes through UTF-8.
py::str format(std::string_view pattern, std::initializer_list<FmtArg> args);

template <class... A>
py::str fmt(std::string_view pattern, const A&... args) {
    return format(pattern, {FmtArg(args)...});
}

// An interned Python string for a C++ literal, made once per process and never freed.
PyObject* intern(const char* s);

// ---------------------------------------------------------------------------
// Coroutines
// ---------------------------------------------------------------------------

struct Promise;
using Handle = std::coroutine_handle<Promise>;

// The return type of every C++ coroutine. Calling the coroutine creates its frame
// suspended; handing the Task to Python (see Function) makes the coroutine object.
class Task {
public:
    using promise_type = Promise;
    explicit Task(Handle h) noexcept : h_(h) {}
    Task(Task&& o) noexcept : h_(std::exchange(o.h_, {})) {}
    Task& operator=(Task&&) = delete;
    Task(const Task&) = delete;
    ~Task();
    Handle release() noexcept { return std::exchange(h_, {}); }

private:
    Handle h_;
};

// The coroutine object for `t`; `code` supplies cr_code, `name`/`qualname` the names
// (any may be null).
py::object make_coroutine(Task&& t, PyObject* name = nullptr, PyObject* qualname = nullptr,
                          PyObject* code = nullptr);

// Gives a coroutine object made by a pyco function that function's names and code.
void set_coroutine_origin(PyObject* coro, PyObject* function);

// Something to await: a Python awaitable or a Task. The Await owns its object, so what
// is awaited stays alive for the whole co_await whatever happens to the expression
// that produced it (an rvalue py::object is taken over without a new reference).
struct Await {
    py::object obj;
    bool nothrow;
};
inline Await await(py::handle h) { return {py::reinterpret_borrow<py::object>(h), false}; }
inline Await await(py::object&& o) { return {std::move(o), false}; }
// Same, but a failure leaves the Python error indicator set and yields a null object
// instead of throwing (used where an exception is an expected outcome, such as
// StopAsyncIteration).
inline Await await_nothrow(py::handle h) { return {py::reinterpret_borrow<py::object>(h), true}; }
inline Await await_nothrow(py::object&& o) { return {std::move(o), true}; }

struct TaskAwait {
    py::object coro;
    bool nothrow;
};
inline TaskAwait await(Task&& t) { return {make_coroutine(std::move(t)), false}; }

struct Awaiter {
    Promise* p;
    PyObject* obj;  // the awaitable (owned until its iterator is taken)
    bool nothrow;
    bool failed = false;
    PyObject* value = nullptr;

    Awaiter(Promise* promise, PyObject* owned, bool no_throw) noexcept : p(promise), obj(owned), nothrow(no_throw) {}
    Awaiter(const Awaiter&) = delete;
    Awaiter& operator=(const Awaiter&) = delete;
    ~Awaiter() {
        Py_XDECREF(obj);
        Py_XDECREF(value);
    }
    bool await_ready() noexcept;
    void await_suspend(std::coroutine_handle<>) noexcept {}
    py::object await_resume();
};

namespace detail {
// Coroutine parameters that borrow their object: the promise holds a reference to each.
template <class T>
inline constexpr bool borrowed_param_v =
    std::is_same_v<std::remove_cv_t<T>, py::handle> || std::is_same_v<std::remove_cv_t<T>, PyObject*>;
template <class T>
inline void collect_borrowed(T& param, PyObject**& out) noexcept {
    if constexpr (std::is_same_v<std::remove_cv_t<T>, py::handle>) {
        *out++ = param.ptr();
    } else if constexpr (std::is_same_v<std::remove_cv_t<T>, PyObject*>) {
        *out++ = param;
    }
}
// A new tuple holding the `n` objects (None for a null one); throws on failure.
PyObject* hold_arguments(PyObject* const* objects, std::size_t n);
}  // namespace detail

struct Promise {
    Promise() noexcept {}
    // Made from the coroutine's parameters (C++20 passes them to the promise's constructor):
    // parameters taken as py::handle (or PyObject*) borrow their objects, so the promise
    // keeps a reference to each (`held`, or the tuple `args`), where the garbage collector
    // sees it. Such a coroutine can be called from C++ with any handle valid at the call,
    // like a function; the body must not point the handles elsewhere. Parameters taken as
    // py::object own their objects, out of the collector's sight.
    template <class... A>
    explicit Promise([[maybe_unused]] A&... params) {
        constexpr std::size_t n = (std::size_t{0} + ... + (detail::borrowed_param_v<A> ? 1u : 0u));
        if constexpr (n > 0 && n <= kHeldInline) {
            PyObject** out = held;
            (detail::collect_borrowed(params, out), ...);
            for (std::size_t i = 0; i < n; ++i) Py_XINCREF(held[i]);
            nheld = static_cast<unsigned char>(n);
        } else if constexpr (n > kHeldInline) {
            PyObject* objects[n];
            PyObject** out = objects;
            (detail::collect_borrowed(params, out), ...);
            args = detail::hold_arguments(objects, n);
        }
    }
    Promise(const Promise&) = delete;

    PyObject* result = nullptr;    // return value once finished
    SavedError error;              // exception that ended the coroutine, or to raise at the await
    PyObject* awaiting = nullptr;  // iterator of the awaitable the frame waits on
    PyObject* yielded = nullptr;   // value the awaited iterator yielded, for the driver
    PyObject* sent = nullptr;      // result of the awaited iterator, for await_resume
    // The borrowed parameters' objects: up to kHeldInline in `held`, more in a tuple.
    static constexpr std::size_t kHeldInline = 4;
    unsigned char nheld = 0;
    PyObject* held[kHeldInline];
    PyObject* args = nullptr;

    Task get_return_object() noexcept { return Task(Handle::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(py::object v) noexcept { result = v.release().ptr(); }
    void return_value(py::handle v) noexcept { result = Py_NewRef(v.ptr()); }
    void unhandled_exception() noexcept;

    Awaiter await_transform(Await a) noexcept { return Awaiter(this, a.obj.release().ptr(), a.nothrow); }
    Awaiter await_transform(TaskAwait a) noexcept { return Awaiter(this, a.coro.release().ptr(), a.nothrow); }

    // Frames live in the interpreter's small-object allocator (the GIL is always held).
    static void* operator new(std::size_t n);
    static void operator delete(void* p, std::size_t n) noexcept;

    ~Promise();
};
static_assert(!std::is_aggregate_v<Promise>, "g++ would initialise an aggregate promise from the coroutine's arguments");

// `self.name(*args)`: an attribute call as Python makes it (instance attributes and
// subclasses take effect), without a bound method object. Use it inside co_await
// expressions: a temporary there lives until the await is over, where the garbage
// collector cannot see it, and `self.attr("name")(...)` keeps the bound method (and so
// `self`) in such a temporary.
template <class... A>
py::object call_method(py::handle self, const char* name, const A&... args) {
    static_assert((std::is_base_of_v<py::handle, A> && ...), "arguments are Python objects");
    PyObject* argv[] = {self.ptr(), args.ptr()...};
    PyObject* r = PyObject_VectorcallMethod(intern(name), argv, 1 + sizeof...(A), nullptr);
    if (!r) throw_error();
    return py::reinterpret_steal<py::object>(r);
}

// The iterator to drive for `await obj` (as the interpreter's GET_AWAITABLE finds it).
PyObject* get_awaitable_iter(PyObject* obj);

// A unique object a loop body returns to leave an async_for early.
py::handle break_loop();

// `async with cm as value: <body(value)>`; returns what the body returned, or None when
// the context manager suppressed the body's exception. The body is a callable returning
// a Task; it is moved into this coroutine's frame, so a capturing lambda stays alive for
// as long as its own coroutine runs.
//
// While the body runs, the context manager is held by the promise (seen by the garbage
// collector) and __aexit__ is kept unbound, so a cycle through the context manager (a
// lock of the object whose method is waiting for it) can be collected.
struct AsyncCM {
    py::object enter;  // bound __aenter__
    py::object exit;   // __aexit__ as found on the type; bound to the instance when called
};
AsyncCM async_cm(py::handle cm);
// Calls exit (bound to cm) with None, None, None, or with the saved error's type, value
// and traceback.
py::object exit_call(const AsyncCM& m, py::handle cm, const SavedError* err);

template <class Body>
Task async_with(py::handle cm, Body body) {
    AsyncCM m = async_cm(cm);
    py::object enter_aw = m.enter();
    m.enter = py::object();
    py::object value = co_await await(std::move(enter_aw));
    SavedError err;
    py::object result = py::none();
    try {
        result = co_await await(body(std::move(value)));
    } PYCO_RETHROW_FORCED_UNWIND catch (...) {
        set_error_from_current_exception();
        err.fetch();
    }
    if (!err.is_set()) {
        co_await await(exit_call(m, cm, nullptr));
        co_return result;
    }
    // Leave the handler before awaiting __aexit__ (no co_await inside catch).
    py::object exit_aw = exit_call(m, cm, &err);
    py::object suppress = co_await await_nothrow(std::move(exit_aw));
    if (!suppress) {
        // __aexit__ itself failed: its exception carries the body's as context.
        SavedError exit_err;
        exit_err.fetch();
        if (exit_err.value && err.value && exit_err.value != err.value) {
            PyException_SetContext(exit_err.value, Py_NewRef(err.value));
        }
        exit_err.restore();
        throw_error();
    }
    if (truthy(suppress)) co_return py::none();
    err.restore();
    throw_error();
}

// `async for item in aiterable: <body(item)>`; the body may return break_loop() to stop.
// The async iterator is held by a promise, where the garbage collector sees it.
py::object aiter_of(py::handle aiterable);
py::object anext_of(py::handle aiterator);

namespace detail {
template <class Body>
Task async_for_iter(py::handle it, Body body) {
    for (;;) {
        py::object next_aw = anext_of(it);
        py::object item = co_await await_nothrow(std::move(next_aw));
        if (!item) {
            if (PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) {
                PyErr_Clear();
                break;
            }
            throw_error();
        }
        py::object r = co_await await(body(std::move(item)));
        if (r.ptr() == break_loop().ptr()) break;
    }
    co_return py::none();
}
}  // namespace detail

template <class Body>
Task async_for(py::handle aiterable, Body body) {
    py::object it = aiter_of(aiterable);
    Task loop = detail::async_for_iter(it, std::move(body));
    it = py::object();  // the loop's promise holds it
    co_await await(std::move(loop));
    co_return py::none();
}

// ---------------------------------------------------------------------------
// Functions
// ---------------------------------------------------------------------------

enum class Kind : unsigned char { Positional, VarPositional, KeywordOnly, VarKeyword };

struct Param {
    const char* name;
    Kind kind = Kind::Positional;
    Check check = Check::Any;
    bool allow_none = false;
    py::object default_value;  // null: required

    Param(const char* n) : name(n) {}  // NOLINT(google-explicit-constructor)
    Param& type(Check c, bool none_ok = false) { check = c; allow_none = none_ok; return *this; }
    Param& def(py::object v) { default_value = std::move(v); return *this; }
    Param& def_none() { default_value = py::none(); return *this; }
};
inline Param arg(const char* n) { return Param(n); }
inline Param star_args(const char* n) { Param p(n); p.kind = Kind::VarPositional; return p; }
inline Param kwonly(const char* n) { Param p(n); p.kind = Kind::KeywordOnly; return p; }
inline Param star_kwargs(const char* n) { Param p(n); p.kind = Kind::VarKeyword; return p; }

// The C++ body of a function: receives the parsed arguments in parameter order
// (preceded by the closure object when there is one); returns a new reference or null
// with an error set.
using Impl = PyObject* (*)(PyObject* const* args);

struct Def {
    const char* name;
    std::vector<Param> params;
    Impl impl;
    bool is_coroutine = false;
    const char* doc = nullptr;
    std::string qualname;  // defaults to name (the class builder prefixes the class)
    py::object closure;    // passed as the first C++ argument when set
    py::object annotations;

    Def& with_doc(const char* d) { doc = d; return *this; }
    Def& with_closure(py::object c) { closure = std::move(c); return *this; }
    Def& with_qualname(std::string q) { qualname = std::move(q); return *this; }
    // Annotations as declared (name -> annotation, "return" for the result).
    Def& annotated(py::dict a) { annotations = std::move(a); return *this; }
};

// Creates the function object. `module` is its __module__ (a str).
py::object make_function(const Def& def, py::handle module);
// A function like `prototype` (made with a closure) in every respect but its closure:
// cheap enough to make one per call where a nested function closes over per-call state.
py::object with_closure(py::handle prototype, py::object closure);
bool is_function(py::handle obj);

// ---------------------------------------------------------------------------
// Closures as named structs
// ---------------------------------------------------------------------------
//
// A C++ struct of Python references carried as a function's closure (make_function's
// first C++ argument), its fields read by name instead of as tuple items by position.
// The holder is a GC-tracked object: the collector sees every reference the struct names,
// so a cycle through them is collected. T lists its references:
//
//   struct Call {
//       py::object self, request_id;
//       template <class V> void fields(V&& visit) { visit(self); visit(request_id); }
//   };
//   py::object closure = pyco::make_closure(Call{self, request_id});
//   ... Call& call = pyco::closure_of<Call>(closure);
namespace detail_closure {
struct Ops {
    int (*traverse)(void* value, visitproc visit, void* arg);
    void (*clear)(void* value);
    void (*destroy)(void* value);
};
py::object hold(void* value, const Ops* ops);
void* held(py::handle holder, const Ops* ops);  // TypeError unless `holder` holds that kind of value

template <class T>
struct OpsOf {
    static int traverse(void* value, visitproc visit, void* arg) {
        int result = 0;
        static_cast<T*>(value)->fields([&](py::object& field) {
            if (result == 0 && field) result = visit(field.ptr(), arg);
        });
        return result;
    }
    static void clear(void* value) {
        static_cast<T*>(value)->fields([](py::object& field) { py::object gone = std::move(field); });
    }
    static void destroy(void* value) { delete static_cast<T*>(value); }
    static constexpr Ops ops{traverse, clear, destroy};
};
}  // namespace detail_closure

template <class T>
py::object make_closure(T value) {
    return detail_closure::hold(new T(std::move(value)), &detail_closure::OpsOf<T>::ops);
}

template <class T>
T& closure_of(py::handle holder) {
    return *static_cast<T*>(detail_closure::held(holder, &detail_closure::OpsOf<T>::ops));
}

// Converts arguments and results between the vectorcall world and typed C++ bodies.
namespace detail {
template <class T>
T take_arg(PyObject* p) {
    using U = std::decay_t<T>;
    if constexpr (std::is_same_v<U, PyObject*>) {
        return p;
    } else if constexpr (std::is_same_v<U, py::handle>) {
        return py::handle(p);
    } else {
        return py::reinterpret_borrow<U>(p);
    }
}

template <auto F>
struct Thunk;

template <class R, class... A, R (*F)(A...)>
struct Thunk<F> {
    static constexpr bool coroutine = std::is_same_v<R, Task>;
    // Coroutine parameters are py::object (owned by the frame) or py::handle (held by the
    // promise, visible to the garbage collector); either way by value, never references.
    static_assert(!coroutine || (!std::is_reference_v<A> && ...), "coroutine parameters are taken by value");

    template <std::size_t... I>
    static PyObject* call(PyObject* const* args, std::index_sequence<I...>) {
        try {
            if constexpr (coroutine) {
                return make_coroutine(F(take_arg<A>(args[I])...)).release().ptr();
            } else if constexpr (std::is_void_v<R>) {
                F(take_arg<A>(args[I])...);
                Py_RETURN_NONE;
            } else if constexpr (std::is_same_v<R, PyObject*>) {
                return F(take_arg<A>(args[I])...);
            } else {
                return py::object(F(take_arg<A>(args[I])...)).release().ptr();
            }
        } PYCO_RETHROW_FORCED_UNWIND catch (...) {
            set_error_from_current_exception();
            return nullptr;
        }
    }
    static PyObject* entry(PyObject* const* args) { return call(args, std::index_sequence_for<A...>{}); }
};
}  // namespace detail

// A Def for the C++ function F (its parameters are py::object, py::handle, py::str, ...
// or PyObject*; it returns py::object, void, a new PyObject*, or Task for `async def`).
template <auto F>
Def fn(const char* name, std::vector<Param> params, const char* doc = nullptr) {
    Def d{name, std::move(params), &detail::Thunk<F>::entry, detail::Thunk<F>::coroutine, doc};
    return d;
}

// ---------------------------------------------------------------------------
// Classes
// ---------------------------------------------------------------------------

class ClassBuilder {
public:
    // `module` is the module name (str) used for __module__ of the class and methods.
    ClassBuilder(const char* name, py::handle module, py::tuple bases = py::tuple(), const char* doc = nullptr);

    ClassBuilder& method(Def def);
    ClassBuilder& static_method(Def def);
    ClassBuilder& class_method(Def def);
    ClassBuilder& property(Def getter);
    ClassBuilder& property(Def getter, Def setter);
    ClassBuilder& attr(const char* name, py::object value);
    ClassBuilder& annotate(const char* name, py::object type);

    // Calls the metaclass with the name, bases and the complete namespace.
    py::object build();

private:
    py::object function(Def def);

    std::string name_;
    py::object module_;
    py::tuple bases_;
    py::dict ns_;
    py::dict annotations_;
};

// ---------------------------------------------------------------------------
// A module's own names
// ---------------------------------------------------------------------------

// The namespace of one extension module. Every name is read from the module's dict at
// the moment it is used, as Python code reads its globals, so callers and tests that
// patch the module's attributes are honoured.
class ModuleNames {
public:
    // Records the module object (in its exec slot; null forgets it).
    void set_module(PyObject* module);
    PyObject* module() const { return module_; }
    py::dict dict() const;
    // dict()[name]; NameError when it is missing.
    py::object get(const char* name) const;
    // An attribute of a module-level name, e.g. attr_of("sys", "modules").
    py::object attr_of(const char* name, const char* attribute) const;
    // A function of this module (its __module__ is the module's __name__).
    py::object function(const Def& def) const;
    // `from <module> import <name>` with the statement's semantics; `level` as for __import__.
    py::object import_from(const char* module, const char* name, int level) const;
    // Logging through the module-level `logger`: whether it is enabled for `level` (a
    // Logger's cached answer is read without a call), and one line at that level.
    bool log_enabled(int level) const;
    void log(int level, py::handle text) const;
    // The same line as a record made and handled directly (for a logging.Logger: what
    // Logger.makeRecord and Logger.handle do, done in C++; the call above otherwise), its
    // source the module's file and the C++ function and line given: no stack walk, which
    // from C++ would only find whatever Python frame happens to be below.
    void log_at(int level, py::handle text, const char* function, int line) const;

private:
    PyObject* module_ = nullptr;
};

// ---------------------------------------------------------------------------
// The module this copy of the library serves
// ---------------------------------------------------------------------------
//
// Every extension module links its own copy of this library, so these speak of that
// module: its namespace read when used (late binding), its functions, its imports and its
// logging through its module-level `logger`.

ModuleNames& this_module();

// The layer itself, brought into a module's namespace with `using namespace pyco::served;`.
namespace served {

// Records the module object once, in its exec slot (null forgets it).
inline void set_module(PyObject* module) { this_module().set_module(module); }
inline PyObject* module_ptr() { return this_module().module(); }
// The module's namespace; globals()[name] (NameError when missing); an attribute of a
// module-level name, e.g. attr_of("sys", "modules"); the module's __name__.
inline py::dict globals() { return this_module().dict(); }
inline py::object g(const char* name) { return this_module().get(name); }
inline py::object attr_of(const char* name, const char* attribute) { return this_module().attr_of(name, attribute); }
inline py::object module_name() { return g("__name__"); }
// A function of this module (its __module__ is the module's).
inline py::object function(const Def& def) { return this_module().function(def); }
// `from <module> import <name>` with the statement's semantics; `level` as for __import__.
inline py::object import_from(const char* module, const char* name, int level) {
    return this_module().import_from(module, name, level);
}
// typing.Optional[t] with the module's own `Optional`.
inline py::object optional_of(const py::object& t) { return g("Optional")[t]; }

enum Level { DEBUG = 10, INFO = 20, WARNING = 30, ERROR = 40 };
inline bool log_enabled(Level level) { return this_module().log_enabled(static_cast<int>(level)); }

// A line's text pattern with where it is logged from (the calling C++ function and line,
// the record's source).
struct Pattern {
    std::string_view text;
    const char* function;
    int line;
    Pattern(const char* text, const char* function = __builtin_FUNCTION(), int line = __builtin_LINE())
        : text(text), function(function), line(line) {}
};
inline void log(Level level, py::handle text, const Pattern& where) {
    this_module().log_at(static_cast<int>(level), text, where.function, where.line);
}

// A line is built only when the logger is enabled for its level.
template <class... A>
void debug(Pattern pattern, const A&... args) {
    if (log_enabled(DEBUG)) log(DEBUG, fmt(pattern.text, args...), pattern);
}
// A debug line when `enabled` (log_enabled(DEBUG) asked once for several lines).
template <class... A>
void debug_if(bool enabled, Pattern pattern, const A&... args) {
    if (enabled) log(DEBUG, fmt(pattern.text, args...), pattern);
}
template <class... A>
void info(Pattern pattern, const A&... args) {
    if (log_enabled(INFO)) log(INFO, fmt(pattern.text, args...), pattern);
}
template <class... A>
void warning(Pattern pattern, const A&... args) {
    if (log_enabled(WARNING)) log(WARNING, fmt(pattern.text, args...), pattern);
}
template <class... A>
void error(Pattern pattern, const A&... args) {
    if (log_enabled(ERROR)) log(ERROR, fmt(pattern.text, args...), pattern);
}

}  // namespace served

// A builtin by name, read from the interpreter's builtins when used.
py::object builtin(const char* name);
// Annotations as a function declares them, e.g. annotations({{"return", builtin("int")}}).
py::dict annotations(std::initializer_list<std::pair<const char*, py::object>> items);
// An interned str for a literal.
inline py::str S(const char* s) { return py::reinterpret_borrow<py::str>(intern(s)); }

// ---------------------------------------------------------------------------
// Modules
// ---------------------------------------------------------------------------

// Runs a module's set-up in its exec slot, turning C++ exceptions into the import's error.
int exec_module(PyObject* module, void (*setup)(py::module_ m)) noexcept;

}  // namespace pyco

// Defines the multi-phase initialisation entry of extension module `name`, whose exec
// slot runs `setup(py::module_)`.
#define PYCO_MODULE(name, doc, setup)                                                    \
    static int pyco_exec_##name(PyObject* m) { return ::pyco::exec_module(m, setup); }  \
    static PyModuleDef_Slot pyco_slots_##name[] = {                                      \
        {Py_mod_exec, reinterpret_cast<void*>(&pyco_exec_##name)}, {0, nullptr}};        \
    static PyModuleDef pyco_def_##name = {PyModuleDef_HEAD_INIT, #name, doc, 0, nullptr, \
                                          pyco_slots_##name, nullptr, nullptr, nullptr}; \
    extern "C" PYBIND11_EXPORT PyObject* PyInit_##name() { return PyModuleDef_Init(&pyco_def_##name); }
