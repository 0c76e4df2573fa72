"""The flood: user code printing in a tight loop for a while, against a fresh process.

What is measured, per system:

- RSS growth: the process's peak resident set during the flood and its drain (the
  kernel's high-water mark VmHWM, reset after warm-up, and the largest value sampled
  every 50 ms) minus the resident set after warm-up. Target: below 64 MiB.
- Console round trip during the flood: "1+1" is sent 1 s after the flood starts and
  again after every answer while the flood lasts; the first and the slowest round
  trip are reported. Target: answered within 1 s.
- Lines: how many the code printed (its result) and how many reached the peer, and
  when the flood's final reply arrived.

A process whose RSS passes the cap (--flood-rss-cap) is killed so that the machine
survives; a flood that has not finished draining within its cap is reported as such.
The process is stopped afterwards either way (it may hold a long backlog).
"""

from __future__ import annotations

import asyncio
import os
import signal
import time
from typing import Any, Dict, List, Optional

from .peer import LinkClosed
from .processes import peak_rss_bytes, reset_peak_rss, rss_bytes
from .report import available_rows
from .workloads import EXEC_FINAL, define, execution_request

clock = time.perf_counter_ns
MiB = 1024 * 1024
RSS_TARGET = 64 * MiB
PROBE_TARGET_S = 1.0


FLOOD_SETUP = ("def _bench_flood(seconds):\n"
               "    import time\n"
               "    end = time.monotonic() + seconds\n"
               "    n = 0\n"
               "    while time.monotonic() < end:\n"
               "        print(f'flood line {n}')\n"
               "        n += 1\n"
               "    return n\n")


async def run_flood(system, peer, seconds: float, drain_cap: float, rss_cap: int) -> Dict[str, Any]:
    await system.stop()
    await system.start(peer)
    link, pid = system.link, system.pid
    out: Dict[str, Any] = {"available": True, "flood_seconds": seconds}
    await define(system, FLOOD_SETUP, 30.0)
    reply, ns = await link.request(execution_request("1+1"), EXEC_FINAL, 30.0)
    out["quiet_round_trip_us"] = ns / 1000
    await asyncio.sleep(0.5)
    rss0 = rss_bytes(pid)
    hwm_reset = reset_peak_rss(pid)
    out["rss_after_warmup_mib"] = rss0 / MiB

    state = {"lines": 0, "last": 0, "peak": rss0, "killed": None}

    def on_output(message, arrived):
        if message.get("type") == "stdout":
            state["lines"] += str(message.get("content", "")).count("\n")
            state["last"] = arrived

    async def sample():
        while True:
            try:
                rss = rss_bytes(pid)
            except (OSError, KeyError):
                return
            state["peak"] = max(state["peak"], rss)
            if rss > rss_cap and state["killed"] is None:
                state["killed"] = f"killed at RSS {rss / MiB:.0f} MiB (cap {rss_cap / MiB:.0f} MiB)"
                os.killpg(pid, signal.SIGKILL)
                return
            await asyncio.sleep(0.05)

    flood = execution_request(f"_bench_flood({seconds})", "bench_flood")
    final = link.expect(flood["request_id"], EXEC_FINAL, on_output)
    sampler = asyncio.ensure_future(sample())
    start = clock()
    probes: List[Dict[str, Any]] = []
    try:
        await link.send(flood)
        await asyncio.sleep(1.0)
        while not final.done() and (clock() - start) / 1e9 < seconds:
            sent_at = (clock() - start) / 1e9
            try:
                _, ns = await link.request(execution_request("1+1"), EXEC_FINAL, seconds + drain_cap)
                probes.append({"sent_at_s": sent_at, "round_trip_s": ns / 1e9})
            except (asyncio.TimeoutError, TimeoutError):
                probes.append({"sent_at_s": sent_at, "round_trip_s": None,
                               "error": f"no answer within {seconds + drain_cap:g} s"})
                break
            except LinkClosed as exc:
                probes.append({"sent_at_s": sent_at, "round_trip_s": None, "error": f"connection ended: {exc}"})
                break
            await asyncio.sleep(0.25)
        remaining = max(0.1, seconds + drain_cap - (clock() - start) / 1e9)
        try:
            reply, arrived = await asyncio.wait_for(final, remaining)
            out["flood_reply_after_s"] = (arrived - start) / 1e9
            out["lines_printed"] = reply.get("result") if reply.get("type") == "execution_result" else None
        except (asyncio.TimeoutError, TimeoutError):
            out["flood_reply_after_s"] = None
            out["drain"] = f"flood not finished within {seconds + drain_cap:g} s"
        except LinkClosed as exc:
            out["flood_reply_after_s"] = None
            out["drain"] = f"connection ended: {exc}"
    finally:
        link.forget(flood["request_id"])
        sampler.cancel()
    try:
        if hwm_reset:
            state["peak"] = max(state["peak"], peak_rss_bytes(pid))
    except (OSError, KeyError):
        pass
    out["lines_received"] = state["lines"]
    out["last_line_after_s"] = (state["last"] - start) / 1e9 if state["last"] else None
    out["rss_peak_mib"] = state["peak"] / MiB
    out["rss_growth_mib"] = (state["peak"] - rss0) / MiB
    out["killed"] = state["killed"]
    out["probes"] = probes
    answered = [p["round_trip_s"] for p in probes if p["round_trip_s"] is not None]
    out["probe_first_s"] = probes[0]["round_trip_s"] if probes else None
    out["probe_max_s"] = None if not probes or len(answered) < len(probes) else max(answered)
    out["rss_target_met"] = state["killed"] is None and state["peak"] - rss0 < RSS_TARGET
    out["probe_target_met"] = bool(probes) and len(answered) == len(probes) and max(answered) < PROBE_TARGET_S
    await system.stop()
    return out


def print_flood(results: Dict[str, Dict[str, Any]], seconds: float) -> None:
    print(f"\nflood: print in a tight loop for {seconds:g} s (fresh process each); targets: RSS growth "
          f"< {RSS_TARGET // MiB} MiB, console \"1+1\" during the flood answered within {PROBE_TARGET_S:g} s")
    head = (f"{'':2}{'system':<26}{'RSS growth':>12}{'peak RSS':>11}{'1+1 first':>11}{'1+1 max':>10}{'sent':>6}"
            f"{'printed':>11}{'received':>11}{'reply at':>10}  targets")
    for label, r in available_rows(head, results):

        def secs(v: Optional[float]) -> str:
            return "-" if v is None else f"{v:.2f} s"

        printed = r.get("lines_printed")
        verdict = (f"RSS {'ok' if r['rss_target_met'] else 'FAIL'}, "
                   f"1+1 {'ok' if r['probe_target_met'] else 'FAIL'}")
        extra = [x for x in (r.get("killed"), r.get("drain")) if x]
        extra += [p["error"] for p in r["probes"] if p.get("error")]
        print(f"{'':2}{label:<26}{r['rss_growth_mib']:>8.0f} MiB{r['rss_peak_mib']:>7.0f} MiB"
              f"{secs(r['probe_first_s']):>11}{secs(r['probe_max_s']):>10}{len(r['probes']):>6}"
              f"{'-' if printed is None else printed:>11}{r['lines_received']:>11}"
              f"{secs(r.get('flood_reply_after_s')):>10}  {verdict}" + (f"; {'; '.join(extra)}" if extra else ""))
