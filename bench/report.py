#!/usr/bin/env python3
"""Turns one scripts/bench run into its table and the plot's data.

Usage: report.py RUN_FOLDER RESULTS_MD

RUN_FOLDER holds gbench/*.json (Google Benchmark output), latency/NAME.txt
(milliseconds, one a line) and idle/NAME.txt ("cpu_percent X" and "rss_mb Y"),
plus header.txt (the lines above the table). Prints the table, writes it with
the header to RESULTS_MD and writes plot/NAME.dat (latency, share of restarts)
for gnuplot.
"""

import json
import math
import statistics
import sys
from pathlib import Path

LATENCY = [
    ("perstando-100", "Perstando, slot at 100 ms"),
    ("perstando-1000", "Perstando, slot at 1,000 ms"),
    ("supervisord", "supervisord (autorestart, startsecs=0)"),
    ("monit", "monit (set daemon 1)"),
]
IDLE = [("perstando", "Perstando"), ("perstando-tray", "Perstando"), ("supervisord", "supervisord"),
        ("monit", "monit")]
MINE = [("perstando", "window shown (offscreen)"), ("perstando-tray", "in the tray (Xvfb, trayer)")]
UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def duration(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def percentile(values, share):
    ordered = sorted(values)
    return ordered[max(0, math.ceil(share * len(ordered)) - 1)]


def verdict(ok):
    return "held" if ok else "**missed**"


def gbench_rows(run):
    rows = []
    for file in sorted((run / "gbench").glob("*.json")):
        binary = file.stem.removeprefix("perstando_bench_")
        for entry in json.loads(file.read_text())["benchmarks"]:
            if entry.get("run_type") == "aggregate" or "error_message" in entry:
                continue
            parts = entry["name"].split("/")
            # Arguments stay (e.g. openbox:1); how the run was timed goes.
            arguments = [p for p in parts[1:] if not p.startswith(("min_time", "iterations"))
                         and p not in ("real_time", "manual_time")]
            name = " ".join([parts[0].removeprefix("BM_")] + arguments)
            seconds = entry["real_time"] * UNITS[entry["time_unit"]]
            result = duration(seconds)
            if "median_ms" in entry:
                result = f"median {entry['median_ms']:.3g} ms, p90 {entry['p90_ms']:.3g} ms"
            for key in sorted(k for k in entry if k.endswith("_pct")):
                label = key.removesuffix("_pct").replace("_", " ").replace("xserver", "X server")
                result += f"; {label.replace('cpu', 'CPU')} {entry[key]:.3g} % of a core"
            if "first_sweep_ms" in entry:
                result += f"; first sweep {entry['first_sweep_ms']:.3g} ms"
            floors = [k for k in entry if k.startswith("floor")]
            floor = ""
            if floors:
                key = floors[0]
                scale = {"floor_ns": 1e-9, "floor_us": 1e-6, "floor_ms": 1e-3}.get(key, 1.0)
                floor = "floor " + duration(entry[key] * scale)
            ratio = f"{entry['ratio']:.2f} × floor" if "ratio" in entry else ""
            extra = f" ({int(entry['processes'])} processes)" if "processes" in entry else ""
            rows.append([f"{binary}: `{name}`{extra}", result, floor, ratio, ""])
    return rows


def main():
    run = Path(sys.argv[1])
    results = Path(sys.argv[2])
    rows = gbench_rows(run)

    latency = {}
    for key, _ in LATENCY:
        file = run / "latency" / f"{key}.txt"
        if file.exists():
            latency[key] = [float(line) for line in file.read_text().split()]
    medians = {key: statistics.median(values) for key, values in latency.items()}
    plot = run / "plot"
    plot.mkdir(exist_ok=True)
    for key, values in latency.items():
        ordered = sorted(values)
        with open(plot / f"{key}.dat", "w") as data:
            data.write(f"{ordered[0]:.3f} 0\n")
            for i, ms in enumerate(ordered, 1):
                data.write(f"{ms:.3f} {i / len(ordered):.4f}\n")

    peers = [k for k in ("supervisord", "monit") if k in medians]
    for key, label in LATENCY:
        if key not in latency:
            continue
        values = latency[key]
        result = (f"median {medians[key]:.1f} ms, p90 {percentile(values, 0.9):.1f} ms, "
                  f"max {max(values):.1f} ms ({len(values)} kills)")
        compared, ratio, target = "", "", ""
        if key.startswith("perstando"):
            compared = "; ".join(f"{p} median {medians[p]:.1f} ms" for p in peers)
            ratio = "; ".join(f"{medians[key] / medians[p]:.2f} × {p}" for p in peers)
        if key == "perstando-100":
            checks = [f"median < 100 ms: {verdict(medians[key] < 100)}",
                      f"max < 250 ms: {verdict(max(values) < 250)}"]
            if "monit" in medians:
                checks.append(f"median ≤ monit's / 5: {verdict(medians[key] <= medians['monit'] / 5)}")
            target = "; ".join(checks)
        rows.append([f"Restart latency, {label}", result, compared, ratio, target])

    idle = {}
    for key, _ in IDLE:
        file = run / "idle" / f"{key}.txt"
        if file.exists():
            idle[key] = dict((k, float(v)) for k, v in (line.split() for line in file.read_text().splitlines()))
    seconds = (run / "idle" / "seconds").read_text().strip() if (run / "idle" / "seconds").exists() else "?"
    others = [k for k, _ in IDLE if k in idle and not k.startswith("perstando")]
    for key, where in MINE:
        if key not in idle:
            continue
        mine = idle[key]
        cpu_checks = [f"< 0.5 % of a core: {verdict(mine['cpu_percent'] < 0.5)}"]
        if "monit" in idle:
            cpu_checks.insert(0, f"≤ monit's: {verdict(mine['cpu_percent'] <= idle['monit']['cpu_percent'])}")
        rows.append([
            f"Idle CPU, 8 programs, slots at 1,000 ms, {seconds} s, {where}",
            f"{mine['cpu_percent']:.3f} % of one core",
            "; ".join(f"{k} {idle[k]['cpu_percent']:.3f} %" for k in others),
            "; ".join(f"{mine['cpu_percent'] / idle[k]['cpu_percent']:.2f} × {k}"
                      for k in others if idle[k]["cpu_percent"] > 0),
            "; ".join(cpu_checks),
        ])
        rows.append([
            f"Idle resident memory, same run, {where}",
            f"{mine['rss_mb']:.1f} MB",
            "; ".join(f"{k} {idle[k]['rss_mb']:.1f} MB" for k in others),
            "; ".join(f"{mine['rss_mb'] / idle[k]['rss_mb']:.2f} × {k}" for k in others),
            f"< 60 MB: {verdict(mine['rss_mb'] < 60)}",
        ])

    header = ["What", "Result", "Floor or peers", "Ratio", "Target"]
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    table = "\n".join(lines) + "\n"
    print(table, end="")
    intro = (run / "header.txt").read_text() if (run / "header.txt").exists() else ""
    results.write_text(f"{intro}\n{table}\n![Restart latency](restart-latency.png)\n")


if __name__ == "__main__":
    main()
