#!/usr/bin/env python3
"""What the metrics and the heartbeat cost a running Perstando, eight slots at
1,000 ms: its CPU time and resident memory over a quiet spell with both off,
with the metrics address on (nobody scraping) and the heartbeat every 10 s to a
loopback receiver; then its CPU time per scrape of /metrics over HTTP (both
formats), and the wall time of `perstando --metrics` from start to exit.
Usage: bench/metrics_cost.py [build folder, default build/release] [seconds, default 30]"""

import http.server
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import status_timing
from status_timing import SLOTS, program_folder, quit_perstando, wait_for

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build/release"))
SECONDS = int(sys.argv[2]) if len(sys.argv) > 2 else 30
status_timing.BUILD = BUILD
TICK = os.sysconf("SC_CLK_TCK")
SCRAPES = 500
OPENMETRICS = ("application/openmetrics-text;version=1.0.0,application/openmetrics-text;"
               "version=0.0.1;q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def memory_mb(pid):
    """Resident and proportional set size, from smaps_rollup."""
    rss = pss = 0.0
    with open(f"/proc/{pid}/smaps_rollup") as rollup:
        for line in rollup:
            if line.startswith("Rss:"):
                rss = int(line.split()[1]) / 1024
            elif line.startswith("Pss:"):
                pss = int(line.split()[1]) / 1024
    return rss, pss


class Pings(http.server.BaseHTTPRequestHandler):
    count = 0

    def do_GET(self):
        Pings.count += 1
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"OK")

    def log_message(self, *args):
        pass


def scrape(port, accept):
    request = urllib.request.Request(f"http://127.0.0.1:{port}/metrics",
                                     headers={"Accept": accept})
    with urllib.request.urlopen(request, timeout=10) as answer:
        return answer.read()


def measure(metrics_on):
    with tempfile.TemporaryDirectory() as run:
        folder, runtime = program_folder(run, "bench-metrics", 1000)
        port = free_port()
        receiver = http.server.HTTPServer(("127.0.0.1", 0), Pings)
        threading.Thread(target=receiver.serve_forever, daemon=True).start()
        if metrics_on:
            with open(os.path.join(folder, "settings.ini"), "a") as file:
                file.write(f"[metrics]\nlisten=127.0.0.1:{port}\n"
                           f"[heartbeat]\nurl=http://127.0.0.1:{receiver.server_port}/ping\n"
                           "seconds=10\n")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=runtime)
        binary = os.path.join(folder, "perstando")
        daemon = subprocess.Popen([binary], cwd=folder, env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            programs = [os.path.join(folder, f"bench-metrics-{n}") for n in range(1, SLOTS + 1)]
            if not wait_for(lambda: all(os.path.exists(p + ".starts") for p in programs), 60):
                sys.exit("perstando: the eight programs did not come up")
            time.sleep(5)  # past the start
            cpu_before, wall_before = cpu_seconds(daemon.pid), time.monotonic()
            time.sleep(SECONDS)
            idle = (cpu_seconds(daemon.pid) - cpu_before) / (time.monotonic() - wall_before) * 100
            rss, pss = memory_mb(daemon.pid)
            result = {"idle": idle, "rss": rss, "pss": pss, "pings": Pings.count}
            if metrics_on:
                for name, accept in (("text", "text/plain"), ("openmetrics", OPENMETRICS)):
                    size = len(scrape(port, accept))
                    before = cpu_seconds(daemon.pid)
                    for _ in range(SCRAPES):
                        scrape(port, accept)
                    result[name] = ((cpu_seconds(daemon.pid) - before) / SCRAPES * 1000, size)
                times = []
                for _ in range(20):
                    start = time.perf_counter()
                    subprocess.run([binary, "--metrics"], env=env, check=True,
                                   stdout=subprocess.DEVNULL)
                    times.append((time.perf_counter() - start) * 1000)
                result["command"] = statistics.median(times)
            return result
        finally:
            receiver.shutdown()
            Pings.count = 0
            quit_perstando(binary, env, daemon, folder)


def main():
    off = measure(False)
    on = measure(True)
    print(f"eight slots at 1,000 ms, offscreen window; idle CPU over {SECONDS} s")
    print(f"{'metrics and heartbeat':<44}{'CPU % of a core':>16}{'RSS MB':>8}{'PSS MB':>8}")
    print(f"{'off':<44}{off['idle']:>16.3f}{off['rss']:>8.1f}{off['pss']:>8.1f}")
    label = f"on (served, unscraped; {on['pings']} pings at 10 s)"
    print(f"{label:<44}{on['idle']:>16.3f}{on['rss']:>8.1f}{on['pss']:>8.1f}")
    print()
    print(f"one scrape of /metrics, mean of {SCRAPES}: Perstando's CPU")
    for name in ("text", "openmetrics"):
        cpu_ms, size = on[name]
        held = "held" if cpu_ms <= 1.0 else "missed"
        print(f"  {name:<12} {cpu_ms:.3f} ms ({size} bytes)  target <= 1 ms: {held}")
    print(f"perstando --metrics, start to exit, median of 20: {on['command']:.1f} ms")


if __name__ == "__main__":
    main()
