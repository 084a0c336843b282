#!/usr/bin/env bash
# Runs every fuzz target for a while, each from its corpus folder (seeded on first use).
set -eu
build=$1
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
for exe in "$build"/*_fuzzer; do
  name=$(basename "$exe" _fuzzer)
  corpus="$here/corpus_$name"
  work="$build/fuzz-work-$name"
  mkdir -p "$corpus" "$work"
  if [ "$name" = chunk ] && [ -z "$(ls -A "$corpus")" ]; then
    # Seed the chunk corpus with the precompiled form of the script tests.
    i=0
    for s in "$root"/tests/scripts/vm/*.quevro; do
      "$build/quevro" -c "$s" -o "$corpus/seed$i.qvc" -s 2>/dev/null || true
      i=$((i + 1))
    done
  fi
  seeds=()
  if [ "$name" = image_header ]; then
    # The in-memory loader's test shared objects are real images to start mutating from.
    seeds=("$build/fuzz-seeds-$name")
    mkdir -p "${seeds[0]}"
    cp "$build"/tests/libquevro_memory_fixture*.so "${seeds[0]}/" 2>/dev/null || true
  fi
  echo "== fuzzing $name for ${seconds}s"
  "$exe" "$work" "$corpus" "${seeds[@]}" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 2>&1 | tail -15
done
