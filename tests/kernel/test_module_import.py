"""What importing the kernel module sets up: constants, companion names, logging,
the bridge package, the module loader and json_dumps, and how the import reacts to
missing or broken dependencies (those cases run in fresh interpreters)."""
import abc
import importlib
import importlib.abc
import importlib.machinery
import inspect
import logging
import sys

import orjson
import pytest

import vantrel_master.logging_config as logging_config
from vantrel_master.python_server import agent as agent_module
from vantrel_master.python_server import debugger as debugger_module
from vantrel_master.python_server import lsp_bridge as lsp_bridge_module
from vantrel_master.python_server import vantrel as bridge_package
from vantrel_master.python_server import win32_event_manager as win32_module

from .conftest import KERNEL_NAME


# ---------------------------------------------------------------------------
# Names bound in the module
# ---------------------------------------------------------------------------

def test_constants_have_their_values_and_types(kernel):
    expected = {
        "MAX_MESSAGE_SIZE": (1048576, int),
        "CHUNK_SIZE": (65536, int),
        "CHUNK_HEADER_TYPE": ("chunk", str),
        "DEBUG_MESSAGE_SEND_TIMEOUT": (5.0, float),
    }
    for name, (value, kind) in expected.items():
        actual = getattr(kernel, name)
        assert type(actual) is kind, name
        assert actual == value, name


def test_module_level_names_are_created_in_import_order(kernel):
    order = ["json_dumps", "LSPBridge", "Agent", "VantrelDebugger", "get_win32_events_dictionary",
             "get_win32_workbook_tree", "Win32ComWatcher", "Win32ComEventRegistrar",
             "setup_logging_subprocess", "get_logger", "logger", "DEBUG_MESSAGE_SEND_TIMEOUT",
             "InMemoryModuleLoader", "vantrel", "MAX_MESSAGE_SIZE", "CHUNK_SIZE", "CHUNK_HEADER_TYPE",
             "in_memory_loader"]
    names = list(vars(kernel))
    missing = [n for n in order if n not in names]
    assert not missing
    assert sorted(order, key=names.index) == order


def test_companion_names_are_the_companion_modules_objects(kernel):
    assert kernel.LSPBridge is lsp_bridge_module.LSPBridge
    assert kernel.Agent is agent_module.Agent
    assert kernel.VantrelDebugger is debugger_module.VantrelDebugger
    assert kernel.get_win32_events_dictionary is win32_module.get_win32_events_dictionary
    assert kernel.get_win32_workbook_tree is win32_module.get_win32_workbook_tree
    assert kernel.Win32ComWatcher is win32_module.Win32ComWatcher
    assert kernel.Win32ComEventRegistrar is win32_module.Win32ComEventRegistrar


def test_logging_names_and_the_module_logger(kernel):
    assert kernel.setup_logging_subprocess is logging_config.setup_logging_subprocess
    assert kernel.get_logger is logging_config.get_logger
    assert kernel.logger is logging.getLogger(KERNEL_NAME)


def test_bridge_package_is_registered_as_vantrel(kernel):
    assert kernel.vantrel is bridge_package
    assert kernel.vantrel.__name__ == "vantrel_master.python_server.vantrel"
    assert sys.modules["vantrel"] is kernel.vantrel
    # Submodules reached through the short name are the ones the kernel patches.
    assert importlib.import_module("vantrel.messaging") is kernel.vantrel.messaging
    assert importlib.import_module("vantrel") is kernel.vantrel


def test_user_code_imports_reach_the_kernels_bridge_objects(kernel, loader, new_name):
    name = new_name()
    loader.update_module(name, "import vantrel\nimport vantrel.messaging\n"
                               "from vantrel import messaging as m2\n"
                               "top = vantrel\nmsg = vantrel.messaging\n")
    module = importlib.import_module(name)
    assert module.top is kernel.vantrel
    assert module.msg is kernel.vantrel.messaging
    assert module.m2 is kernel.vantrel.messaging


def test_in_memory_loader_is_the_single_loader_on_the_meta_path(kernel):
    loader = kernel.in_memory_loader
    assert isinstance(loader, kernel.InMemoryModuleLoader)
    assert vars(loader)["source_cache"].__class__ is dict
    ours = [f for f in sys.meta_path if isinstance(f, kernel.InMemoryModuleLoader)]
    assert ours == [loader]
    # It is asked before the finders of built-in, frozen and sys.path modules (the
    # fresh-interpreter test below checks that it is first).
    position = sys.meta_path.index(loader)
    for standard in (importlib.machinery.BuiltinImporter, importlib.machinery.FrozenImporter,
                     importlib.machinery.PathFinder):
        assert position < sys.meta_path.index(standard)


