"""ipykernel, driven by jupyter_client, as a comparison for the console round trip.

The kernel is started by jupyter_client's AsyncKernelManager from the "python3"
kernel spec (this interpreter running ipykernel_launcher), its output going to a
log file. A request is ``execute`` of the code, timed until the shell channel's
``execute_reply`` to it. The IOPub channel is subscribed (as a front end would be)
and drained between batches; the heartbeat channel is not started.
"""

from __future__ import annotations

import asyncio
import time
from pathlib import Path
from typing import Any, Dict, Tuple

from .processes import process_cpu_ns

clock = time.perf_counter_ns


class JupyterSystem:
    kind = "ipykernel"

    def __init__(self, label: str, log_dir: Path) -> None:
        self.label = label
        self.log_path = log_dir / "ipykernel.log"
        self.manager = None
        self.client = None
        self.starts = 0

    @property
    def pid(self) -> int:
        return self.manager.provisioner.pid

    def cpu_ns(self) -> int:
        return process_cpu_ns(self.pid)

    async def start(self, peer=None) -> None:
        from jupyter_client import AsyncKernelManager

        self.starts += 1
        self.manager = AsyncKernelManager(kernel_name="python3")
        with open(self.log_path, "ab") as log:
            await self.manager.start_kernel(stdout=log, stderr=log)
        self.client = self.manager.client()
        self.client.start_channels(hb=False)
        await self.client.wait_for_ready(timeout=60)

    def log_mark(self) -> int:
        return 0

    def last_error_since(self, mark: int) -> str:
        return ""

    def healthy(self) -> bool:
        return self.manager is not None and self.manager.has_kernel and self.manager.provisioner.process.poll() is None

    async def ensure(self, peer=None) -> bool:
        if self.healthy():
            return False
        await self.stop()
        await self.start()
        return True

    async def execute(self, code: str, timeout: float) -> Tuple[Dict[str, Any], int]:
        """Runs ``code``; (execute_reply, round trip ns)."""
        start = clock()
        msg_id = self.client.execute(code)
        deadline = time.monotonic() + timeout
        while True:
            reply = await self.client.get_shell_msg(timeout=max(0.0, deadline - time.monotonic()))
            if reply["parent_header"].get("msg_id") == msg_id:
                return reply, clock() - start

    async def drain_iopub(self) -> int:
        drained = 0
        while True:
            try:
                await self.client.get_iopub_msg(timeout=0.01)
            except Exception:  # queue.Empty
                return drained
            drained += 1

    async def stop(self) -> None:
        if self.client is not None:
            self.client.stop_channels()
            self.client = None
        if self.manager is not None:
            try:
                await asyncio.wait_for(self.manager.shutdown_kernel(now=True), 10)
            except Exception:
                pass
            self.manager = None
