"""The idle probe: a connected kernel left alone.

Per system: after one request and a settling second, the process's wake-ups (context
switches of all its threads, voluntary and not, from /proc) and CPU time over a few
seconds, per second. Target for the kernel: at most 2 wake-ups and 1 ms of CPU per second.
"""

from __future__ import annotations

import asyncio
from pathlib import Path
from typing import Any, Dict

from .processes import process_cpu_ns
from .report import available_rows
from .workloads import EXEC_FINAL, execution_request

WAKEUPS_TARGET = 2.0
CPU_MS_TARGET = 1.0


def context_switches(pid: int) -> int:
    """Context switches of every thread of the process so far."""
    total = 0
    for status in Path(f"/proc/{pid}/task").glob("*/status"):
        try:
            for line in status.read_text().splitlines():
                if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")):
                    total += int(line.split()[1])
        except OSError:  # the thread ended meanwhile
            continue
    return total


async def run_idle(system, peer, seconds: float) -> Dict[str, Any]:
    await system.ensure(peer)
    if not system.healthy():
        return {"available": False, "reason": "did not start"}
    await system.link.request(execution_request("1+1"), EXEC_FINAL, 30.0)
    await asyncio.sleep(1.0)
    pid = system.pid
    switches, cpu = context_switches(pid), process_cpu_ns(pid)
    await asyncio.sleep(seconds)
    switches, cpu = context_switches(pid) - switches, process_cpu_ns(pid) - cpu
    return {"available": True, "seconds": seconds, "wakeups_per_s": switches / seconds,
            "cpu_ms_per_s": cpu / 1e6 / seconds}


def print_idle(results: Dict[str, Dict[str, Any]], seconds: float) -> None:
    print(f"\nidle: a connected kernel left alone for {seconds:g} s; target for the kernel: at most "
          f"{WAKEUPS_TARGET:g} wake-ups and {CPU_MS_TARGET:g} ms CPU per second")
    head = f"{'':2}{'system':<26}{'wake-ups/s':>12}{'CPU ms/s':>10}"
    for label, r in available_rows(head, results):
        print(f"{'':2}{label:<26}{r['wakeups_per_s']:>12.1f}{r['cpu_ms_per_s']:>10.2f}")
