#!/usr/bin/env python3
"""Turns one scripts/bench run into its table and the plot's data.

Usage: report.py RUN_FOLDER RESULTS_MD

RUN_FOLDER holds gbench/*.json (Google Benchmark output), latency/NAME.txt
(milliseconds, one a line) and idle/NAME.txt ("cpu_percent", "wakeups" a second, "rss_mb", "pss_mb") with
idle/NAME.txt.maps (resident and proportional kB of each mapping), plus
header.txt (the lines above the table). Prints the table, writes it with the
header and the memory budget of Perstando in the tray to RESULTS_MD and writes
plot/NAME.dat (latency, share of restarts) for gnuplot.
"""

import json
import math
import statistics
import sys
from pathlib import Path

LATENCY = [
    ("perstando-100", "Restart latency, Perstando, slot at 100 ms"),
    ("perstando-1000", "Restart latency, Perstando, slot at 1,000 ms"),
    ("perstando-immediate", "Restart at once, Perstando, slot at 1,000 ms"),
    ("perstando-immediate-output", "Restart at once with its output kept, Perstando, slot at 1,000 ms"),
    ("supervisord", "Restart latency, supervisord (autorestart, startsecs=0)"),
    ("monit", "Restart latency, monit (set daemon 1)"),
    ("pm2", "Restart latency, pm2 (autorestart, restart_delay 0)"),
]
PEERS = ["supervisord", "monit", "pm2"]
# Where Perstando idles, and the most of a core it may take there: a share of
# a core, or the name of the peer it may not exceed.
MINE = [("perstando", "window shown (offscreen)", 0.2),
        ("perstando-tray", "in the tray (Xvfb, trayer)", "supervisord")]
# Where resident memory and wake-ups are held to the peer and the floor.
TRAY, MEMORY_PEER, WAKEUPS_MOST = "perstando-tray", "supervisord", 3
# Restart at once: the most its median and p99 may take, in ms.
AT_ONCE_MEDIAN_MS, AT_ONCE_P99_MS = 1.0, 3.0
# A check answered without walking the process table, beside the walk it spares.
REMEMBERED, FULL_WALK, REMEMBERED_TARGET_S = "RememberedCheck", "IsAppRunning", 10e-6
# One memory and CPU reading of a program with a limit, at each of its checks.
TREE_USAGE, TREE_USAGE_TARGET_S = "TreeUsage", 20e-6
# One round over eight programs' windows every 5 s, in Perstando's own CPU.
PING_ROUND, PING_ROUND_TARGET_PCT = "EightProgramsRound", 0.05
# A start whose output is kept (its logger started first) beside the plain start.
LAUNCH, OUTPUT_EXTRA_TARGET_MS = "StartUntilRunning", 0.5
UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def duration(seconds):
    # Rounded before the unit is chosen: 999.6 µs is 1 ms, not "1e+03 µs".
    seconds = float(f"{seconds:.3g}")
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def percentile(values, share):
    ordered = sorted(values)
    return ordered[max(0, math.ceil(share * len(ordered)) - 1)]


def times(ratio):
    """Two decimals, or two significant digits for ratios too small for them."""
    return f"{ratio:.2f}" if ratio >= 0.1 else f"{ratio:.2g}"


def verdict(ok):
    return "held" if ok else "**missed**"


