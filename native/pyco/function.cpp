// The function type: a C++ body behind the interface of a Python function
// (vectorcall, argument binding with the interpreter's error texts, descriptor binding,
// __code__ with the argument names and flags, defaults, annotations, __dict__).
#include "pyco/pyco.hpp"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <utility>

namespace pyco {

namespace {

struct ParamInfo {
    PyObject* name;  // interned
    Kind kind;
    Check check;
    bool allow_none;
};

struct Signature {
    std::vector<ParamInfo> params;
    Py_ssize_t npos = 0;  // positional-or-keyword parameters (they come first)
    Py_ssize_t varpos = -1;
    Py_ssize_t varkw = -1;
    Py_ssize_t nkwonly = 0;
    bool any_check = false;
};

struct FuncObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Impl impl;
    Signature* sig;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* code;
    PyObject* defaults;    // tuple or null
    PyObject* kwdefaults;  // dict or null
    PyObject* annotations;
    PyObject* dict;
    PyObject* closure;
    PyObject* weakreflist;
    PyObject* prototype;  // the function whose signature this one shares (then sig is not owned), or null
    Py_ssize_t npos;  // positional parameters, for the fast path
    bool fast;        // positional parameters only, no checks, no closure
    bool coroutine;
};

PyTypeObject FuncType = {PyVarObject_HEAD_INIT(nullptr, 0)};

inline FuncObject* as_func(PyObject* o) { return reinterpret_cast<FuncObject*>(o); }

bool same_name(PyObject* a, PyObject* b) {
    if (a == b) return true;
    return PyUnicode_Check(b) && PyUnicode_Compare(a, b) == 0;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'" as the interpreter lists missing names.
PyObject* join_names(const std::vector<PyObject*>& names) {
    py::list quoted;
    for (PyObject* n : names) quoted.append(py::str(py::repr(py::handle(n))));
    std::size_t k = names.size();
    if (k == 1) return quoted[0].cast<py::object>().release().ptr();
    if (k == 2) return py::str("{} and {}").format(quoted[0], quoted[1]).release().ptr();
    py::list head;
    for (std::size_t i = 0; i + 1 < k; ++i) head.append(quoted[i]);
    return py::str("{}, and {}").format(py::str(", ").attr("join")(head), quoted[k - 1]).release().ptr();
}

void missing_error(FuncObject* f, const std::vector<PyObject*>& names, const char* kind) {
    PyObject* listed = nullptr;
    try {
        listed = join_names(names);
    } PYCO_RETHROW_FORCED_UNWIND catch (...) {
        set_error_from_current_exception();
        return;
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", f->qualname,
                 static_cast<Py_ssize_t>(names.size()), kind, names.size() == 1 ? "" : "s", listed);
    Py_DECREF(listed);
}

void too_many_error(FuncObject* f, Py_ssize_t given, Py_ssize_t kwonly_given) {
    Py_ssize_t argcount = f->sig->npos;
    Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    PyObject* sig = defcount ? PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount)
                             : PyUnicode_FromFormat("%zd", argcount);
    if (!sig) return;
    bool plural = defcount ? true : argcount != 1;
    PyObject* kwonly_sig = kwonly_given ? PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                                               given != 1 ? "s" : "", kwonly_given,
                                                               kwonly_given != 1 ? "s" : "")
                                        : PyUnicode_FromString("");
    if (!kwonly_sig) {
        Py_DECREF(sig);
        return;
    }
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", f->qualname, sig,
                 plural ? "s" : "", given, kwonly_sig, given == 1 && !kwonly_given ? "was" : "were");
    Py_DECREF(sig);
    Py_DECREF(kwonly_sig);
}

class Slots {
public:
    explicit Slots(Py_ssize_t n) {
        p_ = n <= kInline ? inline_ : (heap_ = std::make_unique<PyObject*[]>(static_cast<std::size_t>(n))).get();
        for (Py_ssize_t i = 0; i < n; ++i) p_[i] = nullptr;
    }
    PyObject*& operator[](Py_ssize_t i) { return p_[i]; }
    PyObject** data() { return p_; }

private:
    static constexpr Py_ssize_t kInline = 12;
    PyObject* inline_[kInline];
    std::unique_ptr<PyObject*[]> heap_;
    PyObject** p_;
};

