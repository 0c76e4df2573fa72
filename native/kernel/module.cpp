// The kernel module's set-up: what runs when vantrel_master.python_server.kernel is
// imported, in the order a Python module would run it.
#include "kernel/support.hpp"

namespace kernel {

namespace {

void bind(py::module_& m, const char* name, py::object value) { m.attr(name) = std::move(value); }

// Standard modules, bound as `import a.b` binds `a`.
void import_standard_modules(py::module_& m) {
    static const char* const plain[] = {"asyncio", "functools", "linecache", "inspect", "json", "logging", "os",
                                        "ssl",     "sys",       "io",        "threading", "time", "traceback", "uuid"};
    for (const char* name : plain) bind(m, name, py::module_::import(name));
    py::module_::import("concurrent.futures");
    bind(m, "concurrent", py::module_::import("concurrent"));
    for (const char* sub : {"importlib.abc", "importlib.machinery", "importlib.util"}) py::module_::import(sub);
    bind(m, "importlib", py::module_::import("importlib"));
    py::module_ contextlib = py::module_::import("contextlib");
    bind(m, "redirect_stdout", contextlib.attr(S("redirect_stdout")));
    bind(m, "redirect_stderr", contextlib.attr(S("redirect_stderr")));
    py::module_ typing = py::module_::import("typing");
    for (const char* name : {"Any", "Callable", "Dict", "List", "Optional", "Set", "Tuple"})
        bind(m, name, typing.attr(name));
    // A missing websockets makes the import fail.
    bind(m, "websockets", py::module_::import("websockets"));
}

// `from .<module> import <name>`, falling back to `from <module> import <name>`.
py::object companion(const char* module, const char* name) {
    py::object first;
    try {
        return import_from(module, name, 1);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        first = pyco::caught(e);
    }
    // The fallback runs as inside `except ImportError:`, so its own failure chains the first.
    pyco::HandledScope handling(first);
    return import_from(module, name, 0);
}

void import_companions(py::module_& m) {
    bind(m, "LSPBridge", companion("lsp_bridge", "LSPBridge"));
    bind(m, "Agent", companion("agent", "Agent"));
    bind(m, "VantrelDebugger", companion("debugger", "VantrelDebugger"));
    for (const char* name : {"get_win32_events_dictionary", "get_win32_workbook_tree", "Win32ComWatcher",
                             "Win32ComEventRegistrar"})
        bind(m, name, companion("win32_event_manager", name));
}

void set_up_logging(py::module_& m) {
    bind(m, "setup_logging_subprocess", import_from("logging_config", "setup_logging_subprocess", 2));
    bind(m, "get_logger", import_from("logging_config", "get_logger", 2));
    g("setup_logging_subprocess")();
    bind(m, "logger", g("get_logger")(module_name()));
}

// `from . import vantrel` registered as sys.modules["vantrel"]; a plain `import vantrel`
// when either step raises ImportError.
void import_bridge(py::module_& m) {
    py::object first;
    try {
        py::object bridge = import_from("", "vantrel", 1);
        attr_of("sys", "modules")[py::str("vantrel")] = bridge;
        bind(m, "vantrel", bridge);
        return;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        first = pyco::caught(e);
    }
    pyco::HandledScope handling(first);
    bind(m, "vantrel", py::module_::import("vantrel"));
}

void install_loader(py::module_& m) {
    bind(m, "in_memory_loader", g("InMemoryModuleLoader")());
    py::object meta_path = attr_of("sys", "meta_path");
    py::object loader = g("in_memory_loader");
    if (!has(meta_path, loader)) meta_path.attr(S("insert"))(0, loader);
}

// The module keeps process-wide state (the import hook, the routing of output, the
// classes its functions refer to): a second module object would share it with the first
// and see the first one's names.
bool loaded = false;

void define_everything(py::module_ m);

void setup(py::module_ m) {
    if (loaded) {
        PyErr_SetString(PyExc_ImportError,
                        "vantrel_master.python_server.kernel can be loaded only once per interpreter; it is already "
                        "loaded (removing it from sys.modules does not unload it)");
        throw py::error_already_set();
    }
    set_module(m.ptr());
    try {
        define_everything(m);
    } PYCO_RETHROW_FORCED_UNWIND catch (...) {
        set_module(nullptr);
        throw;
    }
    loaded = true;
}

void define_everything(py::module_ m) {
    import_standard_modules(m);
    define_json(m);
    import_companions(m);
    set_up_logging(m);
    bind(m, "DEBUG_MESSAGE_SEND_TIMEOUT", py::float_(5.0));
    define_executor_functions(m);
    define_loader_class(m);
    import_bridge(m);
    bind(m, "MAX_MESSAGE_SIZE", py::int_(1048576));
    bind(m, "CHUNK_SIZE", py::int_(65536));
    bind(m, "CHUNK_HEADER_TYPE", py::str("chunk"));
    // A run whose replies carry its captured output keeps this many characters of its
    // beginning and as many of its end (output/capture.hpp).
    bind(m, "_KEPT_OUTPUT_CHARS", py::int_(16 * 1024 * 1024));
    install_loader(m);
    define_environment_classes(m);  // VirtualEnvironment
    define_stream_classes(m);       // StreamCapture, KernelStreamHook
    install_thread_start_hook();    // output of threads a run starts goes to that run
    define_executor_classes(m);     // CodeExecutor
    define_batcher_class(m);
    define_kernel_class(m);
}

}  // namespace

}  // namespace kernel

PYCO_MODULE(kernel, "The per-workbook Python kernel: connects to the Business Layer and runs workbook code.",
            kernel::setup)
