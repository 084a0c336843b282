#!/usr/bin/env bash
# The HTTP server against a real client: starts serve.quevro on a free port (the script prints its
# URL), sends requests with curl and raw sockets, checks status, headers and bodies, and stops the
# server. Every request is bounded in time.
#   http_test.sh QUEVRO STORE_RUNNER
# STORE_RUNNER is a runner whose embedded store holds the RES files of store_page/ under /WEB/;
# the resource branch is tested through it.
set -u
quevro=$1
store_runner=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
checks=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect() { # expect NAME ACTUAL EXPECTED
  checks=$((checks + 1))
  [ "$2" == "$3" ] || fail "$1: got [$2], expected [$3]"
}
expect_has() { # expect_has NAME TEXT NEEDLE
  checks=$((checks + 1))
  [[ "$2" == *"$3"* ]] || fail "$1: [$2] lacks [$3]"
}
expect_lacks() {
  checks=$((checks + 1))
  [[ "$2" != *"$3"* ]] || fail "$1: [$2] holds [$3]"
}

# The document root, a secret beside it that must never be served, uploads elsewhere.
mkdir -p "$work/root" "$work/uploads" "$work/spa/web"
# A file on disk below the page's base is served before the store's files.
echo "from the disk" > "$work/spa/web/disk.txt"
cp -r "$here/pages/." "$work/root/"
head -c 1024 /dev/urandom > "$work/root/one.bin"
echo "SECRET-OUTSIDE-ROOT" > "$work/secret.txt"
echo "plain text" > "$work/upload.txt"
printf 'x' > "$work/root/byte.txt"
: > "$work/root/empty.txt"

