"""Type-checked, never run (scripts/stubs.sh, and the wheel test against the installed
package): the public surface of the kernel and of the package client used as a tool built
on them would use it, seen by mypy through the generated stubs. `assert_type` pins what the stubs declare; each line
under misuses() must be rejected with the error code it names (mypy runs with
--warn-unused-ignores, so a stub that let one through fails the check)."""
import logging
from typing import Any, Dict, List, Optional, assert_type

from vantrel_master.business_layer.packages.caskwell import Caskwell
from vantrel_master.python_server import kernel
from vantrel_master.python_server.kernel import CodeExecutor, MessageBatcher, PythonKernel, VirtualEnvironment


def chunks_per_message() -> int:
    assert_type(kernel.MAX_MESSAGE_SIZE, int)
    assert_type(kernel.CHUNK_SIZE, int)
    assert_type(kernel.CHUNK_HEADER_TYPE, str)
    assert_type(kernel.DEBUG_MESSAGE_SEND_TIMEOUT, float)
    assert_type(kernel.logger, logging.Logger)
    assert_type(MessageBatcher.FLUSH_INTERVAL, float)
    return kernel.MAX_MESSAGE_SIZE // kernel.CHUNK_SIZE


def run_console_code(code: str) -> Dict[str, Any]:
    executor = CodeExecutor()
    result = executor.execute(code, stdout_callback=print)
    assert_type(result, Dict[str, Any])
    executor.reset_namespace()
    return result


def describe(error: Exception) -> str:
    text = kernel.extract_tracebak_string(error)
    assert_type(text, str)
    return text.splitlines()[-1]


def import_paths(workbook_id: str, path: str) -> List[Any]:
    environment = VirtualEnvironment(workbook_id)
    environment.add_path(path)
    paths = environment.get_paths()
    assert_type(paths, list)
    environment.reset_path()
    return paths


def load_module(name: str, source: str) -> None:
    kernel.in_memory_loader.update_module(name, source)
    kernel.in_memory_loader.delete_module(name)


async def serve(workbook_id: str) -> Optional[Any]:
    k = PythonKernel(workbook_id, port="8000", connection_args=None)
    k.save_object("answer", 42)
    kept = k.get_object("answer")
    assert_type(kept, Optional[Any])
    k.set_enable_events(True)
    k.show_message_box("done", title="Vantrel")
    await k.send_message({"type": "ping"})
    await kernel.main(workbook_id, "8000", connection_args={"platform": "linux"})
    return kept


async def newest_satisfying(client: Caskwell, name: str, version_spec: str) -> Optional[str]:
    versions = await client.get_versions(name)
    assert_type(versions, List[str])
    dependencies = await client.get_dependencies(name, versions[0], index_url=None)
    assert_type(dependencies, List[Dict[str, Any]])
    info = await client.get_package_info(name)
    assert_type(info, Dict[str, str])
    installed = client.check_specifier_in_dist(name, version_spec, extras=["socks"])
    await client.close()
    return installed or await client.find_repo_for_package_version(name, versions[0])


def misuses() -> None:
    PythonKernel(1)  # type: ignore[arg-type]
    CodeExecutor().execute(b"print(1)")  # type: ignore[arg-type]
    kernel.extract_tracebak_string("not an exception")  # type: ignore[arg-type]
    kernel.MAX_MESSAGE_SIZE.upper()  # type: ignore[attr-defined]
    pending = kernel.main("Book1")  # type: ignore[call-arg]
    pending.close()
    PythonKernel("Book1").connectt()  # type: ignore[attr-defined]
    VirtualEnvironment("Book1").add_path(None)  # type: ignore[arg-type]
    Caskwell(None).check_specifier_in_dist("requests", ">=2", extras="socks")  # type: ignore[arg-type]
    Caskwell(None).get_versions("requests").upper()  # type: ignore[attr-defined]