def test_fresh_import_sets_up_loader_and_logging_once(run_python):
    code, facts, err = run_python("""
        import importlib, logging, sys
        handlers_before = list(logging.getLogger().handlers)
        last_resort_before = logging.lastResort
        import vantrel_master.python_server.kernel as k
        meta_after_first = list(sys.meta_path)
        import vantrel_master.python_server.kernel as k2
        k3 = importlib.import_module("vantrel_master.python_server.kernel")
        from vantrel_master.python_server import kernel as k4
        report({
            "same_module": k is k2 and k is k3 and k is k4,
            "loader_positions": [i for i, f in enumerate(sys.meta_path)
                                 if type(f).__name__ == "InMemoryModuleLoader"],
            "first_is_in_memory_loader": sys.meta_path[0] is k.in_memory_loader,
            "meta_path_unchanged": meta_after_first == sys.meta_path,
            "new_root_handlers": [getattr(h, "_vantrel_handler", False)
                                  for h in logging.getLogger().handlers if h not in handlers_before],
            "root_level": logging.getLogger().level,
            "last_resort_replaced": logging.lastResort is not last_resort_before,
            "logger_enabled_for_debug": k.logger.isEnabledFor(logging.DEBUG),
        })
    """, env={"VANTREL_LOG_LEVEL": "DEBUG"})
    assert code == 0, err
    assert facts["same_module"]
    assert facts["loader_positions"] == [0]
    assert facts["first_is_in_memory_loader"]
    assert facts["meta_path_unchanged"]
    # setup_logging_subprocess() ran during the import.
    assert facts["new_root_handlers"] and all(facts["new_root_handlers"])
    assert facts["root_level"] == logging.DEBUG
    assert facts["last_resort_replaced"]
    assert facts["logger_enabled_for_debug"]


def test_import_is_clean_when_warnings_are_errors(run_python):
    code, facts, err = run_python("""
        import vantrel_master.python_server.kernel as k
        report({"loader": type(k.in_memory_loader).__name__, "package": k.__package__})
    """, args=["-W", "error"])
    assert code == 0, err
    assert facts == {"loader": "InMemoryModuleLoader", "package": "vantrel_master.python_server"}


# ---------------------------------------------------------------------------
# json_dumps
# ---------------------------------------------------------------------------

def test_json_dumps_with_orjson_is_compact_and_keeps_non_ascii(kernel):
    assert kernel.json_dumps({"a": 1, "é": "ü"}) == '{"a":1,"é":"ü"}'
    value = {"list": [1, 2.5, None, True], "nested": {"k": "v\n\"q\""}, "emoji": "😀"}
    out = kernel.json_dumps(value)
    assert type(out) is str
    assert out == orjson.dumps(value).decode("utf-8")


def test_json_dumps_with_orjson_raises_the_encoders_error(kernel):
    value = {"x": object()}
    with pytest.raises(orjson.JSONEncodeError) as direct:
        orjson.dumps(value)
    with pytest.raises(orjson.JSONEncodeError) as raised:
        kernel.json_dumps(value)
    assert type(raised.value) is type(direct.value)
    assert str(raised.value) == str(direct.value)


def test_json_dumps_calls_orjson_dumps_at_call_time(kernel, monkeypatch):
    calls = []

    def fake_dumps(obj):
        calls.append(obj)
        return b'"patched \xc3\xa9"'

    monkeypatch.setattr(orjson, "dumps", fake_dumps)
    value = {"k": 1}
    assert kernel.json_dumps(value) == '"patched é"'
    assert calls == [value] and calls[0] is value


def test_json_dumps_falls_back_to_json_without_orjson(run_python):
    code, facts, err = run_python("""
        import sys
        sys.modules["orjson"] = None          # "import orjson" raises ImportError
        import vantrel_master.python_server.kernel as k
        out = k.json_dumps({"a": 1, "é": "ü", "l": [1, 2]})
        try:
            k.json_dumps({"x": {1, 2}})
        except Exception as e:
            error = [type(e).__name__, str(e)]
        else:
            error = None
        report({"out": out, "type": type(out).__name__, "error": error,
                "signature": str(__import__("inspect").signature(k.json_dumps))})
    """)
    assert code == 0, err
    assert facts["out"] == '{"a": 1, "\\u00e9": "\\u00fc", "l": [1, 2]}'
    assert facts["type"] == "str"
    assert facts["error"] == ["TypeError", "Object of type set is not JSON serializable"]
    assert facts["signature"] == "(obj)"