def gbench_rows(run):
    rows = []
    walks = {}
    launches = {}
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
            walks.setdefault(parts[0].removeprefix("BM_"), (seconds, rows[-1]))
            if parts[0] == "BM_" + LAUNCH and "median_ms" in entry:
                launches[" ".join(arguments)] = (entry, rows[-1])
            if parts[0] == "BM_" + PING_ROUND and "own_cpu_share_pct" in entry:
                share = entry["own_cpu_share_pct"]
                rows[-1][4] = f"own CPU ≤ {PING_ROUND_TARGET_PCT} %: " \
                    f"{verdict(share <= PING_ROUND_TARGET_PCT)}"
    if "output:0" in launches and "output:1" in launches:
        plain, kept = launches["output:0"][0], launches["output:1"][0]
        extra = kept["median_ms"] - plain["median_ms"]
        row = launches["output:1"][1]
        row[3] = f"{extra:+.3g} ms over `output:0`"
        row[4] = f"≤ +{OUTPUT_EXTRA_TARGET_MS} ms: {verdict(extra <= OUTPUT_EXTRA_TARGET_MS)}"
    if TREE_USAGE in walks:
        seconds, row = walks[TREE_USAGE]
        row[4] = f"≤ 20 µs: {verdict(seconds <= TREE_USAGE_TARGET_S)}"
    if REMEMBERED in walks:
        seconds, row = walks[REMEMBERED]
        row[4] = f"≤ 10 µs: {verdict(seconds <= REMEMBERED_TARGET_S)}"
        if FULL_WALK in walks:
            full = walks[FULL_WALK][0]
            row[2] = "; ".join(filter(None, [row[2], f"`{FULL_WALK}` {duration(full)}"]))
            row[3] = "; ".join(filter(None, [row[3], f"{times(seconds / full)} × `{FULL_WALK}`"]))
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

    peers = [k for k in PEERS if k in medians]
    for key, label in LATENCY:
        if key not in latency:
            continue
        values = latency[key]
        p99 = percentile(values, 0.99)
        result = (f"median {medians[key]:.1f} ms, p90 {percentile(values, 0.9):.1f} ms, "
                  f"p99 {p99:.1f} ms, max {max(values):.1f} ms ({len(values)} kills)")
        compared, ratio, target = "", "", ""
        if key.startswith("perstando"):
            compared = "; ".join(f"{p} median {medians[p]:.1f} ms" for p in peers)
            ratio = "; ".join(f"{times(medians[key] / medians[p])} × {p}" for p in peers)
        if key == "perstando-100":
            checks = [f"median < 100 ms: {verdict(medians[key] < 100)}",
                      f"max < 250 ms: {verdict(max(values) < 250)}"]
            if "monit" in medians:
                checks.append(f"median ≤ monit's / 5: {verdict(medians[key] <= medians['monit'] / 5)}")
            target = "; ".join(checks)
        if key == "perstando-immediate":
            target = (f"median ≤ {AT_ONCE_MEDIAN_MS:g} ms: {verdict(medians[key] <= AT_ONCE_MEDIAN_MS)}; "
                      f"p99 ≤ {AT_ONCE_P99_MS:g} ms: {verdict(p99 <= AT_ONCE_P99_MS)}")
        if key == "perstando-immediate-output" and "perstando-immediate" in medians:
            extra = medians[key] - medians["perstando-immediate"]
            target = (f"{extra:+.2f} ms over output discarded (≤ +{OUTPUT_EXTRA_TARGET_MS} ms): "
                      f"{verdict(extra <= OUTPUT_EXTRA_TARGET_MS)}")
        rows.append([label, result, compared, ratio, target])

    idle = {}
    for key in [k for k, *_ in MINE] + PEERS:
        file = run / "idle" / f"{key}.txt"
        if file.exists():
            idle[key] = dict((k, float(v)) for k, v in (line.split() for line in file.read_text().splitlines()))
    seconds = (run / "idle" / "seconds").read_text().strip() if (run / "idle" / "seconds").exists() else "?"
    others = [k for k in PEERS if k in idle]
    def compared(field, unit, digits):
        return ("; ".join(f"{k} {idle[k][field]:.{digits}f}{unit}" for k in others if field in idle[k]),
                "; ".join(f"{times(mine[field] / idle[k][field])} × {k}"
                          for k in others if idle[k].get(field, 0) > 0))

    for key, where, most in MINE:
        if key not in idle:
            continue
        mine = idle[key]
        if isinstance(most, str):
            cpu_target = (f"≤ {most}'s: {verdict(mine['cpu_percent'] <= idle[most]['cpu_percent'])}"
                          if most in idle else "")
        else:
            cpu_target = f"≤ {most:g} % of a core: {verdict(mine['cpu_percent'] <= most)}"
        rows.append([f"Idle CPU, 8 programs, slots at 1,000 ms, {seconds} s, {where}",
                     f"{mine['cpu_percent']:.3f} % of one core", *compared("cpu_percent", " %", 3),
                     cpu_target])
        memory_target = f"< 60 MB: {verdict(mine['rss_mb'] < 60)}"
        if key == TRAY and MEMORY_PEER in idle:
            memory_target = (f"≤ {MEMORY_PEER}'s: "
                             f"{verdict(mine['rss_mb'] <= idle[MEMORY_PEER]['rss_mb'])}")
        rows.append([f"Idle resident memory, same run, {where}",
                     f"{mine['rss_mb']:.1f} MB (PSS {mine['pss_mb']:.1f} MB)",
                     "; ".join(f"{k} {idle[k]['rss_mb']:.1f} MB (PSS {idle[k]['pss_mb']:.1f} MB)"
                               for k in others),
                     compared("rss_mb", " MB", 1)[1], memory_target])
        rows.append([f"Wake-ups a second (voluntary context switches), same run, {where}",
                     f"{mine['wakeups']:.1f}", *compared("wakeups", "", 1),
                     f"≤ {WAKEUPS_MOST}: {verdict(mine['wakeups'] <= WAKEUPS_MOST)}" if key == TRAY else ""])

    header = ["What", "Result", "Floor or peers", "Ratio", "Target"]
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    table = "\n".join(lines) + "\n"
    print(table, end="")
    intro = (run / "header.txt").read_text() if (run / "header.txt").exists() else ""
    budget = memory_budget(run / "idle" / f"{TRAY}.txt.maps")
    results.write_text(f"{intro}\n{table}\n![Restart latency](restart-latency.png)\n{budget}")