# start NAME RUNNER MODE ROOT: starts a server, sets URL_<NAME> once it printed its URL.
start() {
  local name=$1 runner=$2 mode=$3 root=$4
  (cd "$here" && exec "$runner" serve.quevro "$mode" "/$root" "/$work/uploads") >"$work/$name.out" 2>"$work/$name.err" &
  pids+=($!)
  for _ in $(seq 100); do
    url=$(head -n1 "$work/$name.out" 2>/dev/null)
    [[ "$url" == http://127.0.0.1:* ]] && break
    sleep 0.1
  done
  if [[ "$url" != http://127.0.0.1:* ]]; then
    echo "FAIL: the $mode server did not start"; cat "$work/$name.err"; exit 1
  fi
  printf -v "URL_$name" '%s' "${url%/}"
}

c() { curl -s --max-time 10 "$@"; }
status() { c -o /dev/null -w '%{http_code}' "$@"; }
header() { # header NAME URL [curl args]: the value of one response header
  local name=$1; shift
  c -D - -o /dev/null "$@" | tr -d '\r' | awk -v n="$(echo "$name" | tr A-Z a-z)" '
    { i = index($0, ":"); if (i > 0 && tolower(substr($0, 1, i - 1)) == n) { v = substr($0, i + 1); sub(/^ +/, "", v); print v } }'
}
# raw PORT TEXT: sends bytes as they are and prints the whole answer (empty when closed at once).
raw() {
  local port=$1 text=$2
  timeout 10 bash -c 'exec 3<>/dev/tcp/127.0.0.1/'"$port"'; printf "%b" "$1" >&3; cat <&3' _ "$text" 2>/dev/null
}

start plain "$quevro" plain "$work/root"
start custom "$quevro" custom "$work/root"
start spa "$store_runner" spa "$work/spa"
U=$URL_plain
port=${U##*:}

# --- files from disk -----------------------------------------------------------------------
expect "GET /" "$(c "$U/")" "<p>the index</p>"
expect "GET / status" "$(status "$U/")" 200
expect "content type" "$(header content-type "$U/index.html")" "text/html; charset=UTF-8"
expect "binary type has no charset" "$(header content-type "$U/one.bin")" "application/octet-stream"
expect "binary length" "$(c "$U/one.bin" | wc -c)" 1024
expect "binary bytes" "$(c "$U/one.bin" | cmp - "$work/root/one.bin" && echo same)" same
expect "connection header" "$(header connection "$U/")" close
expect "HEAD status" "$(status -I "$U/index.html")" 200
expect "HEAD length" "$(header content-length -I "$U/index.html")" 17
expect "HEAD no body bytes" "$(raw "$port" 'HEAD /index.html HTTP/1.0\r\n\r\n' | sed -n '/^\r$/,$p' | tail -n +2 | wc -c)" 0
expect "OPTIONS allow" "$(header allow -X OPTIONS "$U/index.html")" "OPTIONS, GET, HEAD, POST, PUT, DELETE, PATCH"
expect "OPTIONS public" "$(header public -X OPTIONS "$U/index.html")" "OPTIONS, GET, HEAD, POST, PUT, DELETE, PATCH"
expect "OPTIONS no body" "$(c -X OPTIONS "$U/index.html" | wc -c)" 0
expect "folder without slash" "$(status "$U/sub")" 301
expect "folder location" "$(header location "$U/sub")" "/sub/"
expect "folder default document" "$(c "$U/sub/")" "<p>sub index</p>"
expect "missing file" "$(status "$U/missing.html")" 404
expect "missing file body" "$(c "$U/missing.html")" "404 Not Found"

# Entity tags and dates.
etag=$(header etag "$U/one.bin")
modified=$(header last-modified "$U/one.bin")
expect_has "etag quoted" "$etag" '"'
expect "if-none-match" "$(status -H "If-None-Match: $etag" "$U/one.bin")" 304
expect "304 has no body" "$(c -H "If-None-Match: $etag" "$U/one.bin" | wc -c)" 0
expect "if-none-match other" "$(status -H 'If-None-Match: "other"' "$U/one.bin")" 200
expect "if-modified-since" "$(status -H "If-Modified-Since: $modified" "$U/one.bin")" 304
expect "if-modified-since earlier" "$(status -H "If-Modified-Since: Thu, 01 Jan 1970 00:00:01 GMT" "$U/one.bin")" 200

# Ranges.
expect "range status" "$(status -r 0-9 "$U/one.bin")" 206
expect "range length" "$(header content-length -r 0-9 "$U/one.bin")" 10
expect "range header" "$(header content-range -r 0-9 "$U/one.bin")" "bytes 0-9/1024"
expect "range bytes" "$(c -r 100-109 "$U/one.bin" | od -An -tx1)" "$(tail -c +101 "$work/root/one.bin" | head -c 10 | od -An -tx1)"
expect "suffix range" "$(header content-range -r -24 "$U/one.bin")" "bytes 1000-1023/1024"
expect "open range" "$(header content-range -r 1000- "$U/one.bin")" "bytes 1000-1023/1024"
expect "first byte" "$(header content-range -r 0-0 "$U/one.bin")" "bytes 0-0/1024"
expect "open range of one byte" "$(c -r 0- "$U/byte.txt" -w ' %{http_code}')" "x 200"
expect "range of an empty file" "$(status -r -5 "$U/empty.txt")" 416
expect "empty file" "$(status "$U/empty.txt")" 200
expect "whole range" "$(status -r 0-1023 "$U/one.bin")" 200
expect "whole range no content-range" "$(header content-range -r 0-1023 "$U/one.bin")" ""
expect "range beyond" "$(status -r 2000-2010 "$U/one.bin")" 416
expect "range end beyond" "$(status -r 0-5000 "$U/one.bin")" 416
expect "416 content-range" "$(header content-range -r 2000-2010 "$U/one.bin")" "bytes */1024"
expect "if-range match" "$(status -r 0-9 -H "If-Range: $etag" "$U/one.bin")" 206
expect "if-range stale" "$(status -r 0-9 -H 'If-Range: "stale"' "$U/one.bin")" 200
expect "if-unmodified-since earlier" "$(status -r 0-9 -H "If-Unmodified-Since: Thu, 01 Jan 1970 00:00:01 GMT" "$U/one.bin")" 200

# --- bad requests and paths that leave the root ------------------------------------------------
expect "bad escape" "$(status "$U/%zz")" 400
expect "NUL byte" "$(status "$U/index.html%00.txt")" 400
expect_has "literal NUL byte" "$(raw "$port" 'GET /index.html\0.txt HTTP/1.0\r\n\r\n' | tr -d '\0')" "400 Bad Request"
expect "two-part request line" "$(raw "$port" 'GET /\r\n\r\n')" ""
expect "not HTTP" "$(raw "$port" 'GET / FTP/1.0\r\n\r\n')" ""
expect_has "bad header line" "$(raw "$port" 'GET / HTTP/1.0\r\nno colon here\r\n\r\n')" "HTTP/1.0 400 Bad Request"
expect_has "bad content length" "$(raw "$port" 'POST / HTTP/1.1\r\nContent-Length: 12x\r\n\r\n')" "400 Bad Request"
expect_has "dot dot" "$(raw "$port" 'GET /../secret.txt HTTP/1.0\r\n\r\n')" "403 Forbidden"
expect_has "dot dot deep" "$(raw "$port" 'GET /sub/../../secret.txt HTTP/1.0\r\n\r\n')" "403 Forbidden"
expect_has "dot dot inside" "$(raw "$port" 'GET /sub/../index.html HTTP/1.0\r\n\r\n')" "<p>the index</p>"
expect_has "encoded dot dot" "$(raw "$port" 'GET /%2e%2e/secret.txt HTTP/1.0\r\n\r\n')" "403 Forbidden"
expect_has "encoded slash" "$(raw "$port" 'GET /..%2fsecret.txt HTTP/1.0\r\n\r\n')" "403 Forbidden"
expect_has "backslashes" "$(raw "$port" 'GET /..\\\\secret.txt HTTP/1.0\r\n\r\n')" "403 Forbidden"
expect_has "encoded backslash" "$(raw "$port" 'GET /%5c..%5csecret.txt HTTP/1.0\r\n\r\n')" "403 Forbidden"
expect_has "absolute path" "$(raw "$port" "GET $work/secret.txt HTTP/1.0\r\n\r\n")" "404 Not Found"
expect_has "absolute form" "$(raw "$port" 'GET http://evil/../secret.txt HTTP/1.0\r\n\r\n')" "403 Forbidden"
expect_has "no leading slash" "$(raw "$port" 'GET index.html HTTP/1.0\r\n\r\n')" "<p>the index</p>"
expect_has "the executable" "$(raw "$port" "GET /$(basename "$quevro") HTTP/1.0\r\n\r\n")" "404 Not Found"
long=$(head -c 20000 /dev/zero | tr '\0' a)
expect_has "long request line" "$(raw "$port" "GET /$long HTTP/1.0\r\n\r\n")" "414 URI Too Long"
flood=$(for i in $(seq 300); do printf 'X-H%d: v\\r\\n' "$i"; done)
expect_has "header flood" "$(raw "$port" "GET / HTTP/1.0\r\n${flood}\r\n")" "431 Request Header Fields Too Large"
big=$(head -c 70000 /dev/zero | tr '\0' b)
expect_has "huge header" "$(raw "$port" "GET / HTTP/1.0\r\nX-Big: $big\r\n\r\n")" "431 Request Header Fields Too Large"
expect "early close" "$(raw "$port" 'GET / HT')" ""
all=$(for p in /../secret.txt /%2e%2e/secret.txt /..%2f..%2fsecret.txt "/..%5csecret.txt" "//$work/secret.txt"; do
  raw "$port" "GET $p HTTP/1.0\r\n\r\n"; done)
expect_lacks "secret never served" "$all" "SECRET-OUTSIDE-ROOT"
expect "still serving" "$(c "$U/")" "<p>the index</p>"

# --- dynamic pages, sessions, uploads, errors ---------------------------------------------------
expect "dynamic page" "$(c "$U/page.quevro?q=hi%21")" "method=GET q=hi! count=1"
cookie=$(header set-cookie "$U/page.quevro")
expect_has "session cookie" "$cookie" "QUEVROSESSID="
expect_has "session cookie flags" "$cookie" "; path=/; HttpOnly"
sid=${cookie#QUEVROSESSID=}; sid=${sid%%;*}
expect "session id form" "$(echo -n "$sid" | grep -cE '^[0-9a-f]{32}$')" 1
expect "session kept" "$(c -H "Cookie: QUEVROSESSID=$sid" "$U/page.quevro")" "method=GET q= count=2"
expect "session no new cookie" "$(header set-cookie -H "Cookie: QUEVROSESSID=$sid" "$U/page.quevro")" ""
expect "session forged" "$(c -H "Cookie: QUEVROSESSID=../../x" "$U/page.quevro")" "method=GET q= count=1"
expect "upload" "$(c -F "doc=@$work/upload.txt" -F "title=report" "$U/upload.quevro")" "file doc upload.txt 11 plain text

field title=report"
head -c 300000 /dev/urandom > "$work/big.bin"
expect "large upload" "$(c -F "doc=@$work/big.bin" "$U/upload.quevro" -o /dev/null -w '%{http_code} %{size_upload}' | cut -d' ' -f1)" 200
expect_has "100 continue" "$(c -v -H "Expect: 100-continue" -F "doc=@$work/big.bin" "$U/upload.quevro" -o /dev/null 2>&1)" "< HTTP/1.1 100 Continue"
expect "upload left no file" "$(ls "$work/uploads" | wc -l)" 0
expect "upload without boundary" "$(c -H 'Content-Type: multipart/form-data' --data-binary 'x' "$U/upload.quevro")" "Missing boundary in multipart/form-data!"
expect "upload without boundary status" "$(status -H 'Content-Type: multipart/form-data' --data-binary 'x' "$U/upload.quevro")" 400
expect "environment" "$(c -H 'X-Test: yes' -H 'Cookie: c=%41b' "$U/env.quevro?a=1")" "GET|quevro server/1.0|CGI/1.1|yes|a=1|/env.quevro|127.0.0.1|127.0.0.1|off|http|/env.quevro|HTTP/1.1|yes|Ab"
expect "worker globals" "$(c "$U/globals.quevro")" "hello from threadGlobal|onThreadCreated ran"
expect "form fields" "$(c --data 'b=2&a=x+y%21&c=' "$U/form.quevro")" "a=x y!,b=2,c= | read once"
expect "failing page" "$(status "$U/fail.quevro")" 500
expect_has "failing page logged" "$(cat "$work/plain.err")" "this page fails"
expect "table as JSON" "$(c "$U/json.quevro" | tr -d ' \n')" '{"answer":42}'
expect_has "start in a worker" "$(c "$U/restart.quevro")" "在响应 HTTP 请求时不应启动 HTTP 服务端"
expect "event stream type" "$(header content-type "$U/events.quevro")" "text/event-stream; charset=UTF-8"
expect_has "event stream" "$(c "$U/events.quevro")" "event: tick"
expect "missing page" "$(status "$U/nothing.quevro")" 404

# Custom errors and scripts served as text.
C=$URL_custom
expect "custom 404" "$(c "$C/missing.html")" "custom 404 for /missing.html"
expect "custom 404 status" "$(status "$C/missing.html")" 404
expect_has "custom page for 403" "$(raw "${C##*:}" 'GET /../x HTTP/1.0\r\n\r\n')" "<p>sub index</p>"
expect_has "custom page keeps 403" "$(raw "${C##*:}" 'GET /../x HTTP/1.0\r\n\r\n')" "HTTP/1.0 403 Forbidden"
expect "static script" "$(c "$C/fail.quevro")" 'error("this page fails")'
# The head limit holds when the whole head comes in one piece with its end.
wide=$(head -c 3000 /dev/zero | tr '\0' w)
expect_has "head over limit at once" "$(raw "${C##*:}" "GET /sub/index.html HTTP/1.0\r\nX-Wide: $wide\r\n\r\n")" "431 Request Header Fields Too Large"
narrow=$(head -c 1500 /dev/zero | tr '\0' n)
expect_has "head under limit" "$(raw "${C##*:}" "GET /sub/index.html HTTP/1.0\r\nX-Narrow: $narrow\r\n\r\n")" "<p>sub index</p>"
expect_has "bare head over limit" "$(raw "${C##*:}" "GET /sub/index.html HTTP/1.0\nX-Wide: $wide\n\n")" "431 Request Header Fields Too Large"

# --- the single-page application from the embedded store ----------------------------------------
S=$URL_spa
expect "spa url" "$(head -n1 "$work/spa.out")" "$S/"
expect_has "spa page" "$(c "$S/")" "<title>store page</title>"
expect "spa page type" "$(header content-type "$S/")" "text/html; charset=UTF-8"
expect "spa accept-ranges" "$(header accept-ranges "$S/")" "none"
expect "spa asset" "$(c "$S/assets/app-Ab12Cd.js")" 'console.log("from the store");'
expect "spa asset any case" "$(c "$S/ASSETS/APP-AB12CD.JS")" 'console.log("from the store");'
expect "spa asset type" "$(header content-type "$S/assets/app-Ab12Cd.js")" "text/javascript; charset=UTF-8"
expect "disk before store" "$(c "$S/disk.txt")" "from the disk"
expect "disk file ranges" "$(header accept-ranges "$S/disk.txt")" "bytes"
expect_has "spa route" "$(c "$S/documents/42")" "<title>store page</title>"
expect "spa route status" "$(status "$S/documents/42")" 200
expect "scripts denied" "$(status "$S/page.quevro")" 403
spa_etag=$(header etag "$S/assets/app-Ab12Cd.js")
expect "spa etag 304" "$(status -H "If-None-Match: $spa_etag" "$S/assets/app-Ab12Cd.js")" 304
expect "spa etag 304 body" "$(c -H "If-None-Match: $spa_etag" "$S/assets/app-Ab12Cd.js" | wc -c)" 0
expect "spa HEAD" "$(c -I "$S/" -o /dev/null -w '%{http_code} %{size_download}')" "200 0"
spa_port=${S##*:}
expect_has "spa dot dot" "$(raw "$spa_port" 'GET /../../etc/passwd HTTP/1.0\r\n\r\n')" "403 Forbidden"
expect_lacks "spa outside files" "$(raw "$spa_port" 'GET /../web/../../etc/passwd HTTP/1.0\r\n\r\n')" "root:"

# Clients that leave in the middle of a large answer end only their own connection.
head -c 30000000 /dev/zero > "$work/root/huge.bin"
for _ in 1 2 3; do timeout 0.3 curl -s --limit-rate 200k "$U/huge.bin" -o /dev/null; done
expect "alive after clients left" "$(status "$U/")" 200

# Nothing crashed a worker: every server still answers.
expect "plain alive" "$(status "$U/")" 200
expect "custom alive" "$(status "$C/")" 200
expect "spa alive" "$(status "$S/")" 200

echo "$checks checks, $failures failed"
[ $failures -eq 0 ]