def test_json_dumps_falls_back_when_a_finder_refuses_orjson(run_python):
    code, facts, err = run_python("""
        import sys
        class Refuse:
            def find_spec(self, name, path=None, target=None):
                if name == "orjson":
                    raise ImportError("no orjson here")
                return None
        sys.meta_path.insert(0, Refuse())
        import vantrel_master.python_server.kernel as k
        report({"out": k.json_dumps(["ä", {"b": None}])})
    """)
    assert code == 0, err
    assert facts["out"] == '["\\u00e4", {"b": null}]'


# ---------------------------------------------------------------------------
# Failing and falling-back imports
# ---------------------------------------------------------------------------

def test_missing_websockets_makes_the_import_fail(run_python):
    code, facts, err = run_python("""
        import sys
        sys.modules["websockets"] = None
        try:
            import vantrel_master.python_server.kernel
        except BaseException as e:
            error = [type(e).__name__, isinstance(e, ImportError), str(e)]
        else:
            error = None
        report({"error": error,
                "kernel_left_in_modules": "vantrel_master.python_server.kernel" in sys.modules,
                "loaders": [type(f).__name__ for f in sys.meta_path
                            if type(f).__name__ == "InMemoryModuleLoader"]})
    """)
    assert code == 0, err
    assert facts["error"] is not None
    assert facts["error"][1], facts["error"]
    assert "websockets" in facts["error"][2]
    assert not facts["kernel_left_in_modules"]
    assert facts["loaders"] == []


def _stub(directory, name, body):
    directory.mkdir(exist_ok=True)
    (directory / f"{name}.py").write_text(body)
    return directory


def test_companion_falls_back_to_top_level_module(run_python, scratch):
    stubs = _stub(scratch / "stubs", "lsp_bridge", "class LSPBridge:\n    stub = True\n")
    code, facts, err = run_python("""
        import sys
        sys.modules["vantrel_master.python_server.lsp_bridge"] = None
        import vantrel_master.python_server.kernel as k
        import lsp_bridge, vantrel_master.python_server.agent as agent
        report({"stub_used": k.LSPBridge is lsp_bridge.LSPBridge,
                "stub_file": lsp_bridge.__file__,
                "agent_from_package": k.Agent is agent.Agent})
    """, extra_path=[stubs])
    assert code == 0, err
    assert facts["stub_used"]
    assert facts["stub_file"] == str(stubs / "lsp_bridge.py")
    assert facts["agent_from_package"]


def test_companion_missing_everywhere_makes_the_import_fail(run_python):
    code, facts, err = run_python("""
        import sys
        sys.modules["vantrel_master.python_server.debugger"] = None
        sys.modules["debugger"] = None
        try:
            import vantrel_master.python_server.kernel
        except BaseException as e:
            error = [type(e).__name__, isinstance(e, ImportError), str(e)]
        else:
            error = None
        report({"error": error})
    """)
    assert code == 0, err
    assert facts["error"] is not None and facts["error"][1], facts["error"]
    assert "debugger" in facts["error"][2]


@pytest.mark.parametrize("relative, top_level", [
    ("vantrel_master.python_server.debugger", "debugger"),
    ("vantrel_master.python_server.vantrel", "vantrel"),
], ids=["companion", "bridge"])
def test_failed_fallback_import_chains_the_first_import_error(run_python, relative, top_level):
    """The fallback import runs while the relative import's ImportError is being
    handled, so the error that ends the import carries it as __context__."""
    code, facts, err = run_python(f"""
        import sys
        sys.modules[{relative!r}] = None
        sys.modules[{top_level!r}] = None
        try:
            import vantrel_master.python_server.kernel
        except ImportError as e:
            ctx = e.__context__
            report([str(e), type(ctx).__name__, isinstance(ctx, ImportError), str(ctx)])
        else:
            report(None)
    """)
    assert code == 0, err
    assert facts is not None
    final, ctx_type, ctx_is_import_error, ctx_text = facts
    assert relative not in final
    assert ctx_is_import_error, ctx_type
    assert relative in ctx_text


