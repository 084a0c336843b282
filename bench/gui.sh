#!/bin/sh
# Start-up of a web view window on a virtual display: the time from process start to the first
# painted page (the page reports its second animation frame through the bridge) and the resident
# memory at that moment; five runs sharing one browser profile, as successive starts of the
# application share theirs. Skipped without xvfb-run.
set -eu
build="${1:-build}"
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v xvfb-run >/dev/null; then
  echo "gui.sh: xvfb-run not installed; skipped"
  exit 0
fi
profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
runner=$(cd "$build" && pwd)/quevro
NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory xvfb-run -a -s "-screen 0 1280x1024x24" sh -c '
  for i in 1 2 3 4 5; do
    start=$(date +%s%N)
    out=$("$1" "$2" "//$3")
    painted=$(echo "$out" | sed -n "s/^painted_ns\t//p")
    rss=$(echo "$out" | sed -n "s/^rss_kb\t//p")
    if [ -z "$painted" ]; then echo "run $i: no painted page"; continue; fi
    echo "run $i: first painted page after $(( (painted - start) / 1000000 )) ms, resident memory $((rss / 1024)) MB"
  done' gui "$runner" "$here/gui/first_paint.quevro" "$profile"

# The application itself: build/papyrant from process start to its page's first drawn screen
# (the embedded page served by its own server, the bridge published), and its resident memory then.
papyrant=$(cd "$build" && pwd)/papyrant
[ -x "$papyrant" ] || { echo "gui.sh: $papyrant not built; papyrant skipped"; exit 0; }
home=$(mktemp -d)
trap 'rm -rf "$profile" "$home"' EXIT
HOME=$home PAPYRANT_TEST_DRIVER=$here/gui/papyrant_paint.quevro NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory \
  xvfb-run -a -s "-screen 0 1280x1024x24" sh -c '
  for i in 1 2 3 4 5; do
    start=$(date +%s%N)
    out=$("$1")
    painted=$(echo "$out" | sed -n "s/^painted_ns\t//p")
    rss=$(echo "$out" | sed -n "s/^rss_kb\t//p")
    if [ -z "$painted" ]; then echo "papyrant run $i: no painted page"; continue; fi
    echo "papyrant run $i: page drawn after $(( (painted - start) / 1000000 )) ms, resident memory $((rss / 1024)) MB"
  done' gui "$papyrant"
