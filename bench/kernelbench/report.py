"""Statistics over the interleaved rounds, the printed table and the JSON document."""

from __future__ import annotations

import collections
import statistics
from typing import Any, Dict, List, Optional

from .throws import demangle


def available_rows(head: str, results: Dict[str, Dict[str, Any]]):
    """Prints a table's head and rule, and a line for each system that was not available;
    yields (label, results) of the others, in order, for their rows."""
    print(head)
    print("-" * len(head))
    for label, r in results.items():
        if not r.get("available"):
            print(f"{'':2}{label:<26}  not available: {r.get('reason')}")
            continue
        yield label, r


def percentile(values: List[float], q: float) -> Optional[float]:
    """Nearest-rank percentile (q in 0..100)."""
    if not values:
        return None
    ordered = sorted(values)
    rank = max(1, -(-len(ordered) * q // 100))
    return ordered[int(rank) - 1]


def summarize(bench, rounds: List[Dict[str, Any]]) -> Dict[str, Any]:
    """One system's figures for one benchmark from its per-round batches."""
    latencies_us = [ns / 1000 for r in rounds for ns in r["latencies_ns"]]
    ops = sum(r["ops"] for r in rounds)
    rates = [r["ops"] / (r["elapsed_ns"] / 1e9) for r in rounds if r["elapsed_ns"] > 0]
    out: Dict[str, Any] = {
        "available": True,
        "rounds": len(rounds),
        "ops": ops,
        "p50_us": percentile(latencies_us, 50),
        "p99_us": percentile(latencies_us, 99),
        "latency_samples": len(latencies_us),
        "round_p50_us": [percentile([ns / 1000 for ns in r["latencies_ns"]], 50) for r in rounds],
        "rate_per_s": statistics.median(rates) if rates else None,
        "round_rates_per_s": rates,
        "cpu_us_per_op": statistics.median(r["cpu_ns"] / 1000 / r["ops"] for r in rounds if r["ops"]),
        "round_cpu_us_per_op": [r["cpu_ns"] / 1000 / r["ops"] for r in rounds if r["ops"]],
        "peer_cpu_share": statistics.median(r["peer_cpu_ns"] / r["wall_ns"] for r in rounds if r["wall_ns"]),
    }
    notes = collections.Counter()
    for r in rounds:
        notes.update({k: v for k, v in r.get("notes", {}).items() if isinstance(v, (int, float))})
    if notes:
        out["notes"] = dict(notes)
    if any("throws" in r for r in rounds):
        throws = collections.Counter()
        for r in rounds:
            throws.update(r.get("throws", {}))
        names = demangle(throws)
        requests = sum(r["requests"] for r in rounds)
        out["cxx_throws"] = sum(throws.values())
        out["cxx_throws_requests"] = requests
        out["cxx_throws_per_op"] = out["cxx_throws"] / ops if ops else None
        out["cxx_throw_types"] = {names.get(k, k): v for k, v in throws.most_common()}
    # what the ratios compare: the round trip for latency benchmarks, time per unit for throughput
    if bench.rate_unit:
        out["cost_us"] = 1e6 / out["rate_per_s"] if out["rate_per_s"] else None
    else:
        out["cost_us"] = out["p50_us"]
    return out


def add_ratios(bench, results: Dict[str, Dict[str, Any]], systems) -> None:
    """Cost and CPU of each system relative to the floors measured in the same run."""
    floors = {s.kind: results.get(s.label) for s in systems if s.kind in bench.floors}
    for system in systems:
        r = results.get(system.label)
        if not r or not r.get("available") or system.kind in bench.floors:
            continue
        ratios = {}
        for kind, floor in floors.items():
            if floor and floor.get("available") and floor.get("cost_us") and r.get("cost_us"):
                ratios[f"x_{kind}"] = r["cost_us"] / floor["cost_us"]
                if kind == "floor" and floor.get("cpu_us_per_op"):
                    ratios["cpu_x_floor"] = r["cpu_us_per_op"] / floor["cpu_us_per_op"]
        r["ratios"] = ratios


def fmt_time(us: Optional[float]) -> str:
    if us is None:
        return "-"
    if us < 1000:
        return f"{us:.0f} µs" if us >= 10 else f"{us:.1f} µs"
    if us < 1_000_000:
        return f"{us / 1000:.2f} ms" if us < 10_000 else f"{us / 1000:.1f} ms"
    return f"{us / 1e6:.2f} s"


def fmt_rate(rate: Optional[float], unit: str) -> str:
    if rate is None:
        return "-"
    if rate >= 10_000:
        return f"{rate / 1000:.1f}k {unit}"
    return f"{rate:.1f} {unit}" if rate < 100 else f"{rate:.0f} {unit}"


HEAD = (f"{'':2}{'system':<26}{'p50':>10}{'p99':>10}{'throughput':>18}{'CPU/op':>11}"
        f"{'x floor':>9}{'x echo':>8}{'CPU x floor':>13}")


def print_table(benches, results: Dict[str, Dict[str, Any]], systems, count_throws: bool) -> None:
    print(HEAD + (f"{'throws/op':>11}" if count_throws else ""))
    print("-" * (len(HEAD) + (11 if count_throws else 0)))
    for bench in benches:
        per_system = results.get(bench.name)
        if per_system is None:
            continue
        sizes = per_system.get("_sizes", {})
        unit = bench.batch_unit or bench.op
        print(f"{bench.title}  [{sizes.get('rounds')} rounds x {sizes.get('n')} {unit}s; CPU per {bench.op}]")
        for system in systems:
            r = per_system.get(system.label)
            if r is None:
                continue
            if not r.get("available"):
                print(f"{'':2}{system.label:<26}  not available: {r.get('reason')}")
                continue
            ratios = r.get("ratios", {})
            cells = [
                f"{'':2}{system.label:<26}",
                f"{fmt_time(r['p50_us']):>10}",
                f"{fmt_time(r['p99_us']):>10}",
                f"{fmt_rate(r['rate_per_s'], bench.rate_unit) if bench.rate_unit else '':>18}",
                f"{fmt_time(r['cpu_us_per_op']):>11}",
                f"{_ratio(ratios.get('x_floor')):>9}",
                f"{_ratio(ratios.get('x_echo')):>8}",
                f"{_ratio(ratios.get('cpu_x_floor')):>13}",
            ]
            if count_throws:
                tpo = r.get("cxx_throws_per_op")
                cells.append(f"{'-' if tpo is None else f'{tpo:.2f}':>11}")
            line = "".join(cells)
            if r.get("failed"):
                line += f"  (stopped early: {r['failed']})"
            lost = r.get("notes", {}).get("lines_lost")
            if lost:
                line += f"  ({lost} lines never arrived)"
            print(line)
            if count_throws and r.get("cxx_throw_types"):
                kinds = ", ".join(f"{name} x{count}" for name, count in list(r["cxx_throw_types"].items())[:6])
                print(f"{'':6}C++ throws: {r['cxx_throws']} in {r['cxx_throws_requests']} requests: {kinds}")


def _ratio(value: Optional[float]) -> str:
    return "-" if value is None else f"{value:.2f}x"
