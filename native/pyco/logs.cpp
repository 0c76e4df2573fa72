// A module's logging through its module-level `logger`. For a logging.Logger the record is
// made and handled here: what LogRecord.__init__, Logger.handle and Logger.callHandlers do
// for a record of one text, without their Python frames, with the source file's name parts
// worked out once per file. That path is taken only while nothing observable differs: the
// logger is a plain Logger and the class's makeRecord, handle and callHandlers are still
// logging's own (integrations patch them); otherwise the record is made and handled by the
// logger's own methods, called as logging calls them.
//
// A log call never raises into the module that logs, whatever a handler the program added
// does: a failing handler (or logger method) is reported once on the process's error
// stream and the call goes on. Only KeyboardInterrupt passes (an interrupt of user code
// landing in a handler it added, or the process's own).
#include "pyco/pyco.hpp"

#include <chrono>
#include <cmath>

namespace pyco {

namespace {

// Everything here is kept for the process (never released: no decref at exit) and used
// with the GIL held.
PyObject* logging_module = nullptr;
PyObject* threading_module = nullptr;
PyObject* os_module = nullptr;
PyObject* logger_class = nullptr;  // logging.Logger
PyObject* record_class = nullptr;  // logging.LogRecord
// Logger's own makeRecord, handle and callHandlers as logging defines them (null when
// something else already sat in the class when this module first logged).
enum Method { MAKE_RECORD, HANDLE_METHOD, CALL_HANDLERS, METHODS };
constexpr const char* kMethodNames[METHODS] = {"makeRecord", "handle", "callHandlers"};
PyObject* own_methods[METHODS] = {nullptr, nullptr, nullptr};
PyObject* method_names[METHODS];
// The handlers (and loggers) whose failure was reported, each reported once.
PyObject* reported = nullptr;
constexpr Py_ssize_t kReportedKept = 64;
// The names used per record, interned once.
enum Name {
    // LogRecord's attributes, in the order its __init__ sets them
    NAME, MSG, ARGS, LEVELNAME, LEVELNO, PATHNAME, FILENAME, MODULE, EXC_INFO, EXC_TEXT, STACK_INFO, LINENO,
    FUNCNAME, CREATED, MSECS, RELATIVE_CREATED, THREAD, THREAD_NAME, PROCESS_NAME, PROCESS,
    // what else a record takes to make and handle
    LEVEL_TO_NAME, START_TIME, LOG_THREADS, LOG_MULTIPROCESSING, LOG_PROCESSES, RECORD_FACTORY, CURRENT_THREAD,
    MULTIPROCESSING, CURRENT_PROCESS, GETPID, DISABLED, FILTERS, HANDLERS, LEVEL, PROPAGATE, PARENT, HANDLE, CACHE,
    NAMES
};
constexpr const char* kNameTexts[NAMES] = {
    "name", "msg", "args", "levelname", "levelno", "pathname", "filename", "module", "exc_info", "exc_text",
    "stack_info", "lineno", "funcName", "created", "msecs", "relativeCreated", "thread", "threadName",
    "processName", "process",
    "_levelToName", "_startTime", "logThreads", "logMultiprocessing", "logProcesses", "_logRecordFactory",
    "current_thread", "multiprocessing", "current_process", "getpid", "disabled", "filters", "handlers", "level",
    "propagate", "parent", "handle", "_cache"};
PyObject* names[NAMES];
// 1 when records made here have LogRecord's own attributes (checked once), 0 when not.
int same_as_class = -1;
// The last source file seen and its name parts (os.path.basename, then splitext's root).
PyObject* last_path = nullptr;
PyObject* last_filename = nullptr;
PyObject* last_module = nullptr;

void ensure_logging() {
    if (logging_module) return;
    py::object logging = py::module_::import("logging");
    threading_module = py::module_::import("threading").release().ptr();
    os_module = py::module_::import("os").release().ptr();
    logger_class = py::object(logging.attr("Logger")).release().ptr();
    record_class = py::object(logging.attr("LogRecord")).release().ptr();
    for (int i = 0; i < NAMES; ++i) names[i] = intern(kNameTexts[i]);
    PyObject* class_dict = reinterpret_cast<PyTypeObject*>(logger_class)->tp_dict;
    for (int i = 0; i < METHODS; ++i) {
        method_names[i] = intern(kMethodNames[i]);
        PyObject* f = PyDict_GetItemWithError(class_dict, method_names[i]);
        if (!f && PyErr_Occurred()) throw py::error_already_set();
        if (f && PyFunction_Check(f)) {
            PyObject* module = PyFunction_GetModule(f);
            if (module && PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "logging") == 0)
                own_methods[i] = Py_NewRef(f);
        }
    }
    reported = PySet_New(nullptr);
    if (!reported) throw py::error_already_set();
    logging_module = logging.release().ptr();
}

// Whether records of `logger` may be made and handled here: a plain Logger, whose class
// and instance both leave makeRecord, handle and callHandlers to logging.
bool takes_fast_path(PyObject* logger) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(logger)) != logger_class) return false;
    PyObject* class_dict = reinterpret_cast<PyTypeObject*>(logger_class)->tp_dict;
    for (int i = 0; i < METHODS; ++i) {
        if (!own_methods[i]) return false;
        PyObject* f = PyDict_GetItemWithError(class_dict, method_names[i]);
        if (f != own_methods[i]) {
            if (!f && PyErr_Occurred()) throw py::error_already_set();
            return false;
        }
    }
    PyObject* instance_dict = PyObject_GenericGetDict(logger, nullptr);
    if (!instance_dict) throw py::error_already_set();
    bool patched = false;
    for (int i = 0; i < METHODS && !patched; ++i) {
        patched = PyDict_GetItemWithError(instance_dict, method_names[i]) != nullptr;
        if (!patched && PyErr_Occurred()) {
            Py_DECREF(instance_dict);
            throw py::error_already_set();
        }
    }
    Py_DECREF(instance_dict);
    return !patched;
}

