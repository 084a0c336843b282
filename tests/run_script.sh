#!/usr/bin/env bash
# Runs one script test: the script's standard output must equal NAME.expected; NAME.status, when
# present, holds the expected exit status (default 0); NAME.stderr, when present, holds text that
# standard error must contain; NAME.args holds extra command-line arguments, one per line.
set -u
runner=$1
script=$2
base=${script%.quevro}
args=()
[ -f "$base.args" ] && mapfile -t args < "$base.args"
out=$(mktemp)
err=$(mktemp)
files=$(mktemp -d)
trap 'rm -f "$out" "$err"; rm -rf "$files"' EXIT
for i in "${!args[@]}"; do
  [ "${args[$i]}" = "%TMPDIR%" ] && args[$i]="/$files"
done
cd "$(dirname "$script")"
"$runner" "$(basename "$script")" "${args[@]}" >"$out" 2>"$err"
status=$?
expected_status=0
[ -f "$base.status" ] && expected_status=$(tr -d '[:space:]' < "$base.status")
fail=0
if [ -f "$base.expected" ] && ! diff -u "$base.expected" "$out"; then
  echo "FAIL: standard output differs ($script)"
  fail=1
fi
if [ "$status" != "$expected_status" ]; then
  echo "FAIL: exit status $status, expected $expected_status ($script)"
  fail=1
fi
if [ -f "$base.stderr" ]; then
  while IFS= read -r needle || [ -n "$needle" ]; do
    [ -z "$needle" ] && continue
    if ! grep -qF -- "$needle" "$err"; then
      echo "FAIL: standard error lacks: $needle ($script)"
      fail=1
    fi
  done < "$base.stderr"
fi
if [ $fail -ne 0 ]; then
  echo "--- standard error ---"
  cat "$err"
fi
exit $fail
