#!/usr/bin/env python3
"""Wall time of `perstando --status` with eight watched slots, from start to
exit, over 20 runs, beside `supervisorctl status` for eight programs under
supervisord. Usage: bench/status_timing.py [build folder, default build/default]
supervisord comes from Debian's `supervisor`, installed by scripts/bench."""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build/default"))
RUNS = 20
SLOTS = 8
# The most a median `perstando --status` may take, start to exit.
TARGET_MS = 8


def wait_for(condition, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return False


def timed(command, env=None, cwd=None):
    times = []
    for _ in range(RUNS):
        start = time.perf_counter()
        subprocess.run(command, env=env, cwd=cwd, stdout=subprocess.DEVNULL, check=True)
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times), max(times)


def kill_programs_of(folder):
    """The watched copies: processes whose executable lies in `folder`."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink(f"/proc/{pid}/exe").startswith(folder + "/"):
                os.kill(int(pid), 9)
        except OSError:
            pass


def quit_perstando(binary, env, daemon, folder):
    """Asks the running Perstando to quit, kills it when it does not, and the
    watched copies of `folder` with it."""
    subprocess.run([binary, "--quit"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    try:
        daemon.wait(10)
    except subprocess.TimeoutExpired:
        daemon.kill()
        daemon.wait()
    kill_programs_of(folder)


def program_folder(run, stem, interval_ms):
    """A program folder in `run` with Perstando and eight watched copies named
    `stem`-N, each in its slot at `interval_ms`, and a private runtime folder.
    Returns the two folders."""
    folder = os.path.join(run, "perstando")
    runtime = os.path.join(run, "runtime")
    os.makedirs(folder)
    os.makedirs(runtime, mode=0o700)
    # The executable loads its windowed module from its own folder.
    for name in ("perstando", "perstando-gui.so"):
        shutil.copy(os.path.join(BUILD, "bin", name), folder)
    settings = f"[log]\npath={run}/watch.log\n"
    for n in range(1, SLOTS + 1):
        program = os.path.join(folder, f"{stem}-{n}")
        shutil.copy(os.path.join(BUILD, "tests/perstando_watched_program"), program)
        settings += f"[exe{n}]\nname=Program {n}\npath={program}\ntimer={interval_ms}\n"
    with open(os.path.join(folder, "settings.ini"), "w") as file:
        file.write(settings)
    return folder, runtime


def perstando(run):
    folder, runtime = program_folder(run, "bench-status", 1000)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=runtime)
    command = [os.path.join(folder, "perstando"), "--status"]
    daemon = subprocess.Popen([command[0]], cwd=folder, env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        def all_running():
            out = subprocess.run(command, env=env, capture_output=True, text=True).stdout
            return out.count(": running (PID") == SLOTS
        if not wait_for(all_running):
            sys.exit("perstando: the eight programs did not come up")
        return timed(command, env=env)
    finally:
        quit_perstando(command[0], env, daemon, folder)


def supervisor(run):
    folder = os.path.join(run, "supervisor")
    os.makedirs(folder)
    config = os.path.join(folder, "supervisord.conf")
    sock = os.path.join(folder, "supervisor.sock")
    text = (f"[unix_http_server]\nfile={sock}\n[supervisord]\nnodaemon=true\n"
            f"logfile={folder}/supervisord.log\npidfile={folder}/supervisord.pid\n"
            f"childlogdir={folder}\n[rpcinterface:supervisor]\n"
            "supervisor.rpcinterface_factory = supervisor.rpcinterface:make_main_rpcinterface\n"
            f"[supervisorctl]\nserverurl=unix://{sock}\n")
    for n in range(1, SLOTS + 1):
        text += f"[program:p{n}]\ncommand=sleep infinity\nautorestart=true\n"
    with open(config, "w") as file:
        file.write(text)
    command = ["supervisorctl", "-c", config, "status"]
    daemon = subprocess.Popen(["supervisord", "-c", config],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        def all_running():
            out = subprocess.run(command, capture_output=True, text=True).stdout
            return out.count("RUNNING") == SLOTS
        if not wait_for(all_running):
            sys.exit("supervisord: the eight programs did not come up")
        return timed(command)
    finally:
        daemon.terminate()
        daemon.wait(30)


def main():
    if not shutil.which("supervisord"):
        sys.exit("supervisord is missing: scripts/bench installs Debian's supervisor")
    run = tempfile.mkdtemp(prefix="perstando-status-bench-")
    try:
        rows = [("perstando --status", perstando(run)),
                ("supervisorctl status", supervisor(run))]
    finally:
        shutil.rmtree(run, ignore_errors=True)
    print(f"{'command (8 programs, 20 runs)':32} {'median ms':>10} {'max ms':>8}")
    for name, (median, longest) in rows:
        print(f"{name:32} {median:10.1f} {longest:8.1f}")
    median = rows[0][1][0]
    print(f"target: perstando --status median ≤ {TARGET_MS} ms: "
          f"{'held' if median <= TARGET_MS else 'missed'}")


if __name__ == "__main__":
    main()
