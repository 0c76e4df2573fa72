// The console's code executor (one persistent namespace, expression or statements,
// captured output) and the traceback helpers.
#include <cstring>
#include <string_view>
#include <utility>

#include "kernel/output/capture.hpp"
#include "kernel/runs/invocation.hpp"
#include "kernel/messages.hpp"

namespace kernel {

namespace {

using pyco::arg;
using pyco::Check;

// --- traceback helpers ------------------------------------------------------

py::object extract_tracebak_string(py::object e) {
    if (!PyObject_TypeCheck(e.ptr(), reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
        PyErr_Format(PyExc_TypeError, "Argument 'e' has incorrect type (expected Exception, got %.200s)",
                     Py_TYPE(e.ptr())->tp_name);
        throw py::error_already_set();
    }
    py::object lines = attr_of("traceback", "format_exception")(py::type::of(e), e, e.attr(S("__traceback__")));
    return py::str("").attr(S("join"))(lines);
}

py::dict location(py::handle module, py::handle line) {
    py::dict d;
    d["module"] = module;
    d["line"] = builtin("int")(line);
    d["file"] = pyco::fmt("<virtual:{}>", module);
    return d;
}

py::object parse_error_location(py::object traceback_str, py::object in_memory_modules) {
    py::object re = g("re");
    py::list found = re.attr(S("findall"))(py::str(R"(File ["']<virtual:(\w+)>["'], line (\d+))"), traceback_str);
    if (PyList_GET_SIZE(found.ptr()) > 0) {
        py::object last = found[py::int_(-1)];
        return location(last[py::int_(0)], last[py::int_(1)]);
    }
    for (py::handle name : in_memory_modules) {
        py::object pattern = py::str(R"(File ["'][^"']*)") + re.attr(S("escape"))(name) + py::str(R"([^"']*["'], line (\d+))");
        py::object match = re.attr(S("search"))(pattern, traceback_str);
        if (!match.is_none()) return location(name, match.attr(S("group"))(1));
    }
    return py::dict();
}

// --- CodeExecutor -----------------------------------------------------------

py::dict injected_namespace() {
    py::object bridge = g("vantrel");
    py::dict ns;
    ns["__builtins__"] = py::module_::import("builtins").attr(S("__dict__"));
    ns["vantrel"] = bridge;
    ns["excel"] = bridge.attr(S("excel"));
    ns["context"] = bridge.attr(S("context"));
    return ns;
}

// One dictionary serves as both `globals` and `locals`, as in every Python console: code
// then runs as a module's top level does, so functions, lambdas, comprehensions and
// classes defined in the console see the names bound before them (with two dictionaries
// they would look only in `globals` and miss them), and `global` statements rebind the
// names the console shows.
py::object executor_init(py::object self) {
    py::dict ns = injected_namespace();
    self.attr(S("globals")) = ns;
    self.attr(S("locals")) = ns;
    return py::none();
}

py::object executor_reset_namespace(py::object self) { return executor_init(self); }

// Whether the first "; " of `code` separates two runs of statements. It does not when it
// lies inside a string literal or inside one compound statement (a body written on one
// line after a colon); splitting there would change what the code means, so such code
// runs whole, as Python runs it.
bool splits_between_statements(const py::object& code, const py::object& head, const py::object& tail) {
    py::object parse = py::module_::import("ast").attr(S("parse"));
    try {
        auto count = [&](const py::object& text) { return PyObject_Length(parse(text).attr(S("body")).ptr()); };
        return count(code) == count(head) + count(tail);
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        return false;  // does not parse as given: run it whole and let exec report it
    }
}

// Whether `compile` is the interpreter's own compile(), whose only effect for a text that
// is not an expression is a SyntaxError (a replaced one is always called).
bool is_builtin_compile(PyObject* compile) {
    if (!PyCFunction_Check(compile)) return false;
    auto* f = reinterpret_cast<PyCFunctionObject*>(compile);
    PyObject* owner = f->m_self;
    if (std::strcmp(f->m_ml->ml_name, "compile") != 0 || !owner || !PyModule_Check(owner)) return false;
    const char* name = PyModule_GetName(owner);
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return std::strcmp(name, "builtins") == 0;
}

// Whether `text` is certainly not a single expression, told from its first tokens: it
// begins with a keyword that only starts a statement, or with a name followed by "=" or
// an augmented assignment. Trying compile(text, ..., "eval") on it could only raise
// SyntaxError, whose message the parser builds in a second, slower pass; skipping the
// attempt saves that. Only for text compile() takes at all (encodable, no NUL), so a
// text it would refuse otherwise still gets that refusal from the attempt.
bool certainly_statements(PyObject* text) {
    Py_ssize_t size = 0;
    const char* s = PyUnicode_AsUTF8AndSize(text, &size);
    if (!s) {
        PyErr_Clear();
        return false;
    }
    if (std::memchr(s, '\0', static_cast<size_t>(size))) return false;
    auto name_char = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (c >= '0' && c <= '9'); };
    Py_ssize_t i = 0;
    if (size == 0 || !name_char(s[0]) || (s[0] >= '0' && s[0] <= '9')) return false;
    while (i < size && name_char(s[i])) ++i;
    if (i < size && static_cast<unsigned char>(s[i]) >= 0x80) return false;  // a longer, non-ASCII name
    std::string_view first(s, static_cast<size_t>(i));
    static constexpr std::string_view statement_keywords[] = {
        "import", "from", "def", "class", "for", "while", "with", "try", "pass", "del", "raise",
        "return", "global", "nonlocal", "assert", "break", "continue", "if", "elif", "else",
        "except", "finally", "async"};
    for (auto keyword : statement_keywords) {
        if (first == keyword) return true;
    }
    while (i < size && (s[i] == ' ' || s[i] == '\t')) ++i;
    std::string_view rest(s + i, static_cast<size_t>(size - i));
    if (!rest.empty() && rest[0] == '=' && (rest.size() == 1 || rest[1] != '=')) return true;
    static constexpr std::string_view augmented[] = {
        "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "@=", "**=", "//=", "<<=", ">>="};
    for (auto op : augmented) {
        if (rest.starts_with(op)) return true;
    }
    return false;
}

// compile(text, "<kernel>", "eval"), or a null object when the text is not a single
// expression (a SyntaxError, the usual case for statements: no C++ exception for it).
py::object compile_expression(const py::object& compile, const py::object& text) {
    if (certainly_statements(text.ptr()) && is_builtin_compile(compile.ptr())) return py::object();
    PyObject* args[] = {text.ptr(), S("<kernel>").ptr(), S("eval").ptr()};
    PyObject* compiled = PyObject_Vectorcall(compile.ptr(), args, 3, nullptr);
    if (compiled) return py::reinterpret_steal<py::object>(compiled);
    if (!PyErr_ExceptionMatches(PyExc_SyntaxError)) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
}

// builtins.exec/eval(code, globals, locals) of the console namespace.
py::object run_in_namespace(const char* how, const py::object& self, const py::object& code) {
    return call_kw(builtin(how), {code, self.attr(S("globals")), self.attr(S("locals"))}, {});
}

// exec(text, globals, locals), compiled first as exec() compiles it (file "<string>"): a
// text handed to exec() itself runs through the interpreter's top-level entry, and a
// KeyboardInterrupt raised in it, caught or not, makes the process end as if killed by
// Ctrl-C (exit status 130) whenever it later exits normally.
void exec_text(const py::object& self, const py::object& text) {
    // As exec() compiles a str (not through the builtins' compile, which user code may
    // replace): UTF-8 without NUL characters, the caller's future flags, no coding cookie.
    Py_ssize_t size = 0;
    const char* source = PyUnicode_Check(text.ptr()) ? PyUnicode_AsUTF8AndSize(text.ptr(), &size) : nullptr;
    if (!source) {
        if (!PyErr_Occurred()) return void(run_in_namespace("exec", self, text));  // not a str: exec() says
        throw py::error_already_set();
    }
    if (static_cast<Py_ssize_t>(std::strlen(source)) != size) {  // (CPython 3.11's own error)
        PyErr_SetString(PyExc_SyntaxError, "source code string cannot contain null bytes");
        throw py::error_already_set();
    }
    PyCompilerFlags flags = _PyCompilerFlags_INIT;
    flags.cf_flags = PyCF_IGNORE_COOKIE;
    PyEval_MergeCompilerFlags(&flags);
    py::object code = py::reinterpret_steal<py::object>(Py_CompileStringExFlags(source, "<string>", Py_file_input, &flags, -1));
    if (!code) throw py::error_already_set();
    run_in_namespace("exec", self, code);
}

void set_item(py::dict& d, const char* key, const py::object& value) {
    if (PyDict_SetItem(d.ptr(), pyco::intern(key), value.ptr()) < 0) throw py::error_already_set();
}

// Runs `code` as the console does; fills result["result"] for an expression.
void run_console_code(py::object self, const py::object& code, py::dict& result) {
    py::object compile = builtin("compile");
    py::object compiled = compile_expression(compile, code);
    if (compiled) {
        set_item(result, "result", run_in_namespace("eval", self, compiled));
        return;
    }
    py::object sep = S("; ");
    int has_sep = PySequence_Contains(code.ptr(), sep.ptr());
    if (has_sep < 0) throw py::error_already_set();
    if (!has_sep) {
        exec_text(self, code);
        return;
    }
    py::list parts = code.attr(S("split"))(sep, 1);
    py::object statements = parts[py::int_(0)];
    py::object last = PyList_GET_SIZE(parts.ptr()) > 1 ? py::object(parts[py::int_(1)]) : py::object(py::str(""));
    if (PyUnicode_GET_LENGTH(last.ptr()) == 0 || !splits_between_statements(code, statements, last)) {
        exec_text(self, code);
        return;
    }
    exec_text(self, statements);
    py::object last_compiled = compile_expression(compile, last);
    if (last_compiled) {
        set_item(result, "result", run_in_namespace("eval", self, last_compiled));
    } else {
        exec_text(self, last);
    }
}

void flush_standard_streams() {
    attr_of("sys", "stdout").attr(S("flush"))();
    attr_of("sys", "stderr").attr(S("flush"))();
}

thread_local bool output_not_kept = false;

py::object executor_execute(py::object self, py::object code, py::object stdout_callback, py::object stderr_callback) {
    py::object capture = g("StreamCapture");
    py::object stdout_capture = call_kw(capture, {}, {{"on_write", stdout_callback}});
    py::object stderr_capture = call_kw(capture, {}, {{"on_write", stderr_callback}});
    // Only the call the console run makes keeps nothing: code it runs that calls execute
    // again gets its text.
    bool keeps_nothing = std::exchange(output_not_kept, false);
    limit_captures(stdout_capture, stderr_capture, keeps_nothing ? Keep::Nothing : Keep::Bounded);
    py::dict result = msg::run_result();
    py::object failure;
    try {
        CaptureScope scope(stdout_capture, stderr_capture);
        run_console_code(self, code, result);
        flush_standard_streams();
    } catch (py::error_already_set& e) {
        if (!pyco::is_exception(e)) throw;
        failure = pyco::caught(e);
    }
    if (failure) {
        result["success"] = py::bool_(false);
        result["error"] = error_object_of(failure);
        try {
            flush_standard_streams();
        } catch (py::error_already_set& e) {
            if (!pyco::is_exception(e)) throw;
        }
    }
    set_item(result, "stdout", stdout_capture.attr(S("getvalue"))());
    set_item(result, "stderr", stderr_capture.attr(S("getvalue"))());
    return result;
}

}  // namespace

OutputNotKept::OutputNotKept() : previous_(output_not_kept) { output_not_kept = true; }
OutputNotKept::~OutputNotKept() { output_not_kept = previous_; }

void define_executor_functions(py::module_ m) {
    m.attr(S("re")) = py::module_::import("re");
    m.attr(S("_parse_error_location")) = function(
        pyco::fn<parse_error_location>("_parse_error_location", {arg("traceback_str").type(Check::Str),
                                                                 arg("in_memory_modules").type(Check::Set)},
                                       "Find the workbook module and line where an error happened.")
            .annotated(annotations({{"return", builtin("dict")}})));
    m.attr(S("extract_tracebak_string")) = function(
        pyco::fn<extract_tracebak_string>("extract_tracebak_string", {"e"}, "Return the full traceback text of e.")
            .annotated(annotations({{"e", builtin("Exception")}, {"return", builtin("str")}})));
}

void define_executor_classes(py::module_ m) {
    m.attr(S("CodeExecutor")) =
        pyco::ClassBuilder("CodeExecutor", module_name(), py::tuple(),
                           "Runs console code against one persistent namespace.")
            .method(pyco::fn<executor_init>("__init__", {"self"}))
            .method(pyco::fn<executor_execute>("execute", {"self", arg("code").type(Check::Str),
                                                           arg("stdout_callback").def_none(),
                                                           arg("stderr_callback").def_none()})
                        .annotated(annotations({{"return", g("Dict")[py::make_tuple(builtin("str"), g("Any"))]}})))
            .method(pyco::fn<executor_reset_namespace>("reset_namespace", {"self"}))
            .build();
}

}  // namespace kernel
