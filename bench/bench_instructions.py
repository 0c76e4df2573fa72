"""Instructions per request of the kernel process, counted by callgrind: deterministic
figures for what the CPU clock of a shared, noisy machine cannot resolve (the cost of a log
level, of one more attribute lookup per request).

    python bench/bench_instructions.py [--requests N] [--baseline PYTHON] [--only NAME ...]

For each workload (console "x = 1", one cell call, ten cell calls in flight), level
(WARNING and the shipped default) and build (this interpreter's, and --baseline's), a
fresh kernel process runs under valgrind's callgrind against the benchmark peer: warm-up
requests, counters zeroed, N requests, counters dumped. The figure is the process's
instructions (all threads) per request; "extra" is the default level's over WARNING's.
System calls are not counted (their kernel side is outside the process), so a request's
write of a log line counts its user-space part only. Needs valgrind (Debian: valgrind).
"""

from __future__ import annotations

import argparse
import asyncio
import logging
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Dict, List, Optional

sys.path.insert(0, str(Path(__file__).resolve().parent))

from kernelbench.peer import Peer  # noqa: E402
from kernelbench.processes import vantrel_system  # noqa: E402
from kernelbench.workloads import EXEC_FINAL, execution_request, one_cell_call, sync_module  # noqa: E402

TIMEOUT = 300.0  # per request: everything runs some 50 times slower under valgrind
WARMUP = 50


async def console(system, n):
    for _ in range(n):
        await system.link.request(execution_request("x = 1"), EXEC_FINAL, TIMEOUT)


async def cell(system, n):
    for _ in range(n):
        await one_cell_call(system, TIMEOUT)


async def cell10(system, n):
    async def caller(count):
        for _ in range(count):
            await one_cell_call(system, TIMEOUT)

    await asyncio.gather(*(caller(n // 10 + (i < n % 10)) for i in range(10)))


WORKLOADS = {"console": console, "cell": cell, "cell10": cell10}


def control(option: str, pid: int) -> None:
    subprocess.run(["callgrind_control", option, str(pid)], check=True, capture_output=True, timeout=300)


def instructions(path: Path) -> int:
    out = subprocess.run(["callgrind_annotate", str(path)], check=True, capture_output=True, text=True).stdout
    match = re.search(r"^\s*([\d,]+)(?: \(100\.0%\))?\s+PROGRAM TOTALS", out, re.MULTILINE)
    if not match:
        raise RuntimeError(f"no totals in {path}")
    return int(match.group(1).replace(",", ""))


async def measure(peer, work: Path, build: str, python: Optional[str], level: Optional[str], workload: str,
                  n: int) -> float:
    tag = f"{build}-{level or 'default'}-{workload}".lower().replace(" ", "-")
    out = work / tag
    runner = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}.%p", "--dump-instr=no"]
    system = vantrel_system(tag, f"instr-{tag}", level, work, python=python, runner=runner)
    await system.start(peer)
    try:
        await sync_module(system, TIMEOUT)
        await WORKLOADS[workload](system, WARMUP)
        control("--zero", system.pid)
        await WORKLOADS[workload](system, n)
        control("--dump", system.pid)
        dumps = sorted(work.glob(f"{tag}.{system.pid}.*"), key=lambda p: p.stat().st_mtime)
        return instructions(dumps[-1]) / n
    finally:
        await system.stop()


async def main_async(args) -> int:
    if not shutil.which("valgrind") or not shutil.which("callgrind_control"):
        print("valgrind is not installed (Debian package: valgrind)", file=sys.stderr)
        return 2
    from vantrel_master import logging_config

    default = logging.getLevelName(logging_config.DEFAULT_LEVEL)
    work = Path(tempfile.mkdtemp(prefix="vantrel-instr-"))
    builds = [("this build", None)] + ([("baseline", args.baseline)] if args.baseline else [])
    peer = await Peer(compression="deflate").start()
    table: Dict[str, Dict[str, Dict[str, float]]] = {}
    try:
        for workload in args.only:
            for build, python in builds:
                row = table.setdefault(workload, {}).setdefault(build, {})
                for level in ("WARNING", None):
                    row[level or default] = await measure(peer, work, build, python, level, workload, args.requests)
                    print(f"  {workload} {build} {level or default}: {row[level or default]:,.0f}",
                          file=sys.stderr, flush=True)
    finally:
        await peer.stop()
    print(f"\ninstructions per request (callgrind, {args.requests} requests after {WARMUP}); logs in {work}\n")
    print(f"{'workload':10} {'build':12} {'WARNING':>12} {default:>12} {'extra':>16}")
    for workload, rows in table.items():
        for build, row in rows.items():
            extra = row[default] - row["WARNING"]
            print(f"{workload:10} {build:12} {row['WARNING']:>12,.0f} {row[default]:>12,.0f} "
                  f"{extra:>+9,.0f} ({extra / row['WARNING']:+.0%})")
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--requests", type=int, default=200, help="requests counted per figure (default 200)")
    p.add_argument("--baseline", metavar="PYTHON", help="also count the kernel installed for this interpreter")
    p.add_argument("--only", nargs="+", choices=list(WORKLOADS), default=list(WORKLOADS), metavar="NAME",
                   help="workloads: " + ", ".join(WORKLOADS))
    return asyncio.run(main_async(p.parse_args(argv)))


if __name__ == "__main__":
    sys.exit(main())
