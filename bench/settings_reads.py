#!/usr/bin/env python3
"""Opens of settings.ini by a running Perstando over 10 s: eight slots checked
every 100 ms, their programs running, nothing changing. Counted with strace
once the start-up reads are over (the keep-up check 4 s after the start among
them), the programs are up and the file is at least 3 s old.
Usage: bench/settings_reads.py [build folder, default build/default]
strace comes from Debian's `strace`, installed by scripts/bench."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

# Shared with the other script that runs the real binary beside its watched copies.
from status_timing import SLOTS, program_folder, quit_perstando, wait_for

INTERVAL_MS = 100
SECONDS = 10
# A file changed this recently may change again unseen within the same tick of
# the file system's clock, so it is read on every check until then.
SETTLED_S = 3
# The start reads the file, and so does the keep-up check 4 s later.
STARTUP_S = 5


def programs_up(folder):
    """How many processes run an executable of `folder` other than Perstando."""
    count = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            exe = os.readlink(f"/proc/{pid}/exe")
        except OSError:
            continue
        if exe.startswith(folder + "/bench-reads-"):
            count += 1
    return count


def count_opens(run):
    folder, runtime = program_folder(run, "bench-reads", INTERVAL_MS)
    settings_path = os.path.join(folder, "settings.ini")
    trace = os.path.join(run, "trace.txt")
    env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
    binary = os.path.join(folder, "perstando")
    started = time.time()
    daemon = subprocess.Popen(
        ["strace", "-f", "-qq", "-ttt", "-e", "trace=openat", "-o", trace,
         binary, "-platform", "offscreen"],
        cwd=folder, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if not wait_for(lambda: programs_up(folder) == SLOTS, 60):
            sys.exit("perstando: the eight programs did not come up")
        quiet = max(os.stat(settings_path).st_ctime + SETTLED_S, started + STARTUP_S)
        time.sleep(max(0.0, quiet - time.time()))
        start = time.time()
        time.sleep(SECONDS)
        end = time.time()
    finally:
        quit_perstando(binary, env, daemon, folder)
    opens = 0
    call = re.compile(r"^\d+\s+(\d+\.\d+) openat\(.*\"" + re.escape(settings_path) + '"')
    with open(trace) as lines:
        for line in lines:
            found = call.match(line)
            if found and start <= float(found.group(1)) < end:
                opens += 1
    return opens


def main():
    if not shutil.which("strace"):
        sys.exit("strace is missing: scripts/bench installs Debian's strace")
    run = tempfile.mkdtemp(prefix="perstando-reads-bench-")
    try:
        opens = count_opens(run)
    finally:
        shutil.rmtree(run, ignore_errors=True)
    print(f"opens of settings.ini in {SECONDS} s, {SLOTS} slots at {INTERVAL_MS} ms, "
          f"nothing changing: {opens}")


if __name__ == "__main__":
    main()
