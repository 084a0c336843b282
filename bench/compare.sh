#!/usr/bin/env bash
# Runs each script benchmark in the language beside the same program for the two embeddable
# interpreters users would otherwise pick, and prints time ratios and peak memory.
#   bench/compare.sh BUILD_DIR [NAME...]   (BENCH_RUNS=n runs each, default 5, best kept)
# A program that needs input files has a NAME.setup script beside it: it is run once, untimed,
# with a fresh folder as its argument, and every program of that name gets the folder as its first
# argument (written "//tmp/...", a form the languages' file functions all read as that path). The
# folder is removed afterwards.
set -u
build=${1:-build-bench}
shift || true
here=$(cd "$(dirname "$0")" && pwd)
quevro="$build/quevro"
[ -x "$quevro" ] || { echo "no runner at $quevro"; exit 1; }
lua=$(command -v lua5.4 || true)
luajit=$(command -v luajit || true)

runs=${BENCH_RUNS:-5}

# Runs one command and prints "seconds peak_kb".
run_once() {
  local log out
  log=$(mktemp)
  /usr/bin/time -o "$log" -f "%e %M" "$@" >/dev/null 2>&1
  out=$(tail -1 "$log")
  rm -f "$log"
  echo "$out"
}

# Keeps the faster of two "seconds peak_kb" results (an empty one loses).
better() {
  if [ -z "$1" ]; then echo "$2"; return; fi
  if [ -z "$2" ]; then echo "$1"; return; fi
  awk -v a="$1" -v b="$2" 'BEGIN{ split(a, x, " "); split(b, y, " "); print (y[1] + 0 < x[1] + 0) ? b : a }'
}

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for f in "$here"/scripts/*.quevro; do names+=("$(basename "${f%.quevro}")"); done
fi
# lua-inc is Lua 5.4's peak with its collector switched to incremental mode: its interpreter runs
# generational collection by default, and the incremental mode is the kind of collector this
# language has, so that column tells the memory the collector's mode accounts for.
printf "%-14s %9s %9s %9s %8s %8s %9s %9s %9s\n" program quevro lua5.4 luajit-j0 vs-lua vs-jit mem-kb lua-mem lua-inc
log_sum=0; count=0; jit_sum=0; jit_count=0
inputs=""
trap '[ -n "$inputs" ] && rm -rf "$inputs"' EXIT
for name in "${names[@]}"; do
  args=()
  if [ -f "$here/scripts/$name.setup" ]; then
    inputs=$(mktemp -d)
    if ! bash "$here/scripts/$name.setup" "$inputs"; then
      echo "$name: setup failed"; rm -rf "$inputs"; inputs=""; continue
    fi
    args=("/$inputs")
  fi
  # The three interpreters take turns, so a slow spell of a shared machine hits each of them alike;
  # each keeps its best run.
  q=""; l=""; j=""
  # NAME.luajit.lua is a peer only LuaJIT can run (its FFI); it has no Lua 5.4 counterpart.
  jit_script="$name.lua"
  [ -f "$here/scripts/$name.luajit.lua" ] && jit_script="$name.luajit.lua"
  for _ in $(seq "$runs"); do
    q=$(better "$q" "$(run_once "$quevro" "$here/scripts/$name.quevro" "${args[@]}")")
    [ -n "$lua" ] && [ -f "$here/scripts/$name.lua" ] && l=$(better "$l" "$(run_once "$lua" "$here/scripts/$name.lua" "${args[@]}")")
    [ -n "$luajit" ] && [ -f "$here/scripts/$jit_script" ] && j=$(better "$j" "$(run_once "$luajit" -joff "$here/scripts/$jit_script" "${args[@]}")")
  done
  li="-"
  if [ -n "$lua" ] && [ -f "$here/scripts/$name.lua" ]; then
    read -r _ li <<<"$(run_once "$lua" -e 'collectgarbage("incremental")' "$here/scripts/$name.lua" "${args[@]}")"
  fi
  if [ -n "$inputs" ]; then rm -rf "$inputs"; inputs=""; fi
  [ -n "$l" ] || l="- -"
  [ -n "$j" ] || j="- -"
  read -r qt qm <<<"$q"; read -r lt lm <<<"$l"; read -r jt jm <<<"$j"
  rl=$(awk -v a="$qt" -v b="$lt" 'BEGIN{ if (b == "-" || b+0 == 0) print "-"; else printf "%.2f", a / b }')
  rj=$(awk -v a="$qt" -v b="$jt" 'BEGIN{ if (b == "-" || b+0 == 0) print "-"; else printf "%.2f", a / b }')
  printf "%-14s %9s %9s %9s %8s %8s %9s %9s %9s\n" "$name" "$qt" "$lt" "$jt" "$rl" "$rj" "$qm" "$lm" "${li:--}"
  if [ "$rl" != "-" ]; then
    log_sum=$(awk -v s="$log_sum" -v r="$rl" 'BEGIN{ printf "%.6f", s + log(r) }'); count=$((count + 1))
  fi
  if [ "$rj" != "-" ]; then
    jit_sum=$(awk -v s="$jit_sum" -v r="$rj" 'BEGIN{ printf "%.6f", s + log(r) }'); jit_count=$((jit_count + 1))
  fi
done
if [ $count -gt 0 ]; then
  awk -v s="$log_sum" -v n="$count" 'BEGIN{ printf "geometric mean of time ratios against lua5.4: %.2f (below 1 is faster)\n", exp(s / n) }'
fi
if [ $jit_count -gt 0 ]; then
  awk -v s="$jit_sum" -v n="$jit_count" 'BEGIN{ printf "geometric mean of time ratios against luajit -joff: %.2f\n", exp(s / n) }'
fi
