#!/usr/bin/env bash
# Runs one script test on a virtual display (xvfb-run), as run_script.sh runs the others: real
# windows, dialogs and the web view. The argument line %FIXTURE% becomes the web view library's
# path. Without xvfb-run the test is skipped (status 77), saying so.
set -u
runner=$1
webview=$2
script=$3
if ! command -v xvfb-run >/dev/null 2>&1; then
  echo "SKIP: xvfb-run is not installed (tools/deps.sh installs it); no display to test on"
  exit 77
fi
export QUEVRO_TEST_FIXTURE=$webview
# A fixed screen, so that a maximised window has a known size; no accessibility bus to look for.
export NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory
exec xvfb-run -a -s "-screen 0 1280x1024x24" "$(dirname "$0")/../run_script.sh" "$runner" "$script"