// Writes `text` to the process's error stream (sys.__stderr__), never through sys.stderr
// (a stream hook that may log itself); nothing when there is none or it fails.
void write_to_process_stderr(const py::str& text) {
    PyObject* stream = PySys_GetObject("__stderr__");
    if (!stream || stream == Py_None) return;
    PyObject* r = PyObject_CallMethod(stream, "write", "O", text.ptr());
    Py_XDECREF(r);
    if (r) {
        r = PyObject_CallMethod(stream, "flush", nullptr);
        Py_XDECREF(r);
    }
    PyErr_Clear();
}

// A log call failed in `culprit` (a handler, or the logger's own method): reported once per
// culprit, as logging reports a handler's error (the message and the traceback), and
// dropped. KeyboardInterrupt is thrown on.
void report_failure(py::handle culprit, const py::error_already_set& e, py::handle text) {
    if (e.matches(PyExc_KeyboardInterrupt)) throw e;
    int known = PySet_Contains(reported, culprit.ptr());
    if (known != 0) {
        PyErr_Clear();  // reported already (or not hashable: then nothing can be told apart)
        return;
    }
    if (PySet_GET_SIZE(reported) < kReportedKept && PySet_Add(reported, culprit.ptr()) < 0) PyErr_Clear();
    try {
        py::object exc = caught(e);
        py::object lines = py::module_::import("traceback").attr("format_exception")(exc);
        py::str trace = py::str("").attr("join")(lines);
        write_to_process_stderr(fmt("--- Logging error ---\n{}Message: {}\nArguments: ()\n"
                                    "(later errors of {} are not reported)\n",
                                    trace, py::repr(text), py::repr(culprit)));
    } catch (py::error_already_set& again) {
        if (again.matches(PyExc_KeyboardInterrupt)) throw;
    }
}

