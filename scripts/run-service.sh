#!/usr/bin/env bash
# The main job: builds the service, registers it with Wine's service control
# manager as "Lumenfeld Browser Service", starts it and follows its log.
# Ctrl-C (or LUMENFELD_RUN_SECONDS elapsing) stops and unregisters it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
[ -f build/windows/CMakeCache.txt ] || cmake --preset windows
cmake --build --preset windows -j"$(nproc)" --target LumenfeldBrowserService
source scripts/wine-env.sh

name="Lumenfeld Browser Service"
exe="Z:$(pwd)/build/windows/LumenfeldBrowserService.exe"
exe="${exe//\//\\}"
log="$WINEPREFIX/drive_c/ProgramData/LumenfeldService/service.log"

stop_service() {
  wine net stop "$name" >/dev/null 2>&1 || true
  wine sc delete "$name" >/dev/null 2>&1 || true
  [ -n "${tail_pid:-}" ] && kill "$tail_pid" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
}
trap stop_service EXIT INT TERM

wine sc delete "$name" >/dev/null 2>&1 || true
wine sc create "$name" binPath= "$exe" >/dev/null
wine net start "$name"
wine sc query "$name" | grep -E 'STATE|WIN32_EXIT_CODE' || true
echo "== $log"
tail -n +1 -F "$log" 2>/dev/null &
tail_pid=$!
if [ -n "${LUMENFELD_RUN_SECONDS:-}" ]; then
  sleep "$LUMENFELD_RUN_SECONDS"
else
  wait "$tail_pid"
fi
