// Exceptions, argument checks, text formatting, the class builder and module set-up.
#include "pyco/pyco.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace pyco {

namespace detail_coro {
void init_coroutine_type();
}
namespace detail_func {
void init_function_type();
}

namespace {
py::object note_exit_begun(py::object) {
    exit_begun.store(true, std::memory_order_release);
    return py::none();
}
}  // namespace

void init() {
    detail_coro::init_coroutine_type();
    detail_func::init_function_type();
    static bool hooked = false;  // once per module (each has its own copy of this library)
    if (!hooked) {
        py::module_::import("atexit").attr("register")(
            make_function(fn<note_exit_begun>("_note_exit_begun", {}), py::str("pyco")));
        hooked = true;
    }
}

// ---------------------------------------------------------------------------
// Exceptions

void SavedError::fetch() noexcept {
    clear();
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
}

void SavedError::restore() noexcept {
    PyErr_Restore(type, value, tb);
    type = value = tb = nullptr;
}

void SavedError::clear() noexcept {
    Py_CLEAR(type);
    Py_CLEAR(value);
    Py_CLEAR(tb);
}

SavedError take_exception() {
    SavedError err;
    err.fetch();
    if (!err.matches(PyExc_Exception)) {
        err.restore();
        throw_error();
    }
    return err;
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

void throw_error() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    PyErr_Restore(type, value, tb);
    throw py::error_already_set();
}

py::object caught(const py::error_already_set& e) {
    py::object value = e.value();
    // What was fetched holds every frame the exception passed; the object's own
    // __traceback__ holds only those up to where it was last caught (before a re-raise, a
    // `finally` or a `with` exit), so the fetched one always wins.
    if (e.trace()) PyException_SetTraceback(value.ptr(), e.trace().ptr());
    return value;
}

// The exception object carries its traceback, as sys.exc_info() expects.
HandledScope::HandledScope(const py::error_already_set& e) : HandledScope(caught(e)) {}

HandledScope::HandledScope(py::handle exc_value) : previous_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(exc_value.ptr());
}

HandledScope::~HandledScope() {
    if (unwinding_at_exit()) return;
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
}

void raise_with_context(py::handle exc, py::handle context) {
    if (context && !context.is_none() && context.ptr() != exc.ptr())
        PyException_SetContext(exc.ptr(), Py_NewRef(context.ptr()));
    // Restore, not SetObject: the latter would replace the context with whatever
    // exception the interpreter is handling around this call.
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()))), Py_NewRef(exc.ptr()),
                  PyException_GetTraceback(exc.ptr()));
    throw py::error_already_set();
}

// ---------------------------------------------------------------------------
// Argument checks

namespace {
PyTypeObject* checked_type(Check c) {
    switch (c) {
        case Check::Str: return &PyUnicode_Type;
        case Check::List: return &PyList_Type;
        case Check::Dict: return &PyDict_Type;
        case Check::Set: return &PySet_Type;
        case Check::Any: break;
    }
    return nullptr;
}
}  // namespace

bool arg_ok(PyObject* obj, Check check, bool allow_none) noexcept {
    PyTypeObject* tp = checked_type(check);
    return !tp || Py_TYPE(obj) == tp || (allow_none && obj == Py_None);
}

void check_arg(PyObject* obj, Check check, const char* name, bool allow_none) {
    if (arg_ok(obj, check, allow_none)) return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 checked_type(check)->tp_name, Py_TYPE(obj)->tp_name);
    throw py::error_already_set();
}

// ---------------------------------------------------------------------------
// Text

PyObject* intern(const char* s) {
    // Interned strings live as long as the interpreter; the tables only save the lookup.
    // Callers pass literals, so a direct-mapped cache of recent text addresses answers
    // nearly every call at a few instructions (the GIL serialises callers). The address is
    // only a hint (a text at a reused address is compared first); the text decides.
    struct Slot {
        const char* address = nullptr;
        const char* text = nullptr;
        PyObject* value = nullptr;
    };
    static Slot recent[1024];
    Slot& slot = recent[(reinterpret_cast<std::uintptr_t>(s) ^ (reinterpret_cast<std::uintptr_t>(s) >> 10)) & 1023];
    if (slot.address == s && std::strcmp(slot.text, s) == 0) return slot.value;
    static auto* by_text = new std::unordered_map<std::string, PyObject*>();
    auto it = by_text->find(s);
    if (it == by_text->end()) {
        PyObject* o = PyUnicode_InternFromString(s);
        if (!o) throw_error();
        it = by_text->emplace(s, o).first;
    }
    slot = {s, PyUnicode_AsUTF8(it->second), it->second};
    return it->second;
}

namespace {
PyObject* piece_of(const FmtArg& a, int decimals) {
    if (decimals >= 0) {
        double v = a.d;
        if (a.kind == FmtArg::Int) v = static_cast<double>(a.i);
        if (a.kind == FmtArg::Obj) {
            v = PyFloat_AsDouble(a.obj);
            if (v == -1.0 && PyErr_Occurred()) return nullptr;
        }
        char* s = PyOS_double_to_string(v, 'f', decimals, 0, nullptr);
        if (!s) return nullptr;
        PyObject* r = PyUnicode_FromString(s);
        PyMem_Free(s);
        return r;
    }
    switch (a.kind) {
        case FmtArg::Obj: return PyObject_Str(a.obj ? a.obj : Py_None);
        case FmtArg::Text: return PyUnicode_FromStringAndSize(a.text.data(), static_cast<Py_ssize_t>(a.text.size()));
        case FmtArg::Int: return PyLong_FromLongLong(a.i);
        case FmtArg::Double: {
            PyObject* f = PyFloat_FromDouble(a.d);
            if (!f) return nullptr;
            PyObject* r = PyObject_Str(f);
            Py_DECREF(f);
            return r;
        }
    }
    return nullptr;
}
}  // namespace