// A coroutine made by the function carries its names and code, as Python's do.
inline PyObject* finish(FuncObject* f, PyObject* result) {
    if (f->coroutine && result) set_coroutine_origin(result, reinterpret_cast<PyObject*>(f));
    return result;
}

PyObject* bind_and_call(FuncObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames);

PyObject* func_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FuncObject* f = as_func(self);
    // Fast path: exactly the positional parameters, nothing to check or prepend.
    if (f->fast && !kwnames && PyVectorcall_NARGS(nargsf) == f->npos) return finish(f, f->impl(args));
    return bind_and_call(f, args, nargsf, kwnames);
}

// Binding the arguments of one call to the parameters, step by step, with the
// interpreter's rules and error texts. Each step returns false with the error set.
struct Binding {
    FuncObject* f;
    const Signature& s;
    PyObject* const* args;  // positionals, then the keyword values
    Py_ssize_t nargs;
    PyObject* kwnames;      // or null
    Py_ssize_t nkw;
    PyObject** a;           // one borrowed slot per parameter
    py::object varargs, varkwargs;

    Py_ssize_t nparams() const { return static_cast<Py_ssize_t>(s.params.size()); }
    const ParamInfo& param(Py_ssize_t i) const { return s.params[static_cast<std::size_t>(i)]; }
};

// The positional arguments into their slots; the surplus into *args, when there is one.
bool bind_positionals(Binding& b) {
    const Signature& s = b.s;
    Py_ssize_t given = b.nargs < s.npos ? b.nargs : s.npos;
    for (Py_ssize_t i = 0; i < given; ++i) b.a[i] = b.args[i];
    if (s.varpos >= 0) {
        PyObject* t = PyTuple_New(b.nargs > s.npos ? b.nargs - s.npos : 0);
        if (!t) return false;
        for (Py_ssize_t i = s.npos; i < b.nargs; ++i) PyTuple_SET_ITEM(t, i - s.npos, Py_NewRef(b.args[i]));
        b.varargs = py::reinterpret_steal<py::object>(t);
        b.a[s.varpos] = t;
    }
    if (s.varkw >= 0) {
        PyObject* d = PyDict_New();
        if (!d) return false;
        b.varkwargs = py::reinterpret_steal<py::object>(d);
        b.a[s.varkw] = d;
    }
    return true;
}

// The parameter a keyword names (by identity first, then by equal text), or -1.
Py_ssize_t keyword_slot(const Binding& b, PyObject* name) {
    auto takes_keyword = [](const ParamInfo& p) { return p.kind == Kind::Positional || p.kind == Kind::KeywordOnly; };
    for (Py_ssize_t i = 0; i < b.nparams(); ++i) {
        if (takes_keyword(b.param(i)) && b.param(i).name == name) return i;
    }
    for (Py_ssize_t i = 0; i < b.nparams(); ++i) {
        if (takes_keyword(b.param(i)) && same_name(b.param(i).name, name)) return i;
    }
    return -1;
}

bool bind_keywords(Binding& b) {
    for (Py_ssize_t k = 0; k < b.nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(b.kwnames, k);
        PyObject* value = b.args[b.nargs + k];
        Py_ssize_t idx = keyword_slot(b, name);
        if (idx >= 0) {
            if (b.a[idx]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", b.f->qualname, name);
                return false;
            }
            b.a[idx] = value;
        } else if (b.s.varkw >= 0) {
            if (PyDict_SetItem(b.varkwargs.ptr(), name, value) < 0) return false;
        } else {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", b.f->qualname, name);
            return false;
        }
    }
    return true;
}

// As the interpreter: keyword problems are reported before surplus positionals.
bool refuse_surplus_positionals(const Binding& b) {
    if (b.nargs <= b.s.npos || b.s.varpos >= 0) return true;
    Py_ssize_t kwonly_given = 0;
    for (Py_ssize_t k = 0; k < b.nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(b.kwnames, k);
        for (const ParamInfo& p : b.s.params)
            if (p.kind == Kind::KeywordOnly && same_name(p.name, name)) ++kwonly_given;
    }
    too_many_error(b.f, b.nargs, kwonly_given);
    return false;
}

