#!/usr/bin/env bash
# The interactive prompt read from a pipe: expressions print their values, declarations persist
# between inputs, an incomplete construct continues on the next line, errors do not end it.
set -u
runner=$1
out=$(printf '%s\n' '1 + 2' 'var x = 5' 'x * 2' 'var function f(a) {' '  return a + 1' '}' 'f(x)' \
      'error("bad", 0)' '"still here", null, true' 'io.print("printed")' | "$runner" 2>/tmp/prompt_err.$$)
status=$?
err=$(cat /tmp/prompt_err.$$); rm -f /tmp/prompt_err.$$
expected=$'3\n10\n6\nstill here\tnull\ttrue\nprinted'
fail=0
[ "$out" == "$expected" ] || { echo "FAIL: output was:"; echo "$out"; fail=1; }
[ "$status" -eq 0 ] || { echo "FAIL: status $status"; fail=1; }
[ "$err" == "bad" ] || { echo "FAIL: standard error was: $err"; fail=1; }
# --version and --help answer without running anything.
"$runner" --version | grep -q '^quevro ' || { echo "FAIL: --version"; fail=1; }
"$runner" --help | grep -q 'usage: quevro' || { echo "FAIL: --help"; fail=1; }
# A precompiled file runs like its source.
tmp=$(mktemp -d)
printf 'io.print("compiled", _ARGV[1], _ARGV[2])\nreturn 7\n' > "$tmp/s.quevro"
"$runner" -c "$tmp/s.quevro" -o "$tmp/s.qvc" -s || { echo "FAIL: -c"; fail=1; }
[ "$(head -c 7 "$tmp/s.qvc")" == "=quevro" ] || { echo "FAIL: chunk header"; fail=1; }
got=$("$runner" "$tmp/s.qvc" a b); code=$?
[ "$got" == $'compiled\ta\tb' ] && [ $code -eq 7 ] || { echo "FAIL: running the chunk gave '$got' ($code)"; fail=1; }
rm -rf "$tmp"
[ $fail -eq 0 ] && echo "prompt tests passed"
exit $fail
