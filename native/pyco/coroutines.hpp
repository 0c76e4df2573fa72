// pyco's coroutines: Task, a C++20 coroutine that Python sees as a coroutine object
// (send/throw/close, am_send/am_await), awaiting any Python awaitable with
// `co_await pyco::await(obj)`, and `async with` / `async for` for C++ bodies.
// Part of pyco.hpp, the one header every translation unit includes.
#pragma once

#include "pyco/errors.hpp"
#include "pyco/text.hpp"

#include <coroutine>
#include <cstddef>
#include <type_traits>
#include <utility>

namespace pyco {

// Number of pyco coroutine objects alive (for leak checks).
Py_ssize_t live_coroutines();

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

}  // namespace pyco