py::object get(py::handle obj, Name name) {
    PyObject* value = PyObject_GetAttr(obj.ptr(), names[name]);
    if (!value) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

PyObject* logging_global(Name name) {  // borrowed, or null (no error left pending)
    PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(logging_module), names[name]);
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

bool logging_flag(Name name) {
    PyObject* v = logging_global(name);
    return v && truthy(v);
}

py::object call0(PyObject* callable) {
    PyObject* r = PyObject_CallNoArgs(callable);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// os.path.basename(path) and the root of its splitext, as LogRecord takes them (or the
// path itself and "Unknown module" when they fail as LogRecord allows).
std::pair<py::object, py::object> name_parts(PyObject* path) {
    if (!last_path || (last_path != path && PyObject_RichCompareBool(last_path, path, Py_EQ) != 1)) {
        PyErr_Clear();
        py::object filename, module;
        try {
            py::object os_path = py::handle(os_module).attr("path");
            filename = os_path.attr("basename")(py::handle(path));
            module = py::object(os_path.attr("splitext")(filename))[py::int_(0)];
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError) && !e.matches(PyExc_AttributeError)) {
                throw;
            }
            filename = py::reinterpret_borrow<py::object>(path);
            module = py::str("Unknown module");
        }
        Py_XSETREF(last_path, Py_NewRef(path));
        Py_XSETREF(last_filename, filename.release().ptr());
        Py_XSETREF(last_module, module.release().ptr());
    }
    return {py::reinterpret_borrow<py::object>(last_filename), py::reinterpret_borrow<py::object>(last_module)};
}

void set(PyObject* record, Name name, py::handle value) {
    if (PyObject_SetAttr(record, names[name], value.ptr()) < 0) throw py::error_already_set();
}

// LogRecord(name, level, path, line, text, (), None, function, None), attribute by attribute
// in the order its __init__ sets them.
py::object build(py::handle name, int level, py::handle path, int line, py::handle text, py::handle function) {
    auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch()).count();
    double created = static_cast<double>(now) / 1e9;  // time.time()
    auto type = reinterpret_cast<PyTypeObject*>(record_class);
    py::object empty = py::reinterpret_steal<py::object>(PyTuple_New(0));
    PyObject* made = type->tp_new(type, empty.ptr(), nullptr);
    if (!made) throw py::error_already_set();
    py::object record = py::reinterpret_steal<py::object>(made);
    PyObject* r = record.ptr();
    py::int_ levelno(level);
    PyObject* level_names = logging_global(LEVEL_TO_NAME);
    PyObject* levelname =
        level_names && PyDict_Check(level_names) ? PyDict_GetItemWithError(level_names, levelno.ptr()) : nullptr;
    if (!levelname && PyErr_Occurred()) throw py::error_already_set();
    auto [filename, module] = name_parts(path.ptr());
    set(r, NAME, name);
    set(r, MSG, text);
    set(r, ARGS, empty);
    set(r, LEVELNAME, levelname ? py::reinterpret_borrow<py::object>(levelname)
                                  : py::handle(logging_module).attr("getLevelName")(levelno));
    set(r, LEVELNO, levelno);
    set(r, PATHNAME, path);
    set(r, FILENAME, filename);
    set(r, MODULE, module);
    set(r, EXC_INFO, Py_None);
    set(r, EXC_TEXT, Py_None);
    set(r, STACK_INFO, Py_None);
    set(r, LINENO, py::int_(line));
    set(r, FUNCNAME, function);
    set(r, CREATED, py::float_(created));
    set(r, MSECS, py::float_(static_cast<double>(static_cast<long long>((created - std::trunc(created)) * 1000))));
    PyObject* start = logging_global(START_TIME);
    double started = start ? PyFloat_AsDouble(start) : created;
    if (started == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    set(r, RELATIVE_CREATED, py::float_((created - started) * 1000));
    if (logging_flag(LOG_THREADS)) {
        set(r, THREAD, py::reinterpret_steal<py::object>(PyLong_FromUnsignedLong(PyThread_get_thread_ident())));
        set(r, THREAD_NAME, get(call0(get(threading_module, CURRENT_THREAD).ptr()), NAME));
    } else {
        set(r, THREAD, Py_None);
        set(r, THREAD_NAME, Py_None);
    }
    if (!logging_flag(LOG_MULTIPROCESSING)) {
        set(r, PROCESS_NAME, Py_None);
    } else {
        py::object process_name = py::str("MainProcess");
        PyObject* mp = PyDict_GetItemWithError(PyImport_GetModuleDict(), names[MULTIPROCESSING]);
        if (!mp && PyErr_Occurred()) throw py::error_already_set();
        if (mp && mp != Py_None) {
            try {
                process_name = get(call0(get(mp, CURRENT_PROCESS).ptr()), NAME);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_Exception)) throw;
            }
        }
        set(r, PROCESS_NAME, process_name);
    }
    py::object process = py::none();
    if (logging_flag(LOG_PROCESSES)) {
        PyObject* getpid = PyObject_GetAttr(os_module, names[GETPID]);
        if (getpid) {
            process = call0(py::reinterpret_steal<py::object>(getpid).ptr());
        } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();  // no os.getpid: no process id, as LogRecord has it
        } else {
            throw py::error_already_set();
        }
    }
    set(r, PROCESS, process);
    return record;
}