// Defaults into the slots still empty, then what is still missing.
bool fill_defaults(Binding& b) {
    FuncObject* f = b.f;
    Py_ssize_t ndef = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    std::vector<PyObject*> missing;
    for (Py_ssize_t i = 0; i < b.s.npos; ++i) {
        if (b.a[i]) continue;
        Py_ssize_t di = i - (b.s.npos - ndef);
        if (di >= 0) {
            b.a[i] = PyTuple_GET_ITEM(f->defaults, di);
        } else {
            missing.push_back(b.param(i).name);
        }
    }
    if (!missing.empty()) {
        missing_error(f, missing, "positional");
        return false;
    }
    for (Py_ssize_t i = 0; i < b.nparams(); ++i) {
        const ParamInfo& p = b.param(i);
        if (p.kind != Kind::KeywordOnly || b.a[i]) continue;
        PyObject* dv = f->kwdefaults ? PyDict_GetItemWithError(f->kwdefaults, p.name) : nullptr;
        if (dv) {
            b.a[i] = dv;
        } else {
            if (PyErr_Occurred()) return false;
            missing.push_back(p.name);
        }
    }
    if (!missing.empty()) {
        missing_error(f, missing, "keyword-only");
        return false;
    }
    return true;
}

// The exact-type checks of the parameters that declare one.
bool check_types(const Signature& s, PyObject** a) {
    for (std::size_t i = 0; i < s.params.size(); ++i) {
        const ParamInfo& p = s.params[i];
        if (p.check == Check::Any || arg_ok(a[i], p.check, p.allow_none)) continue;
        try {
            check_arg(a[i], p.check, PyUnicode_AsUTF8(p.name), p.allow_none);
        } PYCO_RETHROW_FORCED_UNWIND catch (...) {
            set_error_from_current_exception();
        }
        return false;
    }
    return true;
}

// Binds arguments to parameters with the interpreter's rules and error texts, then calls.
PyObject* bind_and_call(FuncObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Signature& s = *f->sig;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const bool simple = s.varpos < 0 && s.varkw < 0 && s.nkwonly == 0;
    const bool exact = simple && nkw == 0 && nargs == s.npos;  // just the positional parameters
    if (exact && !f->closure && !s.any_check) return finish(f, f->impl(args));

    const Py_ssize_t base = f->closure ? 1 : 0;  // the closure comes first
    Slots slots(static_cast<Py_ssize_t>(s.params.size()) + base);
    if (base) slots[0] = f->closure;
    Binding b{f, s, args, nargs, kwnames, nkw, slots.data() + base, {}, {}};
    if (exact) {
        for (Py_ssize_t i = 0; i < nargs; ++i) b.a[i] = args[i];
    } else if (!bind_positionals(b) || !bind_keywords(b) || !refuse_surplus_positionals(b) || !fill_defaults(b)) {
        return nullptr;
    }
    if (s.any_check && !check_types(s, b.a)) return nullptr;
    return finish(f, f->impl(slots.data()));
}

PyObject* func_descr_get(PyObject* func, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(func);
    return PyMethod_New(func, obj);
}

int func_traverse(PyObject* self, visitproc visit, void* arg) {
    FuncObject* f = as_func(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    Py_VISIT(f->closure);
    Py_VISIT(f->prototype);
    return 0;
}

int func_clear(PyObject* self) {
    FuncObject* f = as_func(self);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->doc);
    return 0;
}

void func_dealloc(PyObject* self) {
    FuncObject* f = as_func(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    func_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->code);
    if (f->prototype) {
        Py_CLEAR(f->prototype);  // the prototype owns the signature
    } else {
        delete f->sig;
    }
    f->sig = nullptr;
    PyObject_GC_Del(self);
}

PyObject* func_repr(PyObject* self) { return PyUnicode_FromFormat("<function %U at %p>", as_func(self)->qualname, self); }

