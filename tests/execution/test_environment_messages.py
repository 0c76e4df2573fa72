"""The environment and module messages end to end: import paths, package folders and
the unloading of the packages that came from them, the workbook's in-memory modules,
and malformed messages that are refused without changing anything."""
import importlib
import logging
import sys
import types

import pytest

from vantrel_master.python_server import kernel as kmod

from .conftest import kernel_messages, run, unique

pytestmark = [pytest.mark.timeout(60), pytest.mark.usefixtures("import_state")]


class LanguageServiceSpy:
    """Stands in for the kernel's language-service bridge and records what it is told."""

    def __init__(self):
        self.calls = []

    def update_sys_paths(self, paths):
        self.calls.append(("update_sys_paths", paths))

    def delete_module(self, module_name):
        self.calls.append(("delete_module", module_name))


def write_tree(root, files):
    for relative, text in files.items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


@pytest.fixture
def packages(import_state, scratch):
    """Folder A with package P (P.sub, P.sub.b, P.sub.a), folder U with an unrelated
    package Q and a package whose name merely starts with P's. Both folders are on
    sys.path and everything is imported; P also has a submodule without a file."""
    p, q = unique("pkgp"), unique("pkgq")
    p_like = p + "x"
    folder_a, folder_u = scratch / "A", scratch / "U"
    write_tree(folder_a, {f"{p}/__init__.py": "", f"{p}/sub/__init__.py": "",
                          f"{p}/sub/a.py": "A = 1\n", f"{p}/sub/b.py": "B = 2\n"})
    write_tree(folder_u, {f"{q}/__init__.py": "", f"{p_like}/__init__.py": ""})
    sys.path.extend([str(folder_a), str(folder_u)])
    importlib.import_module(f"{p}.sub.b")
    importlib.import_module(f"{p}.sub.a")
    sys.modules[f"{p}.nofile"] = types.ModuleType(f"{p}.nofile")
    importlib.import_module(q)
    importlib.import_module(p_like)
    return types.SimpleNamespace(
        A=str(folder_a), U=str(folder_u), P=p, Q=q, P_like=p_like, scratch=scratch,
        P_names=[p, f"{p}.sub", f"{p}.sub.b", f"{p}.sub.a", f"{p}.nofile"],
        # deepest first; equal depths in the order they were imported
        P_unload_order=[f"{p}.sub.b", f"{p}.sub.a", f"{p}.sub", f"{p}.nofile", p],
    )


def unloaded(caplog):
    prefix = "Unloaded module: "
    return [m[len(prefix):] for m in kernel_messages(caplog, logging.DEBUG) if m.startswith(prefix)]


# --- add_path / remove_path / reset_path -------------------------------------------------------------


def test_add_remove_and_reset_path(connected_kernel, scratch):
    first, second, someone_elses = str(scratch / "first"), str(scratch / "second"), str(scratch / "other")

    async def body():
        async with connected_kernel() as session:
            env = session.kernel.virtual_env
            snapshot = list(env.original_path)
            path_object = sys.path

            reply = await session.reply({"type": "add_path", "path": first}, "path_added")
            assert list(reply) == ["type", "path", "current_paths"]
            assert reply == {"type": "path_added", "path": first, "current_paths": sys.path}
            assert sys.path[0] == first
            await session.reply({"type": "add_path", "path": first}, "path_added")
            reply = await session.reply({"type": "add_path", "path": second}, "path_added")
            assert sys.path[:2] == [second, first] and sys.path.count(first) == 1
            assert reply["current_paths"] == sys.path
            assert env.custom_paths == [first, second]

            # a folder the workbook did not add stays on the path
            theirs = snapshot[-1]
            reply = await session.reply({"type": "remove_path", "path": theirs}, "path_removed")
            assert reply == {"type": "path_removed", "path": theirs, "current_paths": sys.path}
            assert theirs in sys.path

            reply = await session.reply({"type": "remove_path", "path": first}, "path_removed")
            assert first not in sys.path and reply["current_paths"] == sys.path
            assert env.custom_paths == [second]

            sys.path.append(someone_elses)
            reply = await session.reply({"type": "reset_path"}, "path_reset")
            assert reply == {"type": "path_reset", "current_paths": snapshot}
            assert sys.path is path_object and sys.path == snapshot
            assert env.custom_paths == []

    run(body())


# --- set_package_paths ------------------------------------------------------------------------------


