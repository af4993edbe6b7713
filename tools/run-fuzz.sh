#!/usr/bin/env bash
# Runs every fuzz target briefly. Usage: run-fuzz.sh BUILD_DIR SECONDS
set -euo pipefail
dir=$1; secs=$2
shopt -s nullglob
targets=("$dir"/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then echo "no fuzz targets"; exit 0; fi
for t in "${targets[@]}"; do
  name=$(basename "$t")
  corpus="$dir/corpus/$name"; mkdir -p "$corpus"
  seeds="fuzz/seeds/${name#fuzz_}"
  extra=(); [ -d "$seeds" ] && extra=("$seeds")
  echo "== $name (${secs}s)"
  "$t" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
    "$corpus" "${extra[@]}" 2>&1 | tail -n 3
  test "${PIPESTATUS[0]}" -eq 0
done
echo "fuzz: all targets ran clean"
