#!/usr/bin/env bash
# papyrant where no window can be shown: without DISPLAY/WAYLAND_DISPLAY, and with a display that
# cannot be opened, it says so in one line and serves the page on the loopback address instead;
# the printed URL answers with the page (also for a route of the page's own).
set -u
papyrant=$1
fail=0
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT

# Runs papyrant with the given environment changes; checks its one-line notice and the page.
check() {
  local label=$1 notice=$2
  shift 2
  env "$@" HOME="$work" "$papyrant" >"$work/out" 2>"$work/err" &
  pid=$!
  local url=
  for _ in $(seq 1 600); do
    url=$(sed -n 's/^Serving the page at \(http:[^ ]*\) .*/\1/p' "$work/out")
    [ -n "$url" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$url" ]; then
    echo "FAIL ($label): no URL printed"; cat "$work/out" "$work/err"; fail=1
  else
    case "$url" in http://127.0.0.1:*/) ;; *) echo "FAIL ($label): not a loopback URL: $url"; fail=1 ;; esac
    for path in "" "some/route"; do
      if ! /usr/bin/python3 -c 'import sys, urllib.request; body = urllib.request.urlopen(sys.argv[1]).read().decode(); sys.exit(0 if "<title>Papyrant</title>" in body else 1)' "$url$path"; then
        echo "FAIL ($label): $url$path does not answer with the page"; fail=1
      fi
    done
  fi
  if [ "$(cat "$work/err")" != "$notice" ]; then
    echo "FAIL ($label): standard error is not the one-line notice:"; cat "$work/err"; fail=1
  fi
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  pid=
}

check "no display set" "papyrant: no display (DISPLAY and WAYLAND_DISPLAY are not set); serving the page for a browser instead." \
  -u DISPLAY -u WAYLAND_DISPLAY
check "a display that cannot be opened" "papyrant: the display cannot be opened (cannot open the display); serving the page for a browser instead." \
  -u WAYLAND_DISPLAY DISPLAY=:31999
exit $fail