def test_companion_error_other_than_import_error_is_not_masked(run_python, scratch):
    stubs = _stub(scratch / "stubs", "agent", "class Agent:\n    pass\n")
    code, facts, err = run_python("""
        import sys
        class Broken:
            def find_spec(self, name, path=None, target=None):
                if name == "vantrel_master.python_server.agent":
                    raise RuntimeError("agent companion is broken")
                return None
        sys.meta_path.insert(0, Broken())
        try:
            import vantrel_master.python_server.kernel
        except BaseException as e:
            error = [type(e).__name__, str(e)]
        else:
            error = None
        report({"error": error})
    """, extra_path=[stubs])
    assert code == 0, err
    assert facts["error"] == ["RuntimeError", "agent companion is broken"]


def test_bridge_falls_back_to_top_level_vantrel(run_python, scratch):
    stubs = _stub(scratch / "stubs", "vantrel", "STUB = True\nexcel = object()\ncontext = object()\n")
    code, facts, err = run_python("""
        import sys
        sys.modules["vantrel_master.python_server.vantrel"] = None
        import vantrel_master.python_server.kernel as k
        report({"stub": getattr(k.vantrel, "STUB", False), "file": k.vantrel.__file__,
                "registered": sys.modules.get("vantrel") is k.vantrel})
    """, extra_path=[stubs])
    assert code == 0, err
    assert facts == {"stub": True, "file": str(stubs / "vantrel.py"), "registered": True}


def test_a_second_module_object_is_refused_and_the_first_keeps_working(run_python):
    """The module keeps process-wide state, so executing it a second time (a new module
    object after removal from sys.modules) is refused with ImportError; the first
    object goes on working with its own names."""
    code, facts, err = run_python("""
        import sys
        import vantrel_master.python_server.kernel as first
        del sys.modules["vantrel_master.python_server.kernel"]
        try:
            import vantrel_master.python_server.kernel
            second = "imported"
        except ImportError as e:
            second = str(e)
        first.in_memory_loader.update_module("reexec_mod", "x = 1")
        import reexec_mod
        report({"second": second, "x": reexec_mod.x,
                "loader_first": sys.meta_path.count(first.in_memory_loader)})
    """)
    assert code == 0, err
    assert "can be loaded only once per interpreter" in facts["second"]
    assert facts["x"] == 1 and facts["loader_first"] == 1


# ---------------------------------------------------------------------------
# Functions and classes look like Python ones
# ---------------------------------------------------------------------------

def test_json_dumps_looks_like_a_python_function(kernel):
    f = kernel.json_dumps
    assert str(inspect.signature(f)) == "(obj)"
    assert f.__name__ == "json_dumps"
    assert f.__qualname__ == "json_dumps"
    assert f.__module__ == KERNEL_NAME
    assert f.__code__.co_argcount == 1
    assert f.__code__.co_varnames[:1] == ("obj",)
    assert f(obj=[1]) == "[1]"


def test_loader_class_and_methods_look_like_python_ones(kernel):
    cls = kernel.InMemoryModuleLoader
    assert cls.__module__ == KERNEL_NAME
    assert cls.__qualname__ == "InMemoryModuleLoader"
    assert type(cls) is abc.ABCMeta
    assert issubclass(cls, importlib.abc.MetaPathFinder)
    assert issubclass(cls, importlib.abc.Loader)
    signatures = {
        "__init__": "(self)",
        "find_spec": "(self, fullname: str, path, target=None)",
        "create_module": "(self, spec)",
        "exec_module": "(self, module)",
        "update_module": "(self, module_name: str, code: str)",
        "delete_module": "(self, module_name: str)",
    }
    for name, signature in signatures.items():
        method = vars(cls)[name]
        assert str(inspect.signature(method)) == signature, name
        assert method.__name__ == name
        assert method.__qualname__ == f"InMemoryModuleLoader.{name}"
        assert method.__module__ == KERNEL_NAME
    bound = kernel.in_memory_loader.find_spec
    assert inspect.ismethod(bound)
    assert bound.__self__ is kernel.in_memory_loader
    assert str(inspect.signature(bound)) == "(fullname: str, path, target=None)"


def test_loader_instances_and_subclasses_behave_as_python_classes(kernel, new_name):
    cls = kernel.InMemoryModuleLoader
    fresh = cls()
    assert vars(fresh) == {"source_cache": {}}
    assert fresh.source_cache is not kernel.in_memory_loader.source_cache
    assert fresh.create_module(None) is None

    seen = []

    class Tracing(cls):
        def find_spec(self, fullname, path, target=None):
            seen.append(fullname)
            return super().find_spec(fullname, path, target)

    tracer = Tracing()
    name = new_name()
    tracer.update_module(name, "x = 1\n")
    found = tracer.find_spec(name, None)
    assert seen == [name]
    assert found.name == name and found.loader is tracer
