"""The kernel benchmark suite: the real kernel process against floors and ipykernel, in one run.

    python bench/bench_kernel.py [--quick] [--json out.json] [--only NAME ...] [--count-cxx-throws]

Systems, all started at the beginning and all connected to one lean peer on 127.0.0.1
(kernelbench/peer.py) except ipykernel:

    vantrel WARNING          the kernel process (python -m vantrel_master.devtools.launcher,
                             plain ws://) with VANTREL_LOG_LEVEL=WARNING
    vantrel <LEVEL> (default)  the same with VANTREL_LOG_LEVEL unset: the shipped default level
    baseline WARNING, baseline <LEVEL> (default)
                             with --baseline PYTHON: the same two, of the build installed for
                             that interpreter (an earlier one, for before/after in one run)
    floor                    kernelbench/floor_kernel.py: the minimal pure-Python kernel of the
                             same design (what a Python kernel of this design cannot avoid paying)
    echo                     kernelbench/echo_client.py: a websockets client sending every frame
                             back (the transport floor of a round trip)
    ipykernel                ipykernel driven by jupyter_client (console round trip only)

Benchmarks (--only picks some; the names):

    console    execution_request "x = 1" to execution_result: p50/p99 round trip
    cell       custom_function_call of a workbook module function (synced with update_module),
               one in flight, to function_execution_result: p50/p99
    cell10     the same call with 10 in flight: calls per second
    cell100    the same with 100 in flight (a recalculation's burst): calls per second
    output     a run printing short lines: lines per second reaching the peer
    bigresult  a 10 MB str returned by an execution_request with function_name, sent chunked
               and reassembled by the peer: MB per second
    sysreq     user code calling vantrel.messaging.send_request_sync in a loop, the peer
               answering each sys_request: p50/p99 as seen by the worker
    stream     execute_streaming_function of a generator: values per second
    flood      a run printing in a tight loop for 10 s against a fresh process: RSS growth
               (target < 64 MiB) and the round trip of "1+1" sent during the flood (target 1 s)
    idle       a connected kernel left alone for 4 s: wake-ups (context switches) and CPU per
               second (target at most 2 and 1 ms)

Method: each benchmark first prepares every system and sends one probe with a short
timeout; a system that does not answer, answers with an error or drops its connection
is listed as "not available" with the reason (and restarted for the next benchmark).
Then, after a warm-up batch, rounds run interleaved: in every round each system does one
batch, the order rotating from round to round. p50/p99 are taken over all requests of
all rounds; throughput and CPU per unit are the medians of the per-round values. CPU is
the measured process's own CPU time (all threads) from the operating system, read before
and after each batch. "x floor" / "x echo" divide the system's cost (the p50 round trip,
or the time per unit for throughput rows) by the floor's measured in the same run;
"CPU x floor" does the same for CPU per unit. The peer's own CPU share is in the JSON.

--count-cxx-throws runs the vantrel processes with an LD_PRELOAD shim (built with g++ at
start) that logs every C++ throw and rethrow; the table gets throws per unit and the
thrown types. The timings of such a run are not representative.
"""

from __future__ import annotations

import argparse
import asyncio
import datetime
import importlib.util
import json
import logging
import os
import platform
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Dict, List

sys.path.insert(0, str(Path(__file__).resolve().parent))

from kernelbench.flood import print_flood, run_flood  # noqa: E402
from kernelbench.idle import print_idle, run_idle  # noqa: E402
from kernelbench.jupyter import JupyterSystem  # noqa: E402
from kernelbench.peer import LinkClosed, Peer  # noqa: E402
from kernelbench.processes import script_system, vantrel_system  # noqa: E402
from kernelbench.report import add_ratios, print_table, summarize  # noqa: E402
from kernelbench.throws import ThrowLog, build_shim  # noqa: E402
from kernelbench.workloads import BENCHES, BadReply, NotAvailable  # noqa: E402

NAMES = [b.name for b in BENCHES] + ["flood", "idle"]
clock = time.perf_counter_ns


def kernel_module_info() -> Dict[str, Any]:
    spec = importlib.util.find_spec("vantrel_master.python_server.kernel")
    if spec is None or not spec.origin:
        raise SystemExit("bench_kernel: vantrel_master.python_server.kernel is not installed in this interpreter")
    stat = os.stat(spec.origin)
    return {"path": spec.origin, "size": stat.st_size,
            "mtime": datetime.datetime.fromtimestamp(stat.st_mtime).isoformat(timespec="seconds")}


