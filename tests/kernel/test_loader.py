"""The in-memory module loader: workbook modules importable from their source in
memory, registered with linecache, replaced and forgotten on request, and failing
the way a module from a file would."""
import importlib
import importlib.machinery
import importlib.util
import inspect
import linecache
import logging
import sys
import threading
import traceback
import types

import pytest

from .conftest import KERNEL_NAME, kernel_records

PREFIX = "[InMemoryModuleLoader] "


@pytest.fixture
def holder(new_name):
    """A module that workbook code can import to hand objects back to the test."""
    name = new_name("holder")
    module = types.ModuleType(name)
    sys.modules[name] = module
    return module


# ---------------------------------------------------------------------------
# Finding and loading
# ---------------------------------------------------------------------------

def test_update_then_import_gives_the_module(loader, new_name):
    name = new_name()
    assert loader.update_module(name, "x = 1\n") is None
    assert loader.source_cache[name] == "x = 1\n"
    module = importlib.import_module(name)
    assert module.x == 1
    assert module.__name__ == name
    assert module.__spec__.loader is loader
    assert module.__loader__ is loader
    assert sys.modules[name] is module
    # A second import is served from sys.modules without executing again.
    assert importlib.import_module(name) is module


def test_import_statement_in_user_code_finds_workbook_modules(loader, new_name):
    helper, user = new_name(), new_name()
    loader.update_module(helper, "def twice(v):\n    return 2 * v\n")
    loader.update_module(user, f"import {helper}\nfrom {helper} import twice\nresult = twice(21)\n")
    module = importlib.import_module(user)
    assert module.result == 42
    assert getattr(module, helper) is sys.modules[helper]


def test_find_spec_returns_a_plain_module_spec_for_cached_names(loader, new_name):
    name = new_name()
    loader.update_module(name, "pass\n")
    found = loader.find_spec(name, None)
    assert type(found) is importlib.machinery.ModuleSpec
    assert found.name == name
    assert found.loader is loader
    assert found.origin is None
    assert found.submodule_search_locations is None
    assert loader.find_spec(name, ["/nowhere"], types.ModuleType("t")).name == name
    assert loader.create_module(found) is None


def test_find_spec_returns_none_for_unknown_names(loader, new_name):
    assert loader.find_spec(new_name(), None) is None
    assert loader.find_spec("json", None) is None
    # The normal import path is then used.
    missing = new_name()
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module(missing)


def test_find_spec_reads_the_current_source_cache(kernel, new_name):
    loader = kernel.InMemoryModuleLoader()
    name = new_name()
    loader.source_cache = {name: "v = 3\n"}
    assert loader.find_spec(name, None).name == name
    loader.source_cache = {}
    assert loader.find_spec(name, None) is None


def test_argument_types_are_checked_exactly(loader, new_name):
    class Text(str):
        pass

    cases = [
        (lambda: loader.find_spec(1, None), "fullname", "int"),
        (lambda: loader.find_spec(None, None), "fullname", "NoneType"),
        (lambda: loader.find_spec(b"m", None), "fullname", "bytes"),
        (lambda: loader.update_module(1, "x = 1"), "module_name", "int"),
        (lambda: loader.update_module(Text("m"), "x = 1"), "module_name", "Text"),
        (lambda: loader.update_module("m", None), "code", "NoneType"),
        (lambda: loader.update_module("m", b"x = 1"), "code", "bytes"),
        (lambda: loader.delete_module(None), "module_name", "NoneType"),
        (lambda: loader.delete_module(3.5), "module_name", "float"),
    ]
    for call, argument, got in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == f"Argument '{argument}' has incorrect type (expected str, got {got})"
    assert "m" not in loader.source_cache


def test_exec_module_without_source_raises_import_error(loader, new_name):
    name = new_name()
    with pytest.raises(ImportError) as info:
        loader.exec_module(types.ModuleType(name))
    assert type(info.value) is ImportError
    assert str(info.value) == f"No source code found for module '{name}'"


def test_module_deleted_between_find_and_exec_raises_import_error(loader, new_name):
    name = new_name()
    loader.update_module(name, "x = 1\n")
    found = importlib.util.find_spec(name)
    module = importlib.util.module_from_spec(found)
    loader.delete_module(name)
    with pytest.raises(ImportError, match=rf"^No source code found for module '{name}'$"):
        found.loader.exec_module(module)


