#!/bin/sh
# Runs the benchmarks of a build folder: ./bench/run.sh build
set -eu

build="${1:-build}"
micro="$build/bench/micro_benchmarks"

if [ ! -x "$micro" ]; then
  echo "run.sh: $micro not found; build the micro_benchmarks target first" >&2
  exit 1
fi

echo "== micro-benchmarks =="
"$micro" --benchmark_counters_tabular=true
