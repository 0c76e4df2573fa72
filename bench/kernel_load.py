"""Keeps one system under a steady benchmark load, for profilers attached to its process.

    python bench/kernel_load.py [--system vantrel|floor|echo] [--bench cell10] [--seconds 20]
                                [--level WARNING] [--attach "perf record -g -p {pid} -o perf.data"]

Starts the lean peer and the chosen system (the kernel process at the given log level,
the floor kernel or the echo client), prepares the benchmark and warms up, then runs its
batches back to back for the given time. `--attach` starts a command once the load runs,
with {pid} replaced by the system's process id (perf record, strace -c -f, py-spy ...),
and stops it (SIGINT) when the load ends. Prints the operations done, the process's CPU
per operation and the command's output file, if any.
"""

from __future__ import annotations

import argparse
import asyncio
import shlex
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from kernelbench.peer import Peer  # noqa: E402
from kernelbench.processes import script_system, vantrel_system  # noqa: E402
from kernelbench.workloads import BENCHES  # noqa: E402


async def main_async(args) -> int:
    bench = next(b for b in BENCHES if b.name == args.bench)
    work = Path(tempfile.mkdtemp(prefix="vantrel-load-"))
    peer = await Peer().start()
    if args.system == "vantrel":
        system = vantrel_system("vantrel", "load-vantrel", args.level, work)
    else:
        script = {"floor": "floor_kernel.py", "echo": "echo_client.py"}[args.system]
        system = script_system(args.system, args.system, script, f"load-{args.system}", work)
    await system.start(peer)
    attached = None
    try:
        _, n = bench.sizes["full"]
        await bench.prepare(system)
        await bench.batch(system, n)
        if args.attach:
            attached = subprocess.Popen(shlex.split(args.attach.format(pid=system.pid)))
            await asyncio.sleep(args.attach_delay)
        ops, cpu0, start = 0.0, system.cpu_ns(), time.monotonic()
        while time.monotonic() - start < args.seconds:
            batch = await bench.batch(system, n)
            ops += batch.ops
        cpu = system.cpu_ns() - cpu0
        print(f"{system.label} pid {system.pid}: {ops:.0f} {bench.op}s in {time.monotonic() - start:.1f} s, "
              f"{cpu / max(ops, 1) / 1000:.1f} us CPU per {bench.op}; log {work}")
    finally:
        if attached is not None:
            attached.send_signal(signal.SIGINT)
            try:
                attached.wait(30)
            except subprocess.TimeoutExpired:
                attached.kill()
        await system.stop()
        await peer.stop()
    return 0


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--system", choices=["vantrel", "floor", "echo"], default="vantrel")
    p.add_argument("--bench", default="cell10", choices=[b.name for b in BENCHES])
    p.add_argument("--seconds", type=float, default=20.0)
    p.add_argument("--level", default="WARNING", help="VANTREL_LOG_LEVEL of the kernel process")
    p.add_argument("--attach", help="command to run against the loaded process; {pid} is its process id")
    p.add_argument("--attach-delay", type=float, default=0.5, help="seconds to let the command attach")
    return asyncio.run(main_async(p.parse_args(argv)))


if __name__ == "__main__":
    sys.exit(main())