int set_str(PyObject** field, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*field, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_func(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) { return set_str(&as_func(self)->name, v, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_func(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) { return set_str(&as_func(self)->qualname, v, "__qualname__"); }
PyObject* get_module(PyObject* self, void*) {
    PyObject* m = as_func(self)->module;
    return Py_NewRef(m ? m : Py_None);
}
int set_module(PyObject* self, PyObject* v, void*) {
    Py_XSETREF(as_func(self)->module, Py_XNewRef(v));
    return 0;
}
PyObject* get_doc(PyObject* self, void*) {
    PyObject* d = as_func(self)->doc;
    return Py_NewRef(d ? d : Py_None);
}
int set_doc(PyObject* self, PyObject* v, void*) {
    Py_XSETREF(as_func(self)->doc, Py_XNewRef(v));
    return 0;
}
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_func(self)->code); }
PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = as_func(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_defaults(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    FuncObject* f = as_func(self);
    Py_ssize_t n = v ? PyTuple_GET_SIZE(v) : 0;
    if (n > f->sig->npos) {
        PyErr_SetString(PyExc_ValueError, "__defaults__ has more values than there are positional parameters");
        return -1;
    }
    Py_XSETREF(f->defaults, Py_XNewRef(v));
    return 0;
}
PyObject* get_kwdefaults(PyObject* self, void*) {
    PyObject* d = as_func(self)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_kwdefaults(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_func(self)->kwdefaults, Py_XNewRef(v));
    return 0;
}
PyObject* get_annotations(PyObject* self, void*) {
    FuncObject* f = as_func(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
    }
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_func(self)->annotations, Py_XNewRef(v));
    return 0;
}
PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef func_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* make_code(const Def& def, PyObject* qualname, const Signature& sig) {
    py::tuple names(sig.params.size());
    for (std::size_t i = 0; i < sig.params.size(); ++i) names[i] = py::handle(sig.params[i].name);
    PyCodeObject* empty = PyCode_NewEmpty("<native>", def.name, 0);
    if (!empty) throw_error();
    py::object code = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(empty));
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (sig.varpos >= 0) flags |= CO_VARARGS;
    if (sig.varkw >= 0) flags |= CO_VARKEYWORDS;
    if (def.is_coroutine) flags |= CO_COROUTINE;
    return code
        .attr("replace")(py::arg("co_argcount") = sig.npos, py::arg("co_posonlyargcount") = 0,
                         py::arg("co_kwonlyargcount") = sig.nkwonly,
                         py::arg("co_nlocals") = static_cast<Py_ssize_t>(sig.params.size()),
                         py::arg("co_varnames") = names, py::arg("co_flags") = flags,
                         py::arg("co_qualname") = py::handle(qualname))
        .release()
        .ptr();
}

bool ready = false;

}  // namespace

bool is_function(py::handle obj) { return Py_TYPE(obj.ptr()) == &FuncType; }

