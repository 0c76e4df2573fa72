// Helpers of the kernel module: keyword calls, safe texts, traceback texts, time.
#include <cstring>

#include "kernel/support.hpp"

namespace kernel {

py::object call_kw(py::handle f, std::initializer_list<py::handle> args,
                   std::initializer_list<std::pair<const char*, py::handle>> kwargs) {
    constexpr size_t kMax = 8;
    PyObject* stack[kMax];
    size_t n = 0;
    for (py::handle a : args) stack[n++] = a.ptr();
    size_t positional = n;
    PyObject* kwnames = nullptr;
    if (kwargs.size() > 0) {
        kwnames = PyTuple_New(static_cast<Py_ssize_t>(kwargs.size()));
        if (!kwnames) throw py::error_already_set();
        Py_ssize_t i = 0;
        for (const auto& [name, value] : kwargs) {
            PyTuple_SET_ITEM(kwnames, i++, Py_NewRef(pyco::intern(name)));
            stack[n++] = value.ptr();
        }
    }
    PyObject* r = PyObject_Vectorcall(f.ptr(), stack, positional, kwnames);
    Py_XDECREF(kwnames);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}


py::str safe_str(py::handle obj) {
    PyObject* text = PyObject_Str(obj.ptr());
    if (text) return py::reinterpret_steal<py::str>(text);
    PyErr_Clear();  // whatever user code's __str__ raised
    return pyco::fmt("<unprintable {} object>", py::type::of(obj).attr(S("__name__")));
}

py::str failure_text(py::handle exc) {
    py::str text = safe_str(exc);
    if (PyUnicode_GET_LENGTH(text.ptr()) > 0) return text;
    return py::str(py::type::of(exc).attr(S("__name__")));
}

bool frame_in(PyFrameObject* frame, const char* package, const char* const* functions) {
    PyObject* globals = PyFrame_GetGlobals(frame);
    PyObject* name = globals && PyDict_Check(globals) ? PyDict_GetItemString(globals, "__name__") : nullptr;
    const char* module = name && PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
    size_t n = std::strlen(package);
    bool inside = module && std::strncmp(module, package, n) == 0 && (module[n] == '\0' || module[n] == '.');
    if (inside && functions) {
        PyCodeObject* code = PyFrame_GetCode(frame);
        const char* function = PyUnicode_AsUTF8(code->co_name);
        inside = false;
        for (const char* const* f = functions; function && *f && !inside; ++f) inside = std::strcmp(function, *f) == 0;
        Py_DECREF(code);
    }
    PyErr_Clear();
    Py_XDECREF(globals);
    return inside;
}

const char* const output_path_entries[] = {"run_coroutine_threadsafe", "call_soon_threadsafe", "is_closed", nullptr};

bool output_path_frame(PyFrameObject* frame) {
    return frame_in(frame, "asyncio") || frame_in(frame, "concurrent") || frame_in(frame, "threading");
}

namespace {

// An interrupt that landed in the kernel's output path, which the user code's print or
// write entered (asyncio scheduling a send on the loop, and the threading and
// concurrent.futures code that calls), shows the user's frames only: the frames from the
// output path's entry on are cut from the exception's traceback.
void drop_output_path_frames(py::handle e) {
    py::object tb = e.attr(S("__traceback__"));
    py::object last_user;  // the traceback entry after which the output path's frames begin
    for (py::object item = tb; !item.is_none(); item = item.attr(S("tb_next"))) {
        auto* frame = reinterpret_cast<PyTracebackObject*>(item.ptr())->tb_frame;
        if (frame_in(frame, "asyncio", output_path_entries)) {
            if (!last_user) return;
            for (py::object rest = item; !rest.is_none(); rest = rest.attr(S("tb_next"))) {
                auto* f = reinterpret_cast<PyTracebackObject*>(rest.ptr())->tb_frame;
                if (!output_path_frame(f)) return;  // more than the output path follows: nothing is cut
            }
            last_user.attr(S("tb_next")) = py::none();
            return;
        }
        last_user = item;
    }
}

}  // namespace

py::object traceback_text(py::handle e) {
    if (PyObject_TypeCheck(e.ptr(), reinterpret_cast<PyTypeObject*>(PyExc_Exception))) return g("extract_tracebak_string")(e);
    if (PyErr_GivenExceptionMatches(e.ptr(), PyExc_KeyboardInterrupt)) drop_output_path_frames(e);
    py::object lines = attr_of("traceback", "format_exception")(py::type::of(e), e, e.attr(S("__traceback__")));
    return py::str("").attr(S("join"))(lines);
}

double now() { return attr_of("time", "time")().cast<double>(); }

namespace {
// `value` (a new reference, or null with an error set) is `expected`; the reference is
// released and an error cleared.
bool is_expected(PyObject* value, PyObject* expected) {
    if (!value) {
        PyErr_Clear();
        return false;
    }
    bool same = value == expected;
    Py_DECREF(value);
    return same;
}
}  // namespace

bool attribute_is(py::handle owner, const char* name, PyObject* expected) {
    return is_expected(PyObject_GetAttr(owner.ptr(), pyco::intern(name)), expected);
}

bool method_returns(py::handle owner, const char* method, PyObject* expected) {
    return is_expected(PyObject_CallMethodNoArgs(owner.ptr(), pyco::intern(method)), expected);
}

bool bound_to(py::handle owner, const char* method, PyObject* function) {
    PyObject* bound = PyObject_GetAttr(owner.ptr(), pyco::intern(method));
    if (!bound) {
        PyErr_Clear();
        return false;
    }
    bool same = PyMethod_Check(bound) && PyMethod_GET_FUNCTION(bound) == function;
    Py_DECREF(bound);
    return same;
}

}  // namespace kernel