py::str format(std::string_view pattern, std::initializer_list<FmtArg> args) {
    py::list pieces;
    auto add = [&](PyObject* o) {
        if (!o) throw_error();
        if (!PyUnicode_Check(o)) {
            PyObject* s = PyObject_Str(o);
            Py_DECREF(o);
            if (!s) throw_error();
            o = s;
        }
        int rc = PyList_Append(pieces.ptr(), o);
        Py_DECREF(o);
        if (rc < 0) throw_error();
    };
    auto next = args.begin();
    std::size_t start = 0;
    for (std::size_t i = 0; i < pattern.size();) {
        if (pattern[i] != '{') {
            ++i;
            continue;
        }
        std::size_t close = pattern.find('}', i);
        if (close == std::string_view::npos) break;
        std::string_view spec = pattern.substr(i + 1, close - i - 1);
        int decimals = -1;
        if (!spec.empty()) {
            // ":.Nf"
            if (spec.size() >= 4 && spec[0] == ':' && spec[1] == '.' && spec.back() == 'f') {
                decimals = std::stoi(std::string(spec.substr(2, spec.size() - 3)));
            } else {
                ++i;
                continue;
            }
        }
        if (next == args.end()) throw std::logic_error("format: more placeholders than arguments");
        if (i > start) add(PyUnicode_FromStringAndSize(pattern.data() + start, static_cast<Py_ssize_t>(i - start)));
        add(piece_of(*next++, decimals));
        i = close + 1;
        start = i;
    }
    if (start < pattern.size())
        add(PyUnicode_FromStringAndSize(pattern.data() + start, static_cast<Py_ssize_t>(pattern.size() - start)));
    PyObject* empty = PyUnicode_FromStringAndSize("", 0);
    if (!empty) throw_error();
    PyObject* joined = PyUnicode_Join(empty, pieces.ptr());
    Py_DECREF(empty);
    if (!joined) throw_error();
    return py::reinterpret_steal<py::str>(joined);
}

// ---------------------------------------------------------------------------
// Classes

ClassBuilder::ClassBuilder(const char* name, py::handle module, py::tuple bases, const char* doc)
    : name_(name), module_(py::reinterpret_borrow<py::object>(module)), bases_(std::move(bases)) {
    ns_["__module__"] = module_;
    ns_["__qualname__"] = py::str(name_);
    if (doc) ns_["__doc__"] = py::str(doc);
}

py::object ClassBuilder::function(Def def) {
    if (def.qualname.empty()) def.qualname = name_ + "." + def.name;
    return make_function(def, module_);
}

ClassBuilder& ClassBuilder::method(Def def) {
    std::string n = def.name;
    ns_[py::str(n)] = function(std::move(def));
    return *this;
}

ClassBuilder& ClassBuilder::static_method(Def def) {
    std::string n = def.name;
    ns_[py::str(n)] = py::module_::import("builtins").attr("staticmethod")(function(std::move(def)));
    return *this;
}

ClassBuilder& ClassBuilder::class_method(Def def) {
    std::string n = def.name;
    ns_[py::str(n)] = py::module_::import("builtins").attr("classmethod")(function(std::move(def)));
    return *this;
}

ClassBuilder& ClassBuilder::property(Def getter) {
    std::string n = getter.name;
    ns_[py::str(n)] = py::module_::import("builtins").attr("property")(function(std::move(getter)));
    return *this;
}

ClassBuilder& ClassBuilder::property(Def getter, Def setter) {
    std::string n = getter.name;
    py::object g = function(std::move(getter));
    py::object s = function(std::move(setter));
    ns_[py::str(n)] = py::module_::import("builtins").attr("property")(g, s);
    return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, py::object value) {
    ns_[py::str(name)] = std::move(value);
    return *this;
}

ClassBuilder& ClassBuilder::annotate(const char* name, py::object type) {
    annotations_[py::str(name)] = std::move(type);
    return *this;
}

py::object ClassBuilder::build() {
    if (PyDict_GET_SIZE(annotations_.ptr())) ns_["__annotations__"] = annotations_;
    // As a class statement: the metaclass of the bases prepares the namespace, which is
    // filled completely before the class object is made.
    py::module_ types = py::module_::import("types");
    py::object bases = types.attr("resolve_bases")(bases_);
    if (!bases.is(bases_)) ns_["__orig_bases__"] = bases_;
    py::object prepared = types.attr("prepare_class")(py::str(name_), bases);
    py::object meta = prepared[py::int_(0)];
    py::object ns = prepared[py::int_(1)];
    py::object kwds = prepared[py::int_(2)];
    for (auto item : ns_) ns[item.first] = item.second;
    PyObject* args = PyTuple_Pack(3, py::str(name_).ptr(), bases.ptr(), ns.ptr());
    if (!args) throw_error();
    py::object a = py::reinterpret_steal<py::object>(args);
    PyObject* cls = PyObject_Call(meta.ptr(), a.ptr(), kwds.ptr());
    if (!cls) throw_error();
    return py::reinterpret_steal<py::object>(cls);
}

// ---------------------------------------------------------------------------
// Modules

int exec_module(PyObject* module, void (*setup)(py::module_ m)) {
    try {
        init();
        setup(py::reinterpret_borrow<py::module_>(module));
        return 0;
    } PYCO_RETHROW_FORCED_UNWIND catch (...) {
        set_error_from_current_exception();
        return -1;
    }
}

}  // namespace pyco
