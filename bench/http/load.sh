#!/usr/bin/env bash
# Load on the HTTP server beside Python's http.server serving the same folder (loopback only):
# 10,000 requests for a 1 KB file and 200 for a 1.4 MB file at concurrency 16, run twice, with
# the request rates, failed requests and the server's resident memory after each round.
#   load.sh QUEVRO        (QUEVRO_HTTP_THREADS: worker threads, default 2 as the server has)
set -u
quevro=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
if ! command -v ab >/dev/null; then echo "load.sh: ab (apache2-utils) is missing; run tools/deps.sh"; exit 1; fi

mkdir -p "$work/site"
head -c 1024 /dev/urandom > "$work/site/small.bin"
head -c 1468006 /dev/urandom > "$work/site/large.bin"

"$quevro" "$here/serve.quevro" "/$work/site" "${QUEVRO_HTTP_THREADS:-2}" > "$work/quevro.url" 2>"$work/quevro.err" &
qpid=$!; pids+=($qpid)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
(cd "$work/site" && exec python3 -m http.server --bind 127.0.0.1 "$port") >/dev/null 2>&1 &
ppid=$!; pids+=($ppid)
for _ in $(seq 100); do
  [ -s "$work/quevro.url" ] && curl -s -o /dev/null "http://127.0.0.1:$port/small.bin" && break
  sleep 0.1
done
quevro_url=$(head -n1 "$work/quevro.url")
python_url="http://127.0.0.1:$port/"

run() { # run NAME URL FILE COUNT
  local out
  out=$(ab -q -n "$4" -c 16 -s 30 "$2$3" 2>&1)
  printf '%-8s %-10s %6s requests: %10s req/s, %s failed\n' "$1" "$3" "$4" \
    "$(echo "$out" | awk '/Requests per second/ { print $4 }')" "$(echo "$out" | awk '/Failed requests/ { print $3 }')"
}
rss() { awk '/VmRSS/ { print $2 " kB" }' "/proc/$1/status"; }

for round in 1 2; do
  echo "-- round $round"
  run quevro "$quevro_url" small.bin 10000
  run python "$python_url" small.bin 10000
  run quevro "$quevro_url" large.bin 200
  run python "$python_url" large.bin 200
  # The server's memory should stay flat from one round to the next.
  echo "resident memory after round $round: quevro $(rss $qpid), python $(rss $ppid)"
done