def test_set_package_paths_unloads_whole_packages_deepest_first(connected_kernel, packages, kernel_log):
    new_b, new_c = str(packages.scratch / "B"), str(packages.scratch / "C")
    others = {name: sys.modules[name] for name in (packages.Q, packages.P_like)}

    async def body():
        async with connected_kernel() as session:
            spy = session.kernel._lsp_bridge = LanguageServiceSpy()
            reply = await session.reply({"type": "set_package_paths", "old_paths": [packages.A],
                                         "new_paths": [new_b, new_c]}, "package_paths_updated")
            assert list(reply) == ["type", "paths_added", "modules_unloaded", "workbook_id"]
            assert reply == {"type": "package_paths_updated", "paths_added": 2, "modules_unloaded": 5,
                             "workbook_id": session.workbook_id}
            assert session.kernel.virtual_env.custom_paths == [new_b, new_c]
            assert spy.calls == [("update_sys_paths", [new_b, new_c])]

    run(body())
    assert unloaded(kernel_log) == packages.P_unload_order
    assert not any(name in sys.modules for name in packages.P_names)
    assert all(sys.modules.get(name) is module for name, module in others.items())
    assert packages.A not in sys.path
    assert sys.path[:2] == [new_b, new_c]
    debug = kernel_messages(kernel_log, logging.DEBUG)
    assert f"Removed old path from sys.path: {packages.A}" in debug
    added = [m for m in debug if m.startswith("Added new path to sys.path: ")]
    assert added == [f"Added new path to sys.path: {new_c}", f"Added new path to sys.path: {new_b}"]
    assert "Package paths updated: 2 paths added, 5 modules unloaded" in kernel_messages(kernel_log, logging.INFO)


def test_set_package_paths_counts_entries_already_present(connected_kernel, scratch, kernel_log):
    new_b, present = str(scratch / "B"), str(scratch / "present")
    sys.path.append(present)

    async def body():
        async with connected_kernel() as session:
            before = list(sys.path)
            reply = await session.reply({"type": "set_package_paths", "old_paths": [str(scratch / "never")],
                                         "new_paths": [new_b, present]}, "package_paths_updated")
            assert (reply["paths_added"], reply["modules_unloaded"]) == (2, 0)
            assert sys.path == [new_b, *before]
            assert session.kernel.virtual_env.custom_paths == [new_b, present]

    run(body())
    assert unloaded(kernel_log) == []


def test_set_package_paths_defaults_to_empty_lists(connected_kernel):
    async def body():
        async with connected_kernel() as session:
            session.kernel.virtual_env.custom_paths.append("/x/stale")
            before = list(sys.path)
            reply = await session.reply({"type": "set_package_paths"}, "package_paths_updated")
            assert (reply["paths_added"], reply["modules_unloaded"]) == (0, 0)
            assert sys.path == before and session.kernel.virtual_env.custom_paths == []

    run(body())


# --- set_python_paths -------------------------------------------------------------------------------


def test_set_python_paths_appends_and_unloads_nothing(connected_kernel, packages, kernel_log):
    new_b, present = str(packages.scratch / "B"), packages.U

    async def body():
        async with connected_kernel() as session:
            spy = session.kernel._lsp_bridge = LanguageServiceSpy()
            custom_before = list(session.kernel.virtual_env.custom_paths)
            before = list(sys.path)
            reply = await session.reply({"type": "set_python_paths", "old_paths": [packages.A, "/x/absent"],
                                         "new_paths": [new_b, present]}, "python_paths_updated")
            assert list(reply) == ["type", "paths_added", "workbook_id"]
            assert reply == {"type": "python_paths_updated", "paths_added": 2, "workbook_id": session.workbook_id}
            assert sys.path == [p for p in before if p != packages.A] + [new_b]
            (name, told), = spy.calls
            assert name == "update_sys_paths" and told == sys.path and told is not sys.path
            assert session.kernel.virtual_env.custom_paths == custom_before

    run(body())
    assert unloaded(kernel_log) == []
    assert all(name in sys.modules for name in packages.P_names)
    assert "Python paths updated: 2 paths added" in kernel_messages(kernel_log, logging.INFO)


# --- unload_and_clear_paths --------------------------------------------------------------------------


def test_unload_and_clear_paths(connected_kernel, packages, kernel_log):
    async def body():
        async with connected_kernel() as session:
            spy = session.kernel._lsp_bridge = LanguageServiceSpy()
            custom_before = list(session.kernel.virtual_env.custom_paths)
            reply = await session.reply({"type": "unload_and_clear_paths", "paths": [packages.A, "/x/absent"]},
                                        "modules_unloaded")
            assert list(reply) == ["type", "modules_unloaded", "paths_cleared", "workbook_id"]
            assert reply == {"type": "modules_unloaded", "modules_unloaded": 5, "paths_cleared": 2,
                             "workbook_id": session.workbook_id}
            assert spy.calls == []
            assert session.kernel.virtual_env.custom_paths == custom_before

    run(body())
    assert unloaded(kernel_log) == packages.P_unload_order
    assert packages.A not in sys.path and packages.U in sys.path
    assert packages.Q in sys.modules and packages.P_like in sys.modules
    assert "Modules unloaded: 5, paths cleared: 2" in kernel_messages(kernel_log, logging.INFO)


def test_a_folder_also_matches_longer_folders_it_is_a_prefix_of(connected_kernel, scratch, kernel_log):
    short, longer = scratch / "lib", scratch / "lib2"
    name = unique("pkgr")
    write_tree(longer, {f"{name}/__init__.py": "", f"{name}/m.py": ""})
    sys.path.append(str(longer))
    importlib.import_module(f"{name}.m")

    async def body():
        async with connected_kernel() as session:
            reply = await session.reply({"type": "unload_and_clear_paths", "paths": [str(short)]}, "modules_unloaded")
            assert reply["modules_unloaded"] == 2

    run(body())
    assert unloaded(kernel_log) == [f"{name}.m", name]
    assert str(longer) in sys.path