def test_workbook_module_shadows_a_standard_library_module(loader, new_name):
    candidates = ["tabnanny", "xdrlib", "mailcap", "sndhdr", "nntplib", "this"]
    shadowed = next(n for n in candidates if n not in sys.modules)
    assert importlib.machinery.PathFinder.find_spec(shadowed) is not None  # a real stdlib module
    try:
        loader.update_module(shadowed, "FROM_WORKBOOK = True\n")
        module = importlib.import_module(shadowed)
        assert module.FROM_WORKBOOK is True
        assert module.__spec__.loader is loader
    finally:
        loader.source_cache.pop(shadowed, None)
        sys.modules.pop(shadowed, None)
        linecache.cache.pop(f"<virtual:{shadowed}>", None)


def test_dotted_name_under_a_package_from_elsewhere(loader, new_name):
    parent = new_name("pkg")
    package = types.ModuleType(parent)
    package.__path__ = []
    sys.modules[parent] = package
    child = f"{parent}.child"
    try:
        loader.update_module(child, "VALUE = 'child'\n")
        module = importlib.import_module(child)
        assert module.VALUE == "child"
        assert package.child is module
    finally:
        loader.source_cache.pop(child, None)
        sys.modules.pop(child, None)
        linecache.cache.pop(f"<virtual:{child}>", None)


def test_virtual_module_is_not_a_package(loader, new_name):
    parent = new_name()
    child = f"{parent}.sub"
    loader.update_module(parent, "x = 1\n")
    loader.update_module(child, "y = 2\n")
    try:
        with pytest.raises(ModuleNotFoundError, match="is not a package"):
            importlib.import_module(child)
    finally:
        loader.source_cache.pop(child, None)
        sys.modules.pop(child, None)


def test_imports_from_worker_threads(loader, new_name):
    shared = new_name()
    loader.update_module(shared, "import threading\nCOUNT = 1\nLOADED_ON = threading.current_thread().name\n")
    own = [new_name() for _ in range(8)]
    for i, name in enumerate(own):
        loader.update_module(name, f"import {shared}\nVALUE = {i} * {shared}.COUNT\n")
    results, errors = {}, []
    start = threading.Barrier(len(own))

    def work(i, name):
        try:
            start.wait()
            results[name] = (importlib.import_module(name).VALUE, importlib.import_module(shared))
        except BaseException as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i, n), name=f"worker-{i}") for i, n in enumerate(own)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert {n: v for n, (v, _) in results.items()} == {n: i for i, n in enumerate(own)}
    # The shared module ran once, on one of the workers.
    modules = {id(m) for _, m in results.values()}
    assert modules == {id(sys.modules[shared])}
    assert sys.modules[shared].LOADED_ON.startswith("worker-")


# ---------------------------------------------------------------------------
# linecache and source lookup
# ---------------------------------------------------------------------------

def test_linecache_entry_after_import(loader, new_name):
    name = new_name()
    source = "a = 'é€'\r\nb = 2\n\nc = 3"  # CRLF, empty line, no final newline, non-ASCII
    loader.update_module(name, source)
    filename = f"<virtual:{name}>"
    assert filename not in linecache.cache  # registered when executed, not on update
    importlib.import_module(name)
    entry = linecache.cache[filename]
    assert type(entry) is tuple
    assert entry == (len(source), None, ["a = 'é€'\n", "b = 2\n", "\n", "c = 3\n"], filename)
    assert type(entry[0]) is int
    linecache.checkcache()  # no modification time: the entry survives the check
    assert linecache.getline(filename, 1) == "a = 'é€'\n"
    assert linecache.getline(filename, 4) == "c = 3\n"


def test_linecache_entry_is_replaced_on_reexecution(loader, new_name):
    name = new_name()
    loader.update_module(name, "x = 1\n")
    importlib.import_module(name)
    loader.update_module(name, "x = 2\ny = 3\n")
    # Refreshed only when the module next runs.
    assert linecache.cache[f"<virtual:{name}>"][2] == ["x = 1\n"]
    importlib.import_module(name)
    assert linecache.cache[f"<virtual:{name}>"] == (len("x = 2\ny = 3\n"), None, ["x = 2\n", "y = 3\n"],
                                                     f"<virtual:{name}>")


