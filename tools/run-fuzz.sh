#!/usr/bin/env bash
# Runs every fuzz target briefly. Usage: run-fuzz.sh BUILD_DIR SECONDS
set -euo pipefail
dir=$1; secs=$2
shopt -s nullglob
targets=("$dir"/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then echo "no fuzz targets"; exit 0; fi
for t in "${targets[@]}"; do
  # Only the targets: a run before left its logs beside them.
  [[ -x "$t" && "$t" != *.log ]] || continue
  name=$(basename "$t")
  corpus="$dir/corpus/$name"; mkdir -p "$corpus"
  seeds="fuzz/seeds/${name#fuzz_}"
  extra=(); [ -d "$seeds" ] && extra=("$seeds")
  echo "== $name (${secs}s)"
  log="$dir/$name.log"
  if ! "$t" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
      -artifact_prefix="$dir/" "$corpus" "${extra[@]}" > "$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: $name FAILED (input saved beside it in $dir)"
    exit 1
  fi
  tail -n 1 "$log"
done
echo "fuzz: all targets ran clean"