def default_level_name() -> str:
    from vantrel_master import logging_config

    return logging.getLevelName(logging_config.DEFAULT_LEVEL)


def make_systems(args, log_dir: Path, shim) -> List[Any]:
    systems = [
        vantrel_system("vantrel WARNING", "bench-vantrel-warning", "WARNING", log_dir, shim),
        vantrel_system(f"vantrel {default_level_name()} (default)", "bench-vantrel-default", None, log_dir, shim),
        *([vantrel_system("baseline WARNING", "bench-baseline-warning", "WARNING", log_dir, shim, args.baseline),
           vantrel_system(f"baseline {default_level_name()} (default)", "bench-baseline-default", None, log_dir,
                          shim, args.baseline)]
          if args.baseline else []),
        script_system("floor (pure Python)", "floor", "floor_kernel.py", "bench-floor", log_dir),
        script_system("echo (WebSocket)", "echo", "echo_client.py", "bench-echo", log_dir),
    ]
    if not args.no_ipykernel:
        import ipykernel

        systems.append(JupyterSystem(f"ipykernel {ipykernel.__version__}", log_dir))
    return systems


async def run_bench(bench, systems, peer, mode: str, rounds_override) -> Dict[str, Any]:
    rounds, n = bench.sizes[mode]
    rounds = rounds_override or rounds
    results: Dict[str, Any] = {"_sizes": {"rounds": rounds, "n": n}}
    active = []
    for system in (s for s in systems if s.kind in bench.kinds):
        try:
            await system.ensure(peer)
        except Exception as exc:  # it cannot even start (a broken build, say)
            results[system.label] = {"available": False, "reason": f"could not start: {exc}"}
            continue
        mark = system.log_mark()
        try:
            await bench.prepare(system)
            await bench.batch(system, bench.warmup(n))
            active.append(system)
            continue
        except NotAvailable as exc:
            reason = str(exc)
        except (asyncio.TimeoutError, TimeoutError, LinkClosed, BadReply) as exc:
            reason = f"failed in warm-up: {exc!r}"
        logged = system.last_error_since(mark)
        results[system.label] = {"available": False, "reason": reason + (f"; its log: {logged}" if logged else "")}
    batches: Dict[str, List[Dict[str, Any]]] = {s.label: [] for s in active}
    failed: Dict[str, str] = {}
    for index in range(rounds):
        order = active[index % len(active):] + active[:index % len(active)] if active else []
        for system in order:
            if system.label in failed:
                continue
            throw_log = ThrowLog(system.throw_log) if getattr(system, "throw_log", None) else None
            if throw_log:
                throw_log.mark()
            cpu0, peer0, wall0 = system.cpu_ns(), time.process_time_ns(), clock()
            try:
                batch = await bench.batch(system, n)
            except (asyncio.TimeoutError, TimeoutError, LinkClosed, BadReply) as exc:
                failed[system.label] = repr(exc)
                continue
            record = {"ops": batch.ops, "requests": batch.requests, "elapsed_ns": batch.elapsed_ns,
                      "latencies_ns": batch.latencies_ns, "cpu_ns": system.cpu_ns() - cpu0,
                      "peer_cpu_ns": time.process_time_ns() - peer0, "wall_ns": clock() - wall0,
                      "notes": batch.notes}
            if throw_log:
                record["throws"] = throw_log.since_mark()
            batches[system.label].append(record)
    for system in active:
        if batches[system.label]:
            results[system.label] = summarize(bench, batches[system.label])
            if system.label in failed:
                results[system.label]["failed"] = failed[system.label]
        else:
            results[system.label] = {"available": False, "reason": f"failed: {failed.get(system.label)}"}
        results[system.label]["restarts"] = system.starts - 1
    add_ratios(bench, results, systems)
    return results