def test_inspect_getsource_of_a_virtual_function(loader, new_name):
    name = new_name()
    source = "import math\n\n\ndef area(r):\n    '''Circle.'''\n    return math.pi * r * r\n\nOTHER = 1\n"
    loader.update_module(name, source)
    module = importlib.import_module(name)
    assert inspect.getsource(module.area) == "def area(r):\n    '''Circle.'''\n    return math.pi * r * r\n"
    assert inspect.getsourcefile(module.area) == f"<virtual:{name}>"
    assert module.area.__code__.co_filename == f"<virtual:{name}>"
    assert inspect.getsourcelines(module.area)[1] == 4


# ---------------------------------------------------------------------------
# Updating and deleting
# ---------------------------------------------------------------------------

def test_update_after_import_forces_reexecution(loader, new_name, kernel_log):
    name = new_name()
    loader.update_module(name, "x = 1\n")
    assert kernel_records(kernel_log) == []  # not imported yet: nothing to remove
    first = importlib.import_module(name)
    loader.update_module(name, "x = 2\n")
    assert name not in sys.modules
    assert kernel_records(kernel_log) == [
        (logging.DEBUG, f"{PREFIX}Removed '{name}' from sys.modules to force reload")]
    second = importlib.import_module(name)
    assert second is not first
    assert second.x == 2
    assert first.x == 1  # holders of the old object keep it


def test_update_evicts_a_module_that_came_from_elsewhere(loader, new_name):
    name = new_name()
    sys.modules[name] = types.ModuleType(name)
    loader.update_module(name, "ORIGIN = 'workbook'\n")
    assert importlib.import_module(name).ORIGIN == "workbook"


def test_delete_unknown_module_does_nothing_and_logs_nothing(loader, new_name, kernel_log):
    name = new_name()
    cache_before = dict(loader.source_cache)
    modules_before = set(sys.modules)
    lines_before = set(linecache.cache)
    assert loader.delete_module(name) is None
    assert loader.source_cache == cache_before
    assert set(sys.modules) == modules_before
    assert set(linecache.cache) == lines_before
    assert kernel_records(kernel_log) == []


def test_delete_removes_from_all_three_tables_and_logs_each(loader, new_name, kernel_log):
    name = new_name()
    loader.update_module(name, "x = 1\n")
    importlib.import_module(name)
    loader.delete_module(name)
    assert name not in loader.source_cache
    assert name not in sys.modules
    assert f"<virtual:{name}>" not in linecache.cache
    assert kernel_records(kernel_log) == [
        (logging.DEBUG, f"{PREFIX}Removed '{name}' from source_cache"),
        (logging.DEBUG, f"{PREFIX}Removed '{name}' from sys.modules"),
        (logging.DEBUG, f"{PREFIX}Removed '<virtual:{name}>' from linecache"),
    ]
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module(name)


def test_delete_unloads_a_module_from_elsewhere_and_a_stale_linecache_entry(loader, new_name, kernel_log):
    name = new_name()
    sys.modules[name] = types.ModuleType(name)
    linecache.cache[f"<virtual:{name}>"] = (2, None, ["x\n"], f"<virtual:{name}>")
    loader.delete_module(name)
    assert name not in sys.modules
    assert f"<virtual:{name}>" not in linecache.cache
    assert kernel_records(kernel_log) == [
        (logging.DEBUG, f"{PREFIX}Removed '{name}' from sys.modules"),
        (logging.DEBUG, f"{PREFIX}Removed '<virtual:{name}>' from linecache"),
    ]


def test_loader_logs_through_the_current_module_logger(kernel, loader, new_name, monkeypatch):
    records = []

    class Collect(logging.Handler):
        def emit(self, record):
            records.append((record.levelno, record.getMessage()))

    replacement = logging.getLogger(f"{KERNEL_NAME}.replacement_for_test")
    replacement.setLevel(logging.DEBUG)
    replacement.propagate = False
    handler = Collect()
    replacement.addHandler(handler)
    monkeypatch.setattr(kernel, "logger", replacement)
    try:
        name = new_name()
        loader.update_module(name, "raise LookupError('gone')\n")
        with pytest.raises(LookupError):
            importlib.import_module(name)
        loader.delete_module(name)
    finally:
        replacement.removeHandler(handler)
    assert records == [
        (logging.ERROR, f"{PREFIX}Error executing module '{name}': gone"),
        (logging.DEBUG, f"{PREFIX}Removed '{name}' from source_cache"),
        (logging.DEBUG, f"{PREFIX}Removed '<virtual:{name}>' from linecache"),
    ]


