#!/usr/bin/env bash
# Runs each script benchmark in the language beside the same program for the two embeddable
# interpreters users would otherwise pick, and prints time ratios and peak memory.
#   bench/compare.sh BUILD_DIR [NAME...]
set -u
build=${1:-build-bench}
shift || true
here=$(cd "$(dirname "$0")" && pwd)
quevro="$build/quevro"
[ -x "$quevro" ] || { echo "no runner at $quevro"; exit 1; }
lua=$(command -v lua5.4 || true)
luajit=$(command -v luajit || true)

# Prints "seconds peak_kb" of the best of three runs.
measure() {
  local best_t="" best_m=""
  local log
  log=$(mktemp)
  for _ in 1 2 3; do
    /usr/bin/time -o "$log" -f "%e %M" "$@" >/dev/null 2>&1
    local out
    out=$(tail -1 "$log")
    local t=${out% *} m=${out#* }
    if [ -z "$best_t" ] || awk "BEGIN{exit !($t < $best_t)}"; then best_t=$t; best_m=$m; fi
  done
  rm -f "$log"
  echo "$best_t $best_m"
}

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for f in "$here"/scripts/*.quevro; do names+=("$(basename "${f%.quevro}")"); done
fi
printf "%-14s %9s %9s %9s %8s %8s %9s %9s\n" program quevro lua5.4 luajit-j0 vs-lua vs-jit mem-kb lua-mem
log_sum=0; count=0
for name in "${names[@]}"; do
  q=$(measure "$quevro" "$here/scripts/$name.quevro")
  l="- -"; j="- -"
  [ -n "$lua" ] && [ -f "$here/scripts/$name.lua" ] && l=$(measure "$lua" "$here/scripts/$name.lua")
  [ -n "$luajit" ] && [ -f "$here/scripts/$name.lua" ] && j=$(measure "$luajit" -joff "$here/scripts/$name.lua")
  read -r qt qm <<<"$q"; read -r lt lm <<<"$l"; read -r jt jm <<<"$j"
  rl=$(awk -v a="$qt" -v b="$lt" 'BEGIN{ if (b == "-" || b+0 == 0) print "-"; else printf "%.2f", a / b }')
  rj=$(awk -v a="$qt" -v b="$jt" 'BEGIN{ if (b == "-" || b+0 == 0) print "-"; else printf "%.2f", a / b }')
  printf "%-14s %9s %9s %9s %8s %8s %9s %9s\n" "$name" "$qt" "$lt" "$jt" "$rl" "$rj" "$qm" "$lm"
  if [ "$rl" != "-" ]; then
    log_sum=$(awk -v s="$log_sum" -v r="$rl" 'BEGIN{ printf "%.6f", s + log(r) }'); count=$((count + 1))
  fi
done
if [ $count -gt 0 ]; then
  awk -v s="$log_sum" -v n="$count" 'BEGIN{ printf "geometric mean of time ratios against lua5.4: %.2f (below 1 is faster)\n", exp(s / n) }'
fi
