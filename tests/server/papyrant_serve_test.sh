#!/usr/bin/env bash
# "papyrant serve": the application's own page served from its embedded files on the loopback
# address, on a free port or the one asked for; unusable command lines are refused.
#   papyrant_serve_test.sh PAPYRANT PAGE_DIST
set -u
papyrant=$1
dist=$2
work=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
checks=0
expect() { # expect NAME ACTUAL EXPECTED
  checks=$((checks + 1))
  [ "$2" == "$3" ] || { echo "FAIL: $1: got [$2], expected [$3]"; failures=$((failures + 1)); }
}

# Starts the server with the given arguments and waits (at most 10 s) for the URL it prints.
start() {
  : > "$work/out"
  # Run from an empty folder: nothing on disk may stand in for the embedded page.
  (cd "$work/empty" && exec "$papyrant" serve "$@") > "$work/out" 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    url=$(grep -o 'http://[^ ]*' "$work/out")
    [ -n "$url" ] && return 0
    sleep 0.1
  done
  echo "FAIL: no URL printed by papyrant serve $*"; cat "$work/out"; failures=$((failures + 1))
  return 1
}
stop() { kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; pid=; }
get() { curl -s --max-time 10 "$@"; }

mkdir -p "$work/empty"
if start; then
  expect "listens on the loopback address" "${url%%:[0-9]*/}" "http://127.0.0.1"
  get -o "$work/index.html" "$url"
  expect "/ is the page" "$(cmp -s "$work/index.html" "$dist/index.html" && echo same)" "same"
  expect "a route of the page answers with the page" "$(get "${url}generate/settings" | cmp -s - "$dist/index.html" && echo same)" "same"
  asset=$(cd "$dist" && ls assets/*.js | head -1)
  expect "a script of the page" "$(get "$url$asset" | cmp -s - "$dist/$asset" && echo same)" "same"
  expect "its type" "$(get -o /dev/null -w '%{content_type}' "$url$asset")" "text/javascript; charset=UTF-8"
  expect "nothing outside the page" "$(get -o /dev/null -w '%{http_code}' --path-as-is "${url}../../../../etc/passwd" | grep -c 200)" "0"
  stop
fi

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()')
if start --port "$port"; then
  expect "the port asked for" "$url" "http://127.0.0.1:$port/"
  expect "answers there" "$(get -o /dev/null -w '%{http_code}' "$url")" "200"
  stop
fi

for bad in "--port 0" "--port 65536" "--port x1" "--port" "--bogus"; do
  # shellcheck disable=SC2086
  "$papyrant" serve $bad > /dev/null 2> "$work/err"
  expect "papyrant serve $bad exits 64" "$?" "64"
  expect "papyrant serve $bad says why" "$(grep -c "^papyrant serve: " "$work/err")" "1"
done
"$papyrant" serve --help > "$work/help"
expect "--help exits 0" "$?" "0"
expect "--help shows the usage" "$(grep -c '^usage: papyrant serve' "$work/help")" "1"

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