def test_debug_lines_are_not_emitted_when_debug_is_disabled(loader, new_name, caplog):
    caplog.set_level(logging.INFO, logger=KERNEL_NAME)
    name = new_name()
    loader.update_module(name, "x = 1\n")
    importlib.import_module(name)
    loader.update_module(name, "x = 2\n")
    loader.delete_module(name)
    assert kernel_records(caplog) == []
    assert name not in loader.source_cache and name not in sys.modules


# ---------------------------------------------------------------------------
# Failing modules
# ---------------------------------------------------------------------------

def _frames(tb):
    entries = []
    while tb is not None:
        entries.append(tb.tb_frame)
        tb = tb.tb_next
    return entries


def test_exception_at_import_reaches_the_importer_unchanged(loader, new_name, holder, kernel_log):
    name = new_name()
    loader.update_module(name, f"import {holder.__name__} as h\n"
                               "def fail():\n"
                               "    h.raised = ValueError('bad value in workbook')\n"
                               "    raise h.raised\n"
                               "x = 1\n"
                               "fail()\n")
    with pytest.raises(ValueError) as info:
        importlib.import_module(name)
    assert info.value is holder.raised
    assert str(info.value) == "bad value in workbook"
    assert name not in sys.modules
    assert kernel_records(kernel_log) == [
        (logging.ERROR, f"{PREFIX}Error executing module '{name}': bad value in workbook")]

    frames = _frames(info.value.__traceback__)
    files = [f.f_code.co_filename for f in frames]
    assert f"<virtual:{name}>" in files
    assert all(f.f_globals.get("__name__") != KERNEL_NAME for f in frames)
    # Innermost entries: the module's top level, then the function that raised.
    virtual = [(f.f_code.co_name, f.f_lineno) for f in frames if f.f_code.co_filename == f"<virtual:{name}>"]
    assert virtual == [("<module>", 6), ("fail", 4)]
    text = "".join(traceback.format_exception(info.value))
    assert f'File "<virtual:{name}>", line 4, in fail' in text
    assert "raise h.raised" in text


def test_error_log_uses_str_of_the_exception(loader, new_name, kernel_log):
    name = new_name()
    loader.update_module(name, "{}['missing']\n")
    with pytest.raises(KeyError):
        importlib.import_module(name)
    assert kernel_records(kernel_log) == [
        (logging.ERROR, f"{PREFIX}Error executing module '{name}': 'missing'")]


def test_traceback_trimming_skips_leading_frames_of_the_kernel_module(loader, new_name, holder):
    """Leading traceback entries whose frame globals carry the kernel's __name__ are
    dropped; a workbook module that renames itself so has its frames trimmed."""
    name = new_name()
    loader.update_module(name, f"import {holder.__name__} as h\n"
                               f"__name__ = {KERNEL_NAME!r}\n"
                               "h.raised = RuntimeError('renamed')\n"
                               "raise h.raised\n")
    with pytest.raises(RuntimeError) as info:
        importlib.import_module(name)
    assert info.value is holder.raised
    files = [f.f_code.co_filename for f in _frames(info.value.__traceback__)]
    assert f"<virtual:{name}>" not in files


def test_syntax_error_surfaces_with_the_virtual_file_name(loader, new_name, kernel_log):
    name = new_name()
    loader.update_module(name, "x = 1\ndef broken(:\n    pass\n")
    with pytest.raises(SyntaxError) as info:
        importlib.import_module(name)
    assert info.value.filename == f"<virtual:{name}>"
    assert info.value.lineno == 2
    assert name not in sys.modules
    records = kernel_records(kernel_log)
    assert records == [(logging.ERROR, f"{PREFIX}Error executing module '{name}': {info.value}")]
    # The lines are registered before compiling, so the error can be shown in context.
    assert linecache.getline(f"<virtual:{name}>", 2) == "def broken(:\n"

    loader.update_module(name, "x = 1\ndef fixed():\n    return x\n")
    assert importlib.import_module(name).fixed() == 1


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_base_exceptions_propagate_unchanged_and_unlogged(loader, new_name, holder, kernel_log, exc_type):
    name = new_name()
    loader.update_module(name, f"import {holder.__name__} as h\n"
                               f"h.raised = {exc_type.__name__}('stop here')\n"
                               "raise h.raised\n")
    with pytest.raises(exc_type) as info:
        importlib.import_module(name)
    assert info.value is holder.raised
    assert info.value.args == ("stop here",)
    assert name not in sys.modules
    assert kernel_records(kernel_log) == []
    files = [f.f_code.co_filename for f in _frames(info.value.__traceback__)]
    assert f"<virtual:{name}>" in files
