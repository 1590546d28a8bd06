#!/usr/bin/env bash
# Idle cost of the service: runs the real service under Wine's service control
# manager for a minute (LUMENFELD_IDLE_SECONDS) with no OBS running, and prints
# the CPU time that the service process and the wineserver used, as a share
# of one core, beside the same figures for a bare loop of ten Toolhelp
# snapshots a second and for ten lists a second by the system query that the
# service uses. Figures only; nothing here passes or fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${LUMENFELD_IDLE_SECONDS:-60}"
[ -f build/windows/CMakeCache.txt ] || cmake --preset windows
cmake --build --preset windows -j2 --target LumenfeldBrowserService process_list_loop >/dev/null
source scripts/wine-env.sh
ticks=$(getconf CLK_TCK)

# Unix ids of this prefix's processes whose command line contains $1.
ours() {
  for pid in $(pgrep -f "$1" || true); do
    if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
      echo "$pid"
    fi
  done
}
# User plus system CPU time of a process in clock ticks (fields after the
# parenthesised name, which may hold blanks).
cputicks() { sed 's/^.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'; }
share() { awk -v t="$1" -v hz="$ticks" -v s="$seconds" 'BEGIN {printf "%.2f%%", 100 * t / hz / s}'; }

# Measures $1 (a unix pid) and the wineserver over $seconds; prints one line.
measure() {
  local label=$1 pid=$2 server
  server=$(ours wineserver | head -n1)
  local p0 s0 p1 s1
  p0=$(cputicks "$pid"); s0=$(cputicks "$server")
  sleep "$seconds"
  p1=$(cputicks "$pid"); s1=$(cputicks "$server")
  printf '%-34s process %7s of a core   wineserver %7s   (%ss)\n' "$label" \
    "$(share $((p1 - p0)))" "$(share $((s1 - s0)))" "$seconds"
}

name="Lumenfeld Browser Service"
exe="Z:$(pwd)/build/windows/LumenfeldBrowserService.exe"
exe="${exe//\//\\}"
cleanup() {
  wine net stop "$name" >/dev/null 2>&1 || true
  wine sc delete "$name" >/dev/null 2>&1 || true
}
trap 'cleanup; wineserver -k >/dev/null 2>&1 || true' EXIT
cleanup
wine sc create "$name" binPath= "$exe" >/dev/null
wine net start "$name" >/dev/null
sleep 5  # past start-up and the first pass
service=$(ours LumenfeldBrowserService.exe | head -n1)
measure "idle service" "$service"
cleanup

loop="build/windows/bench/process/process_list_loop.exe"
for mode in toolhelp query sleep; do
  wine "$loop" "$mode" $((seconds + 10)) >/dev/null &
  runner=$!
  sleep 3
  measure "bare loop, 10 lists/s ($mode)" "$(ours process_list_loop.exe | head -n1)"
  wait "$runner"
done