py::object make_function(const Def& def, py::handle module) {
    auto sig = std::make_unique<Signature>();
    py::list defaults;
    py::dict kwdefaults;
    bool seen_default = false;
    for (const Param& p : def.params) {
        Py_ssize_t idx = static_cast<Py_ssize_t>(sig->params.size());
        sig->params.push_back(ParamInfo{intern(p.name), p.kind, p.check, p.allow_none});
        if (p.check != Check::Any) sig->any_check = true;
        switch (p.kind) {
            case Kind::Positional:
                if (sig->varpos >= 0 || sig->nkwonly || sig->varkw >= 0)
                    throw std::logic_error("positional parameter after *args or keyword-only ones");
                ++sig->npos;
                if (p.default_value) {
                    defaults.append(p.default_value);
                    seen_default = true;
                } else if (seen_default) {
                    throw std::logic_error("parameter without a default follows parameter with a default");
                }
                break;
            case Kind::VarPositional:
                sig->varpos = idx;
                break;
            case Kind::KeywordOnly:
                ++sig->nkwonly;
                if (p.default_value) kwdefaults[py::handle(intern(p.name))] = p.default_value;
                break;
            case Kind::VarKeyword:
                sig->varkw = idx;
                break;
        }
    }
    // The interpreter's order of locals: positional, keyword-only, *args, **kwargs.
    // Keep the C++ argument order as declared, but name them for __code__ in that order.
    Signature code_sig = *sig;
    std::stable_partition(code_sig.params.begin(), code_sig.params.end(),
                          [](const ParamInfo& p) { return p.kind == Kind::Positional || p.kind == Kind::KeywordOnly; });

    // Built before the object exists: a failure here leaves no half-made function behind.
    py::object defaults_tuple;
    if (PyList_GET_SIZE(defaults.ptr())) {
        defaults_tuple = py::reinterpret_steal<py::object>(PySequence_Tuple(defaults.ptr()));
        if (!defaults_tuple) throw_error();
    }
    FuncObject* f = PyObject_GC_New(FuncObject, &FuncType);
    if (!f) throw_error();
    f->vectorcall = func_vectorcall;
    f->impl = def.impl;
    f->sig = sig.release();
    f->name = PyUnicode_FromString(def.name);
    f->qualname = PyUnicode_FromString(def.qualname.empty() ? def.name : def.qualname.c_str());
    f->module = Py_XNewRef(module.ptr());
    f->doc = def.doc ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
    f->code = nullptr;
    f->defaults = defaults_tuple.release().ptr();
    f->kwdefaults = PyDict_GET_SIZE(kwdefaults.ptr()) ? kwdefaults.release().ptr() : nullptr;
    {
        // Annotations in parameter order: those given explicitly, else the exact type a
        // parameter is checked against; then the return annotation, if given.
        py::dict ann;
        py::dict given = def.annotations ? py::reinterpret_borrow<py::dict>(def.annotations) : py::dict();
        for (const Param& p : def.params) {
            py::str key(p.name);
            if (given.contains(key)) {
                ann[key] = given[key];
                continue;
            }
            if (p.check == Check::Any) continue;
            PyTypeObject* tp = p.check == Check::Str ? &PyUnicode_Type
                               : p.check == Check::List ? &PyList_Type
                               : p.check == Check::Dict ? &PyDict_Type
                                                        : &PySet_Type;
            ann[key] = py::handle(reinterpret_cast<PyObject*>(tp));
        }
        if (given.contains("return")) ann["return"] = given["return"];
        f->annotations = PyDict_GET_SIZE(ann.ptr()) ? ann.release().ptr() : nullptr;
    }
    f->dict = nullptr;
    f->closure = def.closure ? Py_NewRef(def.closure.ptr()) : nullptr;
    f->weakreflist = nullptr;
    f->prototype = nullptr;
    f->coroutine = def.is_coroutine;
    f->npos = f->sig->npos;
    f->fast = f->sig->varpos < 0 && f->sig->varkw < 0 && f->sig->nkwonly == 0 && !f->closure && !f->sig->any_check;
    py::object result = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    if (!f->name || !f->qualname || !f->doc) throw_error();
    f->code = make_code(def, f->qualname, code_sig);
    return result;
}

py::object with_closure(py::handle prototype, py::object closure) {
    if (!is_function(prototype) || !as_func(prototype.ptr())->closure)
        throw std::logic_error("with_closure needs a function made with a closure");
    FuncObject* p = as_func(prototype.ptr());
    // Dicts are copied (a function's own __kwdefaults__ and __annotations__ may be changed).
    py::object kwdefaults, annotations;
    if (p->kwdefaults) {
        kwdefaults = py::reinterpret_steal<py::object>(PyDict_Copy(p->kwdefaults));
        if (!kwdefaults) throw_error();
    }
    if (p->annotations) {
        annotations = py::reinterpret_steal<py::object>(PyDict_Copy(p->annotations));
        if (!annotations) throw_error();
    }
    FuncObject* f = PyObject_GC_New(FuncObject, &FuncType);
    if (!f) throw_error();
    f->vectorcall = p->vectorcall;
    f->impl = p->impl;
    f->sig = p->sig;
    f->prototype = Py_NewRef(prototype.ptr());
    f->name = Py_NewRef(p->name);
    f->qualname = Py_NewRef(p->qualname);
    f->module = Py_XNewRef(p->module);
    f->doc = Py_XNewRef(p->doc);
    f->code = Py_XNewRef(p->code);
    f->defaults = Py_XNewRef(p->defaults);
    f->kwdefaults = kwdefaults.release().ptr();
    f->annotations = annotations.release().ptr();
    f->dict = nullptr;
    f->closure = closure.release().ptr();
    f->weakreflist = nullptr;
    f->npos = p->npos;
    f->fast = false;  // it has a closure
    f->coroutine = p->coroutine;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
}

