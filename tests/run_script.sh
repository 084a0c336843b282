#!/usr/bin/env bash
# Runs one script test: the script's standard output must equal NAME.expected; NAME.status, when
# present, holds the expected exit status (default 0); NAME.stderr, when present, holds text that
# standard error must contain; NAME.args holds extra command-line arguments, one per line;
# NAME.env holds environment settings for the run, one NAME=VALUE per line (e.g. TZ=UTC).
# A test that needs files writes them below the folder given by the argument line %TMPDIR%: the
# runner makes a fresh folder for each run and removes it afterwards, so no test writes into the
# source tree. The folder is passed with a doubled leading slash, the form that always names a
# file-system path (a single one is first tried below the script's folder). An argument line
# %FIXTURE% becomes the test shared library's path (QUEVRO_TEST_FIXTURE, set by CTest for the
# native-call scripts), written the same way.
set -u
runner=$1
script=$2
base=${script%.quevro}
args=()
[ -f "$base.args" ] && mapfile -t args < "$base.args"
if [ -f "$base.env" ]; then
  while IFS= read -r setting || [ -n "$setting" ]; do
    [ -n "$setting" ] && export "${setting?}"
  done < "$base.env"
fi
out=$(mktemp)
err=$(mktemp)
files=$(mktemp -d)
trap 'rm -rf "$out" "$err" "$files"' EXIT
for k in "${!args[@]}"; do
  [ "${args[$k]}" == "%TMPDIR%" ] && args[$k]="/$files"
  [ "${args[$k]}" == "%FIXTURE%" ] && args[$k]="/${QUEVRO_TEST_FIXTURE:-}"
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
