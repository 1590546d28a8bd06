#!/usr/bin/env bash
# Builds and runs every benchmark and prints its figures: the Windows ones
# under Wine, the native ones from an optimised build without sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)
[ -f build/windows/CMakeCache.txt ] || cmake --preset windows
cmake --build --preset windows -j"$jobs"
cmake --preset bench >/dev/null
cmake --build --preset bench -j"$jobs"
# update_downtime_bench's CDN: a 100 MB plugin installer, made once in the build tree.
port=$(sed -n 's/^LUMENFELD_TEST_CDN_PORT:[A-Z]*=//p' build/windows/CMakeCache.txt)
bash bench/watch/prepare_update_downtime.sh build/windows/host/src/tools/publish/lumenfeld-publish \
  build/windows/tests/process/fake_obs.exe build/windows/update_downtime "${port:-18093}"
source scripts/wine-env.sh
shopt -s nullglob
for exe in build/windows/bench/*/*_bench.exe; do
  echo "== $(basename "$exe") (Windows, under Wine)"
  wine "$exe"
done
for exe in build/bench/bench/*/*_bench; do
  echo "== $(basename "$exe") (native)"
  "$exe"
done