# What a mapping is counted as in the memory budget, first match wins.
KINDS = [("Qt libraries", lambda n: "/libQt6" in n),
         ("Qt plugins", lambda n: "/qt6/plugins/" in n),
         ("Perstando's own code", lambda n: "perstando" in Path(n).name),
         ("heap and anonymous memory", lambda n: n in ("[heap]", "[anonymous]", "[stack]")
          or n.startswith("[anon")),
         ("other shared libraries", lambda n: ".so" in Path(n).name),
         ("fonts, caches and other files", lambda n: True)]


def memory_budget(maps):
    """The tray copy's resident memory by kind and its largest mappings."""
    if not maps.exists():
        return ""
    entries = []
    for line in maps.read_text().splitlines():
        rss, pss, name = line.split(" ", 2)
        entries.append((int(rss), int(pss), name))
    totals = {}
    for rss, pss, name in entries:
        kind = next(label for label, match in KINDS if match(name))
        totals.setdefault(kind, [0, 0])
        totals[kind][0] += rss
        totals[kind][1] += pss
    lines = ["", "## Memory budget, in the tray", "",
             "What the idle copy in the tray had resident at the end of its run "
             "(`/proc/PID/smaps`), by kind and then its largest mappings. PSS shares each "
             "page among the processes that map it.", "",
             "| Kind | RSS MB | PSS MB |", "|---|---|---|"]
    for kind, (rss, pss) in sorted(totals.items(), key=lambda item: -item[1][0]):
        lines.append(f"| {kind} | {rss / 1024:.1f} | {pss / 1024:.1f} |")
    lines += ["", "| Mapping | RSS MB | PSS MB |", "|---|---|---|"]
    for rss, pss, name in entries[:15]:
        lines.append(f"| `{name}` | {rss / 1024:.2f} | {pss / 1024:.2f} |")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    main()