// Whether build() makes what the class makes: the same attributes in the same order, with
// the same values apart from the times.
bool builds_like_class(py::handle name, py::handle path) {
    py::str text("a record made both ways");
    py::str function("builds_like_class");
    py::object ours = build(name, 20, path, 1, text, function);
    py::object theirs = py::handle(record_class)(name, 20, path, 1, text, py::tuple(), py::none(), function, py::none());
    py::list ours_keys(py::dict(ours.attr("__dict__")).attr("keys")());
    py::list their_keys(py::dict(theirs.attr("__dict__")).attr("keys")());
    if (!ours_keys.equal(their_keys)) return false;
    for (py::handle key : their_keys) {
        std::string k = py::str(key);
        if (k == "created" || k == "msecs" || k == "relativeCreated") {
            if (!py::isinstance<py::float_>(ours.attr(key))) return false;
        } else if (!ours.attr(key).equal(theirs.attr(key))) {
            return false;
        }
    }
    return true;
}

// An item of a dict, or null (an error is thrown on, not left pending).
PyObject* item(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value && PyErr_Occurred()) throw py::error_already_set();
    return value;
}

// Logger.isEnabledFor's own first steps (a disabled logger, the answer it cached for the
// level) done here, or -1 when the method has to be called (a logger of another class,
// nothing cached yet).
int cached_enabled(PyObject* logger, PyObject* number) {
    ensure_logging();
    if (reinterpret_cast<PyObject*>(Py_TYPE(logger)) != logger_class) return -1;
    if (get(logger, DISABLED).ptr() != Py_False) return -1;
    py::object cache = get(logger, CACHE);
    if (!PyDict_CheckExact(cache.ptr())) return -1;
    PyObject* known = item(cache.ptr(), number);
    return known == Py_True ? 1 : known == Py_False ? 0 : -1;
}

// logger.makeRecord(logger.name, level, path, line, text, (), None, function, None, None) for a logger
// of the class logging.Logger itself, made directly while the record factory is LogRecord
// (logging.setLogRecordFactory changes it).
py::object make_record(py::handle logger, int level, py::handle path, int line, py::handle text,
                       const char* function) {
    py::object name = get(logger, NAME);
    py::str func(function);
    if (PyType_Check(record_class) && logging_global(RECORD_FACTORY) == record_class) {
        if (same_as_class < 0) same_as_class = builds_like_class(name, path) ? 1 : 0;
        if (same_as_class == 1) return build(name, level, path, line, text, func);
    }
    return logger.attr("makeRecord")(name, level, path, line, text, py::tuple(), py::none(), func, py::none(),
                                     py::none());
}