namespace detail_func {
// name (0), qualified name (1), code (2) or module name (3) of a pyco function, borrowed.
PyObject* function_attr(PyObject* function, int which) {
    FuncObject* f = as_func(function);
    switch (which) {
        case 0: return f->name;
        case 1: return f->qualname;
        case 2: return f->code;
        default: return f->module;
    }
}

namespace {

// The holder of a closure struct (make_closure).
struct ClosureObject {
    PyObject_HEAD
    void* value;
    const detail_closure::Ops* ops;
};

PyTypeObject ClosureType = {PyVarObject_HEAD_INIT(nullptr, 0)};

int closure_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* c = reinterpret_cast<ClosureObject*>(self);
    return c->value ? c->ops->traverse(c->value, visit, arg) : 0;
}

int closure_clear(PyObject* self) {
    auto* c = reinterpret_cast<ClosureObject*>(self);
    if (c->value) c->ops->clear(c->value);
    return 0;
}

void closure_dealloc(PyObject* self) {
    auto* c = reinterpret_cast<ClosureObject*>(self);
    PyObject_GC_UnTrack(self);
    if (c->value) c->ops->destroy(std::exchange(c->value, nullptr));
    PyObject_GC_Del(self);
}

}  // namespace

void init_function_type() {
    if (ready) return;
    ClosureType.tp_name = "pyco.closure";
    ClosureType.tp_basicsize = sizeof(ClosureObject);
    ClosureType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    ClosureType.tp_dealloc = closure_dealloc;
    ClosureType.tp_traverse = closure_traverse;
    ClosureType.tp_clear = closure_clear;
    ClosureType.tp_doc = "The closure of a function whose body is C++ code.";
    if (PyType_Ready(&ClosureType) < 0) throw_error();
    FuncType.tp_name = "function";
    FuncType.tp_basicsize = sizeof(FuncObject);
    FuncType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    FuncType.tp_vectorcall_offset = offsetof(FuncObject, vectorcall);
    FuncType.tp_call = PyVectorcall_Call;
    FuncType.tp_dealloc = func_dealloc;
    FuncType.tp_traverse = func_traverse;
    FuncType.tp_clear = func_clear;
    FuncType.tp_repr = func_repr;
    FuncType.tp_descr_get = func_descr_get;
    FuncType.tp_getset = func_getset;
    FuncType.tp_dictoffset = offsetof(FuncObject, dict);
    FuncType.tp_weaklistoffset = offsetof(FuncObject, weakreflist);
    FuncType.tp_doc = "A function whose body is C++ code.";
    if (PyType_Ready(&FuncType) < 0) throw_error();
    ready = true;
}
}  // namespace detail_func

namespace detail_closure {

py::object hold(void* value, const Ops* ops) {
    detail_func::init_function_type();
    auto* c = PyObject_GC_New(detail_func::ClosureObject, &detail_func::ClosureType);
    if (!c) {
        ops->destroy(value);
        throw_error();
    }
    c->value = value;
    c->ops = ops;
    PyObject_GC_Track(c);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(c));
}

void* held(py::handle holder, const Ops* ops) {
    if (Py_TYPE(holder.ptr()) != &detail_func::ClosureType ||
        reinterpret_cast<detail_func::ClosureObject*>(holder.ptr())->ops != ops ||
        !reinterpret_cast<detail_func::ClosureObject*>(holder.ptr())->value) {
        PyErr_SetString(PyExc_TypeError, "a C++ function was given a closure of another kind");
        throw_error();
    }
    return reinterpret_cast<detail_func::ClosureObject*>(holder.ptr())->value;
}

}  // namespace detail_closure

}  // namespace pyco
