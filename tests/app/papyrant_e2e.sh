#!/usr/bin/env bash
# End to end: build/papyrant on a virtual display. A template and a sheet made with python-docx
# and openpyxl are put into the page inside the application's own web view, the folder is chosen
# through the bridge (the folder picker answered by QUEVRO_TEST_DIALOG_ANSWER), the documents are
# exported file by file and then checked on disk by content. The page steps are
# papyrant_driver.quevro (run by the application through PAPYRANT_TEST_DRIVER).
set -u
papyrant=$1
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v xvfb-run >/dev/null 2>&1; then
  echo "SKIP: xvfb-run is not installed (tools/deps.sh installs it); no display to test on"
  exit 77
fi
if ! /usr/bin/python3 -c "import docx, openpyxl" 2>/dev/null; then
  echo "SKIP: python-docx and openpyxl are needed to make the test's files (tools/deps.sh installs them)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 "$here/make_fixtures.py" "$work" || exit 1
mkdir "$work/out folder"
export E2E_DIR=$work PAPYRANT_TEST_DRIVER=$here/papyrant_driver.quevro QUEVRO_TEST_DIALOG_ANSWER=accept
export NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory HOME=$work XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data
xvfb-run -a -s "-screen 0 1280x1024x24" "$papyrant" >"$work/stdout" 2>"$work/stderr"
status=$?
/usr/bin/python3 "$here/check_output.py" "$work" >>"$work/stdout" 2>>"$work/stderr"
fail=0
if ! diff -u "$here/papyrant_e2e.expected" "$work/stdout"; then
  echo "FAIL: the run's output differs"
  fail=1
fi
if [ "$status" != 0 ]; then
  echo "FAIL: papyrant ended with status $status"
  fail=1
fi
if [ $fail -ne 0 ]; then
  echo "--- standard error ---"
  cat "$work/stderr"
fi
exit $fail
