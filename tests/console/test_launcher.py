"""The kernel launcher as a process: it ends as soon as the kernel's main returns."""
import asyncio
import subprocess
import sys

import pytest

from vantrel_master.devtools.business_layer import DevBusinessLayer
from vantrel_master.devtools.tls import make_throwaway_server_context

from .conftest import WAIT, child_env

# Leaves a non-daemon thread that never ends (a normal interpreter exit would wait for
# it), and makes the last step of every kernel teardown (shutting the worker pool down)
# write a token to the process's own stdout and count the call in a file: writes after
# the kernel's last flush, lost unless the launcher flushes before it ends the process.
LINGERING_CELL = """\
import sys, threading, time, vantrel
threading.Thread(target=time.sleep, args=(3600,)).start()
pool = vantrel._kernel_instance._thread_pool
def shutdown_then_write(*args, shutdown=pool.shutdown, stdout=sys.__stdout__, **kwargs):
    shutdown(*args, **kwargs)
    stdout.write("teardown-token ")
    with open({count_file!r}, "a") as handle:
        handle.write("call\\n")
pool.shutdown = shutdown_then_write
"""


async def start_launcher(scratch, port, *options):
    return await asyncio.create_subprocess_exec(
        sys.executable, "-m", "vantrel_master.devtools.launcher", "wb-launch", str(port), *options,
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        env=child_env(scratch))


async def end_of(process):
    try:
        out, err = await asyncio.wait_for(process.communicate(), WAIT)
    finally:
        if process.returncode is None:
            process.kill()
            await process.wait()
    return process.returncode, out.decode(), err.decode()


@pytest.mark.parametrize("ending", ["shutdown message", "server closes"])
def test_process_ends_when_main_returns_despite_running_user_threads(scratch, ending):
    count_file = scratch / "teardowns"

    async def main():
        async with DevBusinessLayer() as server:
            process = await start_launcher(scratch, server.port, "--plain")
            await server.wait_connected("wb-launch", timeout=WAIT)
            cell = LINGERING_CELL.format(count_file=str(count_file))
            await server.send("wb-launch", {"type": "execution_request", "code": cell,
                                            "request_id": "r1", "source": "ide"})
            reply = await server.wait_for("wb-launch", "execution_result", timeout=WAIT)
            assert reply["request_id"] == "r1"
            if ending == "shutdown message":
                await server.send("wb-launch", {"type": "shutdown"})
            else:
                await server.stop()
            return await end_of(process)

    code, out, err = asyncio.run(main())
    assert code == 0, err
    teardowns = count_file.read_text().count("call")
    assert teardowns >= 1 and out.count("teardown-token") == teardowns, out
    assert "Kernel disconnected for workbook: wb-launch" in err


def test_without_plain_the_kernel_connects_over_tls(scratch):
    async def main():
        async with DevBusinessLayer(ssl_context=make_throwaway_server_context()) as server:
            process = await start_launcher(scratch, server.port)
            await server.wait_connected("wb-launch", timeout=WAIT)
            await server.send("wb-launch", {"type": "shutdown"})
            return await end_of(process)

    code, _, err = asyncio.run(main())
    assert code == 0, err


def test_ends_when_no_business_layer_answers(scratch):
    async def main():
        async with DevBusinessLayer() as server:
            port = server.port
        return await end_of(await start_launcher(scratch, port, "--plain"))

    code, _, err = asyncio.run(main())
    assert code == 0, err
    assert "Kernel error:" in err
