#!/usr/bin/env bash
# Idle footprint of the real binary: eight slots at 1,000 ms, each watching a
# running program, for SECONDS seconds (default 60). Prints CPU time as a share
# of one core and the resident memory at the end.
# Usage: bench/idle_cpu.sh BUILD_DIR [SECONDS]
set -euo pipefail
build="$(cd "${1:?build folder, e.g. build/release}" && pwd)"
seconds="${2:-60}"
folder="$(mktemp -d /tmp/perstando-idle-XXXXXX)"
cleanup() {
    [[ -n "${perstando_pid:-}" ]] && kill -9 "$perstando_pid" 2>/dev/null || true
    for n in 1 2 3 4 5 6 7 8; do pkill -9 -f "$folder/idle-program-$n" 2>/dev/null || true; done
    rm -rf "$folder"
}
trap cleanup EXIT
cp "$build/bin/perstando" "$folder/perstando"
: > "$folder/settings.ini"
for n in 1 2 3 4 5 6 7 8; do
    cp "$build/tests/perstando_watched_program" "$folder/idle-program-$n"
    printf '[exe%d]\nname=Idle %d\npath=idle-program-%d\ntimer=1000\n' "$n" "$n" "$n" >> "$folder/settings.ini"
done
(cd "$folder" && QT_QPA_PLATFORM=offscreen exec ./perstando) &
perstando_pid=$!
# Let every program be started once, then measure the steady state.
sleep 3
ticks="$(getconf CLK_TCK)"
read_cpu() { awk '{print $14 + $15}' "/proc/$perstando_pid/stat"; }
before="$(read_cpu)"
sleep "$seconds"
after="$(read_cpu)"
rss_kb="$(awk '/VmRSS/ {print $2}' "/proc/$perstando_pid/status")"
awk -v b="$before" -v a="$after" -v t="$ticks" -v s="$seconds" -v r="$rss_kb" 'BEGIN {
    printf "idle CPU: %.3f %% of one core over %d s; resident memory: %.1f MB\n", (a - b) / t / s * 100, s, r / 1024 }'
