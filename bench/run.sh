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

here=$(cd "$(dirname "$0")" && pwd)
echo
echo "== script benchmarks beside Lua 5.4 and LuaJIT's interpreter =="
"$here/compare.sh" "$build"

echo
echo "== compiling a generated 4 MB source: quevro -p (compile only) and -c (compile and write the chunk) against luac5.4 -p =="
tmp=$(mktemp -d)
"$here/gen_source.sh" "$tmp/big" 4
/usr/bin/time -f "quevro -p: %e s, %M KB" "$build/quevro" -p "$tmp/big.quevro"
/usr/bin/time -f "quevro -c: %e s, %M KB" "$build/quevro" -c "$tmp/big.quevro" -o "$tmp/big.qvc"
if command -v luac5.4 >/dev/null; then /usr/bin/time -f "luac5.4 -p: %e s, %M KB" luac5.4 -p "$tmp/big.lua"; fi
rm -rf "$tmp"

echo
echo "== papyrant generate beside the page =="
"$here/batch.sh" "$build"
echo
echo "== the HTTP server under load beside python3 -m http.server (ab, loopback) =="
"$here/http/load.sh" "$build/quevro"
echo
echo "== a web view window: start to first painted page, resident memory (virtual display) =="
"$here/gui.sh" "$build"
