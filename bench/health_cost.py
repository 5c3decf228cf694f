#!/usr/bin/env python3
"""What health probes cost a running Perstando: its CPU time and resident
memory over a quiet spell with eight slots at 1,000 ms, without probes, with an
HTTP probe per slot every 10 s, and with probes that hang (each slot's server
accepts and never answers, timeout 5 s); and in each, the restart at once of a
killed program, to show that probes in flight hold up no check.
Usage: bench/health_cost.py [build folder, default build/release] [seconds, default 30]"""

import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import status_timing
from status_timing import SLOTS, program_folder, quit_perstando, wait_for

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build/release"))
SECONDS = int(sys.argv[2]) if len(sys.argv) > 2 else 30
# The copies of Perstando and the watched program come from the same build.
status_timing.BUILD = BUILD
KILLS = 10
TICK = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def pids_of(exe):
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink(f"/proc/{pid}/exe") == exe:
                found.append(int(pid))
        except OSError:
            pass
    return found


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def resident_mb(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def starts(program):
    """How many times the watched copy has started: it writes a line each time."""
    try:
        with open(program + ".starts") as record:
            return sum(1 for _ in record)
    except OSError:
        return 0


def restart_ms(program, pid):
    """Kills the program and times its next start, polled every 0.2 ms."""
    before = starts(program)
    start = time.perf_counter()
    os.kill(pid, 9)
    while time.perf_counter() - start < 10:
        if starts(program) > before:
            return (time.perf_counter() - start) * 1000
        time.sleep(0.0002)
    return None


def configure(folder, probes):
    """Every slot's program serves HTTP on a port of its own; `probes` is
    None, "answer" or "hang"."""
    settings_path = os.path.join(folder, "settings.ini")
    with open(settings_path) as file:
        settings = file.read()
    for n in range(1, SLOTS + 1):
        program = os.path.join(folder, f"bench-health-{n}")
        port = free_port()
        with open(program + ".mode", "w") as mode:
            mode.write(f"serve {port}\n")
        with open(program + ".status", "w") as status:
            status.write("hang\n" if probes == "hang" else "200\n")
        keys = "immediate=On\n"
        if probes:
            keys += (f"health=http://127.0.0.1:{port}/health\nhealthseconds=10\n"
                     "healthtimeout=5\nhealthgrace=0\n")
        settings = settings.replace(f"[exe{n}]\n", f"[exe{n}]\n{keys}", 1)
    with open(settings_path, "w") as file:
        file.write(settings)


def measure(probes):
    with tempfile.TemporaryDirectory() as run:
        folder, runtime = program_folder(run, "bench-health", 1000)
        configure(folder, probes)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=runtime)
        binary = os.path.join(folder, "perstando")
        daemon = subprocess.Popen([binary], cwd=folder, env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            programs = [os.path.join(folder, f"bench-health-{n}") for n in range(1, SLOTS + 1)]
            if not wait_for(lambda: all(pids_of(p) for p in programs), 60):
                sys.exit("perstando: the eight programs did not come up")
            time.sleep(12)  # past the start and the first round of probes
            cpu_before, wall_before = cpu_seconds(daemon.pid), time.monotonic()
            time.sleep(SECONDS)
            cpu = (cpu_seconds(daemon.pid) - cpu_before) / (time.monotonic() - wall_before) * 100
            rss = resident_mb(daemon.pid)
            latencies = []
            for i in range(KILLS):
                program = programs[i % SLOTS]
                old = pids_of(program)
                if not old:
                    continue
                took = restart_ms(program, old[0])
                if took is not None:
                    latencies.append(took)
                time.sleep(1.2)  # a program that died young waits for its timer
            return cpu, rss, latencies
        finally:
            quit_perstando(binary, env, daemon, folder)


def main():
    print(f"eight slots at 1,000 ms, restart at once; CPU over {SECONDS} s; "
          f"restart at once over {KILLS} kills")
    print(f"{'probes':<34}{'CPU % of a core':>16}{'RSS MB':>9}{'restart median ms':>19}"
          f"{'max ms':>8}")
    for probes, label in ((None, "none"), ("answer", "HTTP every 10 s, answered"),
                          ("hang", "HTTP every 10 s, never answered")):
        cpu, rss, latencies = measure(probes)
        median = f"{statistics.median(latencies):.1f}" if latencies else "-"
        longest = f"{max(latencies):.1f}" if latencies else "-"
        print(f"{label:<34}{cpu:>16.3f}{rss:>9.1f}{median:>19}{longest:>8}")


if __name__ == "__main__":
    main()