async def main_async(args) -> int:
    mode = "quick" if args.quick else "full"
    work = Path(tempfile.mkdtemp(prefix="vantrel-bench-"))
    shim = build_shim(work) if args.count_cxx_throws else None
    peer = await Peer(compression=None if args.compression == "none" else "deflate").start()
    systems = make_systems(args, work, shim)
    selected = [b for b in BENCHES if not args.only or b.name in args.only]
    info = {
        "date": datetime.datetime.now().isoformat(timespec="seconds"),
        "mode": mode,
        "python": sys.version.split()[0],
        "machine": platform.machine(),
        "cpus": os.cpu_count(),
        "loadavg_start": os.getloadavg(),
        "kernel_module": kernel_module_info(),
        "compression": args.compression,
        "count_cxx_throws": bool(shim),
        "logs": str(work),
    }
    print(f"{mode} run, python {info['python']}, {info['cpus']} cpus, load {info['loadavg_start'][0]:.2f}; "
          f"kernel module {info['kernel_module']['path']} ({info['kernel_module']['mtime']}); "
          f"compression {args.compression}; logs in {work}", flush=True)
    results: Dict[str, Any] = {}
    started = time.monotonic()
    try:
        for system in systems:
            await system.start(peer)
        for bench in selected:
            t0 = time.monotonic()
            results[bench.name] = await run_bench(bench, systems, peer, mode, args.rounds)
            print(f"  {bench.name}: {time.monotonic() - t0:.0f} s", file=sys.stderr, flush=True)
        if not args.only or "idle" in args.only:
            idle: Dict[str, Any] = {}
            for system in systems:
                if system.kind in ("vantrel", "floor"):
                    idle[system.label] = await run_idle(system, peer, args.idle_seconds)
            results["idle"] = idle
            print("  idle: done", file=sys.stderr, flush=True)
        if not args.only or "flood" in args.only:
            seconds = args.flood_seconds or (3.0 if args.quick else 10.0)
            flood: Dict[str, Any] = {}
            for system in systems:
                if system.kind in ("vantrel", "floor"):
                    try:
                        flood[system.label] = await run_flood(system, peer, seconds, args.flood_drain_cap,
                                                              args.flood_rss_cap * 1024 * 1024)
                    except (asyncio.TimeoutError, TimeoutError, LinkClosed, RuntimeError) as exc:
                        flood[system.label] = {"available": False, "reason": repr(exc)}
                        await system.stop()
            results["flood"] = flood
            print("  flood: done", file=sys.stderr, flush=True)
    finally:
        for system in systems:
            await system.stop()
        await peer.stop()
    info["loadavg_end"] = os.getloadavg()
    info["seconds"] = time.monotonic() - started
    if kernel_module_info() != info["kernel_module"]:
        info["kernel_module_changed"] = kernel_module_info()
        print("\nWARNING: the kernel module was rebuilt during the run; kernels running then may have "
              "crashed, and the figures mix two builds", flush=True)
    print()
    if selected:
        print_table(selected, results, systems, bool(shim))
    if "idle" in results:
        print_idle(results["idle"], args.idle_seconds)
    if "flood" in results:
        print_flood(results["flood"], args.flood_seconds or (3.0 if args.quick else 10.0))
    print(f"\n{info['seconds']:.0f} s; load average {info['loadavg_start'][0]:.2f} at start, "
          f"{info['loadavg_end'][0]:.2f} at end")
    document = {"info": info, "systems": [s.label for s in systems], "results": results}
    target = Path(args.json) if args.json else work / "results.json"
    target.write_text(json.dumps(document, indent=2, default=str))
    print(f"results written to {target}")
    return 0


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true",
                   help="fewer rounds and smaller batches (about a minute and a half)")
    p.add_argument("--json", metavar="FILE",
                   help="write the results as JSON to FILE (default: results.json in the run's log directory)")
    p.add_argument("--only", nargs="+", choices=NAMES, metavar="NAME", help="benchmarks to run: " + ", ".join(NAMES))
    p.add_argument("--rounds", type=int, help="interleaved rounds per benchmark (default: 15 full, 5 quick; "
                                              "fewer for the heavy ones)")
    p.add_argument("--count-cxx-throws", action="store_true",
                   help="count the C++ exceptions the kernel processes throw per unit of work (debug run)")
    p.add_argument("--no-ipykernel", action="store_true", help="leave ipykernel out")
    p.add_argument("--baseline", metavar="PYTHON",
                   help="also measure the kernel installed for this interpreter (an earlier build), at WARNING "
                        "and at the default level")
    p.add_argument("--compression", choices=["deflate", "none"], default="deflate",
                   help="permessage-deflate on the peer's side (deflate: what websockets negotiates by default)")
    p.add_argument("--idle-seconds", type=float, default=4.0, help="length of the idle probe (default 4 s)")
    p.add_argument("--flood-seconds", type=float, help="length of the flood (default 10, quick 3)")
    p.add_argument("--flood-drain-cap", type=float, default=60.0,
                   help="how long after the flood to wait for its reply (default 60 s)")
    p.add_argument("--flood-rss-cap", type=int, default=4096,
                   help="kill a flooded process whose RSS passes this many MiB (default 4096)")
    return asyncio.run(main_async(p.parse_args(argv)))


if __name__ == "__main__":
    sys.exit(main())