// logger.handle(record) for a logger of the class logging.Logger itself; `level` is the
// record's.
void handle_record(py::handle logger, py::handle record, int level) {
    // Logger.handle: nothing for a disabled logger; its filters (when it has any) decide.
    if (truthy(get(logger, DISABLED))) return;
    py::object filters = get(logger, FILTERS);
    if (!PyList_CheckExact(filters.ptr()) || PyList_GET_SIZE(filters.ptr()) != 0) {
        call_method(logger, "handle", record);
        return;
    }
    // Logger.callHandlers: every handler up the chain while loggers propagate, each one
    // whose level the record reaches; with no handler anywhere, the logger's own call does
    // what logging does then (logging.lastResort).
    py::int_ levelno(level);
    int found = 0;
    for (py::object c = py::reinterpret_borrow<py::object>(logger); truthy(c); c = get(c, PARENT)) {
        for (py::handle handler : get(c, HANDLERS)) {
            ++found;
            int reaches = PyObject_RichCompareBool(levelno.ptr(), get(handler, LEVEL).ptr(), Py_GE);
            if (reaches < 0) throw py::error_already_set();
            if (reaches) {
                PyObject* r = PyObject_CallMethodOneArg(handler.ptr(), names[HANDLE], record.ptr());
                if (r) {
                    Py_DECREF(r);
                } else {
                    py::error_already_set e;
                    report_failure(handler, e, get(record, MSG));
                }
            }
        }
        if (!truthy(get(c, PROPAGATE))) break;
    }
    if (!found) call_method(logger, "callHandlers", record);
}

}  // namespace

bool ModuleNames::log_enabled(int level) const {
    py::object logger = get("logger");
    py::object number = py::int_(level);  // a small int: the interpreter's cached object
    int known = cached_enabled(logger.ptr(), number.ptr());
    if (known >= 0) return known == 1;
    PyObject* check = PyObject_GetAttr(logger.ptr(), intern("isEnabledFor"));
    if (!check) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        return true;  // a logger without the query gets every line
    }
    py::object method = py::reinterpret_steal<py::object>(check);
    return truthy(method(number));
}

void ModuleNames::log(int level, py::handle text) const {
    const char* method = level <= 10 ? "debug" : level <= 20 ? "info" : level <= 30 ? "warning" : "error";
    py::object logger = get("logger");
    ensure_logging();
    PyObject* r = PyObject_CallMethodOneArg(logger.ptr(), intern(method), text.ptr());
    if (r) {
        Py_DECREF(r);
        return;
    }
    py::error_already_set e;
    report_failure(logger, e, text);
}

void ModuleNames::log_at(int level, py::handle text, const char* function, int line) const {
    py::object logger = get("logger");
    ensure_logging();
    int is_logger = PyObject_IsInstance(logger.ptr(), logger_class);
    if (is_logger < 0) throw py::error_already_set();
    if (!is_logger) return log(level, text);
    PyObject* file = PyModule_GetFilenameObject(module_);
    if (!file) PyErr_Clear();
    py::object path = file ? py::reinterpret_steal<py::object>(file) : get("__name__");
    try {
        if (takes_fast_path(logger.ptr())) {
            handle_record(logger, make_record(logger, level, path, line, text, function), level);
            return;
        }
        // A subclass, or a patched Logger, makes and handles its records its own way, called
        // as Logger._log calls them (makeRecord with all ten arguments: a subclass may take
        // them without defaults).
        py::object record = logger.attr("makeRecord")(logger.attr("name"), level, path, line, text, py::tuple(),
                                                      py::none(), py::str(function), py::none(), py::none());
        call_method(logger, "handle", record);
    } catch (py::error_already_set& e) {
        report_failure(logger, e, text);
    }
}

}  // namespace pyco