# --- update_module / delete_module --------------------------------------------------------------------


def test_update_and_delete_module(connected_kernel, module_name, kernel_log):
    name = module_name()

    async def body():
        async with connected_kernel() as session:
            spy = session.kernel._lsp_bridge = LanguageServiceSpy()
            reply = await session.reply({"type": "update_module", "module_name": name, "code": "VALUE = 1\n"},
                                        "module_updated")
            assert list(reply) == ["type", "module_name"]
            assert reply == {"type": "module_updated", "module_name": name}
            assert (await session.execute(f"import {name}; {name}.VALUE", "r1"))["result"] == "1"

            await session.reply({"type": "update_module", "module_name": name, "code": "VALUE = 2\n"},
                                "module_updated")
            assert name not in sys.modules  # the imported copy is dropped
            assert (await session.execute(f"import {name}; {name}.VALUE", "r2"))["result"] == "2"
            assert spy.calls == []  # the language service is not told about updates

            reply = await session.reply({"type": "delete_module", "module_name": name}, "module_deleted")
            assert reply == {"type": "module_deleted", "module_name": name}
            assert spy.calls == [("delete_module", name)]
            assert name not in kmod.in_memory_loader.source_cache and name not in sys.modules
            final = await session.execute(f"import {name}", "r3")
            assert final["error"]["type"] == "ModuleNotFoundError"

    run(body())
    info = kernel_messages(kernel_log, logging.INFO)
    assert f"[Kernel] Updated virtual module: {name}" in info
    assert f"[Kernel] Deleted virtual module: {name}" in info


@pytest.mark.parametrize("kind", ["update_module", "delete_module"])
@pytest.mark.parametrize("fields", [{}, {"module_name": ""}])
def test_module_messages_require_a_name(connected_kernel, kernel_log, kind, fields):
    async def body():
        async with connected_kernel() as session:
            spy = session.kernel._lsp_bridge = LanguageServiceSpy()
            cache = dict(kmod.in_memory_loader.source_cache)
            reply = await session.reply({"type": kind, "code": "X = 1\n", **fields}, "error")
            assert list(reply) == ["type", "message"]
            assert reply == {"type": "error", "message": f"{kind} requires module_name"}
            assert kmod.in_memory_loader.source_cache == cache
            assert spy.calls == []

    run(body())
    assert f"[Kernel] Received {kind} without module_name" in kernel_messages(kernel_log, logging.WARNING)


# --- malformed messages ------------------------------------------------------------------------------


MALFORMED = [
    ("add_path", "path", lambda f: {"path": 5}),
    ("remove_path", "path", lambda f: {"path": None}),
    ("set_package_paths", "old_paths", lambda f: {"old_paths": 5, "new_paths": []}),
    ("set_package_paths", "old_paths", lambda f: {"old_paths": f.A, "new_paths": []}),
    ("set_package_paths", "new_paths", lambda f: {"old_paths": [f.A], "new_paths": [f.B, 3]}),
    ("set_python_paths", "new_paths", lambda f: {"old_paths": [f.A], "new_paths": {"b": 1}}),
    ("set_python_paths", "old_paths", lambda f: {"old_paths": [f.A, None], "new_paths": [f.B]}),
    ("unload_and_clear_paths", "paths", lambda f: {"paths": "/"}),
    ("unload_and_clear_paths", "paths", lambda f: {"paths": [f.A, 1.5]}),
    ("update_module", "module_name", lambda f: {"module_name": 5, "code": "X = 1\n"}),
    ("update_module", "code", lambda f: {"module_name": f.name, "code": 5}),
    ("delete_module", "module_name", lambda f: {"module_name": ["m"]}),
]


@pytest.mark.parametrize("kind, field, make", MALFORMED,
                         ids=[f"{kind}-{field}-{i}" for i, (kind, field, _) in enumerate(MALFORMED)])
def test_malformed_fields_change_nothing(connected_kernel, packages, module_name, kind, field, make):
    fields = types.SimpleNamespace(A=packages.A, B=str(packages.scratch / "B"), name=module_name())
    message = {"type": kind, **make(fields)}

    async def body():
        async with connected_kernel() as session:
            spy = session.kernel._lsp_bridge = LanguageServiceSpy()
            env = session.kernel.virtual_env
            env.add_path(str(packages.scratch / "custom"))
            state = (list(sys.path), list(env.custom_paths), dict(kmod.in_memory_loader.source_cache))
            modules = dict(sys.modules)
            reply = await session.reply(message, "error")
            assert list(reply) == ["type", "message"]
            assert kind in reply["message"] and f"'{field}'" in reply["message"]
            assert (list(sys.path), list(env.custom_paths), dict(kmod.in_memory_loader.source_cache)) == state
            assert all(sys.modules.get(name) is module for name, module in modules.items())
            assert spy.calls == []
            # the session goes on
            assert (await session.execute("1 + 1", "after"))["result"] == "2"
            await session.reply({"type": "add_path", "path": fields.B}, "path_added")

    run(body())
