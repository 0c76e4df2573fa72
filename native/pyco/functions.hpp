// pyco's functions: a function type that Python cannot tell from its own (signature,
// __code__, descriptor binding, vectorcall) around a C++ body, its exact-type argument
// checks, and closures as named structs.
// Part of pyco.hpp, the one header every translation unit includes.
#pragma once

#include "pyco/coroutines.hpp"
#include "pyco/errors.hpp"

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace pyco {

// ---------------------------------------------------------------------------
// Argument checks
// ---------------------------------------------------------------------------

enum class Check : unsigned char { Any, Str, List, Dict, Set };

// TypeError "Argument 'code' has incorrect type (expected str, got int)" unless `obj`
// has exactly the checked type (or is None where None is allowed).
void check_arg(PyObject* obj, Check check, const char* name, bool allow_none);
bool arg_ok(PyObject* obj, Check check, bool allow_none) noexcept;

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
// so a cycle through them is collected. T lists its references with PYCO_FIELDS: its
// Python references (py::object or a subclass) and structs of its own that list theirs:
//
//   struct Call {
//       py::object self, request_id;
//       CallOutput output;  // has PYCO_FIELDS(...) too
//       PYCO_FIELDS(self, request_id, output)
//   };
//   py::object closure = pyco::make_closure(Call{self, request_id, output});
//   ... Call& call = pyco::closure_of<Call>(closure);
//
// (A member not listed is not seen by the collector, nor cleared when a cycle is broken.)
namespace detail_closure {
template <class V, class F>
void visit_field(V& visit, F& field) {
    if constexpr (std::is_base_of_v<py::object, F>) {
        visit(static_cast<py::object&>(field));
    } else {
        field.fields(visit);
    }
}
}  // namespace detail_closure

#define PYCO_FIELDS(...)                                                                                   \
    template <class V>                                                                                     \
    void fields(V&& visit) {                                                                               \
        std::apply([&](auto&... field) { (::pyco::detail_closure::visit_field(visit, field), ...); },      \
                   std::tie(__VA_ARGS__));                                                                 \
    }

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

// ---------------------------------------------------------------------------
// C++ state owned by a capsule
// ---------------------------------------------------------------------------

// A C++ object owned by a capsule named `name` (a literal): T's destructor runs, with the
// GIL held, when the capsule goes (it releases the references T owns). For state that
// threads reach without the GIL (guarded by its own lock), which a closure the collector
// visits cannot be; the collector does not see into it.
template <class T>
py::object make_capsule(std::unique_ptr<T> value, const char* name) {
    // (A capsule's pointer read under its own name cannot fail: no error is set here.)
    PyObject* capsule = PyCapsule_New(value.get(), name, [](PyObject* c) {
        delete static_cast<T*>(PyCapsule_GetPointer(c, PyCapsule_GetName(c)));
    });
    if (!capsule) throw_error();
    value.release();
    return py::reinterpret_steal<py::object>(capsule);
}

// The object a capsule of make_capsule<T>(..., name) owns; TypeError/ValueError when it is
// no such capsule.
template <class T>
T* capsule_value(py::handle capsule, const char* name) {
    auto* value = static_cast<T*>(PyCapsule_GetPointer(capsule.ptr(), name));
    if (!value) throw_error();
    return value;
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

// A builtin by name, read from the interpreter's builtins when used.
py::object builtin(const char* name);
// Annotations as a function declares them, e.g. annotations({{"return", builtin("int")}}).
py::dict annotations(std::initializer_list<std::pair<const char*, py::object>> items);

}  // namespace pyco
