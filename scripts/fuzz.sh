#!/usr/bin/env bash
# Runs every libFuzzer target of the native build for the given number of
# seconds each (default 60) and prints how many inputs each one executed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shopt -s nullglob
targets=(build/native/fuzz/*_fuzzer)
if ((${#targets[@]} == 0)); then
  echo "no fuzz targets built"
  exit 0
fi
for target in "${targets[@]}"; do
  name=$(basename "$target")
  corpus="build/native/fuzz-corpus/$name"
  mkdir -p "$corpus"
  log="build/native/$name.log"
  # Seed inputs kept with the sources, when a target has them: read, never written.
  seeds=()
  [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
  "$target" -max_total_time="$seconds" -print_final_stats=1 "$corpus" "${seeds[@]}" >"$log" 2>&1 || {
    tail -50 "$log"
    exit 1
  }
  echo "$name: $(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}') executions in ${seconds}s"
done
