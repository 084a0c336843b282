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
# Runs the prompt on the given input lines; sets out, err and status.
prompt() {
  local errfile
  errfile=$(mktemp)
  out=$(printf '%s\n' "$@" | "$runner" 2>"$errfile")
  status=$?
  err=$(cat "$errfile")
  rm -f "$errfile"
}
# A stray closing brace, or input that went wrong before its end, is reported at once and the
# prompt goes on; input that may still be completed waits for more lines.
prompt '}' '1 + 1' 'io.print(1) }' '2 + 2' '3 +' '4'
[ "$out" == $'2\n4\n7' ] || { echo "FAIL: after syntax errors the output was:"; echo "$out"; fail=1; }
[ "$(grep -c "{Near}:'}'" <<<"$err")" -eq 2 ] || { echo "FAIL: syntax errors not reported: $err"; fail=1; }
# Input still unfinished when the input ends is reported, not dropped.
prompt 'io.print("before")' 'var function g() {' '  return 1'
[ "$out" == "before" ] && [ $status -eq 0 ] || { echo "FAIL: unfinished input: '$out' ($status)"; fail=1; }
grep -q "{Near}:'<eof>'" <<<"$err" || { echo "FAIL: unfinished input not reported: '$err'"; fail=1; }
# Assignments assign (a single "=" is also the equality operator); several statements on one line
# all run; the results of a final call statement are printed.
prompt 'y = 7' 'y' 'io.print("a"); io.print("b")' 'z = 1; string.find("abc", "b")' 'z' 'if (y == 7) io.print("seven")'
[ "$out" == $'7\na\nb\n2\t2\n1\nseven' ] || { echo "FAIL: statements at the prompt gave:"; echo "$out"; fail=1; }
[ -z "$err" ] || { echo "FAIL: statements at the prompt reported: $err"; fail=1; }
# A table value shows its contents as table.tostring writes them; a large one is cut short.
prompt '[1, "two"]' 'obj = {a = {b = true}}' 'obj' 'table.range(1, 100000)' 'k = {}; k@ = {_tostring = function() { return "custom"; }}' 'k'
expected_small=$'[\n1,\n"two"\n]\n{\na={b=true}\n}'
[ "${out:0:${#expected_small}}" == "$expected_small" ] || { echo "FAIL: tables printed as:"; echo "$out"; fail=1; }
long=${out:${#expected_small}+1}
long=${long%$'\ncustom'}
[[ "$long" == "["*"..." ]] && [ ${#long} -lt 400 ] || { echo "FAIL: a large table printed as: $long"; fail=1; }
[[ "$out" == *$'\ncustom' ]] || { echo "FAIL: _tostring not used: $out"; fail=1; }
# A cut inside a nested table or inside a long text still ends the line in "..."; the text is
# cut between characters.
prompt 'nested = {inner = table.range(1, 50)}' 'nested' '["a" ++ string.repeat(400, "中")]'
first=${out%%$'\n['*}
second=${out#*$'\n['}
[[ "$first" == $'{\ninner=[1,2,3,'*',...' && "$first" != *50* ]] || { echo "FAIL: nested cut: $first"; fail=1; }
[[ "$second" == $'\n"a中中'*'中...' ]] && iconv -f UTF-8 -t UTF-8 <<<"$second" >/dev/null 2>&1 ||
  { echo "FAIL: text cut: $second"; fail=1; }
# Showing a value whose conversion fails reports the error; the prompt goes on.
prompt 'bad = {}; bad@ = {_tostring = function() { error("no text", 0); }}' 'bad' '"after"'
[ "$out" == "after" ] && [ "$err" == "no text" ] || { echo "FAIL: failing conversion: '$out' / '$err'"; fail=1; }
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
