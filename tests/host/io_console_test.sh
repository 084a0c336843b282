#!/usr/bin/env bash
# The console from a terminal: io.open() answers true, and io.getText reads what is typed, one
# line at a time and at most the count of UTF-16 units asked for (a character beyond U+FFFF takes
# two). The terminal is a pseudo-terminal made by script(1); without that tool the test is skipped.
set -u
runner=$1
command -v script >/dev/null || { echo "script(1) not found: skipped"; exit 77; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cat > "$tmp/console.quevro" <<'SCRIPT'
// Line ends are shown as '|' so that each result stays on its own line.
var function show(s) { return s == null ? "null" : string.join(string.split(s, '\n'), "|"); }
io.print("got:console", io.open());
io.print("got:" ++ show(io.getText()));
io.print("got:" ++ show(io.getText(3)));
io.print("got:" ++ show(io.getText()));
io.print("got:" ++ show(io.getText(2)));
io.print("got:" ++ show(io.getText(500)));
io.print("got:" ++ show(io.getText(0)));
SCRIPT
# The terminal echoes the typed lines too; only the script's own lines are compared.
out=$(printf 'hello\nabcdef\n\360\237\230\200x\n' |
      timeout 60 script -qec "\"$runner\" \"$tmp/console.quevro\"" /dev/null | tr -d '\r' | grep '^got:')
expected=$'got:console\ttrue\ngot:hello|\ngot:abc\ngot:def|\ngot:\360\237\230\200\ngot:x|\ngot:null'
if [ "$out" != "$expected" ]; then
  echo "FAIL: the script printed:"
  echo "$out"
  exit 1
fi
echo "console tests passed"
